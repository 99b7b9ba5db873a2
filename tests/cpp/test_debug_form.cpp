#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "diagnostics/debug_form.hpp"
#include "diagnostics/unicode_tables.hpp"
#include "loader/instruction.hpp"
#include "values/dict_map.hpp"

namespace tarnel {
namespace {

// ---------------------------------------------------------------------------
// Instructions

struct InstructionCase {
    Instruction instruction;
    std::string expected;
};

Instruction make(Opcode op, std::initializer_list<int64_t> operands = {}) { return Instruction::make(op, operands); }

// Every kind once, in opcode order. Operands get distinct numbers so that a
// swapped or misplaced operand shows up.
std::vector<InstructionCase> every_kind() {
    using O = Opcode;
    return {
        {make(O::LoadConstR, {2, 261}), "LoadConstR { dst: 2, const_idx: 261 }"},
        {make(O::MoveR, {1, 2}), "MoveR { dst: 1, src: 2 }"},
        {make(O::LoadGlobalR, {3, 0}), "LoadGlobalR { dst: 3, name_idx: 0 }"},
        {make(O::StoreGlobalR, {3, 0}), "StoreGlobalR { src: 3, name_idx: 0 }"},
        {make(O::DefineR, {5, 2}), "DefineR { dst: 5, type_id: 2 }"},
        {make(O::CheckTypeR, {0, 5, 2}), "CheckTypeR { dst: 0, src: 5, type_id: 2 }"},
        {make(O::CastR, {0, 1, 4}), "CastR { dst: 0, src: 1, to_type: 4 }"},
        {make(O::AddR, {2, 0, 1}), "AddR { dst: 2, left: 0, right: 1 }"},
        {make(O::SubR, {3, 4, 5}), "SubR { dst: 3, left: 4, right: 5 }"},
        {make(O::MulR, {6, 7, 8}), "MulR { dst: 6, left: 7, right: 8 }"},
        {make(O::DivR, {9, 10, 11}), "DivR { dst: 9, left: 10, right: 11 }"},
        {make(O::ModR, {12, 13, 14}), "ModR { dst: 12, left: 13, right: 14 }"},
        {make(O::NegR, {0, 1}), "NegR { dst: 0, src: 1 }"},
        {make(O::NotR, {15, 16}), "NotR { dst: 15, src: 16 }"},
        {make(O::AndR, {17, 18, 19}), "AndR { dst: 17, left: 18, right: 19 }"},
        {make(O::OrR, {20, 21, 22}), "OrR { dst: 20, left: 21, right: 22 }"},
        {make(O::EqR, {23, 24, 25}), "EqR { dst: 23, left: 24, right: 25 }"},
        {make(O::NeqR, {26, 27, 28}), "NeqR { dst: 26, left: 27, right: 28 }"},
        {make(O::LtR, {29, 30, 31}), "LtR { dst: 29, left: 30, right: 31 }"},
        {make(O::GtR, {32, 33, 34}), "GtR { dst: 32, left: 33, right: 34 }"},
        {make(O::LteR, {35, 36, 37}), "LteR { dst: 35, left: 36, right: 37 }"},
        {make(O::GteR, {38, 39, 40}), "GteR { dst: 38, left: 39, right: 40 }"},
        {make(O::JumpR, {-2}), "JumpR { offset: -2 }"},
        {make(O::JumpIfR, {4, 7}), "JumpIfR { cond: 4, offset: 7 }"},
        {make(O::JumpIfNotR, {4, 3}), "JumpIfNotR { cond: 4, offset: 3 }"},
        {Instruction::call(3, {4, 5}, 9), "CallR { func: 3, args: [4, 5], dst: 9 }"},
        {make(O::ReturnR, {7}), "ReturnR { src: Some(7) }"},
        {Instruction::phi(1, {{2, 5}, {3, 8}}), "PhiR { dst: 1, sources: [(2, 5), (3, 8)] }"},
        {Instruction::assertion(1, AssertType::range(0, 10), 4),
         "AssertR { reg: 1, assert_type: Range { min: 0, max: 10 }, msg_idx: 4 }"},
        {make(O::ScopeEnterR, {1}), "ScopeEnterR { scope_id: 1 }"},
        {make(O::ScopeExitR, {2}), "ScopeExitR { scope_id: 2 }"},
        {make(O::ConcatStrR, {41, 42, 43}), "ConcatStrR { dst: 41, left: 42, right: 43 }"},
        {make(O::StrLenR, {0, 1}), "StrLenR { dst: 0, str_reg: 1 }"},
        {make(O::NewArrayR, {0, 1}), "NewArrayR { dst: 0, size: 1 }"},
        {make(O::ArrayGetR, {2, 0, 1}), "ArrayGetR { dst: 2, array: 0, index: 1 }"},
        {make(O::ArraySetR, {0, 1, 2}), "ArraySetR { array: 0, index: 1, value: 2 }"},
        {make(O::ArrayLenR, {1, 0}), "ArrayLenR { dst: 1, array: 0 }"},
        {make(O::DebugPrint, {0}), "DebugPrint { src: 0 }"},
        {make(O::BreakPoint), "BreakPoint"},
        {make(O::Halt), "Halt"},
        {make(O::Nop), "Nop"},
        {make(O::DictNewR, {0}), "DictNewR { dst: 0 }"},
        {make(O::DictGetR, {2, 0, 1}), "DictGetR { dst: 2, dict: 0, key: 1 }"},
        {make(O::DictSetR, {0, 1, 2}), "DictSetR { dict: 0, key: 1, value: 2 }"},
        {make(O::DictRemoveR, {0, 1}), "DictRemoveR { dict: 0, key: 1 }"},
        {make(O::DictContainsR, {44, 45, 46}), "DictContainsR { dst: 44, dict: 45, key: 46 }"},
        {make(O::DictKeysR, {47, 48}), "DictKeysR { dst: 47, dict: 48 }"},
        {make(O::DictValuesR, {49, 50}), "DictValuesR { dst: 49, dict: 50 }"},
        {make(O::DictClearR, {0}), "DictClearR { dict: 0 }"},
        {make(O::DictLenR, {1, 0}), "DictLenR { dst: 1, dict: 0 }"},
    };
}

TEST(DebugFormInstruction, EveryKindRendersOnce) {
    const auto cases = every_kind();
    ASSERT_EQ(cases.size(), kOpcodeCount);
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].expected);
        EXPECT_EQ(static_cast<size_t>(cases[i].instruction.op), i) << "table out of opcode order";
        EXPECT_EQ(debug_form(cases[i].instruction), cases[i].expected);
    }
}

