// The execution loop.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "values/errors.hpp"
#include "values/result.hpp"
#include "vm/state.hpp"

namespace tarnel {

// A broken promise of the machine itself rather than of the program, such as
// a failed write to standard output. The host reports it separately from
// VmError.
struct InternalFault {
    std::string message;
};

using RunError = std::variant<VmError, InternalFault>;

// The outcome of one step: success with an optional returned value, or an error.
using StepResult = Result<std::optional<Value>, RunError>;

// Runs the loaded program from "main" (or the current pc) until it returns
// from its outermost level, halts, runs off the end or fails.
Result<std::optional<Value>, RunError> run(VmState& state);

// Executes one instruction; `pc` must already point past it.
StepResult execute_instruction(VmState& state, const Instruction& instruction);

}  // namespace tarnel
