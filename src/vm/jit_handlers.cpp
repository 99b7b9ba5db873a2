// The handlers the machine code calls (jit_code.hpp): one small function per
// kind, so that a call runs just that kind's handler, with the program
// counter, the instruction count and the last jump stored first; and the
// quick call and return on their own, which the machine code tries first.
//
// Calls and returns take the quiet loop's quick path (fast_loop.cpp) when
// it applies: a call site that has seen its String callee before pushes a
// partial frame, and a return into a partial frame restores just that.
// Everything else is the ordinary handler.
#include <exception>

#include "vm/handlers_calls.hpp"
#include "vm/handlers_core.hpp"
#include "vm/handlers_data.hpp"
#include "vm/jit_handlers.hpp"
#include "vm/quick_calls.hpp"

namespace tarnel::jit {
namespace {

using namespace handlers;

Status quick_call(ExecContext& c, const Instruction& ins, uint64_t index) {
    VmState& s = c.s;
    const CallSiteCache& site = s.caches.call_site(index);
    if (!frames::call_is_quick(s, site, s.registers[ins.a])) return op_CallR<false>(c, Operands<Opcode::CallR>{ins});
    s.pc = frames::enter_quick_call(s, site, ins.b);
    return Status::Next;
}

Status quick_return(ExecContext& c, const Instruction& ins) {
    VmState& s = c.s;
    if (!frames::return_is_quick(s, ins.wide != 0, ins.a)) return op_ReturnR<false>(c, Operands<Opcode::ReturnR>{ins});
    s.pc = frames::leave_quick_return(s, ins.wide != 0, ins.a);
    return Status::Next;
}

template <Opcode Op>
TARNEL_HANDLER Status run_kind(ExecContext& c, const Instruction& ins, [[maybe_unused]] uint64_t index) {
    if constexpr (Op == Opcode::CallR) return quick_call(c, ins, index);
    if constexpr (Op == Opcode::ReturnR) return quick_return(c, ins);
#define TARNEL_CASE(name, ...) \
    if constexpr (Op == Opcode::name) return op_##name<false>(c, Operands<Opcode::name>{ins});
    TARNEL_INSTRUCTIONS(TARNEL_CASE)
#undef TARNEL_CASE
}

// Runs instruction `index`; an exception is kept in the context, to be
// thrown again once the machine code has returned, and ends the run.
template <Opcode Op>
TARNEL_HANDLER Status run_caught(HandlerContext& context, uint64_t index) {
    try {
        return run_kind<Op>(context.c, context.c.s.instructions[index], index);
    } catch (...) {
        context.exception = std::current_exception();
        return Status::Error;
    }
}

// Notes how the run ended at a handler's instruction.
void stop(MachineFrame* frame, HandlerContext& context, Status status) {
    frame->stopped = 1;
    context.status = status;
}

template <Opcode Op>
Resume run_handler(MachineFrame* frame, uint64_t index, uint64_t count, int64_t last_jump) {
    HandlerContext& context = *static_cast<HandlerContext*>(frame->handlers);
    VmState& s = context.c.s;
    if (last_jump >= 0) s.last_jump = static_cast<uint16_t>(last_jump);
    // As the interpreter leaves them before the handler runs: past the
    // instruction, which is counted.
    s.pc = index + 1;
    s.instruction_count = count + 1;
    const Status status = run_caught<Op>(context, index);
    if (status != Status::Next) [[unlikely]] {
        stop(frame, context, status);
        return {kStopped, s.instruction_count};
    }
    return {s.pc, s.instruction_count};
}

template <Opcode Op>
uint64_t run_plain_handler(MachineFrame* frame, uint64_t index, [[maybe_unused]] int64_t last_jump) {
    HandlerContext& context = *static_cast<HandlerContext*>(frame->handlers);
    VmState& s = context.c.s;
    if constexpr (plain_handler_reads_last_jump(Op))
        if (last_jump >= 0) s.last_jump = static_cast<uint16_t>(last_jump);
    const Status status = run_caught<Op>(context, index);
    if (status == Status::Next) [[likely]]
        return 0;
    // Where the interpreter leaves pc when a run ends there (the machine
    // code leaves with the count).
    s.pc = index + 1;
    stop(frame, context, status);
    return 1;
}

}  // namespace

PlainHandler plain_handler_for(Opcode op) {
    switch (op) {
#define TARNEL_CASE(name, ...) \
    case Opcode::name:         \
        return &run_plain_handler<Opcode::name>;
        TARNEL_INSTRUCTIONS(TARNEL_CASE)
#undef TARNEL_CASE
    }
    return nullptr;
}

Handler handler_for(Opcode op) {
    switch (op) {
#define TARNEL_CASE(name, ...) \
    case Opcode::name:         \
        return &run_handler<Opcode::name>;
        TARNEL_INSTRUCTIONS(TARNEL_CASE)
#undef TARNEL_CASE
    }
    return nullptr;
}

uint64_t quick_call(VmState* s, const CallSiteCache* site, uint32_t callee, uint32_t result) noexcept {
    if (!frames::call_is_quick(*s, *site, s->registers[callee])) return kNotQuick;
    return frames::enter_quick_call(*s, *site, static_cast<uint8_t>(result));
}

uint64_t quick_return(VmState* s, uint32_t result) noexcept {
    const bool has_result = result != kNoResult;
    if (!frames::return_is_quick(*s, has_result, static_cast<uint8_t>(result))) return kNotQuick;
    return frames::leave_quick_return(*s, has_result, static_cast<uint8_t>(result));
}

void pass_argument(VmState* s, uint32_t to, uint32_t from) noexcept {
    frames::copy_register(*s, static_cast<uint8_t>(to), static_cast<uint8_t>(from));
}

}  // namespace tarnel::jit