TEST(DebugFormInstruction, EdgeCases) {
    using O = Opcode;
    const InstructionCase cases[] = {
        {Instruction::call(0, {}, 1), "CallR { func: 0, args: [], dst: 1 }"},
        {Instruction::call(255, {0, 255, 7}, 128), "CallR { func: 255, args: [0, 255, 7], dst: 128 }"},
        {make(O::JumpR, {-1}), "JumpR { offset: -1 }"},
        {make(O::JumpR, {0}), "JumpR { offset: 0 }"},
        {make(O::JumpR, {INT32_MIN}), "JumpR { offset: -2147483648 }"},
        {make(O::JumpIfR, {9, INT32_MAX}), "JumpIfR { cond: 9, offset: 2147483647 }"},
        {make(O::JumpIfNotR, {0, -100}), "JumpIfNotR { cond: 0, offset: -100 }"},
        {Instruction::assertion(0, AssertType::truthy(), 0), "AssertR { reg: 0, assert_type: True, msg_idx: 0 }"},
        {Instruction::assertion(3, AssertType::non_null(), 65535),
         "AssertR { reg: 3, assert_type: NonNull, msg_idx: 65535 }"},
        {Instruction::assertion(2, AssertType::range(INT64_MIN, INT64_MAX), 1),
         "AssertR { reg: 2, assert_type: Range { min: -9223372036854775808, max: 9223372036854775807 }, msg_idx: 1 }"},
        {Instruction::return_none(), "ReturnR { src: None }"},
        {make(O::ReturnR, {0}), "ReturnR { src: Some(0) }"},
        {make(O::ReturnR, {255}), "ReturnR { src: Some(255) }"},
        {Instruction::phi(4, {}), "PhiR { dst: 4, sources: [] }"},
        {Instruction::phi(0, {{255, 65535}}), "PhiR { dst: 0, sources: [(255, 65535)] }"},
        {make(O::LoadConstR, {255, 65535}), "LoadConstR { dst: 255, const_idx: 65535 }"},
        {make(O::CastR, {200, 201, 9}), "CastR { dst: 200, src: 201, to_type: 9 }"},
        {make(O::ScopeExitR, {65535}), "ScopeExitR { scope_id: 65535 }"},
        // Built without its lists: rendered as empty, not a crash.
        {make(O::CallR, {1, 2}), "CallR { func: 1, args: [], dst: 2 }"},
        {make(O::AssertR, {5, 6}), "AssertR { reg: 5, assert_type: True, msg_idx: 6 }"},
    };
    for (const auto& c : cases) EXPECT_EQ(debug_form(c.instruction), c.expected);
}

