#include "vm/jit_frame_layout.hpp"

#include <cstring>
#include <optional>

namespace tarnel::jit {
namespace {

template <typename Base, typename Field>
int32_t offset(const Base& base, const Field& field) {
    return static_cast<int32_t>(reinterpret_cast<const unsigned char*>(&field) -
                                reinterpret_cast<const unsigned char*>(&base));
}

// An optional byte is the byte, then a byte that is 1 when there is one.
bool optional_layout_matches() {
    const std::optional<uint8_t> some(0x5A), none;
    unsigned char a[2], b[2];
    std::memcpy(a, &some, 2);
    std::memcpy(b, &none, 2);
    return sizeof some == 2 && a[0] == 0x5A && a[1] == 1 && b[1] == 0;
}

}  // namespace

FrameLayout frame_layout(const VmState& state) {
    FrameLayout layout;
    const int32_t stack = offset(state, state.call_stack);
    layout.stack_begin = stack + static_cast<int32_t>(CallStack::begin_offset());
    layout.stack_end = stack + static_cast<int32_t>(CallStack::end_offset());
    layout.stack_capacity = stack + static_cast<int32_t>(CallStack::capacity_end_offset());

    const CallFrame frame(1, 2, 3, 0);
    layout.frame_size = static_cast<int32_t>(sizeof(CallFrame));
    layout.saved_types = offset(frame, frame.saved_types);
    layout.saved = offset(frame, frame.saved);
    layout.return_pc = offset(frame, frame.return_pc);
    layout.return_register = offset(frame, frame.return_register);
    layout.groups = offset(frame, frame.groups);
    layout.live = offset(frame, frame.live);

    const CallSiteCache site;
    layout.site_callee_payload = offset(site, site.callee) + 8;
    layout.site_entry = offset(site, site.entry);
    layout.site_saved = offset(site, site.saved);
    layout.site_groups = offset(site, site.groups);
    layout.site_quick = offset(site, site.quick);

    layout.known = optional_layout_matches() && offset(frame, frame.saved_registers) == 0 && sizeof(Value) == 16 &&
                   sizeof frame.saved == 8 && sizeof frame.return_pc == 8 && sizeof site.entry == 8 &&
                   sizeof site.saved == 8 && sizeof(ValueType) == 1 && layout.groups == layout.return_register + 2 &&
                   layout.live == layout.return_register + 3 && layout.site_quick == layout.site_groups + 1;
    return layout;
}

}  // namespace tarnel::jit
