// SPDX-License-Identifier: Apache-2.0
// The handle index: one block of a header, the buckets and the reverse map
// from slot to bucket. A bucket is chosen by the top bits of the handle's
// hash; at most half the buckets are in use, so probe runs stay short and a
// probe always meets an empty bucket.
#include "ks_sw_index.h"

#include <cstddef>
#include <cstring>

#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_hash.h"
#include "ks_owner_tags.h"
#include "ks_sw_entry.h"

namespace ks {
namespace {

struct Bucket {
    uint32_t hash;
    uint16_t slot1;  // slot + 1; 0 marks an empty bucket
};

// The block: this header, then 2^bits buckets, then a bucket number per slot.
struct Index {
    uint32_t capacity;  // slots
    uint32_t bits;
};

Index *g_index = nullptr;

Bucket *buckets_of(Index *x) { return reinterpret_cast<Bucket *>(x + 1); }
uint16_t *bucket_of(Index *x) { return reinterpret_cast<uint16_t *>(buckets_of(x) + (size_t{1} << x->bits)); }
uint32_t mask_of(const Index *x) { return (1u << x->bits) - 1; }
uint32_t home_of(const Index *x, uint32_t hash) { return hash >> (32 - x->bits); }

size_t block_size(uint32_t capacity, uint32_t bits) {
    return sizeof(Index) + (size_t{1} << bits) * sizeof(Bucket) + capacity * sizeof(uint16_t);
}

// At least twice as many buckets as slots.
uint32_t bits_for(uint32_t capacity) {
    uint32_t bits = 5;
    while ((1u << bits) < 2 * capacity) ++bits;
    return bits;
}

void put(Index *x, int32_t slot, uint32_t hash) {
    Bucket *b = buckets_of(x);
    uint32_t at = home_of(x, hash);
    while (b[at].slot1 != 0) at = (at + 1) & mask_of(x);
    b[at] = Bucket{hash, static_cast<uint16_t>(slot + 1)};
    bucket_of(x)[slot] = static_cast<uint16_t>(at);
}

bool handle_matches(const ks_sym_key_entry *p, const uint8_t *handle, uint32_t handle_len) {
    return p->handle_len == handle_len && bytes_equal(p->data, handle, handle_len);
}

}  // namespace

bool index_reserve(int32_t slots) {
    if (slots <= 0 || (g_index != nullptr && static_cast<int32_t>(g_index->capacity) >= slots)) return true;
    const auto capacity = static_cast<uint32_t>(part_capacity(slots));
    const uint32_t bits = bits_for(capacity);
    auto *x = static_cast<Index *>(tagged_calloc(kTagIndex, 1, block_size(capacity, bits)));
    if (x == nullptr) return false;
    x->capacity = capacity;
    x->bits = bits;
    if (Index *old = g_index) {
        // Every bucket again, under the new bucket count.
        const Bucket *b = buckets_of(old);
        for (uint32_t i = 0; i <= mask_of(old); ++i)
            if (b[i].slot1 != 0) put(x, b[i].slot1 - 1, b[i].hash);
        free_cleansed(old, block_size(old->capacity, old->bits));
    }
    g_index = x;
    return true;
}

int32_t index_capacity() { return g_index != nullptr ? static_cast<int32_t>(g_index->capacity) : 0; }

void index_release() {
    if (g_index == nullptr) return;
    free_cleansed(g_index, block_size(g_index->capacity, g_index->bits));
    g_index = nullptr;
}

void index_clear() {
    if (g_index != nullptr) std::memset(buckets_of(g_index), 0, (size_t{1} << g_index->bits) * sizeof(Bucket));
}

void index_add(int32_t slot) {
    const ks_sym_key_entry *p = ks_sym_keys[slot];
    put(g_index, slot, hash_bytes(p->data, p->handle_len));
}

// Empties the slot's bucket and moves later buckets of the same probe run
// back into the hole when their home bucket allows it, so that no probe run
// is broken.
void index_drop(int32_t slot) {
    Index *x = g_index;
    Bucket *b = buckets_of(x);
    const uint32_t mask = mask_of(x);
    uint32_t hole = bucket_of(x)[slot];
    for (uint32_t j = (hole + 1) & mask; b[j].slot1 != 0; j = (j + 1) & mask) {
        // b[j] may fill the hole when its home is not cyclically within (hole, j].
        const uint32_t home = home_of(x, b[j].hash);
        if (((j - home) & mask) >= ((j - hole) & mask)) {
            b[hole] = b[j];
            bucket_of(x)[b[hole].slot1 - 1] = static_cast<uint16_t>(hole);
            hole = j;
        }
    }
    b[hole] = Bucket{0, 0};
}

void index_move(int32_t from, int32_t to) {
    Index *x = g_index;
    const uint16_t at = bucket_of(x)[from];
    bucket_of(x)[to] = at;
    buckets_of(x)[at].slot1 = static_cast<uint16_t>(to + 1);
}

int32_t index_find(const uint8_t *handle, uint32_t handle_len, const char *assert_path) {
    Index *x = g_index;
    if (x == nullptr) return -1;
    const Bucket *b = buckets_of(x);
    const uint32_t hash = hash_bytes(handle, handle_len), mask = mask_of(x);
    for (uint32_t at = home_of(x, hash);; at = (at + 1) & mask) {
        const Bucket &c = b[at];
        if (c.slot1 == 0) return -1;
        if (c.hash != hash) continue;
        const int32_t slot = c.slot1 - 1;
        const ks_sym_key_entry *p = ks_sym_keys[slot];
        if (p == nullptr) platform_assert(kNullSlotExpr, assert_path, __LINE__);
        if (handle_matches(p, handle, handle_len)) return slot;
    }
}

}  // namespace ks
