// Wiping secrets: one cleanse the optimiser cannot drop, and a stack buffer
// that wipes itself on every way out of a scope.
#pragma once

#include <cstddef>
#include <cstdint>

#include <openssl/crypto.h>

namespace ks {

inline void cleanse(void *p, size_t n) {
    if (p != nullptr && n != 0) OPENSSL_cleanse(p, n);
}

// Cleanses then releases a block the library owns.
void free_cleansed(void *block, size_t n);

template <size_t N>
struct Scratch {
    uint8_t bytes[N] = {};
    Scratch() = default;
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    ~Scratch() { cleanse(bytes, N); }
    uint8_t *data() { return bytes; }
    static constexpr size_t size() { return N; }
};

}  // namespace ks
