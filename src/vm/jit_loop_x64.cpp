// The typed loops of the machine-code tier (jit_loop_x64.hpp).
//
// Machine registers, on top of the ordinary code's (rbx the frame, r12 the
// register file, r13 the declared tags, r14 the count, r15 the last jump,
// rbp the call stack's end): rax and rdx scratch, xmm0 scratch, xmm14
// the sign bit for NegR, xmm15 zero for the division test; rcx, rsi, rdi and
// r8 to r11 hold Ints, Bools and arrays' element ranges, xmm1 to xmm13 Floats.
// The loop calls nothing, so none of them needs saving. Truth registers stay
// in the register file, tag and all.
#if TARNEL_JIT_X64

#include "vm/jit_loop_x64.hpp"

#include <algorithm>
#include <deque>
#include <functional>
#include <map>

#include "vm/fast_code.hpp"
#include "vm/jit_code.hpp"
#include "vm/jit_x64_layout.hpp"

namespace tarnel::jit {
namespace {

using Xbyak::Label;
using Xbyak::Reg64;
using Xbyak::Xmm;
using namespace Xbyak::util;

constexpr int kGeneralCount = 7;
constexpr int kFloatingCount = 13;

Reg64 general(int n) {
    static const Reg64 registers[kGeneralCount] = {rcx, rsi, rdi, r8, r9, r10, r11};
    return registers[n];
}
Xmm floating(int n) { return Xmm(n + 1); }

// A Truth register's test, the tag ANDed with the payload's low byte, holds
// for a Bool true alone: Empty's tag is 0, Bool's 1, and a Bool's payload is
// 0 or 1.
constexpr uint8_t kEmpty = static_cast<uint8_t>(ValueType::Empty);
static_assert(kEmpty == 0 && kBool == 1);

uint8_t tag_of(Kept kept) {
    switch (kept) {
        case Kept::Int:
            return kInt;
        case Kept::Float:
            return kFloat;
        case Kept::Bool:
            return kBool;
        default:
            return kArray;
    }
}

// An x86 condition, as the low four bits of its jcc and setcc opcodes, so
// that negating one flips its lowest bit.
enum class Cond : uint8_t {
    Below = 0x2,
    AboveEqual = 0x3,
    Equal = 0x4,
    NotEqual = 0x5,
    BelowEqual = 0x6,
    Above = 0x7,
    Less = 0xC,
    GreaterEqual = 0xD,
    LessEqual = 0xE,
    Greater = 0xF,
};

Cond negation(Cond cond) { return static_cast<Cond>(static_cast<uint8_t>(cond) ^ 1); }

class LoopEmitter {
public:
    LoopEmitter(Xbyak::CodeGenerator& code, const std::vector<Instruction>& list,
                const std::vector<Constant>& constants, const LoopPlan& plan, LoopSurroundings& around)
        : code_(code), list_(list), constants_(constants), plan_(plan), around_(around) {
        general_.fill(-1);
        floating_.fill(-1);
    }

    bool emit() {
        if (!allocate()) return false;
        find_inner_targets();
        entry();
        code_.L(top_);
        for (uint64_t k = plan_.head; k <= plan_.last;) {
            if (inner_.count(k)) {
                flush();
                code_.L(inner_[k]);
            }
            k += instruction(k);
        }
        flush();  // off the loop's end
        store_back();
        code_.jmp(around_.at[plan_.last + 1], Xbyak::CodeGenerator::T_NEAR);
        for (const auto& emit_cold : cold_) emit_cold();
        return true;
    }

private:
    // ---- where each register lives ----------------------------------------

