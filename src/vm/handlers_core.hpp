// Semantics of the instructions that move values, declare, check and cast
// types, compute, compare and change the flow of control. Each handler is
// inlined into the dispatch loop; scalar fast paths come first and the
// general operations of values/operations.hpp handle everything else.
#pragma once

#include "values/casts.hpp"
#include "values/operations.hpp"
#include "vm/limits.hpp"
#include "vm/exec_context.hpp"
#include "vm/trace.hpp"

namespace tarnel::handlers {

// ---- moves, constants, globals ---------------------------------------------

template <bool Debug>
TARNEL_HANDLER Status op_LoadConstR(ExecContext& c, const Instruction& ins) {
    uint16_t index = ins.index();
    if (index >= c.s.caches.constant_values.size()) return c.fail(VmError::invalid_constant_index(index));
    const Value& value = c.s.caches.constant_values[index];
    if (Debug) {
        if (Status st = c.emit(trace::load_const_line(ins.a, index, value)); st != Status::Next) return st;
    }
    c.s.write_register(ins.a, value);
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_MoveR(ExecContext& c, const Instruction& ins) {
    c.s.write_register(ins.a, c.reg(ins.b));
    return Status::Next;
}

// The global's name: constant `name_idx`, which must be a string constant.
inline const std::string* global_name(ExecContext& c, uint16_t name_idx) {
    if (name_idx >= c.s.constants.size() || !c.s.constants[name_idx].is_string()) return nullptr;
    return &c.s.constants[name_idx].text;
}

template <bool Debug>
TARNEL_HANDLER Status op_LoadGlobalR(ExecContext& c, const Instruction& ins) {
    const std::string* name = global_name(c, ins.index());
    if (name == nullptr) return c.fail(VmError::invalid_constant_index(ins.index()));
    auto found = c.s.globals.find(std::string_view(*name));
    c.s.write_register(ins.a, found == c.s.globals.end() ? Value() : found->second);
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_StoreGlobalR(ExecContext& c, const Instruction& ins) {
    const std::string* name = global_name(c, ins.index());
    if (name == nullptr) return c.fail(VmError::invalid_constant_index(ins.index()));
    auto found = c.s.globals.find(std::string_view(*name));
    if (found != c.s.globals.end())
        found->second = c.reg(ins.a);
    else
        c.s.globals.emplace(*name, c.reg(ins.a));
    return Status::Next;
}

// ---- types ------------------------------------------------------------------

template <bool Debug>
TARNEL_HANDLER Status op_DefineR(ExecContext& c, const Instruction& ins) {
    c.s.register_types[ins.a] = type_from_id(ins.index());
    if (ins.a < kSavedRegisters) c.s.declared_saved_tags = true;
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_CheckTypeR(ExecContext& c, const Instruction& ins) {
    c.set_bool(ins.a, type_from_id(ins.index()) == c.s.register_types[ins.b]);
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_CastR(ExecContext& c, const Instruction& ins) {
    const Value& value = c.reg(ins.b);
    const ValueType target = type_from_id(ins.index());
    if (target == ValueType::Float && value.is(ValueType::Int)) {
        c.set_float(ins.a, static_cast<double>(value.as_int()));
        return Status::Next;
    }
    if (target == ValueType::String && !display_text_fits(value)) return c.fail(VmError::out_of_memory());
    return c.apply(ins.a, cast_value(value, target));
}

// ---- arithmetic ---------------------------------------------------------------

TARNEL_HANDLER bool both_int(const Value& l, const Value& r) { return l.is(ValueType::Int) && r.is(ValueType::Int); }
TARNEL_HANDLER bool both_float(const Value& l, const Value& r) { return l.is(ValueType::Float) && r.is(ValueType::Float); }

// `dst = dst + right` on a string that only `dst` holds: append in place
// instead of copying the whole text (the same observable result, O(1)
// amortised instead of O(n)).
inline bool append_in_place(ExecContext& c, const Instruction& ins) {
    if (ins.a != ins.b || ins.b == ins.c) return false;
    Value& left = c.reg(ins.b);
    const Value& right = c.reg(ins.c);
    if (!left.is(ValueType::String) || !right.is(ValueType::String) || !left.is_unique()) return false;
    if (!text_fits(left.text().size(), right.text().size())) return false;  // the general path refuses it
    left.mutable_text().append(right.text());
    c.s.register_types[ins.a] = ValueType::String;
    return true;
}

// Two strings whose joined length would pass the text limit cannot be joined.
inline bool joined_text_fits(const Value& l, const Value& r) {
    return !(l.is(ValueType::String) && r.is(ValueType::String)) || text_fits(l.text().size(), r.text().size());
}

template <bool Debug>
TARNEL_HANDLER Status op_AddR(ExecContext& c, const Instruction& ins) {
    const Value& l = c.reg(ins.b);
    const Value& r = c.reg(ins.c);
    if (both_int(l, r)) {
        int64_t out;
        if (__builtin_add_overflow(l.as_int(), r.as_int(), &out)) return c.fail(VmError::integer_overflow());
        c.set_int(ins.a, out);
        return Status::Next;
    }
    if (both_float(l, r)) {
        c.set_float(ins.a, l.as_float() + r.as_float());
        return Status::Next;
    }
    if (append_in_place(c, ins)) return Status::Next;
    if (!joined_text_fits(l, r)) return c.fail(VmError::out_of_memory());
    return c.apply(ins.a, ops::add(l, r));
}

template <bool Debug>
TARNEL_HANDLER Status op_SubR(ExecContext& c, const Instruction& ins) {
    const Value& l = c.reg(ins.b);
    const Value& r = c.reg(ins.c);
    if (both_int(l, r)) {
        int64_t out;
        if (__builtin_sub_overflow(l.as_int(), r.as_int(), &out)) return c.fail(VmError::integer_overflow());
        c.set_int(ins.a, out);
        return Status::Next;
    }
    if (both_float(l, r)) {
        c.set_float(ins.a, l.as_float() - r.as_float());
        return Status::Next;
    }
    return c.apply(ins.a, ops::subtract(l, r));
}

template <bool Debug>
TARNEL_HANDLER Status op_MulR(ExecContext& c, const Instruction& ins) {
    const Value& l = c.reg(ins.b);
    const Value& r = c.reg(ins.c);
    if (both_int(l, r)) {
        int64_t out;
        if (__builtin_mul_overflow(l.as_int(), r.as_int(), &out)) return c.fail(VmError::integer_overflow());
        c.set_int(ins.a, out);
        return Status::Next;
    }
    if (both_float(l, r)) {
        c.set_float(ins.a, l.as_float() * r.as_float());
        return Status::Next;
    }
    return c.apply(ins.a, ops::multiply(l, r));
}

template <bool Debug>
TARNEL_HANDLER Status op_DivR(ExecContext& c, const Instruction& ins) {
    const Value& l = c.reg(ins.b);
    const Value& r = c.reg(ins.c);
    if (both_int(l, r) && r.as_int() > 0) {  // no zero divisor, no INT64_MIN / -1
        c.set_int(ins.a, l.as_int() / r.as_int());
        return Status::Next;
    }
    if (both_float(l, r) && r.as_float() != 0.0) {
        c.set_float(ins.a, l.as_float() / r.as_float());
        return Status::Next;
    }
    return c.apply(ins.a, ops::divide(l, r));
}

template <bool Debug>
TARNEL_HANDLER Status op_ModR(ExecContext& c, const Instruction& ins) {
    const Value& l = c.reg(ins.b);
    const Value& r = c.reg(ins.c);
    if (both_int(l, r) && r.as_int() > 0) {  // no zero divisor, no INT64_MIN % -1
        c.set_int(ins.a, l.as_int() % r.as_int());
        return Status::Next;
    }
    return c.apply(ins.a, ops::remainder(l, r));
}

template <bool Debug>
TARNEL_HANDLER Status op_NegR(ExecContext& c, const Instruction& ins) {
    const Value& v = c.reg(ins.b);
    if (v.is(ValueType::Float)) {
        c.set_float(ins.a, -v.as_float());
        return Status::Next;
    }
    if (v.is(ValueType::Int) && v.as_int() != INT64_MIN) {
        c.set_int(ins.a, -v.as_int());
        return Status::Next;
    }
    return c.apply(ins.a, ops::negate(v));
}

// ---- logic and comparison -----------------------------------------------------

template <bool Debug>
TARNEL_HANDLER Status op_NotR(ExecContext& c, const Instruction& ins) {
    c.set_bool(ins.a, !is_truthy(c.reg(ins.b)));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_AndR(ExecContext& c, const Instruction& ins) {
    c.set_bool(ins.a, is_truthy(c.reg(ins.b)) && is_truthy(c.reg(ins.c)));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_OrR(ExecContext& c, const Instruction& ins) {
    c.set_bool(ins.a, is_truthy(c.reg(ins.b)) || is_truthy(c.reg(ins.c)));
    return Status::Next;
}

TARNEL_HANDLER bool fast_equals(const Value& l, const Value& r) {
    if (both_int(l, r)) return l.as_int() == r.as_int();
    return ops::equals(l, r);
}

template <bool Debug>
TARNEL_HANDLER Status op_EqR(ExecContext& c, const Instruction& ins) {
    c.set_bool(ins.a, fast_equals(c.reg(ins.b), c.reg(ins.c)));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_NeqR(ExecContext& c, const Instruction& ins) {
    c.set_bool(ins.a, !fast_equals(c.reg(ins.b), c.reg(ins.c)));
    return Status::Next;
}

// Writes the outcome of an ordering test (Strict: <, else <=) of a against b.
template <bool Strict>
TARNEL_HANDLER Status compare_into(ExecContext& c, uint8_t dst, const Value& a, const Value& b) {
    if (both_int(a, b)) {
        c.set_bool(dst, Strict ? a.as_int() < b.as_int() : a.as_int() <= b.as_int());
        return Status::Next;
    }
    if (both_float(a, b)) {
        c.set_bool(dst, Strict ? a.as_float() < b.as_float() : a.as_float() <= b.as_float());
        return Status::Next;
    }
    Result<bool, VmError> outcome = Strict ? ops::less_than(a, b) : ops::less_equal(a, b);
    if (!outcome) return c.fail(std::move(outcome).error());
    c.set_bool(dst, outcome.value());
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_LtR(ExecContext& c, const Instruction& ins) {
    return compare_into<true>(c, ins.a, c.reg(ins.b), c.reg(ins.c));
}

template <bool Debug>
TARNEL_HANDLER Status op_GtR(ExecContext& c, const Instruction& ins) {
    return compare_into<true>(c, ins.a, c.reg(ins.c), c.reg(ins.b));
}

template <bool Debug>
TARNEL_HANDLER Status op_GteR(ExecContext& c, const Instruction& ins) {
    return compare_into<false>(c, ins.a, c.reg(ins.c), c.reg(ins.b));
}

template <bool Debug>
TARNEL_HANDLER Status op_LteR(ExecContext& c, const Instruction& ins) {
    if (!Debug) return compare_into<false>(c, ins.a, c.reg(ins.b), c.reg(ins.c));
    const Value& l = c.reg(ins.b);
    const Value& r = c.reg(ins.c);
    if (!debug_form_fits(l) || !debug_form_fits(r)) return c.fail(VmError::out_of_memory());
    if (Status st = c.emit(trace::lte_line(ins.a, ins.b, l, ins.c, r)); st != Status::Next) return st;
    Result<bool, VmError> outcome = ops::less_equal(l, r);
    if (!outcome) return c.fail(std::move(outcome).error());
    if (Status st = c.emit(trace::lte_result_line(outcome.value())); st != Status::Next) return st;
    c.set_bool(ins.a, outcome.value());
    return Status::Next;
}

// Truthiness with the usual condition, a Bool from a comparison, inline.
TARNEL_HANDLER bool truthy(const Value& v) { return v.is(ValueType::Bool) ? v.as_bool() : is_truthy(v); }

// ---- jumps ----------------------------------------------------------------------

// The target is pc + offset in 32-bit wrapping arithmetic, widened with sign;
// a negative target becomes huge and ends the run at the next fetch.
TARNEL_HANDLER void take_jump(ExecContext& c, const Instruction& ins) {
    uint64_t pc = c.s.pc;
    c.s.last_jump = static_cast<uint16_t>(pc - 1);
    int32_t target = static_cast<int32_t>(static_cast<uint32_t>(pc) + ins.wide);
    c.s.pc = static_cast<uint64_t>(static_cast<int64_t>(target));
}

template <bool Debug>
TARNEL_HANDLER Status op_JumpR(ExecContext& c, const Instruction& ins) {
    take_jump(c, ins);
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_JumpIfR(ExecContext& c, const Instruction& ins) {
    if (truthy(c.reg(ins.a))) take_jump(c, ins);
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_JumpIfNotR(ExecContext& c, const Instruction& ins) {
    if (!truthy(c.reg(ins.a))) take_jump(c, ins);
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_PhiR(ExecContext& c, const Instruction& ins) {
    if (!c.s.last_jump) return Status::Next;
    for (const PhiSource& source : ins.sources()) {
        if (source.label == *c.s.last_jump) {
            c.s.write_register(ins.a, c.reg(source.reg));
            break;
        }
    }
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_Halt(ExecContext& c, const Instruction&) {
    c.s.halted = true;
    return Status::Stop;
}

template <bool Debug>
TARNEL_HANDLER Status op_Nop(ExecContext&, const Instruction&) {
    return Status::Next;
}

}  // namespace tarnel::handlers
