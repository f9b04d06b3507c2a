// SPDX-License-Identifier: Apache-2.0
// The key table's internal steps, shared by every source that walks or
// changes the table: the handle match scan, the entry removal step and the
// accessors of an entry's data area. Hidden: never exported.
#pragma once

#include <cstdint>

#include "keystore/ks_sw_keystore.h"
#include "keystore/ks_types.h"
#include "ks_sw_index.h"

namespace ks {

// Fixed source paths passed to platform_assert by the software keystore and
// by the software crypto operations.
inline constexpr const char *kSwKeystorePath = "keystore/src/ks_sw_keystore";
inline constexpr const char *kSwCryptoPath = "keystore/src/ks_sw_keystore_crypto";

// Expression text reported for a null slot below the count.
inline constexpr const char *kNullSlotExpr = "p != ((void*)0)";

// Size of an entry's header words, before the data area.
inline constexpr uint32_t kEntryHeaderLen = 24;

inline uint8_t *entry_handle(ks_sym_key_entry *e) { return e->data; }
inline const uint8_t *entry_handle(const ks_sym_key_entry *e) { return e->data; }
inline uint8_t *entry_value(ks_sym_key_entry *e) { return e->data + e->value_off; }
inline const uint8_t *entry_value(const ks_sym_key_entry *e) { return e->data + e->value_off; }
inline uint8_t *entry_meta(ks_sym_key_entry *e) { return e->data + e->meta_off; }
inline const uint8_t *entry_meta(const ks_sym_key_entry *e) { return e->data + e->meta_off; }

// Handle match: the index of the entry whose handle has this length and these
// bytes, or -1. Goes through the private handle index when it is usable; a null
// slot met on the way stops the process with the given path.
int32_t sym_key_scan(const uint8_t *handle, uint32_t handle_len, const char *assert_path = kSwKeystorePath);

// The same answer by a linear scan from slot 0, stopping at the first match;
// a null slot below the count stops the process with the given path.
int32_t sym_key_linear_scan(const uint8_t *handle, uint32_t handle_len, const char *assert_path = kSwKeystorePath);

// Returns the entry at slot i, stopping the process with the given path when
// the slot is null. i must be below the count.
ks_sym_key_entry *sym_key_slot(int32_t i, const char *assert_path = kSwKeystorePath);

// Entry removal: cleanses and frees the entry at slot i, moves the later
// slots down by one, clears the vacated last slot and decrements the count.
// The entry that followed the removed one now has index i. Every removal of
// one key goes through here (of several keys, through sym_key_remove_marked
// or sym_key_remove_each), so the handle index and the per-key state follow
// it.
void sym_key_remove(int32_t i);
// The same removal, leaving the handle index alone (sym_key_remove_each
// brings it back in step at the end).
void sym_key_remove_unindexed(int32_t i);

// One bit per slot: the entries a removal of several keys takes. Slots
// before the first marked one stay where they are.
struct SlotMarks {
    uint32_t bits[(KS_MAX_KEYS + 31) / 32] = {};
    int32_t first = KS_MAX_KEYS;
    void set(int32_t i) {
        bits[i / 32] |= 1u << (i % 32);
        if (i < first) first = i;
    }
    bool test(int32_t i) const { return i < KS_MAX_KEYS && (bits[i / 32] >> (i % 32) & 1u) != 0; }
};

// Removes the entries of the marked slots in one pass: each is cleansed and
// freed, in table order; the others move down keeping their order, the
// vacated slots are cleared and the count lowered. The handle index follows.
void sym_key_remove_marked(const SlotMarks &marks);

// Removes every entry `picks` selects, in one pass over the table rather than
// one per removal. `picks` sees each entry in table order while the table is
// still whole; the entries it picked then go together. For removals nobody
// watches (no callback): a walk that tells the host of each removal uses
// sym_key_remove_each. A null slot below the count stops the process with
// the given path before anything is removed. Returns the number removed.
template <typename Picks>
int32_t sym_key_remove_where(Picks picks, const char *assert_path = kSwKeystorePath) {
    int32_t removed = 0;
    if (ks_num_sym_keys > KS_MAX_KEYS) {
        // More entries than marks (the count was raised behind the table's
        // back): one removal at a time.
        for (int32_t i = 0; i < ks_num_sym_keys;) {
            if (picks(*sym_key_slot(i, assert_path))) {
                sym_key_remove(i);
                ++removed;
            } else {
                ++i;
            }
        }
        return removed;
    }
    SlotMarks marks;
    for (int32_t i = 0; i < ks_num_sym_keys && i < KS_MAX_KEYS; ++i) {
        if (picks(*sym_key_slot(i, assert_path))) {
            marks.set(i);
            ++removed;
        }
    }
    if (removed != 0) sym_key_remove_marked(marks);
    return removed;
}

// Removes every entry `picks` selects as a walk by index does: `picks` sees
// the entry at slot i (the PAC walks tell the host of it there); a picked
// entry is removed at once, the later slots moving down, and slot i is looked
// at again. So a host's handler called from `picks` sees the table exactly as
// that walk leaves it: the entries picked before are gone. Each removal moves
// the later slot pointers; the handle index is suspended meanwhile (lookups
// scan) and catches up once at the end. A null slot below the count stops the
// process with the given path when the walk reaches it. Returns the number
// removed.
template <typename Picks>
int32_t sym_key_remove_each(Picks picks, const char *assert_path = kSwKeystorePath) {
    const int32_t old_count = ks_num_sym_keys;
    SlotMarks marks;  // the original slots of the removed entries
    int32_t removed = 0;
    index_suspend();
    for (int32_t i = 0; i < ks_num_sym_keys;) {
        if (!picks(*sym_key_slot(i, assert_path))) {
            ++i;
            continue;
        }
        sym_key_remove_unindexed(i);
        if (i + removed < KS_MAX_KEYS) marks.set(i + removed);
        ++removed;
    }
    index_resume(marks, old_count);
    return removed;
}

// Cleanses and frees one entry that is not (or no longer) in the table. The
// bytes past total_len are kept zero by every operation, so cleansing
// total_len bytes wipes the whole allocation.
void sym_key_free_entry(ks_sym_key_entry *e);

// Puts `replacement` into the slot that holds `old_entry`, found again by the
// old entry's handle (and tells the handle index), then cleanses and frees
// `old_entry`. Stops the process
// when no slot matches the handle or the matching slot holds another entry.
void sym_key_replace_entry(const uint8_t *old_handle, uint32_t old_len, ks_sym_key_entry *old_entry,
                           ks_sym_key_entry *replacement);

}  // namespace ks
