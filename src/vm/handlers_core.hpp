// Semantics of the instructions that move values, declare, check and cast
// types, compute, compare and change the flow of control. Each handler is
// inlined into the dispatch loop; scalar fast paths come first and the
// general operations of values/operations.hpp handle everything else.
#pragma once

#include "values/casts.hpp"
#include "values/float_arithmetic.hpp"
#include "values/operations.hpp"
#include "vm/exec_context.hpp"
#include "vm/in_place_append.hpp"
#include "vm/limits.hpp"
#include "vm/trace.hpp"

namespace tarnel::handlers {

// ---- moves, constants, globals ---------------------------------------------

template <bool Debug>
TARNEL_HANDLER Status op_LoadConstR(ExecContext& c, Operands<Opcode::LoadConstR> ins) {
    uint16_t index = ins.const_idx();
    if (index >= c.s.constants.size()) return c.fail(VmError::invalid_constant_index(index));
    const Value& value = c.s.constants[index].value();
    if (Debug) {
        if (Status st = c.emit(trace::load_const_line(ins.dst(), index, value)); st != Status::Next) return st;
    }
    c.s.write_register(ins.dst(), value);
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_MoveR(ExecContext& c, Operands<Opcode::MoveR> ins) {
    c.s.write_register(ins.dst(), c.reg(ins.src()));
    return Status::Next;
}

// The global's name: constant `name_idx`, which must be a string constant.
inline const std::string* global_name(ExecContext& c, uint16_t name_idx) {
    if (name_idx >= c.s.constants.size() || !c.s.constants[name_idx].is_string()) return nullptr;
    return &c.s.constants[name_idx].text();
}

template <bool Debug>
TARNEL_HANDLER Status op_LoadGlobalR(ExecContext& c, Operands<Opcode::LoadGlobalR> ins) {
    const std::string* name = global_name(c, ins.name_idx());
    if (name == nullptr) return c.fail(VmError::invalid_constant_index(ins.name_idx()));
    auto found = c.s.globals.find(std::string_view(*name));
    c.s.write_register(ins.dst(), found == c.s.globals.end() ? Value() : found->second);
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_StoreGlobalR(ExecContext& c, Operands<Opcode::StoreGlobalR> ins) {
    const std::string* name = global_name(c, ins.name_idx());
    if (name == nullptr) return c.fail(VmError::invalid_constant_index(ins.name_idx()));
    auto found = c.s.globals.find(std::string_view(*name));
    if (found != c.s.globals.end())
        found->second = c.reg(ins.src());
    else
        c.s.globals.emplace(*name, c.reg(ins.src()));
    return Status::Next;
}

// ---- types ------------------------------------------------------------------

template <bool Debug>
TARNEL_HANDLER Status op_DefineR(ExecContext& c, Operands<Opcode::DefineR> ins) {
    c.s.declare_tag(ins.dst(), type_from_id(ins.type_id()));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_CheckTypeR(ExecContext& c, Operands<Opcode::CheckTypeR> ins) {
    c.set_bool(ins.dst(), type_from_id(ins.type_id()) == c.s.register_types[ins.src()]);
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_CastR(ExecContext& c, Operands<Opcode::CastR> ins) {
    const Value& value = c.reg(ins.src());
    const ValueType target = type_from_id(ins.to_type());
    if (target == ValueType::Float && value.is(ValueType::Int)) {
        c.set_float(ins.dst(), static_cast<double>(value.as_int()));
        return Status::Next;
    }
    if (target == ValueType::String && !display_text_fits(value)) return c.fail(VmError::out_of_memory());
    return c.apply(ins.dst(), cast_value(value, target));
}

// ---- arithmetic ---------------------------------------------------------------

TARNEL_HANDLER bool both_int(const Value& l, const Value& r) { return l.is(ValueType::Int) && r.is(ValueType::Int); }
TARNEL_HANDLER bool both_float(const Value& l, const Value& r) {
    return l.is(ValueType::Float) && r.is(ValueType::Float);
}

// Two strings whose joined length would pass the text limit cannot be joined.
inline bool joined_text_fits(const Value& l, const Value& r) {
    return !(l.is(ValueType::String) && r.is(ValueType::String)) || text_fits(l.text().size(), r.text().size());
}

template <bool Debug>
TARNEL_HANDLER Status op_AddR(ExecContext& c, Operands<Opcode::AddR> ins) {
    const Value& l = c.reg(ins.left());
    const Value& r = c.reg(ins.right());
    if (both_int(l, r)) {
        int64_t out;
        if (__builtin_add_overflow(l.as_int(), r.as_int(), &out)) return c.fail(VmError::integer_overflow());
        c.set_int(ins.dst(), out);
        return Status::Next;
    }
    if (both_float(l, r)) {
        c.set_float(ins.dst(), float_sum(l.as_float(), r.as_float()));
        return Status::Next;
    }
    if (append_in_place(c, ins)) return Status::Next;
    if (!joined_text_fits(l, r)) return c.fail(VmError::out_of_memory());
    return c.apply(ins.dst(), ops::add(l, r));
}

template <bool Debug>
TARNEL_HANDLER Status op_SubR(ExecContext& c, Operands<Opcode::SubR> ins) {
    const Value& l = c.reg(ins.left());
    const Value& r = c.reg(ins.right());
    if (both_int(l, r)) {
        int64_t out;
        if (__builtin_sub_overflow(l.as_int(), r.as_int(), &out)) return c.fail(VmError::integer_overflow());
        c.set_int(ins.dst(), out);
        return Status::Next;
    }
    if (both_float(l, r)) {
        c.set_float(ins.dst(), l.as_float() - r.as_float());
        return Status::Next;
    }
    return c.apply(ins.dst(), ops::subtract(l, r));
}

template <bool Debug>
TARNEL_HANDLER Status op_MulR(ExecContext& c, Operands<Opcode::MulR> ins) {
    const Value& l = c.reg(ins.left());
    const Value& r = c.reg(ins.right());
    if (both_int(l, r)) {
        int64_t out;
        if (__builtin_mul_overflow(l.as_int(), r.as_int(), &out)) return c.fail(VmError::integer_overflow());
        c.set_int(ins.dst(), out);
        return Status::Next;
    }
    if (both_float(l, r)) {
        c.set_float(ins.dst(), float_product(l.as_float(), r.as_float()));
        return Status::Next;
    }
    return c.apply(ins.dst(), ops::multiply(l, r));
}

template <bool Debug>
TARNEL_HANDLER Status op_DivR(ExecContext& c, Operands<Opcode::DivR> ins) {
    const Value& l = c.reg(ins.left());
    const Value& r = c.reg(ins.right());
    if (both_int(l, r) && r.as_int() > 0) {  // no zero divisor, no INT64_MIN / -1
        c.set_int(ins.dst(), l.as_int() / r.as_int());
        return Status::Next;
    }
    if (both_float(l, r) && r.as_float() != 0.0) {
        c.set_float(ins.dst(), l.as_float() / r.as_float());
        return Status::Next;
    }
    return c.apply(ins.dst(), ops::divide(l, r));
}

template <bool Debug>
TARNEL_HANDLER Status op_ModR(ExecContext& c, Operands<Opcode::ModR> ins) {
    const Value& l = c.reg(ins.left());
    const Value& r = c.reg(ins.right());
    if (both_int(l, r) && r.as_int() > 0) {  // no zero divisor, no INT64_MIN % -1
        c.set_int(ins.dst(), l.as_int() % r.as_int());
        return Status::Next;
    }
    return c.apply(ins.dst(), ops::remainder(l, r));
}

template <bool Debug>
TARNEL_HANDLER Status op_NegR(ExecContext& c, Operands<Opcode::NegR> ins) {
    const Value& v = c.reg(ins.src());
    if (v.is(ValueType::Float)) {
        c.set_float(ins.dst(), -v.as_float());
        return Status::Next;
    }
    if (v.is(ValueType::Int) && v.as_int() != INT64_MIN) {
        c.set_int(ins.dst(), -v.as_int());
        return Status::Next;
    }
    return c.apply(ins.dst(), ops::negate(v));
}

// ---- logic and comparison -----------------------------------------------------

template <bool Debug>
TARNEL_HANDLER Status op_NotR(ExecContext& c, Operands<Opcode::NotR> ins) {
    c.set_bool(ins.dst(), !is_truthy(c.reg(ins.src())));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_AndR(ExecContext& c, Operands<Opcode::AndR> ins) {
    c.set_bool(ins.dst(), is_truthy(c.reg(ins.left())) && is_truthy(c.reg(ins.right())));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_OrR(ExecContext& c, Operands<Opcode::OrR> ins) {
    c.set_bool(ins.dst(), is_truthy(c.reg(ins.left())) || is_truthy(c.reg(ins.right())));
    return Status::Next;
}

TARNEL_HANDLER bool fast_equals(const Value& l, const Value& r) {
    if (both_int(l, r)) return l.as_int() == r.as_int();
    return ops::equals(l, r);
}

template <bool Debug>
TARNEL_HANDLER Status op_EqR(ExecContext& c, Operands<Opcode::EqR> ins) {
    c.set_bool(ins.dst(), fast_equals(c.reg(ins.left()), c.reg(ins.right())));
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_NeqR(ExecContext& c, Operands<Opcode::NeqR> ins) {
    c.set_bool(ins.dst(), !fast_equals(c.reg(ins.left()), c.reg(ins.right())));
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
TARNEL_HANDLER Status op_LtR(ExecContext& c, Operands<Opcode::LtR> ins) {
    return compare_into<true>(c, ins.dst(), c.reg(ins.left()), c.reg(ins.right()));
}

template <bool Debug>
TARNEL_HANDLER Status op_GtR(ExecContext& c, Operands<Opcode::GtR> ins) {
    return compare_into<true>(c, ins.dst(), c.reg(ins.right()), c.reg(ins.left()));
}

template <bool Debug>
TARNEL_HANDLER Status op_GteR(ExecContext& c, Operands<Opcode::GteR> ins) {
    return compare_into<false>(c, ins.dst(), c.reg(ins.right()), c.reg(ins.left()));
}

template <bool Debug>
TARNEL_HANDLER Status op_LteR(ExecContext& c, Operands<Opcode::LteR> ins) {
    if (!Debug) return compare_into<false>(c, ins.dst(), c.reg(ins.left()), c.reg(ins.right()));
    const Value& l = c.reg(ins.left());
    const Value& r = c.reg(ins.right());
    if (!debug_form_fits(l) || !debug_form_fits(r)) return c.fail(VmError::out_of_memory());
    if (Status st = c.emit(trace::lte_line(ins.dst(), ins.left(), l, ins.right(), r)); st != Status::Next) return st;
    Result<bool, VmError> outcome = ops::less_equal(l, r);
    if (!outcome) return c.fail(std::move(outcome).error());
    if (Status st = c.emit(trace::lte_result_line(outcome.value())); st != Status::Next) return st;
    c.set_bool(ins.dst(), outcome.value());
    return Status::Next;
}

// Truthiness with the usual condition, a Bool from a comparison, inline.
TARNEL_HANDLER bool truthy(const Value& v) { return v.is(ValueType::Bool) ? v.as_bool() : is_truthy(v); }

// ---- jumps ----------------------------------------------------------------------

// The target is pc + offset in 32-bit wrapping arithmetic, widened with sign;
// a negative target becomes huge and ends the run at the next fetch.
// For JumpR, JumpIfR and JumpIfNotR.
template <class WithOffset>
TARNEL_HANDLER void take_jump(ExecContext& c, WithOffset ins) {
    uint64_t pc = c.s.pc;
    c.s.last_jump = static_cast<uint16_t>(pc - 1);
    int32_t target = static_cast<int32_t>(static_cast<uint32_t>(pc) + static_cast<uint32_t>(ins.offset()));
    c.s.pc = static_cast<uint64_t>(static_cast<int64_t>(target));
}

template <bool Debug>
TARNEL_HANDLER Status op_JumpR(ExecContext& c, Operands<Opcode::JumpR> ins) {
    take_jump(c, ins);
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_JumpIfR(ExecContext& c, Operands<Opcode::JumpIfR> ins) {
    if (truthy(c.reg(ins.cond()))) take_jump(c, ins);
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_JumpIfNotR(ExecContext& c, Operands<Opcode::JumpIfNotR> ins) {
    if (!truthy(c.reg(ins.cond()))) take_jump(c, ins);
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_PhiR(ExecContext& c, Operands<Opcode::PhiR> ins) {
    if (!c.s.last_jump) return Status::Next;
    for (const PhiSource& source : ins.sources()) {
        if (source.label == *c.s.last_jump) {
            c.s.write_register(ins.dst(), c.reg(source.reg));
            break;
        }
    }
    return Status::Next;
}

template <bool Debug>
TARNEL_HANDLER Status op_Halt(ExecContext& c, Operands<Opcode::Halt>) {
    c.s.halted = true;
    return Status::Stop;
}

template <bool Debug>
TARNEL_HANDLER Status op_Nop(ExecContext&, Operands<Opcode::Nop>) {
    return Status::Next;
}

}  // namespace tarnel::handlers
