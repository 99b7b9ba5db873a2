// Tables for the value operations behind the arithmetic, comparison and
// text-joining instructions: each row gives the operation, its operands and
// the exact outcome (result kind and value, float bits included, or the
// error message).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "value_builders.hpp"
#include "values/dict_map.hpp"
#include "values/operations.hpp"
#include "values/value.hpp"

namespace tarnel {
namespace {

using namespace tarnel::testing_values;

// Expected outcome: a value, or the message of the error.
struct Outcome {
    std::optional<Value> value;
    std::string message;
};
Outcome Is(Value v) { return {std::move(v), {}}; }
Outcome Fails(std::string message) { return {std::nullopt, std::move(message)}; }

void check(const Result<Value, VmError>& got, const Outcome& want) {
    if (want.value) {
        ASSERT_TRUE(got.ok()) << "unexpected error: " << got.error().message();
        EXPECT_TRUE(identical(got.value(), *want.value))
            << "got " << describe(got.value()) << ", want " << describe(*want.value);
    } else {
        ASSERT_FALSE(got.ok()) << "unexpected success: " << describe(got.value());
        EXPECT_EQ(got.error().message(), want.message);
    }
}

enum class Arith { Add, Sub, Mul, Div, Mod };

const char* arith_name(Arith op) {
    switch (op) {
        case Arith::Add:
            return "add";
        case Arith::Sub:
            return "sub";
        case Arith::Mul:
            return "mul";
        case Arith::Div:
            return "div";
        case Arith::Mod:
            return "mod";
    }
    return "?";
}

Result<Value, VmError> apply(Arith op, const Value& l, const Value& r) {
    switch (op) {
        case Arith::Add:
            return ops::add(l, r);
        case Arith::Sub:
            return ops::subtract(l, r);
        case Arith::Mul:
            return ops::multiply(l, r);
        case Arith::Div:
            return ops::divide(l, r);
        case Arith::Mod:
            return ops::remainder(l, r);
    }
    return Failure{VmError::of(VmErrorKind::InvalidBytecode)};
}

const std::string kOverflow = "Integer overflow";
const std::string kByZero = "Division by zero";
std::string numeric_or_string(const char* found) {
    return std::string("Type mismatch: expected numeric or string, found ") + found;
}
std::string numeric(const char* found) { return std::string("Type mismatch: expected numeric, found ") + found; }

struct ArithCase {
    Arith op;
    Value left;
    Value right;
    Outcome want;
};

void run_arith_table(const std::vector<ArithCase>& table) {
    for (size_t i = 0; i < table.size(); ++i) {
        const ArithCase& c = table[i];
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << arith_name(c.op) << "(" << describe(c.left) << ", "
                                        << describe(c.right) << ")");
        check(apply(c.op, c.left, c.right), c.want);
    }
}

TEST(OpArithmetic, Addition) {
    run_arith_table({
        {Arith::Add, I(1), I(2), Is(I(3))},
        {Arith::Add, I(-5), I(3), Is(I(-2))},
        {Arith::Add, I(kMax), I(1), Fails(kOverflow)},
        {Arith::Add, I(1), I(kMax), Fails(kOverflow)},
        {Arith::Add, I(kMin), I(-1), Fails(kOverflow)},
        {Arith::Add, I(kMin), I(kMax), Is(I(-1))},
        {Arith::Add, I(kMax), I(0), Is(I(kMax))},
        {Arith::Add, I(1), F(0.5), Is(F(1.5))},
        {Arith::Add, F(0.5), I(1), Is(F(1.5))},
        {Arith::Add, F(0.1), F(0.2), Is(F(0.30000000000000004))},
        {Arith::Add, F(1e308), F(1e308), Is(F(kInf))},
        {Arith::Add, F(kInf), F(-kInf), Is(F(kNaN))},
        {Arith::Add, F(-0.0), F(-0.0), Is(F(-0.0))},
        {Arith::Add, F(-0.0), I(0), Is(F(0.0))},
        // The Int is rounded to binary64 before the sum.
        {Arith::Add, I(9007199254740993), F(0.0), Is(F(9007199254740992.0))},
        {Arith::Add, I(kMax), F(1.0), Is(F(9223372036854775808.0))},
        {Arith::Add, S("ab"), S("cd"), Is(S("abcd"))},
        {Arith::Add, S(""), S(""), Is(S(""))},
        {Arith::Add, S("x"), S(""), Is(S("x"))},
        {Arith::Add, S("String and Int"), I(1), Fails(numeric_or_string("String and Int"))},
        {Arith::Add, I(1), S("a"), Fails(numeric_or_string("Int and String"))},
        {Arith::Add, F(1), S("a"), Fails(numeric_or_string("Float and String"))},
        {Arith::Add, U("a"), U("b"), Fails(numeric_or_string("URL and URL"))},
        {Arith::Add, S("a"), U("b"), Fails(numeric_or_string("String and URL"))},
        {Arith::Add, U("a"), S("b"), Fails(numeric_or_string("URL and String"))},
        {Arith::Add, B(true), I(1), Fails(numeric_or_string("Bool and Int"))},
        {Arith::Add, F(1.5), B(false), Fails(numeric_or_string("Float and Bool"))},
        {Arith::Add, E(), E(), Fails(numeric_or_string("Empty and Empty"))},
        {Arith::Add, A({I(1)}), A({I(2)}), Fails(numeric_or_string("Array and Array"))},
        {Arith::Add, D({}), I(1), Fails(numeric_or_string("Dict and Int"))},
        {Arith::Add, Fn(0, 0, "f"), F(1.0), Fails(numeric_or_string("Function and Float"))},
    });
}

TEST(OpArithmetic, Subtraction) {
    run_arith_table({
        {Arith::Sub, I(5), I(7), Is(I(-2))},
        {Arith::Sub, I(kMin), I(1), Fails(kOverflow)},
        {Arith::Sub, I(0), I(kMin), Fails(kOverflow)},
        {Arith::Sub, I(kMax), I(-1), Fails(kOverflow)},
        {Arith::Sub, I(-1), I(kMax), Is(I(kMin))},
        {Arith::Sub, I(-1), I(kMin), Is(I(kMax))},
        {Arith::Sub, F(1.5), I(1), Is(F(0.5))},
        {Arith::Sub, I(1), F(1.5), Is(F(-0.5))},
        {Arith::Sub, F(0.0), F(0.0), Is(F(0.0))},
        {Arith::Sub, F(-0.0), F(0.0), Is(F(-0.0))},
        {Arith::Sub, F(kInf), F(kInf), Is(F(kNaN))},
        {Arith::Sub, F(-1e308), F(1e308), Is(F(-kInf))},
        {Arith::Sub, B(true), I(1), Fails(numeric("Bool and Int"))},
        {Arith::Sub, S("a"), S("b"), Fails(numeric("String and String"))},
        {Arith::Sub, I(1), E(), Fails(numeric("Int and Empty"))},
        {Arith::Sub, U("u"), F(1.0), Fails(numeric("URL and Float"))},
    });
}

TEST(OpArithmetic, Multiplication) {
    run_arith_table({
        {Arith::Mul, I(6), I(7), Is(I(42))},
        {Arith::Mul, I(4611686018427387904), I(2), Fails(kOverflow)},
        {Arith::Mul, I(4611686018427387904), I(-2), Is(I(kMin))},
        {Arith::Mul, I(-4611686018427387904), I(2), Is(I(kMin))},
        {Arith::Mul, I(kMin), I(-1), Fails(kOverflow)},
        {Arith::Mul, I(-1), I(kMin), Fails(kOverflow)},
        {Arith::Mul, I(kMin), I(1), Is(I(kMin))},
        {Arith::Mul, I(3037000500), I(3037000500), Fails(kOverflow)},
        {Arith::Mul, I(3037000499), I(3037000499), Is(I(9223372030926249001))},
        {Arith::Mul, I(4294967296), I(4294967296), Fails(kOverflow)},
        {Arith::Mul, I(0), I(kMin), Is(I(0))},
        {Arith::Mul, I(2), F(1.5), Is(F(3.0))},
        {Arith::Mul, F(-0.0), I(5), Is(F(-0.0))},
        {Arith::Mul, F(1e200), F(1e200), Is(F(kInf))},
        {Arith::Mul, F(kInf), I(0), Is(F(kNaN))},
        {Arith::Mul, S("ab"), I(2), Fails(numeric("String and Int"))},
        {Arith::Mul, I(2), A({}), Fails(numeric("Int and Array"))},
        {Arith::Mul, B(true), B(true), Fails(numeric("Bool and Bool"))},
    });
}

TEST(OpArithmetic, Division) {
    run_arith_table({
        {Arith::Div, I(7), I(-2), Is(I(-3))},
        {Arith::Div, I(-7), I(2), Is(I(-3))},
        {Arith::Div, I(-7), I(-2), Is(I(3))},
        {Arith::Div, I(6), I(3), Is(I(2))},
        {Arith::Div, I(kMin), I(-1), Fails(kOverflow)},
        {Arith::Div, I(kMin), I(1), Is(I(kMin))},
        {Arith::Div, I(kMax), I(-1), Is(I(-kMax))},
        // The zero test comes first, whatever the left operand is.
        {Arith::Div, I(1), I(0), Fails(kByZero)},
        {Arith::Div, I(1), F(0.0), Fails(kByZero)},
        {Arith::Div, I(1), F(-0.0), Fails(kByZero)},
        {Arith::Div, F(1.0), I(0), Fails(kByZero)},
        {Arith::Div, F(kNaN), I(0), Fails(kByZero)},
        {Arith::Div, F(0.0), F(0.0), Fails(kByZero)},
        {Arith::Div, S("x"), I(0), Fails(kByZero)},
        {Arith::Div, E(), F(0.0), Fails(kByZero)},
        {Arith::Div, B(true), I(0), Fails(kByZero)},
        {Arith::Div, A({}), F(-0.0), Fails(kByZero)},
        {Arith::Div, I(kMin), I(0), Fails(kByZero)},
        // Float divisors.
        {Arith::Div, F(1.0), F(kNaN), Is(F(kNaN))},
        {Arith::Div, F(0.0), F(kNaN), Is(F(kNaN))},
        {Arith::Div, I(1), F(2.0), Is(F(0.5))},
        {Arith::Div, I(1), F(kInf), Is(F(0.0))},
        {Arith::Div, I(-1), F(kInf), Is(F(-0.0))},
        {Arith::Div, F(1e308), F(1e-308), Is(F(kInf))},
        {Arith::Div, F(-1.0), F(3.0), Is(F(-1.0 / 3.0))},
        // Float by Int divisor.
        {Arith::Div, F(7.0), I(2), Is(F(3.5))},
        {Arith::Div, F(kInf), I(-1), Is(F(-kInf))},
        // Mismatches after the zero test.
        {Arith::Div, S("x"), I(1), Fails(numeric("String and Int"))},
        {Arith::Div, S("x"), F(2.0), Fails(numeric("String and Float"))},
        {Arith::Div, I(1), S("x"), Fails(numeric("Int and String"))},
        {Arith::Div, I(1), B(false), Fails(numeric("Int and Bool"))},
        {Arith::Div, F(1.0), E(), Fails(numeric("Float and Empty"))},
        {Arith::Div, B(true), F(2.0), Fails(numeric("Bool and Float"))},
        {Arith::Div, U("u"), U("u"), Fails(numeric("URL and URL"))},
    });
}

TEST(OpArithmetic, Remainder) {
    run_arith_table({
        {Arith::Mod, I(-7), I(3), Is(I(-1))},
        {Arith::Mod, I(7), I(-3), Is(I(1))},
        {Arith::Mod, I(7), I(3), Is(I(1))},
        {Arith::Mod, I(-7), I(-3), Is(I(-1))},
        {Arith::Mod, I(kMin), I(-1), Fails(kOverflow)},
        {Arith::Mod, I(kMin), I(1), Is(I(0))},
        {Arith::Mod, I(kMax), I(-1), Is(I(0))},
        {Arith::Mod, I(kMin), I(kMax), Is(I(-1))},
        {Arith::Mod, F(5.5), I(2), Is(F(1.5))},
        {Arith::Mod, I(7), F(2.5), Is(F(2.0))},
        {Arith::Mod, F(-5.5), F(2.0), Is(F(-1.5))},
        {Arith::Mod, F(5.5), F(-2.0), Is(F(1.5))},
        {Arith::Mod, F(-0.0), F(1.0), Is(F(-0.0))},
        {Arith::Mod, F(kInf), F(2.0), Is(F(kNaN))},
        {Arith::Mod, F(3.0), F(kInf), Is(F(3.0))},
        {Arith::Mod, F(-3.0), F(-kInf), Is(F(-3.0))},
        {Arith::Mod, F(kNaN), F(1.0), Is(F(kNaN))},
        {Arith::Mod, I(1), F(kNaN), Is(F(kNaN))},
        // Exact remainder, no rounding of an intermediate quotient.
        {Arith::Mod, F(1e17), F(3.0), Is(F(1.0))},
        {Arith::Mod, F(1e300), F(7.0), Is(F(std::fmod(1e300, 7.0)))},
        {Arith::Mod, F(0.3), F(0.1), Is(F(0.09999999999999998))},
        {Arith::Mod, I(9007199254740993), F(2.0), Is(F(0.0))},
        {Arith::Mod, F(-7.5), I(2), Is(F(-1.5))},
        {Arith::Mod, I(1), I(0), Fails(kByZero)},
        {Arith::Mod, F(1.0), F(-0.0), Fails(kByZero)},
        {Arith::Mod, I(5), F(0.0), Fails(kByZero)},
        {Arith::Mod, S("x"), I(0), Fails(kByZero)},
        {Arith::Mod, A({}), F(0.0), Fails(kByZero)},
        {Arith::Mod, S("x"), I(2), Fails(numeric("String and Int"))},
        {Arith::Mod, B(true), F(2.0), Fails(numeric("Bool and Float"))},
        {Arith::Mod, I(1), U("u"), Fails(numeric("Int and URL"))},
        {Arith::Mod, F(1.0), B(true), Fails(numeric("Float and Bool"))},
        {Arith::Mod, D({}), D({}), Fails(numeric("Dict and Dict"))},
    });
}

TEST(OpArithmetic, OperandsAreLeftUntouched) {
    Value left = S("ab");
    Value right = S("cd");
    const void* left_payload = left.payload();
    Result<Value, VmError> sum = ops::add(left, right);
    ASSERT_TRUE(sum.ok());
    EXPECT_EQ(left.text(), "ab");
    EXPECT_EQ(right.text(), "cd");
    // A fresh string object, never the left operand's.
    EXPECT_NE(sum.value().payload(), left_payload);
    Result<Value, VmError> with_empty = ops::add(left, S(""));
    ASSERT_TRUE(with_empty.ok());
    EXPECT_NE(with_empty.value().payload(), left_payload);
    EXPECT_TRUE(left.is_unique());
}

struct NegateCase {
    Value operand;
    Outcome want;
};

TEST(OpNegate, Table) {
    const std::string bad = "Invalid operation: negation on type ";
    std::vector<NegateCase> table = {
        {I(5), Is(I(-5))},
        {I(-5), Is(I(5))},
        {I(0), Is(I(0))},
        {I(kMax), Is(I(-kMax))},
        {I(-kMax), Is(I(kMax))},
        {I(kMin), Fails(kOverflow)},
        {F(0.0), Is(F(-0.0))},
        {F(-0.0), Is(F(0.0))},
        {F(2.5), Is(F(-2.5))},
        {F(kInf), Is(F(-kInf))},
        {F(-kInf), Is(F(kInf))},
        {F(kNaN), Is(F(kNaN))},
        {B(true), Fails(bad + "Bool")},
        {S("x"), Fails(bad + "String")},
        {E(), Fails(bad + "Empty")},
        {U("u"), Fails(bad + "URL")},
        {A({I(1)}), Fails(bad + "Array")},
        {D({}), Fails(bad + "Dict")},
        {Fn(1, 2, "f"), Fails(bad + "Function")},
    };
    for (size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": neg(" << describe(table[i].operand) << ")");
        check(ops::negate(table[i].operand), table[i].want);
    }
}

