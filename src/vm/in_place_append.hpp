// The in-place string append shared by AddR and ConcatStrR.
#pragma once

#include "values/memory_meter.hpp"
#include "values/work_checkpoint.hpp"
#include "vm/exec_context.hpp"
#include "vm/limits.hpp"

namespace tarnel::handlers {

// AddR and ConcatStrR keep dst, left and right in the same slots, so one
// out-of-line function serves both (a copy per kind measurably changes how
// the compiler lays out the dispatch loop).
constexpr bool same_operand_slots(Opcode x, Opcode y) {
    for (size_t i = 0; i < 3; ++i) {
        const OperandSpec& p = info(x).operands[i];
        const OperandSpec& q = info(y).operands[i];
        if (p.name != q.name || p.type != q.type || p.slot != q.slot) return false;
    }
    return true;
}
static_assert(same_operand_slots(Opcode::AddR, Opcode::ConcatStrR));

// `dst = dst + right` on a string that only `dst` holds: append in place
// instead of copying the whole text (the same observable result, O(1)
// amortised instead of O(n)). For AddR and ConcatStrR.
inline bool append_in_place(ExecContext& c, const Instruction& instruction) {
    const Operands<Opcode::AddR> ins{instruction};
    if (ins.dst() != ins.left() || ins.left() == ins.right()) return false;
    Value& left = c.reg(ins.left());
    const Value& right = c.reg(ins.right());
    if (!left.is(ValueType::String) || !right.is(ValueType::String) || !left.is_unique()) return false;
    if (!text_fits(left.text().size(), right.text().size())) return false;  // the general path refuses it
    charge_memory(right.text().size());
    append_in_chunks(left.mutable_text(), right.text());
    c.s.register_types[ins.dst()] = ValueType::String;
    return true;
}

}  // namespace tarnel::handlers
