#include <gtest/gtest.h>

#include "values/value.hpp"

namespace tarnel {
namespace {

TEST(ValueLayout, IsSixteenBytes) { EXPECT_EQ(sizeof(Value), 16u); }

}  // namespace
}  // namespace tarnel