TEST(OpNegate, FlipsOnlyTheSignBitOfNaN) {
    double nan = kNaN;
    Result<Value, VmError> got = ops::negate(F(nan));
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(std::bit_cast<uint64_t>(got.value().as_float()), std::bit_cast<uint64_t>(nan) ^ (uint64_t{1} << 63));
}

// Of two NaNs a sum or product keeps the left one's, whichever compiler
// built the library: the machine-code tier keeps the same one.
TEST(OpArithmetic, TwoNaNsKeepTheLeftOnes) {
    const double plus = kNaN;
    const double minus = std::bit_cast<double>(std::bit_cast<uint64_t>(kNaN) | (uint64_t{1} << 63));
    const std::vector<ArithCase> table = {
        {Arith::Add, F(minus), F(plus), Is(F(minus))}, {Arith::Add, F(plus), F(minus), Is(F(plus))},
        {Arith::Mul, F(minus), F(plus), Is(F(minus))}, {Arith::Mul, F(plus), F(minus), Is(F(plus))},
        {Arith::Add, I(1), F(minus), Is(F(minus))},    {Arith::Mul, F(minus), I(2), Is(F(minus))},
    };
    run_arith_table(table);
}

// ---- Equality ----

struct EqualCase {
    const char* what;
    Value left;
    Value right;
    bool equal;
};

