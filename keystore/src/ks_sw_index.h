// SPDX-License-Identifier: Apache-2.0
// The key table's handle index: from a handle to the slot of its entry, in
// one or two probes. Hidden: never exported.
//
// One of the table's private parts (ks_sw_table.h keeps them in step with the
// table): it owns one block (owner tag kTagIndex), made when the first key is
// stored, grown with the table (ks::part_capacity) and released when the table
// empties. The block holds an open-addressing hash table (linear probing,
// backward-shift deletion) of at least twice as many buckets as the slots it
// has room for, each bucket the handle's hash and its slot, and a reverse map
// from slot to bucket, so that moving a slot renumbers one bucket.
#pragma once

#include <cstdint>

namespace ks {

// Makes room for `slots` slots, keeping what the index holds; false, the
// index as it was, when the block cannot be allocated.
bool index_reserve(int32_t slots);
// The slots there is room for; 0 without a block.
int32_t index_capacity();
// Releases the block, and with it everything indexed.
void index_release();
// Forgets every slot, keeping the room.
void index_clear();

// The entry now at `slot` (below the capacity) is indexed under its handle.
void index_add(int32_t slot);
// The slot's bucket goes.
void index_drop(int32_t slot);
// The entry indexed at slot `from` now stands at slot `to`, which holds none.
void index_move(int32_t from, int32_t to);

// The slot whose entry has this handle, or -1 (also without a block). A
// probe that lands on a null slot stops the process with the given path.
int32_t index_find(const uint8_t *handle, uint32_t handle_len, const char *assert_path);

}  // namespace ks
