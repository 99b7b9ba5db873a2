#include "vm/run_limits.hpp"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "values/dict_map.hpp"
#include "vm/state.hpp"

namespace tarnel {
namespace {

using namespace std::chrono_literals;

// The clock is read once per window (of instructions, or of control
// transfers). A window starts at 1024 and adapts to how long the last one
// took, so that a program of slow instructions still sees its deadline
// within a millisecond or two and a fast one reads the clock rarely (a read
// costs about as much as a hundred instructions).
constexpr uint64_t kFirstWindow = 1024;
constexpr uint64_t kMinWindow = 8;
constexpr uint64_t kMaxWindow = 4096;
constexpr auto kSlowWindow = 1ms;
constexpr auto kFastWindow = 250us;

}  // namespace

LimitPoller::LimitPoller(const RunLimits& limits, uint64_t instruction_count)
    : limits_(limits),
      timed_(limits.deadline.has_value() || static_cast<bool>(limits.host_poll)),
      window_(kFirstWindow) {
    if (limits.max_instructions)
        stop_count_ = *limits.max_instructions < UINT64_MAX - instruction_count
                          ? instruction_count + *limits.max_instructions
                          : UINT64_MAX;
    if (timed_) {
        last_poll_ = std::chrono::steady_clock::now();
        next_host_poll_ = last_poll_ + limits.host_poll_interval;
    }
}

uint64_t LimitPoller::poll(uint64_t instruction_count) {
    if (instruction_count >= stop_count_) {
        stopped = LimitKind::Instructions;
        return 0;
    }
    const uint64_t allowed = stop_count_ - instruction_count;
    if (!timed_) return allowed;
    if (auto why = timed_poll()) {
        stopped = why;
        return 0;
    }
    return std::min(allowed, window_);
}

uint64_t LimitPoller::poll_transfer(uint64_t instruction_count, uint64_t code_size) {
    if (instruction_count >= stop_count_) {
        stopped = LimitKind::Instructions;
        return 0;
    }
    uint64_t transfers = UINT64_MAX;
    if (stop_count_ != UINT64_MAX) {
        // Each transfer and the straight run after it take at most
        // code_size + 1 instructions; keep code_size of them in hand.
        const uint64_t left = stop_count_ - instruction_count;
        transfers = left > code_size ? (left - code_size) / (code_size + 1) : 0;
        if (transfers == 0) {
            counting_ = true;
            return 0;
        }
    }
    if (!timed_) return transfers;
    if (auto why = timed_poll()) {
        stopped = why;
        return 0;
    }
    return std::min(transfers, window_);
}

std::optional<LimitKind> LimitPoller::timed_poll() {
    const SteadyTime now = std::chrono::steady_clock::now();
    const auto took = now - last_poll_;
    last_poll_ = now;
    if (took > kSlowWindow)
        window_ = std::max(kMinWindow, window_ / 8);
    else if (took < kFastWindow)
        window_ = std::min(kMaxWindow, window_ * 2);
    return check_clock(now);
}

void LimitPoller::check() {
    if (!timed_) return;
    if (auto why = check_clock(std::chrono::steady_clock::now())) {
        stopped = why;
        throw RunStopped{*why};
    }
}

std::optional<LimitKind> LimitPoller::check_clock(SteadyTime now) {
    if (limits_.deadline && now >= *limits_.deadline) return LimitKind::Time;
    if (limits_.host_poll && now >= next_host_poll_) {
        next_host_poll_ = now + limits_.host_poll_interval;
        if (limits_.host_poll()) return LimitKind::Host;
    }
    return std::nullopt;
}

uint64_t held_memory(const VmState& state) {
    std::unordered_set<const void*> seen;
    std::vector<const Value*> work;
    uint64_t total = 0;
    auto visit = [&](const Value& value) {
        if (value.is_heap() && seen.insert(value.payload()).second) work.push_back(&value);
    };
    for (const Value& value : state.registers) visit(value);
    for (const Constant& constant : state.constants) visit(constant.value());
    for (const auto& [name, value] : state.globals) visit(value);
    for (const CallSiteCache& site : state.caches.call_sites) visit(site.callee);
    // Between runs every frame is full and still owns its saved registers.
    for (const CallFrame& frame : state.call_stack)
        if (frame.live && frame.is_full())
            for (const Value& value : frame.saved_registers) visit(value);
    while (!work.empty()) {
        const Value& value = *work.back();
        work.pop_back();
        total += footprint(value);
        if (value.is(ValueType::Array)) {
            for (const Value& item : value.items()) visit(item);
        } else if (value.is(ValueType::Dict)) {
            const DictMap& map = value.entries();
            for (size_t i = 0; i < map.slot_count(); ++i) {
                if (const Value* key = map.slot_key(i)) {
                    visit(*key);
                    visit(map.slot_value(i));
                }
            }
        }
    }
    return total;
}

}  // namespace tarnel
