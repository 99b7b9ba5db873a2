// The value model: display text, truthiness, type tags and names, error
// messages, copy-on-write isolation, the dictionary map, and destruction of
// deeply nested containers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "value_builders.hpp"
#include "values/dict_map.hpp"
#include "values/errors.hpp"
#include "values/value.hpp"

namespace tarnel {
namespace {

using namespace tarnel::testing_values;

// ---- Display text ----

struct DisplayCase {
    Value value;
    std::string text;
};

TEST(ValueDisplay, Table) {
    std::vector<DisplayCase> table = {
        {E(), "empty"},
        {B(true), "true"},
        {B(false), "false"},
        {I(0), "0"},
        {I(42), "42"},
        {I(-7), "-7"},
        {I(kMax), "9223372036854775807"},
        {I(kMin), "-9223372036854775808"},
        {F(3.0), "3"},
        {F(-0.0), "-0"},
        {F(0.0), "0"},
        {F(2.5), "2.5"},
        {F(-2.5), "-2.5"},
        {F(0.1), "0.1"},
        {F(1.5e-7), "0.00000015"},
        {F(1e21), "1000000000000000000000"},
        {F(1e23), "99999999999999991611392"},
        {F(-1e23), "-99999999999999991611392"},
        {F(kInf), "inf"},
        {F(-kInf), "-inf"},
        {F(kNaN), "NaN"},
        {F(-kNaN), "NaN"},
        {S("hello"), "hello"},
        {S(""), ""},
        {S("say \"hi\"\n"), "say \"hi\"\n"},
        {U("http://example.invalid/a b"), "http://example.invalid/a b"},
        {U(""), ""},
        {Fn("f"), "function<f>"},
        {Fn("main"), "function<main>"},
        {Fn(""), "function<>"},
        {A({}), "[]"},
        {D({}), "{}"},
        {A({I(1), S("a"), A({F(2.5)})}), "[1, a, [2.5]]"},
        {D({{"k", B(true)}}), "{k: true}"},
        {A({E(), E()}), "[empty, empty]"},
        {A({A({}), A({A({})})}), "[[], [[]]]"},
        {A({D({{"a", A({})}})}), "[{a: []}]"},
        {D({{"k", D({{"j", A({I(1), D({})})}})}}), "{k: {j: [1, {}]}}"},
        {A({Fn("g"), U("u"), F(-0.0), B(false)}), "[function<g>, u, -0, false]"},
        {A({S("a, b"), S("")}), "[a, b, ]"},
    };
    for (size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "row " << i << " (" << debug_name(table[i].value.type()) << ")");
        EXPECT_EQ(display_text(table[i].value), table[i].text);
    }
}

// Items of a map appear in its iteration order, separated by ", ".
TEST(ValueDisplay, DictItemsFollowIterationOrder) {
    Value dict = D({{"a", I(1)}, {"b", S("x")}, {"c", A({I(2)})}, {"d", E()}});
    std::string expected = "{";
    bool first = true;
    dict.entries().for_each([&](const Value& key, const Value& value) {
        if (!first) expected += ", ";
        first = false;
        expected += key.text();
        expected += ": ";
        expected += display_text(value);
    });
    expected += "}";
    EXPECT_EQ(display_text(dict), expected);
    EXPECT_EQ(display_text(dict).size(), std::string("{a: 1, b: x, c: [2], d: empty}").size());
}

TEST(ValueDisplay, AppendsToExistingText) {
    std::string out = "x=";
    append_display_text(out, A({I(1)}));
    EXPECT_EQ(out, "x=[1]");
}

// ---- Truthiness ----

struct TruthCase {
    Value value;
    bool truthy;
};

TEST(ValueTruthiness, Table) {
    std::vector<TruthCase> table = {
        {E(), false},      {B(true), true},
        {B(false), false}, {I(0), false},
        {I(1), true},      {I(-1), true},
        {I(kMin), true},   {F(0.0), false},
        {F(-0.0), false},  {F(kNaN), false},
        {F(-kNaN), false}, {F(kInf), true},
        {F(-kInf), true},  {F(5e-324), true},
        {F(-0.5), true},   {S(""), false},
        {S("0"), true},    {S("false"), true},
        {U(""), true},     {U("u"), true},
        {Fn("f"), true},   {Fn(""), true},
        {A({}), false},    {A({E()}), true},
        {D({}), false},    {D({{"k", B(false)}}), true},
    };
    for (size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << debug_name(table[i].value.type()) << " "
                                        << display_text(table[i].value));
        EXPECT_EQ(is_truthy(table[i].value), table[i].truthy);
    }
}

