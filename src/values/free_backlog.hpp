// Freeing values, and the frees a stopped run leaves for later.
//
// Freeing can take long: when the last reference to an array of millions of
// arrays goes away in one register write, every element is freed then and
// there. A run with a deadline or Ctrl-C must not wait for that. So while a
// run installs a work checkpoint and a backlog on its thread, a free asks
// the checkpoint between chunks of its work (WorkCheckpoint::stop_due);
// when the run must stop, the free leaves what remains in the backlog and
// returns, and the run stops at its next poll. The VM keeps the backlog and
// finishes it at the start of its next run (asking again between chunks)
// or when it is destroyed.
//
// The values in a backlog are unreachable: nobody can observe that they
// still exist, except through memory use. A memory limit counts only what
// the VM can reach, and the stopped run's figures die with it, so nothing
// freed from a backlog is refunded to any meter.
#pragma once

#include <vector>

#include "values/value.hpp"

namespace tarnel {

// A payload whose last reference is gone, waiting to be freed.
struct DeadPayload {
    ValueType type;
    bool refunded;  // its footprint went back to the meter when it was first taken up
    Payload* payload;
};

class FreeBacklog {
public:
    FreeBacklog() = default;
    // Frees whatever is left, without asking anyone.
    ~FreeBacklog();
    FreeBacklog(const FreeBacklog&) = delete;
    FreeBacklog& operator=(const FreeBacklog&) = delete;

    bool empty() const { return dead_.empty(); }
    // Payloads waiting, not counting what dies with them.
    size_t size() const { return dead_.size(); }

    // Frees what is left, asking this thread's work checkpoint, if any,
    // between chunks. Returns true when everything is freed, false when the
    // checkpoint said to stop first (the rest stays here).
    bool finish();

    // Takes over the payloads a stopped free did not get to. They are
    // refunded to no meter from now on.
    void adopt(std::vector<DeadPayload>& rest);

private:
    std::vector<DeadPayload> dead_;
};

// Where a free on this thread leaves its rest when the checkpoint says to
// stop. Without one installed (every ordinary run) frees always finish.
[[gnu::tls_model("initial-exec")]] inline constinit thread_local FreeBacklog* t_free_backlog = nullptr;

// Installs a backlog on this thread for the life of the guard.
class ActiveBacklog {
public:
    explicit ActiveBacklog(FreeBacklog* backlog) : previous_(t_free_backlog) { t_free_backlog = backlog; }
    ~ActiveBacklog() { t_free_backlog = previous_; }
    ActiveBacklog(const ActiveBacklog&) = delete;
    ActiveBacklog& operator=(const ActiveBacklog&) = delete;

private:
    FreeBacklog* previous_;
};

// Frees a payload whose last reference is gone (Value::release), with
// whatever dies with it.
void free_dead_payload(ValueType type, Payload* payload) noexcept;

class DictMap;

// Frees the half-made copy that an operation stopped by the checkpoint
// leaves behind (copying a shared container), as a dead container is
// freed: in chunks, leaving the rest to the backlog, since the run is
// stopping. Destroying it on the spot would take as long again as making
// it did. It was never charged to a meter, so nothing is refunded.
void free_unfinished(std::vector<Value>&& items) noexcept;
void free_unfinished(DictMap&& map) noexcept;

}  // namespace tarnel
