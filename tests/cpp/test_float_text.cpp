#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>

#include "values/float_text.hpp"
#include "values/value.hpp"

namespace tarnel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string display(double x) {
    std::string out;
    append_float_display(out, x);
    return out;
}

std::string shortest_fixed(double x) {
    std::string out;
    append_float_shortest_fixed(out, x);
    return out;
}

TEST(FloatDisplay, Table) {
    const std::pair<double, const char*> cases[] = {
        {3.0, "3"},
        {-3.0, "-3"},
        {0.0, "0"},
        {-0.0, "-0"},
        {2.5, "2.5"},
        {-2.5, "-2.5"},
        {0.1, "0.1"},
        {0.5, "0.5"},
        {123456.789, "123456.789"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1.5e-7, "0.00000015"},
        {1e-7, "0.0000001"},
        {-1e-5, "-0.00001"},
        {1e16, "10000000000000000"},
        {1e21, "1000000000000000000000"},
        {1e22, "10000000000000000000000"},
        {1e23, "99999999999999991611392"},
        {9007199254740993.0, "9007199254740992"},
        {9223372036854775808.0, "9223372036854775808"},
        {4503599627370495.5, "4503599627370495.5"},
        {kInf, "inf"},
        {-kInf, "-inf"},
        {kNaN, "NaN"},
        {-kNaN, "NaN"},
    };
    for (const auto& [x, expected] : cases) EXPECT_EQ(display(x), expected) << "for " << x;
}

TEST(FloatDisplay, LargestDoubleIsExact) {
    const std::string text = display(DBL_MAX);
    EXPECT_EQ(text.size(), 309u);
    EXPECT_EQ(text.substr(0, 20), "17976931348623157081");
    EXPECT_EQ(text.substr(text.size() - 8), "24858368");
}

TEST(FloatDisplay, SmallestDenormalIsShortest) {
    const std::string text = display(5e-324);
    // "0." then 323 zeros then "5"
    ASSERT_EQ(text.size(), 2u + 323u + 1u);
    EXPECT_EQ(text.substr(0, 4), "0.00");
    EXPECT_EQ(text.back(), '5');
    EXPECT_EQ(text.find_first_not_of('0', 2), text.size() - 1);
}

TEST(FloatDisplay, AppendsAndValueDisplayAgrees) {
    std::string out = "x=";
    append_float_display(out, 2.5);
    EXPECT_EQ(out, "x=2.5");
    EXPECT_EQ(display_text(Value::number(1e23)), "99999999999999991611392");
    EXPECT_EQ(display_text(Value::number(-0.0)), "-0");
    EXPECT_EQ(display_text(Value::array({Value::number(3.0), Value::number(0.1)})), "[3, 0.1]");
}

TEST(FloatShortestFixed, Table) {
    const std::pair<double, const char*> cases[] = {
        {1e23, "100000000000000000000000"},
        {1e-7, "0.0000001"},
        {1e19, "10000000000000000000"},
        {1e21, "1000000000000000000000"},
        {3.0, "3"},
        {-0.0, "-0"},
        {0.0, "0"},
        {2.5, "2.5"},
        {0.1, "0.1"},
        {-1.5e-7, "-0.00000015"},
        {123.456, "123.456"},
        {kInf, "inf"},
        {-kInf, "-inf"},
        {kNaN, "NaN"},
    };
    for (const auto& [x, expected] : cases) EXPECT_EQ(shortest_fixed(x), expected) << "for " << x;
}

TEST(FloatShortestFixed, LargestDoubleUsesShortestDigits) {
    const std::string text = shortest_fixed(DBL_MAX);
    EXPECT_EQ(text, "17976931348623157" + std::string(292, '0'));
}

}  // namespace
}  // namespace tarnel
