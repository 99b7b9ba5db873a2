// What the x86-64 code generators (jit_x64.cpp, jit_loop_x64.cpp) assume
// about the VM's values in memory, probed on live values once.
#pragma once

#include <cstdint>

#include "values/value.hpp"

namespace tarnel::jit {

inline constexpr uint8_t kBool = static_cast<uint8_t>(ValueType::Bool);
inline constexpr uint8_t kInt = static_cast<uint8_t>(ValueType::Int);
inline constexpr uint8_t kFloat = static_cast<uint8_t>(ValueType::Float);
inline constexpr uint8_t kArray = static_cast<uint8_t>(ValueType::Array);
inline constexpr uint8_t kFirstHeapTag = static_cast<uint8_t>(ValueType::String);  // tags from here on own a payload
// r0..r7: the registers the machine code keeps in its window while calls
// and returns are machine code (jit_x64.cpp, `windowed_`).
inline constexpr uint8_t kWindowSize = 8;

// Whether a Value is its tag byte at offset 0 and its 8-byte payload at
// offset 8, as the emitters assume.
bool value_layout_matches();

// Where an array's elements are: the offsets, inside an ArrayObject, of its
// reference count and of the first two words of its element vector, which
// must be the vector's begin and end. When the library lays vectors out
// otherwise (`known` false), arrays go through their handlers.
struct ArrayLayout {
    bool known = false;
    int refs = 0;
    int begin = 0;
    int end = 0;
};
const ArrayLayout& array_layout();

// The tag and the 8 payload bytes of a scalar value, as a register holds it.
void scalar_bits(const Value& value, uint8_t& tag, uint64_t& bits);

}  // namespace tarnel::jit
