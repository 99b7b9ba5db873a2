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

FastKind scaled_kind(Opcode op) {
    switch (op) {
        case Opcode::AddR:
            return FastKind::AddScaled;
        case Opcode::SubR:
            return FastKind::SubScaled;
        case Opcode::MulR:
            return FastKind::MulScaled;
        case Opcode::DivR:
            return FastKind::DivScaled;
        case Opcode::NegR:
            return FastKind::NegScaled;
        default:
            return FastKind::Count;
    }
}

// Whether an arithmetic instruction writes one of its own operands.
bool in_place(const Instruction& ins) {
    return (ins.op == Opcode::AddR || ins.op == Opcode::SubR || ins.op == Opcode::MulR) &&
           (ins.a == ins.b || ins.a == ins.c);
}

FastKind in_place_kind(FastKind scaled) {
    return static_cast<FastKind>(static_cast<uint8_t>(FastKind::AddInPlace) +
                                 (static_cast<uint8_t>(scaled) - static_cast<uint8_t>(FastKind::AddScaled)));
}
// Its inverse.
FastKind scaled_kind_of(FastKind in_place) {
    return static_cast<FastKind>(static_cast<uint8_t>(FastKind::AddScaled) +
                                 (static_cast<uint8_t>(in_place) - static_cast<uint8_t>(FastKind::AddInPlace)));
}

// Rewrites an arithmetic entry's operands as byte offsets (scaled_dst).
void scale_operands(Instruction& entry, uint16_t file_offset) {
    auto offset = [file_offset](uint8_t r) { return static_cast<uint16_t>(file_offset + r * kRegisterBytes); };
    const uint16_t dst = offset(entry.a);
    entry.wide = offset(entry.b) | static_cast<uint32_t>(offset(entry.c)) << 16;
    entry.b = static_cast<uint8_t>(dst);
    entry.c = static_cast<uint8_t>(dst >> 8);
}

}  // namespace

std::vector<Instruction> build_fast_code(const std::vector<Instruction>& code, bool fuse, uint16_t file_offset) {
    const uint64_t size = code.size();
    std::vector<Instruction> fast(code);
    fast.emplace_back().op = fast_op(FastKind::End);
    // Whether the jump at index i stays inside the list, and where it goes.
    auto inside = [&](uint64_t i, uint64_t& target) {
        target = jump_target(i, code[i].offset());
        return target < size;
    };
    // How many bytes lie from entry i to entry `to`, and whether that fits
    // the 32 bits of an in-list jump's `wide`.
    auto bytes_between = [](uint64_t i, uint64_t to) {
        return (static_cast<int64_t>(to) - static_cast<int64_t>(i)) * static_cast<int64_t>(sizeof(Instruction));
    };
    auto near = [&](uint64_t i, uint64_t to) {
        return bytes_between(i, to) >= INT32_MIN && bytes_between(i, to) <= INT32_MAX;
    };
    if (file_offset > kMaxFileOffset) fuse = false;
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
        if (FastKind k = in_list_jump_kind(ins.op); k != FastKind::Count && inside(i, target) && near(i, target)) {
            out.op = fast_op(k);
            out.wide = static_cast<uint32_t>(static_cast<int32_t>(bytes_between(i, target)));
            out.b = static_cast<uint8_t>(i);
            out.c = static_cast<uint8_t>(i >> 8);
            continue;
        }
        if (!fuse) continue;
        if (FastKind k = scaled_kind(ins.op); k != FastKind::Count) {
            out.op = fast_op(in_place(ins) ? in_place_kind(k) : k);
            scale_operands(out, file_offset);
            continue;
        }
        if (i + 1 >= size) continue;
        const Instruction& next = code[i + 1];
        FastKind pair = fused_kind(ins.op, next.op);
        if (pair == FastKind::Count || !is_conditional_jump(next.op) || next.a != ins.a) continue;
        if (!inside(i + 1, target) || !near(i + 1, target)) continue;  // the pair reads the jump's in-list entry
        out.op = fast_op(pair);
        scale_operands(out, file_offset);
    }
    // Groups of three, once every comparison is fused: an in-place AddR
    // followed by a fused comparison whose left operand is the AddR's result
    // (both entries are scaled already).
    constexpr auto first_fused = static_cast<uint8_t>(FastKind::LtJumpIf);
    constexpr auto first_group = static_cast<uint8_t>(FastKind::AddLtJumpIf);
    for (uint64_t i = 0; fuse && i + 1 < size; ++i) {
        const auto next = static_cast<uint8_t>(fast[i + 1].op);
        if (code[i].op != Opcode::AddR || !in_place(code[i]) || next < first_fused || next >= first_group) continue;
        if (code[i + 1].b != code[i].a) continue;
        fast[i].op = static_cast<Opcode>(first_group + (next - first_fused));
    }
    return fast;
}

static_assert(static_cast<uint8_t>(FastKind::AddNeqJumpIfNot) + 1 == static_cast<uint8_t>(FastKind::Count),
              "the groups are the last kinds");

void store_declared_tags(std::vector<Instruction>& fast) {
    for (Instruction& entry : fast) {
        const auto kind = static_cast<FastKind>(entry.op);
        if (kind >= FastKind::AddLtJumpIf && kind <= FastKind::AddNeqJumpIfNot) {
            entry.op = fast_op(FastKind::AddScaled);
        } else if (kind >= FastKind::AddInPlace && kind <= FastKind::MulInPlace) {
            entry.op = fast_op(scaled_kind_of(kind));
        } else if (kind >= FastKind::AddFloatInPlace && kind <= FastKind::MulFloatInPlace) {
            entry.op = fast_op(twin_kind(scaled_kind_of(twin_kind(kind))));
        }
    }
}

}  // namespace tarnel
