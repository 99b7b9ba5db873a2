// The engine's own form of a loaded instruction list, built once per load
// and run by the quiet run loop (fast_loop.cpp).
//
// It is a copy of the loaded list (the handlers read it as they read loaded
// instructions) whose `op` may hold a kind only the fast form has (FastKind,
// numbered after the loaded kinds). Three things differ from the loaded
// list, none of them visible from outside:
//   - one End entry past the last instruction, so fetching needs no bounds
//     test: running off the end fetches End, which stops the run;
//   - a jump whose target lies inside the list carries in `wide` how many
//     bytes the target's entry lies from its own (so taking it adds one
//     number to a pointer), and in b and c the low and high byte
//     of its own index as `last_jump` records it, both computed once here, so
//     taking it needs neither the list's start nor a division; a jump out of
//     the list keeps its own kind and goes through the ordinary handler,
//     which ends the run with the exact pc;
//   - CallR and ReturnR have kinds of their own, which the loop runs on a
//     quick path when the call-site cache knows the callee and the frame
//     saves part of r0..r63 (every other case goes to the ordinary handler);
//     a call's `wide`, which CallR does not use, holds its call-site index;
//   - a comparison whose result the next instruction tests as a jump
//     condition is fused with it: the loop runs both in one dispatch, counts
//     both, and leaves the compare's register written as it would be. The
//     fused entry is scaled like the arithmetic kinds, and takes its target
//     and `last_jump` label from the jump's own entry after it, which is an
//     in-list jump entry;
//   - AddR, SubR, MulR, DivR and NegR have scaled kinds whose operands are byte offsets
//     into the register file instead of register numbers (see
//     `scaled_dst`), so the loop reaches a register with one load; their
//     rare cases run the ordinary handler on the loaded instruction at the
//     same index, which keeps the register numbers;
//   - an AddR, SubR or MulR whose destination is one of its operands (an
//     accumulator, a counter) has an in-place kind: when both operands are
//     Ints or both Floats, the destination already holds a scalar of the
//     result's type, so neither a release test nor its type byte is needed,
//     only the new payload. Its declared tag is the value's own while no
//     DefineR has run since the load; the first DefineR turns every
//     in-place kind and group back into the scaled kind, which stores the
//     declared tag (store_declared_tags);
//   - an arithmetic entry tests its operands for two Ints first, and for
//     two Floats next; once it has found two Floats the loop gives it the
//     twin kind that tests for Floats first, and back again once it finds
//     two Ints (a rewrite of `op` in place, like the one below), so that a
//     Float loop does not pay for a failed Int test at every step;
//   - an in-place AddR whose result the next entry, a fused comparison,
//     takes as its left operand (a loop's increment, test and jump back) is the first
//     entry of a group of three run in one dispatch when the operands are
//     Ints and the sum does not overflow; every other case runs the AddR's
//     ordinary handler at its own index and the comparison as an entry of
//     its own. The comparison entry keeps its fused kind, so a jump into it
//     runs it alone.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "loader/instruction.hpp"

