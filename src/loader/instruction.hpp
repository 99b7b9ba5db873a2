// The instruction set: every kind is declared once, in TARNEL_INSTRUCTIONS,
// with its name, whether module files can encode it, and its operands in
// declared order. The opcode enumeration, the per-kind operand table used by
// the decoder and the debug form, and the engine's dispatch tables are all
// generated from that one list.
//
// Adding an instruction: append one X(...) line (the opcode is its position),
// then give it semantics in src/vm/ (the compiler points at the dispatch
// tables that need the new entry).
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "values/assert_type.hpp"

namespace tarnel {

// Operand kinds. Registers are 8-bit; U16 is a constant index, type
// identifier or scope number; Offset is a signed 32-bit jump distance.
enum class OperandKind : uint8_t { Reg, U16, Offset, Args, OptReg, Sources, Assert };

struct OperandSpec {
    std::string_view name;
    OperandKind kind = OperandKind::Reg;
};

#define TARNEL_OP(name, kind) OperandSpec{#name, OperandKind::kind}

// X(kind name, encodable in module files, operands in declared order...)
#define TARNEL_INSTRUCTIONS(X)                                                                        \
    X(LoadConstR, true, TARNEL_OP(dst, Reg), TARNEL_OP(const_idx, U16))                               \
    X(MoveR, true, TARNEL_OP(dst, Reg), TARNEL_OP(src, Reg))                                          \
    X(LoadGlobalR, true, TARNEL_OP(dst, Reg), TARNEL_OP(name_idx, U16))                               \
    X(StoreGlobalR, true, TARNEL_OP(src, Reg), TARNEL_OP(name_idx, U16))                              \
    X(DefineR, true, TARNEL_OP(dst, Reg), TARNEL_OP(type_id, U16))                                    \
    X(CheckTypeR, true, TARNEL_OP(dst, Reg), TARNEL_OP(src, Reg), TARNEL_OP(type_id, U16))            \
    X(CastR, true, TARNEL_OP(dst, Reg), TARNEL_OP(src, Reg), TARNEL_OP(to_type, U16))                 \
    X(AddR, true, TARNEL_OP(dst, Reg), TARNEL_OP(left, Reg), TARNEL_OP(right, Reg))                   \
    X(SubR, true, TARNEL_OP(dst, Reg), TARNEL_OP(left, Reg), TARNEL_OP(right, Reg))                   \
    X(MulR, true, TARNEL_OP(dst, Reg), TARNEL_OP(left, Reg), TARNEL_OP(right, Reg))                   \
    X(DivR, true, TARNEL_OP(dst, Reg), TARNEL_OP(left, Reg), TARNEL_OP(right, Reg))                   \
    X(ModR, true, TARNEL_OP(dst, Reg), TARNEL_OP(left, Reg), TARNEL_OP(right, Reg))                   \
    X(NegR, true, TARNEL_OP(dst, Reg), TARNEL_OP(src, Reg))                                           \
    X(NotR, true, TARNEL_OP(dst, Reg), TARNEL_OP(src, Reg))                                           \
    X(AndR, true, TARNEL_OP(dst, Reg), TARNEL_OP(left, Reg), TARNEL_OP(right, Reg))                   \
    X(OrR, true, TARNEL_OP(dst, Reg), TARNEL_OP(left, Reg), TARNEL_OP(right, Reg))                    \
    X(EqR, true, TARNEL_OP(dst, Reg), TARNEL_OP(left, Reg), TARNEL_OP(right, Reg))                    \
    X(NeqR, true, TARNEL_OP(dst, Reg), TARNEL_OP(left, Reg), TARNEL_OP(right, Reg))                   \
    X(LtR, true, TARNEL_OP(dst, Reg), TARNEL_OP(left, Reg), TARNEL_OP(right, Reg))                    \
    X(GtR, true, TARNEL_OP(dst, Reg), TARNEL_OP(left, Reg), TARNEL_OP(right, Reg))                    \
    X(LteR, true, TARNEL_OP(dst, Reg), TARNEL_OP(left, Reg), TARNEL_OP(right, Reg))                   \
    X(GteR, true, TARNEL_OP(dst, Reg), TARNEL_OP(left, Reg), TARNEL_OP(right, Reg))                   \
    X(JumpR, true, TARNEL_OP(offset, Offset))                                                         \
    X(JumpIfR, true, TARNEL_OP(cond, Reg), TARNEL_OP(offset, Offset))                                 \
    X(JumpIfNotR, true, TARNEL_OP(cond, Reg), TARNEL_OP(offset, Offset))                              \
    X(CallR, true, TARNEL_OP(func, Reg), TARNEL_OP(args, Args), TARNEL_OP(dst, Reg))                  \
    X(ReturnR, true, TARNEL_OP(src, OptReg))                                                          \
    X(PhiR, false, TARNEL_OP(dst, Reg), TARNEL_OP(sources, Sources))                                  \
    X(AssertR, false, TARNEL_OP(reg, Reg), TARNEL_OP(assert_type, Assert), TARNEL_OP(msg_idx, U16))   \
    X(ScopeEnterR, false, TARNEL_OP(scope_id, U16))                                                   \
    X(ScopeExitR, false, TARNEL_OP(scope_id, U16))                                                    \
    X(ConcatStrR, true, TARNEL_OP(dst, Reg), TARNEL_OP(left, Reg), TARNEL_OP(right, Reg))             \
    X(StrLenR, true, TARNEL_OP(dst, Reg), TARNEL_OP(str_reg, Reg))                                    \
    X(NewArrayR, true, TARNEL_OP(dst, Reg), TARNEL_OP(size, Reg))                                     \
    X(ArrayGetR, true, TARNEL_OP(dst, Reg), TARNEL_OP(array, Reg), TARNEL_OP(index, Reg))             \
    X(ArraySetR, true, TARNEL_OP(array, Reg), TARNEL_OP(index, Reg), TARNEL_OP(value, Reg))           \
    X(ArrayLenR, true, TARNEL_OP(dst, Reg), TARNEL_OP(array, Reg))                                    \
    X(DebugPrint, true, TARNEL_OP(src, Reg))                                                          \
    X(BreakPoint, true)                                                                               \
    X(Halt, true)                                                                                     \
    X(Nop, true)                                                                                      \
    X(DictNewR, true, TARNEL_OP(dst, Reg))                                                            \
    X(DictGetR, true, TARNEL_OP(dst, Reg), TARNEL_OP(dict, Reg), TARNEL_OP(key, Reg))                 \
    X(DictSetR, true, TARNEL_OP(dict, Reg), TARNEL_OP(key, Reg), TARNEL_OP(value, Reg))               \
    X(DictRemoveR, true, TARNEL_OP(dict, Reg), TARNEL_OP(key, Reg))                                   \
    X(DictContainsR, true, TARNEL_OP(dst, Reg), TARNEL_OP(dict, Reg), TARNEL_OP(key, Reg))            \
    X(DictKeysR, true, TARNEL_OP(dst, Reg), TARNEL_OP(dict, Reg))                                     \
    X(DictValuesR, true, TARNEL_OP(dst, Reg), TARNEL_OP(dict, Reg))                                   \
    X(DictClearR, true, TARNEL_OP(dict, Reg))                                                         \
    X(DictLenR, true, TARNEL_OP(dst, Reg), TARNEL_OP(dict, Reg))

#define TARNEL_OPCODE_ENTRY(name, ...) name,
enum class Opcode : uint8_t { TARNEL_INSTRUCTIONS(TARNEL_OPCODE_ENTRY) };
#undef TARNEL_OPCODE_ENTRY

#define TARNEL_COUNT_ENTRY(name, ...) +1
inline constexpr size_t kOpcodeCount = 0 TARNEL_INSTRUCTIONS(TARNEL_COUNT_ENTRY);
#undef TARNEL_COUNT_ENTRY
static_assert(kOpcodeCount == 50);

struct InstructionInfo {
    std::string_view name;
    bool encodable;
    std::array<OperandSpec, 3> operands;  // declared order; unused entries have an empty name

