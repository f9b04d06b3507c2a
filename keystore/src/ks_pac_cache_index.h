// SPDX-License-Identifier: Apache-2.0
// A private index over the PAC cache queue (ks_pac_cacheq): from an A-ID to
// its entry and to the entry before it in the queue, so that finding,
// removing and adding a cached PAC cost the same however many are cached.
// Hidden: never exported. The queue stays the only record of the cache; the
// index is a derived view that lives in the handle index's block (no
// allocation of its own) and that the cache code keeps in step through the
// calls below, right after each change of the queue.
//
// It remembers the queue's first and last entries as it last saw them; when
// they differ from the queue's (a change made behind its back), or after the
// block was allocated afresh, it rebuilds itself by one walk of the queue
// before answering. It holds at most kPacCacheIndexed entries: with more
// cached (PACs removed by the key operations leave their entries behind), or
// with two entries of one A-ID, it cannot answer and the cache walks the
// queue, which gives the same answers.
#pragma once

#include <cstdint>

struct pac_cache_entry;

namespace ks {

inline constexpr uint32_t kPacCacheIndexed = 2048;
inline constexpr uint32_t kPacCacheBuckets = 2 * kPacCacheIndexed;  // a power of two

struct PacCacheBucket {
    pac_cache_entry *entry;  // null: an empty bucket
    pac_cache_entry *prev;   // the entry before it in the queue, null for the first
};

// All zero: not in step, rebuilt from the queue before its first use.
struct PacCacheIndex {
    bool valid;
    uint32_t count;
    void *first;            // the queue's first entry as last seen
    pac_cache_entry *last;  // and its last
    PacCacheBucket buckets[kPacCacheBuckets];
};

// True when the index can answer: *entry is the cached entry of the A-ID, or
// null, and *prev the entry before it in the queue (null for the first).
// False: walk the queue.
bool pac_cache_index_find(const uint8_t *aid, uint32_t aid_len, pac_cache_entry **entry, pac_cache_entry **prev);
// After fifo_unlink was asked to take `entry` (whose successor was `next`) and
// answered `unlinked`.
void pac_cache_index_unlinked(pac_cache_entry *entry, pac_cache_entry *next, void *unlinked);
// After fifo_enqueue appended `entry`.
void pac_cache_index_appended(pac_cache_entry *entry);
// After the queue was emptied.
void pac_cache_index_emptied();

}  // namespace ks