TEST(OpEquality, Table) {
    Value shared_string = S("same");
    Value shared_nan_array = A({F(kNaN)});
    Value shared_nan_dict = D({{"k", F(kNaN)}});
    Value shared_function = Fn(3, 1, "g");
    std::vector<EqualCase> table = {
        {"empty", E(), E(), true},
        {"bool same", B(true), B(true), true},
        {"bool false", B(false), B(false), true},
        {"bool differs", B(true), B(false), false},
        {"int same", I(kMin), I(kMin), true},
        {"int differs", I(1), I(2), false},
        {"int and float", I(2), F(2.0), true},
        {"float and int", F(2.0), I(2), true},
        {"int and float differ", I(2), F(2.5), false},
        {"int rounded to float", I(9007199254740993), F(9007199254740992.0), true},
        {"int max and 2^63", I(kMax), F(9223372036854775808.0), true},
        {"int and negative zero", I(0), F(-0.0), true},
        {"int and bool", I(1), B(true), false},
        {"bool and int", B(false), I(0), false},
        {"int and empty", I(0), E(), false},
        {"float and bool", F(1.0), B(true), false},
        {"nan and nan", F(kNaN), F(kNaN), false},
        {"nan and int", F(kNaN), I(0), false},
        {"zero and negative zero", F(0.0), F(-0.0), true},
        {"infinities", F(kInf), F(kInf), true},
        {"opposite infinities", F(kInf), F(-kInf), false},
        {"strings built apart", S("abc"), S("abc"), true},
        {"same string object", shared_string, shared_string, true},
        {"strings differ", S("a"), S("b"), false},
        {"string prefix", S("a"), S("ab"), false},
        {"empty strings", S(""), S(""), true},
        {"string and url", S("a"), U("a"), false},
        {"url and string", U("a"), S("a"), false},
        {"urls", U("http://x"), U("http://x"), true},
        {"urls differ", U("http://x"), U("http://y"), false},
        {"string and int", S("1"), I(1), false},
        {"functions", Fn(3, 1, "g"), Fn(3, 1, "g"), true},
        {"same function object", shared_function, shared_function, true},
        {"function chunk differs", Fn(3, 1, "g"), Fn(4, 1, "g"), false},
        {"function arity differs", Fn(3, 1, "g"), Fn(3, 2, "g"), false},
        {"function name differs", Fn(3, 1, "g"), Fn(3, 1, "h"), false},
        {"function and string", Fn(3, 1, "g"), S("function<g>"), false},
        {"nested arrays built apart", A({I(1), A({I(2)})}), A({I(1), A({I(2)})}), true},
        {"nested arrays differ inside", A({I(1), A({I(2)})}), A({I(1), A({I(3)})}), false},
        {"arrays differ in length", A({I(1)}), A({I(1), I(2)}), false},
        {"arrays differ in length (right shorter)", A({I(1), I(2)}), A({I(1)}), false},
        {"arrays differ in last element", A({I(1), I(2), I(3)}), A({I(1), I(2), I(4)}), false},
        {"empty arrays", A({}), A({}), true},
        {"empty array and empty dict", A({}), D({}), false},
        {"array elements int and float", A({I(1)}), A({F(1.0)}), true},
        {"array elements string and url", A({S("a")}), A({U("a")}), false},
        {"arrays holding nan", A({F(kNaN)}), A({F(kNaN)}), false},
        {"same array object holding nan", shared_nan_array, shared_nan_array, false},
        {"array and its single element", A({I(1)}), I(1), false},
        {"array holding empty containers", A({A({}), D({})}), A({A({}), D({})}), true},
        {"dicts built apart", D({{"a", I(1)}, {"b", A({I(2)})}}), D({{"b", A({I(2)})}, {"a", I(1)}}), true},
        {"dict values differ", D({{"a", I(1)}}), D({{"a", I(2)}}), false},
        {"dict keys differ", D({{"a", I(1)}}), D({{"b", I(1)}}), false},
        {"dict left smaller", D({{"a", I(1)}}), D({{"a", I(1)}, {"b", I(2)}}), false},
        {"dict right smaller", D({{"a", I(1)}, {"b", I(2)}}), D({{"a", I(1)}}), false},
        {"empty dicts", D({}), D({}), true},
        {"dict values int and float", D({{"x", I(3)}}), D({{"x", F(3.0)}}), true},
        {"same dict object holding nan", shared_nan_dict, shared_nan_dict, false},
        {"dict nested differs deep", D({{"a", D({{"b", A({I(1)})}})}}), D({{"a", D({{"b", A({I(2)})}})}}), false},
        {"dict nested equal deep", D({{"a", D({{"b", A({I(1)})}})}}), D({{"a", D({{"b", A({I(1)})}})}}), true},
        {"mixed containers differ after an equal subtree", A({A({I(1), I(2)}), D({{"k", S("v")}}), I(3)}),
         A({A({I(1), I(2)}), D({{"k", S("v")}}), I(4)}), false},
        {"mixed containers equal", A({A({I(1), I(2)}), D({{"k", S("v")}}), I(3)}),
         A({A({I(1), I(2)}), D({{"k", S("v")}}), I(3)}), true},
    };
    for (const EqualCase& c : table) {
        SCOPED_TRACE(testing::Message() << c.what << ": " << describe(c.left) << " == " << describe(c.right));
        EXPECT_EQ(ops::equals(c.left, c.right), c.equal);
        EXPECT_EQ(ops::equals(c.right, c.left), c.equal) << "(operands exchanged)";
    }
}

