// The way from a function's entry to a return that a call can run in
// place, without the callee's frame.
//
// Many calls end quickly: a recursion's base case compares its argument and
// returns it. What such a call leaves behind is its result in the caller's
// destination, the instructions counted and perhaps the last jump; the
// callee's r0..r7 go back to the caller's values when it returns, and a
// path that writes nothing else and cannot fail leaves nothing else. So
// the machine code at a call with a fixed callee may run that path first,
// on the caller's values, holding the callee's registers in machine
// registers. Whenever the values take it elsewhere (a tag other than Int,
// an overflow, the other way of a jump, a budget that would end inside),
// it has written nothing yet and makes the call as usual, which runs the
// callee from its entry; or, at a jump where all it wrote is known, makes
// the call with those values and goes on past the jump in the callee.
//
// The plan picks the path from the code alone: which instructions, which
// way each conditional jump goes, and what the path reads of the callee's
// window before writing it. The emitter (jit_x64.cpp) adds the guards.
#pragma once

#include <cstdint>
#include <vector>

#include "loader/instruction.hpp"
#include "loader/module.hpp"
#include "vm/jit_window_plan.hpp"
#include "vm/jit_x64_layout.hpp"

namespace tarnel::jit {

struct ReturnPathStep {
    uint64_t pc = 0;
    bool jumps = false;  // a jump the path takes: on at its target, not at pc + 1
};

struct ReturnPath {
    // From the entry to the ReturnR (with a result), which comes last;
    // empty when the function has no such path.
    std::vector<ReturnPathStep> steps;
    // The registers of the callee's window read before the path writes
    // them: the arguments, or the caller's values.
    WindowMask read_on_entry = 0;
};

// Kinds on a path: LoadConstR of an Int or Bool, MoveR, AddR, SubR and MulR
// of Ints, the comparisons of Ints, jumps (a conditional one on a Bool the
// path computed) and ReturnR. Each writes only r0..r7, and at most
// kMaxPathRegisters of them. The first path found, trying the fall-through
// of each conditional jump before its target, of at most kMaxPathSteps
// instructions with none twice.
ReturnPath plan_return_path(const std::vector<Instruction>& code, const std::vector<Constant>& constants,
                            uint64_t entry);
inline constexpr size_t kMaxPathSteps = 8;

// The registers of the callee's window the path has used as Int operands
// of its arithmetic and comparisons, as it found them on entry, and has not
// written, in its steps 0..last: those the callee holds as Ints where a
// call leaves the path after step `last`.
WindowMask ints_read_on_entry(const std::vector<Instruction>& code, const ReturnPath& path, size_t last);
inline constexpr size_t kMaxPathRegisters = 6;

}  // namespace tarnel::jit
