// SPDX-License-Identifier: Apache-2.0
#include "region.h"

#include <sys/mman.h>
#include <sys/syscall.h>
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
constexpr size_t kMinStep = size_t{16} << 10;
constexpr uint32_t kStepLocked = 0x80000000u;  // in a step's word, beside its count of chunks
// Fresh memory is mapped this many steps at a time; what lies more than that
// above the top (rounded up to it) is given back once it is twice that.
constexpr size_t kMapSteps = 4;
// After a lock fails, the next this many attempts that need at least as many
// steps are passed over (their blocks stay unlocked) unless the region
// unlocks a step first: a process at its lock limit would otherwise pay a
// failing call for most allocations. A block that must be locked is always
// tried.
constexpr uint32_t kLockBackoff = 1024;

size_t page_size() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }
size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

// Size class: the highest set bit of the size in 16-byte units.
int class_of(size_t size, int classes) {
    const int c = static_cast<int>(std::bit_width(size / kAlign)) - 1;
    return c < classes ? c : classes - 1;
}

// Locks [p, p + n) into RAM. Pages are locked as they are first touched
// (MLOCK_ONFAULT), so a step costs RAM only as it fills, though the kernel
// counts all of it against RLIMIT_MEMLOCK at once. Where the kernel (or an
// emulator) has no mlock2, it answers ENOSYS or, for a non-zero flag, EINVAL:
// then the range is locked and filled at once. The calls go to the kernel
// directly: AddressSanitizer's runtime replaces mlock and munlock with calls
// that do nothing, and the region's count must be the kernel's.
bool lock_pages(void *p, size_t n) {
#if defined(SYS_mlock2) && defined(MLOCK_ONFAULT)
    if (syscall(SYS_mlock2, p, n, MLOCK_ONFAULT) == 0) return true;
    if (errno != ENOSYS && errno != EINVAL) return false;
#endif
    return syscall(SYS_mlock, p, n) == 0;
}

void unlock_pages(void *p, size_t n) { syscall(SYS_munlock, p, n); }

}  // namespace

size_t Region::step() { return std::max(kMinStep, page_size()); }

bool Region::fail(const char *call) {
    failed_call_ = call;
    failed_errno_ = errno;
    return false;
}