// A dict whose entries were all removed is empty again, so falsy.
TEST(ValueTruthiness, DictEmptiedByRemoval) {
    Value dict = D({{"a", I(1)}});
    EXPECT_TRUE(is_truthy(dict));
    EXPECT_TRUE(dict.mutable_entries().remove("a"));
    EXPECT_FALSE(is_truthy(dict));
}

// ---- Type tags ----

TEST(ValueTypes, IdentifierToTag) {
    struct Row {
        uint16_t id;
        ValueType tag;
    };
    const Row table[] = {
        {0, ValueType::Empty},     {1, ValueType::Bool},       {2, ValueType::Int},         {3, ValueType::Float},
        {4, ValueType::String},    {5, ValueType::Function},   {6, ValueType::URL},         {7, ValueType::Unknown},
        {8, ValueType::Unknown},   {9, ValueType::Unknown},    {10, ValueType::Unknown},    {255, ValueType::Unknown},
        {256, ValueType::Unknown}, {1000, ValueType::Unknown}, {65535, ValueType::Unknown},
    };
    for (const Row& row : table) EXPECT_EQ(type_from_id(row.id), row.tag) << "identifier " << row.id;
}

TEST(ValueTypes, NamesOfEveryTag) {
    struct Row {
        ValueType tag;
        int number;
        const char* type_name;
        const char* debug_name;
    };
    const Row table[] = {
        {ValueType::Empty, 0, "empty", "Empty"},    {ValueType::Bool, 1, "bool", "Bool"},
        {ValueType::Int, 2, "int", "Int"},          {ValueType::Float, 3, "float", "Float"},
        {ValueType::String, 4, "string", "String"}, {ValueType::Function, 5, "function", "Function"},
        {ValueType::URL, 6, "url", "URL"},          {ValueType::Array, 7, "array", "Array"},
        {ValueType::Dict, 8, "dict", "Dict"},       {ValueType::Unknown, 9, "unknown", "Unknown"},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.debug_name);
        EXPECT_EQ(static_cast<int>(row.tag), row.number);
        EXPECT_EQ(type_name(row.tag), row.type_name);
        EXPECT_EQ(debug_name(row.tag), row.debug_name);
    }
}

TEST(ValueTypes, TagOfEachKind) {
    struct Row {
        Value value;
        ValueType tag;
    };
    const std::vector<Row> table = {
        {E(), ValueType::Empty},          {B(false), ValueType::Bool}, {I(0), ValueType::Int},
        {F(0.0), ValueType::Float},       {S(""), ValueType::String},  {Fn("f"), ValueType::Function},
        {U(""), ValueType::URL},          {A({}), ValueType::Array},   {D({}), ValueType::Dict},
        {Value::dict(), ValueType::Dict},
    };
    for (const Row& row : table) {
        EXPECT_EQ(row.value.type(), row.tag) << debug_name(row.tag);
        EXPECT_TRUE(row.value.is(row.tag));
    }
}

TEST(ValueTypes, CopiesKeepKindAndPayload) {
    Value f = Value::function(FunctionRef{12, 3, "fib"});
    Value g = f;
    EXPECT_EQ(g.function_ref().chunk_index, 12u);
    EXPECT_EQ(g.function_ref().arity, 3u);
    EXPECT_EQ(g.function_ref().name, "fib");
    Value moved = std::move(g);
    EXPECT_TRUE(moved.is(ValueType::Function));
    Value x = F(-0.0);
    Value y = x;
    EXPECT_TRUE(std::signbit(y.as_float()));
}

