#include "vm/state.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "vm/frame_analysis.hpp"

namespace tarnel {

namespace {

// Instructions the write analyses of one load may visit in total; past that,
// calls save all of r0..r63. Ordinary programs visit each function body once.
constexpr uint64_t kAnalysisBudget = uint64_t{1} << 24;

// Calls `visit(first, bits)` for each group of eight registers r(first)..
// r(first + 7) that has a register in `mask`; `bits` are the group's bits.
template <typename F>
[[gnu::always_inline]] inline void for_each_group(uint64_t mask, F&& visit) {
    while (mask != 0) {
        const unsigned first = static_cast<unsigned>(__builtin_ctzll(mask)) & ~7u;
        visit(first, static_cast<unsigned>((mask >> first) & 0xFF));
        mask &= ~(uint64_t{0xFF} << first);
    }
}

// Which of eight tags (one byte each, r(first) in the low byte) are heap
// tags (String..Dict, 4..8: a bit above the low two set), one bit each.
[[gnu::always_inline]] inline unsigned heap_tag_bits(uint64_t tags) {
    constexpr uint64_t kBytes = 0x0101010101010101ull;
    uint64_t high = (tags >> 2) & (0x3F * kBytes);            // per byte: nonzero exactly for a heap tag
    uint64_t flags = ((high + 0x3F * kBytes) >> 6) & kBytes;  // per byte: 1 for a heap tag (no carry: at most 126)
    return static_cast<unsigned>((flags * 0x0102040810204080ull) >> 56);  // gathers bit 0 of byte i into bit i
}

// The tags of the eight values at `group`, one byte each, r(first) in the low
// byte. Read from the values themselves, so the reference counting below
// never depends on the tag array.
[[gnu::always_inline]] inline uint64_t value_tags(const Value* group) {
    uint64_t tags = 0;
    for (unsigned i = 0; i < 8; ++i) tags |= static_cast<uint64_t>(group[i].type()) << (8 * i);
    return tags;
}

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
    last_jump.reset();
    scope_stack.clear();
    call_stack.clear();
    partial_frames = 0;
    globals.clear();
    for (Value& r : registers) r = Value();
    register_types.fill(ValueType::Empty);
    caches.fast_code.clear();
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

bool VmState::push_frame(uint64_t return_pc, uint8_t return_register, uint64_t writes) {
    if (call_stack.size() >= kMaxCallDepth) return false;
    CallFrame& frame = call_stack.emplace_back();
    if (declared_saved_tags || testing.always_save_all_registers || writes == CallFrame::kFull) {
        // A declared tag differs from its value's tag, and only a full frame
        // (restoring every tag from its value) puts it right again.
        Value::copy_block<kSavedRegisters>(frame.saved_registers.data(), registers.data());
        std::copy_n(register_types.begin(), kSavedRegisters, frame.saved_types.begin());
        frame.saved = CallFrame::kFull;
    } else {
        // Each group of eight holding a register to save is copied as one
        // block, with the values' tags (no tag is declared, so they are the
        // register tags too); the saved heap values among them then take a
        // reference. The other slots of the group only hold stray bytes.
        Value* saved = frame.saved_registers.data();
        const Value* from = registers.data();
        for_each_group(writes, [&](unsigned first, unsigned bits) {
            std::memcpy(static_cast<void*>(saved + first), static_cast<const void*>(from + first), 8 * sizeof(Value));
            const uint64_t tags = value_tags(from + first);
            std::memcpy(frame.saved_types.data() + first, &tags, sizeof tags);
            for (unsigned heap = heap_tag_bits(tags) & bits; heap != 0; heap &= heap - 1) {
                unsigned r = first + static_cast<unsigned>(__builtin_ctz(heap));
                std::construct_at(saved + r, from[r]);
            }
        });
        frame.saved = writes;
        ++partial_frames;
    }
    frame.live = true;
    frame.return_pc = return_pc;
    frame.return_register = return_register;
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
    } else if (frame.live) {
        if (partial_frames != 0) --partial_frames;
        // Release what the callee left in the saved registers, then copy
        // them back with their tags, a whole group of eight at once when it
        // was saved whole.
        Value* to = registers.data();
        const Value* saved = frame.saved_registers.data();
        for_each_group(frame.saved, [&](unsigned first, unsigned bits) {
            for (unsigned heap = heap_tag_bits(value_tags(to + first)) & bits; heap != 0; heap &= heap - 1)
                std::destroy_at(to + first + static_cast<unsigned>(__builtin_ctz(heap)));
            if (bits == 0xFF) {
                std::memcpy(static_cast<void*>(to + first), static_cast<const void*>(saved + first), 8 * sizeof(Value));
                std::memcpy(register_types.data() + first, frame.saved_types.data() + first, 8);
                return;
            }
            for (unsigned i = first; i < first + 8; ++i) {
                if (!((bits >> (i - first)) & 1)) continue;
                std::memcpy(static_cast<void*>(to + i), static_cast<const void*>(saved + i), sizeof(Value));
                register_types[i] = frame.saved_types[i];
            }
        });
    }
    frame.live = false;
    std::pair<uint64_t, std::optional<uint8_t>> target{frame.return_pc, frame.return_register};
    call_stack.pop_back();
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
    for (size_t i = call_stack.size(); i-- > 0 && partial_frames != 0;) {
        CallFrame& frame = call_stack[i];
        if (!frame.live) break;  // holds nothing to rebuild the frames below from
        if (!frame.is_full()) {
            for (size_t r = 0; r < kSavedRegisters; ++r) {
                if (!((frame.saved >> r) & 1)) std::construct_at(&frame.saved_registers[r], outside[r]);
                frame.saved_types[r] = frame.saved_registers[r].type();
            }
            frame.saved = CallFrame::kFull;
            --partial_frames;
        }
        outside = frame.saved_registers.data();
    }
    partial_frames = 0;
}

}  // namespace tarnel
