// The length of a value's rendering (display text or debug form) measured
// without building it.
//
// Values are immutable and share payloads, so a value can be a DAG: an array
// that holds the same array twice, nested forty times, is forty-one payloads
// but renders to about 2^40 characters. Before an instruction renders a value
// into a string it measures it here and refuses what would pass the text
// limit. Containers that are shared (reference count above one) can occur
// more than once and are measured once, so the cost is bounded by the number
// of distinct payloads, never by the length of the text; the walk also stops
// as soon as the length passes the limit.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "values/container_walk.hpp"
#include "values/dict_map.hpp"
#include "values/value.hpp"
#include "values/work_checkpoint.hpp"

namespace tarnel {

// How a rendering lays out containers; the leaf and key lengths are
// supplied by the caller.
struct RenderedShape {
    size_t array_open_close;  // "[" + "]", or "Array([" + "])"
    size_t dict_open_close;   // "{" + "}", or "Dict({" + "})"
    size_t separator;         // ", " between items
    size_t key_separator;     // ": " after a dictionary key
};

// The rendering's exact length when it is at most `limit`; otherwise some
// number greater than `limit`. `leaf_length(value)` measures a value that is
// neither Array nor Dict; `key_length(key)` measures a dictionary key.
template <class LeafLength, class KeyLength>
size_t rendered_length(const Value& root, size_t limit, const RenderedShape& shape, LeafLength&& leaf_length,
                       KeyLength&& key_length) {
    const size_t cap = limit == static_cast<size_t>(-1) ? limit : limit + 1;
    const auto add = [cap](size_t a, size_t b) { return (b >= cap || a >= cap - b) ? cap : a + b; };

    struct Open {
        const Value* container;
        size_t next;
        size_t length;  // measured so far, capped
    };
    std::vector<Open> stack;
    std::unordered_map<const void*, size_t> shared;  // measured shared containers

    // Measures a leaf or a measured shared container into `length`, or opens
    // a container and returns false.
    const auto start = [&](const Value& v, size_t& length) {
        const bool is_array = v.is(ValueType::Array);
        if (!is_array && !v.is(ValueType::Dict)) {
            length = add(0, leaf_length(v));
            return true;
        }
        if (!v.is_unique()) {
            if (auto found = shared.find(v.payload()); found != shared.end()) {
                length = found->second;
                return true;
            }
        }
        const size_t n = is_array ? v.items().size() : v.entries().size();
        size_t base = is_array ? shape.array_open_close : shape.dict_open_close;
        if (n > 1) base = add(base, n - 1 > cap / (shape.separator + 1) ? cap : (n - 1) * shape.separator);
        stack.push_back({&v, 0, base});
        return false;
    };

    size_t length = 0;
    if (start(root, length)) return length;
    while (!stack.empty()) {
        Open& top = stack.back();
        if (top.length >= cap) return cap;  // the whole is at least as long as any open part
        const Value* key = nullptr;
        const Value* child = next_child(*top.container, top.next, key);
        count_work(1);
        if (key != nullptr) top.length = add(top.length, add(key_length(*key), shape.key_separator));
        if (child == nullptr) {
            const Open done = top;
            stack.pop_back();
            if (!done.container->is_unique()) shared.emplace(done.container->payload(), done.length);
            if (stack.empty()) return done.length;
            stack.back().length = add(stack.back().length, done.length);
            continue;
        }
        if (start(*child, length)) top.length = add(top.length, length);  // `top` is still valid: nothing was pushed
    }
    return length;
}

}  // namespace tarnel
