// SPDX-License-Identifier: Apache-2.0
// PAC records: storing, testing, enumerating and clearing single PACs, and
// splitting the metadata that holds their PAC-Opaque and PAC-Info TLVs.
//
// A PAC is an ordinary key of type 2 named by its A-ID: the PAC-Key is the
// value, the PAC-Opaque TLV followed by the PAC-Info TLV is the metadata.
// Every byte of that metadata comes from outside the process, so every TLV
// walk here reads it through the bounds-checked ks::pac::Reader.
#include <cstring>

#include "keystore/ks_hw.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_front.h"
#include "ks_owner_tags.h"
#include "ks_pac_common.h"
#include "ks_pac_internal.h"
#include "ks_seams.h"
#include "ks_sw_order.h"
#include "ks_sw_table.h"
#include "ks_trace.h"

static_assert(ks::kAidKeyLen == KS_PAC_SNMP_KEY_LEN, "the sorted A-IDs compare what the get-next walk compares");

namespace {

using namespace ks::front;

// True when buf holds exactly one TLV of the given type and nothing after it.
bool whole_tlv(const uint8_t *buf, uint32_t len, uint16_t type) {
    ks::pac::Reader r(buf, len), value;
    uint16_t found;
    return r.tlv(found, value) && found == type && r.empty();
}

}  // namespace

bool pac_meta_split(const uint8_t *meta, uint16_t meta_len, const uint8_t **opaque, uint32_t *opaque_len,
                    const uint8_t **info, uint32_t *info_len) {
    const uint8_t *found_opaque = nullptr, *found_info = nullptr;
    uint32_t found_opaque_len = 0, found_info_len = 0;
    ks::pac::Reader r(meta, meta_len);
    for (;;) {
        const uint8_t *tlv = r.data();
        uint16_t type, len;
        // The walk ends with the metadata, or at a header cut off by its end:
        // then the metadata is incomplete.
        if (!r.header(type, len)) break;
        const uint32_t whole = uint32_t{len} + ks::pac::kTlvHeaderLen;
        if (type == KS_PAC_TLV_INFO) {
            if (found_info != nullptr) {
                KS_TRACE(PAC, SPLIT_MULTIPLE_INFOS);
                return false;
            }
            if (!r.skip(len)) {
                KS_TRACE(PAC, SPLIT_BAD_INFO_LEN);
                return false;
            }
            found_info = tlv;
            found_info_len = whole;
        } else if (type == KS_PAC_TLV_OPAQUE) {
            if (found_opaque != nullptr) {
                KS_TRACE(PAC, SPLIT_MULTIPLE_OPAQUES);
                return false;
            }
            if (!r.skip(len)) {
                KS_TRACE(PAC, SPLIT_BAD_OPAQUE_LEN);
                return false;
            }
            found_opaque = tlv;
            found_opaque_len = whole;
        } else {
            KS_TRACE(PAC, SPLIT_UNKNOWN_TYPE);
            return false;
        }
    }
    if (!r.empty() || found_opaque == nullptr || found_info == nullptr) {
        KS_TRACE(PAC, SPLIT_INCOMPLETE);
        return false;
    }
    *opaque = found_opaque;
    *opaque_len = found_opaque_len;
    *info = found_info;
    *info_len = found_info_len;
    return true;
}

extern "C" {

int32_t ks_store_pac(const uint8_t *aid, uint32_t aid_len, const uint8_t *pac_key, uint32_t pac_key_len,
                     const uint8_t *opaque, uint32_t opaque_len, const uint8_t *info, uint32_t info_len) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    if (info_len == 0 || opaque_len == 0 || pac_key_len == 0 || !ks::pac::aid_valid(aid, aid_len) ||
        pac_key == nullptr || opaque == nullptr || info == nullptr)
        return KS_INVAL_ARGS;
    // Only the two top-level headers are checked; the PAC-Info's contents are
    // read later, by whoever needs them.
    if (!whole_tlv(opaque, opaque_len, KS_PAC_TLV_OPAQUE) || !whole_tlv(info, info_len, KS_PAC_TLV_INFO))
        return KS_INVAL_ARGS;

    int32_t status;
    {
        // Both lengths are at most 65539 here, so the sum cannot overflow.
        const uint32_t meta_len = opaque_len + info_len;
        const ks::OwnedBlock meta(ks::kTagStoreMeta, meta_len);
        if (meta.data() == nullptr) return KS_NO_MEMORY;
        std::memcpy(meta.data(), opaque, opaque_len);
        std::memcpy(meta.data() + opaque_len, info, info_len);

        const Handle handle = Handle::pac(aid, aid_len);
        // PACs are kept by the software keystore only: with the hardware
        // keystore selected nothing is stored, cached or notified.
        status = dispatch(
            Chip::kRequired,
            [&] {
                return ks_sw_store_sym_key(handle.bytes, handle.len, nullptr, 0, pac_key, pac_key_len, meta.data(),
                                           meta_len);
            },
            [] { return KS_UNKNOWN_FAILURE; });
    }
    if (status != KS_SUCCESS) return status;

    // The replaced PAC's entry and derived keys go; a failed add only means
    // the entry is built again on first use.
    pac_cache_remove(aid, aid_len);
    pac_cache_add(aid, aid_len, opaque, opaque_len, info, info_len);
    notify_pac_added(aid, aid_len);
    return KS_SUCCESS;
}

