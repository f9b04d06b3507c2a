// SPDX-License-Identifier: Apache-2.0
// Wiping secrets: one cleanse the optimiser cannot drop, a stack value that
// wipes itself on every way out of a scope, an allocated block and a work
// buffer that do the same.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ks_crypto.h"

namespace ks {

inline void cleanse(void *p, size_t n) {
    if (p != nullptr && n != 0) crypto::cleanse(p, n);
}

// Cleanses then releases a block the library owns.
void free_cleansed(void *block, size_t n);

// A value on the stack (a digest context, a run of bytes), zeroed when made
// and cleansed on every way out of its scope.
template <typename T>
struct Wiped {
    T v{};
    Wiped() = default;
    Wiped(const Wiped &) = delete;
    Wiped &operator=(const Wiped &) = delete;
    ~Wiped() { cleanse(&v, sizeof v); }
};

template <size_t N>
struct Scratch : Wiped<uint8_t[N]> {
    uint8_t *data() { return this->v; }
    static constexpr size_t size() { return N; }
};

// A zeroed block of `size` bytes allocated with its site's owner tag and
// owned by one scope: cleansed and released on every way out of it. data()
// is null when it could not be allocated, and for size 0, which allocates
// nothing.
class OwnedBlock {
  public:
    OwnedBlock(uint32_t tag, size_t size);
    ~OwnedBlock() { free_cleansed(bytes_, size_); }
    OwnedBlock(const OwnedBlock &) = delete;
    OwnedBlock &operator=(const OwnedBlock &) = delete;
    uint8_t *data() const { return bytes_; }

  private:
    size_t size_;
    uint8_t *bytes_;
};

// A work buffer of `size` bytes for secret-derived input: the caller's static
// buffer when the size fits in it (it is all zeros between uses), else a
// zeroed block allocated with the caller's owner tag. data() is null when
// that block could not be allocated. On every way out of its scope the bytes
// are cleansed and a block is freed.
class StaticOrHeap {
  public:
    template <size_t N>
    StaticOrHeap(uint8_t (&fixed)[N], uint64_t size, uint32_t tag) : StaticOrHeap(fixed, N, size, tag) {}
    StaticOrHeap(const StaticOrHeap &) = delete;
    StaticOrHeap &operator=(const StaticOrHeap &) = delete;
    ~StaticOrHeap();
    uint8_t *data() const { return bytes_; }
    size_t size() const { return size_; }

  private:
    StaticOrHeap(uint8_t *fixed, size_t fixed_size, uint64_t size, uint32_t tag);
    uint8_t *bytes_ = nullptr;
    size_t size_ = 0;
    bool allocated_ = false;
};

}  // namespace ks
