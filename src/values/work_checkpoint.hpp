// Checkpoints inside long operations.
//
// Most instructions take nanoseconds, but a few can work on millions of
// elements or bytes in one go (building a huge array, joining long texts,
// listing the keys of a big dictionary). A run with a time limit or one that
// must answer Ctrl-C installs a checkpoint on its thread; those operations
// call it between chunks of their work, and the checkpoint throws to end the
// run when the deadline has passed or the host asks to stop. Without one
// installed a checkpoint is a single thread-local load.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnel {

class WorkCheckpoint {
public:
    // Throws (an exception the run loop catches) when the run must stop.
    virtual void check() = 0;
    // Whether the run must stop, without throwing: for work that an
    // exception must not cut short, such as freeing a huge value.
    virtual bool stop_due() noexcept = 0;

protected:
    ~WorkCheckpoint() = default;
};

[[gnu::tls_model("initial-exec")]] inline constinit thread_local WorkCheckpoint* t_work_checkpoint = nullptr;

// How much work (elements or bytes) an operation does between checkpoints:
// well under a millisecond's worth.
inline constexpr size_t kWorkChunk = size_t{1} << 16;

inline void work_checkpoint() {
    if (WorkCheckpoint* checkpoint = t_work_checkpoint) checkpoint->check();
}

// Work done on this thread since it last asked its checkpoint.
[[gnu::tls_model("initial-exec")]] inline constinit thread_local size_t t_unchecked_work = 0;

// Counts `units` of work (elements or bytes) and asks the checkpoint once
// kWorkChunk units have been done since the last time, whether in one long
// operation or spread over many shorter ones: a loop of copies of arrays
// just under a chunk each takes as long per instruction as one huge copy,
// and the run loop, which polls by instruction counts, would be slow to
// notice. Without a checkpoint installed: one thread-local load.
inline void count_work(size_t units) {
    WorkCheckpoint* const checkpoint = t_work_checkpoint;
    if (checkpoint == nullptr) return;
    t_unchecked_work += units;
    if (t_unchecked_work < kWorkChunk) return;
    t_unchecked_work = 0;
    checkpoint->check();
}

// Appends `part` to `out`, with a checkpoint between chunks when it is long.
inline void append_in_chunks(std::string& out, std::string_view part) {
    constexpr size_t kBytes = kWorkChunk * 16;  // 1 MiB
    while (part.size() > kBytes) {
        out.append(part.substr(0, kBytes));
        part.remove_prefix(kBytes);
        work_checkpoint();
    }
    out.append(part);
}

// Installs a checkpoint as this thread's for the life of the guard.
class ActiveCheckpoint {
public:
    explicit ActiveCheckpoint(WorkCheckpoint* checkpoint) : previous_(t_work_checkpoint) {
        t_work_checkpoint = checkpoint;
    }
    ~ActiveCheckpoint() { t_work_checkpoint = previous_; }
    ActiveCheckpoint(const ActiveCheckpoint&) = delete;
    ActiveCheckpoint& operator=(const ActiveCheckpoint&) = delete;

private:
    WorkCheckpoint* previous_;
};

}  // namespace tarnel
