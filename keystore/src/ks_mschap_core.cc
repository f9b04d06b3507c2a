// SPDX-License-Identifier: Apache-2.0
#include "ks_mschap_core.h"

#include <cstring>

#include "keystore/ks_types.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_des_key.h"
#include "ks_ossl.h"
#include "ks_owner_tags.h"
#include "ks_seams.h"
#include "ossl_ptr.h"

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
    Scratch<EVP_MAX_MD_SIZE> md4;
    Piece piece{g_nt_work_buffer, 2 * n};
    DigestResult r = digest(ossl::Md::kMd4, &piece, 1, md4.data());
    cleanse(g_nt_work_buffer, kNtWorkBufferLen);
    if (r != DigestResult::kOk) return KS_CRYPTO_ERR;
    std::memcpy(hash, md4.data(), kNtHashLen);
    return KS_SUCCESS;
}

void nt_password_hash_release() {
    free_cleansed(g_nt_work_buffer, kNtWorkBufferLen);
    g_nt_work_buffer = nullptr;
}

int32_t challenge_hash(const uint8_t peer_challenge[kChallengeLen], const uint8_t auth_challenge[kChallengeLen],
                       const char *user_name, uint8_t challenge[kChallengeHashLen]) {
    const Piece pieces[] = {{peer_challenge, kChallengeLen},
                            {auth_challenge, kChallengeLen},
                            {user_name, user_name != nullptr ? std::strlen(user_name) : 0}};
    Scratch<EVP_MAX_MD_SIZE> sha1;
    if (digest(ossl::Md::kSha1, pieces, 3, sha1.data()) != DigestResult::kOk) return KS_CRYPTO_ERR;
    std::memcpy(challenge, sha1.data(), kChallengeHashLen);
    return KS_SUCCESS;
}

int32_t des_encrypt_block(const uint8_t clear[8], const uint8_t key[7], uint8_t cipher[8]) {
    Scratch<kDesKeyLen> des_key;
    des_expand_key(key, des_key.data());
    const EVP_CIPHER *des = ossl::cipher(ossl::Cipher::kDesEcb);
    if (des == nullptr) return KS_CRYPTO_ERR;
    EvpCipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return KS_CRYPTO_ERR;
    Scratch<2 * kDesBlockLen> out;  // room for a final block, though none comes without padding
    int n = 0, tail = 0;
    if (EVP_EncryptInit_ex2(ctx.get(), des, des_key.data(), nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data(), &n, clear, kDesBlockLen) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &tail) != 1 || n + tail != static_cast<int>(kDesBlockLen)) {
        return KS_CRYPTO_ERR;
    }
    std::memcpy(cipher, out.data(), kDesBlockLen);
    return KS_SUCCESS;
}

}  // namespace ks
