// The handlers the machine code calls for the instructions it has no code
// of its own for, and for those whose guards fail (jit_handlers.cpp).
#pragma once

#include <exception>

#include "vm/exec_context.hpp"
#include "vm/jit_code.hpp"

namespace tarnel::jit {

// What a handler call works with, reached through MachineFrame::handlers:
// the run's context, and how a handler ended the run. An exception (out of
// memory, a stopped run) is kept here and thrown again once the machine
// code has returned: it must not unwind through machine code, which has no
// unwind tables.
struct HandlerContext {
    ExecContext& c;
    Status status = Status::Next;
    std::exception_ptr exception;
};

// Runs instruction `index` (of kind `op`) with its handler: frame.count and
// frame.last_jump hold the machine code's count and last jump, as yet
// unstored. Sets pc and the count as the interpreter does, writes the
// count back to the frame and returns the pc to go on at; sets
// frame.stopped when the run ends there. Never throws.
using Handler = uint64_t (*)(MachineFrame* frame, uint64_t index);

Handler handler_for(Opcode op);

}  // namespace tarnel::jit
