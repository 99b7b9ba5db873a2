// The run loop: fetch, count, trace (debug runs only), dispatch.
//
// The loop is instantiated twice, for debug and quiet runs, so a quiet run
// carries no trace test at all. Dispatch goes through a table of label
// addresses (GCC/Clang computed goto) built from the instruction list, with a
// switch as the portable fallback; either way each handler is inlined into
// the loop.
#include "vm/engine.hpp"

#include <new>

#include "vm/exec_context.hpp"
#include "vm/handlers_calls.hpp"
#include "vm/handlers_core.hpp"
#include "vm/handlers_data.hpp"
#include "vm/trace.hpp"

#if defined(__GNUC__) && !defined(TARNEL_NO_COMPUTED_GOTO)
#define TARNEL_COMPUTED_GOTO 1
#endif

namespace tarnel {
namespace {

using namespace handlers;

template <bool Debug>
Status run_loop(ExecContext& c) {
    VmState& s = c.s;
    const Instruction* const code = s.instructions.data();
    const uint64_t code_size = s.instructions.size();
    const Instruction* ins = nullptr;
    Status status = Status::Next;

// Fetch: stop past the end, take instruction pc, advance pc, count, trace.
#define TARNEL_FETCH()                                                                      \
    do {                                                                                    \
        if (s.pc >= code_size) return Status::Next;                                         \
        ins = &code[s.pc];                                                                  \
        ++s.pc;                                                                             \
        ++s.instruction_count;                                                              \
        if (Debug) {                                                                        \
            if (c.emit(trace::fetch_line(s.pc - 1, *ins)) != Status::Next) return Status::Error; \
        }                                                                                   \
    } while (0)

#if TARNEL_COMPUTED_GOTO
#define TARNEL_LABEL_ADDRESS(name, ...) &&label_##name,
    static const void* const dispatch_table[kOpcodeCount] = {TARNEL_INSTRUCTIONS(TARNEL_LABEL_ADDRESS)};
#undef TARNEL_LABEL_ADDRESS

#define TARNEL_NEXT()                                    \
    do {                                                 \
        TARNEL_FETCH();                                  \
        goto* dispatch_table[static_cast<size_t>(ins->op)]; \
    } while (0)

    TARNEL_NEXT();

#define TARNEL_LABEL_BODY(name, ...)                                     \
    label_##name : status = op_##name<Debug>(c, Operands<Opcode::name>{*ins});                   \
    if (__builtin_expect(status != Status::Next, 0)) return status;      \
    TARNEL_NEXT();
    TARNEL_INSTRUCTIONS(TARNEL_LABEL_BODY)
#undef TARNEL_LABEL_BODY
#undef TARNEL_NEXT
#else
    for (;;) {
        TARNEL_FETCH();
        switch (ins->op) {
#define TARNEL_CASE(name, ...)                 \
    case Opcode::name:                         \
        status = op_##name<Debug>(c, Operands<Opcode::name>{*ins}); \
        break;
            TARNEL_INSTRUCTIONS(TARNEL_CASE)
#undef TARNEL_CASE
        }
        if (status != Status::Next) return status;
    }
#endif
#undef TARNEL_FETCH
}

template <bool Debug>
Status step(ExecContext& c, const Instruction& ins) {
    switch (ins.op) {
#define TARNEL_CASE(name, ...) \
    case Opcode::name:         \
        return op_##name<Debug>(c, Operands<Opcode::name>{ins});
        TARNEL_INSTRUCTIONS(TARNEL_CASE)
#undef TARNEL_CASE
    }
    return Status::Next;
}

// Runs `execute` (the loop or one step) on a fresh context and turns its
// outcome into a result. Frames the work leaves on the stack are made full
// afterwards. A program that asks for more memory than the process can have
// ends with OutOfMemory instead of taking the host down.
template <class Execute>
Result<std::optional<Value>, RunError> guarded(VmState& state, Execute&& execute) {
    ExecContext context(state);
    FrameSettler settler(state);
    Status status;
    try {
        status = execute(context);
    } catch (const std::bad_alloc&) {
        return Failure{RunError{VmError::out_of_memory()}};
    } catch (const std::length_error&) {
        return Failure{RunError{VmError::out_of_memory()}};
    }
    if (status == Status::Error) return Failure{std::move(context.error)};
    return std::move(context.yielded);
}

}  // namespace

Result<std::optional<Value>, RunError> run(VmState& state) {
    if (!state.module) return Failure{RunError{VmError::module_not_loaded()}};
    const auto& functions = state.module->functions;
    if (auto main = functions.find(std::string_view("main")); main != functions.end()) state.pc = main->second;
    if (state.halted) return std::optional<Value>{};
    return guarded(state, [&](ExecContext& c) { return state.debug ? run_loop<true>(c) : run_loop<false>(c); });
}

StepResult execute_instruction(VmState& state, const Instruction& instruction) {
    return guarded(state, [&](ExecContext& c) {
        return state.debug ? step<true>(c, instruction) : step<false>(c, instruction);
    });
}

}  // namespace tarnel