// ---- Error messages ----

struct VmErrorCase {
    VmError error;
    VmErrorKind kind;
    int number;
    const char* name;
    std::string message;
};

TEST(ErrorMessages, EveryExecutionError) {
    using K = VmErrorKind;
    std::vector<VmErrorCase> table = {
        {VmError::type_mismatch("numeric or string", "String and Int"), K::TypeMismatch, 0, "TypeMismatch",
         "Type mismatch: expected numeric or string, found String and Int"},
        {VmError::division_by_zero(), K::DivisionByZero, 1, "DivisionByZero", "Division by zero"},
        {VmError::integer_overflow(), K::IntegerOverflow, 2, "IntegerOverflow", "Integer overflow"},
        {VmError::index_out_of_bounds(-1, 3), K::IndexOutOfBounds, 3, "IndexOutOfBounds",
         "Index out of bounds: index -1 for length 3"},
        {VmError::of(K::UndefinedVariable, "x"), K::UndefinedVariable, 4, "UndefinedVariable", "Undefined variable: x"},
        {VmError::undefined_function("no function specified"), K::UndefinedFunction, 5, "UndefinedFunction",
         "Undefined function: no function specified"},
        {VmError::invalid_operation("negation", "String"), K::InvalidOperation, 6, "InvalidOperation",
         "Invalid operation: negation on type String"},
        {VmError::invalid_comparison("Bool", "Bool"), K::InvalidComparison, 7, "InvalidComparison",
         "Invalid comparison: Bool and Bool"},
        {VmError::assertion_failed("x must be positive"), K::AssertionFailed, 8, "AssertionFailed",
         "Assertion failed: x must be positive"},
        {VmError::stack_overflow(), K::StackOverflow, 9, "StackOverflow", "Stack overflow"},
        {VmError::out_of_memory(), K::OutOfMemory, 10, "OutOfMemory", "Out of memory"},
        {VmError::of(K::InvalidRegister, "255"), K::InvalidRegister, 11, "InvalidRegister", "Invalid register: 255"},
        {VmError::invalid_constant_index(65535), K::InvalidConstantIndex, 12, "InvalidConstantIndex",
         "Invalid constant index: 65535"},
        {VmError::of(K::InvalidInstruction, "17"), K::InvalidInstruction, 13, "InvalidInstruction",
         "Invalid instruction at PC 17"},
        {VmError::of(K::InvalidBytecode), K::InvalidBytecode, 14, "InvalidBytecode", "Invalid bytecode"},
        {VmError::module_not_loaded(), K::ModuleNotLoaded, 15, "ModuleNotLoaded", "Module not loaded"},
        {VmError::of(K::InvalidOpcode, "200"), K::InvalidOpcode, 16, "InvalidOpcode", "Invalid opcode: 200"},
        {VmError::of(K::UnexpectedEndOfFile), K::UnexpectedEndOfFile, 17, "UnexpectedEndOfFile",
         "Unexpected end of file"},
    };
    ASSERT_EQ(table.size(), 18u);
    for (const VmErrorCase& c : table) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.error.kind, c.kind);
        EXPECT_EQ(static_cast<int>(c.kind), c.number);
        EXPECT_EQ(kind_name(c.kind), c.name);
        EXPECT_EQ(c.error.message(), c.message);
    }
}

