#include "vm/limits.hpp"

#include <unistd.h>

#include "diagnostics/debug_form.hpp"
#include "values/value.hpp"

namespace tarnel {

size_t max_array_length() {
    static const size_t limit = [] {
        long pages = sysconf(_SC_PHYS_PAGES);
        long page_size = sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || page_size <= 0) return size_t{1} << 32;
        return static_cast<size_t>(pages) / 2 / sizeof(Value) * static_cast<size_t>(page_size);
    }();
    return limit;
}

namespace {

// The longest display text of a scalar: a double in fixed notation has at
// most about 330 characters.
constexpr size_t kScalarTextBound = 400;

// Display length of `value`, measured only for containers; every other kind
// is bounded without formatting it (the hot ConcatStrR of a key and a
// number must not pay for a measurement).
size_t display_length_bound(const Value& value, size_t limit) {
    switch (value.type()) {
        case ValueType::String:
        case ValueType::URL:
            return value.text().size();
        case ValueType::Function:
            return value.function_ref().name.size() + 10;
        case ValueType::Array:
        case ValueType::Dict:
            return display_length(value, limit);
        default:
            return kScalarTextBound;
    }
}

}  // namespace

bool display_texts_fit(const Value& left, const Value& right) {
    const size_t l = display_length_bound(left, kMaxTextLength);
    if (l > kMaxTextLength) return false;
    return display_length_bound(right, kMaxTextLength - l) <= kMaxTextLength - l;
}

bool display_text_fits(const Value& value) { return display_length_bound(value, kMaxTextLength) <= kMaxTextLength; }

bool debug_form_fits(const Value& value) { return debug_form_length(value, kMaxTextLength) <= kMaxTextLength; }

}  // namespace tarnel