TEST(DebugFormInstruction, FollowsTheInstructionTable) {
    // Names and operand names come from kInstructionInfo for every kind.
    for (size_t i = 0; i < kOpcodeCount; ++i) {
        const InstructionInfo& meta = kInstructionInfo[i];
        const std::string text = debug_form(make(static_cast<Opcode>(i), {1, 2, 3}));
        SCOPED_TRACE(text);
        if (meta.operand_count() == 0) {
            EXPECT_EQ(text, meta.name);
            continue;
        }
        ASSERT_EQ(text.rfind(std::string(meta.name) + " { ", 0), 0u);
        EXPECT_EQ(text.substr(text.size() - 2), " }");
        size_t pos = 0;
        for (size_t k = 0; k < meta.operand_count(); ++k) {
            const std::string field = std::string(k == 0 ? " { " : ", ") + std::string(meta.operands[k].name) + ": ";
            const size_t found = text.find(field, pos);
            ASSERT_NE(found, std::string::npos) << field;
            pos = found + field.size();
        }
        EXPECT_EQ(text.find('\n'), std::string::npos);
    }
}

TEST(DebugFormInstruction, AppendsToExistingText) {
    std::string out = "0042 ";
    append_debug_form(out, make(Opcode::MoveR, {1, 2}));
    EXPECT_EQ(out, "0042 MoveR { dst: 1, src: 2 }");
}

// ---------------------------------------------------------------------------
// Values, function references, type tags, assertion conditions

Value array(std::vector<Value> items) { return Value::array(std::move(items)); }

Value dict_of(std::initializer_list<std::pair<std::string, Value>> entries) {
    DictMap map;
    for (const auto& [key, value] : entries) map.set(Value::string(key), value);
    return Value::dict(std::move(map));
}

struct ValueCase {
    Value value;
    std::string expected;
};

