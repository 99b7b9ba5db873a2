// Module decoder tests: whole files, every failure with its exact message,
// truncation at every byte, the encoded length of every opcode, operand
// placement, untrusted counts and the UTF-8 check.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "demo_module.hpp"
#include "loader/bytecode.hpp"

namespace tarnel {
namespace {

using testing_modules::Bytes;

// ---------------------------------------------------------------------------
// Byte builders

void put_u32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_u64(Bytes& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_bytes(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
void put_string(Bytes& out, const Bytes& text) {
    put_u32(out, static_cast<uint32_t>(text.size()));
    put_bytes(out, text);
}
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes header(uint32_t version, uint32_t flags, uint32_t name, uint32_t constants, uint32_t functions,
             uint32_t instructions) {
    Bytes out = text("TNBC");
    for (uint32_t v : {version, flags, name, constants, functions, instructions}) put_u32(out, v);
    return out;
}

// A module whose four sections follow the header back to back.
Bytes module_of(const Bytes& name, const Bytes& constants, const Bytes& functions, const Bytes& instructions) {
    const uint32_t name_at = 28;
    const uint32_t constants_at = name_at + static_cast<uint32_t>(name.size());
    const uint32_t functions_at = constants_at + static_cast<uint32_t>(constants.size());
    const uint32_t instructions_at = functions_at + static_cast<uint32_t>(functions.size());
    Bytes out = header(1, 0, name_at, constants_at, functions_at, instructions_at);
    put_bytes(out, name);
    put_bytes(out, constants);
    put_bytes(out, functions);
    put_bytes(out, instructions);
    return out;
}

const Bytes kEmptyString = {0, 0, 0, 0};
const Bytes kNoEntries = {0, 0, 0, 0};

// A module with only an instruction section (count first).
Bytes code_module(uint32_t count, const Bytes& encoded) {
    Bytes section;
    put_u32(section, count);
    put_bytes(section, encoded);
    return module_of(kEmptyString, kNoEntries, kNoEntries, section);
}

// A module with only a constant pool (count first), placed last in the file
// so that a pool running short meets the end of the file. The name, function
// table and instruction section all read the zero word at offset 28.
Bytes pool_module(uint32_t count, const Bytes& entries) {
    Bytes out = header(1, 0, 28, 32, 28, 28);
    put_u32(out, 0);
    put_u32(out, count);
    put_bytes(out, entries);
    return out;
}

using testing_modules::kDemo;

// Header with all four offsets at 28, then four zero bytes read by every section.
Bytes minimal_module() {
    Bytes out = header(0, 0, 28, 28, 28, 28);
    put_u32(out, 0);
    return out;
}

std::string message_of(const Bytes& bytes) {
    auto result = decode_module(bytes);
    return result ? std::string("<ok>") : result.error().message();
}

// Every message the decoder can produce for a file, apart from the numbered ones.
bool is_decoder_message(const std::string& message) {
    static const std::set<std::string> fixed = {"Invalid bytecode format", "Invalid magic number", "Unexpected EOF",
                                                "Invalid offset", "Invalid UTF-8"};
    if (fixed.count(message)) return true;
    for (std::string prefix : {"Invalid constant tag: ", "Invalid opcode: "}) {
        if (message.rfind(prefix, 0) == 0) {
            std::string number = message.substr(prefix.size());
            if (number.empty() || number.size() > 3) return false;
            for (char ch : number) {
                if (ch < '0' || ch > '9') return false;
            }
            return std::stoi(number) <= 255;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Whole modules

TEST(DecoderModule, DemoExampleDecodes) {
    ASSERT_EQ(kDemo.size(), 83u);
    auto result = decode_module(kDemo);
    ASSERT_TRUE(result) << result.error().message();
    const Module& m = result.value();
    EXPECT_EQ(m.name, "demo");
    EXPECT_EQ(m.version, 1u);
    EXPECT_EQ(m.flags, 0u);
    ASSERT_EQ(m.constants.size(), 2u);
    EXPECT_EQ(m.constants[0].kind(), Constant::Kind::Integer);
    EXPECT_EQ(m.constants[0].integer(), 42);
    EXPECT_EQ(m.constants[1].kind(), Constant::Kind::String);
    EXPECT_EQ(m.constants[1].text(), "hi");
    ASSERT_EQ(m.functions.size(), 1u);
    ASSERT_EQ(m.functions.count("main"), 1u);
    EXPECT_EQ(m.functions.at("main"), 0u);
    ASSERT_EQ(m.instructions.size(), 2u);
    EXPECT_EQ(m.instructions[0], Instruction::make(Opcode::LoadConstR, {0, 0}));
    EXPECT_EQ(m.instructions[1], Instruction::make(Opcode::ReturnR, {0}));
    EXPECT_TRUE(m.instructions[1].has_src());
}

TEST(DecoderModule, MinimalModuleSharesOneZeroWord) {
    Bytes bytes = minimal_module();
    ASSERT_EQ(bytes.size(), 32u);
    auto result = decode_module(bytes);
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(result.value().name, "");
    EXPECT_TRUE(result.value().constants.empty());
    EXPECT_TRUE(result.value().functions.empty());
    EXPECT_TRUE(result.value().instructions.empty());
}

TEST(DecoderModule, HeaderFieldsAreKeptVerbatim) {
    Bytes bytes = header(0xDEADBEEF, 0x01020304, 28, 28, 28, 28);
    put_u32(bytes, 0);
    auto result = decode_module(bytes);
    ASSERT_TRUE(result);
    EXPECT_EQ(result.value().version, 0xDEADBEEFu);  // any version decodes
    EXPECT_EQ(result.value().flags, 0x01020304u);
}

TEST(DecoderModule, SectionsAnywhereWithGapsAndTrailingBytes) {
    // Sections in reverse order with gaps, trailing junk after everything.
    Bytes bytes = header(1, 0, 0, 0, 0, 0);
    bytes.resize(40, 0xEE);  // gap
    const uint32_t code_at = 40;
    put_u32(bytes, 1);
    bytes.push_back(0x27);  // Halt
    bytes.push_back(0xEE);  // ignored byte after the last instruction
    const uint32_t funcs_at = static_cast<uint32_t>(bytes.size());
    put_u32(bytes, 1);
    put_string(bytes, text("f"));
    put_u32(bytes, 9);
    const uint32_t pool_at = static_cast<uint32_t>(bytes.size());
    put_u32(bytes, 1);
    bytes.push_back(5);
    const uint32_t name_at = static_cast<uint32_t>(bytes.size());
    put_string(bytes, text("back"));
    bytes.insert(bytes.end(), 7, 0xEE);
    std::memcpy(&bytes[12], &name_at, 4);
    std::memcpy(&bytes[16], &pool_at, 4);
    std::memcpy(&bytes[20], &funcs_at, 4);
    std::memcpy(&bytes[24], &code_at, 4);

    auto result = decode_module(bytes);
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(result.value().name, "back");
    ASSERT_EQ(result.value().constants.size(), 1u);
    EXPECT_EQ(result.value().constants[0].kind(), Constant::Kind::Empty);
    EXPECT_EQ(result.value().functions.at("f"), 9u);
    ASSERT_EQ(result.value().instructions.size(), 1u);
    EXPECT_EQ(result.value().instructions[0].op, Opcode::Halt);
}

TEST(DecoderModule, DuplicateFunctionNameKeepsLastEntryPoint) {
    Bytes table;
    put_u32(table, 2);
    put_string(table, text("main"));
    put_u32(table, 0);
    put_string(table, text("main"));
    put_u32(table, 7);
    auto result = decode_module(module_of(kEmptyString, kNoEntries, table, kNoEntries));
    ASSERT_TRUE(result) << result.error().message();
    ASSERT_EQ(result.value().functions.size(), 1u);
    EXPECT_EQ(result.value().functions.at("main"), 7u);
}

TEST(DecoderModule, FunctionNamesCompareByteForByte) {
    Bytes table;
    put_u32(table, 3);
    put_string(table, text("main"));
    put_u32(table, 1);
    put_string(table, text("Main"));
    put_u32(table, 2);
    put_string(table, Bytes{'m', 'a', 'i', 'n', 0});
    put_u32(table, 0xFFFFFFFF);  // beyond any instruction list: not cross-checked
    auto result = decode_module(module_of(kEmptyString, kNoEntries, table, kNoEntries));
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(result.value().functions.size(), 3u);
    EXPECT_EQ(result.value().functions.at("main"), 1u);
    EXPECT_EQ(result.value().functions.at("Main"), 2u);
    EXPECT_EQ(result.value().functions.at(std::string("main\0", 5)), 0xFFFFFFFFu);
}

// ---------------------------------------------------------------------------
// Constants

struct ConstantCase {
    const char* label;
    Bytes entry;
    Constant::Kind kind;
    int64_t integer;
    uint64_t float_bits;
    bool boolean;
    std::string text;
};

void PrintTo(const ConstantCase& c, std::ostream* os) { *os << c.label; }

class DecoderConstant : public ::testing::TestWithParam<ConstantCase> {};

TEST_P(DecoderConstant, DecodesEntry) {
    const ConstantCase& c = GetParam();
    auto result = decode_module(pool_module(1, c.entry));
    ASSERT_TRUE(result) << result.error().message();
    ASSERT_EQ(result.value().constants.size(), 1u);
    const Constant& k = result.value().constants[0];
    ASSERT_EQ(k.kind(), c.kind);
    switch (c.kind) {
        case Constant::Kind::Integer:
            EXPECT_EQ(k.integer(), c.integer);
            break;
        case Constant::Kind::Float:
            EXPECT_EQ(std::bit_cast<uint64_t>(k.number()), c.float_bits);
            break;
        case Constant::Kind::Boolean:
            EXPECT_EQ(k.boolean(), c.boolean);
            break;
        case Constant::Kind::String:
            EXPECT_EQ(k.text(), c.text);
            break;
        default:
            break;
    }
}

Bytes tagged(uint8_t tag, std::initializer_list<uint8_t> payload) {
    Bytes out{tag};
    out.insert(out.end(), payload);
    return out;
}
Bytes tagged_u64(uint8_t tag, uint64_t bits) {
    Bytes out{tag};
    put_u64(out, bits);
    return out;
}
Bytes tagged_string(const Bytes& s) {
    Bytes out{3};
    put_string(out, s);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Decoder, DecoderConstant,
    ::testing::Values(ConstantCase{"int_42", tagged_u64(1, 42), Constant::Kind::Integer, 42, 0, false, ""},
                      ConstantCase{"int_minus_one", tagged_u64(1, ~0ULL), Constant::Kind::Integer, -1, 0, false, ""},
                      ConstantCase{"int_min", tagged_u64(1, 1ULL << 63), Constant::Kind::Integer, INT64_MIN, 0, false,
                                   ""},
                      ConstantCase{"float_1_5", tagged_u64(2, std::bit_cast<uint64_t>(1.5)), Constant::Kind::Float, 0,
                                   std::bit_cast<uint64_t>(1.5), false, ""},
                      ConstantCase{"float_negative_zero", tagged_u64(2, 0x8000000000000000ULL), Constant::Kind::Float,
                                   0, 0x8000000000000000ULL, false, ""},
                      ConstantCase{"float_nan_payload", tagged_u64(2, 0x7FF4000000000123ULL), Constant::Kind::Float, 0,
                                   0x7FF4000000000123ULL, false, ""},
                      ConstantCase{"string_hi", tagged_string(text("hi")), Constant::Kind::String, 0, 0, false, "hi"},
                      ConstantCase{"string_empty", tagged_string({}), Constant::Kind::String, 0, 0, false, ""},
                      ConstantCase{"string_inner_nul", tagged_string({'a', 0, 'b'}), Constant::Kind::String, 0, 0,
                                   false, std::string("a\0b", 3)},
                      ConstantCase{"string_multibyte", tagged_string({0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}),
                                   Constant::Kind::String, 0, 0, false, "\xE2\x82\xAC\xF0\x9F\x98\x80"},
                      ConstantCase{"bool_zero", tagged(4, {0}), Constant::Kind::Boolean, 0, 0, false, ""},
                      ConstantCase{"bool_one", tagged(4, {1}), Constant::Kind::Boolean, 0, 0, true, ""},
                      ConstantCase{"bool_two_is_true", tagged(4, {2}), Constant::Kind::Boolean, 0, 0, true, ""},
                      ConstantCase{"bool_ff_is_true", tagged(4, {0xFF}), Constant::Kind::Boolean, 0, 0, true, ""},
                      ConstantCase{"empty", tagged(5, {}), Constant::Kind::Empty, 0, 0, false, ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(DecoderConstantPool, KeepsFileOrder) {
    Bytes entries = tagged(5, {});
    put_bytes(entries, tagged_u64(1, 7));
    put_bytes(entries, tagged(4, {0}));
    put_bytes(entries, tagged_string(text("x")));
    auto result = decode_module(pool_module(4, entries));
    ASSERT_TRUE(result) << result.error().message();
    const auto& k = result.value().constants;
    ASSERT_EQ(k.size(), 4u);
    EXPECT_EQ(k[0].kind(), Constant::Kind::Empty);
    EXPECT_EQ(k[1].kind(), Constant::Kind::Integer);
    EXPECT_EQ(k[1].integer(), 7);
    EXPECT_EQ(k[2].kind(), Constant::Kind::Boolean);
    EXPECT_FALSE(k[2].boolean());
    EXPECT_EQ(k[3].text(), "x");
}

// ---------------------------------------------------------------------------
// Failures with their exact messages

struct FailureCase {
    const char* label;
    Bytes bytes;
    std::string message;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.label; }

class DecoderFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(DecoderFailure, ReportsExactMessage) {
    const FailureCase& c = GetParam();
    auto result = decode_module(c.bytes);
    ASSERT_FALSE(result) << "decoded although it should fail";
    EXPECT_EQ(result.error().message(), c.message);
}

Bytes tnbc_padded(size_t length) {
    Bytes out = text("TNBC");
    out.resize(length, 0);
    return out;
}

Bytes with_offset(Bytes bytes, size_t field_at, uint32_t offset) {
    std::memcpy(&bytes[field_at], &offset, 4);
    return bytes;
}

Bytes string_section(const Bytes& s) {
    Bytes out;
    put_string(out, s);
    return out;
}

Bytes function_table(const Bytes& name, bool with_entry) {
    Bytes out;
    put_u32(out, 1);
    put_string(out, name);
    if (with_entry) put_u32(out, 0);
    return out;
}

const std::string kEof = "Unexpected EOF";
const std::string kOffset = "Invalid offset";
const std::string kUtf8 = "Invalid UTF-8";

std::vector<FailureCase> failure_cases() {
    const Bytes minimal = minimal_module();
    const uint32_t L = static_cast<uint32_t>(minimal.size());
    Bytes other_magic = tnbc_padded(24);
    other_magic[3] = 'D';

    // A module with a bad name (invalid UTF-8) and every later offset out of range.
    Bytes bad_name_bad_offsets = module_of(string_section({0xC0, 0x80}), {}, {}, {});
    bad_name_bad_offsets = with_offset(bad_name_bad_offsets, 16, 1000);
    bad_name_bad_offsets = with_offset(bad_name_bad_offsets, 20, 1000);
    bad_name_bad_offsets = with_offset(bad_name_bad_offsets, 24, 1000);
    // A bad constant tag with a bad functions offset: the pool comes first.
    Bytes bad_tag_bad_offset = with_offset(pool_module(1, {9}), 20, 5000);

    Bytes truncated_string_length = header(1, 0, 28, 28, 28, 28);
    truncated_string_length.insert(truncated_string_length.end(), {0, 0, 0});

    return {
        {"empty_file", {}, "Invalid bytecode format"},
        {"len_23_with_magic", tnbc_padded(23), "Invalid bytecode format"},
        {"len_24_other_magic", other_magic, "Invalid magic number"},
        {"len_28_lowercase_magic",
         [] {
             Bytes b = tnbc_padded(28);
             b[0] = 't';
             return b;
         }(),
         "Invalid magic number"},
        {"len_24_with_magic", tnbc_padded(24), kEof},
        {"len_27_with_magic", tnbc_padded(27), kEof},
        {"name_offset_equal_length", with_offset(minimal, 12, L), kEof},
        {"name_offset_past_length", with_offset(minimal, 12, L + 1), kOffset},
        {"name_offset_max", with_offset(minimal, 12, 0xFFFFFFFF), kOffset},
        {"constants_offset_equal_length", with_offset(minimal, 16, L), kEof},
        {"constants_offset_past_length", with_offset(minimal, 16, L + 1), kOffset},
        {"functions_offset_equal_length", with_offset(minimal, 20, L), kEof},
        {"functions_offset_past_length", with_offset(minimal, 20, L + 1), kOffset},
        {"instructions_offset_equal_length", with_offset(minimal, 24, L), kEof},
        {"instructions_offset_past_length", with_offset(minimal, 24, L + 1), kOffset},
        {"string_length_three_bytes", truncated_string_length, kEof},
        {"string_bytes_missing", module_of({5, 0, 0, 0, 'a', 'b'}, {}, {}, {}), kEof},
        {"name_overlong_nul", module_of(string_section({0xC0, 0x80}), kNoEntries, kNoEntries, kNoEntries), kUtf8},
        {"name_lone_continuation", module_of(string_section({'a', 0x80}), kNoEntries, kNoEntries, kNoEntries), kUtf8},
        {"bad_name_before_bad_offsets", bad_name_bad_offsets, kUtf8},
        {"bad_tag_before_bad_offset", bad_tag_bad_offset, "Invalid constant tag: 9"},
        {"constant_string_surrogate", pool_module(1, tagged_string({0xED, 0xA0, 0x80})), kUtf8},
        {"function_name_ff", module_of(kEmptyString, kNoEntries, function_table({0xFF}, true), kNoEntries), kUtf8},
        {"constant_count_missing", module_of(kEmptyString, {1, 0}, {}, {}), kEof},
        {"constant_tag_missing", pool_module(2, tagged(5, {})), kEof},
        {"constant_tag_0", pool_module(1, {0}), "Invalid constant tag: 0"},
        {"constant_tag_6", pool_module(1, {6}), "Invalid constant tag: 6"},
        {"constant_tag_255", pool_module(1, {255}), "Invalid constant tag: 255"},
        {"constant_tag_after_good_entries", pool_module(3, {5, 4, 1, 128}), "Invalid constant tag: 128"},
        {"int_payload_7_bytes", pool_module(1, {1, 1, 2, 3, 4, 5, 6, 7}), kEof},
        {"float_payload_missing", pool_module(1, {2}), kEof},
        {"bool_payload_missing", pool_module(1, {4}), kEof},
        {"string_constant_length_missing", pool_module(1, {3, 1, 0}), kEof},
        {"string_constant_bytes_missing", pool_module(1, {3, 4, 0, 0, 0, 'a'}), kEof},
        {"function_count_missing", module_of(kEmptyString, kNoEntries, {0, 0}, {}), kEof},
        {"function_entry_point_missing", module_of(kEmptyString, kNoEntries, function_table(text("main"), false), {}),
         kEof},
        {"function_entry_point_three_bytes",
         [] {
             Bytes t = function_table(text("main"), false);
             t.insert(t.end(), {0, 0, 0});
             return module_of(kEmptyString, kNoEntries, t, {});
         }(),
         kEof},
        {"function_second_entry_missing",
         [] {
             Bytes t = function_table(text("f"), true);
             t[0] = 2;
             return module_of(kEmptyString, kNoEntries, t, {});
         }(),
         kEof},
        {"instruction_count_missing", module_of(kEmptyString, kNoEntries, kNoEntries, {1, 0, 0}), kEof},
        {"opcode_missing", code_module(1, {}), kEof},
        {"count_3_two_complete", code_module(3, {0x28, 0x01, 0x02, 0x03}), kEof},
        {"check_type_last_byte_missing", code_module(1, {0x05, 1, 2, 3}), kEof},
        {"load_const_index_half", code_module(1, {0x00, 1, 2}), kEof},
        {"jump_offset_three_bytes", code_module(1, {0x16, 0xFE, 0xFF, 0xFF}), kEof},
        {"call_arg_count_missing", code_module(1, {0x19, 3, 9}), kEof},
        {"call_args_missing", code_module(1, {0x19, 3, 9, 3, 4, 5}), kEof},
        {"return_presence_missing", code_module(1, {0x1A}), kEof},
        {"return_register_missing", code_module(1, {0x1A, 0x01}), kEof},
        {"opcode_27", code_module(1, {27, 0, 0, 0}), "Invalid opcode: 27"},
        {"opcode_255", code_module(1, {255}), "Invalid opcode: 255"},
        {"opcode_after_valid", code_module(2, {0x28, 50}), "Invalid opcode: 50"},
        {"huge_constant_count", pool_module(4000000000u, Bytes(60, 5)), kEof},
        {"huge_function_count",
         [] {
             Bytes t;
             put_u32(t, 4000000000u);
             t.resize(64, 0);
             return module_of(kEmptyString, kNoEntries, t, kNoEntries);
         }(),
         kEof},
        {"huge_instruction_count", code_module(4000000000u, Bytes(60, 0x28)), kEof},
        {"huge_string_length", module_of({0xFF, 0xFF, 0xFF, 0xFF, 'a'}, {}, {}, {}), kEof},
    };
}

INSTANTIATE_TEST_SUITE_P(Decoder, DecoderFailure, ::testing::ValuesIn(failure_cases()),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(DecoderFailureMessages, TableMessagesAreDecoderMessages) {
    // Guards the fuzzer's oracle: every expected message above is one it accepts.
    for (const FailureCase& c : failure_cases()) EXPECT_TRUE(is_decoder_message(c.message)) << c.message;
    EXPECT_FALSE(is_decoder_message("Invalid opcode: 256"));
    EXPECT_FALSE(is_decoder_message("IO error: x"));
}

TEST(DecoderTruncation, EveryPrefixOfDemoFailsCleanly) {
    // The demo's sections end exactly where the next begins, so every cut of
    // 24 bytes or more lands inside some read.
    for (size_t length = 0; length < kDemo.size(); ++length) {
        Bytes prefix(kDemo.begin(), kDemo.begin() + static_cast<std::ptrdiff_t>(length));
        const std::string expected = length < 24 ? "Invalid bytecode format" : "Unexpected EOF";
        EXPECT_EQ(message_of(prefix), expected) << "length " << length;
    }
    EXPECT_EQ(message_of(kDemo), "<ok>");
}

TEST(DecoderTruncation, EveryPrefixOfACallHeavyModuleFailsCleanly) {
    Bytes code = {0x19, 1, 2, 3, 4, 5, 6, 0x1A, 0x01, 9, 0x16, 1, 2, 3, 4, 0x05, 1, 2, 3, 4};
    Bytes bytes = code_module(4, code);
    const size_t code_start = bytes.size() - code.size() - 4;
    for (size_t length = code_start; length < bytes.size(); ++length) {
        Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_EQ(message_of(prefix), "Unexpected EOF") << "length " << length;
    }
    EXPECT_EQ(message_of(bytes), "<ok>");
}

TEST(DecoderLimits, HugeCountsFailFast) {
    // A 100-byte file claiming four billion entries in each counted list.
    std::vector<Bytes> files;
    files.push_back(pool_module(4000000000u, {}));
    files.push_back(code_module(4000000000u, {}));
    {
        Bytes t;
        put_u32(t, 4000000000u);
        files.push_back(module_of(kEmptyString, kNoEntries, t, kNoEntries));
    }
    for (Bytes& f : files) f.resize(100, 0);
    // Padding the pool with tag-5 entries and the code with Nops keeps both
    // readers consuming one byte per entry until the end of the file; zero
    // padding reads as empty-named functions, eight bytes each.
    std::fill(files[0].begin() + 36, files[0].end(), 5);
    std::fill(files[1].begin() + 44, files[1].end(), 0x28);
    const auto start = std::chrono::steady_clock::now();
    for (const Bytes& f : files) {
        ASSERT_EQ(f.size(), 100u);
        EXPECT_EQ(message_of(f), "Unexpected EOF");
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(1));
}

// ---------------------------------------------------------------------------
// Instructions

// Expected encoded length of each opcode, written out by hand; 0 marks the
// kinds with no encoding. CallR is listed with no arguments, ReturnR without
// its register.
constexpr std::array<size_t, kOpcodeCount> kEncodedLength = {
    4, 3, 4, 4, 4, 5, 5, 4, 4, 4,  //  0..9
    4, 4, 3, 3, 4, 4, 4, 4, 4, 4,  // 10..19
    4, 4, 5, 6, 6, 4, 2, 0, 0, 0,  // 20..29
    0, 4, 3, 3, 4, 4, 3, 2, 1, 1,  // 30..39
    1, 2, 4, 4, 3, 4, 3, 3, 2, 3,  // 40..49
};

TEST(DecoderOpcode, EncodabilityMatchesLengthTable) {
    for (size_t op = 0; op < kOpcodeCount; ++op) {
        EXPECT_EQ(kInstructionInfo[op].encodable, kEncodedLength[op] != 0) << kInstructionInfo[op].name;
    }
}

TEST(DecoderOpcode, EveryOpcodeHasItsEncodedLength) {
    for (size_t op = 0; op < kOpcodeCount; ++op) {
        const size_t length = kEncodedLength[op];
        if (length == 0) continue;
        SCOPED_TRACE(std::string(kInstructionInfo[op].name));
        // The instruction with its operand bytes, then a Nop: decoding both
        // proves the decoder consumed exactly `length` bytes.
        Bytes encoded{static_cast<uint8_t>(op)};
        for (size_t i = 1; i < length; ++i) encoded.push_back(0);
        encoded.push_back(0x28);
        auto result = decode_module(code_module(2, encoded));
        ASSERT_TRUE(result) << result.error().message();
        ASSERT_EQ(result.value().instructions.size(), 2u);
        EXPECT_EQ(static_cast<size_t>(result.value().instructions[0].op), op);
        EXPECT_EQ(result.value().instructions[1].op, Opcode::Nop);

        // One byte short is an early end of file.
        encoded.resize(length - 1);
        EXPECT_EQ(message_of(code_module(1, encoded)), "Unexpected EOF");
    }
}

TEST(DecoderOpcode, VariableLengthKinds) {
    // CallR grows by its argument count; ReturnR by its register.
    for (uint8_t n : {0, 1, 2, 7, 255}) {
        Bytes encoded{0x19, 1, 2, n};
        for (uint8_t i = 0; i < n; ++i) encoded.push_back(i);
        encoded.push_back(0x28);
        auto result = decode_module(code_module(2, encoded));
        ASSERT_TRUE(result) << "n=" << int(n) << ": " << result.error().message();
        EXPECT_EQ(result.value().instructions[0].args().size(), n);
        EXPECT_EQ(result.value().instructions[1].op, Opcode::Nop) << "n=" << int(n);
    }
    for (uint8_t flag = 0; flag < 255; ++flag) {
        Bytes encoded{0x1A, flag};
        if (flag != 0) encoded.push_back(0x11);
        encoded.push_back(0x28);
        auto result = decode_module(code_module(2, encoded));
        ASSERT_TRUE(result) << "flag=" << int(flag);
        EXPECT_EQ(result.value().instructions[0].has_src(), flag != 0);
        EXPECT_EQ(result.value().instructions[1].op, Opcode::Nop) << "flag=" << int(flag);
    }
}

TEST(DecoderOpcode, UnencodableAndUnassignedBytesAreRejected) {
    for (int byte = 0; byte < 256; ++byte) {
        const bool rejected = (byte >= 27 && byte <= 30) || byte >= 50;
        if (!rejected) continue;
        // The opcode is the file's last byte: reading an operand would report EOF instead.
        EXPECT_EQ(message_of(code_module(1, {static_cast<uint8_t>(byte)})), "Invalid opcode: " + std::to_string(byte));
    }
}

struct InstructionCase {
    const char* label;
    Bytes encoded;
    Instruction expected;
};

void PrintTo(const InstructionCase& c, std::ostream* os) { *os << c.label; }

class DecoderInstruction : public ::testing::TestWithParam<InstructionCase> {};

TEST_P(DecoderInstruction, DecodesOperands) {
    const InstructionCase& c = GetParam();
    auto result = decode_module(code_module(1, c.encoded));
    ASSERT_TRUE(result) << result.error().message();
    ASSERT_EQ(result.value().instructions.size(), 1u);
    const Instruction& got = result.value().instructions[0];
    EXPECT_EQ(got, c.expected) << "op " << int(got.op) << " a " << int(got.a) << " b " << int(got.b) << " c "
                               << int(got.c) << " wide " << got.wide;
}

INSTANTIATE_TEST_SUITE_P(
    Decoder, DecoderInstruction,
    ::testing::Values(
        InstructionCase{"return_none", {0x1A, 0x00}, Instruction::return_none()},
        InstructionCase{"return_flag_5", {0x1A, 0x05, 0x07}, Instruction::make(Opcode::ReturnR, {7})},
        InstructionCase{"return_flag_1", {0x1A, 0x01, 0x07}, Instruction::make(Opcode::ReturnR, {7})},
        InstructionCase{"return_register_0", {0x1A, 0xFF, 0x00}, Instruction::make(Opcode::ReturnR, {0})},
        InstructionCase{"call_two_args", {0x19, 0x03, 0x09, 0x02, 0x04, 0x05}, Instruction::call(3, {4, 5}, 9)},
        InstructionCase{"call_no_args", {0x19, 0x03, 0x09, 0x00}, Instruction::call(3, {}, 9)},
        InstructionCase{"jump_back_two", {0x16, 0xFE, 0xFF, 0xFF, 0xFF}, Instruction::make(Opcode::JumpR, {-2})},
        InstructionCase{"jump_int_min", {0x16, 0x00, 0x00, 0x00, 0x80}, Instruction::make(Opcode::JumpR, {INT32_MIN})},
        InstructionCase{
            "jump_if_forward", {0x17, 0x04, 0x10, 0x00, 0x00, 0x00}, Instruction::make(Opcode::JumpIfR, {4, 16})},
        InstructionCase{"jump_if_not",
                        {0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F},
                        Instruction::make(Opcode::JumpIfNotR, {255, INT32_MAX})},
        InstructionCase{"load_const_261", {0x00, 0x02, 0x05, 0x01}, Instruction::make(Opcode::LoadConstR, {2, 261})},
        InstructionCase{"load_const_max", {0x00, 0x02, 0xFF, 0xFF}, Instruction::make(Opcode::LoadConstR, {2, 65535})},
        InstructionCase{"store_global", {0x03, 0x08, 0x01, 0x00}, Instruction::make(Opcode::StoreGlobalR, {8, 1})},
        InstructionCase{
            "check_type", {0x05, 0x01, 0x02, 0x03, 0x04}, Instruction::make(Opcode::CheckTypeR, {1, 2, 0x0403})},
        InstructionCase{"cast", {0x06, 0x0A, 0x0B, 0x02, 0x00}, Instruction::make(Opcode::CastR, {10, 11, 2})},
        InstructionCase{"add_three_registers", {0x07, 0x01, 0x02, 0x03}, Instruction::make(Opcode::AddR, {1, 2, 3})},
        InstructionCase{"array_set", {0x23, 0x04, 0x05, 0x06}, Instruction::make(Opcode::ArraySetR, {4, 5, 6})},
        InstructionCase{"move", {0x01, 0xFE, 0xFD}, Instruction::make(Opcode::MoveR, {254, 253})},
        InstructionCase{"debug_print", {0x25, 0x09}, Instruction::make(Opcode::DebugPrint, {9})},
        InstructionCase{"dict_len", {0x31, 0x01, 0x02}, Instruction::make(Opcode::DictLenR, {1, 2})},
        InstructionCase{"halt", {0x27}, Instruction::make(Opcode::Halt)}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(DecoderInstructionSection, CountZeroIsEmpty) {
    auto result = decode_module(code_module(0, {0xFF, 0xFF}));  // bytes after are not examined
    ASSERT_TRUE(result);
    EXPECT_TRUE(result.value().instructions.empty());
}

TEST(DecoderInstructionSection, OperandValuesAreNotCrossChecked) {
    // Constant index beyond the pool, jump far outside the list, unknown type id.
    auto result =
        decode_module(code_module(3, {0x00, 0x00, 0x10, 0x00, 0x16, 0x00, 0x00, 0x01, 0x00, 0x04, 0x00, 0xFF, 0xFF}));
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(result.value().instructions.size(), 3u);
}

// ---------------------------------------------------------------------------
// UTF-8

struct Utf8Case {
    const char* label;
    Bytes bytes;
    bool valid;
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.label; }

class Utf8Validation : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Validation, MatchesRfc3629) {
    const Utf8Case& c = GetParam();
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
    // The same sequence after a long ASCII run (fast path) and before one.
    Bytes padded(13, 'a');
    put_bytes(padded, c.bytes);
    padded.insert(padded.end(), 11, 'z');
    EXPECT_EQ(is_valid_utf8(padded), c.valid) << "padded";
    // And as a module name, where an invalid one must give the exact message.
    const std::string expected = c.valid ? "<ok>" : "Invalid UTF-8";
    EXPECT_EQ(message_of(module_of(string_section(c.bytes), kNoEntries, kNoEntries, kNoEntries)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Utf8, Utf8Validation,
    ::testing::Values(
        Utf8Case{"empty", {}, true}, Utf8Case{"ascii", text("hello, world"), true}, Utf8Case{"nul", {0x00}, true},
        Utf8Case{"del", {0x7F}, true}, Utf8Case{"two_byte_min", {0xC2, 0x80}, true},
        Utf8Case{"two_byte_max", {0xDF, 0xBF}, true}, Utf8Case{"three_byte_min", {0xE0, 0xA0, 0x80}, true},
        Utf8Case{"euro", {0xE2, 0x82, 0xAC}, true}, Utf8Case{"before_surrogates", {0xED, 0x9F, 0xBF}, true},
        Utf8Case{"after_surrogates", {0xEE, 0x80, 0x80}, true}, Utf8Case{"bmp_max", {0xEF, 0xBF, 0xBF}, true},
        Utf8Case{"four_byte_min", {0xF0, 0x90, 0x80, 0x80}, true}, Utf8Case{"emoji", {0xF0, 0x9F, 0x98, 0x80}, true},
        Utf8Case{"plane_15", {0xF3, 0xBF, 0xBF, 0xBF}, true},
        Utf8Case{"max_code_point", {0xF4, 0x8F, 0xBF, 0xBF}, true}, Utf8Case{"overlong_nul", {0xC0, 0x80}, false},
        Utf8Case{"overlong_c1", {0xC1, 0xBF}, false}, Utf8Case{"overlong_three", {0xE0, 0x80, 0x80}, false},
        Utf8Case{"overlong_three_max", {0xE0, 0x9F, 0xBF}, false},
        Utf8Case{"overlong_four", {0xF0, 0x80, 0x80, 0x80}, false},
        Utf8Case{"overlong_four_max", {0xF0, 0x8F, 0xBF, 0xBF}, false},
        Utf8Case{"surrogate_low_end", {0xED, 0xA0, 0x80}, false},
        Utf8Case{"surrogate_high_end", {0xED, 0xBF, 0xBF}, false},
        Utf8Case{"above_max", {0xF4, 0x90, 0x80, 0x80}, false}, Utf8Case{"lead_f5", {0xF5, 0x80, 0x80, 0x80}, false},
        Utf8Case{"byte_ff", {0xFF}, false}, Utf8Case{"byte_fe", {0xFE}, false},
        Utf8Case{"lone_continuation", {0x80}, false}, Utf8Case{"continuation_bf", {0xBF}, false},
        Utf8Case{"truncated_two", {0xC3}, false}, Utf8Case{"truncated_three", {0xE2, 0x82}, false},
        Utf8Case{"truncated_four", {0xF0, 0x9F, 0x98}, false}, Utf8Case{"bad_second", {0xC3, 0x28}, false},
        Utf8Case{"bad_third", {0xE2, 0x82, 0x28}, false}, Utf8Case{"bad_fourth", {0xF0, 0x9F, 0x98, 0x28}, false},
        Utf8Case{"ascii_in_middle", {0xE2, 0x41, 0xAC}, false},
        Utf8Case{"five_byte_form", {0xF8, 0x88, 0x80, 0x80, 0x80}, false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Utf8Long, BadByteFoundAtEveryPositionOfALongString) {
    // Exercises the eight-byte ASCII stride at every alignment.
    Bytes base(64, 'x');
    ASSERT_TRUE(is_valid_utf8(base));
    for (size_t at = 0; at < base.size(); ++at) {
        Bytes broken = base;
        broken[at] = 0xFF;
        EXPECT_FALSE(is_valid_utf8(broken)) << "at " << at;
        // A valid two-byte sequence at the same spot stays valid.
        Bytes good = base;
        good[at] = 0xC3;
        if (at + 1 < good.size()) {
            good[at + 1] = 0xA9;
            EXPECT_TRUE(is_valid_utf8(good)) << "at " << at;
        } else {
            EXPECT_FALSE(is_valid_utf8(good)) << "truncated at the end";
        }
    }
}

TEST(Utf8Long, LongMixedTextIsFast) {
    Bytes big;
    const Bytes piece = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0xE2, 0x82, 0xAC, 'i', 0xF0, 0x9F, 0x98, 0x80};
    while (big.size() < (8u << 20)) put_bytes(big, piece);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(is_valid_utf8(big));
    big.back() = 0xC0;
    EXPECT_FALSE(is_valid_utf8(big));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace tarnel
