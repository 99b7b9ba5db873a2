#include "vm/jit_x64_layout.hpp"

#include <cstring>
#include <vector>

namespace tarnel::jit {

bool value_layout_matches() {
    const int64_t probe = 0x0102030405060708;
    const Value value = Value::integer(probe);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
    return bytes[0] == kInt && std::memcmp(bytes + 8, &probe, sizeof probe) == 0;
}

namespace {

ArrayLayout probe_array_layout() {
    ArrayObject object(std::vector<Value>(3));
    const auto* base = reinterpret_cast<const unsigned char*>(&object);
    const auto* items = reinterpret_cast<const unsigned char*>(&object.items);
    const auto* refs = reinterpret_cast<const unsigned char*>(&object.refs);
    const Value* words[2];
    std::memcpy(words, items, sizeof words);
    uint32_t count = 0;
    std::memcpy(&count, refs, sizeof count);
    ArrayLayout layout;
    layout.known = sizeof object.refs == sizeof count && count == 1 && words[0] == object.items.data() &&
                   words[1] == object.items.data() + 3;
    layout.refs = static_cast<int>(refs - base);
    layout.begin = static_cast<int>(items - base);
    layout.end = layout.begin + static_cast<int>(sizeof(Value*));
    return layout;
}

}  // namespace

const ArrayLayout& array_layout() {
    static const ArrayLayout layout = probe_array_layout();
    return layout;
}

void scalar_bits(const Value& value, uint8_t& tag, uint64_t& bits) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
    tag = bytes[0];
    std::memcpy(&bits, bytes + 8, sizeof bits);
    if (value.is(ValueType::Empty)) bits = 0;
    if (value.is(ValueType::Bool)) bits = value.as_bool() ? 1 : 0;
}

}  // namespace tarnel::jit
