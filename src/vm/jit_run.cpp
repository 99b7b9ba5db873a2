#include "vm/jit_run.hpp"

#include <cstdlib>
#include <cstring>
#include <exception>

#include "vm/jit_handlers.hpp"
#include "vm/jit_payoff.hpp"

namespace tarnel::jit {
namespace {

// The default tiering's threshold: a fixed part, so that short runs of
// small modules never compile, and a part per instruction, so that the
// compile time stays a bounded fraction of the work done before it.
constexpr uint64_t kHotBase = uint64_t{1} << 14;
constexpr uint64_t kHotPerInstruction = 64;

uint64_t threshold_of(const VmState& state) {
    const uint64_t chosen = state.testing.hot_threshold;
    return chosen != 0 ? chosen : hot_threshold(state.instructions.size());
}

bool is_hot(const VmState& state) { return state.caches.interpreted_instructions >= threshold_of(state); }

// Whether the default tiering keeps the module's machine code: not when
// its loops would run slower than in the interpreter (jit_payoff.hpp).
// TARNEL_JIT=always keeps every module's, and so does a test that set its
// own threshold to reach the hand-over.
bool keeps(const VmState& state, const MachineCode& machine_code) {
    if (mode_from_environment() == Mode::Always || state.testing.hot_threshold != 0) return true;
    std::vector<bool> native(state.instructions.size());
    for (size_t i = 0; i < native.size(); ++i) native[i] = has_native_code(machine_code, i);
    return pays_off(state.instructions, native);
}

}  // namespace

Mode mode_from(const char* value) {
    if (value == nullptr) return Mode::Default;
    if (std::strcmp(value, "0") == 0) return Mode::Off;
    if (std::strcmp(value, "always") == 0) return Mode::Always;
    return Mode::Default;
}

Mode mode_from_environment() { return mode_from(std::getenv("TARNEL_JIT")); }

uint64_t hot_threshold(uint64_t size) { return kHotBase + kHotPerInstruction * size; }

const MachineCode* compiled(VmState& state) {
    LoadCaches& caches = state.caches;
    if (!caches.machine_code_tried) {
        caches.machine_code_tried = true;
        SeenTypes seen;
        for (size_t r = 0; r < seen.size(); ++r) seen[r] = state.registers[r].type();
        caches.machine_code = compile(state.instructions, state.constants, &seen, &state);
        if (caches.machine_code && !keeps(state, *caches.machine_code)) caches.machine_code.reset();
    }
    return caches.machine_code.get();
}

// The tier's mode for a run of `state`: Off where the tier cannot apply
// (debug runs, tests of the plain loop, builds without it).
Mode mode_for_run(const VmState& state) {
    if (state.debug || state.testing.plain_run_loop || !tier_built()) return Mode::Off;
    return mode_from_environment();
}

Plan plan_quiet_run(VmState& state) {
    const Mode mode = mode_for_run(state);
    if (mode == Mode::Off) return {};
    if (mode == Mode::Always || is_hot(state)) return {compiled(state), 0};
    return {nullptr, threshold_of(state) - state.caches.interpreted_instructions};
}

void count_interpreted(VmState& state, uint64_t instructions) {
    uint64_t& total = state.caches.interpreted_instructions;
    total = instructions < UINT64_MAX - total ? total + instructions : UINT64_MAX;
}

Status run_with_machine_code(ExecContext& c, const MachineCode& machine_code, LimitPoller* poller) {
    VmState& s = c.s;
    const uint64_t size = s.instructions.size();
    HandlerContext handlers{c, Status::Next, nullptr};
    MachineFrame frame;
    frame.registers = s.registers.data();
    frame.tags = s.register_types.data();
    frame.handlers = &handlers;
    frame.state = &s;
    if (poller) frame.poll_at = poller->poll_count();
    while (s.pc < size) {
        frame.pc = s.pc;
        frame.count = s.instruction_count;
        frame.last_jump = -1;
        enter(machine_code, frame);
        s.instruction_count = frame.count;
        if (frame.last_jump >= 0) s.last_jump = static_cast<uint16_t>(frame.last_jump);
        // A handler that ended the run left pc in the state itself.
        if (handlers.exception) std::rethrow_exception(handlers.exception);
        if (frame.stopped) return handlers.status;
        s.pc = frame.pc;
        // Otherwise the code left before a taken jump's target, a call's
        // entry or a return's pc: the poll is due, or pc left the list.
        if (poller == nullptr || s.pc >= size || s.instruction_count < frame.poll_at) continue;
        frame.poll_at = poller->next_poll(s.instruction_count, size);
        if (frame.poll_at == 0) {
            if (poller->counting()) return Status::Next;
            c.error = LimitReached{*poller->stopped};
            return Status::Error;
        }
    }
    return Status::Next;
}

const char* feature_name() { return tier_built() ? "machine code (x86-64, hot code by default)" : nullptr; }

}  // namespace tarnel::jit
