#include "vm/jit_known_ints.hpp"

#include <array>
#include <bitset>
#include <optional>

#include "vm/call_stack.hpp"
#include "vm/jit_loops.hpp"
#include "vm/jit_x64_layout.hpp"
#include "vm/state.hpp"

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

namespace {

// What the instructions that may write register r write, over the list.
struct Writers {
    bool any = false;
    bool all_int_constants = true;
    std::optional<uint64_t> one_constant;  // when every writer loads this constant
    bool same_constant = true;
};

void note_write(Writers& w, const Instruction& ins, const std::vector<Constant>& constants) {
    const bool loads = ins.op == Opcode::LoadConstR && ins.index() < constants.size();
    w.all_int_constants = w.all_int_constants && loads && loads_an_int(ins, constants);
    if (!loads || (w.any && w.one_constant != ins.index())) w.same_constant = false;
    if (!w.any && loads) w.one_constant = ins.index();
    w.any = true;
}

}  // namespace

StableRegisters plan_stable_registers(const std::vector<Instruction>& code, const std::vector<Constant>& constants) {
    std::array<Writers, kRegisterCount> writers{};
    std::bitset<kRegisterCount> read_as_int, called;
    for (const Instruction& ins : code) {
        if (ins.op == Opcode::CallR) {
            called[ins.a] = true;
            note_write(writers[ins.b], ins, constants);
            for (size_t k = 0; k < ins.args().size(); ++k) note_write(writers[k], ins, constants);  // the callee's
            continue;
        }
        const bool numeric =
            ins.op == Opcode::AddR || ins.op == Opcode::SubR || ins.op == Opcode::MulR || is_comparison(ins.op);
        for (const OperandSpec& spec : info(ins.op).operands) {
            if (spec.name.empty() || spec.kind != OperandKind::Reg) continue;
            const uint8_t r = spec.slot == Slot::A ? ins.a : spec.slot == Slot::B ? ins.b : ins.c;
            if (spec.access != Access::In) note_write(writers[r], ins, constants);
            if (spec.access == Access::In && numeric) read_as_int[r] = true;
        }
    }
    StableRegisters stable;
    for (size_t r = kSavedRegisters; r < kRegisterCount; ++r) {
        const Writers& w = writers[r];
        if (!w.any || stable.ints.size() + stable.names.size() >= kMaxStable) continue;
        if (read_as_int[r] && w.all_int_constants) stable.ints.push_back(static_cast<uint8_t>(r));
        if (called[r] && w.same_constant && w.one_constant &&
            constants[*w.one_constant].value().type() == ValueType::String)
            stable.names.emplace_back(static_cast<uint8_t>(r), *w.one_constant);
    }
    return stable;
}

}  // namespace tarnel::jit
