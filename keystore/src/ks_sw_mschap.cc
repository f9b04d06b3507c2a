// SPDX-License-Identifier: Apache-2.0
// Software keystore MS-CHAPv2 (RFC 2759) and MPPE master key (RFC 3079)
// operations with a stored password.
//
// Every intermediate derived from a password (NT hash, its MD4, digests,
// password blocks) lives in a self-cleansing stack buffer, and results are
// copied to the caller only once the whole computation has succeeded.
#include <cstdio>
#include <cstring>

#include "keystore/ks_mschap.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_crypto.h"
#include "ks_ct.h"
#include "ks_mschap_core.h"
#include "ks_sw_key_value.h"

namespace {

using ks::crypto::DigestResult;
using ks::crypto::Piece;
constexpr size_t kDigestRoom = ks::crypto::kMaxDigestLen;

constexpr char kMagic1[] = "Magic server to client signing constant";
constexpr char kMagic2[] = "Pad to make it do more than one iteration";
constexpr char kMppeMagic[] = "This is the MPPE Master Key";
static_assert(sizeof kMagic1 - 1 == 39 && sizeof kMagic2 - 1 == 41 && sizeof kMppeMagic - 1 == 27);

constexpr size_t kSha1Len = 20;
constexpr size_t kPadLen = 2 * ks::kPasswordMaxChars;  // random pad holding the new password at its end
static_assert(kPadLen + 4 == KS_PW_BLOCK_LEN);

// NT hash of the stored password.
int32_t hash_stored(const ks::KeyValue &password, uint8_t hash[ks::kNtHashLen]) {
    return ks::nt_password_hash(password.bytes, password.len, hash);
}

// NT hash of the password stored under a handle; RECORD_NOT_FOUND without one.
int32_t hash_stored(const uint8_t *handle, uint32_t handle_len, uint8_t hash[ks::kNtHashLen]) {
    ks::KeyValue password;
    if (!ks::find_key_value(handle, handle_len, password)) return KS_RECORD_NOT_FOUND;
    return hash_stored(password, hash);
}

// Copies a result to the caller's buffer, public from there on.
void give(void *out, const void *result, size_t len) {
    std::memcpy(out, result, len);
    KS_CT_DECLASSIFY(out, len);
}

// MD4 of a 16-byte NT hash (the "hash of the hash" of RFC 2759 and RFC 3079).
bool hash_nt_hash(const uint8_t hash[ks::kNtHashLen], uint8_t out[kDigestRoom]) {
    Piece piece{hash, ks::kNtHashLen};
    return ks::crypto::digest(ks::crypto::Md::kMd4, &piece, 1, out) == DigestResult::kOk;
}

}  // namespace

