// Machine code for a loaded instruction list (the machine-code tier).
//
// The whole list is compiled at once, instruction by instruction, into one
// block of x86-64 code that works on the VM's register file in memory.
// Simple kinds get code of their own (scalar constants and moves, Int and
// Float arithmetic and comparisons, jumps inside the list). Every other
// instruction, and every one whose guard fails (an operand of another type,
// an overflow, a register holding a heap value that would need releasing),
// calls the instruction's ordinary handler (jit_handlers.hpp) with the program
// counter, the instruction count and the last jump stored exactly as the
// interpreter would have them; the machine code then goes on at whatever pc
// the handler left. Calls and returns first try the interpreter's quick call
// and return, in machine code or a lean helper. It leaves only when a
// handler ends the run, pc leaves the list, or a watched run's count
// reaches its next poll.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "loader/module.hpp"
#include "vm/jit_loops.hpp"

namespace tarnel {
struct VmState;
}

namespace tarnel::jit {

// What the engine and the machine code exchange. The field order is fixed:
// the machine code addresses the fields by offset.
struct MachineFrame {
    void* registers = nullptr;  // VmState::registers.data()
    void* tags = nullptr;       // VmState::register_types.data()
    uint64_t pc = 0;            // in: the instruction to start at; out: the first one not run
    uint64_t count = 0;         // in and out: the instruction count
    int64_t last_jump = -1;     // out: index of the last jump taken, -1 when none was
    // At a taken jump, a call or a return, the code leaves (before the
    // target) once the count has reached this; UINT64_MAX in runs without
    // limits.
    uint64_t poll_at = UINT64_MAX;
    void* handlers = nullptr;  // a HandlerContext (jit_handlers.hpp)
    uint8_t stopped = 0;       // out: a handler ended the run (HandlerContext says how; VmState::pc holds the pc)
    void* state = nullptr;     // the VmState, for the quick call and return (jit_handlers.hpp)
    // The call stack's first frame and the end of its room, as the code last
    // read them from the state (jit_x64.cpp, reload_stack_end).
    void* stack_begin = nullptr;
    void* stack_room_end = nullptr;
    // The machine stack pointer once the code has saved what it uses: the
    // return addresses of quick calls go below it (jit_x64.cpp, push_frame).
    void* machine_stack_base = nullptr;
    // Set once the code has found the registers it takes for stable
    // holding what they hold for good (jit_known_ints.hpp, StableRegisters).
    uint8_t stable_checked = 0;
};

class MachineCode;

// Whether this build has the machine-code tier (x86-64 with the emitter
// library present at build time).
bool tier_built();

// Compiles `code`, or returns null when the tier is not built, the machine's
// value layout is not the one the emitter assumes, the list is too long or
// the emitter fails. `seen`: the types the registers hold now, a guess for
// loops whose code does not tell (jit_loops.hpp). `state`: the VM the code
// is for, whose call-site caches the code of CallR addresses (they live as
// long as the load, as the code does) and whose layout the quick call and
// return follow; null: calls and returns go through their handlers.
std::shared_ptr<MachineCode> compile(const std::vector<Instruction>& code, const std::vector<Constant>& constants,
                                     const SeenTypes* seen = nullptr, const VmState* state = nullptr);

// Whether instruction `pc` has code of its own (false: the machine code
// calls its handler). A call or return counts when its quick path is
// machine code, which calls the handler only in the cases it leaves.
bool has_native_code(const MachineCode& machine_code, uint64_t pc);

// Runs the machine code from frame.pc until it leaves (see above).
void enter(const MachineCode& machine_code, MachineFrame& frame);

// Bytes of machine code and dispatch table, for tests of the size bound.
size_t code_bytes(const MachineCode& machine_code);

}  // namespace tarnel::jit
