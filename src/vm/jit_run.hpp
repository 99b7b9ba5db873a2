// Runs through the machine-code tier (jit_code.hpp), and when to compile.
#pragma once

#include "vm/exec_context.hpp"
#include "vm/jit_code.hpp"

namespace tarnel::jit {

// The tier's switch, the environment variable TARNEL_JIT, read when a run
// starts: "0" off, "always" compile the whole list before its first
// instruction runs. Any other value, or none, is the default tiering: the
// interpreter runs a module until it is hot, then the machine code.
enum class Mode { Off, Always, Default };

Mode mode_from(const char* value);
Mode mode_from_environment();

// The instructions the interpreter runs of a loaded list of `size`
// instructions, over all its quiet runs, before the default tiering
// compiles it: enough that compiling (a few thousand machine instructions
// per instruction compiled) costs a small part of the work already done.
uint64_t hot_threshold(uint64_t size);

// How a quiet run, with limits or without, starts. `code`: run in machine
// code from the start. Otherwise `warm_up` > 0: interpret at most about
// that many instructions, stopping at a taken jump, call or return, then
// compile (`compiled`) and go on in machine code; 0: the interpreter runs
// everything. Debug runs, TARNEL_JIT=0, builds without the tier, lists
// that failed to compile and lists whose machine code would not pay off
// get the interpreter.
struct Plan {
    const MachineCode* code = nullptr;
    uint64_t warm_up = 0;
};
Plan plan_quiet_run(VmState& state);

// Adds a quiet run's interpreted instructions to the module's count.
void count_interpreted(VmState& state, uint64_t instructions);

// The machine code for the loaded list, compiled on the first call after a
// load; null when compiling failed, or when under the default tiering
// its loops would run slower than in the interpreter (jit_payoff.hpp).
const MachineCode* compiled(VmState& state);

// Runs from pc until the run ends, exactly as the interpreter would. With
// a poller (a run with limits), polls as the interpreter's watched loop
// does: at each taken jump, call and return once the count has reached the
// poller's figure. Ends like that loop, with Status::Next and
// `poller->counting()` when the rest must count every instruction.
Status run_with_machine_code(ExecContext& c, const MachineCode& machine_code, LimitPoller* poller = nullptr);

// The name of the tier for the extension's feature list, or null when this
// build has none.
const char* feature_name();

}  // namespace tarnel::jit
