// SPDX-License-Identifier: Apache-2.0
// Modes, start-up and the firmware maintenance calls.
#include "keystore/ks_modes.h"
#include "keystore/ks_hw.h"
#include "keystore/ks_registry.h"
#include "keystore/ks_storage.h"
#include "ks_front.h"
#include "ks_registry_internal.h"
#include "ks_trace.h"

namespace {

// ks_write_eeprom_byte takes a 24-bit cell value: any of the top 8 bits set
// is refused.
constexpr uint32_t kEepromCellValueMask = 0xFF000000u;

}  // namespace

extern "C" {

void keystore_init(void) {
    ks_sw_init();
    KS_TRACE(FRONT, INIT_USE_SW, "KEYSTORE_DBG");
    // Set directly: start-up raises no change notification and leaves the
    // (empty) key table alone.
    ks_use_sw_ks = 1;
}

void ks_wait_on_keystore_init(void) {
    if (ks_initialized == 0) ks_initialized = 1;
}

void ks_use_sw_emulation(int32_t on) {
    // Compared as passed: 5 while the flag is 1 differs, so it stores 1 again
    // and notifies again.
    if (ks_use_sw_ks == on) return;
    ks_use_sw_ks = on != 0 ? 1 : 0;
    ks::invoke_list_service(registry_ks_notify_get_ks_notify_ks_changed_ptr());
}

int32_t ks_are_we_using_sw_emulation(void) { return ks_use_sw_ks; }

void ks_set_standby_mode(int32_t value) { ks_is_standby = value; }

void ks_disable_rf(void) { ks_rf_disabled = 1; }

void ks_set_zav_for_incr_sync(int32_t value) { ks_use_zav_ha = value; }

int32_t ks_use_zav_for_incr_sync(void) { return ks_use_zav_ha; }

// The maintenance calls go to the hardware contract whichever keystore is
// selected.
int32_t ks_compact_fw_memory(void) {
    if (ks::front::standby()) return KS_STDBY_NOT_SUPPORTED;
    return ks_ae46c1_compact_memory();
}

int32_t ks_return_fw_version_and_status(uint32_t *version, uint32_t *status) {
    return ks_ae46c1_return_version(version, status);
}

int32_t ks_dump_eeprom(uint8_t *buffer, uint32_t length) { return ks_ae46c1_dump_eeprom(buffer, length); }

int32_t ks_write_eeprom_byte(uint32_t cell_value, uint32_t cell_index) {
    if ((cell_value & kEepromCellValueMask) != 0) return KS_INVAL_ARGS;
    return ks_ae46c1_write_eeprom_byte(cell_value, cell_index);
}

}  // extern "C"