    constexpr size_t operand_count() const {
        size_t n = 0;
        for (const auto& op : operands) n += op.name.empty() ? 0 : 1;
        return n;
    }
};

#define TARNEL_INFO_ENTRY(name, encodable, ...) InstructionInfo{#name, encodable, {__VA_ARGS__}},
inline constexpr std::array<InstructionInfo, kOpcodeCount> kInstructionInfo = {
    TARNEL_INSTRUCTIONS(TARNEL_INFO_ENTRY)};
#undef TARNEL_INFO_ENTRY

constexpr const InstructionInfo& info(Opcode op) { return kInstructionInfo[static_cast<size_t>(op)]; }

// A (register, 16-bit number) pair of PhiR.
struct PhiSource {
    uint8_t reg;
    uint16_t label;
    bool operator==(const PhiSource&) const = default;
};

// The operands that do not fit the fixed part of an instruction. Immutable
// once built and shared between copies of the instruction.
struct OperandLists {
    std::vector<uint8_t> args;         // CallR
    std::vector<PhiSource> sources;    // PhiR
    AssertType assert_type;            // AssertR
};

// The in-memory instruction. Register operands occupy a, b, c in declared
// order (CallR: a = func, b = dst); the one 16-bit or 32-bit operand sits in
// `wide` (for ReturnR, `wide` is 1 when `src` is present); the lists of
// CallR, PhiR and AssertR hang off `lists`.
struct Instruction {
    Opcode op = Opcode::Nop;
    uint8_t a = 0;
    uint8_t b = 0;
    uint8_t c = 0;
    uint32_t wide = 0;
    std::shared_ptr<const OperandLists> lists;

    int32_t offset() const { return static_cast<int32_t>(wide); }
    uint16_t index() const { return static_cast<uint16_t>(wide); }
    bool has_src() const { return wide != 0; }
    const std::vector<uint8_t>& args() const { return lists->args; }
    const std::vector<PhiSource>& sources() const { return lists->sources; }
    const AssertType& assert_type() const { return lists->assert_type; }

    // Builds an instruction from its scalar operands in declared order
    // (registers, indexes, offsets; ReturnR takes its optional src as -1 for
    // none). Lists are passed separately.
    static Instruction make(Opcode op, std::initializer_list<int64_t> operands = {});
    static Instruction call(uint8_t func, std::vector<uint8_t> args, uint8_t dst);
    static Instruction phi(uint8_t dst, std::vector<PhiSource> sources);
    static Instruction assertion(uint8_t reg, AssertType condition, uint16_t msg_idx);
    static Instruction return_none() { return make(Opcode::ReturnR, {-1}); }

    bool operator==(const Instruction& other) const;
};

}  // namespace tarnel
