// SPDX-License-Identifier: Apache-2.0
#include "ks_mschap_core.h"

#include <cstring>

#include "keystore/ks_types.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_crypto.h"
#include "ks_des_key.h"
#include "ks_owner_tags.h"

namespace ks {
namespace {

// The UTF-16 work buffer of nt_password_hash: allocated on first use, kept for
// the life of the process.
uint8_t *g_nt_work_buffer = nullptr;

}  // namespace

int32_t nt_password_hash(const uint8_t *password, uint32_t len, uint8_t hash[kNtHashLen]) {
    if (g_nt_work_buffer == nullptr) {
        g_nt_work_buffer = static_cast<uint8_t *>(tagged_calloc(kTagNtWorkBuffer, 1, kNtWorkBufferLen));
        if (g_nt_work_buffer == nullptr) return KS_NO_MEMORY;
    }
    size_t n = len < kPasswordMaxChars ? len : kPasswordMaxChars;
    for (size_t i = 0; i < n; ++i) {
        g_nt_work_buffer[2 * i] = password[i];
        g_nt_work_buffer[2 * i + 1] = 0;
    }
    Scratch<crypto::kMaxDigestLen> md4;
    const crypto::Piece piece{g_nt_work_buffer, 2 * n};
    const crypto::DigestResult r = crypto::digest(crypto::Md::kMd4, &piece, 1, md4.data());
    cleanse(g_nt_work_buffer, kNtWorkBufferLen);
    if (r != crypto::DigestResult::kOk) return KS_CRYPTO_ERR;
    std::memcpy(hash, md4.data(), kNtHashLen);
    return KS_SUCCESS;
}

void nt_password_hash_release() {
    free_cleansed(g_nt_work_buffer, kNtWorkBufferLen);
    g_nt_work_buffer = nullptr;
}

int32_t challenge_hash(const uint8_t peer_challenge[kChallengeLen], const uint8_t auth_challenge[kChallengeLen],
                       const char *user_name, uint8_t challenge[kChallengeHashLen]) {
    const crypto::Piece pieces[] = {{peer_challenge, kChallengeLen},
                                    {auth_challenge, kChallengeLen},
                                    {user_name, user_name != nullptr ? std::strlen(user_name) : 0}};
    Scratch<crypto::kMaxDigestLen> sha1;
    if (crypto::digest(crypto::Md::kSha1, pieces, 3, sha1.data()) != crypto::DigestResult::kOk) return KS_CRYPTO_ERR;
    std::memcpy(challenge, sha1.data(), kChallengeHashLen);
    return KS_SUCCESS;
}

int32_t des_encrypt_block(const uint8_t clear[8], const uint8_t key[7], uint8_t cipher[8]) {
    Scratch<kDesKeyLen> des_key;
    des_expand_key(key, des_key.data());
    crypto::CipherCall des(crypto::Cipher::kDesEcb, des_key.data(), true);
    Scratch<kDesBlockLen> out;
    if (!des.ok() || !des.run(clear, out.data(), kDesBlockLen) || !des.finish()) return KS_CRYPTO_ERR;
    std::memcpy(cipher, out.data(), kDesBlockLen);
    return KS_SUCCESS;
}

}  // namespace ks
