// Hidden seam of the PAC records: the redundancy hook ks_clear_pac calls
// after a successful delete. It is ks_ha_delete_key in the shipped library;
// tests linked with the library's objects point it elsewhere to script the
// standby's answer. Never exported.
#pragma once

#include <cstdint>

namespace ks {
extern int32_t (*pac_ha_delete_key)(const uint8_t *handle, uint8_t handle_len);
}