TEST(DebugFormValue, Table) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const ValueCase cases[] = {
        {Value(), "Empty"},
        {Value::boolean(false), "Bool(false)"},
        {Value::boolean(true), "Bool(true)"},
        {Value::integer(0), "Int(0)"},
        {Value::integer(-7), "Int(-7)"},
        {Value::integer(INT64_MIN), "Int(-9223372036854775808)"},
        {Value::integer(INT64_MAX), "Int(9223372036854775807)"},
        {Value::number(0.1), "Float(0.1)"},
        {Value::number(-0.0), "Float(-0.0)"},
        {Value::number(1e-7), "Float(1e-7)"},
        {Value::number(inf), "Float(inf)"},
        {Value::number(-inf), "Float(-inf)"},
        {Value::number(nan), "Float(NaN)"},
        {Value::number(2.5), "Float(2.5)"},
        {Value::number(3.0), "Float(3.0)"},
        {Value::number(1e20), "Float(1e20)"},
        {Value::string("hi"), "String(\"hi\")"},
        {Value::string(""), "String(\"\")"},
        {Value::string("a\"b"), "String(\"a\\\"b\")"},
        {Value::string("line\nbreak"), "String(\"line\\nbreak\")"},
        {Value::url("x"), "URL(\"x\")"},
        {Value::url(""), "URL(\"\")"},
        {Value::function({1, 2, "add"}), "Function(FunctionRef { chunk_index: 1, arity: 2, name: \"add\" })"},
        {Value::function({UINT64_MAX, 0, "q\""}),
         "Function(FunctionRef { chunk_index: 18446744073709551615, arity: 0, name: \"q\\\"\" })"},
        {array({}), "Array([])"},
        {array({Value::integer(1), array({Value()})}), "Array([Int(1), Array([Empty])])"},
        {array({array({}), array({})}), "Array([Array([]), Array([])])"},
        {array({Value::string("s"), Value::url("u"), Value::boolean(true)}),
         "Array([String(\"s\"), URL(\"u\"), Bool(true)])"},
        {Value::dict(), "Dict({})"},
        {dict_of({{"k", Value::integer(1)}}), "Dict({\"k\": Int(1)})"},
        {dict_of({{"a\tb", array({})}}), "Dict({\"a\\tb\": Array([])})"},
        {array({dict_of({{"d", dict_of({})}}), Value::number(1.0)}), "Array([Dict({\"d\": Dict({})}), Float(1.0)])"},
    };
    for (const auto& c : cases) EXPECT_EQ(debug_form(c.value), c.expected);
}

