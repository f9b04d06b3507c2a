// SPDX-License-Identifier: Apache-2.0
// The hash and the byte comparison of a key handle or an A-ID, shared by the
// key table's handle index and the PAC cache's index. Hidden: never exported.
//
// Both read whole 8-byte words from the start, then the rest (under 8 bytes)
// with loads that stay inside that last word, never a load across two words:
// the fronts build a handle on the stack one 8-byte store per word and look it
// up at once, and a load that one store covers is served from the store
// buffer, where a load spanning several byte stores waits for them to reach
// the cache. Handles and A-IDs are names, not secrets.
#pragma once

#include <cstdint>
#include <cstring>

namespace ks {

namespace hash_detail {

inline uint64_t load64(const uint8_t *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}
inline uint64_t load32(const uint8_t *p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// The bytes of p[0, n), n < 8, as one word, read without crossing the word.
inline uint64_t tail_word(const uint8_t *p, uint32_t n) {
    if (n >= 4) return load32(p) | load32(p + n - 4) << 32;
    if (n != 0) return uint64_t{p[0]} | uint64_t{p[n / 2]} << 8 | uint64_t{p[n - 1]} << 16;
    return 0;
}

}  // namespace hash_detail

// Mixes every byte and the length. The result is the high half of a last
// multiplication, whose bits depend on every input bit: tables pick their
// bucket by its top bits.
[[gnu::always_inline]] inline uint32_t hash_bytes(const uint8_t *p, uint32_t n) {
    using namespace hash_detail;
    uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        h = (h ^ load64(p + i)) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 32;
    }
    return static_cast<uint32_t>(((h ^ tail_word(p + i, n - i)) * 0x94D049BB133111EBull) >> 32);
}

// Byte equality of two runs of n bytes, read the way hash_bytes reads.
inline bool bytes_equal(const uint8_t *a, const uint8_t *b, uint32_t n) {
    using namespace hash_detail;
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8)
        if (load64(a + i) != load64(b + i)) return false;
    if (n - i >= 4) return load32(a + i) == load32(b + i) && load32(a + n - 4) == load32(b + n - 4);
    for (; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

}  // namespace ks
