#include "values/dict_map.hpp"

#include <algorithm>
#include <utility>

#include "values/free_backlog.hpp"
#include "values/memory_meter.hpp"
#include "values/work_checkpoint.hpp"

namespace tarnel {

size_t DictMap::probe(std::string_view key, uint64_t hash) const {
    size_t i = hash & mask();
    while (true) {
        const Slot& slot = slots_[i];
        if (slot.key.is(ValueType::Empty)) return i;
        if (slot.hash == hash && slot.key.text() == key) return i;
        i = (i + 1) & mask();
    }
}

const Value* DictMap::find(std::string_view key) const {
    if (size_ == 0) return nullptr;
    const Slot& slot = slots_[probe(key, hash_of(key))];
    return slot.key.is(ValueType::Empty) ? nullptr : &slot.value;
}

DictMap DictMap::copy_in_chunks() const {
    DictMap copy;
    copy.key_ = key_;  // the slots keep their hashes
    copy.slots_.reserve(slots_.size());
    try {
        for (size_t done = 0; done < slots_.size();) {
            const size_t n = std::min(kWorkChunk, slots_.size() - done);
            copy.slots_.insert(copy.slots_.end(), slots_.begin() + static_cast<ptrdiff_t>(done),
                               slots_.begin() + static_cast<ptrdiff_t>(done + n));
            done += n;
            count_work(n);
        }
    } catch (...) {
        free_unfinished(std::move(copy));
        throw;
    }
    copy.size_ = size_;
    return copy;
}

namespace {

// How many slots a growing table made or moved between two questions to the
// checkpoint: first touches of a fresh table's pages make each slot slow.
constexpr size_t kSlotsPerQuestion = 4096;

}  // namespace

// A table of more than kWorkChunk slots, under a run that may be stopped,
// grows a few thousand slots at a time and asks the checkpoint in between;
// when the run must stop, the entries moved so far go back where they were,
// the map is as it was, the new table's charge is refunded, and the
// checkpoint's exception ends the operation. Other tables grow in one go.
void DictMap::grow() {
    const size_t old_count = slots_.size();
    const size_t capacity = slots_.empty() ? 8 : old_count * 2;
    WorkCheckpoint* const checkpoint = old_count > kWorkChunk ? t_work_checkpoint : nullptr;
    charge_memory((capacity - old_count) * sizeof(Slot));
    std::vector<Slot> table;
    if (!make_table(table, capacity, checkpoint) || !rehash_into(table, checkpoint)) {
        refund_memory((capacity - old_count) * sizeof(Slot));
        checkpoint->check();  // throws: the stop is due
        return;               // (a checkpoint that did not throw: the map is whole, and has room)
    }
    count_work(old_count);  // after the move: a stop here leaves the map whole
}

bool DictMap::make_table(std::vector<Slot>& table, size_t capacity, WorkCheckpoint* checkpoint) {
    if (checkpoint == nullptr) {
        table.resize(capacity);
        return true;
    }
    table.reserve(capacity);
    while (table.size() < capacity) {
        table.resize(std::min(capacity, table.size() + kSlotsPerQuestion));
        if (checkpoint->stop_due()) return false;
    }
    return true;
}

bool DictMap::rehash_into(std::vector<Slot>& table, WorkCheckpoint* checkpoint) {
    std::vector<std::pair<size_t, size_t>> moved;  // (from, to), to undo the move
    if (checkpoint != nullptr) moved.reserve(size_);
    const size_t table_mask = table.size() - 1;
    for (size_t from = 0; from < slots_.size(); ++from) {
        Slot& slot = slots_[from];
        if (!slot.key.is(ValueType::Empty)) {
            size_t i = slot.hash & table_mask;
            while (!table[i].key.is(ValueType::Empty)) i = (i + 1) & table_mask;
            table[i] = std::move(slot);
            if (checkpoint != nullptr) moved.emplace_back(from, i);
        }
        if (checkpoint != nullptr && (from + 1) % kSlotsPerQuestion == 0 && checkpoint->stop_due()) {
            for (const auto& [back, there] : moved) slots_[back] = std::move(table[there]);
            return false;
        }
    }
    slots_.swap(table);
    return true;
}

void DictMap::set(const Value& key, Value value) {
    // Keep the load factor at or below 3/4 so probe sequences stay short.
    if ((size_ + 1) * 4 > slots_.size() * 3) grow();
    uint64_t hash = hash_of(key.text());
    Slot& slot = slots_[probe(key.text(), hash)];
    if (slot.key.is(ValueType::Empty)) {
        slot.key = key;
        slot.hash = hash;
        ++size_;
    }
    slot.value = std::move(value);
}

bool DictMap::remove(std::string_view key) {
    if (size_ == 0) return false;
    size_t hole = probe(key, hash_of(key));
    if (slots_[hole].key.is(ValueType::Empty)) return false;
    // Backward-shift deletion: pull later members of the probe run into the
    // hole whenever their home slot does not lie between the hole and them.
    size_t j = hole;
    while (true) {
        j = (j + 1) & mask();
        Slot& next = slots_[j];
        if (next.key.is(ValueType::Empty)) break;
        size_t home = next.hash & mask();
        if (((j - home) & mask()) >= ((j - hole) & mask())) {
            slots_[hole] = std::move(next);
            hole = j;
        }
    }
    slots_[hole] = Slot{};
    --size_;
    return true;
}

void DictMap::clear() {
    slots_.clear();
    size_ = 0;
}

size_t DictMap::shed_slots(size_t n) {
    n = std::min(n, slots_.size());
    slots_.resize(slots_.size() - n);
    size_ = 0;
    return n;
}

}  // namespace tarnel
