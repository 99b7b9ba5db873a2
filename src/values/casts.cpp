#include "values/casts.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "values/float_text.hpp"

namespace tarnel {
namespace {

// 2^63, the largest magnitude a float may have to become an Int.
constexpr double kTwoTo63 = 9223372036854775808.0;

[[gnu::cold, gnu::noinline]] VmError cast_mismatch(std::string_view expected, const Value& value) {
    return VmError::type_mismatch(std::string(expected), std::string(type_name(value.type())));
}

[[gnu::cold, gnu::noinline]] VmError float_to_int_mismatch(double x) {
    std::string found = "float ";
    append_float_shortest_fixed(found, x);
    return VmError::type_mismatch("integer", std::move(found));
}

Result<Value, VmError> to_int(const Value& value) {
    switch (value.type()) {
        case ValueType::Bool:
            return Value::integer(value.as_bool() ? 1 : 0);
        case ValueType::Int:
            return value;
        case ValueType::Float: {
            double x = value.as_float();
            // NaN fails every comparison below, so it falls through to the error.
            if (std::isfinite(x) && std::trunc(x) == x && std::fabs(x) <= kTwoTo63) {
                // Saturating: only +2^63 lies outside the Int range here.
                if (x >= kTwoTo63) return Value::integer(std::numeric_limits<int64_t>::max());
                return Value::integer(static_cast<int64_t>(x));
            }
            return Failure{float_to_int_mismatch(x)};
        }
        default:
            return Failure{cast_mismatch("integer", value)};
    }
}

Result<Value, VmError> to_float(const Value& value) {
    switch (value.type()) {
        case ValueType::Int:
            return Value::number(static_cast<double>(value.as_int()));
        case ValueType::Float:
            return value;
        default:
            return Failure{cast_mismatch("float", value)};
    }
}

}  // namespace

Result<Value, VmError> cast_value(const Value& value, ValueType target) {
    switch (target) {
        case ValueType::Bool:
            return Value::boolean(is_truthy(value));
        case ValueType::Int:
            return to_int(value);
        case ValueType::Float:
            return to_float(value);
        case ValueType::String:
            return Value::string(display_text(value));
        default:
            // Empty, Function, URL, Unknown (and the container tags, which no
            // type identifier selects): never a valid target, whatever the value.
            return Failure{cast_mismatch(type_name(target), value)};
    }
}

bool assertion_holds(const Value& value, const AssertType& condition) {
    switch (condition.kind) {
        case AssertType::Kind::True:
            return is_truthy(value);
        case AssertType::Kind::NonNull:
            return !value.is(ValueType::Empty);
        case AssertType::Kind::Range:
            return value.is(ValueType::Int) && condition.min <= value.as_int() && value.as_int() <= condition.max;
    }
    return false;
}

}  // namespace tarnel
