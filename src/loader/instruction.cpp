#include "loader/instruction.hpp"

namespace tarnel {

Instruction Instruction::make(Opcode op, std::initializer_list<int64_t> operands) {
    Instruction ins;
    ins.op = op;
    const InstructionInfo& row = info(op);
    auto value = operands.begin();
    for (size_t i = 0; i < row.operand_count() && value != operands.end(); ++i) {
        const OperandSpec& operand = row.operands[i];
        switch (operand.kind) {
            case OperandKind::Reg:
                ins.reg(operand.slot) = static_cast<uint8_t>(*value++);
                break;
            case OperandKind::U16:
            case OperandKind::Offset:
                ins.wide = static_cast<uint32_t>(*value++);
                break;
            case OperandKind::OptReg:
                ins.wide = *value >= 0 ? 1 : 0;
                ins.reg(operand.slot) = *value >= 0 ? static_cast<uint8_t>(*value) : 0;
                ++value;
                break;
            case OperandKind::Args:
            case OperandKind::Sources:
            case OperandKind::Assert:
                break;  // lists come through the dedicated builders
        }
    }
    return ins;
}

Instruction Instruction::call(uint8_t func, std::vector<uint8_t> args, uint8_t dst) {
    Instruction ins = make(Opcode::CallR, {func, dst});
    auto lists = std::make_shared<OperandLists>();
    lists->args = std::move(args);
    ins.lists = std::move(lists);
    return ins;
}

Instruction Instruction::phi(uint8_t dst, std::vector<PhiSource> sources) {
    Instruction ins = make(Opcode::PhiR, {dst});
    auto lists = std::make_shared<OperandLists>();
    lists->sources = std::move(sources);
    ins.lists = std::move(lists);
    return ins;
}

Instruction Instruction::assertion(uint8_t reg, AssertType condition, uint16_t msg_idx) {
    Instruction ins = make(Opcode::AssertR, {reg, msg_idx});
    auto lists = std::make_shared<OperandLists>();
    lists->assert_type = condition;
    ins.lists = std::move(lists);
    return ins;
}

bool Instruction::operator==(const Instruction& other) const {
    if (op != other.op || a != other.a || b != other.b || c != other.c || wide != other.wide) return false;
    if (!lists || !other.lists) return !lists && !other.lists;
    return lists->args == other.lists->args && lists->sources == other.lists->sources &&
           lists->assert_type == other.lists->assert_type;
}

}  // namespace tarnel
