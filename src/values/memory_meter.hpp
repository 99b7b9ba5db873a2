// The memory budget of a limited run.
//
// A run with a memory limit installs a meter on its thread. Every heap
// payload (string, function, array, dictionary) is charged its footprint
// when it is made and refunded when it is freed; a string appended in place
// and a dictionary whose slot table grows are charged the growth. An
// allocation that would take the bytes held past the limit throws
// MemoryLimitReached before anything is allocated; the run loop turns that
// into the end of the run.
//
// Without a meter (every ordinary run) the cost is one thread-local load
// per payload made or freed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnel {

// Thrown by a charge that does not fit. Caught by the run loop.
struct MemoryLimitReached {};

class MemoryMeter {
public:
    MemoryMeter(uint64_t limit, uint64_t held)
        : limit_(limit), room_(held < limit ? limit - held : 0), overdraft_(held > limit ? held - limit : 0) {}

    // Whether `bytes` more would stay within the limit.
    bool fits(uint64_t bytes) const { return bytes <= room_; }
    // The meter keeps what is left rather than what is held: a charge is
    // then one comparison and one subtraction.
    void charge(uint64_t bytes) {
        if (bytes > room_) throw MemoryLimitReached{};
        room_ -= bytes;
    }
    // A run that starts holding more than its limit must give the excess
    // back before it has room again. Payloads made before the run and
    // counted in its starting figure are refunded like any other, so the
    // bytes held cannot go below zero in practice; the clamp keeps the
    // figure sane if they ever would.
    void refund(uint64_t bytes) noexcept {
        if (overdraft_ != 0) {
            const uint64_t repaid = bytes < overdraft_ ? bytes : overdraft_;
            overdraft_ -= repaid;
            bytes -= repaid;
        }
        room_ = bytes < limit_ - room_ ? room_ + bytes : limit_;
    }

    uint64_t held() const { return limit_ - room_ + overdraft_; }
    uint64_t limit() const { return limit_; }

private:
    uint64_t limit_;
    uint64_t room_;       // bytes that may still be charged
    uint64_t overdraft_;  // bytes held beyond the limit when the run started
};

// The meter of the run going on on this thread, if it has one. The model
// avoids a call to the TLS resolver on every payload.
[[gnu::tls_model("initial-exec")]] inline constinit thread_local MemoryMeter* t_active_meter = nullptr;

// Charges `bytes` to this thread's meter, if any.
inline void charge_memory(uint64_t bytes) {
    if (MemoryMeter* meter = t_active_meter) meter->charge(bytes);
}
// Throws MemoryLimitReached if `bytes` more would not fit, charging nothing:
// for allocations whose size is known before they are made.
inline void require_memory(uint64_t bytes) {
    if (MemoryMeter* meter = t_active_meter; meter != nullptr && !meter->fits(bytes)) throw MemoryLimitReached{};
}
inline void refund_memory(uint64_t bytes) noexcept {
    if (MemoryMeter* meter = t_active_meter) meter->refund(bytes);
}

// Installs a meter on this thread for the life of the guard.
class ActiveMeter {
public:
    explicit ActiveMeter(MemoryMeter* meter) : previous_(t_active_meter) { t_active_meter = meter; }
    ~ActiveMeter() { t_active_meter = previous_; }
    ActiveMeter(const ActiveMeter&) = delete;
    ActiveMeter& operator=(const ActiveMeter&) = delete;

private:
    MemoryMeter* previous_;
};

}  // namespace tarnel
