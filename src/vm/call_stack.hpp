// The calls in progress: CallFrame is one of them, CallStack holds them,
// innermost last.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "values/value.hpp"

namespace tarnel {

inline constexpr size_t kSavedRegisters = 64;  // r0..r63 are saved by every call
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

// The frames of the calls in progress, innermost last, at most
// kMaxCallDepth of them: a vector of frames whose layout is this project's
// own, since the machine code reads and writes its three pointers at the
// offsets the *_offset functions give (jit_frame_layout.cpp).
//
// The storage grows only in make_room, doubling from 16 frames up to
// exactly kMaxCallDepth. So a frame fits without growing exactly when the
// depth limit allows one more (has_room): the quick calls, in the run loop
// and in machine code, test one pointer comparison for both.
//
// The storage always has one frame's bytes more than its capacity, never
// constructed as a frame: the machine code keeps the innermost function's
// r0..r7 there, where the frame of its next call will hold them
// (jit_x64.cpp), so at any depth up to the limit the place past the last
// frame exists.
class CallStack {
public:
    CallStack() = default;
    CallStack(const CallStack&) = delete;
    CallStack& operator=(const CallStack&) = delete;
    ~CallStack() {
        clear();
        release(begin_, capacity());
    }

    CallFrame* begin() { return begin_; }
    CallFrame* end() { return end_; }
    const CallFrame* begin() const { return begin_; }
    const CallFrame* end() const { return end_; }
    size_t size() const { return static_cast<size_t>(end_ - begin_); }
    size_t capacity() const { return static_cast<size_t>(capacity_end_ - begin_); }
    bool empty() const { return end_ == begin_; }
    CallFrame& back() { return end_[-1]; }
    const CallFrame& back() const { return end_[-1]; }
    CallFrame& operator[](size_t i) { return begin_[i]; }
    const CallFrame& operator[](size_t i) const { return begin_[i]; }

    // Where the three pointers lie in the object, for the machine code.
    static constexpr size_t begin_offset();
    static constexpr size_t end_offset();
    static constexpr size_t capacity_end_offset();

    bool has_room() const { return end_ != capacity_end_; }
    // Gives an empty stack its first storage, so that end() points into it.
    // Throws std::bad_alloc, with the stack unchanged, when memory runs out.
    void reserve_storage() {
        if (begin_ == nullptr) grow(16);
    }
    // Grows the storage when it is full; false at the depth limit. Throws
    // std::bad_alloc, with the stack unchanged, when memory runs out.
    bool make_room() {
        if (has_room()) return true;
        if (capacity() >= kMaxCallDepth) return false;
        grow(std::min(kMaxCallDepth, std::max<size_t>(16, 2 * capacity())));
        return true;
    }

    // A new innermost frame; the stack must have room.
    template <typename... Args>
    CallFrame& emplace_back(Args&&... args) {
        CallFrame* frame = std::construct_at(end_, std::forward<Args>(args)...);
        ++end_;
        return *frame;
    }
    void pop_back() { std::destroy_at(--end_); }
    // Removes the innermost frame once its saved values have been moved
    // out: nothing is left to destroy.
    void drop_back() { --end_; }
    void clear() {
        while (!empty()) pop_back();
    }

private:
    void grow(size_t frames) {
        CallFrame* storage = std::allocator<CallFrame>().allocate(frames + 1);
        const size_t depth = size();
        for (size_t i = 0; i < depth; ++i) {
            std::construct_at(storage + i, std::move(begin_[i]));
            std::destroy_at(begin_ + i);
        }
        release(begin_, capacity());
        end_ = storage + depth;
        begin_ = storage;
        capacity_end_ = storage + frames;
    }
    static void release(CallFrame* storage, size_t frames) {
        if (storage != nullptr) std::allocator<CallFrame>().deallocate(storage, frames + 1);
    }

    CallFrame* begin_ = nullptr;
    CallFrame* end_ = nullptr;
    CallFrame* capacity_end_ = nullptr;
};

// One access level for every field, no bases: offsetof is defined.
static_assert(std::is_standard_layout_v<CallStack>);
constexpr size_t CallStack::begin_offset() { return offsetof(CallStack, begin_); }
constexpr size_t CallStack::end_offset() { return offsetof(CallStack, end_); }
constexpr size_t CallStack::capacity_end_offset() { return offsetof(CallStack, capacity_end_); }

}  // namespace tarnel
