// SPDX-License-Identifier: Apache-2.0
// The secret API: the exported front operations on named secrets.
//
// Each operation checks its arguments in a fixed order (the standby refusal
// first where it applies), turns the caller's name into a key handle of type
// 1 in a stack buffer and passes the request to the software keystore, or to
// the hardware contract when the software keystore is switched off. The
// backend's status passes back unchanged unless said otherwise. The front
// keeps no state; the rename's purge prefix is the only allocation, freed
// within the call.
#include "keystore/ks_secret.h"

#include <cstring>

#include "keystore/ks_hw.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_front.h"
#include "ks_owner_tags.h"
#include "ks_sw_table.h"
#include "ks_trace.h"

using namespace ks::front;

extern "C" {

int32_t ks_generate_random_number(uint8_t *buffer, uint32_t length, int32_t kind) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    if (buffer == nullptr || length == 0) return KS_INVAL_ARGS;
    return dispatch(
        Chip::kAssumed, [&] { return ks_sw_generate_random_number(buffer, static_cast<int32_t>(length), kind); },
        [&] { return ks_ae46c1_generate_random_number(buffer, static_cast<int32_t>(length), kind); });
}

int32_t ks_secret_exists(const char *name, int32_t *exists) {
    Handle h;
    if (exists == nullptr || !h.named(KS_KEY_TYPE_SECRET, name)) return KS_INVAL_ARGS;
    return dispatch(
        Chip::kAssumed, [&] { return ks_sw_key_exists(h.bytes, h.len, exists); },
        [&] { return ks_ae46c1_key_exists(h.bytes, h.hw_len(), exists); });
}

int32_t ks_check_ha_consistency(const char *name, int32_t *consistent) {
    if (name == nullptr || consistent == nullptr) return KS_INVAL_ARGS;
    // Absent unless the backend says otherwise: the hardware contract may
    // answer without writing the flag.
    int32_t present = 0;
    if (ks_secret_exists(name, &present) != KS_SUCCESS || present == 0) return KS_RECORD_NOT_FOUND;
    // A hardware keystore with redundancy on cannot vouch for its peer.
    const int32_t status = dispatch(
        Chip::kAssumed, [] { return KS_SUCCESS; }, [] { return ks_rf_disabled != 0 ? KS_SUCCESS : KS_NOT_SUPPORTED; });
    if (status != KS_SUCCESS) return status;
    *consistent = 1;
    return KS_SUCCESS;
}

int32_t ks_store_secret_and_metadata(const char *name, const char *purge_name, const uint8_t *value, uint32_t value_len,
                                     const uint8_t *meta, uint32_t meta_len) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    if (value == nullptr || value_len == 0) return KS_INVAL_ARGS;
    Handle h, prefix;
    if (!h.named(KS_KEY_TYPE_SECRET, name) || value_len > KS_SECRET_MAX || !prefix.purge(purge_name))
        return KS_INVAL_ARGS;
    return dispatch(
        Chip::kAssumed,
        [&] {
            KS_TRACE(FRONT, STORE_SW, "KEYSTORE_DBG");
            return ks_sw_store_sym_key(h.bytes, h.len, prefix.prefix(), prefix.len, value, value_len, meta, meta_len);
        },
        [&] {
            return ks_ae46c1_store_sym_key(h.bytes, h.hw_len(), prefix.prefix(), prefix.hw_len(), value, value_len,
                                           meta, meta_len);
        });
}

int32_t ks_add_metadata(const char *name, const uint8_t *meta, uint16_t meta_len) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    if ((meta == nullptr) != (meta_len == 0)) return KS_INVAL_ARGS;
    if (meta_len > KS_METADATA_MAX) return KS_INVAL_ARGS;
    Handle h;
    if (!h.named(KS_KEY_TYPE_SECRET, name)) return KS_INVAL_ARGS;
    return dispatch(
        Chip::kAssumed, [&] { return ks_sw_add_meta_data(h.bytes, h.len, meta, meta_len); },
        [&] { return ks_ae46c1_add_meta_data(h.bytes, h.hw_len(), meta, meta_len); });
}

int32_t ks_return_metadata(const char *name, uint8_t **meta_out, uint16_t *meta_len_out) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    Handle h;
    if (meta_out == nullptr || !h.named(KS_KEY_TYPE_SECRET, name)) return KS_INVAL_ARGS;
    int32_t status = dispatch(
        Chip::kAssumed, [&] { return ks_sw_get_meta_data(h.bytes, h.len, meta_out, meta_len_out); },
        [&] { return ks_ae46c1_get_meta_data(h.bytes, h.hw_len(), meta_out, meta_len_out); });
    if (status != KS_SUCCESS) {
        *meta_out = nullptr;
        *meta_len_out = 0;
    }
    return status;
}

