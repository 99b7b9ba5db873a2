// Text forms of binary64 numbers shared by display text, messages and
// debug printing. All are built on std::to_chars, which gives the shortest
// digit string that reads back to the same double.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnel {

// The shortest round-trip digits of a finite double and the decimal exponent
// of the first one: -1.5e-07 gives negative, "15" and -7; 0.0 gives "0" and 0.
// Every text form of a float is laid out from these.
struct ShortestDigits {
    bool negative = false;
    char digits[24] = {};
    size_t count = 0;
    int exponent = 0;

    std::string_view text() const { return {digits, count}; }
};
ShortestDigits shortest_digits(double x);

// Display text: integral finite values with their exact decimal expansion
// and no decimal point ("3", "-0", "99999999999999991611392"); everything
// else in the shortest round-trip form, fixed notation ("2.5", "0.00000015",
// "inf", "-inf", "NaN").
void append_float_display(std::string& out, double x);

// Shortest round-trip form in fixed notation, no exponent and no decimal
// point for integral values ("100000000000000000000000" for 1e23, "3",
// "0.0000001", "-0", "inf", "-inf", "NaN").
void append_float_shortest_fixed(std::string& out, double x);

}  // namespace tarnel
