// The in-place string append shared by AddR and ConcatStrR.
#pragma once

#include "vm/exec_context.hpp"
#include "vm/limits.hpp"

namespace tarnel::handlers {

// `dst = dst + right` on a string that only `dst` holds: append in place
// instead of copying the whole text (the same observable result, O(1)
// amortised instead of O(n)). For AddR and ConcatStrR.
template <class DstLeftRight>
inline bool append_in_place(ExecContext& c, DstLeftRight ins) {
    if (ins.dst() != ins.left() || ins.left() == ins.right()) return false;
    Value& left = c.reg(ins.left());
    const Value& right = c.reg(ins.right());
    if (!left.is(ValueType::String) || !right.is(ValueType::String) || !left.is_unique()) return false;
    if (!text_fits(left.text().size(), right.text().size())) return false;  // the general path refuses it
    left.mutable_text().append(right.text());
    c.s.register_types[ins.dst()] = ValueType::String;
    return true;
}

}  // namespace tarnel::handlers
