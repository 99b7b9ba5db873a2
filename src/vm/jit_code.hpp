// Machine code for a loaded instruction list (the machine-code tier).
//
// The whole list is compiled at once, instruction by instruction, into one
// block of x86-64 code that works on the VM's register file in memory. Only
// simple kinds get machine code (scalar constants and moves, Int and Float
// arithmetic and comparisons, jumps inside the list); at every other
// instruction, and wherever a guard fails (an operand of another type, an
// overflow, a register holding a heap value that would need releasing), the
// code stops before that instruction and reports its index: the interpreter
// runs it, with the program counter, the instruction count and the last jump
// exactly as if the interpreter had run everything before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "loader/module.hpp"

namespace tarnel::jit {

// What the engine and the machine code exchange. The field order is fixed:
// the machine code addresses the fields by offset.
struct MachineFrame {
    void* registers = nullptr;  // VmState::registers.data()
    void* tags = nullptr;       // VmState::register_types.data()
    uint64_t pc = 0;            // in: the instruction to start at; out: the first one not run
    uint64_t count = 0;         // in and out: the instruction count
    int64_t last_jump = -1;     // out: index of the last jump taken, -1 when none was
};

class MachineCode;

// Whether this build has the machine-code tier (x86-64 with the emitter
// library present at build time).
bool tier_built();

// Compiles `code`, or returns null when the tier is not built, the machine's
// value layout is not the one the emitter assumes, the list is too long or
// the emitter fails.
std::shared_ptr<MachineCode> compile(const std::vector<Instruction>& code, const std::vector<Constant>& constants);

// Whether the machine code at `pc` does any work: false for instructions it
// only hands back, so the engine need not enter for them.
bool has_entry(const MachineCode& machine_code, uint64_t pc);

// Runs the machine code from frame.pc until its first side exit.
void enter(const MachineCode& machine_code, MachineFrame& frame);

// Bytes of machine code and dispatch table, for tests of the size bound.
size_t code_bytes(const MachineCode& machine_code);

}  // namespace tarnel::jit
