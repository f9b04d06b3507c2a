// SPDX-License-Identifier: Apache-2.0
// Tagged allocator: every block carries a header with its tag and size, so
// the host can account per tag, report leaks, inject failures and wipe every
// block it releases. Blocks come from protected memory (region.h) unless
// protection is off or, in the mode that prefers it, the region cannot hold
// them.
#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keystore/platform/ks_platform.h"
#include "keystore/platform/ks_platform_records.h"
#include "keystore_host/host.h"
#include "region.h"

namespace {

constexpr uint32_t kMagic = 0x4B534842;           // "KSHB": a block in ordinary memory
constexpr uint32_t kMagicProtected = 0x4B534850;  // "KSHP": a block in protected memory

struct alignas(16) BlockHeader {
    uint32_t magic;
    uint32_t tag;
    size_t size;
    BlockHeader *prev;
    BlockHeader *next;
};

struct TagStats {
    uint32_t tag;
    uint64_t blocks;
    uint64_t bytes;
};

constexpr int kMaxTags = 128;

struct AllocState {
    BlockHeader *live = nullptr;
    uint64_t live_blocks = 0;
    uint64_t live_bytes = 0;
    uint64_t calls = 0;
    uint64_t failed = 0;
    uint64_t fail_at = 0;  // absolute call number that fails, 0 = none
    uint32_t fail_tag = 0;
    int check_cleansed = 0;
    uint64_t uncleansed = 0;
    uint32_t last_uncleansed_tag = 0;
    TagStats tags[kMaxTags] = {};
};

constinit AllocState g;

TagStats *stats_for(uint32_t tag) {
    for (auto &t : g.tags) {
        if (t.tag == tag) return &t;
        if (t.tag == 0 && t.blocks == 0 && t.bytes == 0) {
            t.tag = tag;
            return &t;
        }
    }
    return nullptr;
}

void account(uint32_t tag, int64_t blocks, int64_t bytes) {
    g.live_blocks += blocks;
    g.live_bytes += bytes;
    if (TagStats *t = stats_for(tag)) {
        t->blocks += blocks;
        t->bytes += bytes;
    }
}

bool should_fail(uint32_t tag) {
    ++g.calls;
    bool fail = (g.fail_at != 0 && g.calls == g.fail_at) || (g.fail_tag != 0 && tag == g.fail_tag);
    if (g.fail_at != 0 && g.calls >= g.fail_at) g.fail_at = 0;
    if (fail) ++g.failed;
    return fail;
}

void link(BlockHeader *h) {
    h->prev = nullptr;
    h->next = g.live;
    if (g.live) g.live->prev = h;
    g.live = h;
}

void unlink(BlockHeader *h) {
    if (h->prev)
        h->prev->next = h->next;
    else
        g.live = h->next;
    if (h->next) h->next->prev = h->prev;
}

BlockHeader *header_of(void *block) {
    auto *h = reinterpret_cast<BlockHeader *>(static_cast<char *>(block) - sizeof(BlockHeader));
    if (h->magic != kMagic && h->magic != kMagicProtected) {
        std::fprintf(stderr, "keystore host: tagged_free/realloc of a block it did not allocate (%p)\n", block);
        std::abort();
    }
    return h;
}

void wipe(void *p, size_t n) {
    volatile unsigned char *v = static_cast<volatile unsigned char *>(p);
    while (n--) *v++ = 0;
}

// ---- Protected memory -------------------------------------------------------

constexpr size_t kDefaultProtectedBytes = size_t{6} << 20;
// Regions are added as the configured size grows; each is reserved once and
// kept for the life of the process.
constexpr int kMaxRegions = 8;

// What the host says, once per configuration, when a block is not served
// locked: it could not be locked, and was served unlocked or refused; or the
// region could not hold it (full, or its memory could not be mapped), and it
// was refused or put in ordinary memory.
enum Say { kUnlocked, kNoLock, kFull, kFullFallback, kNoMap, kNoMapFallback, kSayings };

struct Protection {
    bool configured = false;  // the environment has been read
    int mode = KSH_PROTECT_REGION;
    size_t limit = kDefaultProtectedBytes;  // the address space the regions may reserve together
    bool cannot_make = false;               // reserving a region failed; not tried again until reconfigured
    bool fork_handler = false;
    int regions = 0;
    ksh::Region region[kMaxRegions];
    uint64_t refused = 0;
    uint64_t unprotected = 0;
    bool told[kSayings] = {};
};

constinit Protection prot;

// The texts name the sizes and the call that failed: each is written when it
// is first said.
constexpr uint32_t kSeverityError = 0x30000;
constexpr uint32_t kSeverityWarning = 0x40000;
char g_texts[kSayings][768];
uint32_t g_message_words[kSayings] = {};
const ks_message_definition kSayMessages[kSayings] = {
    {"KSH", "UNLOCKED", g_texts[kUnlocked], nullptr, kSeverityWarning, &g_message_words[kUnlocked]},
    {"KSH", "NOLOCK", g_texts[kNoLock], nullptr, kSeverityError, &g_message_words[kNoLock]},
    {"KSH", "FULL", g_texts[kFull], nullptr, kSeverityError, &g_message_words[kFull]},
    {"KSH", "FULL_FALLBACK", g_texts[kFullFallback], nullptr, kSeverityWarning, &g_message_words[kFullFallback]},
    {"KSH", "NOMAP", g_texts[kNoMap], nullptr, kSeverityError, &g_message_words[kNoMap]},
    {"KSH", "NOMAP_FALLBACK", g_texts[kNoMapFallback], nullptr, kSeverityWarning, &g_message_words[kNoMapFallback]},
};

// Bytes with an optional K, M or G (powers of 1024); 0 when unreadable.
size_t parse_size(const char *text) {
    char *end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text) return 0;
    int shift = 0;
    if (*end == 'k' || *end == 'K')
        shift = 10;
    else if (*end == 'm' || *end == 'M')
        shift = 20;
    else if (*end == 'g' || *end == 'G')
        shift = 30;
    if (shift != 0) ++end;
    if (*end != '\0' || v > (SIZE_MAX >> shift)) return 0;
    return static_cast<size_t>(v) << shift;
}

