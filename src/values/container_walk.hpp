// One step of an explicit-stack walk over a container: the next element of
// an array, or the next entry of a map in its slot order. Renderings,
// measurements and conversions all walk nested values this way, so deep
// nesting never deepens the C++ stack.
#pragma once

#include <cstddef>

#include "values/dict_map.hpp"
#include "values/value.hpp"

namespace tarnel {

// Returns the child after position `next` of `container` (an Array or a
// Dict) and advances `next`, or nullptr when none is left. For a map entry
// `key` receives the entry's key; for an array element it is left unchanged.
inline const Value* next_child(const Value& container, size_t& next, const Value*& key) {
    if (container.is(ValueType::Array)) {
        const auto& items = container.items();
        return next < items.size() ? &items[next++] : nullptr;
    }
    const DictMap& map = container.entries();
    while (next < map.slot_count() && map.slot_key(next) == nullptr) ++next;
    if (next >= map.slot_count()) return nullptr;
    key = map.slot_key(next);
    return &map.slot_value(next++);
}

}  // namespace tarnel
