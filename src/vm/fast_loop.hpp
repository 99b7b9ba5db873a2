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

// The same loop for a run with limits: from the first taken jump, call or
// return at which the instruction count reaches `next_poll`, it asks the
// poller at each of them whether to go on (LimitPoller::next_poll). Ends as
// `run_fast` does, with Status::Error and LimitReached when a limit stops
// the run, or with Status::Next and `poller.counting()` when the rest must
// run in a loop that counts every instruction.
Status run_fast_watched(ExecContext& c, LimitPoller& poller, uint64_t next_poll);
#endif

}  // namespace tarnel
