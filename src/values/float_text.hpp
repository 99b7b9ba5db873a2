// Text forms of binary64 numbers shared by display text, messages and
// debug printing. All are built on std::to_chars, which gives the shortest
// digit string that reads back to the same double.
#pragma once

#include <string>

namespace tarnel {

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