int32_t ks_clear_secret(const char *name) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    Handle h;
    if (!h.named(KS_KEY_TYPE_SECRET, name)) return KS_INVAL_ARGS;
    return dispatch(
        Chip::kAssumed, [&] { return ks_sw_delete_key(h.bytes, h.len); },
        [&] { return ks_ae46c1_delete_key(h.bytes, h.hw_len()); });
}

int32_t ks_rename_secret(const char *old_name, const char *new_name, const char *purge_name) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    Handle old_h, new_h;
    if (!old_h.named(KS_KEY_TYPE_SECRET, old_name) || !new_h.named(KS_KEY_TYPE_SECRET, new_name)) return KS_INVAL_ARGS;
    // Renaming to the same name is a no-op, the purge included.
    if (old_h.len == new_h.len && std::memcmp(old_h.bytes, new_h.bytes, old_h.len) == 0) return KS_SUCCESS;

    // The purge name has no length limit here, so its prefix [1][purge name]
    // is allocated rather than built as a handle.
    const size_t purge_len = purge_name != nullptr ? std::strlen(purge_name) : 0;
    const size_t prefix_size = purge_len != 0 ? purge_len + 1 : 0;
    const ks::OwnedBlock block(ks::kTagRenamePrefix, prefix_size);
    uint8_t *const prefix = block.data();
    const auto prefix_len = static_cast<uint32_t>(prefix_size);
    if (purge_len != 0) {
        if (prefix == nullptr) return KS_NO_MEMORY;
        prefix[0] = KS_KEY_TYPE_SECRET;
        std::memcpy(prefix + 1, purge_name, purge_len);
    }

    return dispatch(
        Chip::kAssumed,
        [&] { return ks_sw_rename_key(old_h.bytes, old_h.len, new_h.bytes, new_h.len, prefix, prefix_len); },
        [&] {
            return ks_ae46c1_rename_key(old_h.bytes, old_h.hw_len(), new_h.bytes, new_h.hw_len(), prefix,
                                        static_cast<uint8_t>(prefix_len));
        });
}

int32_t ks_return_secret_handle_by_index(uint16_t *index, char **name_out) {
    if (index == nullptr || name_out == nullptr) return KS_INVAL_ARGS;
    // The index wraps past 65535; one full turn without a secret ends the walk.
    return walk_handles(KS_KEY_TYPE_SECRET, *index, Chip::kAssumed, [&](uint8_t *copy, uint8_t len, uint16_t i) {
        // The copy holds [type][name]: shift the name over the type byte
        // and terminate it in the byte the type leaves free.
        std::memmove(copy, copy + 1, len - 1u);
        copy[len - 1u] = '\0';
        *index = static_cast<uint16_t>(i + 1);
        *name_out = reinterpret_cast<char *>(copy);
        return true;
    });
}

int32_t ks_snmp_password_exists(const char *name) {
    int32_t present = 0;
    return ks_secret_exists(name, &present) == KS_SUCCESS && present != 0 ? 1 : 0;
}

int32_t ks_snmp_get_next_password(char *buffer, uint32_t buffer_len) {
    if (buffer == nullptr || buffer_len < KS_HANDLE_MAX) return 0;
    // The smallest name greater than the caller's text: from the sorted
    // names in software mode, otherwise by a walk over the whole table.
    char best[KS_HANDLE_MAX] = {};
    bool found = false;
    const auto walk = [&] {
        walk_handles(KS_KEY_TYPE_SECRET, 0, Chip::kAssumed, [&](uint8_t *copy, uint8_t len, uint16_t) {
            char name[KS_HANDLE_MAX];
            size_t n = len - 1u;
            if (n > KS_NAME_MAX) n = KS_NAME_MAX;
            std::memcpy(name, copy + 1, n);
            name[n] = '\0';
            ks::free_cleansed(copy, len);
            if (std::strcmp(name, buffer) > 0 && (!found || std::strcmp(name, best) < 0)) {
                std::memcpy(best, name, sizeof best);
                found = true;
            }
            return false;
        });
        return KS_SUCCESS;
    };
    dispatch(
        Chip::kAssumed,
        [&] {
            const ks::NextAnswer answer = ks::table_next_name(buffer, best);
            if (answer == ks::NextAnswer::kWalk) return walk();
            found = answer == ks::NextAnswer::kFound;
            return KS_SUCCESS;
        },
        walk);
    if (!found) return 0;
    std::memcpy(buffer, best, std::strlen(best) + 1);
    return 1;
}

int32_t keystore_return_wdc(const char *name, uint8_t **data_out, uint16_t *data_len_out) {
    Handle h;
    if (data_out == nullptr || !h.named(KS_KEY_TYPE_WDC, name)) return KS_INVAL_ARGS;
    // These records live only in the hardware keystore.
    int32_t status = ks_ae46c1_get_meta_data(h.bytes, h.hw_len(), data_out, data_len_out);
    if (status != KS_SUCCESS) {
        *data_out = nullptr;
        *data_len_out = 0;
    }
    return status;
}

}  // extern "C"