TEST(DebugFormValue, DictFollowsSlotOrder) {
    DictMap map;
    const char* keys[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota"};
    int64_t n = 0;
    for (const char* key : keys) map.set(Value::string(key), Value::integer(n++));
    map.remove("gamma");  // leaves a freed slot in the middle somewhere
    std::string expected = "Dict({";
    bool first = true;
    map.for_each([&](const Value& key, const Value& value) {
        if (!first) expected += ", ";
        first = false;
        expected += "\"" + std::string(key.text()) + "\": Int(" + std::to_string(value.as_int()) + ")";
    });
    expected += "})";
    const Value dict = Value::dict(std::move(map));
    EXPECT_EQ(debug_form(dict), expected);
    EXPECT_EQ(debug_form(dict).find("gamma"), std::string::npos);
}

TEST(DebugFormValue, FunctionRefAlone) {
    EXPECT_EQ(debug_form(FunctionRef{1, 2, "add"}), "FunctionRef { chunk_index: 1, arity: 2, name: \"add\" }");
    EXPECT_EQ(debug_form(FunctionRef{0, 0, ""}), "FunctionRef { chunk_index: 0, arity: 0, name: \"\" }");
}

TEST(DebugFormValue, TypeTags) {
    const std::pair<ValueType, const char*> cases[] = {
        {ValueType::Empty, "Empty"},     {ValueType::Bool, "Bool"},     {ValueType::Int, "Int"},
        {ValueType::Float, "Float"},     {ValueType::String, "String"}, {ValueType::Function, "Function"},
        {ValueType::URL, "URL"},         {ValueType::Array, "Array"},   {ValueType::Dict, "Dict"},
        {ValueType::Unknown, "Unknown"},
    };
    for (const auto& [type, expected] : cases) EXPECT_EQ(debug_form(type), expected);
}

TEST(DebugFormValue, AssertTypes) {
    const std::pair<AssertType, const char*> cases[] = {
        {AssertType::truthy(), "True"},
        {AssertType::non_null(), "NonNull"},
        {AssertType::range(-5, 10), "Range { min: -5, max: 10 }"},
        {AssertType::range(0, 0), "Range { min: 0, max: 0 }"},
    };
    for (const auto& [condition, expected] : cases) EXPECT_EQ(debug_form(condition), expected);
}

TEST(DebugFormValue, MillionDeepArray) {
    constexpr size_t kDepth = 1'000'000;
    Value value = array({});
    for (size_t i = 0; i < kDepth; ++i) value = array({std::move(value)});
    const std::string text = debug_form(value);
    // kDepth + 1 arrays: each is "Array([" ... "])".
    ASSERT_EQ(text.size(), (kDepth + 1) * 9);
    EXPECT_EQ(text.substr(0, 21), "Array([Array([Array([");
    EXPECT_EQ(text.substr(text.size() - 6), "])])])");
    EXPECT_EQ(text.find("Array([])"), kDepth * 7);
    value = Value();  // destroying it must not recurse either
    EXPECT_TRUE(value.is(ValueType::Empty));
}

TEST(DebugFormValue, DeepMixedNesting) {
    constexpr size_t kDepth = 100'000;
    Value value = Value::integer(7);
    for (size_t i = 0; i < kDepth; ++i)
        value = (i % 2 == 0) ? array({Value(), std::move(value)}) : dict_of({{"k", std::move(value)}});
    const std::string text = debug_form(value);
    EXPECT_EQ(text.rfind("Dict({\"k\": Array([Empty, ", 0), 0u);
    EXPECT_NE(text.find("Array([Empty, Int(7)])"), std::string::npos);
    const size_t half = kDepth / 2;
    EXPECT_EQ(text.size(), half * std::string("Array([Empty, ])").size() +
                               half * std::string("Dict({\"k\": })").size() + std::string("Int(7)").size());
}

// ---------------------------------------------------------------------------
// Floats

TEST(DebugFloat, Table) {
    const std::pair<double, const char*> cases[] = {
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},
        {-1.0, "-1.0"},
        {0.1, "0.1"},
        {2.5, "2.5"},
        {100.0, "100.0"},
        {123.456, "123.456"},
        {0.1 + 0.2, "0.30000000000000004"},
        {0.0001, "0.0001"},
        {0.00012, "0.00012"},
        {0.001234, "0.001234"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e15, "1000000000000000.0"},
        {123456789012345.6, "123456789012345.6"},
        {9007199254740993.0, "9007199254740992.0"},
        {1e16, "1e16"},
        {-1e16, "-1e16"},
        {1e20, "1e20"},
        {12345678901234567890.0, "1.2345678901234567e19"},
        {1.5e300, "1.5e300"},
        {DBL_MAX, "1.7976931348623157e308"},
        {0.00001, "1e-5"},
        {0.00009999, "9.999e-5"},
        {1e-7, "1e-7"},
        {-1.5e-7, "-1.5e-7"},
        {1e-100, "1e-100"},
        {DBL_MIN, "2.2250738585072014e-308"},
        {5e-324, "5e-324"},
        {-5e-324, "-5e-324"},
    };
    for (const auto& [x, expected] : cases) {
        std::string out;
        append_debug_float(out, x);
        EXPECT_EQ(out, expected) << "for " << x;
    }
}

TEST(DebugFloat, ReadsBackExactly) {
    std::mt19937_64 rng(12345);
    std::uniform_int_distribution<int> exponent(-30, 30);
    std::uniform_real_distribution<double> mantissa(1.0, 10.0);
    for (int i = 0; i < 20000; ++i) {
        double x;
        if (i % 2 == 0) {
            uint64_t bits = rng();
            std::memcpy(&x, &bits, sizeof x);
            if (!std::isfinite(x)) continue;
        } else {
            x = mantissa(rng) * std::pow(10.0, exponent(rng));
            if (i % 4 == 1) x = -x;
        }
        std::string out;
        append_debug_float(out, x);
        SCOPED_TRACE(out);
        EXPECT_EQ(std::strtod(out.c_str(), nullptr), x);
        const double magnitude = std::fabs(x);
        const bool scientific = magnitude >= 1e16 || (magnitude != 0 && magnitude < 1e-4);
        EXPECT_EQ(out.find('e') != std::string::npos, scientific);
        EXPECT_EQ(out.find('+'), std::string::npos);
        if (!scientific) {
            const size_t point = out.find('.');
            ASSERT_NE(point, std::string::npos);
            EXPECT_LT(point + 1, out.size());
        }
    }
}