// "6 MiB", "64 KiB" or "1000 bytes".
const char *size_text(char (&out)[32], uint64_t n) {
    const auto v = static_cast<unsigned long long>(n);
    if (n != 0 && n % (1u << 20) == 0)
        std::snprintf(out, sizeof out, "%llu MiB", v >> 20);
    else if (n != 0 && n % 1024 == 0)
        std::snprintf(out, sizeof out, "%llu KiB", v >> 10);
    else
        std::snprintf(out, sizeof out, "%llu bytes", v);
    return out;
}

void configure() {
    if (prot.configured) return;
    prot.configured = true;
    if (const char *m = std::getenv("KSH_PROTECT")) {
        if (std::strcmp(m, "off") == 0)
            prot.mode = KSH_PROTECT_OFF;
        else if (std::strcmp(m, "prefer") == 0)
            prot.mode = KSH_PROTECT_PREFER;
        else if (std::strcmp(m, "region") == 0)
            prot.mode = KSH_PROTECT_REGION;
        else
            prot.mode = KSH_PROTECT_REQUIRE;  // "require", and anything unknown: the safe reading
    }
    if (const char *n = std::getenv("KSH_PROTECT_SIZE")) {
        if (size_t bytes = parse_size(n)) prot.limit = bytes;
    }
}

size_t protected_size() {
    size_t n = 0;
    for (int i = 0; i < prot.regions; ++i) n += prot.region[i].size();
    return n;
}

ksh::Region *region_of(const void *p) {
    for (int i = 0; i < prot.regions; ++i)
        if (prot.region[i].owns(p)) return &prot.region[i];
    return nullptr;
}

