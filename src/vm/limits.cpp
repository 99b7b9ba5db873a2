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

bool display_texts_fit(const Value& left, const Value& right) {
    if (left.is(ValueType::String) && right.is(ValueType::String))
        return text_fits(left.text().size(), right.text().size());
    const size_t l = display_length(left, kMaxTextLength);
    if (l > kMaxTextLength) return false;
    return display_length(right, kMaxTextLength - l) <= kMaxTextLength - l;
}

bool display_text_fits(const Value& value) { return display_length(value, kMaxTextLength) <= kMaxTextLength; }

bool debug_form_fits(const Value& value) { return debug_form_length(value, kMaxTextLength) <= kMaxTextLength; }

}  // namespace tarnel
