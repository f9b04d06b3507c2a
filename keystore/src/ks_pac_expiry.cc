// SPDX-License-Identifier: Apache-2.0
// PAC expiry and bulk clearing: the PAC-Lifetime of a stored PAC, the
// keep-or-remove test of a PAC's metadata, and the removal of old PACs
// (expired, or issued to another identity) or of all PACs from whichever
// keystore is selected: from the key table itself in the software keystore,
// through the hardware contract otherwise. Every PAC removed is reported
// through notify_pac_deleted.
#include <cstdint>
#include <cstring>

#include "keystore/ks_hw.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_front.h"
#include "ks_pac_common.h"
#include "ks_seams.h"
#include "ks_sw_table.h"
#include "ks_trace.h"

namespace ks {

int32_t pac::now() { return static_cast<int32_t>(seams.clock(nullptr)); }

namespace {

// The value of the first PAC-Lifetime element of the PAC's PAC-Info, when that
// element is 4 bytes long. Any failure, a malformed PAC-Info, a first
// PAC-Lifetime of another length or none at all gives no value.
bool pac_lifetime(const uint8_t *aid, uint32_t aid_len, uint32_t *value) {
    uint8_t *info = nullptr;
    uint32_t info_len = 0;
    if (ks_return_pac_info(aid, aid_len, &info, &info_len) != KS_SUCCESS) return false;
    bool found = false;
    pac::Reader r(info, info_len), elements, el;
    uint16_t type;
    if (r.tlv(type, elements) && r.empty() && type == KS_PAC_TLV_INFO) {
        // A malformed element ends the search.
        while (elements.tlv(type, el)) {
            if ((type & pac::kTlvTypeMask) == KS_PAC_INFO_LIFETIME) {
                found = el.size() == 4 && el.u32(*value);
                break;
            }
        }
    }
    free_cleansed(info, info_len);
    return found;
}

// Does an I-ID value name device_id (d bytes)? Either exactly, or as a
// NUL-terminated text followed by other bytes.
bool iid_matches(const uint8_t *value, size_t len, const char *device_id, size_t d) {
    if (d > len) return false;
    if (d != 0 && std::memcmp(value, device_id, d) != 0) return false;
    return d == len || value[d] == 0;
}

bool is_pac(const uint8_t *handle, uint8_t handle_len) { return handle_len != 0 && handle[0] == KS_KEY_TYPE_PAC; }

// Both hardware walks take the index as 16 bits, so that they pass the 256th
// key, and stop at the last index rather than wrap. A walk that is handed no
// handle has reached the end, as with NO_MORE_RECORDS. on_pac sees each PAC
// handle, says whether the PAC was removed (its successor then moves into the
// same index) and returns KS_SUCCESS to go on or the status that ends the walk.
template <typename OnPac>
int32_t walk_hw_pacs(const HwPacOps &ops, OnPac on_pac) {
    uint16_t index = 0;
    for (;;) {
        uint8_t *handle = nullptr;
        uint8_t handle_len = 0;
        const int32_t status = ops.handle_by_index(index, &handle, &handle_len);
        if (status != KS_SUCCESS) {
            free_cleansed(handle, handle_len);
            return status == KS_NO_MORE_RECORDS ? KS_SUCCESS : status;
        }
        if (handle == nullptr) return KS_SUCCESS;
        bool removed = false;
        const int32_t result = is_pac(handle, handle_len) ? on_pac(handle, handle_len, removed) : KS_SUCCESS;
        free_cleansed(handle, handle_len);
        if (result != KS_SUCCESS) return result;
        if (!removed) {
            if (index == UINT16_MAX) return KS_SUCCESS;
            ++index;
        }
    }
}

int32_t hw_delete_old_pacs(const HwPacOps &ops, const char *device_id) {
    return walk_hw_pacs(ops, [&](const uint8_t *handle, uint8_t handle_len, bool &removed) {
        uint8_t *meta = nullptr;
        uint16_t meta_len = 0;
        const int32_t meta_status = ops.get_meta(handle, handle_len, &meta, &meta_len);
        if (meta_status != KS_SUCCESS) {
            KS_TRACE(PAC, OLD_HW_META_FAILED, static_cast<int>(meta_status));
            free_cleansed(meta, meta_len);
            return meta_status;
        }
        if (ks_sw_pac_still_valid(meta, meta_len, device_id) == 0 && ops.delete_key(handle, handle_len) == KS_SUCCESS) {
            notify_pac_deleted(handle + 1, handle_len - 1u);
            removed = true;
        }
        free_cleansed(meta, meta_len);
        return static_cast<int32_t>(KS_SUCCESS);
    });
}

int32_t hw_delete_all_pacs(const HwPacOps &ops) {
    return walk_hw_pacs(ops, [&](const uint8_t *handle, uint8_t handle_len, bool &removed) {
        const uint8_t *aid = handle + 1;
        const uint32_t aid_len = handle_len - 1u;
        if (ops.delete_key(handle, handle_len) == KS_SUCCESS) {
            notify_pac_deleted(aid, aid_len);
            removed = true;
        }
        // The active unit also clears the PAC by A-ID, which tells the
        // standby. A PAC that neither call removed stays where it is: the walk
        // moves past it.
        if (ha_core_is_active() != 0 &&
            (ops.clear_pac != nullptr ? ops.clear_pac(aid, aid_len) : ks_clear_pac(aid, aid_len)) == KS_SUCCESS) {
            KS_TRACE(PAC, HA_CLEAR_ALL_NOTIFIED);
            removed = true;
        }
        return static_cast<int32_t>(KS_SUCCESS);
    });
}

}  // namespace
}  // namespace ks

