#include "values/float_text.hpp"

#include <charconv>
#include <cmath>

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

void append_float_shortest_fixed(std::string& out, double x) {
    if (append_non_finite(out, x)) return;
    char buffer[kFixedBufferSize];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed);
    out.append(buffer, result.ptr);
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
