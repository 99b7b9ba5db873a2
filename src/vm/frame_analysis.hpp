// Which of r0..r63 a called function can write.
//
// A call only has to save the caller's registers that the callee can change:
// everything else still holds the caller's value when the callee returns. The
// set is computed from the code reachable from the callee's entry point, so
// it is a property of the loaded program and computed once per entry point.
//
// What each instruction kind writes is declared once, in kWriteEffects; the
// analysis and the tests read it from there.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "loader/instruction.hpp"

namespace tarnel {

// A set of registers among r0..r63, one bit per register.
using RegisterMask = uint64_t;
inline constexpr RegisterMask kAllSavedRegisterBits = ~RegisterMask{0};

// How control leaves an instruction, as far as the analysis is concerned.
enum class Flow : uint8_t {
    Next,    // on to the next instruction (or the run fails there)
    Jump,    // only to pc + offset
    Branch,  // to the next instruction or to pc + offset
    Call,    // on to the next instruction once the callee has returned
    Stop,    // leaves the function (ReturnR) or ends the run (Halt)
};

// Register operand slots of an Instruction, in declared order.
inline constexpr uint8_t kSlotA = 1;
inline constexpr uint8_t kSlotB = 2;
inline constexpr uint8_t kSlotC = 4;

struct WriteEffect {
    Opcode op;
    uint8_t written_slots;  // the register operands the instruction writes (value or tag)
    Flow flow;
};

// CallR also writes its argument registers r0..min(n, 16) - 1, before the
// callee runs; its dst (slot b) receives the returned value afterwards.
inline constexpr std::array<WriteEffect, kOpcodeCount> kWriteEffects = {{
    {Opcode::LoadConstR, kSlotA, Flow::Next},
    {Opcode::MoveR, kSlotA, Flow::Next},
    {Opcode::LoadGlobalR, kSlotA, Flow::Next},
    {Opcode::StoreGlobalR, 0, Flow::Next},
    {Opcode::DefineR, kSlotA, Flow::Next},  // the tag only
    {Opcode::CheckTypeR, kSlotA, Flow::Next},
    {Opcode::CastR, kSlotA, Flow::Next},
    {Opcode::AddR, kSlotA, Flow::Next},
    {Opcode::SubR, kSlotA, Flow::Next},
    {Opcode::MulR, kSlotA, Flow::Next},
    {Opcode::DivR, kSlotA, Flow::Next},
    {Opcode::ModR, kSlotA, Flow::Next},
    {Opcode::NegR, kSlotA, Flow::Next},
    {Opcode::NotR, kSlotA, Flow::Next},
    {Opcode::AndR, kSlotA, Flow::Next},
    {Opcode::OrR, kSlotA, Flow::Next},
    {Opcode::EqR, kSlotA, Flow::Next},
    {Opcode::NeqR, kSlotA, Flow::Next},
    {Opcode::LtR, kSlotA, Flow::Next},
    {Opcode::GtR, kSlotA, Flow::Next},
    {Opcode::LteR, kSlotA, Flow::Next},
    {Opcode::GteR, kSlotA, Flow::Next},
    {Opcode::JumpR, 0, Flow::Jump},
    {Opcode::JumpIfR, 0, Flow::Branch},
    {Opcode::JumpIfNotR, 0, Flow::Branch},
    {Opcode::CallR, kSlotB, Flow::Call},
    {Opcode::ReturnR, 0, Flow::Stop},
    {Opcode::PhiR, kSlotA, Flow::Next},
    {Opcode::AssertR, 0, Flow::Next},
    {Opcode::ScopeEnterR, 0, Flow::Next},
    {Opcode::ScopeExitR, 0, Flow::Next},
    {Opcode::ConcatStrR, kSlotA, Flow::Next},
    {Opcode::StrLenR, kSlotA, Flow::Next},
    {Opcode::NewArrayR, kSlotA, Flow::Next},
    {Opcode::ArrayGetR, kSlotA, Flow::Next},
    {Opcode::ArraySetR, kSlotA, Flow::Next},  // the array, updated in its own register
    {Opcode::ArrayLenR, kSlotA, Flow::Next},
    {Opcode::DebugPrint, 0, Flow::Next},
    {Opcode::BreakPoint, 0, Flow::Next},
    {Opcode::Halt, 0, Flow::Stop},
    {Opcode::Nop, 0, Flow::Next},
    {Opcode::DictNewR, kSlotA, Flow::Next},
    {Opcode::DictGetR, kSlotA, Flow::Next},
    {Opcode::DictSetR, kSlotA, Flow::Next},     // the dict, updated in its own register
    {Opcode::DictRemoveR, kSlotA, Flow::Next},  // likewise
    {Opcode::DictContainsR, kSlotA, Flow::Next},
    {Opcode::DictKeysR, kSlotA, Flow::Next},
    {Opcode::DictValuesR, kSlotA, Flow::Next},
    {Opcode::DictClearR, kSlotA, Flow::Next},  // likewise
    {Opcode::DictLenR, kSlotA, Flow::Next},
}};

constexpr bool write_effects_cover_every_kind() {
    for (size_t i = 0; i < kOpcodeCount; ++i) {
        if (kWriteEffects[i].op != static_cast<Opcode>(i)) return false;
        // Only register operands can be written.
        const auto& operands = info(kWriteEffects[i].op).operands;
        size_t registers = 0;
        for (const auto& operand : operands)
            registers += operand.kind == OperandKind::Reg || operand.kind == OperandKind::OptReg ? 1 : 0;
        if (kWriteEffects[i].written_slots >> registers) return false;
    }
    return true;
}
static_assert(write_effects_cover_every_kind(), "kWriteEffects needs one row per instruction kind, in opcode order");

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
