#include "values/free_backlog.hpp"

#include <algorithm>
#include <utility>

#include "values/dict_map.hpp"
#include "values/memory_meter.hpp"
#include "values/work_checkpoint.hpp"

namespace tarnel {
namespace {

bool is_container(ValueType type) { return type == ValueType::Array || type == ValueType::Dict; }

void delete_payload(ValueType type, Payload* payload) {
    switch (type) {
        case ValueType::String:
        case ValueType::URL:
            delete static_cast<StringObject*>(payload);
            break;
        case ValueType::Function:
            delete static_cast<FunctionObject*>(payload);
            break;
        case ValueType::Array:
            delete static_cast<ArrayObject*>(payload);
            break;
        case ValueType::Dict:
            delete static_cast<DictObject*>(payload);
            break;
        default:
            break;
    }
}

// The footprint goes back to the meter when the payload is first taken up,
// while it is still whole (a container is emptied in chunks).
void refund_once(DeadPayload& dead) {
    if (dead.refunded) return;
    dead.refunded = true;
    if (t_active_meter != nullptr) refund_memory(payload_footprint(dead.type, dead.payload));
}

// Releases up to `budget` elements (or dictionary slots) of a dead
// container, from the end, and frees the container once it is empty. Each
// element and the container itself use up one unit of `budget`. Returns
// whether the container is gone.
bool free_some(DeadPayload& dead, size_t& budget) {
    refund_once(dead);
    size_t left;
    if (dead.type == ValueType::Array) {
        std::vector<Value>& items = static_cast<ArrayObject*>(dead.payload)->items;
        const size_t n = std::min(items.size(), budget);
        items.resize(items.size() - n);
        budget -= n;
        left = items.size();
    } else {
        DictMap& map = static_cast<DictObject*>(dead.payload)->map;
        budget -= map.shed_slots(budget);
        left = map.slot_count();
    }
    if (left != 0) return false;
    delete_payload(dead.type, dead.payload);
    if (budget != 0) --budget;
    return true;
}

// Containers are freed from a work list instead of recursively: releasing
// an element whose last reference it held appends that element to the list
// rather than freeing it on the spot. A value nested a million levels deep
// is thus destroyed in constant stack depth.
thread_local std::vector<DeadPayload>* pending_frees = nullptr;

// Frees the payloads of `work` and everything that dies with them, in
// chunks of kWorkChunk elements. Between chunks it asks `checkpoint`, when
// there is one, and returns false if it says to stop, with the rest in
// `work`.
bool free_all(std::vector<DeadPayload>& work, WorkCheckpoint* checkpoint) {
    std::vector<DeadPayload>* const outer = std::exchange(pending_frees, &work);
    size_t budget = kWorkChunk;
    bool finished = true;
    while (!work.empty()) {
        DeadPayload dead = work.back();
        work.pop_back();
        const size_t below = work.size();
        if (!free_some(dead, budget)) {
            // What has just died is freed first and the rest of `dead` waits
            // under it, so the list holds about one chunk beyond the nesting.
            work.push_back(dead);
            std::swap(work[below], work.back());
        }
        if (budget == 0) {
            budget = kWorkChunk;
            if (checkpoint != nullptr && checkpoint->stop_due()) {
                finished = work.empty();
                break;
            }
        }
    }
    pending_frees = outer;
    return finished;
}

}  // namespace

void free_dead_payload(ValueType type, Payload* payload) noexcept {
    DeadPayload dead{type, false, payload};
    if (!is_container(type)) {
        refund_once(dead);
        delete_payload(type, payload);
        return;
    }
    if (pending_frees != nullptr) {
        pending_frees->push_back(dead);
        return;
    }
    std::vector<DeadPayload> work{dead};
    FreeBacklog* const backlog = t_free_backlog;
    if (!free_all(work, backlog != nullptr ? t_work_checkpoint : nullptr)) backlog->adopt(work);
}

namespace {

void free_uncharged(ValueType type, Payload* payload) noexcept {
    std::vector<DeadPayload> work;
    try {
        work.push_back({type, true, payload});
    } catch (...) {
        delete_payload(type, payload);  // no room for a work list: on the spot, then
        return;
    }
    FreeBacklog* const backlog = t_free_backlog;
    if (!free_all(work, backlog != nullptr ? t_work_checkpoint : nullptr)) backlog->adopt(work);
}

}  // namespace

void free_unfinished(std::vector<Value>&& items) noexcept {
    ArrayObject* payload = nullptr;
    try {
        payload = new ArrayObject(std::move(items));
    } catch (...) {
        return;  // `items` is untouched and goes with its owner
    }
    free_uncharged(ValueType::Array, payload);
}

void free_unfinished(DictMap&& map) noexcept {
    DictObject* payload = nullptr;
    try {
        payload = new DictObject(std::move(map));
    } catch (...) {
        return;
    }
    free_uncharged(ValueType::Dict, payload);
}

FreeBacklog::~FreeBacklog() {
    ActiveMeter no_meter(nullptr);
    free_all(dead_, nullptr);
}

bool FreeBacklog::finish() {
    if (dead_.empty()) return true;
    // What dies now was counted by no meter running on this thread.
    ActiveMeter no_meter(nullptr);
    return free_all(dead_, t_work_checkpoint);
}

void FreeBacklog::adopt(std::vector<DeadPayload>& rest) {
    for (DeadPayload& dead : rest) dead.refunded = true;  // never to be: the run that counted them is over
    dead_.insert(dead_.end(), rest.begin(), rest.end());
    rest.clear();
}

}  // namespace tarnel