    // Arrays first (two general registers each, or no loop), then the
    // registers the loop writes, most named first, then the ones it reads.
    bool allocate() {
        int next_general = 0;
        int next_floating = 0;
        for (int r = 0; r < 256; ++r) {
            if (plan_.kept[r] != Kept::Array) continue;
            if (!array_layout().known || next_general + 2 > kGeneralCount) return false;
            begin_[r] = next_general++;
            length_[r] = next_general++;
        }
        std::vector<int> order;
        for (int r = 0; r < 256; ++r)
            if (plan_.kept[r] != Kept::Unused && plan_.kept[r] != Kept::Array && plan_.kept[r] != Kept::Truth)
                order.push_back(r);
        std::sort(order.begin(), order.end(), [&](int x, int y) {
            if (plan_.written[x] != plan_.written[y]) return plan_.written[x] > plan_.written[y];
            if (plan_.uses[x] != plan_.uses[y]) return plan_.uses[x] > plan_.uses[y];
            return x < y;
        });
        for (int r : order) {
            if (plan_.kept[r] == Kept::Float) {
                if (next_floating < kFloatingCount) floating_[r] = next_floating++;
            } else if (next_general < kGeneralCount) {
                general_[r] = next_general++;
            }
        }
        return true;
    }

    bool in_general(uint8_t r) const { return general_[r] >= 0; }
    bool in_floating(uint8_t r) const { return floating_[r] >= 0; }
    Reg64 reg(uint8_t r) const { return general(general_[r]); }
    Xmm xmm(uint8_t r) const { return floating(floating_[r]); }
    Reg64 begin(uint8_t r) const { return general(begin_[r]); }
    Reg64 length(uint8_t r) const { return general(length_[r]); }
    Xbyak::RegExp value_of(uint8_t r) const {
        return (around_.windowed && r < kWindowSize ? rbp : r12) + 16 * static_cast<int>(r);
    }
    Xbyak::Address payload(uint8_t r) const { return qword[value_of(r) + 8]; }
    Xbyak::Address tag(uint8_t r) const { return byte[value_of(r)]; }
    static Xbyak::Address declared(uint8_t r) { return byte[r13 + static_cast<int>(r)]; }

    // Calls `use` with where register r is: its machine register or its
    // payload in the register file.
    template <class Use>
    void with(uint8_t r, Use&& use) {
        if (in_general(r))
            use(reg(r));
        else if (in_floating(r))
            use(xmm(r));
        else
            use(payload(r));
    }

    // An Int or Bool in `into` (which it returns), or its own register.
    void load_int(const Reg64& into, uint8_t r) {
        if (!in_general(r))
            code_.mov(into, payload(r));
        else if (reg(r) != into)
            code_.mov(into, reg(r));
    }
    Reg64 int_in(uint8_t r, const Reg64& into) {
        if (in_general(r)) return reg(r);
        load_int(into, r);
        return into;
    }
    void store_int(uint8_t r, const Reg64& value) {
        if (!in_general(r))
            code_.mov(payload(r), value);
        else if (reg(r) != value)
            code_.mov(reg(r), value);
    }
    Xmm float_in(uint8_t r, const Xmm& into) {
        if (in_floating(r)) return xmm(r);
        load_float(into, r);
        return into;
    }
    void load_float(const Xmm& into, uint8_t r) {
        if (!in_floating(r))
            code_.movsd(into, payload(r));
        else if (xmm(r) != into)
            code_.movapd(into, xmm(r));
    }
    void store_float(uint8_t r, const Xmm& value) {
        if (!in_floating(r))
            code_.movsd(payload(r), value);
        else if (xmm(r) != value)
            code_.movapd(xmm(r), value);
    }

    // ---- entry, exits and the count ----------------------------------------

