#include "values/operations.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "values/dict_map.hpp"
#include "values/float_arithmetic.hpp"
#include "values/memory_meter.hpp"
#include "values/work_checkpoint.hpp"

namespace tarnel::ops {
namespace {

constexpr int64_t kIntMin = std::numeric_limits<int64_t>::min();

// Error construction lives out of line: the paths that succeed never touch
// a string.

[[gnu::cold, gnu::noinline]] VmError operand_mismatch(const char* expected, const Value& left, const Value& right) {
    std::string found(debug_name(left.type()));
    found += " and ";
    found += debug_name(right.type());
    return VmError::type_mismatch(expected, std::move(found));
}

[[gnu::cold, gnu::noinline]] VmError overflow() { return VmError::integer_overflow(); }

[[gnu::cold, gnu::noinline]] VmError zero_divisor() { return VmError::division_by_zero(); }

[[gnu::cold, gnu::noinline]] VmError negation_of(const Value& operand) {
    return VmError::invalid_operation("negation", std::string(debug_name(operand.type())));
}

[[gnu::cold, gnu::noinline]] VmError incomparable(const Value& left, const Value& right) {
    return VmError::invalid_comparison(std::string(debug_name(left.type())), std::string(debug_name(right.type())));
}

constexpr const char* kNumericOrString = "numeric or string";
constexpr const char* kNumeric = "numeric";

// When at least one operand is a Float and the other is a number, converts
// both to binary64 and returns true. Int/Int pairs and non-numbers give false.
inline bool float_pair(const Value& left, const Value& right, double& a, double& b) {
    ValueType lt = left.type();
    ValueType rt = right.type();
    if (lt == ValueType::Float) {
        a = left.as_float();
        if (rt == ValueType::Float) {
            b = right.as_float();
            return true;
        }
        if (rt == ValueType::Int) {
            b = static_cast<double>(right.as_int());
            return true;
        }
        return false;
    }
    if (rt == ValueType::Float && lt == ValueType::Int) {
        a = static_cast<double>(left.as_int());
        b = right.as_float();
        return true;
    }
    return false;
}

inline bool both_int(const Value& left, const Value& right) {
    return left.is(ValueType::Int) && right.is(ValueType::Int);
}

// Zero test shared by division and remainder; it comes before any look at
// the left operand.
inline bool is_zero_divisor(const Value& right) {
    return (right.is(ValueType::Int) && right.as_int() == 0) || (right.is(ValueType::Float) && right.as_float() == 0.0);
}

inline double left_as_double(const Value& left) {
    return left.is(ValueType::Int) ? static_cast<double>(left.as_int()) : left.as_float();
}

inline bool is_number(const Value& v) { return v.is(ValueType::Int) || v.is(ValueType::Float); }

// Unsigned bytewise ordering; the shorter text is smaller when it is a prefix.
inline int compare_bytes(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c;
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace

Result<Value, VmError> add(const Value& left, const Value& right) {
    if (both_int(left, right)) {
        int64_t out;
        if (__builtin_add_overflow(left.as_int(), right.as_int(), &out)) return Failure{overflow()};
        return Value::integer(out);
    }
    double a, b;
    if (float_pair(left, right, a, b)) return Value::number(float_sum(a, b));
    if (left.is(ValueType::String) && right.is(ValueType::String)) {
        std::string joined;
        require_memory(sizeof(StringObject) + left.text().size() + right.text().size());
        joined.reserve(left.text().size() + right.text().size());
        append_in_chunks(joined, left.text());
        append_in_chunks(joined, right.text());
        return Value::string(std::move(joined));
    }
    return Failure{operand_mismatch(kNumericOrString, left, right)};
}

Result<Value, VmError> subtract(const Value& left, const Value& right) {
    if (both_int(left, right)) {
        int64_t out;
        if (__builtin_sub_overflow(left.as_int(), right.as_int(), &out)) return Failure{overflow()};
        return Value::integer(out);
    }
    double a, b;
    if (float_pair(left, right, a, b)) return Value::number(a - b);
    return Failure{operand_mismatch(kNumeric, left, right)};
}

Result<Value, VmError> multiply(const Value& left, const Value& right) {
    if (both_int(left, right)) {
        int64_t out;
        if (__builtin_mul_overflow(left.as_int(), right.as_int(), &out)) return Failure{overflow()};
        return Value::integer(out);
    }
    double a, b;
    if (float_pair(left, right, a, b)) return Value::number(float_product(a, b));
    return Failure{operand_mismatch(kNumeric, left, right)};
}

Result<Value, VmError> divide(const Value& left, const Value& right) {
    if (is_zero_divisor(right)) return Failure{zero_divisor()};
    if (right.is(ValueType::Float)) {
        if (!is_number(left)) return Failure{operand_mismatch(kNumeric, left, right)};
        return Value::number(left_as_double(left) / right.as_float());
    }
    if (right.is(ValueType::Int)) {
        int64_t r = right.as_int();
        if (left.is(ValueType::Int)) {
            int64_t l = left.as_int();
            if (l == kIntMin && r == -1) return Failure{overflow()};
            return Value::integer(l / r);
        }
        if (left.is(ValueType::Float)) return Value::number(left.as_float() / static_cast<double>(r));
    }
    return Failure{operand_mismatch(kNumeric, left, right)};
}

Result<Value, VmError> remainder(const Value& left, const Value& right) {
    if (is_zero_divisor(right)) return Failure{zero_divisor()};
    if (right.is(ValueType::Float)) {
        if (!is_number(left)) return Failure{operand_mismatch(kNumeric, left, right)};
        return Value::number(std::fmod(left_as_double(left), right.as_float()));
    }
    if (right.is(ValueType::Int)) {
        int64_t r = right.as_int();
        if (left.is(ValueType::Int)) {
            int64_t l = left.as_int();
            if (l == kIntMin && r == -1) return Failure{overflow()};
            return Value::integer(l % r);
        }
        if (left.is(ValueType::Float)) return Value::number(std::fmod(left.as_float(), static_cast<double>(r)));
    }
    return Failure{operand_mismatch(kNumeric, left, right)};
}

Result<Value, VmError> negate(const Value& operand) {
    if (operand.is(ValueType::Int)) {
        if (operand.as_int() == kIntMin) return Failure{overflow()};
        return Value::integer(-operand.as_int());
    }
    if (operand.is(ValueType::Float)) {
        uint64_t bits = std::bit_cast<uint64_t>(operand.as_float()) ^ (uint64_t{1} << 63);
        return Value::number(std::bit_cast<double>(bits));
    }
    return Failure{negation_of(operand)};
}

namespace {

// One pair of containers being compared: both arrays or both maps, of the
// same size, and the next element index (or left slot) still to compare.
struct EqualFrame {
    const Value* left;
    const Value* right;
    size_t next;
};

// Compares two values without descending into containers. Returns false on
// a difference; for two non-empty containers of the same kind and size it
// pushes a frame so the caller compares their contents.
bool shallow_equal(const Value& left, const Value& right, std::vector<EqualFrame>& pending) {
    ValueType lt = left.type();
    ValueType rt = right.type();
    if (lt != rt) {
        if (lt == ValueType::Int && rt == ValueType::Float)
            return static_cast<double>(left.as_int()) == right.as_float();
        if (lt == ValueType::Float && rt == ValueType::Int)
            return left.as_float() == static_cast<double>(right.as_int());
        return false;
    }
    switch (lt) {
        case ValueType::Empty:
            return true;
        case ValueType::Bool:
            return left.as_bool() == right.as_bool();
        case ValueType::Int:
            return left.as_int() == right.as_int();
        case ValueType::Float:
            return left.as_float() == right.as_float();
        case ValueType::String:
        case ValueType::URL:
            return left.payload() == right.payload() || left.text() == right.text();
        case ValueType::Function: {
            if (left.payload() == right.payload()) return true;
            const FunctionRef& a = left.function_ref();
            const FunctionRef& b = right.function_ref();
            return a.chunk_index == b.chunk_index && a.arity == b.arity && a.name == b.name;
        }
        case ValueType::Array: {
            // No identity shortcut for containers: an array holding NaN is
            // not equal to itself.
            size_t n = left.items().size();
            if (n != right.items().size()) return false;
            if (n != 0) pending.push_back({&left, &right, 0});
            return true;
        }
        case ValueType::Dict: {
            size_t n = left.entries().size();
            if (n != right.entries().size()) return false;
            if (n != 0) pending.push_back({&left, &right, 0});
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

bool equals(const Value& left, const Value& right) {
    std::vector<EqualFrame> pending;
    if (!shallow_equal(left, right, pending)) return false;
    if (pending.empty()) return true;
    // Containers are walked with an explicit stack, depth first, stopping at
    // the first difference; nesting depth costs heap, never native stack.
    while (!pending.empty()) {
        EqualFrame& frame = pending.back();
        const Value* a = nullptr;
        const Value* b = nullptr;
        if (frame.left->is(ValueType::Array)) {
            const std::vector<Value>& li = frame.left->items();
            if (frame.next < li.size()) {
                a = &li[frame.next];
                b = &frame.right->items()[frame.next];
                ++frame.next;
            }
        } else {
            const DictMap& lm = frame.left->entries();
            size_t slots = lm.slot_count();
            while (frame.next < slots && lm.slot_key(frame.next) == nullptr) ++frame.next;
            if (frame.next < slots) {
                b = frame.right->entries().find(lm.slot_key(frame.next)->text());
                if (b == nullptr) return false;
                a = &lm.slot_value(frame.next);
                ++frame.next;
            }
        }
        if (a == nullptr) {
            pending.pop_back();
            continue;
        }
        count_work(1);
        // `frame` may dangle once shallow_equal pushes; it is not used again.
        if (!shallow_equal(*a, *b, pending)) return false;
    }
    return true;
}

Result<bool, VmError> less_than(const Value& left, const Value& right) {
    if (both_int(left, right)) return left.as_int() < right.as_int();
    double a, b;
    if (float_pair(left, right, a, b)) return a < b;
    if (left.is(ValueType::String) && right.is(ValueType::String)) return compare_bytes(left.text(), right.text()) < 0;
    return Failure{incomparable(left, right)};
}

Result<bool, VmError> less_equal(const Value& left, const Value& right) {
    if (both_int(left, right)) return left.as_int() <= right.as_int();
    double a, b;
    if (float_pair(left, right, a, b)) return a <= b;
    if (left.is(ValueType::String) && right.is(ValueType::String)) return compare_bytes(left.text(), right.text()) <= 0;
    return Failure{incomparable(left, right)};
}

Value join_text(const Value& left, const Value& right) {
    std::string out;
    if (left.is(ValueType::String) && right.is(ValueType::String)) {
        require_memory(sizeof(StringObject) + left.text().size() + right.text().size());
        out.reserve(left.text().size() + right.text().size());
        append_in_chunks(out, left.text());
        append_in_chunks(out, right.text());
    } else {
        // Measured first only under a memory limit. The run loop has already
        // checked that the joined text stays within the text limit.
        if (t_active_meter != nullptr)
            require_memory(sizeof(StringObject) + display_length(left, SIZE_MAX / 4) +
                           display_length(right, SIZE_MAX / 4));
        append_display_text(out, left);
        append_display_text(out, right);
    }
    return Value::string(std::move(out));
}

}  // namespace tarnel::ops
