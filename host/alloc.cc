// SPDX-License-Identifier: Apache-2.0
// Tagged allocator: every block carries a header with its tag and size, so
// the host can account per tag, report leaks, inject failures and wipe every
// block it releases. Blocks come from protected memory (region.h) unless
// protection is off or, in the fallback mode, unavailable.
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
// Regions are added as the configured size grows; each is mapped once and
// kept for the life of the process.
constexpr int kMaxRegions = 8;

enum class Shortfall { kNone, kNoLock, kFull };

struct Protection {
    bool configured = false;  // the environment has been read
    int mode = KSH_PROTECT_REQUIRE;
    size_t limit = kDefaultProtectedBytes;  // what the regions may hold together
    bool cannot_make = false;               // making a region failed; not tried again until reconfigured
    int regions = 0;
    ksh::Region region[kMaxRegions];
    uint64_t refused = 0;
    uint64_t unprotected = 0;
    bool told[2][2] = {};  // [fallback][full]: the message has been emitted
};

constinit Protection prot;

// What the host says, once per configuration, when a block cannot be
// protected: the setup failed (RLIMIT_MEMLOCK) or the region is full, and the
// block either goes to ordinary memory or is refused.
constexpr uint32_t kSeverityError = 0x30000;
constexpr uint32_t kSeverityWarning = 0x40000;
uint32_t g_message_words[2][2] = {};
const ks_message_definition kShortfallMessages[2][2] = {
    {{"KSH", "NOLOCK", "Could not lock memory for the keystore; its allocations are refused.", nullptr, kSeverityError,
      &g_message_words[0][0]},
     {"KSH", "FULL", "Protected memory for the keystore is full; further allocations are refused.", nullptr,
      kSeverityError, &g_message_words[0][1]}},
    {{"KSH", "NOLOCK_FALLBACK",
      "Could not lock memory for the keystore; its blocks go to ordinary memory, which may be swapped out or "
      "written to a core dump.",
      nullptr, kSeverityWarning, &g_message_words[1][0]},
     {"KSH", "FULL_FALLBACK",
      "Protected memory for the keystore is full; further blocks go to ordinary memory, which may be swapped out "
      "or written to a core dump.",
      nullptr, kSeverityWarning, &g_message_words[1][1]}},
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

void configure() {
    if (prot.configured) return;
    prot.configured = true;
    if (const char *m = std::getenv("KSH_PROTECT")) {
        if (std::strcmp(m, "off") == 0)
            prot.mode = KSH_PROTECT_OFF;
        else if (std::strcmp(m, "prefer") == 0)
            prot.mode = KSH_PROTECT_PREFER;
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

// n bytes of protected memory, or null with the reason.
void *protected_bytes(size_t n, Shortfall &why) {
    for (int i = 0; i < prot.regions; ++i)
        if (void *b = prot.region[i].alloc(n)) return b;
    why = prot.cannot_make ? Shortfall::kNoLock : Shortfall::kFull;
    const size_t have = protected_size();
    if (prot.cannot_make || have >= prot.limit || prot.regions == kMaxRegions) return nullptr;
    ksh::Region &r = prot.region[prot.regions];
    if (r.make(prot.limit - have) != ksh::Region::Made::kOk) {
        prot.cannot_make = true;
        why = Shortfall::kNoLock;
        return nullptr;
    }
    ++prot.regions;
    return r.alloc(n);
}

void tell(bool fallback, Shortfall why) {
    bool &told = prot.told[fallback][why == Shortfall::kFull];
    if (told) return;
    told = true;
    sys_message_emit(&kShortfallMessages[fallback][why == Shortfall::kFull]);
}

// A zeroed block of n bytes (header included) with its magic set, from
// protected memory when the mode asks for it.
BlockHeader *new_block(size_t n) {
    configure();
    void *b = nullptr;
    uint32_t magic = kMagic;
    if (prot.mode != KSH_PROTECT_OFF) {
        Shortfall why = Shortfall::kNone;
        b = protected_bytes(n, why);
        if (b != nullptr) {
            magic = kMagicProtected;  // zeroed by the region
        } else if (prot.mode == KSH_PROTECT_REQUIRE) {
            ++prot.refused;
            tell(false, why);
            return nullptr;
        } else {
            ++prot.unprotected;
            tell(true, why);
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
    BlockHeader *h = new_block(sizeof(BlockHeader) + n);
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
    BlockHeader *h = new_block(sizeof(BlockHeader) + size);
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
    if (mode != KSH_PROTECT_OFF && mode != KSH_PROTECT_REQUIRE && mode != KSH_PROTECT_PREFER) return -1;
    prot.mode = mode;
    prot.cannot_make = false;
    for (auto &t : prot.told) t[0] = t[1] = false;
    if (size == 0) return 0;
    if (size < protected_size()) return -1;
    prot.limit = size;
    return 0;
}

void ksh_alloc_protection_info(ksh_protection_info *info) {
    if (info == nullptr) return;
    configure();
    *info = ksh_protection_info{};
    info->mode = prot.mode;
    info->limit = prot.limit;
    info->size = protected_size();
    for (int i = 0; i < prot.regions; ++i) info->used += prot.region[i].used();
    info->refused = prot.refused;
    info->unprotected = prot.unprotected;
}

int ksh_alloc_is_protected(const void *block) {
    return block != nullptr && region_of(static_cast<const char *>(block) - sizeof(BlockHeader)) != nullptr;
}

}  // extern "C"
