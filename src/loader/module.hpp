// The in-memory module: name, header fields, constant pool, function table
// and instruction list. Decoded from a module file or assembled in memory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "loader/instruction.hpp"
#include "values/value.hpp"

namespace tarnel {

// A module constant, held as the value LoadConstR puts into a register: 16
// bytes, with the text of a String or Url (and a Function's reference) in a
// shared payload. A pool of a million one-byte constants then costs 16 MB,
// and loading a constant hands out a reference to the same payload instead
// of copying its text (payloads never change while shared, so nobody can
// tell the difference).
class Constant {
public:
    enum class Kind : uint8_t { Integer, Float, String, Boolean, Empty, Url, Function };

    Constant() = default;  // an empty constant

    static Constant of_int(int64_t v) { return Constant(Value::integer(v)); }
    static Constant of_float(double v) { return Constant(Value::number(v)); }
    static Constant of_string(std::string s) { return Constant(Value::string(std::move(s))); }
    static Constant of_bool(bool v) { return Constant(Value::boolean(v)); }
    static Constant empty() { return {}; }
    static Constant of_url(std::string s) { return Constant(Value::url(std::move(s))); }
    static Constant of_function(FunctionRef f) { return Constant(Value::function(std::move(f))); }

    Kind kind() const;
    bool is_string() const { return value_.is(ValueType::String); }
    // Each accessor requires the matching kind.
    int64_t integer() const { return value_.as_int(); }
    double number() const { return value_.as_float(); }
    bool boolean() const { return value_.as_bool(); }
    const std::string& text() const { return static_cast<const StringObject*>(value_.payload())->text; }  // String, Url
    const FunctionRef& function() const { return value_.function_ref(); }
    const Value& value() const { return value_; }

private:
    explicit Constant(Value value) : value_(std::move(value)) {}

    Value value_;
};

// The value a LoadConstR puts into a register: the constant's own value,
// sharing its payload.
Value constant_value(const Constant& constant);

// Hash and equality that let string-keyed maps be searched with a
// string_view, without building a std::string per lookup.
struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

template <class T>
using TextMap = std::unordered_map<std::string, T, TextHash, std::equal_to<>>;

struct Module {
    std::string name;
    uint32_t version = 0;
    uint32_t flags = 0;
    std::vector<Constant> constants;
    TextMap<uint64_t> functions;  // name -> entry point
    std::vector<Instruction> instructions;
};

}  // namespace tarnel
