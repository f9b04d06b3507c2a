// SPDX-License-Identifier: Apache-2.0
// The EAP-FAST T-PRF (RFC 4851 section 5.5) keyed with any stored key, the
// software keystore's side of the PAC key derivation.
#include <cstdint>
#include <cstring>

#include "keystore/ks_hmac.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_ct.h"
#include "ks_owner_tags.h"
#include "ks_sw_key_value.h"

namespace {

constexpr size_t kBlock = KS_SHA1_LEN;
// Previous block (20), label separator (1), L (2) and counter (1).
constexpr uint64_t kTprfOverhead = kBlock + 4;

// T-PRF input for inputs that fit; larger ones get an allocation.
uint8_t ks_sw_t_prf_buf[512];

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
    KS_CT_DECLASSIFY(out, n);  // the derived key the caller receives
    return KS_SUCCESS;
}

}  // extern "C"
