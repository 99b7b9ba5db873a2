// The payload of `Dict` values: a hash map from strings to values.
//
// Why our own table: the map needs keyed SipHash with a per-map key, keys that
// are shared string objects (so listing keys costs one reference each), cheap
// whole-map copies for copy-on-write, and iteration in slot order. A small
// open-addressing table with linear probing and backward-shift deletion (no
// tombstones) does all of that in one flat array of slots, with no per-entry
// allocation, in about two hundred lines. An empty map allocates nothing.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "values/siphash.hpp"
#include "values/value.hpp"

namespace tarnel {

class WorkCheckpoint;

class DictMap {
public:
    DictMap() : key_(fresh_map_key()) {}
    DictMap(const DictMap&) = default;  // keeps the hash key, so slots stay valid
    DictMap& operator=(const DictMap&) = default;
    // A moved-from map is left empty (no slots, size 0) and usable again.
    DictMap(DictMap&& other) noexcept
        : slots_(std::move(other.slots_)), size_(std::exchange(other.size_, 0)), key_(other.key_) {
        other.slots_.clear();
    }
    DictMap& operator=(DictMap&& other) noexcept {
        if (this != &other) {
            slots_ = std::move(other.slots_);
            other.slots_.clear();
            size_ = std::exchange(other.size_, 0);
            key_ = other.key_;
        }
        return *this;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    const Value* find(std::string_view key) const;
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Inserts or replaces. `key` must be a String value; the map shares it.
    void set(const Value& key, Value value);
    // Removes the entry; returns whether it was there.
    bool remove(std::string_view key);
    void clear();
    // For a map whose payload is being freed: destroys up to `n` slots at
    // the end of the table and returns how many it destroyed. The map is
    // then fit only to be shed further or destroyed.
    size_t shed_slots(size_t n);
    // A copy made a chunk of slots at a time, counting the work
    // (work_checkpoint.hpp), so that copying a huge map before a change
    // does not hold up a run that must stop.
    DictMap copy_in_chunks() const;

    // Slot-level access, for walks that keep their own explicit stack:
    // slots [0, slot_count()) in the map's internal order; a free slot has
    // no key (nullptr).
    size_t slot_count() const { return slots_.size(); }
    // The bytes of the slot table (what a memory limit counts for the map).
    size_t slot_bytes() const { return slots_.size() * sizeof(Slot); }
    const Value* slot_key(size_t i) const { return slots_[i].key.is(ValueType::String) ? &slots_[i].key : nullptr; }
    const Value& slot_value(size_t i) const { return slots_[i].value; }

    // Visits every entry in the map's internal (slot) order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (const Slot& slot : slots_)
            if (slot.key.is(ValueType::String)) visit(slot.key, slot.value);
    }

private:
    struct Slot {
        Value key;  // Empty marks a free slot
        Value value;
        uint64_t hash = 0;
    };

    size_t mask() const { return slots_.size() - 1; }
    uint64_t hash_of(std::string_view key) const { return siphash13(key_, key); }
    // Index of the slot holding `key`, or of the free slot where it would go.
    size_t probe(std::string_view key, uint64_t hash) const;
    void grow();
    // The two halves of grow(), which `checkpoint` (when not null) may stop
    // between chunks: false when it did, with the map unchanged.
    static bool make_table(std::vector<Slot>& table, size_t capacity, WorkCheckpoint* checkpoint);
    bool rehash_into(std::vector<Slot>& table, WorkCheckpoint* checkpoint);

    std::vector<Slot> slots_;
    size_t size_ = 0;
    SipKey key_;
};

struct DictObject : Payload {
    DictMap map;
    explicit DictObject(DictMap m) : map(std::move(m)) {}
};

inline const DictMap& Value::entries() const { return static_cast<const DictObject*>(payload_)->map; }
inline DictMap& Value::unique_entries() { return static_cast<DictObject*>(payload_)->map; }

}  // namespace tarnel
