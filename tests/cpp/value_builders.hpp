// Short constructors and a structural comparison for tests that build many
// values in tables.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "values/dict_map.hpp"
#include "values/value.hpp"

namespace tarnel::testing_values {

inline constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
inline constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
inline const double kInf = std::numeric_limits<double>::infinity();
inline const double kNaN = std::numeric_limits<double>::quiet_NaN();

inline Value I(int64_t i) { return Value::integer(i); }
inline Value F(double x) { return Value::number(x); }
inline Value B(bool b) { return Value::boolean(b); }
inline Value S(std::string text) { return Value::string(std::move(text)); }
inline Value U(std::string text) { return Value::url(std::move(text)); }
inline Value E() { return Value(); }
inline Value Fn(uint64_t chunk, uint64_t arity, std::string name) {
    return Value::function(FunctionRef{chunk, arity, std::move(name)});
}
inline Value Fn(std::string name) { return Fn(0, 0, std::move(name)); }
inline Value A(std::initializer_list<Value> items) { return Value::array(std::vector<Value>(items)); }
inline Value D(std::initializer_list<std::pair<const char*, Value>> entries) {
    DictMap map;
    for (const auto& [key, value] : entries) map.set(Value::string(key), value);
    return Value::dict(std::move(map));
}

// Wraps `inner` in `depth` single-element arrays.
inline Value nest_in_arrays(Value inner, size_t depth) {
    Value v = std::move(inner);
    for (size_t i = 0; i < depth; ++i) {
        std::vector<Value> items;
        items.push_back(std::move(v));
        v = Value::array(std::move(items));
    }
    return v;
}

// Structural identity for checking results: same kind, same payload content,
// floats bit for bit (any NaN matches any NaN).
inline bool identical(const Value& a, const Value& b) {
    if (a.type() != b.type()) return false;
    switch (a.type()) {
        case ValueType::Empty:
            return true;
        case ValueType::Bool:
            return a.as_bool() == b.as_bool();
        case ValueType::Int:
            return a.as_int() == b.as_int();
        case ValueType::Float:
            if (std::isnan(a.as_float())) return std::isnan(b.as_float());
            return std::bit_cast<uint64_t>(a.as_float()) == std::bit_cast<uint64_t>(b.as_float());
        case ValueType::String:
        case ValueType::URL:
            return a.text() == b.text();
        case ValueType::Function:
            return a.function_ref() == b.function_ref();
        case ValueType::Array: {
            if (a.items().size() != b.items().size()) return false;
            for (size_t i = 0; i < a.items().size(); ++i)
                if (!identical(a.items()[i], b.items()[i])) return false;
            return true;
        }
        case ValueType::Dict: {
            if (a.entries().size() != b.entries().size()) return false;
            bool same = true;
            a.entries().for_each([&](const Value& key, const Value& value) {
                const Value* other = b.entries().find(key.text());
                if (other == nullptr || !identical(value, *other)) same = false;
            });
            return same;
        }
        default:
            return false;
    }
}

// Kind and display text, plus the bits of a float, for failure messages.
inline std::string describe(const Value& v) {
    std::string out(debug_name(v.type()));
    out += ' ';
    out += display_text(v);
    if (v.is(ValueType::Float)) {
        char bits[32];
        std::snprintf(bits, sizeof bits, " (bits %016llx)",
                      static_cast<unsigned long long>(std::bit_cast<uint64_t>(v.as_float())));
        out += bits;
    }
    return out;
}

}  // namespace tarnel::testing_values

// The same builders for tests that also build instructions, where I is
// taken by the instruction builder (vm_fixture.hpp): an Int is VI.
namespace tarnel::program_values {

using testing_values::B;
using testing_values::describe;
using testing_values::F;
using testing_values::kMax;
using testing_values::kMin;
using testing_values::kNaN;
using testing_values::S;
inline Value VI(int64_t i) { return Value::integer(i); }

}  // namespace tarnel::program_values
