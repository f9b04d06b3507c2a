// Tagged allocator: every block carries a header with its tag and size, so
// the host can account per tag, report leaks, inject failures and wipe every
// block it releases.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"

namespace {

constexpr uint32_t kMagic = 0x4B534842;  // "KSHB"

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
    if (h->prev) h->prev->next = h->next;
    else g.live = h->next;
    if (h->next) h->next->prev = h->prev;
}

BlockHeader *header_of(void *block) {
    auto *h = reinterpret_cast<BlockHeader *>(static_cast<char *>(block) - sizeof(BlockHeader));
    if (h->magic != kMagic) {
        std::fprintf(stderr, "keystore host: tagged_free/realloc of a block it did not allocate (%p)\n", block);
        std::abort();
    }
    return h;
}

void wipe(void *p, size_t n) {
    volatile unsigned char *v = static_cast<volatile unsigned char *>(p);
    while (n--) *v++ = 0;
}

}  // namespace

extern "C" {

void *tagged_calloc(uint32_t tag, size_t count, size_t size) {
    if (should_fail(tag)) return nullptr;
    if (size != 0 && count > (SIZE_MAX - sizeof(BlockHeader)) / size) return nullptr;
    size_t n = count * size;
    auto *h = static_cast<BlockHeader *>(std::calloc(1, sizeof(BlockHeader) + n));
    if (h == nullptr) return nullptr;
    h->magic = kMagic;
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
    auto *h = static_cast<BlockHeader *>(std::calloc(1, sizeof(BlockHeader) + size));
    if (h == nullptr) return nullptr;
    std::memcpy(h + 1, old + 1, old->size < size ? old->size : size);
    h->magic = kMagic;
    h->tag = tag;
    h->size = size;
    unlink(old);
    account(old->tag, -1, -static_cast<int64_t>(old->size));
    wipe(old, sizeof(BlockHeader) + old->size);
    std::free(old);
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
    wipe(h, sizeof(BlockHeader) + h->size);
    std::free(h);
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

}  // extern "C"