using namespace ks::front;

extern "C" {

int32_t ks_valid_pac_exists(const uint8_t *aid, uint32_t aid_len) {
    uint32_t lifetime = 0;
    if (!ks::pac_lifetime(aid, aid_len, &lifetime)) return 0;
    return ks::pac::now() < static_cast<int32_t>(lifetime) ? 1 : 0;
}

uint32_t ks_get_pac_expiration(const uint8_t *aid, uint32_t aid_len) {
    uint32_t lifetime = 0;
    return ks::pac_lifetime(aid, aid_len, &lifetime) ? lifetime : 0;
}

int32_t ks_sw_pac_still_valid(const uint8_t *meta, uint16_t meta_len, const char *device_id) {
    // Find the PAC-Info among the top-level TLVs; a malformed one before it
    // ends the search.
    ks::pac::Reader r(meta, meta_len), info;
    uint16_t type;
    do {
        if (!r.tlv(type, info)) return 0;
    } while (type != KS_PAC_TLV_INFO);
    if (info.empty()) return 0;

    // Every element up to the one that completes an identity and a lifetime
    // must be whole.
    const size_t d = device_id != nullptr ? std::strlen(device_id) : 0;
    bool matched = false;
    bool seen_lifetime = false;
    bool expired = false;
    do {
        ks::pac::Reader value;
        uint32_t lifetime;
        if (!info.tlv(type, value)) return 0;
        type &= ks::pac::kTlvTypeMask;
        if (type == KS_PAC_INFO_LIFETIME && value.size() == 4 && value.u32(lifetime)) {
            seen_lifetime = true;
            if (ks::pac::now() > static_cast<int32_t>(lifetime)) expired = true;
        } else if (type == KS_PAC_INFO_IID) {
            if (!ks::iid_matches(value.data(), value.size(), device_id, d)) return 0;
            matched = true;
        }
    } while (!(matched && seen_lifetime) && !info.empty());
    return matched && !expired ? 1 : 0;
}

int32_t ks_sw_delete_old_pacs(const char *device_id) {
    ks::sym_key_remove_each(
        [device_id](const ks_sym_key_entry &e) {
            const uint8_t *handle = ks::entry_handle(&e);
            if (e.handle_len == 0 || handle[0] != KS_KEY_TYPE_PAC ||
                ks_sw_pac_still_valid(ks::entry_meta(&e), static_cast<uint16_t>(e.meta_len), device_id) != 0)
                return false;
            // The host hears of the PAC while its entry is still in the table,
            // and of the next one after the entry is gone.
            notify_pac_deleted(handle + 1, e.handle_len - 1);
            return true;
        },
        ks::kSwCryptoPath);
    return KS_SUCCESS;
}

int32_t ks_clear_old_pacs_internal(const char *device_id) {
    return dispatch(
        Chip::kRequired, [&] { return ks_sw_delete_old_pacs(device_id); },
        [&] { return ks::hw_delete_old_pacs(ks::seams.hw_pacs, device_id); });
}

int32_t ks_clear_old_pacs(const char *device_id) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    // Cached entries go first, also those of PACs that will stay.
    ks_pac_cache_purge();
    if (device_id == nullptr || device_id[0] == '\0') return ks_clear_all_pacs();
    return ks_clear_old_pacs_internal(device_id);
}

int32_t ks_clear_all_pacs_internal(void) {
    return dispatch(
        Chip::kRequired, [] { return ks_sw_delete_all_keys_by_type(KS_KEY_TYPE_PAC); },
        [] { return ks::hw_delete_all_pacs(ks::seams.hw_pacs); });
}

int32_t ks_clear_all_pacs(void) {
    ks_pac_cache_purge();
    return ks_clear_all_pacs_internal();
}

}  // extern "C"