// A child after fork holds no memory lock; its regions lock their steps in
// use again.
void relock_after_fork() {
    for (int i = 0; i < prot.regions; ++i) prot.region[i].relock();
}

// n bytes of protected memory, or null; got says how it was served or why
// not, and `from` is the region that served it or whose call failed.
void *protected_bytes(size_t n, bool must_lock, ksh::Region::Got &got, const ksh::Region *&from) {
    using Got = ksh::Region::Got;
    for (int i = 0; i < prot.regions; ++i) {
        from = &prot.region[i];
        if (void *b = prot.region[i].alloc(n, must_lock, got)) return b;
        if (got != Got::kFull) return nullptr;
    }
    got = Got::kFull;
    if (prot.regions == kMaxRegions) return nullptr;
    ksh::Region &r = prot.region[prot.regions];
    from = &r;
    const size_t have = protected_size();
    if (!prot.cannot_make && have >= prot.limit) return nullptr;
    if (prot.cannot_make || r.make(prot.limit - have) != ksh::Region::Made::kOk) {
        prot.cannot_make = true;
        got = Got::kNoMap;
        return nullptr;
    }
    ++prot.regions;
    if (!prot.fork_handler) prot.fork_handler = pthread_atfork(nullptr, nullptr, relock_after_fork) == 0;
    return r.alloc(n, must_lock, got);
}

// Says it, once per configuration: what happened (with the sizes and the
// call that failed) and what to do.
void tell(Say say, size_t asked, uint32_t tag, const ksh::Region &from) {
    if (prot.told[say]) return;
    prot.told[say] = true;
    char *t = g_texts[say];
    const size_t len = sizeof g_texts[say];
    const char *why = std::strerror(from.failed_errno());
    char a[32], b[32];
    rlimit lock{};
    getrlimit(RLIMIT_MEMLOCK, &lock);
    const char *lock_limit = lock.rlim_cur == RLIM_INFINITY ? "unlimited" : size_text(a, lock.rlim_cur);
    constexpr const char *kRaise =
        "raise the lock limit (ulimit -l; LimitMEMLOCK= for a systemd service; docker run --ulimit memlock=...)";
    size_t used = 0;
    for (int i = 0; i < prot.regions; ++i) used += prot.region[i].used();
    const bool advise = std::strcmp(from.failed_call(), "madvise") == 0;
    const char *map_fix = advise
                              ? "This kernel cannot leave memory out of core dumps (MADV_DONTDUMP came with Linux 3.4)"
                              : "Free memory or address space, or set KSH_PROTECT_SIZE smaller";
    switch (say) {
        case kUnlocked:
            std::snprintf(t, len,
                          "Could not lock the keystore's memory into RAM (mlock: %s; RLIMIT_MEMLOCK is %s): blocks "
                          "it cannot lock are served unlocked and may be swapped out; they still stay out of core "
                          "dumps, between guard pages, and are wiped when freed. To keep them out of swap, %s or "
                          "grant CAP_IPC_LOCK; to refuse them instead, set KSH_PROTECT=require.",
                          why, lock_limit, kRaise);
            break;
        case kNoLock:
            std::snprintf(
                t, len,
                "Could not lock the keystore's memory into RAM (mlock: %s; RLIMIT_MEMLOCK is %s): a block "
                "of %zu bytes (tag 0x%08X) was refused, as is every block it cannot lock while KSH_PROTECT=require. To "
                "serve them, %s, grant CAP_IPC_LOCK, or leave KSH_PROTECT unset to serve them unlocked.",
                why, lock_limit, asked, tag, kRaise);
            break;
        case kFull:
        case kFullFallback:
            std::snprintf(t, len,
                          "Protected memory for the keystore is full (%s in use of %s, KSH_PROTECT_SIZE): a block "
                          "of %zu bytes (tag 0x%08X) %s. Set KSH_PROTECT_SIZE larger.",
                          size_text(a, used), size_text(b, prot.limit), asked, tag,
                          say == kFull ? "was refused, as is every block it has no room for"
                                       : "went to ordinary memory, as does every block it has no room for, where it "
                                         "may be swapped out or written to a core dump");
            break;
        case kNoMap:
        case kNoMapFallback:
            std::snprintf(
                t, len,
                "Could not map protected memory for the keystore (%s: %s): a block of %zu bytes (tag 0x%08X) %s. %s%s.",
                from.failed_call(), why, asked, tag,
                say == kNoMap ? "was refused, as is every block it cannot map"
                              : "went to ordinary memory, as does every block it cannot map, where it may "
                                "be swapped out or written to a core dump",
                map_fix, say == kNoMap ? "; KSH_PROTECT=prefer puts such blocks in ordinary memory" : "");
            break;
        case kSayings: break;
    }
    sys_message_emit(&kSayMessages[say]);
}