// Inserting the same keys in different orders (and into maps with
// different hash keys) gives different slot orders; equality must not care.
TEST(OpEquality, DictsWithDifferentSlotOrderAreEqual) {
    std::vector<std::string> keys;
    for (int i = 0; i < 24; ++i) keys.push_back("key" + std::to_string(i));
    auto build = [&](bool reversed) {
        DictMap map;
        for (size_t i = 0; i < keys.size(); ++i) {
            size_t k = reversed ? keys.size() - 1 - i : i;
            map.set(S(keys[k]), A({I(static_cast<int64_t>(k)), S(keys[k])}));
        }
        return Value::dict(std::move(map));
    };
    auto slot_order = [](const Value& dict) {
        std::vector<std::string> order;
        dict.entries().for_each([&](const Value& key, const Value&) { order.emplace_back(key.text()); });
        return order;
    };
    bool saw_different_order = false;
    for (int round = 0; round < 8; ++round) {
        Value a = build(false);
        Value b = build(round % 2 == 1);
        if (slot_order(a) != slot_order(b)) saw_different_order = true;
        EXPECT_TRUE(ops::equals(a, b));
        EXPECT_TRUE(ops::equals(b, a));
        // One changed value anywhere makes them unequal.
        Value c = b;
        c.mutable_entries().set(S(keys[round]), I(-1));
        EXPECT_FALSE(ops::equals(a, c));
        EXPECT_FALSE(ops::equals(c, a));
    }
    EXPECT_TRUE(saw_different_order) << "every map listed its keys in the same order";
}

