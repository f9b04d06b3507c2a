// The key table's internal steps, shared by every source that walks or
// changes the table: the handle match scan, the entry removal step and the
// accessors of an entry's data area. Hidden: never exported.
#pragma once

#include <cstdint>

#include "keystore/ks_sw_keystore.h"

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
// The entry that followed the removed one now has index i. Every removal goes
// through here, so the handle index and the per-key state follow it.
void sym_key_remove(int32_t i);

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
