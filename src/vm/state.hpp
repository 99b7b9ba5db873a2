// Everything the machine remembers between and during runs, in three parts:
// VmState is the machine a program can observe; LoadCaches is what a load
// derives from the program to make runs cheaper; TestSwitches are for tests
// only. CallFrame is one call in progress.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "loader/module.hpp"
#include "values/free_backlog.hpp"
#include "values/value.hpp"
#include "vm/call_stack.hpp"
#include "vm/fast_code.hpp"
#include "vm/last_jump.hpp"

namespace tarnel {

namespace jit {
class MachineCode;  // vm/jit_code.hpp
}

inline constexpr size_t kRegisterCount = 256;
inline constexpr size_t kMaxArguments = 16;  // arguments land in r0..r15

// One CallR instruction: its arguments, copied at the load, and what it
// resolved its callee to last time. The function table cannot change during
// a run, so a site whose callee names the same function again skips the
// table lookup, and when the callee is the very same string object (a
// constant, shared) the quiet loop calls without looking anything up.
struct CallSiteCache {
    Value callee;  // the String last called through this site (kept alive, so its payload can be compared by address)
    uint64_t entry = 0;
    uint64_t writes = 0;  // VmState::callee_writes(entry)
    uint64_t saved = 0;   // writes plus the argument registers: what the call's frame saves
    uint8_t groups = 0;   // groups_of(saved)
    // The quiet loop may call through this cache: entry inside the list, a
    // partial frame, no tag declared on r0..r63 (VmState::declare_tag).
    bool quick = false;
    uint8_t passed = 0;                         // arguments passed: at most kMaxArguments
    std::array<uint8_t, kMaxArguments> args{};  // the first `passed` argument registers
    // The index after the CallR, where its frame returns to. A file holds at
    // most 2^32 - 1 instructions, so it fits in 32 bits, which keep the
    // cache within the padding after `args`: one cache per CallR is part of
    // what a load costs per file byte.
    uint32_t return_pc = 0;
};

// What each load builds from the loaded program to make runs cheaper, and
// throws away at the next load. Programs cannot observe any of it: dropping
// every cache would change only the speed.
struct LoadCaches {
    // One cache per CallR instruction, in program order, and for every
    // instruction the index of its cache (meaningful at CallR sites only):
    // four bytes per instruction instead of a whole cache.
    std::vector<CallSiteCache> call_sites;
    std::vector<uint32_t> call_site_index;

    CallSiteCache& call_site(size_t pc) { return call_sites[call_site_index[pc]]; }

    // Which of r0..r63 the code reachable from each called entry point can
    // write (frame_analysis.hpp), computed on the first call of that entry
    // point after a load. The instruction list cannot change after the load.
    std::unordered_map<uint64_t, uint64_t> entry_writes;
    std::vector<uint32_t> analysis_marks;
    uint32_t analysis_epoch = 0;
    uint64_t analysis_budget = 0;  // instructions the analyses of this load may still visit

    // The engine's own form of the instructions (fast_code.hpp), built by
    // the first quiet run after a load.
    std::vector<Instruction> fast_code;

