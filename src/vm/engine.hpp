// The execution loop.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "values/errors.hpp"
#include "values/result.hpp"
#include "vm/run_limits.hpp"
#include "vm/state.hpp"

namespace tarnel {

// A broken promise of the machine itself rather than of the program, such as
// a failed write to standard output. The host reports it separately from
// VmError.
struct InternalFault {
    std::string message;
};

// LimitReached ends only runs with limits (run_limited).
using RunError = std::variant<VmError, InternalFault, LimitReached>;

// The outcome of one step: success with an optional returned value, or an error.
using StepResult = Result<std::optional<Value>, RunError>;

// Runs the loaded program from "main" (or the current pc) until it returns
// from its outermost level, halts, runs off the end or fails.
Result<std::optional<Value>, RunError> run(VmState& state);

// `run` under limits: the same loop with a budget of instructions counted
// down, polls of the clock and the host, and a memory meter. A run that a
// limit stops ends with LimitReached, in the state of a failed run; when
// the instruction budget is spent, pc is the instruction not run.
Result<std::optional<Value>, RunError> run_limited(VmState& state, const RunLimits& limits);

// Executes one instruction; `pc` must already point past it.
StepResult execute_instruction(VmState& state, const Instruction& instruction);

}  // namespace tarnel
