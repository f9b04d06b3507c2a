// SPDX-License-Identifier: Apache-2.0
// Software keystore side of the keyed digests: the secret is found in the key
// table and used in place; only the digest is written to the caller.
#include <cstring>

#include "keystore/ks_digest.h"
#include "keystore/ks_hmac.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_crypto.h"
#include "ks_ct.h"
#include "ks_owner_tags.h"
#include "ks_sw_key_state.h"
#include "ks_sw_key_value.h"

namespace {

// The digest is the result the caller receives: public from here on.
int32_t digest_out(uint8_t *digest, ks::crypto::Md md) {
    KS_CT_DECLASSIFY(digest, ks::crypto::digest_len(md));
    return KS_SUCCESS;
}

#if KS_CT_BREAK
// The constant-time check's negative control, built only when asked for
// (scripts/ct-check.sh with CT_BREAK=1): a branch on a secret byte, which the
// check must report.
volatile uint32_t g_ct_break_taken = 0;
#endif

}  // namespace

extern "C" {

int32_t ks_sw_hmac(const uint8_t *handle, uint32_t handle_len, const uint8_t *data, uint32_t data_len, uint8_t *digest,
                   uint32_t selector) {
    ks::KeyValue key;
    if (!ks::find_key_value(handle, handle_len, key)) return KS_RECORD_NOT_FOUND;
#if KS_CT_BREAK
    if (key.len != 0 && (key.bytes[0] & 1) != 0) g_ct_break_taken = g_ct_break_taken + 1;
#endif
    // The key's precomputed pad states when it has them: the same digest
    // without keying the HMAC again.
    switch (selector) {
        case KS_DIGEST_SHA1:
            if (!ks::key_state_hmac(key.state_slot, ks::crypto::Md::kSha1, data, data_len, digest))
                hmac_sha(key.bytes, key.len, data, data_len, digest);
            return digest_out(digest, ks::crypto::Md::kSha1);
        case KS_DIGEST_MD5:
            if (!ks::key_state_hmac(key.state_slot, ks::crypto::Md::kMd5, data, data_len, digest))
                hmac_md5(key.bytes, key.len, data, data_len, digest);
            return digest_out(digest, ks::crypto::Md::kMd5);
        default: return KS_NOT_SUPPORTED;
    }
}

int32_t ks_sw_hash(const uint8_t *handle, uint32_t handle_len, const uint8_t *piece1, uint32_t piece1_len,
                   const uint8_t *piece2, uint32_t piece2_len, uint8_t *digest, uint32_t selector) {
    ks::KeyValue secret;
    if (!ks::find_key_value(handle, handle_len, secret)) return KS_RECORD_NOT_FOUND;
    if (selector > KS_DIGEST_SHA1) return KS_NOT_SUPPORTED;

    // A piece at a null address counts as empty: it is never read.
    if (piece1 == nullptr) piece1_len = 0;
    if (piece2 == nullptr) piece2_len = 0;
    const uint64_t total = static_cast<uint64_t>(piece1_len) + secret.len + piece2_len;
    if (total == 0 || total > SIZE_MAX) return KS_NO_MEMORY;

    // piece1 || secret || piece2, back to back; the buffer holds the secret,
    // so it is cleansed before it is freed.
    const ks::OwnedBlock joined(ks::kTagConcat, static_cast<size_t>(total));
    uint8_t *const buffer = joined.data();
    if (buffer == nullptr) return KS_NO_MEMORY;
    uint8_t *p = buffer;
    if (piece1_len != 0) std::memcpy(p, piece1, piece1_len);
    p += piece1_len;
    if (secret.len != 0) std::memcpy(p, secret.bytes, secret.len);
    p += secret.len;
    if (piece2_len != 0) std::memcpy(p, piece2, piece2_len);

    const ks::crypto::Piece whole{buffer, static_cast<size_t>(total)};
    const ks::crypto::Md md = selector == KS_DIGEST_MD5 ? ks::crypto::Md::kMd5 : ks::crypto::Md::kSha1;
    return ks::crypto::digest(md, &whole, 1, digest) == ks::crypto::DigestResult::kOk ? digest_out(digest, md)
                                                                                      : KS_CRYPTO_ERR;
}

}  // extern "C"