// Payload texts are inserted verbatim, whatever they contain.
TEST(ErrorMessages, PayloadsAreFormattedAndInsertedVerbatim) {
    struct Row {
        VmError error;
        std::string message;
    };
    const std::vector<Row> table = {
        {VmError::index_out_of_bounds(kMin, 0), "Index out of bounds: index -9223372036854775808 for length 0"},
        {VmError::index_out_of_bounds(5, std::numeric_limits<uint64_t>::max()),
         "Index out of bounds: index 5 for length 18446744073709551615"},
        {VmError::invalid_constant_index(0), "Invalid constant index: 0"},
        {VmError::invalid_operation("create array", "negative size: -3"),
         "Invalid operation: create array on type negative size: -3"},
        {VmError::type_mismatch("{1}", "{0}"), "Type mismatch: expected {1}, found {0}"},
        {VmError::assertion_failed("{0} and {1}"), "Assertion failed: {0} and {1}"},
        {VmError::assertion_failed(""), "Assertion failed: "},
        {VmError::undefined_function("caf\xc3\xa9"), "Undefined function: caf\xc3\xa9"},
        {VmError::type_mismatch("integer", "float 3.5"), "Type mismatch: expected integer, found float 3.5"},
    };
    for (const Row& row : table) EXPECT_EQ(row.error.message(), row.message);
}

struct LoadErrorCase {
    LoadError error;
    LoadErrorKind kind;
    int number;
    const char* name;
    std::string message;
};

TEST(ErrorMessages, EveryLoadError) {
    using K = LoadErrorKind;
    std::vector<LoadErrorCase> table = {
        {LoadError::io_errno(ENOENT), K::Io, 0, "Io", "IO error: No such file or directory (os error 2)"},
        {LoadError::of(K::InvalidMagic), K::InvalidMagic, 1, "InvalidMagic", "Invalid magic number"},
        {LoadError::of(K::UnsupportedVersion, "2"), K::UnsupportedVersion, 2, "UnsupportedVersion",
         "Unsupported version: 2"},
        {LoadError::of(K::InvalidFormat), K::InvalidFormat, 3, "InvalidFormat", "Invalid bytecode format"},
        {LoadError::of(K::MetadataHashMismatch), K::MetadataHashMismatch, 4, "MetadataHashMismatch",
         "Metadata hash mismatch"},
        {LoadError::of(K::InvalidConstantTag, "9"), K::InvalidConstantTag, 5, "InvalidConstantTag",
         "Invalid constant tag: 9"},
        {LoadError::of(K::InvalidOpcode, "77"), K::InvalidOpcode, 6, "InvalidOpcode", "Invalid opcode: 77"},
        {LoadError::of(K::InvalidOffset), K::InvalidOffset, 7, "InvalidOffset", "Invalid offset"},
        {LoadError::unexpected_eof(), K::UnexpectedEof, 8, "UnexpectedEof", "Unexpected EOF"},
        {LoadError::of(K::InvalidUtf8), K::InvalidUtf8, 9, "InvalidUtf8", "Invalid UTF-8"},
    };
    ASSERT_EQ(table.size(), 10u);
    for (const LoadErrorCase& c : table) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.error.kind, c.kind);
        EXPECT_EQ(static_cast<int>(c.kind), c.number);
        EXPECT_EQ(kind_name(c.kind), c.name);
        EXPECT_EQ(c.error.message(), c.message);
    }
}

TEST(ErrorMessages, OperatingSystemErrorTexts) {
    EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
    EXPECT_EQ(os_error_text(13), "Permission denied (os error 13)");
    EXPECT_EQ(os_error_text(21), "Is a directory (os error 21)");
    EXPECT_EQ(LoadError::io_errno(EACCES).message(), "IO error: Permission denied (os error 13)");
    EXPECT_EQ(LoadError::of(LoadErrorKind::Io, "stream did not contain valid UTF-8").message(),
              "IO error: stream did not contain valid UTF-8");
}

TEST(ErrorMessages, ErrorsCompareByKindAndPayload) {
    EXPECT_EQ(VmError::division_by_zero(), VmError::division_by_zero());
    EXPECT_NE(VmError::division_by_zero(), VmError::integer_overflow());
    EXPECT_NE(VmError::assertion_failed("a"), VmError::assertion_failed("b"));
    EXPECT_EQ(LoadError::io_errno(2), LoadError::io_errno(2));
}