Value nest_in_dicts(Value inner, size_t depth) {
    Value key = S("k");
    Value v = std::move(inner);
    for (size_t i = 0; i < depth; ++i) {
        DictMap map;
        map.set(key, std::move(v));
        v = Value::dict(std::move(map));
    }
    return v;
}

constexpr size_t kDeep = 1'000'000;

TEST(OpEquality, MillionDeepArraysCompareWithoutRecursion) {
    Value a = nest_in_arrays(I(1), kDeep);
    Value b = nest_in_arrays(I(1), kDeep);
    Value c = nest_in_arrays(I(2), kDeep);  // differs only innermost
    EXPECT_TRUE(ops::equals(a, b));
    EXPECT_TRUE(ops::equals(b, a));
    EXPECT_FALSE(ops::equals(a, c));
    EXPECT_FALSE(ops::equals(c, a));
    // One level shallower: the innermost pair is Int against Array.
    Value shallower = nest_in_arrays(I(1), kDeep - 1);
    EXPECT_FALSE(ops::equals(a, shallower));
    EXPECT_FALSE(ops::equals(shallower, a));
}

TEST(OpEquality, DeepDictsCompareWithoutRecursion) {
    constexpr size_t depth = 200'000;
    Value a = nest_in_dicts(S("leaf"), depth);
    Value b = nest_in_dicts(S("leaf"), depth);
    Value c = nest_in_dicts(U("leaf"), depth);
    EXPECT_TRUE(ops::equals(a, b));
    EXPECT_FALSE(ops::equals(a, c));
    EXPECT_FALSE(ops::equals(c, a));
}

