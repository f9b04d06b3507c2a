// SPDX-License-Identifier: Apache-2.0
#include "ks_ossl.h"

#include <atomic>
#include <cstring>

#include <openssl/provider.h>

#include "ks_cleanse.h"
#include "ossl_ptr.h"

namespace ks::ossl {
namespace {

const char *const kMdNames[] = {"MD4", "MD5", "SHA1"};
const char *const kCipherNames[] = {"AES-128-CBC", "AES-192-CBC", "AES-256-CBC",  "AES-128-ECB", "AES-192-ECB",
                                    "AES-256-ECB", "DES-ECB",     "DES-EDE3-ECB", "RC4"};
static_assert(sizeof(kMdNames) / sizeof(kMdNames[0]) == static_cast<int>(Md::kCount));
static_assert(sizeof(kCipherNames) / sizeof(kCipherNames[0]) == static_cast<int>(Cipher::kCount));

// Each object is created on first use and published once; the first use may
// race between threads (the HMAC primitives may run on any thread), so the
// loser frees its copy. A failed creation (out of memory, say) publishes
// nothing, and the next use tries again instead of failing for the life of
// the process. Published objects are never freed: callers may run until the
// very end of the process.
constinit std::atomic<OSSL_LIB_CTX *> g_ctx{nullptr};
constinit std::atomic<const EVP_MD *> g_mds[static_cast<int>(Md::kCount)] = {};
constinit std::atomic<const EVP_CIPHER *> g_ciphers[static_cast<int>(Cipher::kCount)] = {};

OSSL_LIB_CTX *make_context() {
    OSSL_LIB_CTX *ctx = OSSL_LIB_CTX_new();
    if (ctx == nullptr) return nullptr;
    if (OSSL_PROVIDER_load(ctx, "default") == nullptr) {
        OSSL_LIB_CTX_free(ctx);
        return nullptr;
    }
    (void)OSSL_PROVIDER_load(ctx, "legacy");  // MD4, DES, RC4: retried by a fetch that fails
    return ctx;
}

// Loads the legacy provider when it is not there yet (its first load may have
// failed); true when it was loaded now.
bool load_legacy(OSSL_LIB_CTX *ctx) {
    if (OSSL_PROVIDER_available(ctx, "legacy") == 1) return false;
    return OSSL_PROVIDER_load(ctx, "legacy") != nullptr;
}

template <typename T, typename Make, typename Free>
T *publish(std::atomic<T *> &slot, Make make, Free release) {
    T *have = slot.load(std::memory_order_acquire);
    if (have != nullptr) return have;
    T *made = make();
    if (made == nullptr) return nullptr;
    if (slot.compare_exchange_strong(have, made, std::memory_order_acq_rel)) return made;
    release(made);
    return have;
}

}  // namespace

OSSL_LIB_CTX *context() { return publish(g_ctx, make_context, OSSL_LIB_CTX_free); }

const EVP_MD *md(Md which) {
    OSSL_LIB_CTX *ctx = context();
    if (ctx == nullptr) return nullptr;
    const int i = static_cast<int>(which);
    return publish(
        g_mds[i],
        [&]() -> const EVP_MD * {
            EVP_MD *m = EVP_MD_fetch(ctx, kMdNames[i], nullptr);
            if (m == nullptr && load_legacy(ctx)) m = EVP_MD_fetch(ctx, kMdNames[i], nullptr);
            return m;
        },
        [](const EVP_MD *m) { EVP_MD_free(const_cast<EVP_MD *>(m)); });
}

const EVP_CIPHER *cipher(Cipher which) {
    OSSL_LIB_CTX *ctx = context();
    if (ctx == nullptr) return nullptr;
    const int i = static_cast<int>(which);
    return publish(
        g_ciphers[i],
        [&]() -> const EVP_CIPHER * {
            EVP_CIPHER *c = EVP_CIPHER_fetch(ctx, kCipherNames[i], nullptr);
            if (c == nullptr && load_legacy(ctx)) c = EVP_CIPHER_fetch(ctx, kCipherNames[i], nullptr);
            return c;
        },
        [](const EVP_CIPHER *c) { EVP_CIPHER_free(const_cast<EVP_CIPHER *>(c)); });
}

}  // namespace ks::ossl

namespace ks {

bool digest_start(EVP_MD_CTX *ctx, ossl::Md md) {
    const EVP_MD *algorithm = ossl::md(md);
    if (algorithm == nullptr) return false;
    if (md == ossl::Md::kMd5) EVP_MD_CTX_set_flags(ctx, EVP_MD_CTX_FLAG_NON_FIPS_ALLOW);
    return EVP_DigestInit_ex(ctx, algorithm, nullptr) == 1;
}

DigestResult digest(ossl::Md md, const Piece *pieces, size_t count, uint8_t *out) {
    EvpMdCtx ctx(EVP_MD_CTX_new());
    if (!ctx) return DigestResult::kNoContext;
    if (!digest_start(ctx.get(), md)) return DigestResult::kFailed;
    for (size_t i = 0; i < count; ++i) {
        if (pieces[i].len != 0 && EVP_DigestUpdate(ctx.get(), pieces[i].bytes, pieces[i].len) != 1) {
            return DigestResult::kFailed;
        }
    }
    Scratch<EVP_MAX_MD_SIZE> result;
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(ctx.get(), result.data(), &n) != 1) return DigestResult::kFailed;
    std::memcpy(out, result.data(), n);
    return DigestResult::kOk;
}

bool hmac_pads(ossl::Md md, const uint8_t *key, size_t key_len, uint8_t ipad[KS_HMAC_BLOCK_LEN],
               uint8_t opad[KS_HMAC_BLOCK_LEN]) {
    if (key == nullptr) key_len = 0;
    Scratch<EVP_MAX_MD_SIZE> short_key;
    if (key_len > KS_HMAC_BLOCK_LEN) {
        const Piece whole{key, key_len};
        if (digest(md, &whole, 1, short_key.data()) != DigestResult::kOk) return false;
        key = short_key.data();
        key_len = static_cast<size_t>(EVP_MD_get_size(ossl::md(md)));
    }
    cleanse(ipad, KS_HMAC_BLOCK_LEN);
    cleanse(opad, KS_HMAC_BLOCK_LEN);
    if (key_len != 0) {
        std::memcpy(ipad, key, key_len);
        std::memcpy(opad, key, key_len);
    }
    for (size_t i = 0; i < KS_HMAC_BLOCK_LEN; ++i) {
        ipad[i] ^= 0x36;
        opad[i] ^= 0x5c;
    }
    return true;
}

}  // namespace ks
