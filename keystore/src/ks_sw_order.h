// SPDX-License-Identifier: Apache-2.0
// The key table's secret names and PAC A-IDs in sorted order, for the
// get-next walks: the successor of a name or an A-ID in O(log n) with no
// handle copy. Hidden: never exported. It lives inside the handle index's
// block (ks_sw_index.h), which keeps it in step with the table through the
// same hooks and rebuilds it with the rest of the index.
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
// known by its first KS_PAC_SNMP_KEY_LEN bytes, right-aligned in that many
// bytes of zeros.
#pragma once

#include <cstdint>

#include "keystore/ks_pac.h"
#include "keystore/ks_types.h"

namespace ks {

struct OrderNode {
    uint16_t left, right, parent;  // node numbers; 0 is none
    uint16_t slot;
    uint32_t priority;
    uint8_t set;  // which order holds the node, if any
};

// All zero: no node, both orders empty.
struct SlotOrders {
    uint16_t root[2];                  // names, A-IDs
    uint16_t node_of[KS_MAX_KEYS];     // slot -> node number
    OrderNode node[KS_MAX_KEYS + 1];   // [0] unused
    uint16_t free_nodes[KS_MAX_KEYS];  // numbers released for reuse
    uint16_t free_count;
    uint16_t fresh;         // numbers handed out so far, reused ones aside
    uint32_t priorities;    // priorities handed out so far
    int32_t empty_handles;  // entries whose handle is empty: the table walk ends at them
};

// Empties both orders.
void order_clear(SlotOrders &o);
// After an entry was put at slot `slot`, the new last.
void order_add(SlotOrders &o, int32_t slot);
// The entry of slot `slot` is gone: its node leaves its order and is
// released. No other slot is renumbered.
void order_drop(SlotOrders &o, int32_t slot);
// The entry of slot `from` moved to slot `to`.
void order_move(SlotOrders &o, int32_t from, int32_t to);
// After slot `slot` got another entry or its entry another handle.
void order_replace(SlotOrders &o, int32_t slot);

// True when the orders can stand for a walk over the whole table: no entry
// has an empty handle (the walk would stop there, with what it met before).
bool order_covers_table(const SlotOrders &o);

// The smallest name that compares greater than `after` (strcmp), copied with
// its NUL to out (KS_HANDLE_MAX bytes); false when there is none.
bool order_next_name(const SlotOrders &o, const char *after, char *out);
// The smallest A-ID key greater than `key` (KS_PAC_SNMP_KEY_LEN bytes, the
// lowest slot among equal keys): its first bytes (at most
// KS_PAC_SNMP_KEY_LEN) to out and their number to *out_len; false when
// there is none.
bool order_next_aid(const SlotOrders &o, const uint8_t *key, uint8_t *out, uint8_t *out_len);

}  // namespace ks