// ---- Ordering ----

enum class Order { Lt, Le, Gt, Ge };

const char* order_name(Order op) {
    switch (op) {
        case Order::Lt:
            return "<";
        case Order::Le:
            return "<=";
        case Order::Gt:
            return ">";
        case Order::Ge:
            return ">=";
    }
    return "?";
}

// GtR and GteR are LtR and LteR with the operands exchanged.
Result<bool, VmError> compare(Order op, const Value& l, const Value& r) {
    switch (op) {
        case Order::Lt:
            return ops::less_than(l, r);
        case Order::Le:
            return ops::less_equal(l, r);
        case Order::Gt:
            return ops::less_than(r, l);
        case Order::Ge:
            return ops::less_equal(r, l);
    }
    return Failure{VmError::of(VmErrorKind::InvalidBytecode)};
}

struct OrderCase {
    Order op;
    Value left;
    Value right;
    std::optional<bool> want;  // nullopt: the comparison fails with `message`
    std::string message;
};

OrderCase Yes(Order op, Value l, Value r) { return {op, std::move(l), std::move(r), true, {}}; }
OrderCase No(Order op, Value l, Value r) { return {op, std::move(l), std::move(r), false, {}}; }
OrderCase Invalid(Order op, Value l, Value r, const char* names) {
    return {op, std::move(l), std::move(r), std::nullopt, std::string("Invalid comparison: ") + names};
}