    void entry() {
        const Label& ordinary = around_.head_code;
        bool negates_floats = false, divides_floats = false;
        for (uint64_t k = plan_.head; k <= plan_.last; ++k) {
            const Instruction& ins = list_[k];
            negates_floats |= ins.op == Opcode::NegR && plan_.kept[ins.a] == Kept::Float;
            divides_floats |= ins.op == Opcode::DivR && plan_.kept[ins.a] == Kept::Float;
        }
        for (int r = 0; r < 256; ++r) {
            const Kept kept = plan_.kept[r];
            if (kept == Kept::Unused) continue;
            if (kept == Kept::Truth) {  // Empty or Bool; whatever it is declared, only ArrayGetR writes it
                code_.cmp(tag(r), kBool);
                code_.ja(ordinary, Xbyak::CodeGenerator::T_NEAR);
                continue;
            }
            code_.cmp(tag(r), tag_of(kept));
            code_.jne(ordinary, Xbyak::CodeGenerator::T_NEAR);
            if (!plan_.written[r] && !plan_.stored[r]) continue;
            code_.cmp(declared(r), tag_of(kept));
            code_.jne(ordinary, Xbyak::CodeGenerator::T_NEAR);
        }
        for (int r = 0; r < 256; ++r) {
            if (plan_.kept[r] != Kept::Array) continue;
            const ArrayLayout& layout = array_layout();
            code_.mov(rax, payload(r));
            if (plan_.stored[r]) {  // a shared array is copied before a store: the ordinary code
                code_.cmp(dword[rax + layout.refs], 1);
                code_.jne(ordinary, Xbyak::CodeGenerator::T_NEAR);
            }
            code_.mov(begin(r), qword[rax + layout.begin]);
            code_.mov(length(r), qword[rax + layout.end]);
            code_.sub(length(r), begin(r));
            code_.shr(length(r), 4);
        }
        for (int r = 0; r < 256; ++r) {
            if (in_general(r)) code_.mov(reg(r), payload(r));
            if (in_floating(r)) code_.movsd(xmm(r), payload(r));
        }
        if (negates_floats) {
            code_.mov(rax, uint64_t{1} << 63);
            code_.movq(xmm14, rax);
        }
        if (divides_floats) code_.xorpd(xmm15, xmm15);
    }

    // The count against the poll's, which stays in the frame: the loop
    // keeps rbp, the call stack's end, for the code around it.
    void poll_compare() { code_.cmp(r14, ptr[rbx + offsetof(MachineFrame, poll_at)]); }

    // The registers the loop writes, from machine registers back into the
    // register file. Their tags and declared tags were checked on entry and
    // stay as they are.
    void store_back() {
        for (int r = 0; r < 256; ++r) {
            if (!plan_.written[r]) continue;
            if (in_general(r)) code_.mov(payload(r), reg(r));
            if (in_floating(r)) code_.movsd(payload(r), xmm(r));
        }
    }

    // Adds the instructions counted since the last jump or label.
    void flush() {
        if (pending_ != 0) code_.add(r14, static_cast<uint32_t>(pending_));
        pending_ = 0;
    }
    void flush_keeping_flags() {
        if (pending_ != 0) code_.lea(r14, ptr[r14 + static_cast<int>(pending_)]);
        pending_ = 0;
    }

    const Label& ordinary_code(uint64_t k) const { return k == plan_.head ? around_.head_code : around_.at[k]; }

    Label& fresh() { return labels_.emplace_back(); }

    // Where instruction k goes when its typed form cannot go on: `undo`
    // first puts back a register changed in place.
    const Label& side_exit(uint64_t k, std::function<void()> undo = {}) {
        Label& label = fresh();
        cold_.push_back([this, &label, k, pending = pending_, undo] {
            code_.L(label);
            if (undo) undo();
            if (pending != 0) code_.add(r14, static_cast<uint32_t>(pending));
            store_back();
            code_.jmp(ordinary_code(k), Xbyak::CodeGenerator::T_NEAR);
        });
        return label;
    }

    // A taken jump to `target` outside the loop, as the ordinary code takes
    // it: a poll first when one is due.
    void leave_by_jump(uint64_t k, uint64_t target) {
        code_.mov(r15, static_cast<uint32_t>(k));
        store_back();
        poll_compare();
        around_.needs_poll[target] = true;
        code_.jae(around_.poll[target], Xbyak::CodeGenerator::T_NEAR);
        code_.jmp(around_.at[target], Xbyak::CodeGenerator::T_NEAR);
    }

    // A taken jump at k back to `target` in the loop (its head or an inner
    // loop's): polls as every taken jump does.
    void jump_back(uint64_t k, uint64_t target) {
        code_.mov(r15, static_cast<uint32_t>(k));
        poll_compare();
        code_.jae(poll_due(target), Xbyak::CodeGenerator::T_NEAR);
        code_.jmp(target == plan_.head ? top_ : inner_[target], Xbyak::CodeGenerator::T_NEAR);
    }

