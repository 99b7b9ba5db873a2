#include "values/float_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace tarnel {
namespace {

// Fixed notation of a double needs at most ~330 digits (denormals) plus sign.
constexpr size_t kFixedBufferSize = 400;

bool append_non_finite(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "NaN";
        return true;
    }
    if (std::isinf(x)) {
        out += x < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

}  // namespace

// Taken from the scientific form, which to_chars writes with the shortest
// digits: "-1.5e-07".
ShortestDigits shortest_digits(double x) {
    ShortestDigits out;
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
    std::string_view text(buffer, static_cast<size_t>(result.ptr - buffer));
    out.negative = text.front() == '-';
    if (out.negative) text.remove_prefix(1);
    const size_t e_pos = text.find('e');
    for (char c : text.substr(0, e_pos))
        if (c != '.') out.digits[out.count++] = c;
    std::string_view exponent_text = text.substr(e_pos + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), out.exponent);
    return out;
}

void append_float_shortest_fixed(std::string& out, double x) {
    if (append_non_finite(out, x)) return;
    // to_chars with chars_format::fixed alone breaks ties between equally
    // long candidates by closeness, so 1e23 would come out with its exact
    // digits (99999999999999991611392). Take the shortest digits instead and
    // lay them out positionally, padding with zeros: 1e23 gives a 1 and 23
    // zeros.
    const ShortestDigits shortest = shortest_digits(x);
    if (shortest.negative) out += '-';
    const std::string_view digits = shortest.text();
    const int exponent = shortest.exponent;

    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<size_t>(-exponent - 1), '0');
        out += digits;
        return;
    }
    const size_t integer_digits = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= integer_digits) {
        out += digits;
        out.append(integer_digits - digits.size(), '0');
    } else {
        out += digits.substr(0, integer_digits);
        out += '.';
        out += digits.substr(integer_digits);
    }
}

void append_float_display(std::string& out, double x) {
    if (std::isfinite(x) && std::trunc(x) == x) {
        // Precision 0 prints the exact decimal value of the binary number.
        char buffer[kFixedBufferSize];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed, 0);
        out.append(buffer, result.ptr);
        return;
    }
    append_float_shortest_fixed(out, x);
}

}  // namespace tarnel
