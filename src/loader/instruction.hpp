// The instruction set: every kind is declared once, in TARNEL_INSTRUCTIONS,
// as one row carrying everything the rest of the system needs to know about
// it. The opcode enumeration, the operand table, Instruction::make, the
// decoder, the debug form, the engine's dispatch tables, the named operand
// accessors of the handlers, the call-frame write effects and the fuzzers'
// module writer are generated from it by macro; python/tools/
// gen_opcode_table.py reads the same rows to write the Python package's
// table and the table in docs/assembly.md.
//
// A row is
//   X(Name, file, flow, "meaning", (operand, kind, slot, position, access)...)
// Name      the kind; the opcode is the row's position.
// file      whether module files can encode it (false: in-memory only).
// flow      how control leaves it: Next (falls through), Jump (only to
//           pc + offset), Branch (either), Call (falls through once the
//           callee returns), Stop (leaves the function or ends the run).
// meaning   one line for people, shown in docs/assembly.md.
// operands  in declared order (the order of assembly text, debug forms and
//           Instruction::make), each with
//   kind      Reg register (u8)          OptReg optional register
//             Const constant index (u16) Name   name index (u16, a string constant)
//             Type type id (u16)         Scope  scope id (u16)
//             Msg message index (u16)    Offset signed jump distance (i32)
//             Args argument registers    Sources PhiR's (register, label) pairs
//             Assert AssertR's condition
//   slot      where the in-memory record keeps it: A, B, C (registers), Wide
//             (the one 16- or 32-bit operand), Lists (the shared lists);
//             an OptReg sits in A with its presence in Wide.
//   position  its place in the file encoding, after the opcode byte
//             (an argument list is its count byte then one byte each; an
//             optional register is a presence byte then the register).
//   access    In (read), Out (written), InOut (a container updated in its
//             own register). Only written register operands matter to the
//             call-frame analysis.
//
// Adding an instruction: append one row, then write op_Name<Debug> in one of
// src/vm/handlers_*.hpp (the build fails until you do), then run
// `python python/tools/gen_opcode_table.py` to refresh the Python table and
// the docs.
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

// How an operand is stored and encoded. Registers are 8-bit; U16 is a
// constant, name or message index, a type id or a scope number; Offset is a
// signed 32-bit jump distance.
enum class OperandKind : uint8_t { Reg, U16, Offset, Args, OptReg, Sources, Assert };

// What an operand means (the `kind` column of a row).
enum class OperandType : uint8_t { Reg, OptReg, Const, Name, Type, Scope, Msg, Offset, Args, Sources, Assert };

// Where the in-memory record keeps an operand.
enum class Slot : uint8_t { A, B, C, Wide, Lists };

enum class Access : uint8_t { In, Out, InOut };

// How control leaves an instruction.
enum class Flow : uint8_t {
    Next,    // on to the next instruction (or the run fails there)
    Jump,    // only to pc + offset
    Branch,  // to the next instruction or to pc + offset
    Call,    // on to the next instruction once the callee has returned
    Stop,    // leaves the function (ReturnR) or ends the run (Halt)
};

constexpr OperandKind storage_of(OperandType type) {
    switch (type) {
        case OperandType::Reg:
            return OperandKind::Reg;
        case OperandType::OptReg:
            return OperandKind::OptReg;
        case OperandType::Offset:
            return OperandKind::Offset;
        case OperandType::Args:
            return OperandKind::Args;
        case OperandType::Sources:
            return OperandKind::Sources;
        case OperandType::Assert:
            return OperandKind::Assert;
        case OperandType::Const:
        case OperandType::Name:
        case OperandType::Type:
        case OperandType::Scope:
        case OperandType::Msg:
            return OperandKind::U16;
    }
    return OperandKind::Reg;
}

struct OperandSpec {
    std::string_view name;
    OperandKind kind = OperandKind::Reg;
    OperandType type = OperandType::Reg;
    Slot slot = Slot::A;
    uint8_t position = 0;  // in the file encoding
    Access access = Access::In;

    constexpr bool is_written_register() const {
        return (kind == OperandKind::Reg || kind == OperandKind::OptReg) && access != Access::In;
    }
};

