// SPDX-License-Identifier: Apache-2.0
#include "region.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define KSH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KSH_ASAN 1
#endif
#endif

#if defined(KSH_ASAN)
#include <sanitizer/asan_interface.h>
// The allocator reads and writes chunk headers and free-list links inside
// poisoned memory: its own accesses are not checked.
#define KSH_NO_ASAN __attribute__((no_sanitize("address")))
#define KSH_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KSH_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define KSH_NO_ASAN
#define KSH_POISON(p, n) ((void)(p), (void)(n))
#define KSH_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace ksh {

// A chunk's header, then its bytes; a free chunk keeps its list links where
// its bytes begin.
struct Region::Chunk {
    size_t prev_size;         // size of the chunk just before this one; 0 for the first
    size_t size;              // size of this chunk, header included; bit 0: in use
    alignas(16) Chunk *next;  // free chunks only
    Chunk *prev;
};

namespace {

constexpr size_t kAlign = 16;
constexpr size_t kHeader = offsetof(Region::Chunk, next);
constexpr size_t kMinChunk = sizeof(Region::Chunk);
constexpr size_t kInUse = 1;
static_assert(kHeader == kAlign && kMinChunk % kAlign == 0);

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

// Size class: the highest set bit of the size in 16-byte units.
int class_of(size_t size, int classes) {
    const int c = static_cast<int>(std::bit_width(size / kAlign)) - 1;
    return c < classes ? c : classes - 1;
}

}  // namespace

Region::Made Region::make(size_t bytes) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (bytes == 0 || bytes > SIZE_MAX / 2) return Made::kNoMap;
    const size_t size = round_up(bytes, page);
    void *m = mmap(nullptr, size + 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return Made::kNoMap;
    auto *map = static_cast<uint8_t *>(m);
    uint8_t *base = map + page;
    Made made = Made::kOk;
    if (mprotect(map, page, PROT_NONE) != 0 || mprotect(base + size, page, PROT_NONE) != 0) made = Made::kNoMap;
#if defined(MLOCK_ONFAULT)
    // Pages are locked as they are first touched: the region costs RAM only
    // as it fills, and is counted against RLIMIT_MEMLOCK whole, now. Where the
    // kernel (or an emulator) has no mlock2, the C library reports ENOSYS or,
    // for a non-zero flag, EINVAL: then the whole region is locked at once.
    if (made == Made::kOk && mlock2(base, size, MLOCK_ONFAULT) != 0 &&
        ((errno != ENOSYS && errno != EINVAL) || mlock(base, size) != 0))
        made = Made::kNoLock;
#else
    if (made == Made::kOk && mlock(base, size) != 0) made = Made::kNoLock;
#endif
    if (made == Made::kOk && madvise(base, size, MADV_DONTDUMP) != 0) made = Made::kNoAdvise;
    if (made != Made::kOk) {
        munmap(map, size + 2 * page);
        return made;
    }
    base_ = base;
    size_ = size;
    used_ = 0;
    fresh_ = base_ + kMinChunk;  // the first chunk's header and links
    for (auto &f : free_) f = nullptr;
    auto *c = reinterpret_cast<Chunk *>(base_);
    c->prev_size = 0;
    c->size = size;
    link_free(c);
    KSH_POISON(base_, size_);
    return Made::kOk;
}

KSH_NO_ASAN Region::Chunk *Region::next_of(Chunk *c) const {
    uint8_t *n = reinterpret_cast<uint8_t *>(c) + (c->size & ~kInUse);
    return n < base_ + size_ ? reinterpret_cast<Chunk *>(n) : nullptr;
}

KSH_NO_ASAN void Region::link_free(Chunk *c) {
    Chunk *&head = free_[class_of(c->size, kClasses)];
    c->prev = nullptr;
    c->next = head;
    if (head != nullptr) head->prev = c;
    head = c;
}

KSH_NO_ASAN void Region::unlink_free(Chunk *c) {
    if (c->prev != nullptr)
        c->prev->next = c->next;
    else
        free_[class_of(c->size, kClasses)] = c->next;
    if (c->next != nullptr) c->next->prev = c->prev;
}

KSH_NO_ASAN void *Region::alloc(size_t n) {
    if (base_ == nullptr || n > size_) return nullptr;
    size_t need = round_up(n + kHeader, kAlign);
    if (need < kMinChunk) need = kMinChunk;
    // First fit within the request's own class, else the first chunk of any
    // larger class (every one of them is large enough).
    const int k = class_of(need, kClasses);
    Chunk *c = free_[k];
    while (c != nullptr && c->size < need) c = c->next;
    for (int j = k + 1; c == nullptr && j < kClasses; ++j) c = free_[j];
    if (c == nullptr) return nullptr;
    unlink_free(c);
    const bool split = c->size - need >= kMinChunk;
    if (split) {
        auto *rest = reinterpret_cast<Chunk *>(reinterpret_cast<uint8_t *>(c) + need);
        rest->prev_size = need;
        rest->size = c->size - need;
        if (Chunk *after = next_of(rest)) after->prev_size = rest->size;
        link_free(rest);
        c->size = need;
    }
    used_ += c->size;
    uint8_t *const chunk = reinterpret_cast<uint8_t *>(c);
    // The chunk may now be written to its end (its bytes, its links once
    // freed), and the rest split off it has its header and links.
    uint8_t *const written = chunk + c->size + (split ? kMinChunk : 0);
    c->size |= kInUse;
    uint8_t *block = chunk + kHeader;
    KSH_UNPOISON(block, n);
    // Bytes from fresh_ on were never written and are still zero: only
    // those below it are cleared, so untouched pages stay untouched.
    if (block < fresh_) std::memset(block, 0, std::min(n, static_cast<size_t>(fresh_ - block)));
    fresh_ = std::max({fresh_, block + n, written});
    return block;
}

KSH_NO_ASAN void Region::free(void *block) {
    auto *c = reinterpret_cast<Chunk *>(static_cast<uint8_t *>(block) - kHeader);
    if (!owns(block) || (c->size & kInUse) == 0) {
        std::fprintf(stderr, "keystore host: free of a protected block not in use (%p)\n", block);
        std::abort();
    }
    c->size &= ~kInUse;
    used_ -= c->size;
    KSH_POISON(block, c->size - kHeader);
    if (Chunk *n = next_of(c); n != nullptr && (n->size & kInUse) == 0) {
        unlink_free(n);
        c->size += n->size;
    }
    if (c->prev_size != 0) {
        auto *p = reinterpret_cast<Chunk *>(reinterpret_cast<uint8_t *>(c) - c->prev_size);
        if ((p->size & kInUse) == 0) {
            unlink_free(p);
            p->size += c->size;
            c = p;
        }
    }
    if (Chunk *n = next_of(c)) n->prev_size = c->size;
    link_free(c);
}

}  // namespace ksh
