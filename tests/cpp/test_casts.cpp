// Tables for CastR's conversions and AssertR's test: each row gives the
// value, the target tag (or condition) and the exact outcome.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "value_builders.hpp"
#include "values/casts.hpp"
#include "values/dict_map.hpp"
#include "values/value.hpp"

namespace tarnel {
namespace {

using namespace tarnel::testing_values;

struct CastCase {
    Value value;
    ValueType target;
    std::optional<Value> want;  // nullopt: fails with `message`
    std::string message;
};

CastCase To(Value v, ValueType target, Value want) { return {std::move(v), target, std::move(want), {}}; }
CastCase Mismatch(Value v, ValueType target, const char* expected, const char* found) {
    return {std::move(v), target, std::nullopt,
            std::string("Type mismatch: expected ") + expected + ", found " + found};
}

void run_cast_table(const std::vector<CastCase>& table) {
    for (size_t i = 0; i < table.size(); ++i) {
        const CastCase& c = table[i];
        SCOPED_TRACE(testing::Message() << "row " << i << ": cast " << describe(c.value) << " to "
                                        << debug_name(c.target));
        Result<Value, VmError> got = cast_value(c.value, c.target);
        if (c.want) {
            ASSERT_TRUE(got.ok()) << got.error().message();
            EXPECT_TRUE(identical(got.value(), *c.want))
                << "got " << describe(got.value()) << ", want " << describe(*c.want);
        } else {
            ASSERT_FALSE(got.ok()) << "got " << describe(got.value());
            EXPECT_EQ(got.error().kind, VmErrorKind::TypeMismatch);
            EXPECT_EQ(got.error().message(), c.message);
        }
    }
}

TEST(CastTable, ToBool) {
    using enum ValueType;
    run_cast_table({
        To(E(), Bool, B(false)),    To(B(true), Bool, B(true)),         To(B(false), Bool, B(false)),
        To(I(0), Bool, B(false)),   To(I(-3), Bool, B(true)),           To(I(kMin), Bool, B(true)),
        To(F(0.0), Bool, B(false)), To(F(-0.0), Bool, B(false)),        To(F(kNaN), Bool, B(false)),
        To(F(kInf), Bool, B(true)), To(F(5e-324), Bool, B(true)),       To(S(""), Bool, B(false)),
        To(S("x"), Bool, B(true)),  To(S("false"), Bool, B(true)),      To(U(""), Bool, B(true)),
        To(Fn("f"), Bool, B(true)), To(A({}), Bool, B(false)),          To(A({I(0)}), Bool, B(true)),
        To(D({}), Bool, B(false)),  To(D({{"k", E()}}), Bool, B(true)),
    });
}

TEST(CastTable, ToInt) {
    using enum ValueType;
    run_cast_table({
        To(B(true), Int, I(1)),
        To(B(false), Int, I(0)),
        To(I(42), Int, I(42)),
        To(I(kMin), Int, I(kMin)),
        To(F(3.0), Int, I(3)),
        To(F(-2.0), Int, I(-2)),
        To(F(-0.0), Int, I(0)),
        To(F(1e18), Int, I(1000000000000000000)),
        To(F(9223372036854775808.0), Int, I(kMax)),
        To(F(-9223372036854775808.0), Int, I(kMin)),
        To(F(9223372036854774784.0), Int, I(9223372036854774784)),
        To(F(-9223372036854774784.0), Int, I(-9223372036854774784)),
        Mismatch(F(3.5), Int, "integer", "float 3.5"),
        Mismatch(F(-3.5), Int, "integer", "float -3.5"),
        Mismatch(F(0.1), Int, "integer", "float 0.1"),
        Mismatch(F(1.5e-7), Int, "integer", "float 0.00000015"),
        Mismatch(F(4503599627370495.5), Int, "integer", "float 4503599627370495.5"),
        Mismatch(F(kNaN), Int, "integer", "float NaN"),
        Mismatch(F(-kNaN), Int, "integer", "float NaN"),
        Mismatch(F(kInf), Int, "integer", "float inf"),
        Mismatch(F(-kInf), Int, "integer", "float -inf"),
        Mismatch(F(1e19), Int, "integer", "float 10000000000000000000"),
        Mismatch(F(-1e19), Int, "integer", "float -10000000000000000000"),
        // The next binary64 values beyond +-2^63: the message shows the
        // shortest text that reads back, not the exact expansion.
        Mismatch(F(9223372036854777856.0), Int, "integer", "float 9223372036854778000"),
        Mismatch(F(-9223372036854777856.0), Int, "integer", "float -9223372036854778000"),
        Mismatch(F(1e23), Int, "integer", "float 100000000000000000000000"),
        Mismatch(S("12"), Int, "integer", "string"),
        Mismatch(E(), Int, "integer", "empty"),
        Mismatch(U("1"), Int, "integer", "url"),
        Mismatch(Fn("f"), Int, "integer", "function"),
        Mismatch(A({I(1)}), Int, "integer", "array"),
        Mismatch(D({}), Int, "integer", "dict"),
    });
}

TEST(CastTable, ToFloat) {
    using enum ValueType;
    run_cast_table({
        To(I(3), Float, F(3.0)),
        To(I(0), Float, F(0.0)),
        To(I(-7), Float, F(-7.0)),
        To(I(9007199254740993), Float, F(9007199254740992.0)),
        To(I(9007199254740995), Float, F(9007199254740996.0)),
        To(I(kMax), Float, F(9223372036854775808.0)),
        To(I(kMin), Float, F(-9223372036854775808.0)),
        To(F(2.5), Float, F(2.5)),
        To(F(-0.0), Float, F(-0.0)),
        To(F(kNaN), Float, F(kNaN)),
        To(F(-kInf), Float, F(-kInf)),
        Mismatch(B(true), Float, "float", "bool"),
        Mismatch(B(false), Float, "float", "bool"),
        Mismatch(S("1.5"), Float, "float", "string"),
        Mismatch(E(), Float, "float", "empty"),
        Mismatch(U("u"), Float, "float", "url"),
        Mismatch(Fn("f"), Float, "float", "function"),
        Mismatch(A({}), Float, "float", "array"),
        Mismatch(D({}), Float, "float", "dict"),
    });
}

TEST(CastTable, ToString) {
    using enum ValueType;
    run_cast_table({
        To(A({I(1), I(2)}), String, S("[1, 2]")),
        To(F(2.0), String, S("2")),
        To(F(-0.0), String, S("-0")),
        To(F(1e23), String, S("99999999999999991611392")),
        To(F(0.1), String, S("0.1")),
        To(F(kNaN), String, S("NaN")),
        To(E(), String, S("empty")),
        To(B(true), String, S("true")),
        To(I(-5), String, S("-5")),
        To(I(kMin), String, S("-9223372036854775808")),
        To(S("abc"), String, S("abc")),
        To(S(""), String, S("")),
        To(U("http://x/y"), String, S("http://x/y")),
        To(Fn("f"), String, S("function<f>")),
        To(D({{"k", B(true)}}), String, S("{k: true}")),
        To(A({S("a"), A({F(2.5)}), E()}), String, S("[a, [2.5], empty]")),
    });
}

TEST(CastTable, StringResultIsAFreshObject) {
    for (const Value& v : {S("abc"), U("abc")}) {
        Result<Value, VmError> got = cast_value(v, ValueType::String);
        ASSERT_TRUE(got.ok());
        EXPECT_TRUE(got.value().is(ValueType::String));
        EXPECT_NE(got.value().payload(), v.payload());
        EXPECT_EQ(got.value().text(), "abc");
    }
}

TEST(CastTable, OtherTargetsAlwaysFail) {
    using enum ValueType;
    run_cast_table({
        Mismatch(I(5), Unknown, "unknown", "int"),
        Mismatch(I(5), type_from_id(7), "unknown", "int"),
        Mismatch(I(5), type_from_id(8), "unknown", "int"),
        Mismatch(I(5), type_from_id(1000), "unknown", "int"),
        Mismatch(E(), type_from_id(0), "empty", "empty"),
        Mismatch(E(), Empty, "empty", "empty"),
        Mismatch(I(1), Empty, "empty", "int"),
        Mismatch(U("a"), URL, "url", "url"),
        Mismatch(U("a"), type_from_id(6), "url", "url"),
        Mismatch(S("http://a"), URL, "url", "string"),
        Mismatch(Fn("f"), Function, "function", "function"),
        Mismatch(Fn("f"), type_from_id(5), "function", "function"),
        Mismatch(S("f"), Function, "function", "string"),
        Mismatch(F(1.0), Unknown, "unknown", "float"),
        Mismatch(A({}), Array, "array", "array"),
        Mismatch(D({}), Dict, "dict", "dict"),
        Mismatch(B(true), Dict, "dict", "bool"),
    });
}

// Identifiers select targets exactly as the tags of the same number.
TEST(CastTable, TypeIdentifiersSelectTargets) {
    Result<Value, VmError> to_int = cast_value(F(3.0), type_from_id(2));
    ASSERT_TRUE(to_int.ok());
    EXPECT_TRUE(identical(to_int.value(), I(3)));
    Result<Value, VmError> to_bool = cast_value(I(2), type_from_id(1));
    ASSERT_TRUE(to_bool.ok());
    EXPECT_TRUE(identical(to_bool.value(), B(true)));
    Result<Value, VmError> to_float = cast_value(I(2), type_from_id(3));
    ASSERT_TRUE(to_float.ok());
    EXPECT_TRUE(identical(to_float.value(), F(2.0)));
    Result<Value, VmError> to_string = cast_value(I(2), type_from_id(4));
    ASSERT_TRUE(to_string.ok());
    EXPECT_TRUE(identical(to_string.value(), S("2")));
}

struct AssertCase {
    AssertType condition;
    Value value;
    bool holds;
};

const char* condition_name(const AssertType& c) {
    switch (c.kind) {
        case AssertType::Kind::True:
            return "True";
        case AssertType::Kind::NonNull:
            return "NonNull";
        case AssertType::Kind::Range:
            return "Range";
    }
    return "?";
}

TEST(CastAssertion, Table) {
    const AssertType one_to_ten = AssertType::range(1, 10);
    const AssertType everything = AssertType::range(kMin, kMax);
    const AssertType backwards = AssertType::range(5, 1);
    const AssertType point = AssertType::range(-3, -3);
    const AssertType truthy = AssertType::truthy();
    const AssertType non_null = AssertType::non_null();
    std::vector<AssertCase> table = {
        {one_to_ten, I(1), true},    {one_to_ten, I(10), true},   {one_to_ten, I(5), true},
        {one_to_ten, I(0), false},   {one_to_ten, I(11), false},  {one_to_ten, I(kMin), false},
        {one_to_ten, F(5.0), false}, {one_to_ten, S("5"), false}, {one_to_ten, B(true), false},
        {one_to_ten, E(), false},    {everything, I(kMin), true}, {everything, I(kMax), true},
        {everything, F(0.0), false}, {backwards, I(3), false},    {backwards, I(5), false},
        {point, I(-3), true},        {point, I(-2), false},       {non_null, B(false), true},
        {non_null, E(), false},      {non_null, I(0), true},      {non_null, S(""), true},
        {non_null, F(kNaN), true},   {non_null, A({}), true},     {truthy, I(0), false},
        {truthy, S(""), false},      {truthy, F(kNaN), false},    {truthy, F(-0.0), false},
        {truthy, E(), false},        {truthy, A({}), false},      {truthy, D({}), false},
        {truthy, B(false), false},   {truthy, I(1), true},        {truthy, U(""), true},
        {truthy, Fn("f"), true},     {truthy, A({E()}), true},    {truthy, F(kInf), true},
    };
    for (size_t i = 0; i < table.size(); ++i) {
        const AssertCase& c = table[i];
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << condition_name(c.condition) << "(" << c.condition.min
                                        << ", " << c.condition.max << ") on " << describe(c.value));
        EXPECT_EQ(assertion_holds(c.value, c.condition), c.holds);
    }
}

}  // namespace
}  // namespace tarnel
