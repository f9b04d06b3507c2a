// SPDX-License-Identifier: Apache-2.0
// The PAC cache's index: open addressing over A-IDs (linear probing,
// backward-shift deletion), each bucket an entry of the queue and the entry
// before it, so that an entry can be unlinked without walking to it. An
// unlink makes the removed entry's predecessor that of its successor.
#include "ks_pac_cache_index.h"

#include <cstring>

#include "keystore/ks_pac.h"
#include "ks_pac_internal.h"
#include "ks_sw_index.h"

namespace ks {
namespace {

constexpr uint32_t kMask = kPacCacheBuckets - 1;
constexpr int kBucketBits = 12;
static_assert(kPacCacheBuckets == 1u << kBucketBits);

uint32_t home_of(const pac_cache_entry *e) { return index_hash(e->aid, e->aid_len) >> (32 - kBucketBits); }

bool same_aid(const pac_cache_entry *e, const uint8_t *aid, uint32_t aid_len) {
    return e->aid_len == aid_len && (aid_len == 0 || std::memcmp(e->aid, aid, aid_len) == 0);
}

pac_cache_entry *queue_first() { return static_cast<pac_cache_entry *>(ks_pac_cacheq[0]); }

// The bucket of the A-ID, or the empty bucket where it would go (at most
// half the buckets are in use, so there is one).
uint32_t probe(const PacCacheIndex &x, const uint8_t *aid, uint32_t aid_len) {
    for (uint32_t b = index_hash(aid, aid_len) >> (32 - kBucketBits);; b = (b + 1) & kMask) {
        const pac_cache_entry *e = x.buckets[b].entry;
        if (e == nullptr || same_aid(e, aid, aid_len)) return b;
    }
}

// Empties bucket b and moves later buckets of the same probe run back into
// the hole when their home bucket allows it.
void erase(PacCacheIndex &x, uint32_t b) {
    uint32_t hole = b;
    for (uint32_t j = (b + 1) & kMask; x.buckets[j].entry != nullptr; j = (j + 1) & kMask) {
        const uint32_t home = home_of(x.buckets[j].entry);
        if (((j - home) & kMask) >= ((j - hole) & kMask)) {
            x.buckets[hole] = x.buckets[j];
            hole = j;
        }
    }
    x.buckets[hole] = PacCacheBucket{};
}

bool in_step(const PacCacheIndex &x) {
    return x.valid && x.first == ks_pac_cacheq[0] && (x.last == nullptr ? x.first == nullptr : x.last->link == nullptr);
}

// One walk of the queue; false (not valid) with too many entries or two
// entries of one A-ID.
bool rebuild(PacCacheIndex &x) {
    std::memset(&x, 0, sizeof x);
    pac_cache_entry *prev = nullptr;
    for (pac_cache_entry *e = queue_first(); e != nullptr; prev = e, e = e->link) {
        if (x.count == kPacCacheIndexed) return false;
        const uint32_t b = probe(x, e->aid, e->aid_len);
        if (x.buckets[b].entry != nullptr) return false;
        x.buckets[b] = PacCacheBucket{e, prev};
        ++x.count;
    }
    x.first = queue_first();
    x.last = prev;
    x.valid = true;
    return true;
}

}  // namespace

bool pac_cache_index_find(const uint8_t *aid, uint32_t aid_len, pac_cache_entry **entry, pac_cache_entry **prev) {
    PacCacheIndex *x = index_pac_cache();
    if (x == nullptr || (!in_step(*x) && !rebuild(*x))) return false;
    const PacCacheBucket &c = x->buckets[probe(*x, aid, aid_len)];
    *entry = c.entry;
    *prev = c.prev;
    return true;
}

void pac_cache_index_unlinked(pac_cache_entry *entry, pac_cache_entry *next, void *unlinked) {
    PacCacheIndex *x = index_pac_cache();
    if (x == nullptr || !x->valid || unlinked == nullptr) return;  // nothing known, or the queue did not change
    const uint32_t b = probe(*x, entry->aid, entry->aid_len);
    if (unlinked != entry || x->buckets[b].entry != entry) {
        x->valid = false;
        return;
    }
    pac_cache_entry *prev = x->buckets[b].prev;
    erase(*x, b);
    --x->count;
    if (next != nullptr) {
        PacCacheBucket &n = x->buckets[probe(*x, next->aid, next->aid_len)];
        if (n.entry == next)
            n.prev = prev;
        else
            x->valid = false;
    }
    if (x->last == entry) x->last = prev;
    x->first = ks_pac_cacheq[0];
}

void pac_cache_index_appended(pac_cache_entry *entry) {
    PacCacheIndex *x = index_pac_cache();
    if (x == nullptr || !x->valid) return;
    // In step only when the entry went right after the last one known.
    const bool after_last = x->last == nullptr ? ks_pac_cacheq[0] == entry : x->last->link == entry;
    const uint32_t b = probe(*x, entry->aid, entry->aid_len);
    if (!after_last || x->count == kPacCacheIndexed || x->buckets[b].entry != nullptr) {
        x->valid = false;
        return;
    }
    x->buckets[b] = PacCacheBucket{entry, x->last};
    ++x->count;
    x->last = entry;
    x->first = ks_pac_cacheq[0];
}

void pac_cache_index_emptied() {
    PacCacheIndex *x = index_pac_cache();
    if (x == nullptr) return;
    if (x->count != 0 || !x->valid) std::memset(x->buckets, 0, sizeof x->buckets);
    x->count = 0;
    x->last = nullptr;
    x->first = ks_pac_cacheq[0];
    x->valid = x->first == nullptr;
}

}  // namespace ks
