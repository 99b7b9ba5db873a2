#include "vm/state.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "vm/fast_code.hpp"
#include "vm/frame_analysis.hpp"
#include "vm/frame_copies.hpp"

namespace tarnel {

namespace {

// Instructions the write analyses of one load may visit in total; past that,
// calls save all of r0..r63. Ordinary programs visit each function body once.
constexpr uint64_t kAnalysisBudget = uint64_t{1} << 24;

// The call-site caches of a new instruction list, built aside.
struct CallSites {
    std::vector<CallSiteCache> caches;
    std::vector<uint32_t> index;

    explicit CallSites(const std::vector<Instruction>& code) : index(code.size()) {
        uint32_t count = 0;
        for (size_t pc = 0; pc < code.size(); ++pc) {
            if (code[pc].op == Opcode::CallR) index[pc] = count++;
        }
        caches.resize(count);
        for (size_t pc = 0; pc < code.size(); ++pc) {
            if (code[pc].op != Opcode::CallR) continue;
            CallSiteCache& site = caches[index[pc]];
            site.return_pc = static_cast<uint32_t>(pc + 1);
            if (!code[pc].lists) continue;
            const std::vector<uint8_t>& args = code[pc].args();
            site.passed = static_cast<uint8_t>(std::min(args.size(), kMaxArguments));
            std::copy_n(args.begin(), site.passed, site.args.begin());
        }
    }
};

}  // namespace

static_assert(std::is_nothrow_move_assignable_v<Module> && std::is_nothrow_move_constructible_v<Module>,
              "installing a module must not fail once it is built");

void VmState::reset_for_module(Module new_module) {
    // Everything that allocates comes first ...
    CallSites sites(new_module.instructions);
    // ... then nothing below can fail: moves, swaps and releases only.
    instructions = std::move(new_module.instructions);
    constants = std::move(new_module.constants);
    new_module.instructions = {};
    new_module.constants = {};
    module = std::move(new_module);
    caches.call_sites.swap(sites.caches);
    caches.call_site_index.swap(sites.index);
    pc = 0;
    halted = false;
    declared_saved_tags = false;
    declared_any_tag = false;
    last_jump.reset();
    scope_stack.clear();
    call_stack.clear();
    settled_frames = 0;
    globals.clear();
    for (Value& r : registers) r = Value();
    register_types.fill(ValueType::Empty);
    caches.fast_code.clear();
    caches.machine_code.reset();
    caches.machine_code_tried = false;
    caches.interpreted_instructions = 0;  // the new load tiers up on its own work
    caches.entry_writes.clear();
    caches.analysis_marks = {};
    caches.analysis_epoch = 0;
    caches.analysis_budget = kAnalysisBudget;
}

uint64_t VmState::callee_writes(uint64_t entry) {
    if (auto found = caches.entry_writes.find(entry); found != caches.entry_writes.end()) return found->second;
    uint64_t writes =
        reachable_writes(instructions, entry, caches.analysis_marks, caches.analysis_epoch, caches.analysis_budget);
    caches.entry_writes.emplace(entry, writes);
    return writes;
}

void VmState::declare_tag(uint8_t r, ValueType type) {
    register_types[r] = type;
    if (r < kSavedRegisters && !declared_saved_tags) {
        // From now on a frame restores tags from values, which only a full
        // frame does: the partial frames on the stack become full, and no
        // call site pushes partial ones any more.
        declared_saved_tags = true;
        fill_partial_frames();
        for (CallSiteCache& site : caches.call_sites) site.quick = false;
    }
    if (!declared_any_tag) {
        declared_any_tag = true;
        store_declared_tags(caches.fast_code);  // the run loop may be running it: same places, new kinds
    }
}

bool VmState::push_frame(uint64_t return_pc, uint8_t return_register, uint64_t writes) {
    if (!call_stack.make_room()) return false;
    if (declared_saved_tags || testing.always_save_all_registers || writes == CallFrame::kFull) {
        // A declared tag differs from its value's tag, and only a full frame
        // (restoring every tag from its value) puts it right again.
        CallFrame& frame = call_stack.emplace_back();
        Value::copy_block<kSavedRegisters>(frame.saved_registers.data(), registers.data());
        std::copy_n(register_types.begin(), kSavedRegisters, frame.saved_types.begin());
        frame.saved = CallFrame::kFull;
        frame.groups = 0xFF;
        frame.live = true;
        frame.return_pc = return_pc;
        frame.return_register = return_register;
        return true;
    }
    frames::push_partial(*this, return_pc, return_register, writes, groups_of(writes));
    return true;
}

std::pair<uint64_t, std::optional<uint8_t>> VmState::pop_frame() {
    CallFrame& frame = call_stack.back();
    if (frame.is_full()) {
        Value::replace_block<kSavedRegisters>(registers.data(), frame.saved_registers.data());
        if (declared_saved_tags) {
            // A declared tag may have been saved: the restored tags are the values' own.
            for (size_t r = 0; r < kSavedRegisters; ++r) register_types[r] = registers[r].type();
        } else {
            std::copy_n(frame.saved_types.begin(), kSavedRegisters, register_types.begin());
        }
        frame.live = false;
    } else if (frame.live) {
        frames::restore_partial(*this, frame);
        frame.live = false;
    }
    std::pair<uint64_t, std::optional<uint8_t>> target{frame.return_pc, frame.return_register};
    call_stack.pop_back();
    settled_frames = std::min(settled_frames, call_stack.size());
    return target;
}

// While a partial frame is on the stack, only its callee has run, and the
// callee writes nothing outside the frame's set (its own calls undo their
// own writes when they return, and write their arguments and dst, which the
// set includes). So the registers at the push of the innermost frame are its
// saved ones on its set and the current ones elsewhere; and the registers at
// the push of any frame below are its saved ones on its set and, elsewhere,
// the ones at the push of the frame above it, which is full by then (it was
// full already, or has just been filled).
void VmState::fill_partial_frames() noexcept {
    const Value* outside = registers.data();
    for (size_t i = call_stack.size(); i-- > settled_frames;) {
        CallFrame& frame = call_stack[i];
        if (!frame.live) break;  // holds nothing to rebuild the frames below from
        if (!frame.is_full()) {
            for (size_t r = 0; r < kSavedRegisters; ++r) {
                if (!((frame.groups >> (r / 8)) & 1)) std::construct_at(&frame.saved_registers[r], outside[r]);
                frame.saved_types[r] = frame.saved_registers[r].type();
            }
            frame.saved = CallFrame::kFull;
            frame.groups = 0xFF;
        }
        outside = frame.saved_registers.data();
    }
    settled_frames = call_stack.size();
}

}  // namespace tarnel
