// The quiet run loop: the same steps as the debug loop of engine.cpp, over
// the engine's fast form of the instructions (fast_code.hpp).
//
// The program counter and the instruction count live in locals (machine
// registers) and reach the VM state only where the run can be observed:
// when it ends (End, Halt, a top-level return, an error, an exception), and
// around the handlers that read or set `pc` (jumps out of the list, calls,
// returns). Every other handler is the one the debug loop runs, inlined.
//
// Compiled twice: a run with limits (Watched) also checks, at each taken
// jump and after each call and return, whether the count has reached the
// count at which its LimitPoller wants to be asked again. It keeps the
// count biased by that figure, so the check is a sign test on a machine
// register. Nothing else differs, and an ordinary run has no check at all.
#include "vm/fast_loop.hpp"

#include <type_traits>

#include "values/float_arithmetic.hpp"
#include "vm/fast_code.hpp"
#include "vm/handlers_calls.hpp"
#include "vm/handlers_core.hpp"
#include "vm/handlers_data.hpp"
#include "vm/quick_calls.hpp"

namespace tarnel {
namespace {

using namespace handlers;

// The outcome of a fused pair's comparison on two Ints or two Floats: 1 or 0,
// or -1 when the operands need the general comparison.
template <FastKind K>
TARNEL_HANDLER int quick_compare(const Value& l, const Value& r) {
    constexpr int k = static_cast<int>(K) - static_cast<int>(FastKind::LtJumpIf);
    constexpr int relation = k / 2;  // 0 <, 1 <=, 2 >, 3 >=, 4 ==, 5 !=
    if (both_int(l, r)) {
        const int64_t x = l.as_int(), y = r.as_int();
        if constexpr (relation == 0) return x < y;
        if constexpr (relation == 1) return x <= y;
        if constexpr (relation == 2) return y < x;
        if constexpr (relation == 3) return y <= x;
        if constexpr (relation == 4) return x == y;
        if constexpr (relation == 5) return x != y;
    }
    if constexpr (relation <= 3) {
        asm volatile("" ::: "memory");  // as in quick_scaled: the Int test compares tags in memory
        if (both_float(l, r)) {
            const double x = l.as_float(), y = r.as_float();
            if constexpr (relation == 0) return x < y;
            if constexpr (relation == 1) return x <= y;
            if constexpr (relation == 2) return y < x;
            if constexpr (relation == 3) return y <= x;
        }
    }
    return -1;
}

// The relation of a fused pair on two Ints.
template <FastKind K>
TARNEL_HANDLER bool int_relation(int64_t x, int64_t y) {
    constexpr int relation = (static_cast<int>(K) - static_cast<int>(FastKind::LtJumpIf)) / 2;
    if constexpr (relation == 0) return x < y;
    if constexpr (relation == 1) return x <= y;
    if constexpr (relation == 2) return y < x;
    if constexpr (relation == 3) return y <= x;
    if constexpr (relation == 4) return x == y;
    return x != y;
}

// The jump kind a fused pair ends with: JumpIfR (true) or JumpIfNotR.
template <FastKind K>
constexpr bool jumps_if_true() {
    return ((static_cast<int>(K) - static_cast<int>(FastKind::LtJumpIf)) % 2) == 0;
}

// The comparison a fused kind starts with, for operands the quick path
// does not cover.
template <FastKind K>
TARNEL_HANDLER Status general_compare(ExecContext& c, const Instruction& ins) {
    constexpr int relation = (static_cast<int>(K) - static_cast<int>(FastKind::LtJumpIf)) / 2;
    if constexpr (relation == 0) return op_LtR<false>(c, Operands<Opcode::LtR>{ins});
    if constexpr (relation == 1) return op_LteR<false>(c, Operands<Opcode::LteR>{ins});
    if constexpr (relation == 2) return op_GtR<false>(c, Operands<Opcode::GtR>{ins});
    if constexpr (relation == 3) return op_GteR<false>(c, Operands<Opcode::GteR>{ins});
    if constexpr (relation == 4) return op_EqR<false>(c, Operands<Opcode::EqR>{ins});
    return op_NeqR<false>(c, Operands<Opcode::NeqR>{ins});
}

// The Int sum, difference or product of l and r in `out`; true when it
// overflows (the quick paths then leave the error to the handler).
template <Opcode Op>
TARNEL_HANDLER bool int_overflows(int64_t l, int64_t r, int64_t& out) {
    if constexpr (Op == Opcode::AddR) return __builtin_add_overflow(l, r, &out);
    if constexpr (Op == Opcode::SubR) return __builtin_sub_overflow(l, r, &out);
    return __builtin_mul_overflow(l, r, &out);
}

// Int and Float arithmetic without overflow, done in the loop on the
// register file's own address; every other case returns false and goes to
// the instruction's handler, which also reports the errors.
template <Opcode Op>
TARNEL_HANDLER bool quick_path(const Instruction& ins, VmState* base) {
    auto& regs = base->registers;
    auto& tags = base->register_types;
    if constexpr (Op == Opcode::AddR || Op == Opcode::SubR || Op == Opcode::MulR) {
        const Value& l = regs[ins.b];
        const Value& r = regs[ins.c];
        if (both_int(l, r)) {
            int64_t out;
            if (int_overflows<Op>(l.as_int(), r.as_int(), out)) return false;
            regs[ins.a].set_int(out);
            tags[ins.a] = ValueType::Int;
            return true;
        }
        if (both_float(l, r)) {
            const double x = l.as_float(), y = r.as_float();
            regs[ins.a].set_float(Op == Opcode::AddR   ? float_sum(x, y)
                                  : Op == Opcode::SubR ? x - y
                                                       : float_product(x, y));
            tags[ins.a] = ValueType::Float;
            return true;
        }
    }
    return false;
}

// Where r0 lies in the VM state, which scaled offsets count from
// (fast_code.hpp): registers reached from the state's address need no
// second base pointer, which the compiler kept on the stack.
uint16_t register_file_offset(const VmState& s) {
    const auto offset = reinterpret_cast<const char*>(s.registers.data()) - reinterpret_cast<const char*>(&s);
    return offset <= kMaxFileOffset ? static_cast<uint16_t>(offset) : UINT16_MAX;  // too far: nothing is scaled
}

// The register at scaled offset `offset`.
TARNEL_HANDLER Value& at_offset(VmState* base, uint16_t offset) {
    return *reinterpret_cast<Value*>(reinterpret_cast<char*>(base) + offset);
}

// Which quick case a scaled entry took: two Ints, two Floats, or neither
// (the handler's case).
enum class Took : uint8_t { Neither, Ints, Floats };

// Writes a quick case's Int or Float result. In place, the destination
// holds a value of the result's type already and its declared tag is that
// type (see quick_scaled): only the payload changes.
template <bool InPlace, typename Number>
TARNEL_HANDLER void store_result(const Instruction& entry, VmState* base, Number result) {
    constexpr bool is_float = std::is_same_v<Number, double>;
    Value& dst = at_offset(base, scaled_dst(entry));
    if constexpr (InPlace) {
        if constexpr (is_float)
            dst.replace_float(result);
        else
            dst.replace_int(result);
    } else {
        if constexpr (is_float)
            dst.set_float(result);
        else
            dst.set_int(result);
        base->register_types[entry.a] = is_float ? ValueType::Float : ValueType::Int;
    }
}

// The Int case of a scaled DivR, AddR, SubR or MulR: the handlers' own quick
// case of DivR (a positive divisor: no zero, no INT64_MIN / -1), the others
// without overflow. `InPlace`: see quick_scaled.
template <Opcode Op, bool InPlace>
TARNEL_HANDLER bool quick_ints(const Instruction& entry, VmState* base, const Value& l, const Value& r) {
    if (!both_int(l, r)) return false;
    int64_t out;
    if constexpr (Op == Opcode::DivR) {
        if (r.as_int() <= 0) return false;
        out = l.as_int() / r.as_int();
    } else if (int_overflows<Op>(l.as_int(), r.as_int(), out)) {
        return false;
    }
    store_result<InPlace>(entry, base, out);
    return true;
}

// The Float case of the same kinds (DivR: a nonzero divisor).
template <Opcode Op, bool InPlace>
TARNEL_HANDLER bool quick_floats(const Instruction& entry, VmState* base, const Value& l, const Value& r) {
    if (!both_float(l, r)) return false;
    const double x = l.as_float(), y = r.as_float();
    double result;
    if constexpr (Op == Opcode::DivR) {
        if (y == 0.0) return false;
        result = x / y;
    } else {
        result = Op == Opcode::AddR ? float_sum(x, y) : Op == Opcode::SubR ? x - y : float_product(x, y);
    }
    store_result<InPlace>(entry, base, result);
    return true;
}

// The quick cases of a scaled entry (fast_code.hpp), each register reached
// by one load of its offset: Int and Float arithmetic without overflow, and
// the handlers' own quick cases of DivR and NegR, with Ints tested first, or
// Floats when `FloatsFirst`. Every other case goes to the handler.
// `InPlace`: the destination is one of the operands, so when the quick case
// applies it holds a scalar of the result's type already, and (no DefineR
// having run since the load, or the kind would be gone: fast_code.hpp) its
// declared tag is that type too.
template <Opcode Op, bool InPlace = false, bool FloatsFirst = false>
TARNEL_HANDLER Took quick_scaled(const Instruction& entry, VmState* base) {
    const Value& l = at_offset(base, scaled_left(entry));
    if constexpr (Op == Opcode::NegR) {
        Value& dst = at_offset(base, scaled_dst(entry));
        if (l.is(ValueType::Float)) {
            dst.set_float(-l.as_float());
            base->register_types[entry.a] = ValueType::Float;
            return Took::Floats;
        }
        if (l.is(ValueType::Int) && l.as_int() != INT64_MIN) {
            dst.set_int(-l.as_int());
            base->register_types[entry.a] = ValueType::Int;
            return Took::Ints;
        }
        return Took::Neither;
    }
    const Value& r = at_offset(base, scaled_right(entry));
    // Between the two tests the tags are read again from memory. Without
    // this the compiler loads the left tag into a register for the second
    // test too, which costs the first a load of its own on every step.
    if constexpr (FloatsFirst) {
        if (quick_floats<Op, InPlace>(entry, base, l, r)) return Took::Floats;
        asm volatile("" ::: "memory");
        if (quick_ints<Op, InPlace>(entry, base, l, r)) return Took::Ints;
    } else {
        if (quick_ints<Op, InPlace>(entry, base, l, r)) return Took::Ints;
        asm volatile("" ::: "memory");
        if (quick_floats<Op, InPlace>(entry, base, l, r)) return Took::Floats;
    }
    return Took::Neither;
}

// Gives an entry of kind `kind` its twin, which tests first for the type
// its operands held this time. A group's first entry that left its group
// for the in-place kind's code keeps its own kind. The fast form is the
// VM's own, mutable vector; the loop reads it through pointers to const.
TARNEL_HANDLER void retype(const Instruction* entry, FastKind kind) {
    if (entry->op == fast_op(kind)) const_cast<Instruction*>(entry)->op = fast_op(twin_kind(kind));
}

// Where the in-list jump entry `jump` goes: its byte distance added to it.
TARNEL_HANDLER const Instruction* jump_target_entry(const Instruction* jump) {
    return reinterpret_cast<const Instruction*>(reinterpret_cast<const char*>(jump) + jump_bytes(*jump));
}
// Where the jump after the fused comparison `compare` goes. Counted from
// the comparison, the entry's size folds into the addressing: one
// instruction fewer than taking the jump entry's address first.
TARNEL_HANDLER const Instruction* fused_target_entry(const Instruction* compare) {
    return reinterpret_cast<const Instruction*>(reinterpret_cast<const char*>(compare) +
                                                (jump_bytes(compare[1]) + int64_t{sizeof(Instruction)}));
}

template <bool Watched>
Status run(ExecContext& c, [[maybe_unused]] LimitPoller* poller, [[maybe_unused]] uint64_t next_poll) {
    VmState& s = c.s;
    if (s.caches.fast_code.empty()) {
        s.caches.fast_code = build_fast_code(s.instructions, true, register_file_offset(s));
        if (s.declared_any_tag) store_declared_tags(s.caches.fast_code);
    }
    const uint64_t size = s.instructions.size();
    if (s.pc >= size) return Status::Next;
    const Instruction* const code = s.caches.fast_code.data();
    const Instruction* ip = code + s.pc;  // the next instruction to fetch
    const Instruction* f = nullptr;       // the instruction being executed
    // The instruction count is count + TARNEL_BIAS: in a watched run the bias is
    // the count of the next poll, kept by the poller (in memory, so that it
    // takes no machine register from the loop); 0 in an ordinary run.
#define TARNEL_BIAS (Watched ? poller->poll_count() : uint64_t{0})
    uint64_t count = s.instruction_count - TARNEL_BIAS;
    // Registers and tags are reached from a local, not through `c`: a tag
    // store is a byte store, which the compiler must assume can change any
    // memory, `c` included. One base for both keeps a machine register free.
    VmState* const base = &s;
    auto& regs = base->registers;
    auto& tags = base->register_types;
    Status status = Status::Next;

#define TARNEL_LABEL_ADDRESS(name, ...) &&label_##name,
#define TARNEL_FAST_ADDRESS(name) &&fast_##name,
    static const void* const dispatch_table[kFastKindCount] = {TARNEL_INSTRUCTIONS(TARNEL_LABEL_ADDRESS)
                                                                   TARNEL_FAST_KINDS(TARNEL_FAST_ADDRESS)};
#undef TARNEL_LABEL_ADDRESS
#undef TARNEL_FAST_ADDRESS

#define TARNEL_NEXT()                                      \
    do {                                                   \
        f = ip++;                                          \
        ++count;                                           \
        goto* dispatch_table[static_cast<uint8_t>(f->op)]; \
    } while (0)
// Ends the run with pc just past the instruction being executed.
#define TARNEL_LEAVE(st)                           \
    do {                                           \
        s.pc = static_cast<uint64_t>(ip - code);   \
        s.instruction_count = count + TARNEL_BIAS; \
        return st;                                 \
    } while (0)
// The fetch after a control transfer, where a watched run may poll: once
// the count has reached the poll's, it polls instead of dispatching (and
// the poll takes the fetch back). Testing the count after the fetch has
// incremented it costs a test and a branch on a register already at hand.
// The empty asm keeps the dispatch in line after that branch: the compiler
// copies a computed goto only into a block with a single way out, and
// without it every transfer would jump to one shared dispatch.
#define TARNEL_NEXT_AFTER_TRANSFER()                                                     \
    do {                                                                                 \
        f = ip++;                                                                        \
        ++count;                                                                         \
        if (Watched && __builtin_expect(static_cast<int64_t>(count) >= 0, 0)) goto poll; \
        if (Watched) asm volatile("");                                                   \
        goto* dispatch_table[static_cast<uint8_t>(f->op)];                               \
    } while (0)
// A jump taken to entry `to`; `label` is the jump's index as last_jump
// records it.
#define TARNEL_TAKE_JUMP(label, to)   \
    do {                              \
        s.last_jump = (label);        \
        ip = (to);                    \
        TARNEL_NEXT_AFTER_TRANSFER(); \
    } while (0)

    try {
        TARNEL_NEXT();

// A loaded kind: its handler, given the exact pc when it uses one.
#define TARNEL_LABEL_BODY(name, ...)                                       \
    label_##name : if (quick_path<Opcode::name>(*f, base)) TARNEL_NEXT();  \
    if (moves_pc(Opcode::name)) s.pc = static_cast<uint64_t>(ip - code);   \
    status = op_##name<false>(c, Operands<Opcode::name>{*f});              \
    if (__builtin_expect(status != Status::Next, 0)) TARNEL_LEAVE(status); \
    if (moves_pc(Opcode::name)) {                                          \
        if (s.pc >= size) {                                                \
            s.instruction_count = count + TARNEL_BIAS;                     \
            return Status::Next;                                           \
        }                                                                  \
        ip = code + s.pc;                                                  \
        TARNEL_NEXT_AFTER_TRANSFER();                                      \
    }                                                                      \
    TARNEL_NEXT();
        TARNEL_INSTRUCTIONS(TARNEL_LABEL_BODY)
#undef TARNEL_LABEL_BODY

    fast_End:
        // Past the last instruction: not an instruction, so not counted.
        --count;
        ip = f;
        TARNEL_LEAVE(Status::Next);

    poll:
        // Between two instructions: f, fetched, has not run.
        ip = f;
        --count;
        s.pc = static_cast<uint64_t>(ip - code);
        count += TARNEL_BIAS;
        s.instruction_count = count;
        next_poll = poller->next_poll(count, size);
        if (next_poll == 0) {
            // Stopped, or near the budget: the engine counts the rest.
            if (poller->counting()) return Status::Next;
            c.error = LimitReached{*poller->stopped};
            return Status::Error;
        }
        count -= next_poll;
        TARNEL_NEXT();

// A scaled arithmetic entry, plain or in place, testing Ints or Floats
// first; one that found the other type becomes its twin. The cases the
// quick path leaves run the ordinary handler on the loaded instruction at
// the same index, whose operands are register numbers.
#define TARNEL_SCALED_BODY(name, form, in_place, floats_first)                             \
    fast_##name##form : {                                                                  \
        const Took took = quick_scaled<Opcode::name##R, in_place, floats_first>(*f, base); \
        if (took == (floats_first ? Took::Floats : Took::Ints)) TARNEL_NEXT();             \
        if (took != Took::Neither) {                                                       \
            retype(f, FastKind::name##form);                                               \
            TARNEL_NEXT();                                                                 \
        }                                                                                  \
    }                                                                                      \
    f = s.instructions.data() + (f - code);                                                \
    goto label_##name##R;
        TARNEL_SCALED_BODY(Add, Scaled, false, false)
        TARNEL_SCALED_BODY(Sub, Scaled, false, false)
        TARNEL_SCALED_BODY(Mul, Scaled, false, false)
        TARNEL_SCALED_BODY(Div, Scaled, false, false)
        TARNEL_SCALED_BODY(Add, InPlace, true, false)
        TARNEL_SCALED_BODY(Sub, InPlace, true, false)
        TARNEL_SCALED_BODY(Mul, InPlace, true, false)
        TARNEL_SCALED_BODY(Add, FloatScaled, false, true)
        TARNEL_SCALED_BODY(Sub, FloatScaled, false, true)
        TARNEL_SCALED_BODY(Mul, FloatScaled, false, true)
        TARNEL_SCALED_BODY(Div, FloatScaled, false, true)
        TARNEL_SCALED_BODY(Add, FloatInPlace, true, true)
        TARNEL_SCALED_BODY(Sub, FloatInPlace, true, true)
        TARNEL_SCALED_BODY(Mul, FloatInPlace, true, true)
#undef TARNEL_SCALED_BODY
    fast_NegScaled:  // no twin: it tests Floats first
        if (quick_scaled<Opcode::NegR>(*f, base) != Took::Neither) TARNEL_NEXT();
        f = s.instructions.data() + (f - code);
        goto label_NegR;

    fast_JumpIn:
        TARNEL_TAKE_JUMP(jump_label(*f), jump_target_entry(f));
        TARNEL_NEXT();
    fast_JumpIfIn:
        if (truthy(regs[f->a])) TARNEL_TAKE_JUMP(jump_label(*f), jump_target_entry(f));
        TARNEL_NEXT();
    fast_JumpIfNotIn:
        if (!truthy(regs[f->a])) TARNEL_TAKE_JUMP(jump_label(*f), jump_target_entry(f));
        TARNEL_NEXT();

        // A call whose site has seen its callee string before, into a frame that
        // saves part of r0..r63: the frame is pushed and the arguments passed
        // without leaving the loop; pc and the count stay in locals. Anything else
        // (a new callee, a full stack, a declared tag, full frames) takes the
        // ordinary handler.
    fast_Call: {
        const CallSiteCache& site = s.caches.call_sites[f->wide];
        if (__builtin_expect(!frames::call_is_quick(s, site, regs[f->a]), 0)) goto label_CallR;
        ip = code + frames::enter_quick_call(s, site, f->b);
        TARNEL_NEXT_AFTER_TRANSFER();
    }

        // A return into a frame that saves part of r0..r63 while no tag is
        // declared, with no result or a scalar one; a return from the
        // outermost level, into a full frame or with a heap result takes the
        // ordinary handler.
    fast_Return: {
        if (__builtin_expect(!frames::return_is_quick(s, f->wide != 0, f->a), 0)) goto label_ReturnR;
        const uint64_t to = frames::leave_quick_return(s, f->wide != 0, f->a);
        // A partial frame returns to the index after a CallR of this load,
        // at most the list's size, where End stops an ordinary run. A
        // watched run stops there before its poll could.
        if (Watched && __builtin_expect(to >= size, 0)) {
            s.pc = to;
            s.instruction_count = count + TARNEL_BIAS;
            return Status::Next;
        }
        ip = code + to;
        TARNEL_NEXT_AFTER_TRANSFER();
    }

// The end of a fused comparison whose `outcome` is known: the compare's
// register written as the comparison writes it, the `counted` instructions
// not counted yet (the jump, and in a group the comparison too) counted in
// one addition, and the jump taken or stepped over.
#define TARNEL_FUSED_JUMP(name, outcome, counted)                                                                   \
    do {                                                                                                            \
        at_offset(base, scaled_dst(*f)).set_bool(outcome);                                                          \
        tags[f->a] = ValueType::Bool;                                                                               \
        count += (counted);                                                                                         \
        if ((outcome) == jumps_if_true<FastKind::name>()) TARNEL_TAKE_JUMP(fused_label(*f), fused_target_entry(f)); \
        ++ip;                                                                                                       \
        TARNEL_NEXT();                                                                                              \
    } while (0)

// A comparison and the conditional jump that tests its register: both
// counted, the register written exactly as the comparison writes it. When
// the operands are not two Ints or two Floats the comparison runs alone
// and the jump follows as an instruction of its own.
#define TARNEL_FUSED_BODY(name)                                                                                 \
    fast_##name : {                                                                                             \
        const int outcome =                                                                                     \
            quick_compare<FastKind::name>(at_offset(base, scaled_left(*f)), at_offset(base, scaled_right(*f))); \
        if (__builtin_expect(outcome < 0, 0)) {                                                                 \
            status = general_compare<FastKind::name>(c, s.instructions[f - code]);                              \
            if (status != Status::Next) TARNEL_LEAVE(status);                                                   \
            TARNEL_NEXT();                                                                                      \
        }                                                                                                       \
        TARNEL_FUSED_JUMP(name, outcome != 0, 1);                                                               \
    }
        TARNEL_FUSED_BODY(LtJumpIf)
        TARNEL_FUSED_BODY(LtJumpIfNot)
        TARNEL_FUSED_BODY(LteJumpIf)
        TARNEL_FUSED_BODY(LteJumpIfNot)
        TARNEL_FUSED_BODY(GtJumpIf)
        TARNEL_FUSED_BODY(GtJumpIfNot)
        TARNEL_FUSED_BODY(GteJumpIf)
        TARNEL_FUSED_BODY(GteJumpIfNot)
        TARNEL_FUSED_BODY(EqJumpIf)
        TARNEL_FUSED_BODY(EqJumpIfNot)
        TARNEL_FUSED_BODY(NeqJumpIf)
        TARNEL_FUSED_BODY(NeqJumpIfNot)
#undef TARNEL_FUSED_BODY

// An in-place AddR and the fused comparison after it that tests its result: three
// instructions counted, each register written as the separate instructions
// write it, in their order (the comparison's left operand is the sum).
// Operands other than Ints, an overflow or a right operand of the
// comparison that is not an Int leave the group: the AddR's handler runs at
// its own index, or the comparison's entry runs on its own after the sum.
#define TARNEL_GROUP_BODY(name)                                                                           \
    fast_Add##name : {                                                                                    \
        const Value& l = at_offset(base, scaled_left(*f));                                                \
        const Value& r = at_offset(base, scaled_right(*f));                                               \
        int64_t sum;                                                                                      \
        if (__builtin_expect(!both_int(l, r) || __builtin_add_overflow(l.as_int(), r.as_int(), &sum), 0)) \
            goto fast_AddInPlace;                                                                         \
        at_offset(base, scaled_dst(*f)).replace_int(sum); /* its declared tag is Int already */           \
        f = ip++;                                                                                         \
        const Value& bound = at_offset(base, scaled_right(*f));                                           \
        if (__builtin_expect(!bound.is(ValueType::Int), 0)) {                                             \
            ++count; /* the comparison, which its own entry runs */                                       \
            goto fast_##name;                                                                             \
        }                                                                                                 \
        const bool outcome = int_relation<FastKind::name>(sum, bound.as_int());                           \
        TARNEL_FUSED_JUMP(name, outcome, 2);                                                              \
    }
        TARNEL_GROUP_BODY(LtJumpIf)
        TARNEL_GROUP_BODY(LtJumpIfNot)
        TARNEL_GROUP_BODY(LteJumpIf)
        TARNEL_GROUP_BODY(LteJumpIfNot)
        TARNEL_GROUP_BODY(GtJumpIf)
        TARNEL_GROUP_BODY(GtJumpIfNot)
        TARNEL_GROUP_BODY(GteJumpIf)
        TARNEL_GROUP_BODY(GteJumpIfNot)
        TARNEL_GROUP_BODY(EqJumpIf)
        TARNEL_GROUP_BODY(EqJumpIfNot)
        TARNEL_GROUP_BODY(NeqJumpIf)
        TARNEL_GROUP_BODY(NeqJumpIfNot)
#undef TARNEL_GROUP_BODY
#undef TARNEL_FUSED_JUMP

    } catch (...) {
        // A handler ran out of memory: the run still counted the instruction
        // and moved past it, as the debug loop does.
        s.pc = static_cast<uint64_t>(ip - code);
        s.instruction_count = count + TARNEL_BIAS;
        throw;
    }
#undef TARNEL_NEXT
#undef TARNEL_LEAVE
#undef TARNEL_TAKE_JUMP
#undef TARNEL_NEXT_AFTER_TRANSFER
#undef TARNEL_BIAS
}

}  // namespace

Status run_fast(ExecContext& c) { return run<false>(c, nullptr, UINT64_MAX); }

Status run_fast_watched(ExecContext& c, LimitPoller& poller, uint64_t next_poll) {
    return run<true>(c, &poller, next_poll);
}

}  // namespace tarnel