// clang-format off
#define TARNEL_INSTRUCTIONS(X)                                                                                                              \
/*  Name           file   flow    meaning                                                  operands (name, kind, slot, position, access)   */ \
  X(LoadConstR,    true,  Next,   "dst = constant const_idx",                               (dst, Reg, A, 0, Out), (const_idx, Const, Wide, 1, In))                   \
  X(MoveR,         true,  Next,   "dst = src",                                              (dst, Reg, A, 0, Out), (src, Reg, B, 1, In))                              \
  X(LoadGlobalR,   true,  Next,   "dst = the global named by constant name_idx",            (dst, Reg, A, 0, Out), (name_idx, Name, Wide, 1, In))                     \
  X(StoreGlobalR,  true,  Next,   "the global named by constant name_idx = src",            (src, Reg, A, 0, In), (name_idx, Name, Wide, 1, In))                      \
  X(DefineR,       true,  Next,   "declares the type tag of dst (the value stays)",         (dst, Reg, A, 0, Out), (type_id, Type, Wide, 1, In))                      \
  X(CheckTypeR,    true,  Next,   "dst = whether the tag of src is type_id",                (dst, Reg, A, 0, Out), (src, Reg, B, 1, In), (type_id, Type, Wide, 2, In)) \
  X(CastR,         true,  Next,   "dst = src converted to to_type",                         (dst, Reg, A, 0, Out), (src, Reg, B, 1, In), (to_type, Type, Wide, 2, In)) \
  X(AddR,          true,  Next,   "dst = left + right",                                     (dst, Reg, A, 0, Out), (left, Reg, B, 1, In), (right, Reg, C, 2, In))      \
  X(SubR,          true,  Next,   "dst = left - right",                                     (dst, Reg, A, 0, Out), (left, Reg, B, 1, In), (right, Reg, C, 2, In))      \
  X(MulR,          true,  Next,   "dst = left * right",                                     (dst, Reg, A, 0, Out), (left, Reg, B, 1, In), (right, Reg, C, 2, In))      \
  X(DivR,          true,  Next,   "dst = left / right",                                     (dst, Reg, A, 0, Out), (left, Reg, B, 1, In), (right, Reg, C, 2, In))      \
  X(ModR,          true,  Next,   "dst = left % right",                                     (dst, Reg, A, 0, Out), (left, Reg, B, 1, In), (right, Reg, C, 2, In))      \
  X(NegR,          true,  Next,   "dst = -src",                                             (dst, Reg, A, 0, Out), (src, Reg, B, 1, In))                              \
  X(NotR,          true,  Next,   "dst = not src",                                          (dst, Reg, A, 0, Out), (src, Reg, B, 1, In))                              \
  X(AndR,          true,  Next,   "dst = left and right (truthiness)",                      (dst, Reg, A, 0, Out), (left, Reg, B, 1, In), (right, Reg, C, 2, In))      \
  X(OrR,           true,  Next,   "dst = left or right (truthiness)",                       (dst, Reg, A, 0, Out), (left, Reg, B, 1, In), (right, Reg, C, 2, In))      \
  X(EqR,           true,  Next,   "dst = left == right",                                    (dst, Reg, A, 0, Out), (left, Reg, B, 1, In), (right, Reg, C, 2, In))      \
  X(NeqR,          true,  Next,   "dst = left != right",                                    (dst, Reg, A, 0, Out), (left, Reg, B, 1, In), (right, Reg, C, 2, In))      \
  X(LtR,           true,  Next,   "dst = left < right",                                     (dst, Reg, A, 0, Out), (left, Reg, B, 1, In), (right, Reg, C, 2, In))      \
  X(GtR,           true,  Next,   "dst = left > right",                                     (dst, Reg, A, 0, Out), (left, Reg, B, 1, In), (right, Reg, C, 2, In))      \
  X(LteR,          true,  Next,   "dst = left <= right",                                    (dst, Reg, A, 0, Out), (left, Reg, B, 1, In), (right, Reg, C, 2, In))      \
  X(GteR,          true,  Next,   "dst = left >= right",                                    (dst, Reg, A, 0, Out), (left, Reg, B, 1, In), (right, Reg, C, 2, In))      \
  X(JumpR,         true,  Jump,   "pc += offset",                                           (offset, Offset, Wide, 0, In))                                            \
  X(JumpIfR,       true,  Branch, "pc += offset when cond is truthy",                       (cond, Reg, A, 0, In), (offset, Offset, Wide, 1, In))                     \
  X(JumpIfNotR,    true,  Branch, "pc += offset when cond is falsy",                        (cond, Reg, A, 0, In), (offset, Offset, Wide, 1, In))                     \
  X(CallR,         true,  Call,   "calls func with args in r0.. and puts its result in dst", (func, Reg, A, 0, In), (args, Args, Lists, 2, In), (dst, Reg, B, 1, Out)) \
  X(ReturnR,       true,  Stop,   "returns src (or nothing) to the caller",                 (src, OptReg, A, 0, In))                                                  \
  X(PhiR,          false, Next,   "dst = the source whose label is the last jump's",        (dst, Reg, A, 0, Out), (sources, Sources, Lists, 1, In))                  \
  X(AssertR,       false, Next,   "fails with message msg_idx unless reg meets the condition", (reg, Reg, A, 0, In), (assert_type, Assert, Lists, 1, In), (msg_idx, Msg, Wide, 2, In)) \
  X(ScopeEnterR,   false, Next,   "pushes scope_id on the scope stack",                     (scope_id, Scope, Wide, 0, In))                                           \
  X(ScopeExitR,    false, Next,   "pops scope_id when it is the innermost scope",           (scope_id, Scope, Wide, 0, In))                                           \
  X(ConcatStrR,    true,  Next,   "dst = the texts of left and right joined",               (dst, Reg, A, 0, Out), (left, Reg, B, 1, In), (right, Reg, C, 2, In))      \
  X(StrLenR,       true,  Next,   "dst = the length of the string in str_reg",              (dst, Reg, A, 0, Out), (str_reg, Reg, B, 1, In))                          \
  X(NewArrayR,     true,  Next,   "dst = a new array of size empty elements",               (dst, Reg, A, 0, Out), (size, Reg, B, 1, In))                             \
  X(ArrayGetR,     true,  Next,   "dst = array[index]",                                     (dst, Reg, A, 0, Out), (array, Reg, B, 1, In), (index, Reg, C, 2, In))     \
  X(ArraySetR,     true,  Next,   "array[index] = value",                                   (array, Reg, A, 0, InOut), (index, Reg, B, 1, In), (value, Reg, C, 2, In)) \
  X(ArrayLenR,     true,  Next,   "dst = the length of array",                              (dst, Reg, A, 0, Out), (array, Reg, B, 1, In))                            \
  X(DebugPrint,    true,  Next,   "writes src to the output",                               (src, Reg, A, 0, In))                                                     \
  X(BreakPoint,    true,  Next,   "traces a breakpoint line in debug runs")                                                                                          \
  X(Halt,          true,  Stop,   "ends the run")                                                                                                                    \
  X(Nop,           true,  Next,   "does nothing")                                                                                                                    \
  X(DictNewR,      true,  Next,   "dst = a new empty dict",                                 (dst, Reg, A, 0, Out))                                                    \
  X(DictGetR,      true,  Next,   "dst = dict[key], empty when absent",                     (dst, Reg, A, 0, Out), (dict, Reg, B, 1, In), (key, Reg, C, 2, In))        \
  X(DictSetR,      true,  Next,   "dict[key] = value",                                      (dict, Reg, A, 0, InOut), (key, Reg, B, 1, In), (value, Reg, C, 2, In))    \
  X(DictRemoveR,   true,  Next,   "removes key from dict",                                  (dict, Reg, A, 0, InOut), (key, Reg, B, 1, In))                           \
  X(DictContainsR, true,  Next,   "dst = whether dict has key",                             (dst, Reg, A, 0, Out), (dict, Reg, B, 1, In), (key, Reg, C, 2, In))        \
  X(DictKeysR,     true,  Next,   "dst = an array of the keys of dict",                     (dst, Reg, A, 0, Out), (dict, Reg, B, 1, In))                             \
  X(DictValuesR,   true,  Next,   "dst = an array of the values of dict",                   (dst, Reg, A, 0, Out), (dict, Reg, B, 1, In))                             \
  X(DictClearR,    true,  Next,   "removes every entry of dict",                            (dict, Reg, A, 0, InOut))                                                 \
  X(DictLenR,      true,  Next,   "dst = the number of entries of dict",                    (dst, Reg, A, 0, Out), (dict, Reg, B, 1, In))