TEST(OpOrdering, Table) {
    using enum Order;
    std::vector<OrderCase> table = {
        Yes(Lt, I(1), I(2)),
        No(Lt, I(2), I(1)),
        No(Lt, I(1), I(1)),
        Yes(Le, I(1), I(1)),
        No(Le, I(2), I(1)),
        Yes(Gt, I(2), I(1)),
        No(Gt, I(1), I(1)),
        Yes(Ge, I(1), I(1)),
        Yes(Lt, I(kMin), I(kMax)),
        No(Lt, I(kMax), I(kMin)),
        Yes(Lt, I(-1), I(0)),
        Yes(Lt, I(1), F(1.5)),
        No(Lt, F(1.5), I(1)),
        Yes(Lt, F(1.5), I(2)),
        Yes(Le, F(2.0), I(2)),
        Yes(Lt, F(-0.5), F(0.5)),
        No(Lt, F(-0.0), F(0.0)),
        Yes(Le, F(-0.0), F(0.0)),
        Yes(Ge, F(0.0), F(-0.0)),
        // The Int is converted first: 2^53 + 1 becomes 2^53.
        No(Lt, F(9007199254740992.0), I(9007199254740993)),
        Yes(Le, F(9007199254740992.0), I(9007199254740993)),
        Yes(Lt, F(-kInf), I(kMin)),
        Yes(Lt, I(kMax), F(kInf)),
        No(Lt, I(1), F(kNaN)),
        No(Le, I(1), F(kNaN)),
        No(Gt, I(1), F(kNaN)),
        No(Ge, I(1), F(kNaN)),
        No(Lt, F(kNaN), F(kNaN)),
        No(Le, F(kNaN), F(kNaN)),
        No(Ge, F(kNaN), I(0)),
        No(Gt, F(kNaN), F(-kInf)),
        Yes(Lt, S("abc"), S("abd")),
        Yes(Lt, S("ab"), S("abc")),
        No(Lt, S("abc"), S("ab")),
        No(Lt, S("abc"), S("abc")),
        Yes(Le, S("abc"), S("abc")),
        Yes(Lt, S(""), S("a")),
        Yes(Le, S(""), S("")),
        No(Lt, S(""), S("")),
        Yes(Gt, S("b"), S("abc")),
        Yes(Ge, S("b"), S("b")),
        // Bytes compare as unsigned values.
        Yes(Lt, S("a"), S("\xff")),
        Yes(Lt, S("z"), S("\xc3\xa9")),
        No(Lt, S("\x80"), S("\x7f")),
        Yes(Lt, S(std::string("a\0b", 3)), S(std::string("a\0c", 3))),
        Yes(Lt, S("a"), S(std::string("a\0", 2))),
        Yes(Lt, S("B"), S("a")),
        Invalid(Lt, B(false), B(true), "Bool and Bool"),
        Invalid(Le, B(true), B(true), "Bool and Bool"),
        Invalid(Lt, S("a"), I(1), "String and Int"),
        Invalid(Gt, S("a"), I(1), "Int and String"),
        Invalid(Le, S("a"), I(1), "String and Int"),
        Invalid(Ge, S("a"), I(1), "Int and String"),
        Invalid(Ge, E(), I(1), "Int and Empty"),
        Invalid(Lt, E(), E(), "Empty and Empty"),
        Invalid(Lt, U("a"), U("b"), "URL and URL"),
        Invalid(Lt, S("a"), U("b"), "String and URL"),
        Invalid(Gt, S("a"), U("b"), "URL and String"),
        Invalid(Lt, A({}), A({}), "Array and Array"),
        Invalid(Le, D({}), D({}), "Dict and Dict"),
        Invalid(Lt, Fn(0, 0, "f"), Fn(0, 0, "f"), "Function and Function"),
        Invalid(Lt, I(1), B(true), "Int and Bool"),
        Invalid(Gt, F(1.0), B(true), "Bool and Float"),
    };
    for (size_t i = 0; i < table.size(); ++i) {
        const OrderCase& c = table[i];
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << describe(c.left) << " " << order_name(c.op) << " "
                                        << describe(c.right));
        Result<bool, VmError> got = compare(c.op, c.left, c.right);
        if (c.want) {
            ASSERT_TRUE(got.ok()) << got.error().message();
            EXPECT_EQ(got.value(), *c.want);
        } else {
            ASSERT_FALSE(got.ok());
            EXPECT_EQ(got.error().message(), c.message);
        }
    }
}