// A zeroed block of n bytes (header included) with its magic set, from
// protected memory unless the mode is off or, when it prefers, the region
// cannot hold it.
BlockHeader *new_block(size_t n, uint32_t tag) {
    using Got = ksh::Region::Got;
    configure();
    void *b = nullptr;
    uint32_t magic = kMagic;
    if (prot.mode != KSH_PROTECT_OFF) {
        Got got = Got::kFull;
        const ksh::Region *from = &prot.region[0];
        b = protected_bytes(n, prot.mode == KSH_PROTECT_REQUIRE, got, from);
        const size_t asked = n - sizeof(BlockHeader);
        if (b != nullptr) {
            magic = kMagicProtected;  // zeroed by the region
            if (got == Got::kUnlocked) tell(kUnlocked, asked, tag, *from);
        } else if (got == Got::kNoLock || prot.mode != KSH_PROTECT_PREFER) {
            ++prot.refused;
            tell(got == Got::kNoLock ? kNoLock : got == Got::kFull ? kFull : kNoMap, asked, tag, *from);
            return nullptr;
        } else {
            ++prot.unprotected;
            tell(got == Got::kFull ? kFullFallback : kNoMapFallback, asked, tag, *from);
        }
    }
    if (b == nullptr) b = std::calloc(1, n);
    if (b == nullptr) return nullptr;
    auto *h = static_cast<BlockHeader *>(b);
    h->magic = magic;
    return h;
}

// Wipes a block (header included) and gives it back where it came from.
void release_block(BlockHeader *h) {
    const bool is_protected = h->magic == kMagicProtected;
    wipe(h, sizeof(BlockHeader) + h->size);
    if (is_protected)
        region_of(h)->free(h);
    else
        std::free(h);
}

}  // namespace