namespace tarnel {

// The kinds only the fast form has, one row each, in order after the
// loaded kinds. FastKind and the quiet loop's dispatch table
// (fast_loop.cpp) are both made from this list, so their orders cannot
// drift apart.
// clang-format off
#define TARNEL_FAST_KINDS(X)                                                                        \
    X(End)             /* past the last instruction: the run ends */                                \
    X(JumpIn)          /* JumpR with its target inside the list */                                  \
    X(JumpIfIn)        /* JumpIfR, target inside */                                                 \
    X(JumpIfNotIn)     /* JumpIfNotR, target inside */                                              \
    X(Call)            /* CallR; `wide` holds the index of its call-site cache */                   \
    X(Return)          /* ReturnR */                                                                \
    X(AddScaled)       /* AddR with byte offsets for operands (scaled_dst) */                       \
    X(SubScaled)                                                                                    \
    X(MulScaled)                                                                                    \
    X(DivScaled)                                                                                    \
    X(NegScaled)       /* NegR, its source as the left operand */                                   \
    X(AddInPlace)      /* AddScaled whose destination is one of its operands */                     \
    X(SubInPlace)                                                                                   \
    X(MulInPlace)                                                                                   \
    /* The same kinds testing for two Floats first, which an entry becomes */                       \
    /* once its operands are Floats (and goes back from once they are Ints). */                     \
    X(AddFloatScaled)                                                                               \
    X(SubFloatScaled)                                                                               \
    X(MulFloatScaled)                                                                               \
    X(DivFloatScaled)                                                                               \
    X(AddFloatInPlace)                                                                              \
    X(SubFloatInPlace)                                                                              \
    X(MulFloatInPlace)                                                                              \
    X(LtJumpIf)        /* LtR d, x, y then JumpIfR d (target inside) */                             \
    X(LtJumpIfNot)     /* LtR then JumpIfNotR */                                                    \
    X(LteJumpIf) X(LteJumpIfNot)                                                                    \
    X(GtJumpIf) X(GtJumpIfNot)                                                                      \
    X(GteJumpIf) X(GteJumpIfNot)                                                                    \
    X(EqJumpIf) X(EqJumpIfNot)                                                                      \
    X(NeqJumpIf) X(NeqJumpIfNot)                                                                    \
    X(AddLtJumpIf)     /* AddR d, x, y (scaled) then a fused comparison of d (as above) */          \
    X(AddLtJumpIfNot)                                                                               \
    X(AddLteJumpIf) X(AddLteJumpIfNot)                                                              \
    X(AddGtJumpIf) X(AddGtJumpIfNot)                                                                \
    X(AddGteJumpIf) X(AddGteJumpIfNot)                                                              \
    X(AddEqJumpIf) X(AddEqJumpIfNot)                                                                \
    X(AddNeqJumpIf) X(AddNeqJumpIfNot)
// clang-format on

#define TARNEL_FAST_KIND_ENUMERATOR(name) name,
enum class FastKind : uint8_t {
    // Not a kind of its own: the last loaded kind's number (Opcode), so
    // that End and the rows after it follow the loaded kinds.
    LastLoaded = kOpcodeCount - 1,
    TARNEL_FAST_KINDS(TARNEL_FAST_KIND_ENUMERATOR)  // End .. AddNeqJumpIfNot
    Count,
};
#undef TARNEL_FAST_KIND_ENUMERATOR
static_assert(static_cast<size_t>(FastKind::End) == kOpcodeCount);

inline constexpr size_t kFastKindCount = static_cast<size_t>(FastKind::Count);

inline constexpr Opcode fast_op(FastKind kind) { return static_cast<Opcode>(kind); }

// The kinds whose handlers read or set pc (jumps, calls, returns): the
// loops and the machine code hand them the exact pc and go on wherever
// they leave it. Every other handler leaves pc past its instruction.
constexpr bool moves_pc(Opcode op) {
    return op == Opcode::JumpR || op == Opcode::JumpIfR || op == Opcode::JumpIfNotR || op == Opcode::CallR ||
           op == Opcode::ReturnR;
}

// The instructions that a jump taken at `jump_index` with `offset` reaches:
// pc + offset in 32-bit wrapping arithmetic, widened with sign.
inline uint64_t jump_target(uint64_t jump_index, int32_t offset) {
    int32_t target = static_cast<int32_t>(static_cast<uint32_t>(jump_index + 1) + static_cast<uint32_t>(offset));
    return static_cast<uint64_t>(static_cast<int64_t>(target));
}

// An in-list jump entry (JumpIn, JumpIfIn, JumpIfNotIn): the distance from
// it to its target in bytes and in entries, and its own index as
// `last_jump` records it. A jump whose distance in bytes does not fit in 32
// bits keeps its loaded kind.
inline int64_t jump_bytes(const Instruction& entry) { return static_cast<int32_t>(entry.wide); }
inline int64_t jump_distance(const Instruction& entry) {
    return jump_bytes(entry) / static_cast<int64_t>(sizeof(Instruction));
}
inline uint16_t jump_label(const Instruction& entry) { return static_cast<uint16_t>(entry.b | (entry.c << 8)); }
// A fused comparison entry, which is always followed by its jump's entry
// in the same list: the distance from the comparison to the jump's target,
// and the jump's index as `last_jump` records it.
inline int64_t fused_distance(const Instruction& entry) { return 1 + jump_distance((&entry)[1]); }
inline uint16_t fused_label(const Instruction& entry) { return jump_label((&entry)[1]); }

// A scaled entry (the arithmetic kinds, a fused comparison and a group's
// first entry): `a` keeps the destination's number, which indexes
// its tag; b and c hold the destination's byte offset, low byte first, and
// `wide` the left and right operands' offsets in its low and high half. An
// offset counts from `file_offset` bytes before r0 (build_fast_code's
// argument): the loop passes where the register file lies in the VM state,
// so that the state's address alone reaches a register, with one load of
// its offset and no scaling. The halves are read as two 16-bit loads; one
// 32-bit load split by shifts costs an instruction more.
inline constexpr size_t kRegisterBytes = 16;
inline constexpr uint16_t kMaxFileOffset = UINT16_MAX - 255 * kRegisterBytes;
inline uint16_t scaled_dst(const Instruction& entry) { return static_cast<uint16_t>(entry.b | (entry.c << 8)); }
inline uint16_t scaled_left(const Instruction& entry) {
    uint16_t half;
    std::memcpy(&half, reinterpret_cast<const char*>(&entry.wide), sizeof half);
    return half;
}
inline uint16_t scaled_right(const Instruction& entry) {
    uint16_t half;
    std::memcpy(&half, reinterpret_cast<const char*>(&entry.wide) + sizeof half, sizeof half);
    return half;
}

// The twin of a scaled or in-place arithmetic kind that tests the other
// type first (AddScaled and AddFloatScaled, AddInPlace and AddFloatInPlace...).
constexpr FastKind twin_kind(FastKind kind) {
    constexpr auto ints = static_cast<uint8_t>(FastKind::AddScaled);
    constexpr auto floats = static_cast<uint8_t>(FastKind::AddFloatScaled);
    const auto k = static_cast<uint8_t>(kind);
    if (kind >= FastKind::AddScaled && kind <= FastKind::DivScaled) return static_cast<FastKind>(floats + (k - ints));
    if (kind >= FastKind::AddFloatScaled && kind <= FastKind::DivFloatScaled)
        return static_cast<FastKind>(ints + (k - floats));
    if (kind >= FastKind::AddInPlace && kind <= FastKind::MulInPlace)
        return static_cast<FastKind>(static_cast<uint8_t>(FastKind::AddFloatInPlace) +
                                     (k - static_cast<uint8_t>(FastKind::AddInPlace)));
    return static_cast<FastKind>(static_cast<uint8_t>(FastKind::AddInPlace) +
                                 (k - static_cast<uint8_t>(FastKind::AddFloatInPlace)));
}

// Builds the fast form of `code`: one entry per instruction, then End.
// `fuse` false leaves every instruction unfused and unscaled (for tests that
// compare the two forms), and so does a `file_offset` past
// kMaxFileOffset, where the largest offset would not fit in 16 bits.
std::vector<Instruction> build_fast_code(const std::vector<Instruction>& code, bool fuse = true,
                                         uint16_t file_offset = 0);

// Turns the in-place kinds and the groups led by one into the scaled kind of
// their arithmetic, which stores the declared tag (the group's comparison
// keeps its own entry): for when DefineR has declared a tag. Changes no
// entry's place, so a run loop running the form may go on with it.
void store_declared_tags(std::vector<Instruction>& fast);

}  // namespace tarnel
