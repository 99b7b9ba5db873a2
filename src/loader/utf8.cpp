// Strict UTF-8 validation (RFC 3629): every sequence is the shortest form of
// its code point, no surrogate halves (U+D800..U+DFFF), nothing above
// U+10FFFF, and no sequence cut off by the end of the input.
//
// Strings in module files are mostly ASCII, so runs of ASCII are skipped
// eight bytes at a time; multi-byte sequences are checked against the table
// of well-formed byte sequences (first byte decides the allowed range of the
// second byte, the remaining continuation bytes are 80..BF).
#include <cstring>

#include "loader/bytecode.hpp"

namespace tarnel {
namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ULL;

bool is_continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

bool is_valid_utf8(std::span<const uint8_t> bytes) {
    const uint8_t* p = bytes.data();
    const uint8_t* const end = p + bytes.size();

    while (p < end) {
        // ASCII fast path: eight bytes at a time while none has its top bit set.
        while (end - p >= 8) {
            uint64_t chunk;
            std::memcpy(&chunk, p, sizeof chunk);
            if (chunk & kHighBits) break;
            p += 8;
        }
        if (p == end) break;

        const uint8_t lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }

        // Length of the sequence and the allowed range of its second byte.
        size_t length;
        uint8_t second_min = 0x80;
        uint8_t second_max = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead == 0xE0) {
            length = 3;
            second_min = 0xA0;  // below is an overlong form
        } else if (lead == 0xED) {
            length = 3;
            second_max = 0x9F;  // above are the surrogates D800..DFFF
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            length = 3;
        } else if (lead == 0xF0) {
            length = 4;
            second_min = 0x90;  // below is an overlong form
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            length = 4;
        } else if (lead == 0xF4) {
            length = 4;
            second_max = 0x8F;  // above is beyond U+10FFFF
        } else {
            // 80..BF (stray continuation), C0/C1 (overlong), F5..FF.
            return false;
        }

        if (static_cast<size_t>(end - p) < length) return false;
        if (p[1] < second_min || p[1] > second_max) return false;
        for (size_t i = 2; i < length; ++i) {
            if (!is_continuation(p[i])) return false;
        }
        p += length;
    }
    return true;
}

}  // namespace tarnel
