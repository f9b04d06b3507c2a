// SPDX-License-Identifier: Apache-2.0
// A private index over the key table: from a handle to its slot, plus each
// slot's precomputed crypto state (ks_sw_key_state.h) and the sorted orders
// of names and A-IDs that answer the get-next walks (ks_sw_order.h). Its block
// also holds the PAC cache's index (ks_pac_cache_index.h). Hidden: never
// exported.
//
// The table itself (ks_sym_keys, ks_num_sym_keys) stays the only record of
// what is stored; the index is a derived view kept in step by the table code,
// which calls the hooks below right after each change. It remembers the slot
// array and the count it last saw; when either differs from the globals (a
// change made behind its back), it rebuilds itself from the table on the next
// lookup and drops every per-key state. When its single allocation fails, or
// the table cannot be indexed (a null slot, two equal handles), lookups fall
// back to the linear scan, so no result and no status depends on it.
//
// The index is one block allocated when the library is loaded and kept for
// the life of the process, so that no keystore operation allocates on its
// account (an operation's allocations, and their failures, stay exactly those
// it is defined to make). Only if that allocation failed does an insert into
// the empty table try again.
#pragma once

#include <cstdint>

#include "keystore/ks_sw_keystore.h"

namespace ks {

struct KeyState;
struct PacCacheIndex;
struct SlotMarks;

// Before an insert: allocates the index when it has none and the table is
// empty. A failure is silent.
void index_prepare_insert();
// After the slot array was reallocated from old_slots.
void index_slots_moved(ks_sym_key_entry **old_slots);
// After an entry was put at slot `slot` (the new last) and the count raised.
void index_appended(int32_t slot);
// After the entry removal at `slot`: count lowered, later slots moved down.
void index_removed(int32_t slot);
// After the entries of the marked slots (below old_count) were removed in one
// pass: count lowered, the other entries moved down in order.
void index_removed_marked(const SlotMarks &marks, int32_t old_count);
// After slot `slot` got another entry or its entry another handle.
void index_replaced(int32_t slot);
// Around a walk that removes entries one at a time (sym_key_remove_each):
// while suspended, lookups scan the table and the get-next walks walk it, so
// that a handler called during the walk sees the table exactly as it is;
// at the end the index catches up at once with the marked slots (below
// old_count) removed, keeping the per-key state of the entries that stay.
// Any other change hook called while suspended ends the suspension and makes
// the index rebuild instead.
void index_suspend();
void index_resume(const SlotMarks &marks, int32_t old_count);

// The slot of the entry with this handle, or -1: through the index when it is
// usable, otherwise by the linear scan (which stops the process on a null
// slot below the count, with the given path). A lookup through the index that
// lands on a null slot stops the process the same way. With `state`, also the
// found slot's per-key state record (null when not found or not through the
// index), valid until the next change of the table.
int32_t index_find(const uint8_t *handle, uint32_t handle_len, const char *assert_path, KeyState **state = nullptr);

// The get-next walks answered from the sorted orders of names and A-IDs
// (ks_sw_order.h), with the answer a walk over every slot would give. kWalk
// when the index cannot answer (none, a table it cannot index, an entry with
// an empty handle): the caller walks the table.
enum class NextAnswer { kFound, kNone, kWalk };
// The smallest secret name greater than `after` (strcmp) to out
// (KS_HANDLE_MAX bytes, NUL-terminated).
NextAnswer index_next_name(const char *after, char *out);
// The PAC whose A-ID key (KS_PAC_SNMP_KEY_LEN bytes, right-aligned) is the
// smallest greater than `key`, the lowest slot among equal keys: its first
// key-length bytes to out, their number to *out_len.
NextAnswer index_next_aid(const uint8_t *key, uint8_t *out, uint8_t *out_len);

// The PAC cache's index (ks_pac_cache_index.h), kept in the same block; null
// when there is no block.
PacCacheIndex *index_pac_cache();
// The hash of the handle index over any name (every byte and the length).
uint32_t index_hash(const uint8_t *bytes, uint32_t len);

}  // namespace ks