    // Leaves with pc = target for the poll, once per target.
    const Label& poll_due(uint64_t target) {
        const auto known = poll_due_.find(target);
        if (known != poll_due_.end()) return known->second;
        Label& label = poll_due_[target];
        cold_.push_back([this, &label, target] {
            code_.L(label);
            store_back();
            around_.needs_poll[target] = true;
            code_.jmp(around_.poll[target], Xbyak::CodeGenerator::T_NEAR);
        });
        return label;
    }

    // jcc and setcc by condition code (Cond).
    using Generator = Xbyak::CodeGenerator;
    void jump_if(Cond cond, const Label& label) {
        static constexpr void (Generator::*kJumps[16])(const Label&, Generator::LabelType) = {
            &Generator::jo,  &Generator::jno, &Generator::jb,  &Generator::jae, &Generator::je, &Generator::jne,
            &Generator::jbe, &Generator::ja,  &Generator::js,  &Generator::jns, &Generator::jp, &Generator::jnp,
            &Generator::jl,  &Generator::jge, &Generator::jle, &Generator::jg};
        (code_.*kJumps[static_cast<uint8_t>(cond)])(label, Generator::T_NEAR);
    }
    void set_if(Cond cond, const Xbyak::Reg8& out) {
        static constexpr void (Generator::*kSets[16])(const Xbyak::Operand&) = {
            &Generator::seto, &Generator::setno, &Generator::setb,  &Generator::setae,
            &Generator::sete, &Generator::setne, &Generator::setbe, &Generator::seta,
            &Generator::sets, &Generator::setns, &Generator::setp,  &Generator::setnp,
            &Generator::setl, &Generator::setge, &Generator::setle, &Generator::setg};
        (code_.*kSets[static_cast<uint8_t>(cond)])(out);
    }

    // The jump at k (already counted) when `cond` holds.
    void conditional_jump(uint64_t k, uint64_t target, Cond cond) {
        flush_keeping_flags();
        if (target <= k) {
            Label& stay = fresh();
            jump_if(negation(cond), stay);
            jump_back(k, target);
            code_.L(stay);
        } else if (plan_.contains(target)) {
            Label& stay = fresh();
            jump_if(negation(cond), stay);
            code_.mov(r15, static_cast<uint32_t>(k));
            code_.jmp(inner_[target], Xbyak::CodeGenerator::T_NEAR);
            code_.L(stay);
        } else {
            Label& out = fresh();
            jump_if(cond, out);
            cold_.push_back([this, &out, k, target] {
                code_.L(out);
                leave_by_jump(k, target);
            });
        }
    }

    // ---- the instructions --------------------------------------------------

    void find_inner_targets() {
        for (uint64_t k = plan_.head; k <= plan_.last; ++k) {
            const Instruction& ins = list_[k];
            if (ins.op != Opcode::JumpR && ins.op != Opcode::JumpIfR && ins.op != Opcode::JumpIfNotR) continue;
            const uint64_t target = jump_target(k, ins.offset());
            if (target != plan_.head && plan_.contains(target)) inner_[target];
        }
    }

