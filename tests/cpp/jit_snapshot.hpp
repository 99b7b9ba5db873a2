// Runs of one module with the machine-code tier switched as asked, and
// everything they leave behind, for the tests that compare the tier with
// the interpreter.
#pragma once

#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "value_builders.hpp"
#include "vm/engine.hpp"
#include "vm/jit_run.hpp"
#include "vm_fixture.hpp"

namespace tarnel::testing {

struct Snapshot {
    std::vector<std::string> outcomes;  // one per run
    uint64_t count = 0;
    uint64_t pc = 0;
    bool halted = false;
    size_t depth = 0;
    std::optional<uint16_t> last_jump;
    std::vector<std::string> registers;  // all 256, value and tag
    std::vector<std::string> frames;     // each frame: where it returns, what it saves and holds
    size_t settled_frames = 0;
    bool operator==(const Snapshot&) const = default;

    // Everything but the outcomes: what the runs left in the VM.
    void take_state(const VmState& vm) {
        count = vm.instruction_count;
        pc = vm.pc;
        halted = vm.halted;
        depth = vm.call_stack.size();
        last_jump = vm.last_jump;
        for (size_t r = 0; r < kRegisterCount; ++r)
            registers.push_back(testing_values::describe(vm.registers[r]) + "/" +
                                std::string(debug_name(vm.register_types[r])));
        for (const CallFrame& frame : vm.call_stack) frames.push_back(describe_frame(frame));
        settled_frames = vm.settled_frames;
    }

    static std::string describe_frame(const CallFrame& frame) {
        std::string out = "to " + std::to_string(frame.return_pc) + " result " +
                          (frame.return_register ? std::to_string(*frame.return_register) : "none") + " saves " +
                          std::to_string(frame.saved) + " groups " + std::to_string(frame.groups) +
                          (frame.live ? " live" : " given back");
        if (!frame.live) return out;
        for (unsigned r = 0; r < kSavedRegisters; ++r) {
            if ((frame.groups >> (r / 8) & 1) == 0) continue;
            out += " r" + std::to_string(r) + "=" + testing_values::describe(frame.saved_registers[r]) + "/" +
                   std::string(debug_name(frame.saved_types[r]));
        }
        return out;
    }
};

inline std::string show(const Outcome& outcome) {
    return !outcome.ok     ? "error: " + outcome.message
           : outcome.value ? testing_values::describe(*outcome.value)
                           : "none";
}

using Preset = std::vector<std::pair<uint8_t, Value>>;

// Runs `module` `runs` times in one VM with TARNEL_JIT set to `mode`.
// `compiled` (when given) says whether the runs had machine code; `hot`,
// when not 0, is the default tiering's threshold; `save_all` makes every
// frame full (TestSwitches::always_save_all_registers); `sse2_only` keeps
// the machine code to SSE2 (TestSwitches::sse2_only).
inline Snapshot play(const Module& module, const char* mode, const Preset& preset, int runs = 2,
                     bool* compiled = nullptr, uint64_t hot = 0, bool save_all = false, bool sse2_only = false) {
    JitSwitch jit(mode);
    VmState vm;
    vm.testing.hot_threshold = hot;
    vm.testing.always_save_all_registers = save_all;
    vm.testing.sse2_only = sse2_only;
    vm.reset_for_module(module);
    for (const auto& [r, v] : preset) vm.write_register(r, v);
    vm.instruction_count = 100;  // counts carry over from earlier runs
    Snapshot snap;
    for (int i = 0; i < runs; ++i) snap.outcomes.push_back(show(run_state(vm)));
    if (compiled) *compiled = vm.caches.machine_code != nullptr;
    snap.take_state(vm);
    return snap;
}

inline std::string difference(const Snapshot& a, const Snapshot& b) {
    std::string out;
    for (size_t i = 0; i < a.outcomes.size() && i < b.outcomes.size(); ++i)
        if (a.outcomes[i] != b.outcomes[i])
            out += " run " + std::to_string(i) + ": " + a.outcomes[i] + " vs " + b.outcomes[i];
    if (a.count != b.count) out += " count " + std::to_string(a.count) + " vs " + std::to_string(b.count);
    if (a.pc != b.pc) out += " pc " + std::to_string(a.pc) + " vs " + std::to_string(b.pc);
    if (a.last_jump != b.last_jump) out += " last jump differs";
    if (a.halted != b.halted || a.depth != b.depth) out += " halted/depth differ";
    if (a.settled_frames != b.settled_frames) out += " settled depths differ";
    for (size_t f = 0; f < a.frames.size() && f < b.frames.size(); ++f)
        if (a.frames[f] != b.frames[f])
            out += " frame " + std::to_string(f) + ": " + a.frames[f] + " vs " + b.frames[f];
    for (size_t r = 0; r < a.registers.size() && r < b.registers.size(); ++r)
        if (a.registers[r] != b.registers[r])
            out += " r" + std::to_string(r) + " " + a.registers[r] + " vs " + b.registers[r];
    return out;
}

inline void expect_same_as_interpreter(const Module& module, const Preset& preset, const std::string& label) {
    bool compiled = false;
    Snapshot machine = play(module, "always", preset, 2, &compiled);
    Snapshot interpreter = play(module, "0", preset);
    EXPECT_EQ(compiled, jit::tier_built()) << label;
    EXPECT_TRUE(machine == interpreter) << label << ":" << difference(machine, interpreter);
}

// A module run with an instruction budget (and a memory budget, when
// given), as the limit tests play it.
struct LimitCase {
    std::string name;
    Module module;
    std::vector<uint64_t> budgets;
    std::optional<uint64_t> max_memory;
};
inline void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

inline std::string show_limited(const Result<std::optional<Value>, RunError>& result) {
    if (result) return result.value() ? testing_values::describe(*result.value()) : "none";
    if (const auto* reached = std::get_if<LimitReached>(&result.error()))
        return "limit " + std::to_string(static_cast<int>(reached->kind));
    if (const auto* error = std::get_if<VmError>(&result.error())) return "error: " + error->message();
    return "fault";
}

// One limited run, then an ordinary run of 50 instructions more, which
// carries on from where the first stopped.
inline Snapshot play_limited(const LimitCase& c, const char* mode, uint64_t budget, uint64_t hot = 0) {
    JitSwitch jit(mode);
    VmState vm;
    vm.testing.hot_threshold = hot;
    vm.reset_for_module(c.module);
    Snapshot snap;
    for (uint64_t limit : {budget, uint64_t{50}}) {
        RunLimits limits;
        limits.max_instructions = limit;
        limits.max_memory = c.max_memory;
        snap.outcomes.push_back(show_limited(run_limited(vm, limits)));
    }
    snap.take_state(vm);
    return snap;
}

}  // namespace tarnel::testing
