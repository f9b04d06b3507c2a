// The two PAC walks over the hardware keystore (old PACs, all PACs), written
// against a small table of backend calls so that the walks can be driven by a
// backend other than the shipped stubs. Hidden: never exported.
#pragma once

#include <cstdint>

namespace ks {

struct HwPacOps {
    int32_t (*handle_by_index)(uint16_t index, uint8_t **handle_out, uint8_t *handle_len_out);
    int32_t (*get_meta)(const uint8_t *handle, uint8_t handle_len, uint8_t **meta_out, uint16_t *meta_len_out);
    int32_t (*delete_key)(const uint8_t *handle, uint8_t handle_len);
    // Clears one PAC by A-ID and tells the standby (used on the active unit).
    int32_t (*clear_pac)(const uint8_t *aid, uint32_t aid_len);
};

// The hardware contract of the library.
extern const HwPacOps kHwPacOps;

// Removes the PACs that ks_sw_pac_still_valid rejects. SUCCESS at the end of
// the keystore; a failed enumeration or metadata read is returned.
int32_t hw_delete_old_pacs(const HwPacOps &ops, const char *device_id);
// Removes every PAC. SUCCESS at the end of the keystore; a failed
// enumeration is returned.
int32_t hw_delete_all_pacs(const HwPacOps &ops);

}  // namespace ks