// ---------------------------------------------------------------------------
// Strings

TEST(DebugString, Escapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "\"\""},
        {"hi", "\"hi\""},
        {"a\"b", "\"a\\\"b\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"\t", "\"\\t\""},
        {"\r", "\"\\r\""},
        {"\n", "\"\\n\""},
        {std::string("a\0b", 3), "\"a\\0b\""},
        {"it's", "\"it's\""},
        {"a b", "\"a b\""},  // U+0020 plain
        {"~", "\"~\""},
        {"\x01", "\"\\u{1}\""},  // Cc
        {"\x1b[0m", "\"\\u{1b}[0m\""},
        {"\x7f", "\"\\u{7f}\""},
        {"\xc2\x85", "\"\\u{85}\""},                   // NEXT LINE, Cc
        {"e\xcc\x81", "\"e\\u{301}\""},                // combining acute, Mn
        {"\xe2\x83\x9d", "\"\\u{20dd}\""},             // combining enclosing circle, Me
        {"\xc3\xa9", "\"\xc3\xa9\""},                  // é unescaped
        {"\xe4\xb8\xad", "\"\xe4\xb8\xad\""},          // CJK ideograph
        {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},  // emoji
        {"\xe0\xa4\x83", "\"\xe0\xa4\x83\""},          // U+0903, Mc: printable, not an extender
        {"\xc2\xa0", "\"\\u{a0}\""},                   // no-break space, Zs
        {"\xe3\x80\x80", "\"\\u{3000}\""},             // ideographic space, Zs
        {"\xc2\xad", "\"\\u{ad}\""},                   // soft hyphen, Cf
        {"\xe2\x80\x8b", "\"\\u{200b}\""},             // zero width space, Cf
        {"\xe2\x80\x8c", "\"\\u{200c}\""},             // ZWNJ: Cf and Other_Grapheme_Extend
        {"\xe2\x80\x8d", "\"\\u{200d}\""},             // ZWJ, Cf
        {"\xef\xbb\xbf", "\"\\u{feff}\""},             // BOM, Cf
        {"\xe2\x80\xa8", "\"\\u{2028}\""},             // line separator, Zl
        {"\xe2\x80\xa9", "\"\\u{2029}\""},             // paragraph separator, Zp
        {"\xe0\xae\xbe", "\"\\u{bbe}\""},              // Tamil AA, Mc but Other_Grapheme_Extend
        {"\xef\xbe\x9e", "\"\\u{ff9e}\""},             // halfwidth voiced mark, Lm but Other_Grapheme_Extend
        {"\xf3\xa0\x81\x81", "\"\\u{e0041}\""},        // tag letter A, Cf and Other_Grapheme_Extend
        {"\xf3\xa0\x84\x80", "\"\\u{e0100}\""},        // variation selector 17, Mn
        {"\xcd\xb8", "\"\\u{378}\""},                  // unassigned, Cn
        {"\xf1\x90\x80\x80", "\"\\u{50000}\""},        // unassigned plane 5, Cn
        {"\xef\xbf\xbf", "\"\\u{ffff}\""},             // noncharacter, Cn
        {"\xf4\x8f\xbf\xbf", "\"\\u{10ffff}\""},       // last code point, Cn
        {"\xee\x80\x80", "\"\\u{e000}\""},             // private use, Co
        {"\xf3\xb0\x80\x80", "\"\\u{f0000}\""},        // supplementary private use, Co
        {"\xef\xbf\xbd", "\"\xef\xbf\xbd\""},          // replacement character, So
        {"x\"\\\t\r\n\xcc\x81y", "\"x\\\"\\\\\\t\\r\\n\\u{301}y\""},
    };
    for (const auto& [text, expected] : cases) {
        std::string out;
        append_debug_string(out, text);
        EXPECT_EQ(out, expected);
    }
}