extern "C" {

int32_t ks_sw_GenerateNTResponse(const uint8_t *handle, uint32_t handle_len, const uint8_t *auth_challenge,
                                 const uint8_t *peer_challenge, const char *user_name, uint8_t *nt_response) {
    ks::KeyValue password;
    if (!ks::find_key_value(handle, handle_len, password)) return KS_RECORD_NOT_FOUND;
    uint8_t challenge[ks::kChallengeHashLen];
    int32_t status = ks::challenge_hash(peer_challenge, auth_challenge, user_name, challenge);
    if (status != KS_SUCCESS) return status;
    // The NT hash, zero-filled to 21 bytes: three 7-byte DES keys.
    ks::Scratch<21> keys;
    status = hash_stored(password, keys.data());
    if (status != KS_SUCCESS) return status;
    ks::Scratch<KS_NT_RESPONSE_LEN> response;
    for (size_t i = 0; i < 3; ++i) {
        status = ks::des_encrypt_block(challenge, keys.data() + 7 * i, response.data() + 8 * i);
        if (status != KS_SUCCESS) return status;
    }
    give(nt_response, response.data(), KS_NT_RESPONSE_LEN);
    return KS_SUCCESS;
}

int32_t ks_sw_GenerateAuthenticatorResponse(const uint8_t *handle, uint32_t handle_len, const uint8_t *nt_response,
                                            const uint8_t *peer_challenge, const uint8_t *auth_challenge,
                                            const char *user_name, char *response) {
    ks::Scratch<ks::kNtHashLen> hash;
    int32_t status = hash_stored(handle, handle_len, hash.data());
    if (status != KS_SUCCESS) return status;
    ks::Scratch<kDigestRoom> hash_hash;
    if (!hash_nt_hash(hash.data(), hash_hash.data())) return KS_CRYPTO_ERR;

    // A SHA-1 context that cannot be created ends the operation with SUCCESS
    // and nothing written, the documented answer of this operation; any other
    // libcrypto failure is CRYPTO_ERR.
    ks::Scratch<kDigestRoom> digest1;
    const Piece first[] = {
        {hash_hash.data(), ks::kNtHashLen}, {nt_response, KS_NT_RESPONSE_LEN}, {kMagic1, sizeof kMagic1 - 1}};
    DigestResult r = ks::crypto::digest(ks::crypto::Md::kSha1, first, 3, digest1.data());
    if (r == DigestResult::kNoContext) return KS_SUCCESS;
    if (r != DigestResult::kOk) return KS_CRYPTO_ERR;

    uint8_t challenge[ks::kChallengeHashLen];
    status = ks::challenge_hash(peer_challenge, auth_challenge, user_name, challenge);
    if (status != KS_SUCCESS) return status;

    ks::Scratch<kDigestRoom> digest2;
    const Piece second[] = {{digest1.data(), kSha1Len}, {challenge, sizeof challenge}, {kMagic2, sizeof kMagic2 - 1}};
    r = ks::crypto::digest(ks::crypto::Md::kSha1, second, 3, digest2.data());
    if (r == DigestResult::kNoContext) return KS_SUCCESS;
    if (r != DigestResult::kOk) return KS_CRYPTO_ERR;

    // "S=" and 40 upper-case hex digits; the formatter's terminator stays in
    // the local buffer and never reaches the caller. The digest is the
    // response the caller receives, so it is public before it is formatted.
    KS_CT_DECLASSIFY(digest2.data(), kSha1Len);
    char text[KS_AUTH_RESPONSE_LEN + 1];
    text[0] = 'S';
    text[1] = '=';
    for (size_t i = 0; i < kSha1Len; ++i) std::snprintf(text + 2 + 2 * i, 3, "%02X", digest2.data()[i]);
    std::memcpy(response, text, KS_AUTH_RESPONSE_LEN);
    return KS_SUCCESS;
}

int32_t ks_sw_NewPasswordEncryptedWithOldNtPasswordHash(const uint8_t *handle, uint32_t handle_len,
                                                        const uint8_t *new_password, uint32_t new_password_len,
                                                        uint8_t *out) {
    ks::Scratch<ks::kNtHashLen> old_hash;
    int32_t status = hash_stored(handle, handle_len, old_hash.data());
    if (status != KS_SUCCESS) return status;

    // RFC 2759 section 8.9: random pad ending in the new password's UTF-16LE
    // form, then that form's byte length, little endian.
    ks::Scratch<KS_PW_BLOCK_LEN> block;
    platform_random_fill(block.data(), kPadLen);
    size_t n = new_password_len < ks::kPasswordMaxChars ? new_password_len : ks::kPasswordMaxChars;
    for (size_t i = 0; i < n; ++i) {
        block.data()[kPadLen - 2 * n + 2 * i] = new_password[i];
        block.data()[kPadLen - 2 * n + 2 * i + 1] = 0;
    }
    KS_CT_SECRET(block.data() + kPadLen - 2 * n, 2 * n);  // the new password enters here
    uint32_t byte_len = static_cast<uint32_t>(2 * n);
    for (size_t i = 0; i < 4; ++i) block.data()[kPadLen + i] = static_cast<uint8_t>(byte_len >> (8 * i));

    // RC4 keyed with the old NT hash, over the whole block.
    ks::crypto::CipherCall rc4(ks::crypto::Cipher::kRc4, old_hash.data(), true);
    ks::Scratch<KS_PW_BLOCK_LEN> cipher;
    if (!rc4.ok() || !rc4.run(block.data(), cipher.data(), KS_PW_BLOCK_LEN) || !rc4.finish()) return KS_CRYPTO_ERR;
    give(out, cipher.data(), KS_PW_BLOCK_LEN);
    return KS_SUCCESS;
}

int32_t ks_sw_OldNtPasswordHashEncryptedWithNewNtPasswordHash(const uint8_t *old_handle, uint32_t old_handle_len,
                                                              const uint8_t *new_handle, uint32_t new_handle_len,
                                                              uint8_t *out) {
    ks::KeyValue old_password, new_password;
    bool old_found = ks::find_key_value(old_handle, old_handle_len, old_password);
    bool new_found = ks::find_key_value(new_handle, new_handle_len, new_password);
    if (!old_found || !new_found) return KS_RECORD_NOT_FOUND;
    ks::Scratch<ks::kNtHashLen> old_hash, new_hash;
    int32_t status = hash_stored(old_password, old_hash.data());
    if (status != KS_SUCCESS) return status;
    status = hash_stored(new_password, new_hash.data());
    if (status != KS_SUCCESS) return status;
    ks::Scratch<ks::kNtHashLen> result;
    for (size_t i = 0; i < 2; ++i) {
        status = ks::des_encrypt_block(old_hash.data() + 8 * i, new_hash.data() + 7 * i, result.data() + 8 * i);
        if (status != KS_SUCCESS) return status;
    }
    give(out, result.data(), ks::kNtHashLen);
    return KS_SUCCESS;
}

int32_t ks_sw_GetMasterKey(const uint8_t *handle, uint32_t handle_len, const uint8_t *nt_response,
                           uint8_t *master_key) {
    ks::Scratch<ks::kNtHashLen> hash;
    int32_t status = hash_stored(handle, handle_len, hash.data());
    if (status != KS_SUCCESS) return status;
    ks::Scratch<kDigestRoom> hash_hash;
    if (!hash_nt_hash(hash.data(), hash_hash.data())) return KS_CRYPTO_ERR;

    // From here on a failure leaves the master key zeroed.
    std::memset(master_key, 0, KS_MPPE_MASTER_KEY_LEN);
    ks::Scratch<kDigestRoom> digest;
    const Piece pieces[] = {
        {hash_hash.data(), ks::kNtHashLen}, {nt_response, KS_NT_RESPONSE_LEN}, {kMppeMagic, sizeof kMppeMagic - 1}};
    if (ks::crypto::digest(ks::crypto::Md::kSha1, pieces, 3, digest.data()) != DigestResult::kOk) return KS_CRYPTO_ERR;
    give(master_key, digest.data(), KS_MPPE_MASTER_KEY_LEN);
    return KS_SUCCESS;
}

}  // extern "C"
