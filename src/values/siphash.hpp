// Keyed SipHash-1-3 over a byte string, used to hash dictionary keys.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarnel {

struct SipKey {
    uint64_t k0;
    uint64_t k1;
};

uint64_t siphash13(SipKey key, std::string_view data);

// A fresh key for a new dictionary, derived from a per-process random seed
// (read once from the operating system) and a process-wide counter, so two
// maps with the same contents generally iterate in different orders.
SipKey fresh_map_key();

}  // namespace tarnel
