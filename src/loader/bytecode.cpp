// The module file decoder.
//
// Layout of a module file (all numbers little-endian, no padding):
//   header   "TNBC", version u32, flags u32, then the absolute offsets (u32)
//            of the name, the constant pool, the function table and the
//            instruction section;
//   name     string (u32 byte length + UTF-8 bytes);
//   pool     u32 count, then per entry a tag byte and its payload
//            (1 int64, 2 float64, 3 string, 4 bool byte, 5 nothing);
//   table    u32 count, then per entry a name string and a u32 entry point;
//   code     u32 count, then per instruction the opcode byte and its operands.
//
// Sections are read in that order from their offsets; everything between or
// after them is ignored. The first failure ends the decode and nothing
// partial escapes.
//
// Counts come from an untrusted file, so nothing is sized from a count
// alone: any up-front reservation is capped by what the remaining bytes could
// possibly hold, and a count the bytes cannot satisfy runs into "Unexpected
// EOF" after at most one pass over the remaining bytes.
#include "loader/bytecode.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <utility>

namespace tarnel {
namespace {

constexpr uint8_t kModuleMagic[4] = {'T', 'N', 'B', 'C'};
constexpr size_t kMinimumLength = 24;  // shorter than this is not a module at all
constexpr size_t kHeaderLength = 28;

// Smallest encoded size of one entry of each counted list.
constexpr size_t kMinFunctionEntry = 8;     // empty name (4) + entry point (4)
constexpr size_t kMinInstructionEntry = 1;  // an operand-less opcode

Failure<LoadError> fail(LoadErrorKind kind, std::string detail = {}) {
    return Failure{LoadError::of(kind, std::move(detail))};
}
Failure<LoadError> eof() { return Failure{LoadError::unexpected_eof()}; }

// Bounds-checked little-endian reader over the whole file. Every read either
// consumes exactly the bytes it needs or fails without moving.
class Cursor {
public:
    explicit Cursor(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    size_t size() const { return bytes_.size(); }
    size_t remaining() const { return bytes_.size() - pos_; }
    void seek(size_t pos) { pos_ = pos; }  // callers check pos <= size()

    bool u8(uint8_t& out) {
        if (remaining() < 1) return false;
        out = bytes_[pos_++];
        return true;
    }
    bool u16(uint16_t& out) {
        if (remaining() < 2) return false;
        out = static_cast<uint16_t>(bytes_[pos_] | (bytes_[pos_ + 1] << 8));
        pos_ += 2;
        return true;
    }
    bool u32(uint32_t& out) {
        if (remaining() < 4) return false;
        out = static_cast<uint32_t>(bytes_[pos_]) | (static_cast<uint32_t>(bytes_[pos_ + 1]) << 8) |
              (static_cast<uint32_t>(bytes_[pos_ + 2]) << 16) | (static_cast<uint32_t>(bytes_[pos_ + 3]) << 24);
        pos_ += 4;
        return true;
    }
    bool u64(uint64_t& out) {
        uint32_t low = 0, high = 0;
        if (remaining() < 8) return false;
        (void)u32(low);
        (void)u32(high);
        out = static_cast<uint64_t>(low) | (static_cast<uint64_t>(high) << 32);
        return true;
    }
    // A view of the next n bytes, consumed.
    bool take(size_t n, std::span<const uint8_t>& out) {
        if (remaining() < n) return false;
        out = bytes_.subspan(pos_, n);
        pos_ += n;
        return true;
    }

private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
};

// u32 byte length, then that many bytes of well-formed UTF-8.
Result<std::string, LoadError> read_string(Cursor& cursor) {
    uint32_t length;
    if (!cursor.u32(length)) return eof();
    std::span<const uint8_t> text;
    if (!cursor.take(length, text)) return eof();
    if (!is_valid_utf8(text)) return fail(LoadErrorKind::InvalidUtf8);
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

Result<std::vector<Constant>, LoadError> read_constants(Cursor& cursor) {
    uint32_t count;
    if (!cursor.u32(count)) return eof();
    // Every entry takes at least its tag byte, so the list is sized for the
    // entries the rest of the file can hold: a lying count costs no more
    // than the file's size allows, and the list never regrows.
    std::vector<Constant> constants;
    constants.reserve(std::min<size_t>(count, cursor.remaining()));
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t tag;
        if (!cursor.u8(tag)) return eof();
        switch (tag) {
            case 1: {
                uint64_t bits;
                if (!cursor.u64(bits)) return eof();
                constants.push_back(Constant::of_int(static_cast<int64_t>(bits)));
                break;
            }
            case 2: {
                uint64_t bits;
                if (!cursor.u64(bits)) return eof();
                // Bit-exact: NaN payloads and -0.0 survive.
                constants.push_back(Constant::of_float(std::bit_cast<double>(bits)));
                break;
            }
            case 3: {
                auto text = read_string(cursor);
                if (!text) return Failure{std::move(text).error()};
                constants.push_back(Constant::of_string(std::move(text).value()));
                break;
            }
            case 4: {
                uint8_t flag;
                if (!cursor.u8(flag)) return eof();
                constants.push_back(Constant::of_bool(flag != 0));
                break;
            }
            case 5:
                constants.push_back(Constant::empty());
                break;
            default:
                return fail(LoadErrorKind::InvalidConstantTag, std::to_string(tag));
        }
    }
    return constants;
}

using FunctionTable = decltype(Module::functions);

Result<FunctionTable, LoadError> read_functions(Cursor& cursor) {
    uint32_t count;
    if (!cursor.u32(count)) return eof();
    FunctionTable functions;
    functions.reserve(std::min<size_t>(count, cursor.remaining() / kMinFunctionEntry));
    for (uint32_t i = 0; i < count; ++i) {
        auto name = read_string(cursor);
        if (!name) return Failure{std::move(name).error()};
        uint32_t entry;
        if (!cursor.u32(entry)) return eof();
        // A name listed again replaces the earlier entry point.
        functions.insert_or_assign(std::move(name).value(), entry);
    }
    return functions;
}

// Decodes one instruction into `ins` (a default one): the operands in the
// file order of the kind's row, each into its slot. Decoding in place keeps
// the per-instruction cost to the reads.
Result<void, LoadError> read_instruction(Cursor& cursor, Instruction& ins) {
    uint8_t byte;
    if (!cursor.u8(byte)) return eof();
    if (byte >= kOpcodeCount || !kInstructionInfo[byte].encodable) {
        return fail(LoadErrorKind::InvalidOpcode, std::to_string(byte));
    }

    ins.op = static_cast<Opcode>(byte);
    const InstructionInfo& row = kInstructionInfo[byte];
    for (size_t position = 0; position < row.operand_count(); ++position) {
        const OperandSpec& operand = row.at_position(position);
        switch (operand.kind) {
            case OperandKind::Reg: {
                if (!cursor.u8(ins.reg(operand.slot))) return eof();
                break;
            }
            case OperandKind::U16: {
                uint16_t value;
                if (!cursor.u16(value)) return eof();
                ins.wide = value;
                break;
            }
            case OperandKind::Offset: {
                uint32_t value;
                if (!cursor.u32(value)) return eof();
                ins.wide = value;  // two's complement; Instruction::offset() reads it back signed
                break;
            }
            case OperandKind::OptReg: {
                uint8_t present;
                if (!cursor.u8(present)) return eof();
                if (present != 0) {
                    if (!cursor.u8(ins.reg(operand.slot))) return eof();
                    ins.wide = 1;
                }
                break;
            }
            case OperandKind::Args: {
                uint8_t count;
                if (!cursor.u8(count)) return eof();
                std::span<const uint8_t> args;
                if (!cursor.take(count, args)) return eof();
                auto lists = std::make_shared<OperandLists>();
                lists->args.assign(args.begin(), args.end());
                ins.lists = std::move(lists);
                break;
            }
            case OperandKind::Sources:
            case OperandKind::Assert:
                // Only kinds without a file encoding carry these; they were
                // rejected above together with unknown opcodes.
                return fail(LoadErrorKind::InvalidOpcode, std::to_string(byte));
        }
    }
    return {};
}

Result<std::vector<Instruction>, LoadError> read_instructions(Cursor& cursor) {
    uint32_t count;
    if (!cursor.u32(count)) return eof();
    std::vector<Instruction> instructions;
    instructions.reserve(std::min<size_t>(count, cursor.remaining() / kMinInstructionEntry));
    for (uint32_t i = 0; i < count; ++i) {
        auto decoded = read_instruction(cursor, instructions.emplace_back());
        if (!decoded) return Failure{std::move(decoded).error()};
    }
    return instructions;
}

// Positions the cursor at a section offset taken from the header.
bool seek_section(Cursor& cursor, uint32_t offset) {
    if (offset > cursor.size()) return false;
    cursor.seek(offset);
    return true;
}

}  // namespace

Result<Module, LoadError> decode_module(std::span<const uint8_t> bytes) {
    if (bytes.size() < kMinimumLength) return fail(LoadErrorKind::InvalidFormat);
    if (std::memcmp(bytes.data(), kModuleMagic, sizeof kModuleMagic) != 0) {
        return fail(LoadErrorKind::InvalidMagic);
    }
    if (bytes.size() < kHeaderLength) return eof();

    Cursor cursor(bytes);
    cursor.seek(sizeof kModuleMagic);
    Module module;
    uint32_t name_offset, constants_offset, functions_offset, instructions_offset;
    (void)cursor.u32(module.version);
    (void)cursor.u32(module.flags);
    (void)cursor.u32(name_offset);
    (void)cursor.u32(constants_offset);
    (void)cursor.u32(functions_offset);
    (void)cursor.u32(instructions_offset);

    // Each offset is checked only when its section is about to be read, so an
    // earlier section's failure takes precedence over a later bad offset.
    if (!seek_section(cursor, name_offset)) return fail(LoadErrorKind::InvalidOffset);
    auto name = read_string(cursor);
    if (!name) return Failure{std::move(name).error()};
    module.name = std::move(name).value();

    if (!seek_section(cursor, constants_offset)) return fail(LoadErrorKind::InvalidOffset);
    auto constants = read_constants(cursor);
    if (!constants) return Failure{std::move(constants).error()};
    module.constants = std::move(constants).value();

    if (!seek_section(cursor, functions_offset)) return fail(LoadErrorKind::InvalidOffset);
    auto functions = read_functions(cursor);
    if (!functions) return Failure{std::move(functions).error()};
    module.functions = std::move(functions).value();

    if (!seek_section(cursor, instructions_offset)) return fail(LoadErrorKind::InvalidOffset);
    auto instructions = read_instructions(cursor);
    if (!instructions) return Failure{std::move(instructions).error()};
    module.instructions = std::move(instructions).value();

    return module;
}

}  // namespace tarnel
