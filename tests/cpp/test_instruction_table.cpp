// The instruction rows against facts written out by hand: where each operand
// lands in the record, the bytes a kind is written as, and what the named
// accessors return. Everything else is generated from the rows, so these are
// the checks that a row says what the VM means.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../../fuzz/module_writer.hpp"
#include "loader/bytecode.hpp"
#include "loader/instruction.hpp"
#include "vm/frame_analysis.hpp"

namespace tarnel {
namespace {

using Bytes = std::vector<uint8_t>;

// The code section of a module holding `ins` alone, as the fuzzers' writer
// writes it: the instruction count, then the instruction.
Bytes encoded(const Instruction& ins) {
    Module module;
    module.instructions.push_back(ins);
    const Bytes file = fuzzing::write_module(module);
    // The instruction section is last; its offset is the fourth header offset.
    const size_t at = file[24] | (file[25] << 8) | (file[26] << 16) | (file[27] << 24);
    return Bytes(file.begin() + static_cast<std::ptrdiff_t>(at) + 4, file.end());
}

struct EncodingCase {
    const char* label;
    Instruction instruction;
    Bytes bytes;  // opcode byte and operands, written out by hand
};

class InstructionEncoding : public testing::TestWithParam<EncodingCase> {};

TEST_P(InstructionEncoding, WritesTheHandWrittenBytesAndDecodesBack) {
    const EncodingCase& c = GetParam();
    EXPECT_EQ(encoded(c.instruction), c.bytes);

    Module module;
    module.instructions.push_back(c.instruction);
    auto decoded = decode_module(fuzzing::write_module(module));
    ASSERT_TRUE(decoded) << decoded.error().message();
    ASSERT_EQ(decoded.value().instructions.size(), 1u);
    EXPECT_TRUE(decoded.value().instructions[0] == c.instruction);
}

// CallR is written func, dst, args although it is declared func, args, dst;
// an optional register is a presence byte first; u16 and i32 little-endian.
INSTANTIATE_TEST_SUITE_P(
    Rows, InstructionEncoding,
    testing::Values(
        EncodingCase{"CallR", Instruction::call(3, {4, 5}, 9), {25, 3, 9, 2, 4, 5}},
        EncodingCase{"CallRNoArgs", Instruction::call(7, {}, 8), {25, 7, 8, 0}},
        EncodingCase{"ReturnRWithSrc", Instruction::make(Opcode::ReturnR, {6}), {26, 1, 6}},
        EncodingCase{"ReturnRBare", Instruction::return_none(), {26, 0}},
        EncodingCase{"CheckTypeR", Instruction::make(Opcode::CheckTypeR, {1, 2, 0x0304}), {5, 1, 2, 0x04, 0x03}},
        EncodingCase{"JumpIfNotR", Instruction::make(Opcode::JumpIfNotR, {7, -2}), {24, 7, 0xFE, 0xFF, 0xFF, 0xFF}},
        EncodingCase{"ArraySetR", Instruction::make(Opcode::ArraySetR, {1, 2, 3}), {35, 1, 2, 3}},
        EncodingCase{"StoreGlobalR", Instruction::make(Opcode::StoreGlobalR, {5, 258}), {3, 5, 2, 1}},
        EncodingCase{"Halt", Instruction::make(Opcode::Halt), {39}}),
    [](const testing::TestParamInfo<EncodingCase>& info) { return std::string(info.param.label); });

// Where make puts each operand in the record, for the kinds whose placement
// is not simply a, b, c in declared order.
struct PlacementCase {
    Instruction instruction;
    uint8_t a, b, c;
    uint32_t wide;
};

TEST(InstructionPlacement, OperandsLandInTheirSlots) {
    const PlacementCase cases[] = {
        {Instruction::call(3, {}, 9), 3, 9, 0, 0},
        {Instruction::make(Opcode::ReturnR, {6}), 6, 0, 0, 1},
        {Instruction::return_none(), 0, 0, 0, 0},
        {Instruction::make(Opcode::LoadConstR, {2, 261}), 2, 0, 0, 261},
        {Instruction::make(Opcode::CastR, {1, 2, 4}), 1, 2, 0, 4},
        {Instruction::make(Opcode::JumpR, {-3}), 0, 0, 0, 0xFFFFFFFDu},
        {Instruction::assertion(5, AssertType::truthy(), 7), 5, 0, 0, 7},
        {Instruction::make(Opcode::DictSetR, {1, 2, 3}), 1, 2, 3, 0},
    };
    for (const PlacementCase& c : cases) {
        SCOPED_TRACE(std::string(info(c.instruction.op).name));
        EXPECT_EQ(c.instruction.a, c.a);
        EXPECT_EQ(c.instruction.b, c.b);
        EXPECT_EQ(c.instruction.c, c.c);
        EXPECT_EQ(c.instruction.wide, c.wide);
    }
}

// The named accessors read the slot the row names, whatever the kind.
TEST(InstructionAccessors, ReadTheOperandsByName) {
    const Instruction call = Instruction::call(3, {4, 5}, 9);
    const Operands<Opcode::CallR> call_ops{call};
    EXPECT_EQ(call_ops.func(), 3);
    EXPECT_EQ(call_ops.dst(), 9);
    EXPECT_EQ(call_ops.args(), (std::vector<uint8_t>{4, 5}));

    const Instruction add = Instruction::make(Opcode::AddR, {1, 2, 3});
    const Operands<Opcode::AddR> add_ops{add};
    EXPECT_EQ(add_ops.dst(), 1);
    EXPECT_EQ(add_ops.left(), 2);
    EXPECT_EQ(add_ops.right(), 3);

    const Instruction jump = Instruction::make(Opcode::JumpIfR, {4, -7});
    EXPECT_EQ(Operands<Opcode::JumpIfR>{jump}.cond(), 4);
    EXPECT_EQ(Operands<Opcode::JumpIfR>{jump}.offset(), -7);

    const Instruction ret = Instruction::make(Opcode::ReturnR, {0});
    EXPECT_TRUE(Operands<Opcode::ReturnR>{ret}.has_src());
    EXPECT_EQ(Operands<Opcode::ReturnR>{ret}.src(), 0);
    EXPECT_FALSE(Operands<Opcode::ReturnR>{Instruction::return_none()}.has_src());

    const Instruction check = Instruction::make(Opcode::CheckTypeR, {1, 2, 65535});
    EXPECT_EQ(Operands<Opcode::CheckTypeR>{check}.type_id(), 65535);
    const Instruction assertion = Instruction::assertion(5, AssertType::truthy(), 7);
    EXPECT_EQ(Operands<Opcode::AssertR>{assertion}.msg_idx(), 7);
    EXPECT_EQ(Operands<Opcode::AssertR>{assertion}.reg(), 5);
}

// The written registers of a few rows, spelled out: a mistake here would let
// a call skip saving a register its callee changes.
TEST(InstructionWrites, RowsDeclareTheRegistersTheyWrite) {
    struct Case {
        Opcode op;
        uint8_t written_slots;
        Flow flow;
    };
    const Case cases[] = {
        {Opcode::CallR, kSlotB, Flow::Call},      {Opcode::ArraySetR, kSlotA, Flow::Next},
        {Opcode::DictClearR, kSlotA, Flow::Next}, {Opcode::DefineR, kSlotA, Flow::Next},
        {Opcode::StoreGlobalR, 0, Flow::Next},    {Opcode::AssertR, 0, Flow::Next},
        {Opcode::JumpIfR, 0, Flow::Branch},       {Opcode::JumpR, 0, Flow::Jump},
        {Opcode::ReturnR, 0, Flow::Stop},         {Opcode::Halt, 0, Flow::Stop},
        {Opcode::DebugPrint, 0, Flow::Next},      {Opcode::PhiR, kSlotA, Flow::Next},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(info(c.op).name));
        EXPECT_EQ(write_effect(c.op).written_slots, c.written_slots);
        EXPECT_EQ(write_effect(c.op).flow, c.flow);
    }
}

// A row that breaks the record's rules is refused at compile time.
TEST(InstructionRows, ConsistencyCheckRefusesBrokenRows) {
    using T = OperandType;
    const auto spec = [](std::string_view name, T type, Slot slot, uint8_t position, Access access = Access::In) {
        return OperandSpec{name, storage_of(type), type, slot, position, access};
    };
    const InstructionInfo good{"Good",
                               true,
                               Flow::Next,
                               "",
                               {spec("dst", T::Reg, Slot::A, 0, Access::Out), spec("k", T::Const, Slot::Wide, 1)}};
    EXPECT_TRUE(row_is_consistent(good));
    const InstructionInfo bad[] = {
        // two registers in one slot
        {"SameSlot", true, Flow::Next, "", {spec("x", T::Reg, Slot::A, 0), spec("y", T::Reg, Slot::A, 1)}},
        // an index outside `wide`
        {"IndexInB", true, Flow::Next, "", {spec("x", T::Reg, Slot::A, 0), spec("k", T::Const, Slot::B, 1)}},
        // two wide operands
        {"TwoWide", true, Flow::Next, "", {spec("k", T::Const, Slot::Wide, 0), spec("o", T::Offset, Slot::Wide, 1)}},
        // a file position used twice
        {"SamePosition", true, Flow::Next, "", {spec("x", T::Reg, Slot::A, 0), spec("y", T::Reg, Slot::B, 0)}},
        // an optional register after another operand
        {"LateOptional", true, Flow::Next, "", {spec("x", T::Reg, Slot::B, 0), spec("s", T::OptReg, Slot::A, 1)}},
        // an encodable kind with PhiR sources
        {"FileSources", true, Flow::Next, "", {spec("s", T::Sources, Slot::Lists, 0)}},
        // a written constant index
        {"WrittenIndex", true, Flow::Next, "", {spec("k", T::Const, Slot::Wide, 0, Access::Out)}},
    };
    for (const InstructionInfo& row : bad) EXPECT_FALSE(row_is_consistent(row)) << row.name;
}

}  // namespace
}  // namespace tarnel