Region::Made Region::make(size_t bytes) {
    const size_t page = page_size(), step = Region::step();
    if (bytes == 0 || bytes > SIZE_MAX / 2) {
        errno = ENOMEM;
        return fail("mmap"), Made::kNoMap;
    }
    const size_t size = round_up(bytes, step);
    const size_t table = round_up(size / step * sizeof(uint32_t), page);
    // The reservation: no access, nothing behind it, until map_through. Its
    // usable part starts on a step, after at least one guard page, and ends
    // with one.
    const size_t reserved = size + page + step;
    void *m = mmap(nullptr, reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return fail("mmap"), Made::kNoMap;
    auto *base = reinterpret_cast<uint8_t *>(round_up(reinterpret_cast<uintptr_t>(m) + page, step));
    void *t = MAP_FAILED;
    Made made = Made::kOk;
    if (madvise(base, size, MADV_DONTDUMP) != 0)
        fail("madvise"), made = Made::kNoAdvise;
    else if ((t = mmap(nullptr, table, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) == MAP_FAILED)
        fail("mmap"), made = Made::kNoMap;
    if (made != Made::kOk) {
        munmap(m, reserved);
        return made;
    }
    base_ = base;
    size_ = size;
    step_ = step;
    used_ = 0;
    top_ = mapped_ = fresh_ = base_;
    top_prev_size_ = 0;
    steps_ = static_cast<uint32_t *>(t);
    locked_steps_ = unlocked_steps_ = 0;
    for (auto &f : free_) f = nullptr;
    KSH_POISON(base_, size_);
    return Made::kOk;
}

KSH_NO_ASAN Region::Chunk *Region::next_of(Chunk *c) const {
    uint8_t *n = reinterpret_cast<uint8_t *>(c) + (c->size & ~kInUse);
    return n < top_ ? reinterpret_cast<Chunk *>(n) : nullptr;
}

KSH_NO_ASAN void Region::set_prev_size_after(Chunk *c) {
    if (Chunk *n = next_of(c))
        n->prev_size = c->size & ~kInUse;
    else
        top_prev_size_ = c->size & ~kInUse;
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

bool Region::map_through(uint8_t *end) {
    if (end <= mapped_) return true;
    const size_t to = std::min(round_up(static_cast<size_t>(end - base_), kMapSteps * step_), size_);
    if (mprotect(mapped_, static_cast<size_t>(base_ + to - mapped_), PROT_READ | PROT_WRITE) != 0)
        return fail("mprotect");
    mapped_ = base_ + to;
    return true;
}

void Region::unmap_above_top() {
    const size_t unit = kMapSteps * step_;
    uint8_t *keep = base_ + std::min(round_up(static_cast<size_t>(top_ - base_), unit) + unit, size_);
    if (mapped_ < keep + unit) return;
    const size_t n = static_cast<size_t>(mapped_ - keep);
    if (madvise(keep, n, MADV_DONTNEED) == 0) fresh_ = std::min(fresh_, keep);  // its pages read as zero again
    if (mprotect(keep, n, PROT_NONE) == 0) mapped_ = keep;
}

bool Region::hold(uint8_t *begin, uint8_t *end, bool must_lock) {
    const size_t first = static_cast<size_t>(begin - base_) / step_,
                 last = static_cast<size_t>(end - 1 - base_) / step_;
    size_t lo = SIZE_MAX, hi = 0;  // the steps to lock
    for (size_t i = first; i <= last; ++i) {
        if ((steps_[i] & ~kStepLocked) == 0) ++unlocked_steps_;  // newly in use: unlocked until locked
        ++steps_[i];
        if ((steps_[i] & kStepLocked) == 0) lo = std::min(lo, i), hi = i;
    }
    if (lo == SIZE_MAX) return true;
    const size_t n = hi - lo + 1;
    if (!must_lock && lock_backoff_ != 0 && n >= backoff_steps_) return --lock_backoff_, false;
    if (!lock_pages(base_ + lo * step_, n * step_)) {
        backoff_steps_ = lock_backoff_ != 0 ? std::min(backoff_steps_, n) : n;
        lock_backoff_ = kLockBackoff;
        return fail("mlock");
    }
    for (size_t i = lo; i <= hi; ++i) {
        if ((steps_[i] & kStepLocked) != 0) continue;
        steps_[i] |= kStepLocked;
        ++locked_steps_, --unlocked_steps_;
    }
    return true;
}

void Region::release(uint8_t *begin, uint8_t *end) {
    const size_t first = static_cast<size_t>(begin - base_) / step_,
                 last = static_cast<size_t>(end - 1 - base_) / step_;
    size_t run = SIZE_MAX;  // the first of the steps to unlock
    for (size_t i = first; i <= last + 1; ++i) {
        bool unlock = false;
        if (i <= last && (--steps_[i] & ~kStepLocked) == 0) {
            unlock = (steps_[i] & kStepLocked) != 0;
            steps_[i] = 0;
            --(unlock ? locked_steps_ : unlocked_steps_);
        }
        if (unlock && run == SIZE_MAX) run = i;
        if (!unlock && run != SIZE_MAX) {
            unlock_pages(base_ + run * step_, (i - run) * step_);
            run = SIZE_MAX;
            lock_backoff_ = 0;
        }
    }
}

void Region::relock() {
    lock_backoff_ = 0;
    const size_t steps = size_ / step_;
    for (size_t i = 0; i < steps;) {
        if ((steps_[i] & ~kStepLocked) == 0) {
            ++i;
            continue;
        }
        size_t j = i;
        for (; j < steps && (steps_[j] & ~kStepLocked) != 0; ++j) {
            if ((steps_[j] & kStepLocked) == 0) continue;
            steps_[j] &= ~kStepLocked;
            --locked_steps_, ++unlocked_steps_;
        }
        if (lock_pages(base_ + i * step_, (j - i) * step_)) {
            for (size_t k = i; k < j; ++k) steps_[k] |= kStepLocked;
            locked_steps_ += j - i, unlocked_steps_ -= j - i;
        }
        i = j;
    }
}

bool Region::is_locked(const void *p, size_t n) const {
    if (!owns(p)) return false;
    const size_t at = static_cast<size_t>(static_cast<const uint8_t *>(p) - base_);
    for (size_t i = at / step_; i <= (at + (n == 0 ? 0 : n - 1)) / step_; ++i)
        if ((steps_[i] & kStepLocked) == 0) return false;
    return true;
}

KSH_NO_ASAN void *Region::alloc(size_t n, bool must_lock, Got &got) {
    got = Got::kFull;
    if (base_ == nullptr || n > size_) return nullptr;
    size_t need = round_up(n + kHeader, kAlign);
    if (need < kMinChunk) need = kMinChunk;
    // First fit within the request's own class, else the first chunk of any
    // larger class (every one of them is large enough), else the top.
    const int k = class_of(need, kClasses);
    Chunk *c = free_[k];
    while (c != nullptr && c->size < need) c = c->next;
    for (int j = k + 1; c == nullptr && j < kClasses; ++j) c = free_[j];
    bool split = false;
    if (c != nullptr) {
        unlink_free(c);
        split = c->size - need >= kMinChunk;
        if (split) {
            auto *rest = reinterpret_cast<Chunk *>(reinterpret_cast<uint8_t *>(c) + need);
            rest->prev_size = need;
            rest->size = c->size - need;
            set_prev_size_after(rest);
            link_free(rest);
            c->size = need;
        }
    } else {
        if (need > static_cast<size_t>(base_ + size_ - top_)) return nullptr;
        if (!map_through(top_ + need)) {
            got = Got::kNoMap;
            return nullptr;
        }
        c = reinterpret_cast<Chunk *>(top_);
        c->prev_size = top_prev_size_;
        c->size = need;
        top_ += need;
        top_prev_size_ = need;
    }
    used_ += c->size;
    uint8_t *const chunk = reinterpret_cast<uint8_t *>(c);
    // The chunk may now be written to its end (its bytes, its links once
    // freed), and the rest split off it has its header and links.
    uint8_t *const written = chunk + c->size + (split ? kMinChunk : 0);
    const bool locked = hold(chunk, chunk + c->size, must_lock);
    c->size |= kInUse;
    uint8_t *block = chunk + kHeader;
    KSH_UNPOISON(block, n);
    // Bytes from fresh_ on were never written and are still zero: only
    // those below it are cleared, so untouched pages stay untouched.
    if (block < fresh_) std::memset(block, 0, std::min(n, static_cast<size_t>(fresh_ - block)));
    fresh_ = std::max({fresh_, block + n, written});
    if (!locked && must_lock) {
        free(block);
        got = Got::kNoLock;
        return nullptr;
    }
    got = locked ? Got::kLocked : Got::kUnlocked;
    return block;
}

KSH_NO_ASAN void Region::free(void *block) {
    auto *b = static_cast<uint8_t *>(block);
    auto *c = reinterpret_cast<Chunk *>(b - kHeader);
    if (base_ == nullptr || b < base_ + kHeader || b >= top_ || (c->size & kInUse) == 0) {
        std::fprintf(stderr, "keystore host: free of a protected block not in use (%p)\n", block);
        std::abort();
    }
    c->size &= ~kInUse;
    used_ -= c->size;
    release(reinterpret_cast<uint8_t *>(c), reinterpret_cast<uint8_t *>(c) + c->size);
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
    if (next_of(c) == nullptr) {  // it ends at the top: the top takes it back
        top_ = reinterpret_cast<uint8_t *>(c);
        top_prev_size_ = c->prev_size;
        unmap_above_top();
        return;
    }
    set_prev_size_after(c);
    link_free(c);
}

}  // namespace ksh
