// The quiet run loop over the engine's fast form of the instructions.
#pragma once

#include "vm/exec_context.hpp"

#if defined(__GNUC__) && !defined(TARNEL_NO_COMPUTED_GOTO)
#define TARNEL_COMPUTED_GOTO 1
#endif

namespace tarnel {

#if TARNEL_COMPUTED_GOTO
// Runs from pc until the run ends, exactly as the debug loop would without
// its trace. Builds the fast form of the loaded instructions on first use.
Status run_fast(ExecContext& c);
#endif

}  // namespace tarnel
