#include "vm/run_limits.hpp"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "values/dict_map.hpp"
#include "vm/state.hpp"

namespace tarnel {
namespace {

using namespace std::chrono_literals;

// The clock is read once per window of instructions. A window starts at
// 16,384 and adapts to how long the last one took, so that a program of
// slow instructions still sees its deadline within a millisecond or two and
// a fast one reads the clock rarely (a read costs about as much as a few
// dozen instructions).
constexpr uint64_t kFirstWindow = uint64_t{1} << 14;
constexpr uint64_t kMinWindow = 16;
constexpr uint64_t kMaxWindow = uint64_t{1} << 18;
constexpr auto kSlowWindow = 1ms;
constexpr auto kFastWindow = 250us;
constexpr uint64_t kFarthestPoll = uint64_t{1} << 62;

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
    if (stopped) return 0;
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

uint64_t LimitPoller::next_poll(uint64_t instruction_count, uint64_t code_size) {
    poll_count_ = next_poll_count(instruction_count, code_size);
    return poll_count_;
}

uint64_t LimitPoller::next_poll_count(uint64_t instruction_count, uint64_t code_size) {
    if (stopped) return 0;
    if (instruction_count >= stop_count_) {
        stopped = LimitKind::Instructions;
        return 0;
    }
    // The last count at which the loop may still look: past it, the
    // straight run to the next transfer could overshoot the budget. Never
    // more than 2^62 ahead: the fast loop tests the distance's sign.
    uint64_t last = instruction_count + std::min(kFarthestPoll, UINT64_MAX - instruction_count);
    if (stop_count_ != UINT64_MAX) {
        if (stop_count_ - instruction_count <= code_size) {
            counting_ = true;
            return 0;
        }
        last = std::min(last, stop_count_ - code_size);
    }
    if (timed_) {
        if (auto why = timed_poll()) {
            stopped = why;
            return 0;
        }
        if (window_ < last - instruction_count) last = instruction_count + window_;
    }
    if (hand_over_at_ != UINT64_MAX) {
        if (instruction_count >= hand_over_at_) {
            hand_over_at_ = UINT64_MAX;
            handed_over_ = true;
            return 0;
        }
        last = std::min(last, hand_over_at_);
    }
    return last;
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
    if (stop_due()) throw RunStopped{*stopped};
}

bool LimitPoller::stop_due() noexcept {
    if (stopped) return true;
    if (!timed_) return false;
    stopped = check_clock(std::chrono::steady_clock::now());
    return stopped.has_value();
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
