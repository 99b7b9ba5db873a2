// Runs through the machine-code tier (jit_code.hpp), with the interpreter
// taking every instruction the machine code hands back.
#pragma once

#include "vm/exec_context.hpp"
#include "vm/jit_code.hpp"

namespace tarnel::jit {

// The tier's switch, the environment variable TARNEL_JIT, read when a run
// starts: "0" off, "always" compile the whole list before its first
// instruction runs. Any other value, or none, is the default tiering, which
// in this version is the interpreter alone.
enum class Mode { Off, Always, Default };

Mode mode_from(const char* value);
Mode mode_from_environment();

// The machine code for the loaded list when this run should use it:
// compiled on the first such run after a load. Null for debug runs, when
// the tier is off or not built, and when compiling failed (the interpreter
// then runs everything).
const MachineCode* machine_code_for_run(VmState& state);

// Runs from pc until the run ends, exactly as the interpreter would:
// machine code where it has an entry, one interpreter step at every side
// exit and at every instruction it has no code for.
Status run_with_machine_code(ExecContext& c, const MachineCode& machine_code);

// The name of the tier for the extension's feature list, or null when this
// build has none.
const char* feature_name();

}  // namespace tarnel::jit
