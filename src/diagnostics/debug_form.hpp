// The one-line debug forms used by the trace and by DebugPrint:
// "MoveR { dst: 1, src: 2 }", "Int(5)", "String(\"hi\")", "Range { min: 0, max: 10 }".
// Each appends to `out`. Nested values of any depth are rendered with an
// explicit stack.
#pragma once

#include <string>
#include <string_view>

#include "loader/instruction.hpp"
#include "values/assert_type.hpp"
#include "values/value.hpp"

namespace tarnel {

void append_debug_form(std::string& out, const Instruction& instruction);
void append_debug_form(std::string& out, const Value& value);
void append_debug_form(std::string& out, const FunctionRef& function);
void append_debug_form(std::string& out, ValueType type);
void append_debug_form(std::string& out, const AssertType& condition);

// The quoted, escaped form of a string ("\"a\\\"b\"", "\"\\u{301}\"").
void append_debug_string(std::string& out, std::string_view text);
// NaN, inf, -inf; scientific from 1e16 and below 1e-4; else positional
// with at least one fractional digit ("1.0", "-0.0", "1e16", "1.5e-7").
void append_debug_float(std::string& out, double x);

// The length of the debug form of `value` when it is at most `limit`,
// otherwise a number greater than `limit`; measured without building the
// whole form, at a cost bounded by the number of distinct payloads and by
// `limit` (values/rendered_length.hpp).
size_t debug_form_length(const Value& value, size_t limit);

template <class T>
std::string debug_form(const T& item) {
    std::string out;
    append_debug_form(out, item);
    return out;
}

}  // namespace tarnel
