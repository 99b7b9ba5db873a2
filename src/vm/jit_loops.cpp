#include "vm/jit_loops.hpp"

#include <map>

#include "vm/fast_code.hpp"

namespace tarnel::jit {
namespace {

// How far before a loop's head the types of the registers it only reads
// are looked for.
constexpr uint64_t kLookBehind = 64;

bool is_jump(Opcode op) { return op == Opcode::JumpR || op == Opcode::JumpIfR || op == Opcode::JumpIfNotR; }

bool is_arithmetic(Opcode op) {
    return op == Opcode::AddR || op == Opcode::SubR || op == Opcode::MulR || op == Opcode::DivR;
}

bool is_ordering(Opcode op) {
    return op == Opcode::LtR || op == Opcode::LteR || op == Opcode::GtR || op == Opcode::GteR;
}

bool has_typed_code(Opcode op) {
    return op == Opcode::Nop || op == Opcode::LoadConstR || op == Opcode::MoveR || op == Opcode::NegR ||
           op == Opcode::ArrayGetR || op == Opcode::ArraySetR || is_arithmetic(op) || is_comparison(op) || is_jump(op);
}

bool is_scalar(Kept kept) { return kept == Kept::Int || kept == Kept::Float || kept == Kept::Bool; }
bool is_number(Kept kept) { return kept == Kept::Int || kept == Kept::Float; }

Kept kept_of(ValueType type) {
    switch (type) {
        case ValueType::Int:
            return Kept::Int;
        case ValueType::Float:
            return Kept::Float;
        case ValueType::Bool:
            return Kept::Bool;
        case ValueType::Array:
            return Kept::Array;
        default:
            return Kept::Unused;
    }
}

Kept constant_kept(const std::vector<Constant>& constants, uint16_t index) {
    return index < constants.size() ? kept_of(constants[index].value().type()) : Kept::Unused;
}

using Types = std::array<Kept, 256>;

// The types registers hold after running code[from..to) straight through,
// jumps ignored; Unused where that code does not say.
Types straight_types(const std::vector<Instruction>& code, const std::vector<Constant>& constants, uint64_t from,
                     uint64_t to) {
    Types types{};
    for (uint64_t i = from; i < to; ++i) {
        const Instruction& ins = code[i];
        const Opcode op = ins.op;
        if (op == Opcode::LoadConstR) {
            types[ins.a] = constant_kept(constants, ins.index());
        } else if (op == Opcode::MoveR) {
            types[ins.a] = types[ins.b];
        } else if (is_arithmetic(op)) {
            const bool same = types[ins.b] == types[ins.c] && is_number(types[ins.b]);
            types[ins.a] = same ? types[ins.b] : Kept::Unused;
        } else if (op == Opcode::NegR) {
            types[ins.a] = is_number(types[ins.b]) ? types[ins.b] : Kept::Unused;
        } else if (is_comparison(op)) {
            types[ins.a] = Kept::Bool;
        } else if (op == Opcode::NewArrayR) {
            types[ins.a] = Kept::Array;
        } else if (op == Opcode::CallR) {
            types.fill(Kept::Unused);  // a callee may leave anything in r64 and up
        } else {
            for (const OperandSpec& operand : info(op).operands)
                if (!operand.name.empty() && operand.kind == OperandKind::Reg && operand.is_written_register())
                    types[ins.reg(operand.slot)] = Kept::Unused;
        }
    }
    return types;
}

// Whether code[head..last] has typed code throughout and never jumps back
// before its head (inner loops are part of it) or out of the list.
bool has_loop_shape(const std::vector<Instruction>& code, uint64_t head, uint64_t last) {
    for (uint64_t i = head; i <= last; ++i) {
        const Instruction& ins = code[i];
        if (!has_typed_code(ins.op)) return false;
        if (!is_jump(ins.op)) continue;
        const uint64_t target = jump_target(i, ins.offset());
        if (target >= code.size() || (target <= i && target < head)) return false;
    }
    return true;
}

// The types of a loop's registers, found by propagating what each
// instruction says about its operands until nothing changes.
class Typing {
public:
    // `written`: the registers the loop writes (LoopPlan::written).
    Typing(const std::vector<Instruction>& code, const std::vector<Constant>& constants, uint64_t head, uint64_t last,
           const std::bitset<256>& written, const SeenTypes* seen)
        : code_(code), constants_(constants), head_(head), last_(last), written_(written), seen_(seen) {}

    bool solve(Types& kept) {
        propagate();
        // Registers the loop says nothing about take the type the code
        // before the head leaves them, and that may settle others.
        const uint64_t from = head_ > kLookBehind ? head_ - kLookBehind : 0;
        const Types before = straight_types(code_, constants_, from, head_);
        fill_unknown(before);
        if (seen_) {
            Types seen{};
            for (size_t r = 0; r < seen.size(); ++r) seen[r] = kept_of((*seen_)[r]);
            fill_unknown(seen);
        }
        if (conflict_) return false;
        for (uint64_t i = head_; i <= last_; ++i)
            if (!fits(code_[i]) || enters_never(code_[i], before)) return false;
        kept = kept_;
        return true;
    }

    static std::vector<uint8_t> registers_of(const Instruction& ins) {
        std::vector<uint8_t> registers;
        for (const OperandSpec& operand : info(ins.op).operands)
            if (!operand.name.empty() && operand.kind == OperandKind::Reg) registers.push_back(ins.reg(operand.slot));
        return registers;
    }

private:
    // Gives the registers the loop names but says nothing about the type
    // `guess` has for them, one at a time, each settling what it can.
    void fill_unknown(const Types& guess) {
        for (uint64_t i = head_; i <= last_ && !conflict_; ++i)
            for (uint8_t r : registers_of(code_[i]))
                if (kept_[r] == Kept::Unused && guess[r] != Kept::Unused) {
                    kept_[r] = guess[r];
                    propagate();
                }
    }