// ---- Text joining ----

struct JoinCase {
    Value left;
    Value right;
    std::string text;
};

TEST(OpJoinText, Table) {
    std::vector<JoinCase> table = {
        {S("n="), I(5), "n=5"},
        {F(2.0), E(), "2empty"},
        {S("a"), S("b"), "ab"},
        {S(""), S(""), ""},
        {U("u"), S("s"), "us"},
        {S("s"), U("u"), "su"},
        {A({I(1), S("a")}), B(false), "[1, a]false"},
        {Fn(0, 0, "f"), D({{"k", B(true)}}), "function<f>{k: true}"},
        {F(-0.0), F(1e23), "-099999999999999991611392"},
        {F(0.1), F(kNaN), "0.1NaN"},
        {I(kMin), F(-kInf), "-9223372036854775808-inf"},
        {E(), E(), "emptyempty"},
        {Fn(0, 0, "f"), Fn(1, 1, "g"), "function<f>function<g>"},
        {A({}), A({S("x")}), "[][x]"},
    };
    for (size_t i = 0; i < table.size(); ++i) {
        const JoinCase& c = table[i];
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << describe(c.left) << " ++ " << describe(c.right));
        Value got = ops::join_text(c.left, c.right);
        ASSERT_TRUE(got.is(ValueType::String)) << debug_name(got.type());
        EXPECT_EQ(got.text(), c.text);
        if (c.left.is_heap()) {
            EXPECT_NE(got.payload(), c.left.payload());
        }
        if (c.right.is_heap()) {
            EXPECT_NE(got.payload(), c.right.payload());
        }
    }
}

}  // namespace
}  // namespace tarnel
