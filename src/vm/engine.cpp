// The run loop: fetch, count, trace (debug runs only), dispatch.
//
// The loop is instantiated twice, for debug and quiet runs, so a quiet run
// carries no trace test at all. Dispatch goes through a table of label
// addresses (GCC/Clang computed goto) built from the instruction list, with a
// switch as the portable fallback; either way each handler is inlined into
// the loop.
#include "vm/engine.hpp"

#include <new>

#include "values/memory_meter.hpp"
#include "vm/exec_context.hpp"
#include "vm/fast_loop.hpp"
#include "vm/handlers_calls.hpp"
#include "vm/handlers_core.hpp"
#include "vm/handlers_data.hpp"
#include "vm/jit_run.hpp"
#include "vm/trace.hpp"

namespace tarnel {
namespace {

using namespace handlers;

// How a run is watched. Ordinary runs (Plain) compile to the loop without
// any of it. Runs with limits (run_limited) ask the poller whether to go
// on: Polled after a control transfer (jump, call, return) once the
// instruction count reaches `watch` (the quiet loop of fast_loop.cpp does
// the same; this one serves debug-free runs without computed goto and the
// tests that ask for the plain loop); Counted counts `watch` down at every
// instruction, for the stretch of a run that ends within an instruction
// budget and for debug runs.
enum class Watch { Plain, Polled, Counted };

constexpr bool transfers_control(Opcode op) {
    return op == Opcode::JumpR || op == Opcode::JumpIfR || op == Opcode::JumpIfNotR || op == Opcode::CallR ||
           op == Opcode::ReturnR;
}

// A Polled loop that the poller hands over to counting ends with Status::Next
// and `poller->counting()` set.
template <bool Debug, Watch Mode>
Status run_loop(ExecContext& c, [[maybe_unused]] LimitPoller* poller, [[maybe_unused]] uint64_t watch) {
    VmState& s = c.s;
    const Instruction* const code = s.instructions.data();
    const uint64_t code_size = s.instructions.size();
    const Instruction* ins = nullptr;
    Status status = Status::Next;

// Fetch: stop past the end, (Counted: poll when the window is used up),
// take instruction pc, advance pc, count, trace.
#define TARNEL_FETCH()                                                                           \
    do {                                                                                         \
        if (s.pc >= code_size) return Status::Next;                                              \
        if (Mode == Watch::Counted && __builtin_expect(--watch == 0, 0)) {                       \
            watch = poller->poll(s.instruction_count);                                           \
            if (watch == 0) {                                                                    \
                c.error = LimitReached{*poller->stopped};                                        \
                return Status::Error;                                                            \
            }                                                                                    \
        }                                                                                        \
        ins = &code[s.pc];                                                                       \
        ++s.pc;                                                                                  \
        ++s.instruction_count;                                                                   \
        if (Debug) {                                                                             \
            if (c.emit(trace::fetch_line(s.pc - 1, *ins)) != Status::Next) return Status::Error; \
        }                                                                                        \
    } while (0)

// After a control transfer (Polled): poll when the count has reached `watch`.
#define TARNEL_AFTER_TRANSFER(op)                                          \
    do {                                                                   \
        if constexpr (Mode == Watch::Polled && transfers_control(op)) {    \
            if (__builtin_expect(s.instruction_count >= watch, 0)) {       \
                watch = poller->next_poll(s.instruction_count, code_size); \
                if (watch == 0) {                                          \
                    if (poller->counting()) return Status::Next;           \
                    c.error = LimitReached{*poller->stopped};              \
                    return Status::Error;                                  \
                }                                                          \
            }                                                              \
        }                                                                  \
    } while (0)

#if TARNEL_COMPUTED_GOTO
#define TARNEL_LABEL_ADDRESS(name, ...) &&label_##name,
    static const void* const dispatch_table[kOpcodeCount] = {TARNEL_INSTRUCTIONS(TARNEL_LABEL_ADDRESS)};
#undef TARNEL_LABEL_ADDRESS

#define TARNEL_NEXT()                                       \
    do {                                                    \
        TARNEL_FETCH();                                     \
        goto* dispatch_table[static_cast<size_t>(ins->op)]; \
    } while (0)

    TARNEL_NEXT();

#define TARNEL_LABEL_BODY(name, ...)                                           \
    label_##name : status = op_##name<Debug>(c, Operands<Opcode::name>{*ins}); \
    if (__builtin_expect(status != Status::Next, 0)) return status;            \
    TARNEL_AFTER_TRANSFER(Opcode::name);                                       \
    TARNEL_NEXT();
    TARNEL_INSTRUCTIONS(TARNEL_LABEL_BODY)
#undef TARNEL_LABEL_BODY
#undef TARNEL_NEXT
#else
    for (;;) {
        TARNEL_FETCH();
        switch (ins->op) {
#define TARNEL_CASE(name, ...)                                      \
    case Opcode::name:                                              \
        status = op_##name<Debug>(c, Operands<Opcode::name>{*ins}); \
        if (status != Status::Next) return status;                  \
        TARNEL_AFTER_TRANSFER(Opcode::name);                        \
        break;
            TARNEL_INSTRUCTIONS(TARNEL_CASE)
#undef TARNEL_CASE
        }
    }
#endif
#undef TARNEL_AFTER_TRANSFER
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
    } catch (const MemoryLimitReached&) {
        return Failure{RunError{LimitReached{LimitKind::Memory}}};
    } catch (const RunStopped& stopped) {
        return Failure{RunError{LimitReached{stopped.kind}}};
    }
    if (status == Status::Error) return Failure{std::move(context.error)};
    return std::move(context.yielded);
}

// Steps 1 to 3 of a run: no module, the entry point, a halted machine.
// Returns true when the run goes on to the loop.
bool prepare_run(VmState& state, Result<std::optional<Value>, RunError>& early) {
    if (!state.module) {
        early = Failure{RunError{VmError::module_not_loaded()}};
        return false;
    }
    const auto& functions = state.module->functions;
    if (auto main = functions.find(std::string_view("main")); main != functions.end()) state.pc = main->second;
    if (state.halted) {
        early = std::optional<Value>{};
        return false;
    }
    return true;
}

// A run with nothing to poll for: the debug loop, or the quiet loop over
// the engine's fast form (the plain quiet loop when computed goto is
// unavailable or a test asks for it).
Status run_unwatched(VmState& state, ExecContext& c) {
    if (state.debug) return run_loop<true, Watch::Plain>(c, nullptr, 0);
#if TARNEL_COMPUTED_GOTO
    if (!state.testing.plain_run_loop) return run_fast(c);
#endif
    return run_loop<false, Watch::Plain>(c, nullptr, 0);
}

// A quiet run that polls at control transfers, until it ends or hands over
// to counting (`poller.counting()`).
Status run_polled(VmState& state, ExecContext& c, LimitPoller& poller, uint64_t first_poll) {
#if TARNEL_COMPUTED_GOTO
    if (!state.testing.plain_run_loop) return run_fast_watched(c, poller, first_poll);
#endif
    return run_loop<false, Watch::Polled>(c, &poller, first_poll);
}

// Adds what a quiet run interpreted to the tier's count when it ends,
// however it ends.
class InterpretedCount {
public:
    explicit InterpretedCount(VmState& state) : state_(state), start_(state.instruction_count) {}
    ~InterpretedCount() { jit::count_interpreted(state_, state_.instruction_count - start_); }
    InterpretedCount(const InterpretedCount&) = delete;
    InterpretedCount& operator=(const InterpretedCount&) = delete;

private:
    VmState& state_;
    uint64_t start_;
};

// A quiet run with limits, up to where it must count every instruction
// (Status::Next with `poller.counting()`): in machine code when the tier's
// `plan` (plan_quiet_run) says so. Under the default tiering a module that
// is not hot yet is interpreted until its warm-up is done; at the first
// poll after that the loop hands over, the list is compiled and the run
// goes on in machine code from there, with the same poller.
Status run_watched(VmState& state, ExecContext& c, LimitPoller& poller, jit::Plan plan) {
    const uint64_t size = state.instructions.size();
    if (!plan.code && plan.warm_up != 0)
        poller.hand_over_at(state.instruction_count + std::min(plan.warm_up, UINT64_MAX - state.instruction_count));
    uint64_t next_poll = poller.next_poll(state.instruction_count, size);
    if (next_poll != 0 && !plan.code) {
        {
            InterpretedCount counted(state);
            const Status status = run_polled(state, c, poller, next_poll);
            if (status != Status::Next || !poller.handed_over()) return status;
        }
        poller.resume();
        plan.code = jit::compiled(state);
        next_poll = poller.next_poll(state.instruction_count, size);
    }
    if (next_poll == 0) {
        if (poller.counting()) return Status::Next;
        c.error = LimitReached{*poller.stopped};
        return Status::Error;
    }
    return plan.code ? jit::run_with_machine_code(c, *plan.code, &poller) : run_polled(state, c, poller, next_poll);
}

// A quiet or debug run without limits, through the machine-code tier when
// its plan says so (jit_run.hpp). Under the default tiering a module that
// is not hot yet runs in the polled loop with a poller that asks for
// nothing but the hand-over once the warm-up is done (run_watched): the
// run stops between two instructions after a taken jump, call or return,
// the list is compiled and the run goes on in machine code from there.
Status run_quiet(VmState& state, ExecContext& c) {
    const jit::Plan plan = jit::plan_quiet_run(state);
    if (plan.code) return jit::run_with_machine_code(c, *plan.code);
    if (plan.warm_up == 0) return run_unwatched(state, c);
    const RunLimits none;  // a poller only for the hand-over to machine code
    LimitPoller poller(none, state.instruction_count);
    return run_watched(state, c, poller, plan);
}

}  // namespace

