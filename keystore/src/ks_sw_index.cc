// SPDX-License-Identifier: Apache-2.0
// The handle index of the key table: an open-addressing hash table (linear
// probing, backward-shift deletion) of slot numbers, sized once for the
// largest table, with a reverse map from slot to bucket so that a removal,
// which moves every later slot down by one, renumbers only those slots. Each
// slot's per-key crypto state lives in the same block and moves with it, and
// so does its node in the sorted orders of names and A-IDs (ks_sw_order.h).
// The block also holds the PAC cache's index (ks_pac_cache_index.h).
#include "ks_sw_index.h"

#include <cstddef>
#include <cstring>

#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_owner_tags.h"
#include "ks_pac_cache_index.h"
#include "ks_seams.h"
#include "ks_sw_key_state.h"
#include "ks_sw_order.h"
#include "ks_sw_table.h"

namespace ks {
namespace {

// At least twice the largest table, so probes stay short; a power of two.
constexpr uint32_t kBuckets = 4096;
constexpr uint32_t kMask = kBuckets - 1;
static_assert(kBuckets >= 2 * KS_MAX_KEYS);

struct Bucket {
    uint32_t hash;
    uint16_t slot1;  // slot + 1; 0 marks an empty bucket
};

struct Index {
    ks_sym_key_entry **slots_seen;  // the slot array and count the index is in step with
    int32_t count_seen;
    bool valid;      // false: rebuild before the next use
    bool suspended;  // a walk is removing entries: lookups scan, hooks invalidate
    uint16_t bucket_of[KS_MAX_KEYS];
    Bucket buckets[kBuckets];
    KeyState state[KS_MAX_KEYS];
    SlotOrders orders;
    PacCacheIndex pac_cache;
};

Index *g_index = nullptr;

uint64_t load64(const uint8_t *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}
uint64_t load32(const uint8_t *p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// The bytes of p[0, n), n < 8, as one word: loads that stay inside those n
// bytes, so a word just written by 8-byte stores is read back from the store
// itself rather than after the stores reach the cache.
uint64_t tail_word(const uint8_t *p, uint32_t n) {
    if (n >= 4) return load32(p) | load32(p + n - 4) << 32;
    if (n != 0) return uint64_t{p[0]} | uint64_t{p[n / 2]} << 8 | uint64_t{p[n - 1]} << 16;
    return 0;
}

// Mixes every byte of the handle and its length: whole 8-byte words from the
// start, then the rest as one word. The front builds a handle with one store
// per 8-byte word and looks it up at once, so no load here spans two of those
// words. The result is the high half of a last multiplication, whose bits
// depend on every input bit; buckets are picked by its top bits.
[[gnu::always_inline]] inline uint32_t hash_handle(const uint8_t *p, uint32_t n) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        h = (h ^ load64(p + i)) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 32;
    }
    return static_cast<uint32_t>(((h ^ tail_word(p + i, n - i)) * 0x94D049BB133111EBull) >> 32);
}

constexpr int kBucketBits = 12;
static_assert(kBuckets == 1u << kBucketBits);
uint32_t home_of(uint32_t hash) { return hash >> (32 - kBucketBits); }

// Byte equality read the way hash_handle reads (handles are names, not
// secrets).
bool bytes_equal(const uint8_t *a, const uint8_t *b, uint32_t n) {
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8)
        if (load64(a + i) != load64(b + i)) return false;
    if (n - i >= 4) return load32(a + i) == load32(b + i) && load32(a + n - 4) == load32(b + n - 4);
    for (; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

bool handle_matches(const ks_sym_key_entry *p, const uint8_t *handle, uint32_t handle_len) {
    return p->handle_len == handle_len && bytes_equal(p->data, handle, handle_len);
}

bool in_step(const Index *x, int32_t expected_count) {
    return x->valid && !x->suspended && x->slots_seen == ks_sym_keys && x->count_seen == expected_count;
}

// The index for a change hook. A change while suspended (a handler that
// changed the table during a walk, or a walk that never finished) ends the
// suspension; the index then rebuilds on its next use.
Index *hooked_index() {
    Index *x = g_index;
    if (x != nullptr && x->suspended) {
        x->suspended = false;
        x->valid = false;
    }
    return x;
}

void drop_state(Index *x, int32_t slot) { key_state_clear(x->state[slot]); }

void drop_all_states(Index *x) {
    for (int32_t s = 0; s < KS_MAX_KEYS; ++s) drop_state(x, s);
}

void add_bucket(Index *x, int32_t slot, uint32_t hash) {
    uint32_t b = home_of(hash);
    while (x->buckets[b].slot1 != 0) b = (b + 1) & kMask;
    x->buckets[b] = Bucket{hash, static_cast<uint16_t>(slot + 1)};
    x->bucket_of[slot] = static_cast<uint16_t>(b);
}

// Empties bucket b and moves later buckets of the same probe run back into
// the hole when their home bucket allows it, so that no probe run is broken.
void erase_bucket(Index *x, uint32_t b) {
    uint32_t hole = b;
    uint32_t j = b;
    for (;;) {
        j = (j + 1) & kMask;
        const Bucket &c = x->buckets[j];
        if (c.slot1 == 0) break;
        uint32_t home = home_of(c.hash);
        // c may fill the hole when its home is not cyclically within (hole, j].
        bool home_after_hole = ((j - home) & kMask) < ((j - hole) & kMask);
        if (!home_after_hole) {
            x->buckets[hole] = c;
            x->bucket_of[c.slot1 - 1] = static_cast<uint16_t>(hole);
            hole = j;
        }
    }
    x->buckets[hole] = Bucket{0, 0};
}

// Probes for the handle; returns the slot or -1. A probe that reaches a null
// slot stops the process with the caller's path.
int32_t probe(const Index *x, const uint8_t *handle, uint32_t handle_len, uint32_t hash, const char *assert_path) {
    for (uint32_t b = home_of(hash);; b = (b + 1) & kMask) {
        const Bucket &c = x->buckets[b];
        if (c.slot1 == 0) return -1;
        if (c.hash != hash) continue;
        int32_t slot = c.slot1 - 1;
        const ks_sym_key_entry *p = ks_sym_keys[slot];
        if (p == nullptr) platform_assert(kNullSlotExpr, assert_path, __LINE__);
        if (handle_matches(p, handle, handle_len)) return slot;
    }
}

// Rebuilds the index from the table; false (index left unusable) when the
// table cannot be indexed: too many entries, a null slot or equal handles.
bool rebuild(Index *x) {
    drop_all_states(x);
    std::memset(x->buckets, 0, sizeof x->buckets);
    order_clear(x->orders);
    x->valid = false;
    x->slots_seen = ks_sym_keys;
    x->count_seen = ks_num_sym_keys;
    if (ks_num_sym_keys < 0 || ks_num_sym_keys > KS_MAX_KEYS) return false;
    for (int32_t i = 0; i < ks_num_sym_keys; ++i) {
        const ks_sym_key_entry *p = ks_sym_keys[i];
        if (p == nullptr) return false;
        uint32_t hash = hash_handle(p->data, p->handle_len);
        for (uint32_t b = home_of(hash); x->buckets[b].slot1 != 0; b = (b + 1) & kMask) {
            const Bucket &c = x->buckets[b];
            if (c.hash == hash && handle_matches(ks_sym_keys[c.slot1 - 1], p->data, p->handle_len)) return false;
        }
        add_bucket(x, i, hash);
        order_add(x->orders, i);
    }
    x->valid = true;
    return true;
}

// The index, rebuilt first when a change was made behind its back; null when
// there is none, it is suspended or the table cannot be indexed.
Index *usable_index() {
    Index *x = g_index;
    if (x == nullptr || x->suspended || (!in_step(x, ks_num_sym_keys) && !rebuild(x))) return nullptr;
    return x;
}

// At load, after the subsystem registrations.
__attribute__((constructor(110))) void allocate_at_load() { index_allocate(); }

}  // namespace

void index_allocate() {
    if (g_index != nullptr) return;
    // Zeroed: not valid, so the first lookup builds it from the table.
    g_index = static_cast<Index *>(tagged_calloc(kTagIndex, 1, sizeof(Index)));
}

void index_prepare_insert() {
    if (g_index == nullptr && ks_num_sym_keys == 0) index_allocate();
}

void index_slots_moved(ks_sym_key_entry **old_slots) {
    Index *x = hooked_index();
    if (x != nullptr && x->slots_seen == old_slots) x->slots_seen = ks_sym_keys;
}

void index_appended(int32_t slot) {
    Index *x = hooked_index();
    if (x == nullptr) return;
    if (!in_step(x, ks_num_sym_keys - 1) || slot != x->count_seen) {
        x->valid = false;
        return;
    }
    const ks_sym_key_entry *p = ks_sym_keys[slot];
    drop_state(x, slot);
    add_bucket(x, slot, hash_handle(p->data, p->handle_len));
    order_add(x->orders, slot);
    x->count_seen = ks_num_sym_keys;
}

void index_removed(int32_t slot) {
    Index *x = hooked_index();
    if (x == nullptr) return;
    if (!in_step(x, ks_num_sym_keys + 1) || slot < 0 || slot > ks_num_sym_keys) {
        x->valid = false;
        return;
    }
    erase_bucket(x, x->bucket_of[slot]);
    drop_state(x, slot);
    order_drop(x->orders, slot);
    // The slots after the removed one moved down by one: so do their buckets'
    // slot numbers, their reverse map, their nodes and their per-key states.
    for (int32_t j = slot; j < ks_num_sym_keys; ++j) {
        uint16_t b = x->bucket_of[j + 1];
        x->bucket_of[j] = b;
        x->buckets[b].slot1 = static_cast<uint16_t>(j + 1);
        order_move(x->orders, j + 1, j);
    }
    std::memmove(&x->state[slot], &x->state[slot + 1], sizeof(KeyState) * (ks_num_sym_keys - slot));
    key_state_forget(x->state[ks_num_sym_keys]);  // moved down, not released
    x->count_seen = ks_num_sym_keys;
}

void index_removed_marked(const SlotMarks &marks, int32_t old_count) {
    Index *x = hooked_index();
    if (x == nullptr) return;
    if (!in_step(x, old_count)) {
        x->valid = false;
        return;
    }
    const int32_t start = marks.first < old_count ? marks.first : old_count;
    // The removed keys go first, under the slot numbers the index knows...
    for (int32_t r = start; r < old_count; ++r) {
        if (!marks.test(r)) continue;
        erase_bucket(x, x->bucket_of[r]);
        drop_state(x, r);
        order_drop(x->orders, r);
    }
    // ...then the others move down to their new slots, in order, as the
    // entries did.
    int32_t w = start;
    for (int32_t r = start; r < old_count; ++r) {
        if (marks.test(r)) continue;
        if (w != r) {
            const uint16_t b = x->bucket_of[r];
            x->bucket_of[w] = b;
            x->buckets[b].slot1 = static_cast<uint16_t>(w + 1);
            x->state[w] = x->state[r];
            key_state_forget(x->state[r]);  // moved, not released
            order_move(x->orders, r, w);
        }
        ++w;
    }
    x->count_seen = w;
    if (w != ks_num_sym_keys) x->valid = false;
}

void index_suspend() {
    if (g_index != nullptr) g_index->suspended = true;
}

void index_resume(const SlotMarks &marks, int32_t old_count) {
    Index *x = g_index;
    if (x == nullptr) return;
    if (!x->suspended) {
        // A handler changed the table during the walk: whatever the index
        // learned since, the walk's own removals passed it by.
        x->valid = false;
        return;
    }
    x->suspended = false;
    index_removed_marked(marks, old_count);
}

void index_replaced(int32_t slot) {
    Index *x = hooked_index();
    if (x == nullptr) return;
    if (!in_step(x, ks_num_sym_keys) || slot < 0 || slot >= ks_num_sym_keys) {
        x->valid = false;
        return;
    }
    drop_state(x, slot);
    erase_bucket(x, x->bucket_of[slot]);
    const ks_sym_key_entry *p = ks_sym_keys[slot];
    add_bucket(x, slot, hash_handle(p->data, p->handle_len));
    order_replace(x->orders, slot);
}

int32_t index_find(const uint8_t *handle, uint32_t handle_len, const char *assert_path, KeyState **state) {
    // An index in step with the table is the common case: checked here, so
    // that only a rebuild or a suspended walk leaves this function.
    Index *x = g_index;
    if (x == nullptr || !in_step(x, ks_num_sym_keys)) x = usable_index();
    if (x == nullptr) {
        if (state != nullptr) *state = nullptr;
        return sym_key_linear_scan(handle, handle_len, assert_path);
    }
    const int32_t slot = probe(x, handle, handle_len, hash_handle(handle, handle_len), assert_path);
    if (state != nullptr) *state = slot >= 0 ? &x->state[slot] : nullptr;
    return slot;
}

NextAnswer index_next_name(const char *after, char *out) {
    const Index *x = usable_index();
    if (x == nullptr || !order_covers_table(x->orders)) return NextAnswer::kWalk;
    return order_next_name(x->orders, after, out) ? NextAnswer::kFound : NextAnswer::kNone;
}

NextAnswer index_next_aid(const uint8_t *key, uint8_t *out, uint8_t *out_len) {
    const Index *x = usable_index();
    if (x == nullptr || !order_covers_table(x->orders)) return NextAnswer::kWalk;
    return order_next_aid(x->orders, key, out, out_len) ? NextAnswer::kFound : NextAnswer::kNone;
}

KeyState *index_key_state(int32_t slot) {
    Index *x = g_index;
    if (x == nullptr || !in_step(x, ks_num_sym_keys) || slot < 0 || slot >= ks_num_sym_keys) return nullptr;
    return &x->state[slot];
}

void index_release() {
    if (g_index == nullptr) return;
    drop_all_states(g_index);
    free_cleansed(g_index, sizeof(Index));
    g_index = nullptr;
}

bool index_present() { return g_index != nullptr; }

PacCacheIndex *index_pac_cache() { return g_index != nullptr ? &g_index->pac_cache : nullptr; }

uint32_t index_hash(const uint8_t *bytes, uint32_t len) { return hash_handle(bytes, len); }

int32_t index_state_records_in_use() {
    if (g_index == nullptr) return 0;
    int32_t n = 0;
    for (const KeyState &s : g_index->state) {
        const auto *b = reinterpret_cast<const uint8_t *>(&s);
        for (size_t i = 0; i < sizeof s; ++i) {
            if (b[i] != 0) {
                ++n;
                break;
            }
        }
    }
    return n;
}

}  // namespace ks
