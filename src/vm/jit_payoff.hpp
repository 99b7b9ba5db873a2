// Whether a module's machine code can be expected to beat the interpreter.
#pragma once

#include <vector>

#include "loader/instruction.hpp"

namespace tarnel::jit {

// Judged from the module's loops, where a hot module spends its time. An
// instruction with code of its own saves about kNativeGain machine
// instructions against the interpreter; one whose handler the machine code
// calls costs about kHandlerLoss more, since the interpreter runs its
// handlers inline while the machine code makes a call that saves and
// restores registers. So a loop pays off when it has at least five
// instructions of its own per handler call, and a module unless its loops,
// taken together, lose; a module without loops always does.
inline constexpr long kNativeGain = 10;
inline constexpr long kHandlerLoss = 50;

// `native[i]`: whether instruction i runs as machine code of its own
// (has_native_code). Linear in the list's length, however its loops nest or
// overlap.
bool pays_off(const std::vector<Instruction>& code, const std::vector<bool>& native);

}  // namespace tarnel::jit