    // Emits instruction k; returns how many instructions that covered (a
    // comparison and the jump that tests it are one).
    uint64_t instruction(uint64_t k) {
        const Instruction& ins = list_[k];
        switch (ins.op) {
            case Opcode::Nop:
                break;
            case Opcode::LoadConstR:
                load_constant(ins);
                break;
            case Opcode::MoveR:
                move(ins);
                break;
            case Opcode::AddR:
            case Opcode::SubR:
            case Opcode::MulR:
            case Opcode::DivR:
                if (plan_.kept[ins.a] == Kept::Int)
                    int_arithmetic(k, ins);
                else
                    float_arithmetic(k, ins);
                break;
            case Opcode::NegR:
                negate(k, ins);
                break;
            case Opcode::LtR:
                return compare(k, ins, ins.b, ins.c, false);
            case Opcode::LteR:
                return compare(k, ins, ins.b, ins.c, true);
            case Opcode::GtR:
                return compare(k, ins, ins.c, ins.b, false);
            case Opcode::GteR:
                return compare(k, ins, ins.c, ins.b, true);
            case Opcode::EqR:
            case Opcode::NeqR:
                return equality(k, ins);
            case Opcode::JumpR:
                jump(k, ins);
                return 1;
            case Opcode::JumpIfR:
            case Opcode::JumpIfNotR:
                test_and_jump(k, ins);
                return 1;
            case Opcode::ArrayGetR:
                array_get(k, ins);
                break;
            case Opcode::ArraySetR:
                array_set(k, ins);
                break;
            default:
                break;  // plan_loops admits no other kind
        }
        ++pending_;
        return 1;
    }

    void load_constant(const Instruction& ins) {
        uint8_t ignored_tag = 0;
        uint64_t bits = 0;
        scalar_bits(constants_[ins.index()].value(), ignored_tag, bits);
        if (in_general(ins.a)) {
            code_.mov(reg(ins.a), bits);
            return;
        }
        code_.mov(rax, bits);
        if (in_floating(ins.a))
            code_.movq(xmm(ins.a), rax);
        else
            code_.mov(payload(ins.a), rax);
    }

    void move(const Instruction& ins) {
        if (plan_.kept[ins.a] == Kept::Float)
            store_float(ins.a, float_in(ins.b, xmm0));
        else
            store_int(ins.a, int_in(ins.b, rax));
    }

    void int_arithmetic(uint64_t k, const Instruction& ins) {
        const Opcode op = ins.op;
        const uint8_t a = ins.a, b = ins.b, c = ins.c;
        if (op == Opcode::DivR) {
            // A positive divisor only: the interpreter reports division by
            // zero and rounds negative ones its own way.
            with(c, [&](const auto& divisor) { code_.cmp(divisor, 0); });
            code_.jle(side_exit(k), Xbyak::CodeGenerator::T_NEAR);
            load_int(rax, b);
            code_.cqo();
            with(c, [&](const auto& divisor) { code_.idiv(divisor); });
            store_int(a, rax);
            return;
        }
        const bool adds = op == Opcode::AddR;
        const bool in_place = in_general(a) && b != c && ((a == b && op != Opcode::MulR) || (a == c && adds));
        if (in_place) {  // a += other, undone in the exit when it overflows
            const uint8_t other = a == b ? c : b;
            with(other, [&](const auto& x) { adds ? code_.add(reg(a), x) : code_.sub(reg(a), x); });
            code_.jo(side_exit(k,
                               [this, a, other, adds] {
                                   with(other,
                                        [&](const auto& x) { adds ? code_.sub(reg(a), x) : code_.add(reg(a), x); });
                               }),
                     Xbyak::CodeGenerator::T_NEAR);
            return;
        }
        load_int(rax, b);
        with(c, [&](const auto& x) {
            if (adds) code_.add(rax, x);
            if (op == Opcode::SubR) code_.sub(rax, x);
            if (op == Opcode::MulR) code_.imul(rax, x);
        });
        code_.jo(side_exit(k), Xbyak::CodeGenerator::T_NEAR);
        store_int(a, rax);
    }

    void float_arithmetic(uint64_t k, const Instruction& ins) {
        const uint8_t a = ins.a, b = ins.b, c = ins.c;
        if (ins.op == Opcode::DivR) {  // a zero divisor, either sign: the interpreter reports it
            Label& nonzero = fresh();
            with(c, [&](const auto& divisor) { code_.ucomisd(xmm15, divisor); });
            code_.jp(nonzero);  // NaN is not zero
            code_.je(side_exit(k), Xbyak::CodeGenerator::T_NEAR);
            code_.L(nonzero);
        }
        // b op c, b first: of two NaNs the first source's is kept, the left
        // one's, as in the interpreter (float_arithmetic.hpp). The result
        // goes to a's register unless that would overwrite c before it is
        // read.
        const Xmm result = in_floating(a) && (a != c || a == b) ? xmm(a) : xmm0;
        load_float(result, b);
        with(c, [&](const auto& x) {
            if (ins.op == Opcode::AddR) code_.addsd(result, x);
            if (ins.op == Opcode::SubR) code_.subsd(result, x);
            if (ins.op == Opcode::MulR) code_.mulsd(result, x);
            if (ins.op == Opcode::DivR) code_.divsd(result, x);
        });
        store_float(a, result);
    }

