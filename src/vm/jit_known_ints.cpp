#include "vm/jit_known_ints.hpp"

#include "vm/jit_x64_layout.hpp"

namespace tarnel::jit {

namespace {

WindowMask bit(uint8_t r) { return r < kWindowSize ? static_cast<WindowMask>(1u << r) : 0; }

bool loads_an_int(const Instruction& ins, const std::vector<Constant>& constants) {
    return ins.index() < constants.size() && constants[ins.index()].value().type() == ValueType::Int;
}

// What instruction `ins` leaves known on its common way, given `known`
// before it. Kinds not named here end the run: nothing is known after them.
WindowMask after(const Instruction& ins, WindowMask known, const std::vector<Constant>& constants,
                 bool calls_in_machine_code) {
    const WindowMask dst = bit(ins.a);
    switch (ins.op) {
        case Opcode::Nop:
        case Opcode::JumpIfR:
        case Opcode::JumpIfNotR:  // not taken
            return known;
        case Opcode::LoadConstR:
            return loads_an_int(ins, constants) ? known | dst : known & ~dst;
        case Opcode::MoveR:
            return (known & bit(ins.b)) != 0 ? known | dst : known & ~dst;
        case Opcode::AddR:
        case Opcode::SubR:
        case Opcode::MulR:  // the common way is the Ints'
            return known | dst | bit(ins.b) | bit(ins.c);
        case Opcode::DivR:
        case Opcode::NegR:
        case Opcode::LtR:
        case Opcode::LteR:
        case Opcode::GtR:
        case Opcode::GteR:
        case Opcode::EqR:
        case Opcode::NeqR:
        case Opcode::ArrayGetR:
            return known & ~dst;
        case Opcode::CallR:  // a return gives r0..r7 back, and the landing checks for an Int result
            return calls_in_machine_code && known != 0 ? known | bit(ins.b) : 0;
        default:
            return 0;
    }
}

}  // namespace

KnownInts plan_known_ints(const std::vector<Instruction>& code, const std::vector<Constant>& constants,
                          bool calls_in_machine_code, const std::vector<uint64_t>& barriers,
                          const std::map<uint64_t, WindowMask>& exit_entries) {
    KnownInts plan{std::vector<WindowMask>(code.size() + 1, 0), std::vector<bool>(code.size() + 1, false),
                   std::vector<bool>(code.size() + 1, false)};
    std::vector<bool> barrier(code.size() + 1, false);
    for (uint64_t b : barriers) {
        if (b < barrier.size()) barrier[b] = true;
    }
    for (uint64_t i = 0; i < code.size(); ++i) {
        if (barrier[i]) continue;
        WindowMask& known = plan.at[i];
        if (i > 0) known = after(code[i - 1], plan.at[i - 1], constants, calls_in_machine_code);
        const auto exit = exit_entries.find(i);
        if (known == 0 && exit != exit_entries.end() && exit->second != 0) {
            known = exit->second;
            plan.entered_by_exits[i] = true;
        }
        if (i > 0 && known != 0 && !plan.entered_by_exits[i]) {
            const WindowMask from_nothing = after(code[i - 1], 0, constants, calls_in_machine_code);
            plan.from_ordinary[i] = (known & ~from_nothing) == 0;
        }
    }
    return plan;
}

}  // namespace tarnel::jit
