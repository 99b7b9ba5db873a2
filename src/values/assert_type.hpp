// The condition of an assertion: truthy, not empty, or an integer in a range.
#pragma once

#include <cstdint>

namespace tarnel {

struct AssertType {
    enum class Kind : uint8_t { True = 0, NonNull = 1, Range = 2 };
    Kind kind = Kind::True;
    int64_t min = 0;  // Range only, both ends included
    int64_t max = 0;

    static AssertType truthy() { return {Kind::True, 0, 0}; }
    static AssertType non_null() { return {Kind::NonNull, 0, 0}; }
    static AssertType range(int64_t lo, int64_t hi) { return {Kind::Range, lo, hi}; }
    bool operator==(const AssertType&) const = default;
};

}  // namespace tarnel