extern "C" {

void *tagged_calloc(uint32_t tag, size_t count, size_t size) {
    if (should_fail(tag)) return nullptr;
    if (size != 0 && count > (SIZE_MAX - sizeof(BlockHeader)) / size) return nullptr;
    size_t n = count * size;
    BlockHeader *h = new_block(sizeof(BlockHeader) + n, tag);
    if (h == nullptr) return nullptr;
    h->tag = tag;
    h->size = n;
    link(h);
    account(tag, 1, static_cast<int64_t>(n));
    return h + 1;
}

void *tagged_realloc(uint32_t tag, void *block, size_t size) {
    if (block == nullptr) return tagged_calloc(tag, 1, size);
    if (should_fail(tag)) return nullptr;
    BlockHeader *old = header_of(block);
    if (size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    BlockHeader *h = new_block(sizeof(BlockHeader) + size, tag);
    if (h == nullptr) return nullptr;
    std::memcpy(h + 1, old + 1, old->size < size ? old->size : size);
    h->tag = tag;
    h->size = size;
    unlink(old);
    account(old->tag, -1, -static_cast<int64_t>(old->size));
    release_block(old);
    link(h);
    account(tag, 1, static_cast<int64_t>(size));
    return h + 1;
}

void tagged_free(void *block) {
    if (block == nullptr) return;
    BlockHeader *h = header_of(block);
    if (g.check_cleansed) {
        const unsigned char *p = static_cast<const unsigned char *>(block);
        for (size_t i = 0; i < h->size; ++i) {
            if (p[i] != 0) {
                ++g.uncleansed;
                g.last_uncleansed_tag = h->tag;
                break;
            }
        }
    }
    unlink(h);
    account(h->tag, -1, -static_cast<int64_t>(h->size));
    release_block(h);
}

uint64_t ksh_alloc_live_blocks(void) { return g.live_blocks; }
uint64_t ksh_alloc_live_bytes(void) { return g.live_bytes; }

uint64_t ksh_alloc_tag_live_blocks(uint32_t tag) {
    for (auto &t : g.tags)
        if (t.tag == tag) return t.blocks;
    return 0;
}

uint64_t ksh_alloc_tag_live_bytes(uint32_t tag) {
    for (auto &t : g.tags)
        if (t.tag == tag) return t.bytes;
    return 0;
}

uint64_t ksh_alloc_calls(void) { return g.calls; }
void ksh_alloc_fail_nth(uint64_t n) { g.fail_at = n == 0 ? 0 : g.calls + n; }
void ksh_alloc_fail_tag(uint32_t tag) { g.fail_tag = tag; }
void ksh_alloc_clear_faults(void) {
    g.fail_at = 0;
    g.fail_tag = 0;
}
uint64_t ksh_alloc_failed_calls(void) { return g.failed; }

size_t ksh_alloc_leak_report(FILE *out) {
    size_t n = 0;
    for (BlockHeader *h = g.live; h != nullptr; h = h->next) {
        if (out) std::fprintf(out, "live block: tag 0x%08X, %zu bytes\n", h->tag, h->size);
        ++n;
    }
    return n;
}

void ksh_alloc_check_cleansed(int on) { g.check_cleansed = on; }
uint64_t ksh_alloc_uncleansed_frees(void) { return g.uncleansed; }
uint32_t ksh_alloc_last_uncleansed_tag(void) { return g.last_uncleansed_tag; }

int ksh_alloc_set_protection(int mode, size_t size) {
    configure();
    if (mode != KSH_PROTECT_OFF && mode != KSH_PROTECT_REQUIRE && mode != KSH_PROTECT_PREFER &&
        mode != KSH_PROTECT_REGION)
        return -1;
    prot.mode = mode;
    prot.cannot_make = false;
    for (bool &t : prot.told) t = false;
    for (int i = 0; i < prot.regions; ++i) prot.region[i].retry_locking();
    if (size == 0) return 0;
    if (size < protected_size()) return -1;
    prot.limit = size;
    return 0;
}

void ksh_alloc_protection_stats(ksh_protection_info *info, size_t info_size) {
    if (info == nullptr) return;
    configure();
    ksh_protection_info all{};
    all.mode = prot.mode;
    all.limit = prot.limit;
    all.size = protected_size();
    for (int i = 0; i < prot.regions; ++i) {
        all.used += prot.region[i].used();
        all.locked += prot.region[i].locked();
        all.unlocked += prot.region[i].unlocked();
    }
    all.refused = prot.refused;
    all.unprotected = prot.unprotected;
    all.step = ksh::Region::step();
    std::memcpy(info, &all, std::min(info_size, sizeof all));
}

// For binaries built against the header before `locked`: they pass a
// structure that ends there.
void(ksh_alloc_protection_info)(ksh_protection_info *info) {
    ksh_alloc_protection_stats(info, offsetof(ksh_protection_info, locked));
}

int ksh_alloc_is_protected(const void *block) {
    return block != nullptr && region_of(static_cast<const char *>(block) - sizeof(BlockHeader)) != nullptr;
}

int ksh_alloc_is_locked(const void *block) {
    if (block == nullptr) return 0;
    const BlockHeader *h = static_cast<const BlockHeader *>(block) - 1;
    const ksh::Region *r = region_of(h);
    return r != nullptr && r->is_locked(h, sizeof(BlockHeader) + h->size);
}

}  // extern "C"
