// SPDX-License-Identifier: Apache-2.0
// Protected memory for the tagged allocator: a region of address space left
// out of core dumps and fenced by inaccessible guard pages, with a small
// allocator over it that locks into RAM (out of swap) what its blocks use.
//
// Charging only what is in use. make() reserves the region's address space
// without access and without memory behind it; the allocator maps it (read and
// write) from the bottom up as it hands out blocks, and gives back what lies
// well above the highest block in use. Locking goes by steps (step(): 16 KiB,
// or the page size where that is larger): a step is locked while a block in
// use lies in it, wholly or in part, and unlocked when its last such block is
// freed. So the process's locked memory (VmLck) never exceeds the steps that
// hold blocks in use. A block whose steps cannot be locked (RLIMIT_MEMLOCK) is
// still served, unlocked, unless the caller asks for locked memory only.
//
// The allocator uses boundary tags: every chunk starts with its own size and
// the size of the chunk before it, so a freed chunk merges with free
// neighbours at once and the region does not fragment into pieces too small
// to use. Free chunks wait in lists by size class (powers of two); a request
// takes the first chunk that fits from its own class, or any chunk of a
// larger one, and leaves the rest of it free; only when none fits does it
// take fresh memory from the top. A chunk freed next to the top goes back to
// it. Chunks are 16-byte aligned.
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
    enum class Made { kOk, kNoMap, kNoAdvise };
    // What alloc did: served a block locked or unlocked, or refused it because
    // it could not be locked (only when locked memory was required), because
    // the region has no room, or because memory could not be mapped.
    enum class Got { kLocked, kUnlocked, kNoLock, kFull, kNoMap };

    // The locking step in bytes.
    static size_t step();

    // Reserves `bytes` (rounded up to whole steps) between two guard pages and
    // advises them out of core dumps; nothing is mapped or locked yet. On any
    // failure nothing stays reserved.
    Made make(size_t bytes);
    // A block of n bytes, 16-byte aligned and zeroed, locked when the lock
    // limit allows; with must_lock, null (kNoLock) rather than unlocked.
    void *alloc(size_t n, bool must_lock, Got &got);
    // Returns a block from alloc. A pointer that is not a block in use stops
    // the process.
    void free(void *block);
    // In a child after fork, which inherits no memory lock: locks again the
    // steps in use, as far as the limit allows, and counts the rest unlocked.
    void relock();
    // Tries to lock at the next allocation, however recently a lock failed.
    void retry_locking() { lock_backoff_ = 0; }

    bool owns(const void *p) const { return base_ != nullptr && p >= base_ && p < base_ + size_; }
    // True when every step of [p, p + n) is locked.
    bool is_locked(const void *p, size_t n) const;
    size_t size() const { return size_; }                        // reserved
    size_t used() const { return used_; }                        // chunks in use, headers included
    size_t locked() const { return locked_steps_ * step_; }      // steps locked
    size_t unlocked() const { return unlocked_steps_ * step_; }  // steps in use, not locked
    // The call that last failed (mmap, madvise, mprotect, mlock) and its errno.
    const char *failed_call() const { return failed_call_; }
    int failed_errno() const { return failed_errno_; }

    struct Chunk;

  private:
    static constexpr int kClasses = 40;

    Chunk *next_of(Chunk *c) const;
    void link_free(Chunk *c);
    void unlink_free(Chunk *c);
    void set_prev_size_after(Chunk *c);
    bool map_through(uint8_t *end);
    void unmap_above_top();
    bool hold(uint8_t *begin, uint8_t *end, bool must_lock);
    void release(uint8_t *begin, uint8_t *end);
    bool fail(const char *call);

    uint8_t *base_ = nullptr;  // the usable bytes, between the guard pages
    size_t size_ = 0;
    size_t step_ = 0;
    size_t used_ = 0;
    uint8_t *top_ = nullptr;     // no chunk from here to the end: fresh memory
    size_t top_prev_size_ = 0;   // size of the chunk that ends at top_; 0 for none
    uint8_t *mapped_ = nullptr;  // readable and writable from base_ to here
    uint8_t *fresh_ = nullptr;   // every byte from here to the end is still zero
    // Per step: the chunks in use that lie in it, and kStepLocked.
    uint32_t *steps_ = nullptr;
    size_t locked_steps_ = 0;
    size_t unlocked_steps_ = 0;
    uint32_t lock_backoff_ = 0;  // lock attempts still to pass over after a failure,
    size_t backoff_steps_ = 0;   // of at least this many steps
    const char *failed_call_ = "";
    int failed_errno_ = 0;
    Chunk *free_[kClasses] = {};
};

}  // namespace ksh