    // The machine code of the instructions (vm/jit_code.hpp), compiled by
    // the first run that asks for it after a load; null when none has or
    // compiling failed (`machine_code_tried` then says so).
    std::shared_ptr<jit::MachineCode> machine_code;
    bool machine_code_tried = false;
    // Instructions the interpreter ran in quiet runs since the load: the
    // default tiering compiles once this passes its threshold.
    uint64_t interpreted_instructions = 0;
};

// Switches only tests turn on, to reach paths ordinary programs take rarely.
struct TestSwitches {
    // Every call saves all of r0..r63, as if every callee could write every
    // one of them. Set before the load: call sites read it when they fill.
    bool always_save_all_registers = false;
    // Quiet runs use the plain loop over the loaded instructions instead of
    // the fast form, for comparing the two.
    bool plain_run_loop = false;
    // Nonzero: the default tiering's threshold (jit_run.hpp) instead of
    // the ordinary one, so that tests can tier up at any point of a run.
    uint64_t hot_threshold = 0;
    // Machine code made from now on uses no instruction beyond SSE2, as on
    // a processor that has nothing newer, so that tests run those forms.
    bool sse2_only = false;
};

// The machine: everything a program can observe, which survives from run to
// run (registers and tags, globals, frames, scopes, pc, last jump, halted,
// the instruction count) until the next load resets it; the instruction
// count and the debug switch survive loads too.
struct VmState {
    CallStack call_stack;
    std::vector<uint16_t> scope_stack;
    TextMap<Value> globals;
    uint64_t pc = 0;
    LastJump last_jump;
    bool halted = false;
    // The loaded module's instructions and constants, moved out of it at the
    // load (the module keeps its name, header fields and function table):
    // one copy of each, so a load costs no more memory than the decode.
    // A constant holds the value LoadConstR puts into a register.
    std::vector<Instruction> instructions;
    std::vector<Constant> constants;
    std::optional<Module> module;
    std::array<Value, kRegisterCount> registers;
    std::array<ValueType, kRegisterCount> register_types{};
    uint64_t instruction_count = 0;
    bool debug = false;

    // Facts about the fields above, kept up to date so calls stay cheap.
    // They sit around `caches` in the order they had before the caches got
    // their own type, so the record's layout stays as it was measured.
    //
    // Set once DefineR has declared a tag on one of r0..r63 since the load.
    // Until then every tag there equals its value's tag, so a call can save
    // and restore the 64 tags as one block instead of recomputing them.
    bool declared_saved_tags = false;
    LoadCaches caches;
    // The frames below this depth are full: the quick call pushes partial
    // frames on top only, and settle_frames fills those above it.
    size_t settled_frames = 0;
    // Set once DefineR has run since the load, on any register. Until then
    // every register's declared tag is its value's tag, which the fast
    // form's in-place kinds rely on (fast_code.hpp).
    bool declared_any_tag = false;

    TestSwitches testing;

    // Frees that a stopped run left unfinished (values/free_backlog.hpp):
    // unreachable payloads, freed at the start of the next run or with the VM.
    FreeBacklog unfinished_frees;

    // Stores `value` in register r and records its tag.
    void write_register(uint8_t r, Value value) {
        register_types[r] = value.type();
        registers[r] = std::move(value);
    }

    // Installs a freshly decoded module: its instructions and constants
    // become the working lists, every register and tag Empty, globals,
    // frames and scopes gone, pc 0, not halted. The instruction count and
    // debug flag stay. Everything new is built before anything is switched,
    // so when memory runs out (std::bad_alloc) the state is exactly as it
    // was, old module included.
    void reset_for_module(Module new_module);

    // The registers among r0..r63 that the function at `entry` can write
    // before it returns, computed once per entry point and load.
    uint64_t callee_writes(uint64_t entry);

    // DefineR: sets register r's declared tag, and keeps the facts about
    // declared tags that calls and the fast form rely on.
    void declare_tag(uint8_t r, ValueType type);

    // Pushes a frame saving the registers of `writes` (all of r0..r63 when a
    // tag has been declared on one of them since the load), or returns false
    // when the call stack is full.
    bool push_frame(uint64_t return_pc, uint8_t return_register, uint64_t writes);
    // Pops the innermost frame, restoring the registers it saved, with the
    // tags of the restored values. Returns the frame's return pc and register.
    std::pair<uint64_t, std::optional<uint8_t>> pop_frame();

    // Turns every frame that saves only part of r0..r63 into a full frame
    // holding the registers as they were when it was pushed. Called when a
    // run or a single step ends, so that whatever runs next may return into
    // those frames.
    void settle_frames() noexcept {
        if (call_stack.size() > settled_frames) fill_partial_frames();
    }
    void fill_partial_frames() noexcept;
};

// Settles the frames of `state` when it goes out of scope, however the run
// or step that declared it ends.
struct FrameSettler {
    VmState& state;
    explicit FrameSettler(VmState& s) : state(s) {}
    FrameSettler(const FrameSettler&) = delete;
    FrameSettler& operator=(const FrameSettler&) = delete;
    ~FrameSettler() { state.settle_frames(); }
};

}  // namespace tarnel
