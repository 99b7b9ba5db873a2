// The loops the machine-code tier runs with their values in machine
// registers, and the one type each register keeps in them.
//
// A loop is the instructions from a jump target (its head) to the farthest
// jump back to it (its last). It qualifies when every instruction in it has
// typed machine code (scalar constants, moves, Int and Float arithmetic and
// comparisons, jumps, scalar array elements), no jump in it goes back before
// the head or out of the list, and each register it uses can keep one type
// throughout: Int, Float or Bool, or Array for a register that only names
// the array an ArrayGetR or ArraySetR works on, or Truth (below). Loops nest: an inner loop is
// part of the outer one's code, and qualifies on its own too (its code runs
// when the outer loop's entry checks fail).
//
// The types come from the loop's own instructions (an AddR's operands and
// result share one type, a comparison writes a Bool, a jump tests a Bool)
// and, for the registers the loop only reads, from the straight code before
// the head, or else from the types the registers held when the list was
// compiled (`seen`). They are a prediction: the machine code checks every
// register's tag when it enters the loop and runs the ordinary code when one
// differs.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <vector>

#include "loader/module.hpp"

namespace tarnel::jit {

// Truth: a register the loop only fills from array elements and only tests
// with a conditional jump, holding a Bool or Empty (an array's elements
// start Empty). It stays in the register file with its tag, which the code
// copies with the element and tests with the payload.
enum class Kept : uint8_t { Unused, Int, Float, Bool, Array, Truth };

// EqR, NeqR and the orderings: the comparisons, whose result is a Bool.
bool is_comparison(Opcode op);

// The tags of the 256 registers' values.
using SeenTypes = std::array<ValueType, 256>;

struct LoopPlan {
    uint64_t head = 0;
    uint64_t last = 0;
    std::array<Kept, 256> kept{};      // Unused: the loop does not name the register
    std::bitset<256> written;          // scalar registers the loop writes
    std::bitset<256> stored;           // arrays the loop stores into
    std::array<uint16_t, 256> uses{};  // how often the loop names each register

    bool contains(uint64_t index) const { return index >= head && index <= last; }
};

// Longer loops keep the ordinary machine code: the bound keeps the code of
// a loop's exits, which store its registers back, linear in its size.
inline constexpr uint64_t kMaxLoopLength = 256;

// The qualifying loops of `code`, in the order of their heads.
std::vector<LoopPlan> plan_loops(const std::vector<Instruction>& code, const std::vector<Constant>& constants,
                                 const SeenTypes* seen = nullptr);

}  // namespace tarnel::jit
