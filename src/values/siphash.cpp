#include "values/siphash.hpp"

#include <sys/random.h>

#include <atomic>
#include <cstring>
#include <ctime>

namespace tarnel {
namespace {

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
};

inline uint64_t load_le64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;  // every platform we build for is little-endian
}

uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

SipKey read_process_seed() {
    SipKey seed{0, 0};
    unsigned char* out = reinterpret_cast<unsigned char*>(&seed);
    size_t filled = 0;
    while (filled < sizeof seed) {
        ssize_t got = getrandom(out + filled, sizeof seed - filled, 0);
        if (got <= 0) break;
        filled += static_cast<size_t>(got);
    }
    if (filled < sizeof seed) {
        // No random source: fall back to the clock so maps still differ
        // between runs; the hash stays correct either way.
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        seed.k0 ^= static_cast<uint64_t>(now.tv_nsec) * 0x9e3779b97f4a7c15ULL;
        seed.k1 ^= static_cast<uint64_t>(now.tv_sec);
    }
    return seed;
}

}  // namespace

uint64_t siphash13(SipKey key, std::string_view data) {
    SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL, key.k0 ^ 0x6c7967656e657261ULL,
               key.k1 ^ 0x7465646279746573ULL};
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    size_t n = data.size();
    const unsigned char* end = p + (n & ~size_t{7});
    for (; p != end; p += 8) {
        uint64_t m = load_le64(p);
        s.v3 ^= m;
        s.round();
        s.v0 ^= m;
    }
    uint64_t last = static_cast<uint64_t>(n) << 56;
    for (size_t i = 0; i < (n & 7); ++i) last |= static_cast<uint64_t>(p[i]) << (8 * i);
    s.v3 ^= last;
    s.round();
    s.v0 ^= last;
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

SipKey fresh_map_key() {
    static const SipKey seed = read_process_seed();  // read once per process
    static std::atomic<uint64_t> counter{0};
    uint64_t state = seed.k0 ^ counter.fetch_add(1, std::memory_order_relaxed);
    uint64_t k0 = splitmix64(state);
    uint64_t k1 = splitmix64(state) ^ seed.k1;
    return {k0, k1};
}

}  // namespace tarnel
