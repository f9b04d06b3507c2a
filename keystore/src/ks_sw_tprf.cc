// SPDX-License-Identifier: Apache-2.0
// Software keystore operations that compute with stored keys: the EAP-FAST
// T-PRF (RFC 4851 section 5.5) keyed with any stored key, the keep-or-remove
// test of a PAC's metadata, and the removal of old PACs from the key table.
#include <cstdint>
#include <cstring>

#include "keystore/ks_hmac.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_owner_tags.h"
#include "ks_pac_common.h"
#include "ks_sw_key_value.h"
#include "ks_sw_table.h"

namespace {

constexpr size_t kBlock = KS_SHA1_LEN;
// Previous block (20), label separator (1), L (2) and counter (1).
constexpr uint64_t kTprfOverhead = kBlock + 4;

// T-PRF input for inputs that fit; larger ones get an allocation.
uint8_t ks_sw_t_prf_buf[512];

// Does an I-ID value name device_id (d bytes)? Either exactly, or as a
// NUL-terminated text followed by other bytes.
bool iid_matches(const uint8_t *value, size_t len, const char *device_id, size_t d) {
    if (d > len) return false;
    if (d != 0 && std::memcmp(value, device_id, d) != 0) return false;
    return d == len || value[d] == 0;
}

}  // namespace

extern "C" {

int32_t ks_sw_sym_key_t_prf(const uint8_t *handle, uint32_t handle_len, const uint8_t *label, uint32_t label_len,
                            const uint8_t *seed, uint32_t seed_len, uint8_t *out, uint32_t out_len) {
    ks::KeyValue value;
    if (!ks::find_key_value(handle, handle_len, value)) return KS_RECORD_NOT_FOUND;
    const uint8_t *key = value.bytes;
    // The key length travels as 16 bits; a key that reads as empty would
    // leave every block uncomputed.
    const uint16_t key_len = static_cast<uint16_t>(value.len);
    if (key_len == 0) return KS_CRYPTO_ERR;

    // Computed in 64 bits so that huge lengths cannot wrap into a small size.
    const ks::StaticOrHeap input(ks_sw_t_prf_buf, uint64_t{label_len} + seed_len + kTprfOverhead, ks::kTagTprfInput);
    uint8_t *const buf = input.data();
    if (buf == nullptr) return KS_NO_MEMORY;

    // buf = T(i-1) (20 bytes) || S || L || counter, S = label || 0x00 || seed,
    // the separator only after a non-empty label.
    const uint32_t n = out_len & 0xFFFF;
    size_t pos = kBlock;
    if (label_len != 0) {
        std::memcpy(buf + pos, label, label_len);
        pos += label_len;
        buf[pos++] = 0x00;
    }
    if (seed_len != 0) {
        std::memcpy(buf + pos, seed, seed_len);
        pos += seed_len;
    }
    buf[pos++] = static_cast<uint8_t>(n >> 8);
    buf[pos++] = static_cast<uint8_t>(n);
    const size_t counter_pos = pos;
    uint8_t counter = 0x01;
    buf[pos++] = counter;
    const size_t used = pos;

    ks::Scratch<kBlock> block;
    hmac_sha(key, key_len, buf + kBlock, used - kBlock, block.data());
    if (n < kBlock) {
        if (n != 0) std::memcpy(out, block.data(), n);
    } else {
        std::memcpy(out, block.data(), kBlock);
        uint32_t done = kBlock;
        while (done < n) {
            buf[counter_pos] = ++counter;
            std::memcpy(buf, block.data(), kBlock);
            hmac_sha(key, key_len, buf, used, block.data());
            const uint32_t chunk = n - done < kBlock ? n - done : kBlock;
            std::memcpy(out + done, block.data(), chunk);
            done += chunk;
        }
    }
    return KS_SUCCESS;
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
            if (!iid_matches(value.data(), value.size(), device_id, d)) return 0;
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

}  // extern "C"
