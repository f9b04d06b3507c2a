// SPDX-License-Identifier: Apache-2.0
// A private index over the PAC cache queue (ks_pac_cacheq): from an A-ID to
// its entry and to the entry before it in the queue, so that finding,
// removing and adding a cached PAC cost the same however many are cached.
// Hidden: never exported. The queue stays the only record of the cache; the
// index is a derived view that the cache code keeps in step through the calls
// below, right after each change of the queue.
//
// It owns one block (owner tag kTagPacCacheIndex), made when the first PAC is
// cached, grown as the cache grows (before an entry is added: a block that
// cannot grow fails the add as its own allocation would) and released when the
// cache empties. It remembers the queue's first and last entries as it last
// saw them; when they differ from the queue's (a change made behind its back)
// it rebuilds itself, within the room it has, by one walk of the queue before
// answering. It holds at most kPacCacheIndexed entries: with more cached (PACs
// removed by the key operations leave their entries behind), or with two
// entries of one A-ID, it cannot answer and the cache walks the queue, which
// gives the same answers.
#pragma once

#include <cstdint>

struct pac_cache_entry;

namespace ks {

inline constexpr uint32_t kPacCacheIndexed = 2048;

struct PacCacheBucket {
    pac_cache_entry *entry;  // null: an empty bucket
    pac_cache_entry *prev;   // the entry before it in the queue, null for the first
};

// The block: this header, then 2^bits buckets (twice the entries it has room
// for).
struct PacCacheIndex {
    uint32_t bits;
    uint32_t count;
    bool valid;             // false: rebuild before the next use
    void *first;            // the queue's first entry as last seen
    pac_cache_entry *last;  // and its last
};

// Before an entry is added: room for one more. False when the block cannot be
// allocated; the index is as it was.
bool pac_cache_index_reserve();
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

// For checks: the index (null: no block) and its buckets; and a forgetting,
// as after a change of the queue behind its back (it rebuilds itself before
// it next answers).
const PacCacheIndex *pac_cache_index();
const PacCacheBucket *pac_cache_index_buckets(const PacCacheIndex *index);
void pac_cache_index_forget();

}  // namespace ks