TEST(DebugString, NeverBreaksTheLine) {
    std::string all;
    for (int c = 0; c < 0x80; ++c) all += static_cast<char>(c);
    all += "\xc2\x85\xe2\x80\xa8\xe2\x80\xa9";
    std::string out;
    append_debug_string(out, all);
    for (char c : out) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) << int(c);
}

TEST(DebugString, MalformedBytesDoNotEscapeRaw) {
    // Strings in the VM are valid UTF-8; a stray byte is still rendered as
    // readable text rather than copied through.
    std::string out;
    append_debug_string(out,
                        "a\xff"
                        "b\xe2\x82");
    EXPECT_EQ(out,
              "\"a\xef\xbf\xbd"
              "b\xef\xbf\xbd\xef\xbf\xbd\"");
}

// ---------------------------------------------------------------------------
// Unicode tables

void expect_well_formed(std::span<const unicode::CodePointRange> table) {
    ASSERT_FALSE(table.empty());
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_LE(table[i].first, table[i].last) << i;
        EXPECT_LE(table[i].last, 0x10FFFFu) << i;
        // Sorted, disjoint and merged: a gap of at least one code point.
        if (i > 0) {
            EXPECT_GT(table[i].first, table[i - 1].last + 1) << i;
        }
    }
}

TEST(DebugUnicodeTables, WellFormed) {
    EXPECT_FALSE(unicode::kTablesVersion.empty());
    expect_well_formed(unicode::grapheme_extend_ranges());
    expect_well_formed(unicode::not_printable_ranges());
}

TEST(DebugUnicodeTables, LookupAtRangeEdges) {
    for (auto table : {unicode::grapheme_extend_ranges(), unicode::not_printable_ranges()}) {
        for (const auto& range : table) {
            EXPECT_TRUE(unicode::in_ranges(table, range.first));
            EXPECT_TRUE(unicode::in_ranges(table, range.last));
            EXPECT_TRUE(unicode::in_ranges(table, range.first + (range.last - range.first) / 2));
            if (range.first > 0) {
                EXPECT_FALSE(unicode::in_ranges(table, range.first - 1)) << uint32_t(range.first);
            }
            if (range.last < 0x10FFFF) {
                EXPECT_FALSE(unicode::in_ranges(table, range.last + 1)) << uint32_t(range.last);
            }
        }
    }
}

TEST(DebugUnicodeTables, KnownMembers) {
    struct Case {
        char32_t c;
        bool extend;
        bool not_printable;
    };
    const Case cases[] = {
        {0x0000, false, true},  {0x001F, false, true}, {0x0020, false, false}, {0x0041, false, false},
        {0x007E, false, false}, {0x007F, false, true}, {0x00A0, false, true},  {0x00E9, false, false},
        {0x0300, true, false},  {0x036F, true, false}, {0x0378, false, true},  {0x0903, false, false},
        {0x09BE, true, false},  {0x200C, true, true},  {0x200D, false, true},  {0x2028, false, true},
        {0xD800, false, true},  {0xDFFF, false, true}, {0xE000, false, true},  {0xFFFD, false, false},
        {0xE0020, true, true},  {0xE007F, true, true}, {0xE01EF, true, false}, {0x10FFFF, false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unicode::is_grapheme_extend(c.c), c.extend) << std::hex << uint32_t(c.c);
        EXPECT_EQ(unicode::is_not_printable(c.c), c.not_printable) << std::hex << uint32_t(c.c);
    }
}

}  // namespace
}  // namespace tarnel
