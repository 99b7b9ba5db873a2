// libFuzzer target for the module decoder.
//
// Feeds arbitrary bytes to decode_module() as the contents of a module file.
// The decoder must never crash, read out of bounds, hang or allocate without
// bound (AddressSanitizer and UndefinedBehaviorSanitizer are linked in), and
// every failure must be one of the loader errors the decoder is allowed to
// produce, with its exact message; anything else aborts so the fuzzer keeps
// the input. A successful decode is checked for internal consistency.
//
// Build (clang 14 or newer, from the repository root):
//     fuzz/build.sh decode_module_fuzzer   # produces build/fuzz/decode_module_fuzzer
// Run:
//     mkdir -p build/fuzz/corpus
//     build/fuzz/decode_module_fuzzer build/fuzz/corpus fuzz/corpus/decoder \
//         -max_total_time=180 -max_len=4096
// A successful decode is also written back out (fuzz/module_writer.hpp) and
// decoded again: the second decode must succeed and give the same module,
// which checks that nothing read from the file was dropped or misread.
//
// New interesting inputs go to build/fuzz/corpus; fuzz/corpus/decoder holds
// the small hand-made seeds (the 83-byte "demo" module, the 32-byte minimal
// module, and a few modules that reach every constant tag and the
// variable-length instructions). A crash leaves crash-<hash> in the working
// directory; reproduce with `build/fuzz/decode_module_fuzzer crash-<hash>`.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include <bit>

#include "fuzz/module_writer.hpp"
#include "loader/bytecode.hpp"

namespace {

using tarnel::LoadError;
using tarnel::LoadErrorKind;

[[noreturn]] void reject(const char* what, const std::string& message) {
    std::fprintf(stderr, "decode_module: %s: \"%s\"\n", what, message.c_str());
    std::abort();
}

// "N" with N a decimal byte value, no sign, no leading zeros.
bool is_byte_number(std::string_view text) {
    if (text.empty() || text.size() > 3) return false;
    if (text.size() > 1 && text[0] == '0') return false;
    unsigned value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        value = value * 10 + static_cast<unsigned>(ch - '0');
    }
    return value <= 255;
}

void check_failure(const LoadError& error, std::span<const uint8_t> bytes) {
    const std::string message = error.message();
    switch (error.kind) {
        case LoadErrorKind::InvalidFormat:
            if (message != "Invalid bytecode format") reject("wrong message", message);
            if (bytes.size() >= 24) reject("format error on a file of 24 bytes or more", message);
            return;
        case LoadErrorKind::InvalidMagic:
            if (message != "Invalid magic number") reject("wrong message", message);
            return;
        case LoadErrorKind::UnexpectedEof:
            if (message != "Unexpected EOF") reject("wrong message", message);
            return;
        case LoadErrorKind::InvalidOffset:
            if (message != "Invalid offset") reject("wrong message", message);
            return;
        case LoadErrorKind::InvalidUtf8:
            if (message != "Invalid UTF-8") reject("wrong message", message);
            return;
        case LoadErrorKind::InvalidConstantTag: {
            constexpr std::string_view prefix = "Invalid constant tag: ";
            if (message.rfind(prefix, 0) != 0 || !is_byte_number(std::string_view(message).substr(prefix.size())))
                reject("wrong message", message);
            const int tag = std::atoi(message.c_str() + prefix.size());
            if (tag >= 1 && tag <= 5) reject("valid tag rejected", message);
            return;
        }
        case LoadErrorKind::InvalidOpcode: {
            constexpr std::string_view prefix = "Invalid opcode: ";
            if (message.rfind(prefix, 0) != 0 || !is_byte_number(std::string_view(message).substr(prefix.size())))
                reject("wrong message", message);
            const int op = std::atoi(message.c_str() + prefix.size());
            if (op < 50 && !(op >= 27 && op <= 30)) reject("encodable opcode rejected", message);
            return;
        }
        case LoadErrorKind::Io:
        case LoadErrorKind::UnsupportedVersion:
        case LoadErrorKind::MetadataHashMismatch:
            break;
    }
    reject("error kind the decoder never produces", message);
}

void check_module(const tarnel::Module& module, std::span<const uint8_t> bytes) {
    // Every constant, instruction and function entry costs at least one byte
    // of the file; more than that means counts were trusted over bytes.
    if (module.constants.size() > bytes.size() || module.instructions.size() > bytes.size() ||
        module.functions.size() > bytes.size())
        reject("more entries than bytes", std::to_string(bytes.size()));
    if (bytes.size() < 28) reject("module decoded from a file shorter than its header", "");
    if (!tarnel::is_valid_utf8({reinterpret_cast<const uint8_t*>(module.name.data()), module.name.size()}))
        reject("module name is not UTF-8", module.name);
    for (const tarnel::Instruction& ins : module.instructions) {
        const auto& meta = tarnel::info(ins.op);
        if (!meta.encodable) reject("unencodable instruction decoded", std::string(meta.name));
        if (ins.op == tarnel::Opcode::CallR) {
            if (!ins.lists || ins.args().size() > 255) reject("CallR without a valid argument list", "");
        } else if (ins.lists) {
            reject("operand lists on an instruction without any", std::string(meta.name));
        }
    }
}

bool same_constant(const tarnel::Constant& a, const tarnel::Constant& b) {
    using Kind = tarnel::Constant::Kind;
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Kind::Integer:
            return a.integer() == b.integer();
        case Kind::Float:
            return std::bit_cast<uint64_t>(a.number()) == std::bit_cast<uint64_t>(b.number());
        case Kind::Boolean:
            return a.boolean() == b.boolean();
        case Kind::String:
        case Kind::Url:
            return a.text() == b.text();
        case Kind::Function:
            return a.function() == b.function();
        case Kind::Empty:
            return true;
    }
    return false;
}

// Writing a decoded module and decoding the bytes again gives it back.
void check_round_trip(const tarnel::Module& module) {
    const std::vector<uint8_t> bytes = tarnel::fuzzing::write_module(module);
    auto again = tarnel::decode_module(bytes);
    if (!again) reject("written module does not decode", again.error().message());
    const tarnel::Module& m = again.value();
    if (m.name != module.name || m.version != module.version || m.flags != module.flags)
        reject("header or name changed on the way back", m.name);
    if (m.constants.size() != module.constants.size()) reject("constant count changed", "");
    for (size_t i = 0; i < m.constants.size(); ++i)
        if (!same_constant(m.constants[i], module.constants[i])) reject("constant changed", std::to_string(i));
    if (m.functions != module.functions) reject("function table changed", "");
    if (m.instructions.size() != module.instructions.size()) reject("instruction count changed", "");
    for (size_t i = 0; i < m.instructions.size(); ++i)
        if (!(m.instructions[i] == module.instructions[i])) reject("instruction changed", std::to_string(i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    auto result = tarnel::decode_module(bytes);
    if (result) {
        check_module(result.value(), bytes);
        check_round_trip(result.value());
    } else {
        check_failure(result.error(), bytes);
    }
    return 0;
}
