// SPDX-License-Identifier: Apache-2.0
// The library's test seams, all in one place: the hooks through which a
// program linked with the library's objects (the unit tests, the fuzzers, a
// scripted kstool) stands in for what a device provides. The shipped library
// never changes a hook from its default. (The few calls only such a program
// makes are declared with what they reach: nt_password_hash_release,
// table_parts_forget, key_state_at.) Hidden: never exported.
#pragma once

#include <cstdint>
#include <ctime>

#include "keystore/ks_hw.h"

namespace ks {

// The hardware keystore calls the two PAC walks over it make (old PACs, all
// PACs).
struct HwPacOps {
    int32_t (*handle_by_index)(uint16_t index, uint8_t **handle_out,
                               uint8_t *handle_len_out) = &ks_ae46c1_return_key_handle_by_index;
    int32_t (*get_meta)(const uint8_t *handle, uint8_t handle_len, uint8_t **meta_out,
                        uint16_t *meta_len_out) = &ks_ae46c1_get_meta_data;
    int32_t (*delete_key)(const uint8_t *handle, uint8_t handle_len) = &ks_ae46c1_delete_key;
    // Clears one PAC by A-ID and tells the standby (used on the active unit);
    // null: the library's own ks_clear_pac.
    int32_t (*clear_pac)(const uint8_t *aid, uint32_t aid_len) = nullptr;
};

struct Seams {
    // What the hardware contract answers when asked whether a chip is there.
    int hw_present = 1;
    // The clock PAC lifetimes are compared with.
    time_t (*clock)(time_t *) = &::time;
    // Asks the standby unit to delete a key; ks_clear_pac calls it after a
    // successful delete.
    int32_t (*ha_delete_key)(const uint8_t *handle, uint8_t handle_len) = &ks_ha_delete_key;
    HwPacOps hw_pacs;
};

// Set by tests; `seams = Seams{}` puts every hook back to the library's own.
extern Seams seams;

}  // namespace ks