// ---- Copy-on-write ----

TEST(ValueCopyOnWrite, ArrayCopyIsIsolated) {
    Value a = A({I(1), I(2)});
    const void* original = a.payload();
    Value b = a;
    EXPECT_FALSE(a.is_unique());
    a.mutable_items().push_back(I(3));
    a.mutable_items()[0] = S("changed");
    EXPECT_NE(a.payload(), original);
    EXPECT_EQ(b.payload(), original);
    EXPECT_EQ(display_text(a), "[changed, 2, 3]");
    EXPECT_EQ(display_text(b), "[1, 2]");
    EXPECT_TRUE(a.is_unique());
    EXPECT_TRUE(b.is_unique());
}

TEST(ValueCopyOnWrite, UniqueArrayChangesInPlace) {
    Value a = A({I(1)});
    const void* original = a.payload();
    a.mutable_items()[0] = I(9);
    a.mutable_items().push_back(I(10));
    EXPECT_EQ(a.payload(), original);
    EXPECT_EQ(display_text(a), "[9, 10]");
    // Once the other holder is gone, the payload is unique again.
    {
        Value b = a;
        EXPECT_FALSE(a.is_unique());
    }
    EXPECT_TRUE(a.is_unique());
    a.mutable_items().pop_back();
    EXPECT_EQ(a.payload(), original);
    EXPECT_EQ(display_text(a), "[9]");
}

TEST(ValueCopyOnWrite, NestedArrayHeldElsewhereIsIsolated) {
    Value inner = A({I(1)});
    Value outer = A({inner});
    outer.mutable_items()[0].mutable_items()[0] = I(2);
    EXPECT_EQ(display_text(inner), "[1]");
    EXPECT_EQ(display_text(outer), "[[2]]");
    Value outer_copy = outer;
    outer.mutable_items()[0].mutable_items().push_back(I(3));
    EXPECT_EQ(display_text(outer_copy), "[[2]]");
    EXPECT_EQ(display_text(outer), "[[2, 3]]");
}

TEST(ValueCopyOnWrite, DictCopyIsIsolated) {
    Value a = D({{"k", I(1)}});
    const void* original = a.payload();
    Value b = a;
    a.mutable_entries().set(S("k"), I(2));
    a.mutable_entries().set(S("n"), I(3));
    EXPECT_NE(a.payload(), original);
    EXPECT_EQ(b.payload(), original);
    EXPECT_EQ(b.entries().size(), 1u);
    EXPECT_EQ(b.entries().find("k")->as_int(), 1);
    EXPECT_EQ(b.entries().find("n"), nullptr);
    EXPECT_EQ(a.entries().size(), 2u);
    EXPECT_EQ(a.entries().find("k")->as_int(), 2);
    Value c = a;
    EXPECT_TRUE(a.mutable_entries().remove("k"));
    EXPECT_NE(c.entries().find("k"), nullptr);
    EXPECT_EQ(c.entries().size(), 2u);
}

TEST(ValueCopyOnWrite, UniqueDictChangesInPlace) {
    Value a = D({{"k", I(1)}});
    const void* original = a.payload();
    a.mutable_entries().set(S("k"), I(5));
    a.mutable_entries().set(S("m"), I(6));
    EXPECT_EQ(a.payload(), original);
    EXPECT_EQ(a.entries().find("k")->as_int(), 5);
    EXPECT_EQ(a.entries().size(), 2u);
}

TEST(ValueCopyOnWrite, TextCopyIsIsolated) {
    for (Value a : {S("abc"), U("abc")}) {
        SCOPED_TRACE(debug_name(a.type()));
        ValueType kind = a.type();
        const void* original = a.payload();
        Value b = a;
        a.mutable_text() += "def";
        EXPECT_NE(a.payload(), original);
        EXPECT_EQ(a.type(), kind);
        EXPECT_EQ(a.text(), "abcdef");
        EXPECT_EQ(b.text(), "abc");
        EXPECT_EQ(b.payload(), original);
        // Unique now: changed in place.
        const void* now = a.payload();
        a.mutable_text()[0] = 'A';
        EXPECT_EQ(a.payload(), now);
        EXPECT_EQ(a.text(), "Abcdef");
        EXPECT_EQ(b.text(), "abc");
    }
}

