#include "vm/jit_run.hpp"

#include <cstdlib>
#include <cstring>

#include "vm/handlers_calls.hpp"
#include "vm/handlers_core.hpp"
#include "vm/handlers_data.hpp"

namespace tarnel::jit {
namespace {

using namespace handlers;

// One instruction, as the debug loop runs it without its trace: fetch at
// pc, move pc past it, count it, run its handler.
Status interpret_one(ExecContext& c) {
    VmState& s = c.s;
    const Instruction& ins = s.instructions[s.pc];
    ++s.pc;
    ++s.instruction_count;
    switch (ins.op) {
#define TARNEL_CASE(name, ...) \
    case Opcode::name:         \
        return op_##name<false>(c, Operands<Opcode::name>{ins});
        TARNEL_INSTRUCTIONS(TARNEL_CASE)
#undef TARNEL_CASE
    }
    return Status::Next;
}

}  // namespace

Mode mode_from(const char* value) {
    if (value == nullptr) return Mode::Default;
    if (std::strcmp(value, "0") == 0) return Mode::Off;
    if (std::strcmp(value, "always") == 0) return Mode::Always;
    return Mode::Default;
}

Mode mode_from_environment() { return mode_from(std::getenv("TARNEL_JIT")); }

const MachineCode* machine_code_for_run(VmState& state) {
    if (state.debug || state.testing.plain_run_loop || !tier_built()) return nullptr;
    if (mode_from_environment() != Mode::Always) return nullptr;
    LoadCaches& caches = state.caches;
    if (!caches.machine_code_tried) {
        caches.machine_code_tried = true;
        caches.machine_code = compile(state.instructions, state.constants);
    }
    return caches.machine_code.get();
}

Status run_with_machine_code(ExecContext& c, const MachineCode& machine_code) {
    VmState& s = c.s;
    const uint64_t size = s.instructions.size();
    MachineFrame frame;
    frame.registers = s.registers.data();
    frame.tags = s.register_types.data();
    for (;;) {
        if (s.pc >= size) return Status::Next;
        if (has_entry(machine_code, s.pc)) {
            frame.pc = s.pc;
            frame.count = s.instruction_count;
            enter(machine_code, frame);
            s.pc = frame.pc;
            s.instruction_count = frame.count;
            if (frame.last_jump >= 0) s.last_jump = static_cast<uint16_t>(frame.last_jump);
            if (s.pc >= size) return Status::Next;
        }
        // The machine code stopped before pc (a side exit), or has nothing
        // for it: the interpreter runs it and whatever follows up to the
        // next instruction with machine code.
        do {
            const Status status = interpret_one(c);
            if (status != Status::Next) return status;
        } while (s.pc < size && !has_entry(machine_code, s.pc));
    }
}

const char* feature_name() { return tier_built() ? "machine code (x86-64, TARNEL_JIT=always)" : nullptr; }

}  // namespace tarnel::jit
