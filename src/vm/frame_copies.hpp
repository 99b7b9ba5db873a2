// Copying registers into a call frame and back, a group of eight at a time.
//
// These are the inner steps of every call and return, inlined into the
// generic frame code (state.cpp) and into the quiet loop's own call path
// (fast_loop.cpp and jit_handlers.cpp, through quick_calls.hpp), so all of
// them build and take apart frames the same way.
#pragma once

#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "vm/state.hpp"

namespace tarnel::frames {

// Heap tags (String..Dict, 4..8) are exactly the tags with a bit above the
// low two set: a word of eight tags holds one iff it meets this mask.
inline constexpr uint64_t kHeapTagBytes = 0xFCFCFCFCFCFCFCFCull;

[[gnu::always_inline]] inline uint64_t tag_word(const ValueType* tags) {
    uint64_t word;
    std::memcpy(&word, tags, sizeof word);
    return word;
}

// Copies eight values' bytes, as eight 16-byte moves where the machine has
// them: for so few bytes the compiler sometimes picks a string move, which
// costs more than twice as many instructions.
[[gnu::always_inline]] inline void copy_eight(Value* to, const Value* from) {
#if defined(__SSE2__)
    static_assert(sizeof(Value) == 16);
    for (int i = 0; i < 8; ++i)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i)));
#else
    std::memcpy(static_cast<void*>(to), static_cast<const void*>(from), 8 * sizeof(Value));
#endif
}

// Copies r(first)..r(first + 7) into the frame with their tags, then takes a
// reference for each heap payload among them. The tags are read from the
// tag array, which equals the values' own tags on r0..r63 while no tag has
// been declared there since the load (the only time frames are partial).
[[gnu::always_inline]] inline void save_group(CallFrame& frame, const VmState& s, unsigned first) {
    Value* to = frame.saved_registers.data() + first;
    const Value* from = s.registers.data() + first;
    copy_eight(to, from);
    const uint64_t tags = tag_word(s.register_types.data() + first);
    std::memcpy(frame.saved_types.data() + first, &tags, sizeof tags);
    if (__builtin_expect((tags & kHeapTagBytes) != 0, 0)) {
        for (unsigned i = 0; i < 8; ++i)
            if (from[i].is_heap()) std::construct_at(to + i, from[i]);
    }
}

// Releases what r(first)..r(first + 7) hold now and moves the frame's copies
// back in, tags with them. The tag array decides what to release: it equals
// the values' tags on r0..r63 whenever a partial frame is on the stack (the
// first tag declared there makes every frame full: VmState::declare_tag).
[[gnu::cold, gnu::noinline]] inline void release_group(Value* group) noexcept {
    for (unsigned i = 0; i < 8; ++i)
        if (group[i].is_heap()) std::destroy_at(group + i);
}

[[gnu::always_inline]] inline void restore_group(VmState& s, const CallFrame& frame, unsigned first) {
    Value* to = s.registers.data() + first;
    if (__builtin_expect((tag_word(s.register_types.data() + first) & kHeapTagBytes) != 0, 0)) release_group(to);
    std::memcpy(static_cast<void*>(to), static_cast<const void*>(frame.saved_registers.data() + first),
                8 * sizeof(Value));
    std::memcpy(s.register_types.data() + first, frame.saved_types.data() + first, 8);
}

// Pushes a partial frame holding `groups` (which must cover `saved`). The
// caller has checked that the stack has room and that no tag is declared.
[[gnu::always_inline]] inline void push_partial(VmState& s, uint64_t return_pc, uint8_t return_register, uint64_t saved,
                                                uint8_t groups) {
    CallFrame& frame = s.call_stack.emplace_back(return_pc, return_register, saved, groups);
    if (groups == 1) {  // r0..r7 only, the usual case for small functions: fixed offsets
        save_group(frame, s, 0);
    } else {
        for (unsigned held = groups; held != 0; held &= held - 1)
            save_group(frame, s, 8 * static_cast<unsigned>(__builtin_ctz(held)));
    }
}

// Moves the registers the innermost frame, which is partial, holds back
// into the register file; the frame no longer owns them, and the caller
// takes it off the stack without destroying them again.
[[gnu::always_inline]] inline void restore_partial(VmState& s, CallFrame& frame) {
    if (frame.groups == 1) {
        restore_group(s, frame, 0);
    } else {
        for (unsigned held = frame.groups; held != 0; held &= held - 1)
            restore_group(s, frame, 8 * static_cast<unsigned>(__builtin_ctz(held)));
    }
}

// Stores `value` in register r with its tag, releasing what r held: a
// register write without the temporaries of VmState::write_register.
[[gnu::always_inline]] inline void place(VmState& s, uint8_t r, Value&& value) {
    Value& slot = s.registers[r];
    if (slot.is_heap()) std::destroy_at(&slot);
    s.register_types[r] = value.type();
    std::construct_at(&slot, std::move(value));
}

// Writes a copy of register `from` to register `to`, with its tag: the
// argument passing of a call. Two scalars (the usual case) are one copy of
// sixteen bytes, which is right even when `to` is `from`.
[[gnu::always_inline]] inline void copy_register(VmState& s, uint8_t to, uint8_t from) {
    const Value& source = s.registers[from];
    Value& target = s.registers[to];
    const auto either = static_cast<uint8_t>(static_cast<uint8_t>(source.type()) | static_cast<uint8_t>(target.type()));
    if (__builtin_expect((either & 0xFC) == 0, 1)) {
        std::memcpy(static_cast<void*>(&target), static_cast<const void*>(&source), sizeof(Value));
        s.register_types[to] = source.type();
        return;
    }
    place(s, to, Value(source));
}

}  // namespace tarnel::frames