TEST(ValueCopyOnWrite, CopyAssignmentAndMoveKeepCountsRight) {
    Value a = A({I(1)});
    Value b;
    b = a;
    EXPECT_FALSE(a.is_unique());
    b = a;  // same payload again
    EXPECT_FALSE(a.is_unique());
    b = I(1);
    EXPECT_TRUE(a.is_unique());
    Value c = std::move(a);
    EXPECT_TRUE(a.is(ValueType::Empty));  // NOLINT(bugprone-use-after-move)
    EXPECT_TRUE(c.is_unique());
    Value& self = c;
    c = self;
    EXPECT_TRUE(c.is_unique());
    EXPECT_EQ(display_text(c), "[1]");
}

// ---- The dictionary map ----

TEST(DictMapBasics, SetFindRemoveClear) {
    DictMap map;
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(map.find("a"), nullptr);
    EXPECT_FALSE(map.remove("a"));
    map.set(S("a"), I(1));
    map.set(S("b"), I(2));
    EXPECT_EQ(map.size(), 2u);
    ASSERT_NE(map.find("a"), nullptr);
    EXPECT_EQ(map.find("a")->as_int(), 1);
    EXPECT_TRUE(map.contains("b"));
    EXPECT_FALSE(map.contains("c"));
    EXPECT_FALSE(map.contains(""));
    map.set(S("a"), S("one"));  // replaces, size unchanged
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(map.find("a")->text(), "one");
    map.set(S(""), E());  // the empty key is a key like any other
    EXPECT_TRUE(map.contains(""));
    EXPECT_EQ(map.size(), 3u);
    EXPECT_TRUE(map.remove("a"));
    EXPECT_FALSE(map.remove("a"));
    EXPECT_EQ(map.find("a"), nullptr);
    EXPECT_EQ(map.size(), 2u);
    map.clear();
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(map.find("b"), nullptr);
    EXPECT_FALSE(map.remove("b"));
    map.set(S("b"), I(7));
    EXPECT_EQ(map.find("b")->as_int(), 7);
    EXPECT_EQ(map.size(), 1u);
}

TEST(DictMapBasics, KeysCompareByBytes) {
    DictMap map;
    map.set(S("a"), I(1));
    map.set(S("A"), I(2));
    map.set(S(std::string("a\0", 2)), I(3));
    EXPECT_EQ(map.size(), 3u);
    EXPECT_EQ(map.find("a")->as_int(), 1);
    EXPECT_EQ(map.find("A")->as_int(), 2);
    EXPECT_EQ(map.find(std::string_view("a\0", 2))->as_int(), 3);
}

TEST(DictMapBasics, SharesTheKeyObject) {
    DictMap map;
    Value key = S("shared");
    map.set(key, I(1));
    bool found = false;
    for (size_t i = 0; i < map.slot_count(); ++i) {
        if (map.slot_key(i) == nullptr) continue;
        EXPECT_EQ(map.slot_key(i)->payload(), key.payload());
        found = true;
    }
    EXPECT_TRUE(found);
}

