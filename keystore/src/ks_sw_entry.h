// SPDX-License-Identifier: Apache-2.0
// The key table's entries and slots as every part of the table sees them:
// the accessors of an entry's data area, the marks of a removal of several
// entries, how far the table's private parts grow, and the fixed texts its
// invariant checks report. Hidden: never exported.
#pragma once

#include <cstdint>

#include "keystore/ks_sw_keystore.h"
#include "keystore/ks_types.h"

namespace ks {

// The source paths passed to platform_assert by the key table and the
// software keystore's operations ("keystore/src/ks_sw_keystore"), and by the
// old-PAC walk ("keystore/src/ks_sw_keystore_crypto"). They are fixed texts of
// the contract, the same whatever the sources that report them are called.
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

// How many slots the table's private parts (handle index, sorted orders,
// per-key state) make room for when they need room for `needed`: the slot
// array's first step, doubled until it fits, at most the table's bound. So
// they grow a logarithmic number of times up to the full table, each growth
// paid for by the stores since the last.
constexpr int32_t part_capacity(int32_t needed) {
    int32_t c = KS_TABLE_GROWTH;
    while (c < needed && c < KS_MAX_KEYS) c *= 2;
    return c < KS_MAX_KEYS ? c : KS_MAX_KEYS;
}

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

}  // namespace ks