    void need(uint8_t r, Kept kept) {
        if (kept_[r] == Kept::Unused) {
            kept_[r] = kept;
            changed_ = true;
        } else if (kept_[r] != kept) {
            conflict_ = true;
        }
    }
    void same(uint8_t x, uint8_t y) {
        if (kept_[x] != Kept::Unused) need(y, kept_[x]);
        if (kept_[y] != Kept::Unused) need(x, kept_[y]);
    }

    void learn(const Instruction& ins) {
        const Opcode op = ins.op;
        if (op == Opcode::LoadConstR) {
            const Kept kept = constant_kept(constants_, ins.index());
            if (is_scalar(kept))
                need(ins.a, kept);
            else
                conflict_ = true;
        } else if (op == Opcode::MoveR || op == Opcode::NegR) {
            same(ins.a, ins.b);
        } else if (is_arithmetic(op)) {
            same(ins.a, ins.b);
            same(ins.b, ins.c);
            same(ins.a, ins.c);
        } else if (is_comparison(op)) {
            same(ins.b, ins.c);
            need(ins.a, Kept::Bool);
        } else if (op == Opcode::JumpIfR || op == Opcode::JumpIfNotR) {
            need(ins.a, Kept::Bool);
        } else if (op == Opcode::ArrayGetR) {
            need(ins.b, Kept::Array);
            need(ins.c, Kept::Int);
        } else if (op == Opcode::ArraySetR) {
            need(ins.a, Kept::Array);
            need(ins.b, Kept::Int);
        }
    }

    void propagate() {
        do {
            changed_ = false;
            for (uint64_t i = head_; i <= last_ && !conflict_; ++i) learn(code_[i]);
        } while (changed_ && !conflict_);
    }

    // Whether `ins` reads a register that the loop never writes and that
    // the code before it leaves with another type: the entry would always
    // find it so.
    bool enters_never(const Instruction& ins, const Types& before) const {
        for (uint8_t r : registers_of(ins))
            if (before[r] != Kept::Unused && before[r] != kept_[r] && !written_[r]) return true;
        return false;
    }

    // Whether the machine code has a typed form for `ins` on these types.
    bool fits(const Instruction& ins) const {
        for (uint8_t r : registers_of(ins))
            if (kept_[r] == Kept::Unused) return false;
        const Opcode op = ins.op;
        if (op == Opcode::MoveR) return is_scalar(kept_[ins.a]);
        if (is_arithmetic(op) || op == Opcode::NegR) return is_number(kept_[ins.a]);
        if (is_ordering(op)) return is_number(kept_[ins.b]);
        if (is_comparison(op)) return kept_[ins.b] == Kept::Int;  // Float equality: the handler
        if (op == Opcode::ArrayGetR) return is_scalar(kept_[ins.a]);
        if (op == Opcode::ArraySetR) return is_scalar(kept_[ins.c]);
        return true;
    }

    const std::vector<Instruction>& code_;
    const std::vector<Constant>& constants_;
    const uint64_t head_, last_;
    const std::bitset<256>& written_;
    const SeenTypes* seen_;
    Types kept_{};
    bool changed_ = false;
    bool conflict_ = false;
};

void note_registers(const std::vector<Instruction>& code, LoopPlan& plan) {
    for (uint64_t i = plan.head; i <= plan.last; ++i) {
        const Instruction& ins = code[i];
        for (uint8_t r : Typing::registers_of(ins)) ++plan.uses[r];
        if (ins.op == Opcode::ArraySetR)
            plan.stored.set(ins.a);
        else if (ins.op != Opcode::Nop && !is_jump(ins.op))
            plan.written.set(ins.a);
    }
}

// Bool registers the loop names only as an ArrayGetR's destination or a
// conditional jump's condition become Truth: they may hold Empty as well.
void note_truths(const std::vector<Instruction>& code, LoopPlan& plan) {
    std::bitset<256> other_use;
    for (uint64_t i = plan.head; i <= plan.last; ++i) {
        const Instruction& ins = code[i];
        const bool truth_use = ins.op == Opcode::ArrayGetR || ins.op == Opcode::JumpIfR || ins.op == Opcode::JumpIfNotR;
        for (uint8_t r : Typing::registers_of(ins))
            if (!truth_use || r != ins.a) other_use.set(r);
    }
    for (int r = 0; r < 256; ++r)
        if (plan.kept[r] == Kept::Bool && !other_use[r]) plan.kept[r] = Kept::Truth;
}

}  // namespace

bool is_comparison(Opcode op) { return is_ordering(op) || op == Opcode::EqR || op == Opcode::NeqR; }

std::vector<LoopPlan> plan_loops(const std::vector<Instruction>& code, const std::vector<Constant>& constants,
                                 const SeenTypes* seen) {
    std::map<uint64_t, uint64_t> last_of_head;
    for (uint64_t i = 0; i < code.size(); ++i) {
        if (!is_jump(code[i].op)) continue;
        const uint64_t target = jump_target(i, code[i].offset());
        if (target <= i) last_of_head[target] = std::max(last_of_head[target], i);
    }
    std::vector<LoopPlan> plans;
    for (const auto& [head, last] : last_of_head) {
        if (last - head + 1 > kMaxLoopLength || !has_loop_shape(code, head, last)) continue;
        LoopPlan plan;
        plan.head = head;
        plan.last = last;
        note_registers(code, plan);
        if (!Typing(code, constants, head, last, plan.written, seen).solve(plan.kept)) continue;
        note_truths(code, plan);
        plans.push_back(plan);
    }
    return plans;
}

}  // namespace tarnel::jit
