// Which of r0..r63 a called function can write.
//
// A call only has to save the caller's registers that the callee can change:
// everything else still holds the caller's value when the callee returns. The
// set is computed from the code reachable from the callee's entry point, so
// it is a property of the loaded program and computed once per entry point.
//
// What each instruction kind writes and how control leaves it come from its
// row in TARNEL_INSTRUCTIONS (src/loader/instruction.hpp), through
// kWriteEffects below.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "loader/instruction.hpp"

namespace tarnel {

// A set of registers among r0..r63, one bit per register.
using RegisterMask = uint64_t;
inline constexpr RegisterMask kAllSavedRegisterBits = ~RegisterMask{0};

// Register operand slots of an Instruction, as bits of written_slots.
inline constexpr uint8_t kSlotA = 1;
inline constexpr uint8_t kSlotB = 2;
inline constexpr uint8_t kSlotC = 4;

struct WriteEffect {
    Opcode op;
    uint8_t written_slots;  // the register operands the instruction writes (value or tag)
    Flow flow;
};

// The written register operands of a row (access Out or InOut), as slot bits.
constexpr uint8_t written_slots_of(const InstructionInfo& row) {
    uint8_t slots = 0;
    for (const OperandSpec& operand : row.operands)
        if (!operand.name.empty() && operand.is_written_register())
            slots |= static_cast<uint8_t>(1u << static_cast<unsigned>(operand.slot));
    return slots;
}

// One entry per instruction kind, in opcode order, from the rows of
// TARNEL_INSTRUCTIONS. CallR also writes its argument registers
// r0..min(n, 16) - 1 before the callee runs; its dst receives the returned
// value afterwards.
inline constexpr std::array<WriteEffect, kOpcodeCount> kWriteEffects = [] {
    std::array<WriteEffect, kOpcodeCount> effects{};
    for (size_t i = 0; i < kOpcodeCount; ++i)
        effects[i] = {static_cast<Opcode>(i), written_slots_of(kInstructionInfo[i]), kInstructionInfo[i].flow};
    return effects;
}();

constexpr const WriteEffect& write_effect(Opcode op) { return kWriteEffects[static_cast<size_t>(op)]; }

// The registers among r0..r63 that executing `ins` itself writes (for CallR:
// its arguments and its dst, not what the callee writes).
RegisterMask instruction_writes(const Instruction& ins);

// The instruction indexes control can go to from instruction `index` of
// `code` within the same function: the next instruction unless the kind
// stops, and a jump's target when it lies inside the list. Returns how many
// of `out` it filled (0..2).
size_t instruction_successors(const std::vector<Instruction>& code, uint64_t index, uint64_t out[2]);

// The registers among r0..r63 that code reachable from `entry` can write,
// following fall-through and jumps, stopping at ReturnR and Halt, and going
// on after each CallR. `marks` and `epoch` are scratch space reused between
// calls (marks is resized to the code); `budget` is the number of
// instructions the caller lets the analysis visit, decreased by what it
// visits: when it runs out, the answer is every register.
RegisterMask reachable_writes(const std::vector<Instruction>& code, uint64_t entry, std::vector<uint32_t>& marks,
                              uint32_t& epoch, uint64_t& budget);

}  // namespace tarnel