    void negate(uint64_t k, const Instruction& ins) {
        if (plan_.kept[ins.a] == Kept::Float) {  // the sign bit flipped, NaN included
            const Xmm result = in_floating(ins.a) ? xmm(ins.a) : xmm0;
            load_float(result, ins.b);
            code_.xorpd(result, xmm14);
            store_float(ins.a, result);
            return;
        }
        if (in_general(ins.a) && ins.a == ins.b) {
            code_.neg(reg(ins.a));  // INT64_MIN stays as it was: nothing to undo
            code_.jo(side_exit(k), Xbyak::CodeGenerator::T_NEAR);
            return;
        }
        load_int(rax, ins.b);
        code_.neg(rax);
        code_.jo(side_exit(k), Xbyak::CodeGenerator::T_NEAR);
        store_int(ins.a, rax);
    }

    // dst = x < y (or <=) on Ints or Floats, then the jump that tests dst.
    uint64_t compare(uint64_t k, const Instruction& ins, uint8_t x, uint8_t y, bool or_equal) {
        Cond cond;
        if (plan_.kept[x] == Kept::Int) {
            const Reg64 left = int_in(x, rax);
            with(y, [&](const auto& right) { code_.cmp(left, right); });
            cond = or_equal ? Cond::LessEqual : Cond::Less;
        } else {
            // y above x, unordered (NaN) never: x < y, and with equality x <= y.
            const Xmm upper = float_in(y, xmm0);
            with(x, [&](const auto& lower) { code_.ucomisd(upper, lower); });
            cond = or_equal ? Cond::AboveEqual : Cond::Above;
        }
        return set_and_maybe_jump(k, ins.a, cond);
    }

    uint64_t equality(uint64_t k, const Instruction& ins) {
        const Reg64 left = int_in(ins.b, rax);
        with(ins.c, [&](const auto& right) { code_.cmp(left, right); });
        return set_and_maybe_jump(k, ins.a, ins.op == Opcode::EqR ? Cond::Equal : Cond::NotEqual);
    }

    // Writes the Bool the flags say into `dst`; when the next instruction
    // is a jump on dst that nothing jumps to, takes it on the same flags.
    uint64_t set_and_maybe_jump(uint64_t k, uint8_t dst, Cond cond) {
        set_if(cond, al);
        if (in_general(dst)) {
            code_.movzx(reg(dst).cvt32(), al);
        } else {
            code_.movzx(eax, al);
            code_.mov(payload(dst), rax);
        }
        ++pending_;
        const uint64_t next = k + 1;
        if (next > plan_.last || inner_.count(next)) return 1;
        const Instruction& jump = list_[next];
        if ((jump.op != Opcode::JumpIfR && jump.op != Opcode::JumpIfNotR) || jump.a != dst) return 1;
        ++pending_;
        conditional_jump(next, jump_target(next, jump.offset()), jump.op == Opcode::JumpIfR ? cond : negation(cond));
        return 2;
    }

    void test_and_jump(uint64_t k, const Instruction& ins) {
        if (plan_.kept[ins.a] == Kept::Truth) {
            code_.mov(al, tag(ins.a));
            code_.test(byte[value_of(ins.a) + 8], al);
        } else if (in_general(ins.a)) {
            const Xbyak::Reg8 low = reg(ins.a).cvt8();
            code_.test(low, low);
        } else {
            code_.cmp(byte[value_of(ins.a) + 8], 0);
        }
        ++pending_;
        conditional_jump(k, jump_target(k, ins.offset()), ins.op == Opcode::JumpIfR ? Cond::NotEqual : Cond::Equal);
    }

