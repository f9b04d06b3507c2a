// SPDX-License-Identifier: Apache-2.0
// Read access to a stored key's value for the software cryptographic
// operations: the value is used in place in its key-table entry, never copied
// out of the library.
#pragma once

#include <cstdint>

#include "keystore/ks_sw_keystore.h"
#include "ks_sw_table.h"

namespace ks {

struct KeyValue {
    const uint8_t *bytes = nullptr;
    uint32_t len = 0;
    int32_t index = -1;       // the entry's slot in the key table
    int32_t state_slot = -1;  // the slot whose per-key state may be used (ks_sw_key_state.h), or -1
};

// Looks the handle up in the key table; true and the entry's value bytes when
// found. The bytes stay valid until the key table next changes.
inline bool find_key_value(const uint8_t *handle, uint32_t handle_len, KeyValue &value) {
    const int32_t index = sym_key_scan(handle, handle_len, kSwKeystorePath, &value.state_slot);
    if (index < 0) return false;
    const ks_sym_key_entry *entry = ks_sym_keys[index];
    value.bytes = entry_value(entry);
    value.len = entry->value_len;
    value.index = index;
    return true;
}

}  // namespace ks
