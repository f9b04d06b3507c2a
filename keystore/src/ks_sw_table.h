// SPDX-License-Identifier: Apache-2.0
// The key table's internal steps, shared by every source that walks or
// changes the table: the handle match scan, the entry removal steps, and the
// calls that keep the table's private parts in step with it. Hidden: never
// exported.
//
// The table itself (ks_sym_keys, ks_num_sym_keys) stays the only record of
// what is stored. Beside it stand three private parts, each in its own source
// with its own memory: the handle index (ks_sw_index.h), the sorted orders of
// names and A-IDs (ks_sw_order.h) and the per-key crypto state
// (ks_sw_key_state.h). None is allocated before the first key is stored; they
// grow with the table when a store needs room (a failed growth is a failed
// store: NO_MEMORY, the table as it was) and are released when it empties.
//
// Every change of the table through the library calls one of the hooks below
// right after it, and the parts follow. The table remembers the slot array
// and the count the parts are in step with; when either differs from the
// globals (a change made behind its back), the next lookup rebuilds the index
// and the orders from the table and drops every per-key state. When the table
// cannot be indexed (a null slot, two equal handles, more entries than the
// parts have room for), lookups are the linear scan from slot 0 and the
// get-next walks walk the table: the parts add no result and no failure of
// their own.
#pragma once

#include <cstdint>

#include "keystore/ks_sw_keystore.h"
#include "keystore/ks_types.h"
#include "ks_sw_entry.h"

namespace ks {

// Handle match: the index of the entry whose handle has this length and these
// bytes, or -1. Through the handle index when the parts are in step; a null
// slot met on the way stops the process with the given path. `state_slot`,
// when given, receives the slot whose per-key state may be used: the found
// slot when the parts are in step, else -1.
int32_t sym_key_scan(const uint8_t *handle, uint32_t handle_len, const char *assert_path = kSwKeystorePath,
                     int32_t *state_slot = nullptr);

// The same answer by a linear scan from slot 0, stopping at the first match;
// a null slot below the count stops the process with the given path.
int32_t sym_key_linear_scan(const uint8_t *handle, uint32_t handle_len, const char *assert_path = kSwKeystorePath);

// Returns the entry at slot i, stopping the process with the given path when
// the slot is null. i must be below the count.
ks_sym_key_entry *sym_key_slot(int32_t i, const char *assert_path = kSwKeystorePath);

// ---- Hooks of the insert ----

// After the slot array was reallocated from old_slots.
void table_slots_moved(ks_sym_key_entry **old_slots);
// Before an insert, once the slot array has room and the entry is allocated:
// room in every part for one more entry. False when a part could not grow:
// the insert fails with NO_MEMORY, the table as it was (a part that did grow
// keeps its room, as the slot array does; on an empty table nothing stays).
bool table_reserve();
// After an entry was put at slot `slot` (the new last) and the count raised.
void table_appended(int32_t slot);
// After slot `slot` got another entry or its entry another handle.
void table_replaced(int32_t slot);

// ---- Removals ----

// Entry removal: cleanses and frees the entry at slot i, moves the later
// slots down by one, clears the vacated last slot and decrements the count.
// The entry that followed the removed one now has index i. Every removal of
// one key goes through here (of several keys, through sym_key_remove_marked
// or sym_key_remove_each), so the parts follow it.
void sym_key_remove(int32_t i);
// The same removal, leaving the parts alone (sym_key_remove_each brings them
// back in step at the end).
void sym_key_remove_unindexed(int32_t i);

// Removes the entries of the marked slots in one pass: each is cleansed and
// freed, in table order; the others move down keeping their order, the
// vacated slots are cleared and the count lowered. The parts follow.
void sym_key_remove_marked(const SlotMarks &marks);

// Around a walk that removes entries one at a time (sym_key_remove_each):
// while suspended, lookups scan the table and the get-next walks walk it, so
// that a handler called during the walk sees the table exactly as it is; at
// the end the parts catch up at once with the marked slots (below old_count)
// removed, keeping the per-key state of the entries that stay. Any other
// change hook called while suspended ends the suspension and makes the parts
// rebuild instead.
void table_suspend();
void table_resume(const SlotMarks &marks, int32_t old_count);

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
// the later slot pointers; the parts are suspended meanwhile (lookups scan)
// and catch up once at the end. A null slot below the count stops the
// process with the given path when the walk reaches it. Returns the number
// removed.
template <typename Picks>
int32_t sym_key_remove_each(Picks picks, const char *assert_path = kSwKeystorePath) {
    const int32_t old_count = ks_num_sym_keys;
    SlotMarks marks;  // the original slots of the removed entries
    int32_t removed = 0;
    table_suspend();
    for (int32_t i = 0; i < ks_num_sym_keys;) {
        if (!picks(*sym_key_slot(i, assert_path))) {
            ++i;
            continue;
        }
        sym_key_remove_unindexed(i);
        if (i + removed < KS_MAX_KEYS) marks.set(i + removed);
        ++removed;
    }
    table_resume(marks, old_count);
    return removed;
}

// Cleanses and frees one entry that is not (or no longer) in the table. The
// bytes past total_len are kept zero by every operation, so cleansing
// total_len bytes wipes the whole allocation.
void sym_key_free_entry(ks_sym_key_entry *e);

// Puts `replacement` into the slot that holds `old_entry`, found again by the
// old entry's handle (and tells the parts), then cleanses and frees
// `old_entry`. Stops the process when no slot matches the handle or the
// matching slot holds another entry.
void sym_key_replace_entry(const uint8_t *old_handle, uint32_t old_len, ks_sym_key_entry *old_entry,
                           ks_sym_key_entry *replacement);

// ---- Get-next ----

// The get-next walks answered from the sorted orders, with the answer a walk
// over every slot would give. kWalk when they cannot answer (the parts not
// usable, an entry with an empty handle): the caller walks the table.
enum class NextAnswer { kFound, kNone, kWalk };
// The smallest secret name greater than `after` (strcmp) to out
// (KS_HANDLE_MAX bytes, NUL-terminated).
NextAnswer table_next_name(const char *after, char *out);
// The PAC whose A-ID key (kAidKeyLen bytes, right-aligned) is the smallest
// greater than `key`, the lowest slot among equal keys: its first key-length
// bytes to out, their number to *out_len.
NextAnswer table_next_aid(const uint8_t *key, uint8_t *out, uint8_t *out_len);

// For tests: the parts forget what they are in step with, as after a change
// behind the table's back; the next lookup rebuilds them. And whether they
// are in step with the table, with room for it.
void table_parts_forget();
bool table_parts_in_step();

}  // namespace ks
