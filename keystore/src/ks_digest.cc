// SPDX-License-Identifier: Apache-2.0
// Front operations of the keyed digests: argument checks in their fixed
// order, then the software keystore or the hardware contract. No trace and no
// error message on any path.
#include "keystore/ks_digest.h"

#include "keystore/ks_hw.h"
#include "keystore/ks_modes.h"
#include "ks_front.h"

namespace {

using namespace ks::front;

// The HMAC fronts read the name first but test the data before it.
int32_t hmac_front(const char *name, const uint8_t *data, uint16_t data_len, uint8_t *digest, uint32_t selector) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    Handle h;
    const bool named = h.named(KS_KEY_TYPE_SECRET, name);
    if (data_len == 0 || data == nullptr) return KS_INVAL_ARGS;
    if (!named) return KS_INVAL_ARGS;
    if (data_len > KS_DATA_MAX || digest == nullptr) return KS_INVAL_ARGS;

    // Asks nothing of the chip: the hardware contract answers either way.
    return dispatch(
        Chip::kAssumed, [&] { return ks_sw_hmac(h.bytes, h.len, data, data_len, digest, selector); },
        [&] {
            return selector == KS_DIGEST_SHA1 ? ks_ae46c1_hmac_sha1(h.bytes, h.hw_len(), data, data_len, digest)
                                              : ks_ae46c1_hmac_md5(h.bytes, h.hw_len(), data, data_len, digest);
        });
}

bool present(const uint8_t *piece, uint32_t len) { return piece != nullptr && len != 0; }

int32_t hash_front(const char *name, const uint8_t *piece1, uint32_t piece1_len, const uint8_t *piece2,
                   uint32_t piece2_len, uint8_t *digest, uint32_t selector) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    Handle h;
    if (!h.named(KS_KEY_TYPE_SECRET, name)) return KS_INVAL_ARGS;
    if (!present(piece1, piece1_len) && !present(piece2, piece2_len)) return KS_INVAL_ARGS;
    if (digest == nullptr) return KS_INVAL_ARGS;
    // Summed without wrapping, so two huge lengths cannot pass as a small one.
    if (static_cast<uint64_t>(piece1_len) + piece2_len > KS_DATA_MAX) return KS_INVAL_ARGS;
    // A piece that claims bytes at a null address is never read.
    if ((piece1 == nullptr && piece1_len != 0) || (piece2 == nullptr && piece2_len != 0)) return KS_INVAL_ARGS;

    return dispatch(
        Chip::kAssumed,
        [&] { return ks_sw_hash(h.bytes, h.len, piece1, piece1_len, piece2, piece2_len, digest, selector); },
        [&]() -> int32_t {
            // The hardware contract offers a keyed MD5 only.
            if (selector == KS_DIGEST_SHA1) return KS_NO_KEYSTORE;
            return ks_ae46c1_md5_hash(h.bytes, h.hw_len(), piece1, piece1_len, piece2, piece2_len, digest);
        });
}

}  // namespace

extern "C" {

int32_t ks_hmac_md5(const char *name, const uint8_t *data, uint16_t data_len, uint8_t *digest) {
    return hmac_front(name, data, data_len, digest, KS_DIGEST_MD5);
}

int32_t ks_hmac_sha1(const char *name, const uint8_t *data, uint16_t data_len, uint8_t *digest) {
    return hmac_front(name, data, data_len, digest, KS_DIGEST_SHA1);
}

int32_t ks_md5_hash(const char *name, const uint8_t *piece1, uint32_t piece1_len, const uint8_t *piece2,
                    uint32_t piece2_len, uint8_t *digest) {
    return hash_front(name, piece1, piece1_len, piece2, piece2_len, digest, KS_DIGEST_MD5);
}

int32_t ks_sha1_hash(const char *name, const uint8_t *piece1, uint32_t piece1_len, const uint8_t *piece2,
                     uint32_t piece2_len, uint8_t *digest) {
    return hash_front(name, piece1, piece1_len, piece2, piece2_len, digest, KS_DIGEST_SHA1);
}

}  // extern "C"
