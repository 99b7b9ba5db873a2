// Machine code for a loop with its values in machine registers (the loops
// of jit_loops.hpp), emitted by jit_x64.cpp at the loop's head.
//
// On entry the code checks that every register the loop names holds the
// type the plan gives it (and, for the ones it writes, that the register's
// declared tag is that type too), then loads them: Ints and Bools into
// general registers, Floats into SSE registers, and for each array the
// start and length of its elements. Registers the allocation has no room
// for stay in the register file and are read and written there, payload
// only: their tags are already right. The body then runs with no tag tests
// and no tag stores; the instruction count is added once per path between
// jumps, and a jump back to the head polls as every taken jump does.
//
// Any instruction whose typed form cannot go on (an overflow, a division
// the typed form does not cover, an index outside the array, an element of
// another type) leaves the loop before that instruction: the count of the
// instructions done is added, the registers the loop has written are stored
// back, and the ordinary code runs the instruction. Leaving by a jump or
// off the end stores them back the same way. The state is then exactly the
// interpreter's at that instruction.
#pragma once

#include <xbyak/xbyak.h>

#include <vector>

#include "vm/jit_loops.hpp"

namespace tarnel::jit {

// The labels of the ordinary machine code around a loop.
struct LoopSurroundings {
    std::vector<Xbyak::Label>& at;    // at[i]: instruction i's code, the entry of a loop at i included
    std::vector<Xbyak::Label>& poll;  // poll[i]: leaves with pc = i, for a poll
    std::vector<bool>& needs_poll;    // set for each poll[i] the loop jumps to
    const Xbyak::Label& head_code;    // the ordinary code of the loop's head, past its entry
    bool windowed;                    // r0..r7 are in the window at rbp, not in the register file
};

// Emits the loop's code at the current position: its entry, whose checks
// go to `around.head_code` when they fail, then its body and exits. Emits
// nothing and returns false when the loop's arrays do not fit the machine
// registers.
bool emit_loop(Xbyak::CodeGenerator& code, const std::vector<Instruction>& list, const std::vector<Constant>& constants,
               const LoopPlan& plan, LoopSurroundings& around);

}  // namespace tarnel::jit
