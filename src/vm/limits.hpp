// Bounds checked before allocations whose size a program chooses.
#pragma once

#include <cstddef>

namespace tarnel {

// The largest array NewArrayR will try to build: as many values as half of
// physical memory holds. Anything larger is refused with OutOfMemory before
// a single byte is allocated, rather than letting the host be killed.
size_t max_array_length();

// The longest string a program may build by joining texts (1 GiB). Joining
// beyond it ends the run with OutOfMemory instead of exhausting the host.
inline constexpr size_t kMaxTextLength = size_t{1} << 30;

// Whether joining texts of these lengths stays within kMaxTextLength.
inline bool text_fits(size_t left, size_t right) { return left <= kMaxTextLength && right <= kMaxTextLength - left; }

class Value;

// Rendered texts obey the same limit. A container's text can be far longer
// than the container: an array holding one array twice, nested forty deep,
// is 41 payloads and about 2^40 characters. These measure a rendering
// without building it, at a cost bounded by the number of distinct payloads.
//
// ConcatStrR: whether the display texts of `left` and `right` joined fit.
bool display_texts_fit(const Value& left, const Value& right);
// CastR to String: whether the display text of `value` fits.
bool display_text_fits(const Value& value);
// DebugPrint and the trace: whether the debug form of `value` fits.
bool debug_form_fits(const Value& value);

}  // namespace tarnel
