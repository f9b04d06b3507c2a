// SPDX-License-Identifier: Apache-2.0
// The exported mode flags, at their load values.
#include "keystore/ks_modes.h"

extern "C" {
int32_t ks_use_sw_ks = 0;
int32_t ks_is_standby = 0;
int32_t ks_rf_disabled = 0;
int32_t ks_rf_do_peer_syncs = 0;
int32_t ks_use_zav_ha = 0;
int32_t ks_initialized = 0;
int32_t ks_debug_api = 1;
int32_t ks_debug_ha = 1;
int32_t ks_debug_ae46c1 = 0;
int32_t aaa_lib_index = 0;
}
