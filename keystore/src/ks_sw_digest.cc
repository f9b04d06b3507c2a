// Software keystore side of the keyed digests: the secret is found in the key
// table and used in place; only the digest is written to the caller.
#include <cstring>

#include "keystore/ks_digest.h"
#include "keystore/ks_hmac.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_ossl.h"
#include "ks_owner_tags.h"
#include "ks_sw_key_state.h"
#include "ossl_ptr.h"

namespace {

// The entry of the handle, or null.
const ks_sym_key_entry *find_entry(const uint8_t *handle, uint32_t handle_len) {
    int32_t i = ks_sym_key_find(handle, handle_len);
    return i < 0 ? nullptr : ks_sym_keys[i];
}

const uint8_t *value_of(const ks_sym_key_entry *e) { return e->data + e->value_off; }

// H(buffer) into digest; false (nothing written) when any step fails.
bool digest_once(uint32_t selector, const uint8_t *buffer, size_t len, uint8_t *digest) {
    ks::EvpMdCtx ctx(EVP_MD_CTX_new());
    if (!ctx) return false;
    const bool md5 = selector == KS_DIGEST_MD5;
    const EVP_MD *md = ks::ossl::md(md5 ? ks::ossl::Md::kMd5 : ks::ossl::Md::kSha1);
    if (md == nullptr) return false;
    // MD5 is marked as allowed outside FIPS mode, as a FIPS-restricted build
    // would otherwise refuse it.
    if (md5) EVP_MD_CTX_set_flags(ctx.get(), EVP_MD_CTX_FLAG_NON_FIPS_ALLOW);
    ks::Scratch<KS_SHA1_LEN> out;
    unsigned int out_len = 0;
    if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 || EVP_DigestUpdate(ctx.get(), buffer, len) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), out.data(), &out_len) != 1)
        return false;
    std::memcpy(digest, out.data(), md5 ? KS_MD5_LEN : KS_SHA1_LEN);
    return true;
}

}  // namespace

extern "C" {

int32_t ks_sw_hmac(const uint8_t *handle, uint32_t handle_len, const uint8_t *data, uint32_t data_len, uint8_t *digest,
                   uint32_t selector) {
    int32_t i = ks_sym_key_find(handle, handle_len);
    if (i < 0) return KS_RECORD_NOT_FOUND;
    const ks_sym_key_entry *e = ks_sym_keys[i];
    // The key's precomputed pad states when it has them: the same digest
    // without keying the HMAC again.
    switch (selector) {
        case KS_DIGEST_SHA1:
            if (!ks::key_state_hmac(i, ks::ossl::Md::kSha1, data, data_len, digest))
                hmac_sha(value_of(e), e->value_len, data, data_len, digest);
            return KS_SUCCESS;
        case KS_DIGEST_MD5:
            if (!ks::key_state_hmac(i, ks::ossl::Md::kMd5, data, data_len, digest))
                hmac_md5(value_of(e), e->value_len, data, data_len, digest);
            return KS_SUCCESS;
        default: return KS_NOT_SUPPORTED;
    }
}

int32_t ks_sw_hash(const uint8_t *handle, uint32_t handle_len, const uint8_t *piece1, uint32_t piece1_len,
                   const uint8_t *piece2, uint32_t piece2_len, uint8_t *digest, uint32_t selector) {
    const ks_sym_key_entry *e = find_entry(handle, handle_len);
    if (e == nullptr) return KS_RECORD_NOT_FOUND;
    if (selector > KS_DIGEST_SHA1) return KS_NOT_SUPPORTED;

    // A piece at a null address counts as empty: it is never read.
    if (piece1 == nullptr) piece1_len = 0;
    if (piece2 == nullptr) piece2_len = 0;
    const uint64_t total = static_cast<uint64_t>(piece1_len) + e->value_len + piece2_len;
    if (total == 0 || total > SIZE_MAX) return KS_NO_MEMORY;

    // piece1 || secret || piece2, back to back; the buffer holds the secret,
    // so it is cleansed before it is freed.
    auto *buffer = static_cast<uint8_t *>(tagged_calloc(ks::kTagConcat, 1, static_cast<size_t>(total)));
    if (buffer == nullptr) return KS_NO_MEMORY;
    uint8_t *p = buffer;
    if (piece1_len != 0) std::memcpy(p, piece1, piece1_len);
    p += piece1_len;
    if (e->value_len != 0) std::memcpy(p, value_of(e), e->value_len);
    p += e->value_len;
    if (piece2_len != 0) std::memcpy(p, piece2, piece2_len);

    const bool ok = digest_once(selector, buffer, static_cast<size_t>(total), digest);
    ks::free_cleansed(buffer, static_cast<size_t>(total));
    return ok ? KS_SUCCESS : KS_CRYPTO_ERR;
}

}  // extern "C"
