// SPDX-License-Identifier: Apache-2.0
// The key table's secret names and PAC A-IDs in sorted order, for the
// get-next walks: the successor of a name or an A-ID in O(log n) with no
// handle copy. Hidden: never exported.
//
// One of the table's private parts (ks_sw_table.h keeps them in step with the
// table): it owns one block (owner tag kTagOrders), made when the first key is
// stored, grown with the table (ks::part_capacity) and released when the table
// empties.
//
// Each slot of the table has a node; nodes are numbered independently of the
// slots, so a removal, which moves every later slot down by one, renumbers
// only the slot of each later node, not the links between nodes. The names
// and the A-IDs each form a treap (a binary search tree kept balanced by
// random-looking node priorities) ordered by the key the table walk compares,
// ties broken by slot: the walk keeps the first of equal keys it meets.
//
// The keys are read from the entries the nodes stand for, as the walk reads
// them from the handle copies it is given: the handle length as one byte; a
// name is at most KS_NAME_MAX bytes and ends at its first NUL; an A-ID is
// known by its first kAidKeyLen bytes, right-aligned in that many bytes of
// zeros.
#pragma once

#include <cstdint>

namespace ks {

// The bytes of an A-ID that the get-next walk over PACs compares.
inline constexpr uint32_t kAidKeyLen = 16;

// Makes room for `slots` slots, keeping both orders; false, the orders as
// they were, when the block cannot be allocated.
bool order_reserve(int32_t slots);
// The slots there is room for; 0 without a block.
int32_t order_capacity();
// Releases the block with both orders.
void order_release();
// Empties both orders, keeping the room.
void order_clear();

// After an entry was put at slot `slot`, the new last (below the capacity).
void order_add(int32_t slot);
// The entry of slot `slot` is gone: its node leaves its order and is
// released. No other slot is renumbered.
void order_drop(int32_t slot);
// The entry of slot `from` moved to slot `to`.
void order_move(int32_t from, int32_t to);
// After slot `slot` got another entry or its entry another handle.
void order_replace(int32_t slot);

// True when the orders can stand for a walk over the whole table: there is a
// block and no entry has an empty handle (the walk would stop there, with
// what it met before).
bool order_covers_table();

// The smallest name that compares greater than `after` (strcmp), copied with
// its NUL to out (KS_HANDLE_MAX bytes); false when there is none.
bool order_next_name(const char *after, char *out);
// The smallest A-ID key greater than `key` (kAidKeyLen bytes, the lowest
// slot among equal keys): its first bytes (at most kAidKeyLen) to out and
// their number to *out_len; false when there is none.
bool order_next_aid(const uint8_t *key, uint8_t *out, uint8_t *out_len);

}  // namespace ks
