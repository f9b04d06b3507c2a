// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_modes Modes and start-up
 *
 * Modes, start-up and firmware maintenance.
 *
 * The modes are exported process-wide 32-bit flags, read without locks.
 * Start-up (keystore_init, run by the platform's subsystem start-up) selects
 * the software keystore; until then requests go to the hardware contract.
 * @{
 */
#ifndef KEYSTORE_KS_MODES_H
#define KEYSTORE_KS_MODES_H

#include <stdint.h>

#include "keystore/ks_types.h"

KS_EXTERN_C_BEGIN

KS_EXPORT extern int32_t ks_use_sw_ks;        /**< non-zero: software keystore serves requests */
KS_EXPORT extern int32_t ks_is_standby;       /**< non-zero: standby unit; changes are refused */
KS_EXPORT extern int32_t ks_rf_disabled;      /**< redundancy disabled (set once, never cleared) */
KS_EXPORT extern int32_t ks_rf_do_peer_syncs; /**< exported, not read by the library */
KS_EXPORT extern int32_t ks_use_zav_ha;       /**< incremental sync over the ZAV channel */
KS_EXPORT extern int32_t ks_initialized;      /**< start-up acknowledged */
KS_EXPORT extern int32_t ks_debug_api;        /**< 1 at load; not read by the library */
KS_EXPORT extern int32_t ks_debug_ha;         /**< 1 at load; not read by the library */
KS_EXPORT extern int32_t ks_debug_ae46c1;     /**< not read by the library */
KS_EXPORT extern int32_t aaa_lib_index;       /**< not read by the library */

/** Start-up: picks the key files' storage location and selects the software
 * keystore, without notifying ks_notify_ks_changed subscribers. */
KS_EXPORT void keystore_init(void);
/** Sets ks_initialized; does not wait. */
KS_EXPORT void ks_wait_on_keystore_init(void);
/** Selects the software keystore (on != 0) or the hardware contract, and
 * notifies the ks_notify_ks_changed subscribers, unless on equals the flag as
 * it stands. */
KS_EXPORT void ks_use_sw_emulation(int32_t on);
KS_EXPORT int32_t ks_are_we_using_sw_emulation(void);
KS_EXPORT void ks_set_standby_mode(int32_t value);
KS_EXPORT void ks_disable_rf(void);
KS_EXPORT void ks_set_zav_for_incr_sync(int32_t value);
KS_EXPORT int32_t ks_use_zav_for_incr_sync(void);

/** Firmware maintenance, always through the hardware contract. */
KS_EXPORT int32_t ks_compact_fw_memory(void); /**< KS_STDBY_NOT_SUPPORTED on a standby */
KS_EXPORT int32_t ks_return_fw_version_and_status(uint32_t *version, uint32_t *status);
KS_EXPORT int32_t ks_dump_eeprom(uint8_t *buffer, uint32_t length);
/** KS_INVAL_ARGS when cell_value is 0x1000000 or more. */
KS_EXPORT int32_t ks_write_eeprom_byte(uint32_t cell_value, uint32_t cell_index);

KS_EXTERN_C_END

/** @} */

#endif