// Every remaining key stays reachable after removals: a deletion that
// leaves a gap in a probe run would lose the keys behind it.
TEST(DictMapRemoval, ManyKeysWithRemovalsStayReachable) {
    constexpr int kKeys = 3000;
    DictMap map;
    for (int i = 0; i < kKeys; ++i) map.set(S("key" + std::to_string(i)), I(i));
    ASSERT_EQ(map.size(), static_cast<size_t>(kKeys));
    size_t removed = 0;
    for (int i = 0; i < kKeys; i += 3) {
        ASSERT_TRUE(map.remove("key" + std::to_string(i))) << i;
        ++removed;
    }
    for (int i = 1; i < kKeys; i += 7) {
        if (i % 3 == 0) continue;
        ASSERT_TRUE(map.remove("key" + std::to_string(i))) << i;
        ++removed;
    }
    EXPECT_EQ(map.size(), kKeys - removed);
    for (int i = 0; i < kKeys; ++i) {
        bool gone = i % 3 == 0 || (i % 7 == 1 && i % 3 != 0);
        const Value* found = map.find("key" + std::to_string(i));
        if (gone) {
            EXPECT_EQ(found, nullptr) << i;
        } else {
            ASSERT_NE(found, nullptr) << "lost key" << i;
            EXPECT_EQ(found->as_int(), i);
        }
    }
    // Re-inserting removed keys works and keeps the others.
    for (int i = 0; i < kKeys; i += 3) map.set(S("key" + std::to_string(i)), I(-i));
    for (int i = 0; i < kKeys; i += 3) EXPECT_EQ(map.find("key" + std::to_string(i))->as_int(), -i);
}

// Random insertions and removals on small tables (where runs wrap around
// the end of the slot array), checked against a reference after every step.
TEST(DictMapRemoval, RandomOperationsMatchAReference) {
    std::mt19937 rng(12345);
    for (int trial = 0; trial < 300; ++trial) {
        DictMap map;
        std::map<std::string, int64_t> reference;
        int universe = 4 + static_cast<int>(rng() % 40);
        for (int step = 0; step < 200; ++step) {
            std::string key = "k" + std::to_string(rng() % universe);
            if (rng() % 3 == 0) {
                bool was = reference.erase(key) == 1;
                ASSERT_EQ(map.remove(key), was) << key;
            } else {
                int64_t v = static_cast<int64_t>(rng() % 1000);
                map.set(S(key), I(v));
                reference[key] = v;
            }
            ASSERT_EQ(map.size(), reference.size());
            for (int k = 0; k < universe; ++k) {
                std::string probe = "k" + std::to_string(k);
                const Value* found = map.find(probe);
                auto it = reference.find(probe);
                if (it == reference.end()) {
                    ASSERT_EQ(found, nullptr) << "trial " << trial << " step " << step << " " << probe;
                } else {
                    ASSERT_NE(found, nullptr) << "trial " << trial << " step " << step << " lost " << probe;
                    ASSERT_EQ(found->as_int(), it->second);
                }
            }
        }
    }
}

TEST(DictMapIteration, CoversEveryKeyOnce) {
    DictMap map;
    for (int i = 0; i < 500; ++i) map.set(S("k" + std::to_string(i)), I(i));
    for (int i = 0; i < 500; i += 5) map.remove("k" + std::to_string(i));
    std::multiset<std::string> seen;
    map.for_each([&](const Value& key, const Value& value) {
        EXPECT_EQ(key.text(), "k" + std::to_string(value.as_int()));
        seen.emplace(key.text());
    });
    EXPECT_EQ(seen.size(), map.size());
    std::set<std::string> unique(seen.begin(), seen.end());
    EXPECT_EQ(unique.size(), seen.size()) << "a key was visited twice";
    // The slot walk visits the same keys in the same order.
    std::vector<std::string> by_slots;
    for (size_t i = 0; i < map.slot_count(); ++i)
        if (const Value* key = map.slot_key(i)) by_slots.emplace_back(key->text());
    std::vector<std::string> by_visit;
    map.for_each([&](const Value& key, const Value&) { by_visit.emplace_back(key.text()); });
    EXPECT_EQ(by_slots, by_visit);
    EXPECT_EQ(by_slots.size(), 400u);
}

