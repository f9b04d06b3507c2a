// SPDX-License-Identifier: Apache-2.0
// The PAC cache's index: open addressing over A-IDs (linear probing,
// backward-shift deletion), each bucket an entry of the queue and the entry
// before it, so that an entry can be unlinked without walking to it. An
// unlink makes the removed entry's predecessor that of its successor.
#include "ks_pac_cache_index.h"

#include <cstddef>
#include <cstring>

#include "keystore/ks_pac.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_hash.h"
#include "ks_owner_tags.h"
#include "ks_pac_internal.h"

namespace ks {
namespace {

constexpr uint32_t kMinBits = 5;   // 16 entries
constexpr uint32_t kMaxBits = 12;  // kPacCacheIndexed entries
static_assert(kPacCacheIndexed == 1u << (kMaxBits - 1));

PacCacheIndex *g_index = nullptr;

PacCacheBucket *buckets_of(PacCacheIndex *x) { return reinterpret_cast<PacCacheBucket *>(x + 1); }
uint32_t mask_of(const PacCacheIndex &x) { return (1u << x.bits) - 1; }
uint32_t room_of(const PacCacheIndex &x) { return 1u << (x.bits - 1); }
size_t block_size(uint32_t bits) { return sizeof(PacCacheIndex) + (size_t{1} << bits) * sizeof(PacCacheBucket); }

uint32_t home_of(const PacCacheIndex &x, const uint8_t *aid, uint32_t aid_len) {
    return hash_bytes(aid, aid_len) >> (32 - x.bits);
}

bool same_aid(const pac_cache_entry *e, const uint8_t *aid, uint32_t aid_len) {
    return e->aid_len == aid_len && (aid_len == 0 || std::memcmp(e->aid, aid, aid_len) == 0);
}

pac_cache_entry *queue_first() { return static_cast<pac_cache_entry *>(ks_pac_cacheq[0]); }

// The bucket of the A-ID, or the empty bucket where it would go (at most
// half the buckets are in use, so there is one).
uint32_t probe(PacCacheIndex &x, const uint8_t *aid, uint32_t aid_len) {
    const PacCacheBucket *b = buckets_of(&x);
    for (uint32_t at = home_of(x, aid, aid_len);; at = (at + 1) & mask_of(x)) {
        const pac_cache_entry *e = b[at].entry;
        if (e == nullptr || same_aid(e, aid, aid_len)) return at;
    }
}

// Empties bucket at and moves later buckets of the same probe run back into
// the hole when their home bucket allows it.
void erase(PacCacheIndex &x, uint32_t at) {
    PacCacheBucket *b = buckets_of(&x);
    const uint32_t mask = mask_of(x);
    uint32_t hole = at;
    for (uint32_t j = (at + 1) & mask; b[j].entry != nullptr; j = (j + 1) & mask) {
        const uint32_t home = home_of(x, b[j].entry->aid, b[j].entry->aid_len);
        if (((j - home) & mask) >= ((j - hole) & mask)) {
            b[hole] = b[j];
            hole = j;
        }
    }
    b[hole] = PacCacheBucket{};
}

bool in_step(const PacCacheIndex &x) {
    return x.valid && x.first == ks_pac_cacheq[0] && (x.last == nullptr ? x.first == nullptr : x.last->link == nullptr);
}

// One walk of the queue; false (not valid) with more entries than there is
// room for or two entries of one A-ID.
bool rebuild(PacCacheIndex &x) {
    std::memset(buckets_of(&x), 0, (size_t{1} << x.bits) * sizeof(PacCacheBucket));
    x.count = 0;
    x.valid = false;
    pac_cache_entry *prev = nullptr;
    for (pac_cache_entry *e = queue_first(); e != nullptr; prev = e, e = e->link) {
        if (x.count == room_of(x)) return false;
        const uint32_t at = probe(x, e->aid, e->aid_len);
        if (buckets_of(&x)[at].entry != nullptr) return false;
        buckets_of(&x)[at] = PacCacheBucket{e, prev};
        ++x.count;
    }
    x.first = queue_first();
    x.last = prev;
    x.valid = true;
    return true;
}

uint32_t queue_length() {
    uint32_t n = 0;
    for (const pac_cache_entry *e = queue_first(); e != nullptr && n <= kPacCacheIndexed; e = e->link) ++n;
    return n;
}

}  // namespace

bool pac_cache_index_reserve() {
    PacCacheIndex *old = g_index;
    const bool kept = old != nullptr && in_step(*old);
    const uint32_t have = kept ? old->count : queue_length();
    // Past its bound the index cannot answer anyway: no room is needed.
    if (have >= kPacCacheIndexed || (old != nullptr && have < room_of(*old))) return true;
    uint32_t bits = kMinBits;
    while ((1u << (bits - 1)) < have + 1) ++bits;
    auto *x = static_cast<PacCacheIndex *>(tagged_calloc(kTagPacCacheIndex, 1, block_size(bits)));
    if (x == nullptr) return false;
    x->bits = bits;
    if (kept) {
        // Every entry again, under the new bucket count.
        x->count = old->count;
        x->first = old->first;
        x->last = old->last;
        x->valid = true;
        const PacCacheBucket *b = buckets_of(old);
        for (uint32_t i = 0; i <= mask_of(*old); ++i)
            if (b[i].entry != nullptr) buckets_of(x)[probe(*x, b[i].entry->aid, b[i].entry->aid_len)] = b[i];
    } else {
        rebuild(*x);
    }
    if (old != nullptr) free_cleansed(old, block_size(old->bits));
    g_index = x;
    return true;
}

bool pac_cache_index_find(const uint8_t *aid, uint32_t aid_len, pac_cache_entry **entry, pac_cache_entry **prev) {
    PacCacheIndex *x = g_index;
    if (x == nullptr || (!in_step(*x) && !rebuild(*x))) return false;
    const PacCacheBucket &c = buckets_of(x)[probe(*x, aid, aid_len)];
    *entry = c.entry;
    *prev = c.prev;
    return true;
}

void pac_cache_index_unlinked(pac_cache_entry *entry, pac_cache_entry *next, void *unlinked) {
    if (ks_pac_cacheq[0] == nullptr) return pac_cache_index_emptied();
    PacCacheIndex *x = g_index;
    if (x == nullptr || !x->valid || unlinked == nullptr) return;  // nothing known, or the queue did not change
    const uint32_t at = probe(*x, entry->aid, entry->aid_len);
    if (unlinked != entry || buckets_of(x)[at].entry != entry) {
        x->valid = false;
        return;
    }
    pac_cache_entry *prev = buckets_of(x)[at].prev;
    erase(*x, at);
    --x->count;
    if (next != nullptr) {
        PacCacheBucket &n = buckets_of(x)[probe(*x, next->aid, next->aid_len)];
        if (n.entry == next)
            n.prev = prev;
        else
            x->valid = false;
    }
    if (x->last == entry) x->last = prev;
    x->first = ks_pac_cacheq[0];
}

void pac_cache_index_appended(pac_cache_entry *entry) {
    PacCacheIndex *x = g_index;
    if (x == nullptr || !x->valid) return;
    // In step only when the entry went right after the last one known.
    const bool after_last = x->last == nullptr ? ks_pac_cacheq[0] == entry : x->last->link == entry;
    const uint32_t at = probe(*x, entry->aid, entry->aid_len);
    if (!after_last || x->count == room_of(*x) || buckets_of(x)[at].entry != nullptr) {
        x->valid = false;
        return;
    }
    buckets_of(x)[at] = PacCacheBucket{entry, x->last};
    ++x->count;
    x->last = entry;
    x->first = ks_pac_cacheq[0];
}

void pac_cache_index_emptied() {
    if (g_index == nullptr) return;
    free_cleansed(g_index, block_size(g_index->bits));
    g_index = nullptr;
}

const PacCacheIndex *pac_cache_index() { return g_index; }

const PacCacheBucket *pac_cache_index_buckets(const PacCacheIndex *index) {
    return reinterpret_cast<const PacCacheBucket *>(index + 1);
}

void pac_cache_index_forget() {
    if (g_index != nullptr) g_index->valid = false;
}

}  // namespace ks