Result<std::optional<Value>, RunError> run(VmState& state) {
    Result<std::optional<Value>, RunError> early = std::optional<Value>{};
    if (!prepare_run(state, early)) return early;
    state.unfinished_frees.finish();  // nothing installed to stop it
    return guarded(state, [&](ExecContext& c) { return run_quiet(state, c); });
}

Result<std::optional<Value>, RunError> run_limited(VmState& state, const RunLimits& limits) {
    Result<std::optional<Value>, RunError> early = std::optional<Value>{};
    if (!prepare_run(state, early)) return early;
    LimitPoller poller(limits, state.instruction_count);
    ActiveCheckpoint active_checkpoint(&poller);
    // A free that the deadline or the host stops leaves the rest here.
    ActiveBacklog active_backlog(&state.unfinished_frees);
    if (!state.unfinished_frees.finish()) return Failure{RunError{LimitReached{*poller.stopped}}};
    std::optional<MemoryMeter> meter;
    if (limits.max_memory) meter.emplace(*limits.max_memory, held_memory(state));
    ActiveMeter active_meter(meter ? &*meter : nullptr);
    const bool watched = limits.max_instructions || limits.deadline || limits.host_poll;
    return guarded(state, [&](ExecContext& c) {
        // Nothing to poll for (at most a memory limit, which the meter
        // enforces by itself): the ordinary loop.
        if (!watched) return run_quiet(state, c);
        // Debug runs are slow anyway: they count every instruction.
        if (state.debug) return run_loop<true, Watch::Counted>(c, &poller, 1);
        const Status status = run_watched(state, c, poller, jit::plan_quiet_run(state));
        if (status != Status::Next || !poller.counting()) return status;
        return run_loop<false, Watch::Counted>(c, &poller, 1);  // the first fetch polls
    });
}

StepResult execute_instruction(VmState& state, const Instruction& instruction) {
    return guarded(
        state, [&](ExecContext& c) { return state.debug ? step<true>(c, instruction) : step<false>(c, instruction); });
}

}  // namespace tarnel
