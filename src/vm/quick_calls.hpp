// The quick call and return: the common case of CallR and ReturnR without
// the generic frame code, shared by the quiet loop (fast_loop.cpp) and the
// handlers the machine code calls (jit_handlers.cpp), so that both take
// exactly the same path and leave exactly the same state.
//
// A call is quick when its site has seen this String callee before and its
// frame saves part of r0..r63; a return is quick when it returns into such
// a frame with no result or a scalar one. Every other case is the ordinary
// handler's.
//
// Neither tests whether a tag has been declared on r0..r63: the first such
// declaration makes every frame on the stack full and every call site slow
// (VmState::declare_tag), so from then on no partial frame exists, and a
// call site's `quick` says it all.
#pragma once

#include <cstring>
#include <memory>

#include "vm/frame_copies.hpp"

namespace tarnel::frames {

[[gnu::always_inline]] inline bool call_is_quick(const VmState& s, const CallSiteCache& site, const Value& callee) {
    return callee.is(ValueType::String) && callee.payload() == site.callee.payload() && site.quick &&
           s.call_stack.has_room();
}

// Pushes the frame, which returns to the instruction after the site's
// CallR, passes the arguments and returns the callee's entry.
[[gnu::always_inline]] inline uint64_t enter_quick_call(VmState& s, const CallSiteCache& site,
                                                        uint8_t return_register) {
    push_partial(s, site.return_pc, return_register, site.saved, site.groups);
    if (site.passed == 1) {  // the usual case for small functions: no loop
        copy_register(s, 0, site.args[0]);
    } else {
        for (unsigned i = 0; i < site.passed; ++i) copy_register(s, static_cast<uint8_t>(i), site.args[i]);
    }
    return site.entry;
}

// `has_result`: the ReturnR names a register (its `wide`), `result` it.
[[gnu::always_inline]] inline bool return_is_quick(const VmState& s, bool has_result, uint8_t result) {
    return !s.call_stack.empty() && !s.call_stack.back().is_full() && !(has_result && s.registers[result].is_heap());
}

// Restores and pops the innermost frame, places the result, and returns
// the pc to go on at. The result is copied before the restore, which may
// overwrite its register.
[[gnu::always_inline]] inline uint64_t leave_quick_return(VmState& s, bool has_result, uint8_t result) {
    CallFrame& frame = s.call_stack.back();
    const uint64_t to = frame.return_pc;
    const std::optional<uint8_t> dst = frame.return_register;
    if (has_result) {
        const Value& src = s.registers[result];
        uint64_t bytes[2];
        std::memcpy(bytes, static_cast<const void*>(&src), sizeof bytes);
        const ValueType tag = src.type();
        restore_partial(s, frame);
        s.call_stack.drop_back();
        if (dst) {
            Value& slot = s.registers[*dst];
            if (slot.is_heap()) std::destroy_at(&slot);
            std::memcpy(static_cast<void*>(&slot), bytes, sizeof bytes);
            s.register_types[*dst] = tag;
        }
    } else {
        restore_partial(s, frame);
        s.call_stack.drop_back();
    }
    return to;
}

}  // namespace tarnel::frames
