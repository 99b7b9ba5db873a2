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

struct Constant {
    enum class Kind : uint8_t { Integer, Float, String, Boolean, Empty, Url, Function };

    Kind kind = Kind::Empty;
    int64_t integer = 0;
    double number = 0.0;
    bool boolean = false;
    std::string text;      // String and Url
    FunctionRef function;  // Function

    static Constant of_int(int64_t v) { return {Kind::Integer, v, 0.0, false, {}, {}}; }
    static Constant of_float(double v) { return {Kind::Float, 0, v, false, {}, {}}; }
    static Constant of_string(std::string s) { return {Kind::String, 0, 0.0, false, std::move(s), {}}; }
    static Constant of_bool(bool v) { return {Kind::Boolean, 0, 0.0, v, {}, {}}; }
    static Constant empty() { return {}; }
    static Constant of_url(std::string s) { return {Kind::Url, 0, 0.0, false, std::move(s), {}}; }
    static Constant of_function(FunctionRef f) { return {Kind::Function, 0, 0.0, false, {}, std::move(f)}; }

    bool is_string() const { return kind == Kind::String; }
};

// The value a LoadConstR puts into a register: always a new value (a fresh
// string object for String and Url).
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
