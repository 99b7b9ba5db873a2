#include "vm/fast_code.hpp"

namespace tarnel {

namespace {

bool is_conditional_jump(Opcode op) { return op == Opcode::JumpIfR || op == Opcode::JumpIfNotR; }

// The fused kind of comparison `compare` followed by conditional jump `jump`,
// or Count when the pair has none.
FastKind fused_kind(Opcode compare, Opcode jump) {
    const bool if_true = jump == Opcode::JumpIfR;
    switch (compare) {
        case Opcode::LtR:
            return if_true ? FastKind::LtJumpIf : FastKind::LtJumpIfNot;
        case Opcode::LteR:
            return if_true ? FastKind::LteJumpIf : FastKind::LteJumpIfNot;
        case Opcode::GtR:
            return if_true ? FastKind::GtJumpIf : FastKind::GtJumpIfNot;
        case Opcode::GteR:
            return if_true ? FastKind::GteJumpIf : FastKind::GteJumpIfNot;
        case Opcode::EqR:
            return if_true ? FastKind::EqJumpIf : FastKind::EqJumpIfNot;
        case Opcode::NeqR:
            return if_true ? FastKind::NeqJumpIf : FastKind::NeqJumpIfNot;
        default:
            return FastKind::Count;
    }
}

FastKind in_list_jump_kind(Opcode op) {
    switch (op) {
        case Opcode::JumpR:
            return FastKind::JumpIn;
        case Opcode::JumpIfR:
            return FastKind::JumpIfIn;
        case Opcode::JumpIfNotR:
            return FastKind::JumpIfNotIn;
        default:
            return FastKind::Count;
    }
}

}  // namespace

std::vector<Instruction> build_fast_code(const std::vector<Instruction>& code, bool fuse) {
    const uint64_t size = code.size();
    std::vector<Instruction> fast(code);
    fast.emplace_back().op = fast_op(FastKind::End);
    // Whether the jump at index i stays inside the list, and where it goes.
    auto inside = [&](uint64_t i, uint64_t& target) {
        target = jump_target(i, code[i].offset());
        return target < size;
    };
    uint32_t call_sites = 0;  // numbered in program order, as LoadCaches numbers them
    for (uint64_t i = 0; i < size; ++i) {
        const Instruction& ins = code[i];
        Instruction& out = fast[i];
        uint64_t target = 0;
        if (ins.op == Opcode::CallR) {
            out.op = fast_op(FastKind::Call);
            out.wide = call_sites++;
            continue;
        }
        if (ins.op == Opcode::ReturnR) {
            out.op = fast_op(FastKind::Return);
            continue;
        }
        if (FastKind k = in_list_jump_kind(ins.op); k != FastKind::Count && inside(i, target)) {
            out.op = fast_op(k);
            out.wide = static_cast<uint32_t>(static_cast<int32_t>(target - i));
            out.b = static_cast<uint8_t>(i);
            out.c = static_cast<uint8_t>(i >> 8);
            continue;
        }
        if (!fuse || i + 1 >= size) continue;
        const Instruction& next = code[i + 1];
        FastKind pair = fused_kind(ins.op, next.op);
        if (pair == FastKind::Count || !is_conditional_jump(next.op) || next.a != ins.a) continue;
        if (!inside(i + 1, target)) continue;
        const int64_t distance = static_cast<int64_t>(target) - static_cast<int64_t>(i);
        if (distance < INT16_MIN || distance > INT16_MAX) continue;
        out.op = fast_op(pair);
        out.wide = static_cast<uint32_t>(static_cast<uint16_t>((i + 1) & 0xFFFF)) << 16 |
                   static_cast<uint16_t>(static_cast<int16_t>(distance));
    }
    // Groups of three, once every comparison is fused: an AddR followed by
    // a fused comparison whose left operand is the AddR's result.
    constexpr auto first_fused = static_cast<uint8_t>(FastKind::LtJumpIf);
    constexpr auto first_group = static_cast<uint8_t>(FastKind::AddLtJumpIf);
    for (uint64_t i = 0; fuse && i + 1 < size; ++i) {
        const auto next = static_cast<uint8_t>(fast[i + 1].op);
        if (code[i].op != Opcode::AddR || next < first_fused || next >= first_group) continue;
        if (fast[i + 1].b != code[i].a) continue;
        fast[i].op = static_cast<Opcode>(first_group + (next - first_fused));
    }
    return fast;
}

}  // namespace tarnel