TEST(DictMapIteration, SameInsertionsCanGiveDifferentOrders) {
    auto order_of = [](const DictMap& map) {
        std::vector<std::string> order;
        map.for_each([&](const Value& key, const Value&) { order.emplace_back(key.text()); });
        return order;
    };
    std::vector<std::vector<std::string>> orders;
    for (int m = 0; m < 10; ++m) {
        DictMap map;
        for (const char* key : {"alpha", "beta", "gamma", "delta", "epsilon", "zeta"}) map.set(S(key), I(0));
        orders.push_back(order_of(map));
    }
    bool differs = std::any_of(orders.begin(), orders.end(), [&](const auto& o) { return o != orders[0]; });
    EXPECT_TRUE(differs) << "ten maps listed the same keys in the same order";
}

TEST(DictMapCopies, CopyIsIndependent) {
    DictMap a;
    a.set(S("x"), I(1));
    DictMap b = a;
    b.set(S("x"), I(2));
    b.set(S("y"), I(3));
    EXPECT_EQ(a.find("x")->as_int(), 1);
    EXPECT_EQ(a.size(), 1u);
    EXPECT_EQ(b.find("x")->as_int(), 2);
    EXPECT_EQ(b.size(), 2u);
}

// A map that was moved from is empty and usable again.
TEST(DictMapCopies, MovedFromMapIsEmpty) {
    DictMap a;
    for (int i = 0; i < 10; ++i) a.set(S("k" + std::to_string(i)), I(i));
    DictMap b = std::move(a);
    EXPECT_EQ(b.size(), 10u);
    EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(a.find("k1"), nullptr);
    EXPECT_FALSE(a.remove("k1"));
    a.set(S("z"), I(1));
    EXPECT_EQ(a.size(), 1u);
    EXPECT_EQ(a.find("z")->as_int(), 1);

    DictMap c;
    c.set(S("c"), I(0));
    c = std::move(b);
    EXPECT_EQ(c.size(), 10u);
    EXPECT_TRUE(b.empty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(b.find("k2"), nullptr);
    b.set(S("k2"), I(5));
    EXPECT_EQ(b.size(), 1u);
}

// ---- Deep nesting ----

constexpr size_t kDeep = 1'000'000;

TEST(ValueDeepNesting, MillionDeepArrayIsDestroyed) {
    Value v = nest_in_arrays(I(1), kDeep);
    v = Value();  // releases the whole chain
    EXPECT_TRUE(v.is(ValueType::Empty));
}

TEST(ValueDeepNesting, MillionDeepDictIsDestroyed) {
    Value key = S("k");
    Value v = S("leaf");
    for (size_t i = 0; i < kDeep; ++i) {
        DictMap map;
        map.set(key, std::move(v));
        v = Value::dict(std::move(map));
    }
    v = Value();
    EXPECT_TRUE(key.is_unique());  // every map let go of the shared key
}

TEST(ValueDeepNesting, MixedChainSharedAtTheBottomIsDestroyed) {
    Value bottom = A({S("bottom")});
    Value key = S("k");
    Value v = bottom;
    for (size_t i = 0; i < kDeep; ++i) {
        if (i % 2 == 0) {
            std::vector<Value> items;
            items.push_back(std::move(v));
            items.push_back(I(static_cast<int64_t>(i)));
            v = Value::array(std::move(items));
        } else {
            DictMap map;
            map.set(key, std::move(v));
            v = Value::dict(std::move(map));
        }
    }
    EXPECT_FALSE(bottom.is_unique());
    v = Value();
    EXPECT_TRUE(bottom.is_unique());
    EXPECT_EQ(display_text(bottom), "[bottom]");
}

TEST(ValueDeepNesting, DeepDisplayText) {
    Value v = nest_in_arrays(I(7), kDeep);
    std::string text = display_text(v);
    ASSERT_EQ(text.size(), 2 * kDeep + 1);
    EXPECT_EQ(text.substr(kDeep - 2, 5), "[[7]]");
    EXPECT_EQ(text.front(), '[');
    EXPECT_EQ(text.back(), ']');
}

}  // namespace
}  // namespace tarnel
