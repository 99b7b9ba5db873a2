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
#include "vm/fast_code.hpp"
#include "vm/last_jump.hpp"

namespace tarnel {

namespace jit {
class MachineCode;  // vm/jit_code.hpp
}

inline constexpr size_t kRegisterCount = 256;
inline constexpr size_t kSavedRegisters = 64;  // r0..r63 are saved by every call
inline constexpr size_t kMaxArguments = 16;    // arguments land in r0..r15
inline constexpr size_t kMaxCallDepth = 1000;

// One call in progress: the caller's registers among r0..r63 that the call
// can change, where to continue and which register receives the returned
// value.
//
// A frame saves only the registers in `saved` (the callee's possible writes
// and the call's argument registers): the others are not touched until the
// callee returns, so they still hold the caller's values then. It copies
// them in whole groups of eight (r0..r7, r8..r15, ...): `groups` has bit g
// set when the frame holds r(8g)..r(8g + 7), which is every group with a
// register of `saved`. A group is saved and restored as one block of values
// and one word of tags, and the registers of a group outside `saved` come
// back unchanged, since the callee never wrote them. A frame with every bit
// of `saved` set is full: it holds all of r0..r63. Between runs every frame
// on the stack is full (VmState::settle_frames), so a later run that returns
// into a frame left behind restores exactly what the caller had.
//
// The saved registers live in a union and are constructed and destroyed by
// hand: `live` says whether the frame still owns the ones of its groups (a
// popped frame has given them back already).
struct CallFrame {
    union {
        std::array<Value, kSavedRegisters> saved_registers;
    };
    std::array<ValueType, kSavedRegisters> saved_types;  // tags of the saved values, restored as blocks
    uint64_t saved = 0;                                  // which of r0..r63 the frame must give back
    uint64_t return_pc = 0;
    std::optional<uint8_t> return_register;
    uint8_t groups = 0;  // which groups of eight registers the frame holds
    bool live = false;

    static constexpr uint64_t kFull = ~uint64_t{0};

    bool is_full() const { return saved == kFull; }

    CallFrame() {}
    // A frame that owns the groups `held` once the caller has filled them.
    CallFrame(uint64_t return_to, uint8_t result_register, uint64_t saved_set, uint8_t held) noexcept
        : saved(saved_set), return_pc(return_to), return_register(result_register), groups(held), live(true) {}
    CallFrame(CallFrame&& other) noexcept
        : saved_types(other.saved_types),
          saved(other.saved),
          return_pc(other.return_pc),
          return_register(other.return_register),
          groups(other.groups),
          live(other.live) {
        if (live) Value::relocate_block<kSavedRegisters>(saved_registers.data(), other.saved_registers.data());
        other.live = false;
    }
    CallFrame& operator=(CallFrame&&) = delete;
    CallFrame(const CallFrame&) = delete;
    ~CallFrame() {
        if (!live) return;
        for (unsigned held = groups; held != 0; held &= held - 1) {
            Value* group = saved_registers.data() + 8 * static_cast<unsigned>(__builtin_ctz(held));
            std::destroy(group, group + 8);
        }
    }
};

// The groups of eight registers among r0..r63 that have a register in
// `mask`: bit g for r(8g)..r(8g + 7).
constexpr uint8_t groups_of(uint64_t mask) {
    uint8_t groups = 0;
    for (unsigned g = 0; g < 8; ++g)
        if ((mask >> (8 * g)) & 0xFF) groups |= static_cast<uint8_t>(1u << g);
    return groups;
}

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
    bool quick = false;   // the quiet loop may call through this cache: entry inside the list, frame partial
    uint8_t passed = 0;   // arguments passed: at most kMaxArguments
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
    // one of them.
    bool always_save_all_registers = false;
    // Quiet runs use the plain loop over the loaded instructions instead of
    // the fast form, for comparing the two.
    bool plain_run_loop = false;
    // Nonzero: the default tiering's threshold (jit_run.hpp) instead of
    // the ordinary one, so that tests can tier up at any point of a run.
    uint64_t hot_threshold = 0;
};

// The machine: everything a program can observe, which survives from run to
// run (registers and tags, globals, frames, scopes, pc, last jump, halted,
// the instruction count) until the next load resets it; the instruction
// count and the debug switch survive loads too.
struct VmState {
    std::vector<CallFrame> call_stack;
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
    size_t partial_frames = 0;  // frames on the stack that are not full
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
    // The call stack's vector grows only in push_frame, and never past
    // kMaxCallDepth frames. So a frame fits without a reallocation exactly
    // when the stack may take one more: the quick calls (quick_calls.hpp,
    // and the machine code's) test this one pointer comparison.
    bool has_room_for_a_frame() const { return call_stack.size() != call_stack.capacity(); }
    // Pops the innermost frame, restoring the registers it saved, with the
    // tags of the restored values. Returns the frame's return pc and register.
    std::pair<uint64_t, std::optional<uint8_t>> pop_frame();

    // Turns every frame that saves only part of r0..r63 into a full frame
    // holding the registers as they were when it was pushed. Called when a
    // run or a single step ends, so that whatever runs next may return into
    // those frames.
    void settle_frames() noexcept {
        if (partial_frames != 0) fill_partial_frames();
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
