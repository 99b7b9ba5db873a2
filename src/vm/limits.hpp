// Bounds checked before allocations whose size a program chooses.
#pragma once

#include <cstddef>

namespace tarnel {

// The largest array NewArrayR will try to build: as many values as physical
// memory could hold. Anything larger cannot succeed and is refused with
// OutOfMemory before a single byte is allocated.
size_t max_array_length();

}  // namespace tarnel