int32_t ks_clear_pac(const uint8_t *aid, uint32_t aid_len) {
    if (!ks::pac::aid_valid(aid, aid_len)) return KS_INVAL_ARGS;
    // The cache entry goes whatever the delete reports.
    pac_cache_remove(aid, aid_len);

    const Handle handle = Handle::pac(aid, aid_len);
    int32_t status = dispatch(
        Chip::kRequired, [&] { return ks_sw_delete_key(handle.bytes, handle.len); },
        [&] { return ks_ae46c1_delete_key(handle.bytes, handle.hw_len()); });
    // The host hears of the clear also when there was no PAC to remove.
    if (status == KS_SUCCESS || status == KS_RECORD_NOT_FOUND) notify_pac_deleted(aid, aid_len);
    if (status != KS_SUCCESS) return status;
    if (ks_rf_disabled != 0) return KS_SUCCESS;

    // A standby that never had the PAC is as good as one that removed it.
    status = ks::seams.ha_delete_key(handle.bytes, handle.hw_len());
    return status == KS_RECORD_NOT_FOUND ? KS_SUCCESS : status;
}

int32_t ks_pac_exists(const uint8_t *aid, uint32_t aid_len, int32_t *exists) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    if (exists == nullptr || !ks::pac::aid_valid(aid, aid_len)) return KS_INVAL_ARGS;
    const Handle handle = Handle::pac(aid, aid_len);
    return dispatch(
        Chip::kRequired, [&] { return ks_sw_key_exists(handle.bytes, handle.len, exists); },
        [&] { return ks_ae46c1_key_exists(handle.bytes, handle.hw_len(), exists); });
}

int32_t ks_snmp_pac_exists(const uint8_t *aid, uint32_t aid_len) {
    int32_t exists = 0;
    return ks_pac_exists(aid, aid_len, &exists) == KS_SUCCESS && exists != 0 ? 1 : 0;
}

int32_t ks_return_aid_by_index(uint16_t *index, uint8_t **aid_out, uint32_t *aid_len_out) {
    // Arguments come before the standby check here.
    if (index == nullptr || aid_out == nullptr || aid_len_out == nullptr) return KS_INVAL_ARGS;
    if (standby()) return KS_STDBY_NOT_SUPPORTED;

    // The index counts every key of the table; keys of other types are
    // passed over.
    return walk_handles(KS_KEY_TYPE_PAC, *index, Chip::kRequired, [&](uint8_t *handle, uint8_t handle_len, uint16_t i) {
        // The A-ID is moved to the front of the handle copy, which becomes
        // the caller's buffer.
        const uint32_t aid_len = handle_len - 1u;
        std::memmove(handle, handle + 1, aid_len);
        *index = static_cast<uint16_t>(i + 1);
        *aid_out = handle;
        *aid_len_out = aid_len;
        return true;
    });
}

int32_t ks_snmp_get_next_pac(const uint8_t *aid, uint32_t aid_len, uint8_t *next_out, uint8_t *len_inout) {
    constexpr uint32_t kKeyLen = KS_PAC_SNMP_KEY_LEN;
    if (next_out == nullptr || len_inout == nullptr || *len_inout < kKeyLen || aid_len > kKeyLen ||
        (aid == nullptr && aid_len != 0))
        return 0;

    // A-IDs compare as 16-byte big-endian numbers: right-aligned, zero-padded
    // at the front, longer A-IDs by their first 16 bytes.
    uint8_t current[kKeyLen] = {};
    if (aid_len != 0) std::memcpy(current + kKeyLen - aid_len, aid, aid_len);

    // The smallest key greater than the current one: from the sorted A-IDs
    // in software mode, otherwise by a walk over the whole table.
    uint8_t best[kKeyLen] = {};
    uint32_t best_len = 0;
    bool found = false;
    const auto walk = [&] {
        walk_handles(KS_KEY_TYPE_PAC, 0, Chip::kRequired, [&](uint8_t *handle, uint8_t handle_len, uint16_t) {
            uint32_t n = handle_len - 1u;
            if (n > kKeyLen) n = kKeyLen;
            uint8_t key[kKeyLen] = {};
            std::memcpy(key + kKeyLen - n, handle + 1, n);
            ks::free_cleansed(handle, handle_len);
            // Strictly smaller only: on equal keys the lowest index stays.
            if (std::memcmp(key, current, kKeyLen) > 0 && (!found || std::memcmp(key, best, kKeyLen) < 0)) {
                std::memcpy(best, key, kKeyLen);
                best_len = n;
                found = true;
            }
            return false;
        });
        return KS_SUCCESS;
    };
    int32_t sorted = -1;  // the sorted A-IDs' answer, 1 or 0; -1: walked
    dispatch(
        Chip::kAssumed,
        [&] {
            const ks::NextAnswer answer = ks::table_next_aid(current, next_out, len_inout);
            if (answer == ks::NextAnswer::kWalk) return walk();
            sorted = answer == ks::NextAnswer::kFound ? 1 : 0;
            return KS_SUCCESS;
        },
        walk);
    if (sorted >= 0) return sorted;
    if (!found) return 0;
    std::memcpy(next_out, best + kKeyLen - best_len, best_len);
    *len_inout = static_cast<uint8_t>(best_len);
    return 1;
}

}  // extern "C"
