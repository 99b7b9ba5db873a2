// Limits on one run: an instruction budget, a deadline, a memory budget and
// a host poll (how a host such as Python gets to look at its signals while
// the program runs).
//
// A run with limits uses the quiet loop compiled with one extra test: at
// each control transfer (a taken jump, a call, a return) it compares the
// instruction count with the count at which the LimitPoller asked to be
// polled next. The poller then decides whether the run goes on and for how
// many instructions more. Ordinary runs never see any of this.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "values/work_checkpoint.hpp"

namespace tarnel {

struct VmState;

enum class LimitKind : uint8_t {
    Instructions,  // the instruction budget is spent
    Time,          // the deadline has passed
    Memory,        // a value would take the bytes held past the budget
    Host,          // the host's poll asked to stop (it knows why)
};

// How a limited run that was stopped ends: a RunError alternative.
struct LimitReached {
    LimitKind kind;
};

using SteadyTime = std::chrono::steady_clock::time_point;

struct RunLimits {
    std::optional<uint64_t> max_instructions;  // instructions this run may execute
    std::optional<SteadyTime> deadline;
    std::optional<uint64_t> max_memory;  // bytes the VM's values may hold
    // Called from the running thread about every `host_poll_interval`;
    // returns true when the run must stop.
    std::function<bool()> host_poll;
    std::chrono::nanoseconds host_poll_interval = std::chrono::milliseconds(2);
};

// Thrown from a checkpoint inside a long operation; caught by the run loop.
struct RunStopped {
    LimitKind kind;
};

class LimitPoller final : public WorkCheckpoint {
public:
    LimitPoller(const RunLimits& limits, uint64_t instruction_count);

    // Called by the loop before it fetches an instruction, when the window
    // it was given is used up. Returns how many instructions may run before
    // the next poll (this one included), or 0 when the run stops; `stopped`
    // then says why.
    uint64_t poll(uint64_t instruction_count);

    // Called by the loops that poll at control transfers (taken jumps,
    // calls, returns) when the instruction count has reached the figure the
    // last call returned, and once before the run. Between two transfers at
    // most `code_size` instructions run (straight on through the code), so
    // such a loop cannot overshoot an instruction budget as long as more
    // than that is left. Returns the instruction count at which to poll
    // next (more than `instruction_count`), or 0: the run stops (`stopped`
    // says why), or the rest of it must count every instruction
    // (`counting()`; the loop hands over to one that does).
    uint64_t next_poll(uint64_t instruction_count, uint64_t code_size);
    // What next_poll returned last.
    uint64_t poll_count() const { return poll_count_; }
    bool counting() const { return counting_ || handed_over_; }

    // Asks the loop to stop at its first poll once the count has reached
    // `count`, as when it must count every instruction (next_poll returns
    // 0, counting() says true), with handed_over() saying why: where the
    // default tiering moves a limited run into machine code. resume() then
    // lets next_poll go on as before.
    void hand_over_at(uint64_t count) { hand_over_at_ = count; }
    bool handed_over() const { return handed_over_; }
    void resume() { handed_over_ = false; }

    // Between chunks of a long operation: throws RunStopped when the
    // deadline has passed or the host asks to stop.
    void check() override;
    // The same question without throwing, for work that cannot be cut
    // short by an exception (freeing a huge value). Once it has said yes it
    // keeps saying so, and the loop stops at its next poll.
    bool stop_due() noexcept override;

    std::optional<LimitKind> stopped;

private:
    uint64_t next_poll_count(uint64_t instruction_count, uint64_t code_size);
    // Reads the clock, adapts the window to how long the last one took,
    // and checks the deadline and the host poll.
    std::optional<LimitKind> timed_poll();
    // Checks the deadline and, when it is due, the host poll.
    std::optional<LimitKind> check_clock(SteadyTime now);

    const RunLimits& limits_;
    uint64_t stop_count_ = UINT64_MAX;    // the instruction count at which the budget is spent
    bool timed_;                          // a deadline or a host poll: the clock must be read
    bool counting_ = false;               // the budget is near: count every instruction
    uint64_t hand_over_at_ = UINT64_MAX;  // the count at which the loop hands over (hand_over_at)
    bool handed_over_ = false;            // next_poll said 0 for the hand-over, until resume()
    uint64_t poll_count_ = 0;             // the figure next_poll returned last
    uint64_t window_;                     // instructions between clock reads, adapted to their speed
    SteadyTime last_poll_;
    SteadyTime next_host_poll_;
};

// The bytes the values reachable from `state` hold, each payload counted
// once however many holders it has: where a run's memory budget starts.
uint64_t held_memory(const VmState& state);

}  // namespace tarnel
