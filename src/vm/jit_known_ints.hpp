// Which of r0..r7 hold Ints wherever the straight-line code reaches an
// instruction the common way.
//
// Most instructions check their operands' tags, though in the common case
// the instruction before has just checked or written them: a SubR that
// found r0 an Int and wrote an Int to r3 is followed by a call passing r3,
// and after the call's return (which gives r0..r7 back) by a SubR of r0
// into r3 again. The machine code (jit_x64.cpp) therefore emits a second
// copy of such a run of instructions, which skips those checks, and enters
// it only where the checks or writes it relies on were just made.
//
// at[i] is what the copy of instruction i may rely on: the registers of
// r0..r7 holding an Int, their declared tag Int too (only for lists
// without DefineR). Whatever reaches the copy comes from the copy of i - 1
// straight on, so at[i] is what instruction i - 1 leaves of at[i - 1] on
// its common way, and adds to it there; or from the ordinary code of
// i - 1, where that leaves all of at[i] relying on nothing. Every other way out of an
// instruction (a guard's stub, a Float's code, a handler that moved pc, a
// return from C++, a jump) goes on in the ordinary code, which relies on
// nothing.
//
// A call that runs its callee's way to a return in place and leaves it at
// a jump (jit_return_path.hpp) goes on in the callee past the jump, with
// the Ints the path checked in its arguments: where nothing else reaches a
// copy there, the copy starts a run relying on those, entered by such
// calls alone.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "loader/instruction.hpp"
#include "loader/module.hpp"
#include "vm/jit_window_plan.hpp"

namespace tarnel::jit {

struct KnownInts {
    std::vector<WindowMask> at;          // code.size() + 1 entries; the last, past the list, empty
    std::vector<bool> entered_by_exits;  // the copy there is entered by calls' exits alone
    // The ordinary code of i - 1 goes on into the copy of i on its common
    // way: what it leaves there, relying on nothing, is all the copy relies on.
    std::vector<bool> from_ordinary;
};

// `calls_in_machine_code`: a CallR's common way is the machine code's own
// call and return, which give r0..r7 back, with an Int result (the copy's
// landing checks it); otherwise nothing is known after one. A call where
// nothing is known starts no run: the ordinary code's landing, where C++
// returns too, would need the check.
//
// `barriers`: indices at which nothing may be relied on (loop heads, whose
// own code comes first). `exit_entries`: where calls' exits go on, with
// the Ints each brings.
KnownInts plan_known_ints(const std::vector<Instruction>& code, const std::vector<Constant>& constants,
                          bool calls_in_machine_code, const std::vector<uint64_t>& barriers,
                          const std::map<uint64_t, WindowMask>& exit_entries = {});

// Registers of the file (r64 up, which no call saves or gives back) that
// every instruction able to write them loads with the same kind of
// constant: any Int, or one String constant. Once such a register holds
// one, it holds one until the next load, so a copy may rely on it for as
// long as the run stays in machine code, once checked (jit_x64.cpp keeps
// that check in the frame). Only those the code reads as an Int operand or
// a CallR's callee, at most kMaxStable.
struct StableRegisters {
    std::vector<uint8_t> ints;
    std::vector<std::pair<uint8_t, uint64_t>> names;  // register, constant index
};
StableRegisters plan_stable_registers(const std::vector<Instruction>& code, const std::vector<Constant>& constants);
inline constexpr size_t kMaxStable = 8;

}  // namespace tarnel::jit
