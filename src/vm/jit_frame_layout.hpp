// Where the fields the machine code's own quick call and return touch lie
// (jit_x64.cpp): in the VmState, a CallFrame and a CallSiteCache, and how
// the standard library lays out the frame's optional return register (the
// CallStack gives its pointers' offsets itself). Measured on live objects,
// not assumed: when the
// library or the compiler lays any of them out otherwise, `known` is false
// and calls and returns go through their C++ helpers.
#pragma once

#include <cstdint>

#include "vm/state.hpp"

namespace tarnel::jit {

struct FrameLayout {
    bool known = false;
    // From the start of the VmState.
    int32_t stack_begin = 0;  // call_stack's first element, end and end of capacity
    int32_t stack_end = 0;
    int32_t stack_capacity = 0;
    // From the start of a CallFrame; its saved registers start at 0.
    int32_t frame_size = 0;
    int32_t saved_types = 0;
    int32_t saved = 0;
    int32_t return_pc = 0;
    // The register's byte, the byte saying whether there is one, groups
    // and live: four bytes in a row, which a push writes as one.
    int32_t return_register = 0;
    int32_t groups = 0;
    int32_t live = 0;
    // From the start of a CallSiteCache.
    int32_t site_callee_payload = 0;
    int32_t site_entry = 0;
    int32_t site_saved = 0;
    int32_t site_groups = 0;  // groups, then quick: two bytes read as one
    int32_t site_quick = 0;
};

// The layout, measured on `state` and on objects of its own.
FrameLayout frame_layout(const VmState& state);

}  // namespace tarnel::jit
