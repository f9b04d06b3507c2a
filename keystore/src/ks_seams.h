// SPDX-License-Identifier: Apache-2.0
// The library's test seams, all in one place: the hooks through which a
// program linked with the library's objects (the unit tests, the fuzzers, a
// scripted kstool) stands in for what a device provides, and the calls only
// such a program makes. The shipped library never changes a hook from its
// default. Hidden: never exported.
#pragma once

#include <cstdint>
#include <ctime>

#include "keystore/ks_hw.h"
#include "keystore/ks_pac.h"

namespace ks {

// The hardware keystore calls the two PAC walks over it make (old PACs, all
// PACs).
struct HwPacOps {
    int32_t (*handle_by_index)(uint16_t index, uint8_t **handle_out,
                               uint8_t *handle_len_out) = &ks_ae46c1_return_key_handle_by_index;
    int32_t (*get_meta)(const uint8_t *handle, uint8_t handle_len, uint8_t **meta_out,
                        uint16_t *meta_len_out) = &ks_ae46c1_get_meta_data;
    int32_t (*delete_key)(const uint8_t *handle, uint8_t handle_len) = &ks_ae46c1_delete_key;
    // Clears one PAC by A-ID and tells the standby (used on the active unit).
    int32_t (*clear_pac)(const uint8_t *aid, uint32_t aid_len) = &ks_clear_pac;
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

// Releases the NT password hash work buffer (cleansed), returning the process
// to its load-time state; the next hash allocates it again.
void nt_password_hash_release();

// Allocates the handle index when it has none (as at load), and releases it
// with every per-key state (lookups then scan the table).
void index_allocate();
void index_release();
bool index_present();
// The per-key state record of slot `slot`, as a lookup hands it over
// (KeyValue::state), or null when the index is not usable. Valid until the
// next change of the table.
struct KeyState;
KeyState *index_key_state(int32_t slot);
// How many per-key state records hold anything (a dropped state leaves its
// record all zero).
int32_t index_state_records_in_use();

}  // namespace ks
