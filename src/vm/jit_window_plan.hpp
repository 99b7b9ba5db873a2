// Which of r0..r7 a machine-code call must copy into its callee's window.
//
// Every function works in the one register file, so a callee starts with its
// caller's values in r0..r7, and the machine code gives it a window of its
// own: a copy of the caller's (jit_x64.cpp). A callee that reads few of
// them before it writes them needs few copied. The others stay unset in
// its window, holding whatever an earlier frame left there, as long as
// nothing can tell: the callee's code neither reads them nor may have
// written them, so their values are still the caller's, which the caller's
// frame keeps. Before C++ code runs or the run leaves, the machine code
// fills them in from the frames (`valid_before` says which are set).
//
// That holds only for a function that nothing enters but a call: no run
// starts in its code and no other function runs into it; whose code stays
// inside the list; and whose instructions touch no register but their
// operands. The plan picks those functions among the candidates.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "loader/instruction.hpp"

namespace tarnel::jit {

// A set of r0..r7, one bit per register.
using WindowMask = uint8_t;
inline constexpr WindowMask kWholeWindow = 0xFF;

struct WindowPlan {
    // For each index 0..n: the registers of r0..r7 whose values the
    // running function's window holds before that instruction runs.
    // kWholeWindow outside the planned functions.
    std::vector<WindowMask> valid_before;
    // Per planned function entry: what a call with a fixed callee copies
    // into the callee's window, its arguments among them.
    std::map<uint64_t, WindowMask> copied_on_entry;
};

// `roots`: where a run starts (0) and every function entry of the module.
// `candidates`: entries that calls with a fixed callee go to, each with the
// registers of r0..r7 any call entering there may pass arguments into. `excluded`: indexes
// whose machine code may read registers besides their operands (the heads
// of typed loops). Linear in the list's length per candidate; at most
// kMaxPlannedEntries candidates are looked at.
WindowPlan plan_windows(const std::vector<Instruction>& code, const std::vector<uint64_t>& roots,
                        const std::map<uint64_t, WindowMask>& candidates, const std::vector<bool>& excluded);
inline constexpr size_t kMaxPlannedEntries = 16;

// Kinds whose handlers work on their operands, constants, globals and
// heap values alone. Not, for instance, DefineR (which declares into
// the frames on the stack), PhiR and AssertR (registers in their lists)
// or DebugPrint (output), nor any kind that may move pc.
bool touches_only_its_registers(Opcode op);

// The registers of r0..r7 an instruction reads and writes, as the plan
// counts them; `allowed` false for kinds the plan does not take.
struct WindowAccess {
    WindowMask read = 0;
    WindowMask written = 0;
    bool allowed = false;
};
WindowAccess window_access(const Instruction& ins);

}  // namespace tarnel::jit
