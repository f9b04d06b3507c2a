// SPDX-License-Identifier: Apache-2.0
// Protected memory for the tagged allocator: a region that is locked into
// RAM (never swapped), left out of core dumps and fenced by inaccessible
// guard pages, with a small allocator over it.
//
// The allocator uses boundary tags: every chunk starts with its own size and
// the size of the chunk before it, so a freed chunk merges with free
// neighbours at once and the region does not fragment into pieces too small
// to use. Free chunks wait in lists by size class (powers of two); a request
// takes the first chunk that fits from its own class, or any chunk of a
// larger one, and leaves the rest of it free. Chunks are 16-byte aligned.
//
// Under AddressSanitizer everything but the bytes handed out is poisoned, so
// reading or writing past a block, or a block already freed, is reported as
// it is for the C library's heap.
//
// Constant-initialised; one thread at a time, like the rest of the host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ksh {

class Region {
  public:
    enum class Made { kOk, kNoMap, kNoLock, kNoAdvise };

    // Maps `bytes` (rounded up to whole pages) between two guard pages, locks
    // them and advises them out of core dumps. On any failure nothing stays
    // mapped.
    Made make(size_t bytes);
    // A block of n bytes, 16-byte aligned and zeroed; null when no free chunk
    // is large enough.
    void *alloc(size_t n);
    // Returns a block from alloc. A pointer that is not a block in use stops
    // the process.
    void free(void *block);

    bool owns(const void *p) const { return base_ != nullptr && p >= base_ && p < base_ + size_; }
    bool made() const { return base_ != nullptr; }
    size_t size() const { return size_; }
    size_t used() const { return used_; }  // chunks in use, headers included

    struct Chunk;

  private:
    static constexpr int kClasses = 40;

    Chunk *next_of(Chunk *c) const;
    void link_free(Chunk *c);
    void unlink_free(Chunk *c);

    uint8_t *base_ = nullptr;  // the usable bytes, between the guard pages
    size_t size_ = 0;
    size_t used_ = 0;
    uint8_t *fresh_ = nullptr;  // every byte from here to the end is still zero
    Chunk *free_[kClasses] = {};
};

}  // namespace ksh
