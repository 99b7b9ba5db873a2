#include "vm/limits.hpp"

#include <unistd.h>

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

}  // namespace tarnel