// clang-format on

// Applies M to each parenthesized operand of a row: M(name, kind, slot, position, access).
#define TARNEL_EACH_OPERAND(M, ...) \
    __VA_OPT__(TARNEL_PICK_EACH(__VA_ARGS__, TARNEL_EACH_3, TARNEL_EACH_2, TARNEL_EACH_1)(M, __VA_ARGS__))
#define TARNEL_PICK_EACH(_1, _2, _3, EACH, ...) EACH
#define TARNEL_EACH_1(M, first) M first
#define TARNEL_EACH_2(M, first, second) M first M second
#define TARNEL_EACH_3(M, first, second, third) M first M second M third

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
    Flow flow;
    std::string_view meaning;
    std::array<OperandSpec, 3> operands;  // declared order; unused entries have an empty name

    constexpr size_t operand_count() const {
        size_t n = 0;
        for (const auto& op : operands) n += op.name.empty() ? 0 : 1;
        return n;
    }
    // The operand written at `position` in the file encoding.
    constexpr const OperandSpec& at_position(size_t position) const {
        for (const auto& op : operands)
            if (!op.name.empty() && op.position == position) return op;
        return operands[0];
    }
};

#define TARNEL_OPERAND_SPEC(name, type, slot, position, access) \
    OperandSpec{#name, storage_of(OperandType::type), OperandType::type, Slot::slot, position, Access::access},
#define TARNEL_INFO_ENTRY(name, encodable, flow, meaning, ...) \
    InstructionInfo{#name, encodable, Flow::flow, meaning, {TARNEL_EACH_OPERAND(TARNEL_OPERAND_SPEC, __VA_ARGS__)}},
inline constexpr std::array<InstructionInfo, kOpcodeCount> kInstructionInfo = {TARNEL_INSTRUCTIONS(TARNEL_INFO_ENTRY)};
#undef TARNEL_INFO_ENTRY
#undef TARNEL_OPERAND_SPEC

constexpr const InstructionInfo& info(Opcode op) { return kInstructionInfo[static_cast<size_t>(op)]; }

// Every row must fit the record and the file: each slot holds one operand of
// a kind it can hold, an optional register is the first operand and sits in
// A, and the file positions of a kind are 0..n-1, each once.
constexpr bool row_is_consistent(const InstructionInfo& row) {
    bool used[5] = {};
    bool positions[3] = {};
    for (size_t i = 0; i < row.operand_count(); ++i) {
        const OperandSpec& op = row.operands[i];
        const auto slot = static_cast<size_t>(op.slot);
        if (used[slot]) return false;
        used[slot] = true;
        switch (op.kind) {
            case OperandKind::Reg:
                if (op.slot > Slot::C) return false;
                break;
            case OperandKind::OptReg:
                if (op.slot != Slot::A || i != 0 || used[static_cast<size_t>(Slot::Wide)]) return false;
                used[static_cast<size_t>(Slot::Wide)] = true;  // holds the presence
                break;
            case OperandKind::U16:
            case OperandKind::Offset:
                if (op.slot != Slot::Wide) return false;
                break;
            case OperandKind::Args:
            case OperandKind::Sources:
            case OperandKind::Assert:
                if (op.slot != Slot::Lists) return false;
                break;
        }
        if (op.access != Access::In && op.kind != OperandKind::Reg) return false;
        if (op.position >= row.operand_count() || positions[op.position]) return false;
        positions[op.position] = true;
    }
    // Module files hold no PhiR sources and no assertion conditions.
    if (row.encodable)
        for (const auto& op : row.operands)
            if (!op.name.empty() && (op.kind == OperandKind::Sources || op.kind == OperandKind::Assert)) return false;
    return true;
}

constexpr bool every_row_is_consistent() {
    for (const auto& row : kInstructionInfo)
        if (!row_is_consistent(row)) return false;
    return true;
}
static_assert(every_row_is_consistent(), "an instruction row does not fit the Instruction record or the file encoding");

// A (register, 16-bit number) pair of PhiR.
struct PhiSource {
    uint8_t reg;
    uint16_t label;
    bool operator==(const PhiSource&) const = default;
};

// The operands that do not fit the fixed part of an instruction. Immutable
// once built and shared between copies of the instruction.
struct OperandLists {
    std::vector<uint8_t> args;       // CallR
    std::vector<PhiSource> sources;  // PhiR
    AssertType assert_type;          // AssertR
};

// The in-memory instruction: the slots a, b, c and wide hold the operands as
// each kind's row places them; the lists of CallR, PhiR and AssertR hang off
// `lists`. Handlers read operands by name through Operands<Op> below.
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

    uint8_t& reg(Slot slot) { return slot == Slot::A ? a : slot == Slot::B ? b : c; }
    uint8_t reg(Slot slot) const { return slot == Slot::A ? a : slot == Slot::B ? b : c; }

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

// Reads operand `type` from `slot`; resolved at compile time, so a named
// accessor costs exactly the load of the field.
template <OperandType Type, Slot Where>
[[gnu::always_inline]] inline decltype(auto) read_operand(const Instruction& ins) {
    if constexpr (Type == OperandType::Reg || Type == OperandType::OptReg) {
        if constexpr (Where == Slot::A)
            return ins.a;
        else if constexpr (Where == Slot::B)
            return ins.b;
        else
            return ins.c;
    } else if constexpr (Type == OperandType::Offset) {
        return ins.offset();
    } else if constexpr (Type == OperandType::Args) {
        return ins.args();
    } else if constexpr (Type == OperandType::Sources) {
        return ins.sources();
    } else if constexpr (Type == OperandType::Assert) {
        return ins.assert_type();
    } else {
        return ins.index();
    }
}

// The operands of an instruction of kind Op, by the names its row gives
// them: Operands<Opcode::AddR>{ins}.left() is ins.b, and for CallR dst() is
// ins.b. An optional register also answers has_<name>(). Converts back to the
// instruction for code that takes any kind.
template <Opcode Op>
struct Operands;

#define TARNEL_ACCESSOR(name, type, slot, position, access)                                                         \
    [[gnu::always_inline]] decltype(auto) name() const { return read_operand<OperandType::type, Slot::slot>(ins); } \
    TARNEL_PRESENCE_##type(name)
// Only an optional register has a presence to ask about.
#define TARNEL_PRESENCE_OptReg(name) \
    [[gnu::always_inline]] bool has_##name() const { return ins.wide != 0; }
#define TARNEL_PRESENCE_Reg(name)
#define TARNEL_PRESENCE_Const(name)
#define TARNEL_PRESENCE_Name(name)
#define TARNEL_PRESENCE_Type(name)
#define TARNEL_PRESENCE_Scope(name)
#define TARNEL_PRESENCE_Msg(name)
#define TARNEL_PRESENCE_Offset(name)
#define TARNEL_PRESENCE_Args(name)
#define TARNEL_PRESENCE_Sources(name)
#define TARNEL_PRESENCE_Assert(name)
#define TARNEL_OPERANDS_VIEW(opname, encodable, flow, meaning, ...) \
    template <>                                                     \
    struct Operands<Opcode::opname> {                               \
        const Instruction& ins;                                     \
        operator const Instruction&() const { return ins; }         \
        TARNEL_EACH_OPERAND(TARNEL_ACCESSOR, __VA_ARGS__)           \
    };
TARNEL_INSTRUCTIONS(TARNEL_OPERANDS_VIEW)
#undef TARNEL_OPERANDS_VIEW
#undef TARNEL_ACCESSOR

}  // namespace tarnel