    void jump(uint64_t k, const Instruction& ins) {
        const uint64_t target = jump_target(k, ins.offset());
        ++pending_;
        flush();
        if (target <= k) {
            jump_back(k, target);
        } else if (plan_.contains(target)) {
            code_.mov(r15, static_cast<uint32_t>(k));
            code_.jmp(inner_[target], Xbyak::CodeGenerator::T_NEAR);
        } else {
            leave_by_jump(k, target);
        }
    }

    // rax = the address of element [index] of `array`, or the side exit
    // when the index is outside it (unsigned: a negative one too).
    void element_address(uint64_t k, uint8_t array, uint8_t index) {
        const Reg64 position = int_in(index, rax);
        code_.cmp(position, length(array));
        code_.jae(side_exit(k), Xbyak::CodeGenerator::T_NEAR);
        if (position != rax) code_.mov(rax, position);
        code_.shl(rax, 4);
        code_.add(rax, begin(array));
    }

    void array_get(uint64_t k, const Instruction& ins) {
        element_address(k, ins.b, ins.c);
        if (plan_.kept[ins.a] == Kept::Truth) {  // the element as it is, tag and payload, like write_register
            code_.movzx(edx, byte[rax]);
            code_.cmp(dl, kBool);
            code_.ja(side_exit(k), Xbyak::CodeGenerator::T_NEAR);
            code_.mov(tag(ins.a), dl);
            code_.mov(declared(ins.a), dl);
            code_.mov(rdx, qword[rax + 8]);
            code_.mov(payload(ins.a), rdx);
            return;
        }
        code_.cmp(byte[rax], tag_of(plan_.kept[ins.a]));
        code_.jne(side_exit(k), Xbyak::CodeGenerator::T_NEAR);
        if (in_general(ins.a)) {
            code_.mov(reg(ins.a), qword[rax + 8]);
        } else if (in_floating(ins.a)) {
            code_.movsd(xmm(ins.a), qword[rax + 8]);
        } else {
            code_.mov(rdx, qword[rax + 8]);
            code_.mov(payload(ins.a), rdx);
        }
    }

    // A scalar over a scalar element: nothing to release.
    void array_set(uint64_t k, const Instruction& ins) {
        element_address(k, ins.a, ins.b);
        code_.cmp(byte[rax], kFirstHeapTag);
        code_.jae(side_exit(k), Xbyak::CodeGenerator::T_NEAR);
        code_.mov(byte[rax], tag_of(plan_.kept[ins.c]));
        if (in_general(ins.c)) {
            code_.mov(qword[rax + 8], reg(ins.c));
        } else if (in_floating(ins.c)) {
            code_.movsd(qword[rax + 8], xmm(ins.c));
        } else {
            code_.mov(rdx, payload(ins.c));
            code_.mov(qword[rax + 8], rdx);
        }
    }

    Xbyak::CodeGenerator& code_;
    const std::vector<Instruction>& list_;
    const std::vector<Constant>& constants_;
    const LoopPlan& plan_;
    LoopSurroundings& around_;
    std::array<int, 256> general_{};
    std::array<int, 256> floating_{};
    std::array<int, 256> begin_{};
    std::array<int, 256> length_{};
    std::map<uint64_t, Label> inner_;  // jump targets inside the loop, its head aside
    std::deque<Label> labels_;         // stable addresses for the labels of the cold code
    std::vector<std::function<void()>> cold_;
    Label top_;
    std::map<uint64_t, Label> poll_due_;  // by the target a jump back polls before
    uint64_t pending_ = 0;                // instructions done since the count was last brought up to date
};

}  // namespace

bool emit_loop(Xbyak::CodeGenerator& code, const std::vector<Instruction>& list, const std::vector<Constant>& constants,
               const LoopPlan& plan, LoopSurroundings& around) {
    return LoopEmitter(code, list, constants, plan, around).emit();
}

}  // namespace tarnel::jit

#endif  // TARNEL_JIT_X64
