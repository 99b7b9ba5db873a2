// The handlers the machine code calls for the instructions it has no code
// of its own for, and for those whose guards fail (jit_handlers.cpp).
#pragma once

#include <cstdint>
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

// Where the machine code goes on after a handler: the pc (kStopped when the
// run ended there) and the instruction count. Two words, returned in rax
// and rdx, so that the machine code keeps both in registers.
struct Resume {
    uint64_t pc;
    uint64_t count;
};

// The pc a handler returns when the run ended at its instruction: outside
// any list, so the machine code leaves. The handler has set frame.stopped,
// and VmState::pc holds the run's real pc.
inline constexpr uint64_t kStopped = UINT64_MAX;

// Runs instruction `index` (of kind `op`) with its handler, given the
// machine code's instruction count and last jump taken (-1: none since the
// last handler). Stores both and pc as the interpreter leaves them before a
// handler, runs it and returns the pc and count it left. Never throws.
using Handler = Resume (*)(MachineFrame* frame, uint64_t index, uint64_t count, int64_t last_jump);

Handler handler_for(Opcode op);

// The plain handler of a kind that never moves pc: like a Handler, but as
// the interpreter runs such a kind, without storing pc and the count first
// (no such handler reads them), and with the count left to the machine
// code. Returns 0, or 1 when the run ended there; then it has set
// frame.stopped and VmState::pc.
//
// Only PhiR reads the last jump: its plain handler stores `last_jump`
// first, and every other one ignores it, so that the machine code keeps the
// last jump in its register across the call and leaves with it.
using PlainHandler = uint64_t (*)(MachineFrame* frame, uint64_t index, int64_t last_jump);

PlainHandler plain_handler_for(Opcode op);
constexpr bool plain_handler_reads_last_jump(Opcode op) { return op == Opcode::PhiR; }

// The quick call (quick_calls.hpp) on its own, for the machine code's
// CallR: when `callee` (the register the call names) is quick at `site`,
// pushes the partial frame, passes the arguments and returns the callee's
// entry; otherwise changes nothing and returns kNotQuick, and the machine
// code calls the CallR handler. `result`: the register the call's result
// goes to. Neither reads nor writes pc, the count or the last jump, which
// the machine code keeps. A full stack vector (one
// that would have to grow) is not quick: growing may fail, which only the
// handler reports.
inline constexpr uint64_t kNotQuick = UINT64_MAX;
uint64_t quick_call(VmState* s, const CallSiteCache* site, uint32_t callee, uint32_t result) noexcept;

// The quick return, likewise: `result` is the register ReturnR names, or
// kNoResult; returns the pc to go on at, or kNotQuick.
inline constexpr uint32_t kNoResult = 256;
uint64_t quick_return(VmState* s, uint32_t result) noexcept;

// Writes a copy of register `from` to register `to`, with its tag: the
// argument passing of the machine code's own quick call when either holds
// a heap value.
void pass_argument(VmState* s, uint32_t to, uint32_t from) noexcept;

}  // namespace tarnel::jit
