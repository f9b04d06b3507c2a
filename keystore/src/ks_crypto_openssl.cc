// SPDX-License-Identifier: Apache-2.0
// The crypto backend over OpenSSL's libcrypto: the private library context
// and its algorithms, digests, HMAC pads, ciphers keyed for one call and the
// EPA routine's AES. The per-key state is in ks_crypto_openssl_keyed.cc.
#include <atomic>
#include <cstring>

#include <openssl/aes.h>
#include <openssl/crypto.h>
#include <openssl/provider.h>

#include "ks_cleanse.h"
#include "ks_crypto_openssl.h"
#include "ks_ct.h"

namespace ks::crypto {
namespace ossl {
namespace {

const char *const kMdNames[] = {"MD4", "MD5", "SHA1"};
const char *const kCipherNames[] = {"AES-128-ECB", "AES-192-ECB", "AES-256-ECB", "DES-ECB", "DES-EDE3-ECB", "RC4"};
constexpr int kMds = sizeof(kMdNames) / sizeof(kMdNames[0]);
constexpr int kCiphers = sizeof(kCipherNames) / sizeof(kCipherNames[0]);
static_assert(static_cast<int>(Md::kSha1) == kMds - 1 && static_cast<int>(Cipher::kRc4) == kCiphers - 1);

// Each object is created on first use and published once; the first use may
// race between threads (the HMAC primitives may run on any thread), so the
// loser frees its copy. A failed creation (out of memory, say) publishes
// nothing, and the next use tries again instead of failing for the life of
// the process. Published objects are never freed: callers may run until the
// very end of the process.
constinit std::atomic<OSSL_LIB_CTX *> g_ctx{nullptr};
constinit std::atomic<const EVP_MD *> g_mds[kMds] = {};
constinit std::atomic<const EVP_CIPHER *> g_ciphers[kCiphers] = {};

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

template <typename T, typename Make, typename Release>
T *publish(std::atomic<T *> &slot, Make make, Release release) {
    T *have = slot.load(std::memory_order_acquire);
    if (have != nullptr) return have;
    T *made = make();
    if (made == nullptr) return nullptr;
    if (slot.compare_exchange_strong(have, made, std::memory_order_acq_rel)) return made;
    release(made);
    return have;
}

OSSL_LIB_CTX *context() { return publish(g_ctx, make_context, OSSL_LIB_CTX_free); }

}  // namespace

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

bool start(EVP_MD_CTX *ctx, Md which) {
    const EVP_MD *algorithm = md(which);
    if (algorithm == nullptr) return false;
    if (which == Md::kMd5) EVP_MD_CTX_set_flags(ctx, EVP_MD_CTX_FLAG_NON_FIPS_ALLOW);
    return EVP_DigestInit_ex(ctx, algorithm, nullptr) == 1;
}

}  // namespace ossl

namespace {

// CipherCall's AES working contexts, one per key length and direction: made
// on first use with the all-zero key and kept for the process, keyed for a
// call and rekeyed with the all-zero key after it, so that no key's schedule
// stays behind in libcrypto's memory. One that fails is freed (libcrypto
// cleanses it) and made again on its next use.
constexpr uint8_t kZeroKey[32] = {};
EVP_CIPHER_CTX *g_aes_call[3][2] = {};

int aes_slot(Cipher c) { return c <= Cipher::kAes256Ecb ? static_cast<int>(c) : -1; }

EVP_CIPHER_CTX *&aes_call_ctx(int slot, int enc) { return g_aes_call[slot][enc]; }

// The working context of an AES kind and direction, made when missing.
EVP_CIPHER_CTX *aes_call_made(Cipher c, int enc) {
    EVP_CIPHER_CTX *&w = aes_call_ctx(aes_slot(c), enc);
    if (w != nullptr) return w;
    const EVP_CIPHER *alg = ossl::cipher(c);
    if (alg == nullptr) return nullptr;
    ossl::EvpCipherCtx x(EVP_CIPHER_CTX_new());
    if (x && EVP_CipherInit_ex2(x.get(), alg, kZeroKey, nullptr, enc, nullptr) == 1 &&
        EVP_CIPHER_CTX_set_padding(x.get(), 0) == 1)
        w = x.release();
    return w;
}

void aes_call_drop(int slot, int enc) {
    EVP_CIPHER_CTX_free(aes_call_ctx(slot, enc));
    aes_call_ctx(slot, enc) = nullptr;
}

// ---- libcrypto's variable-time algorithms ----
// libcrypto's DES and triple DES (key schedule and rounds look up tables
// indexed by key and data bits), RC4 (a state table indexed by key- and
// data-derived bytes) and its low-level AES functions, which the exported EPA
// routine's contract names (AES_set_encrypt_key, AES_set_decrypt_key,
// AES_encrypt, AES_decrypt: table-driven even where the processor has AES
// instructions), do not run in constant time: their timing and cache
// footprint can depend on the key and the data. The protocols need them, so
// users accept that residual risk (SECURITY.md). These are the only calls at
// which the library declassifies a secret that is not a result: everything it
// hands them is declassified at the call, so that the constant-time check
// reports the library's own decisions and not libcrypto's known ones. The
// data is declassified in place (it is the call's own buffer or the caller's
// input); the key through a copy made for the call, since it may be a stored
// value used in place, which stays marked.
#if KS_CT_CHECK
constexpr size_t kMaxVariableTimeKey = 32;
#endif

class VariableTimeKey {
  public:
    VariableTimeKey(const uint8_t *key, size_t len) : key_(key) {
#if KS_CT_CHECK
        if (key == nullptr || len > kMaxVariableTimeKey) return;
        std::memcpy(copy_.data(), key, len);
        KS_CT_DECLASSIFY(copy_.data(), len);
        key_ = copy_.data();
#else
        (void)len;
#endif
    }
    VariableTimeKey(const VariableTimeKey &) = delete;
    VariableTimeKey &operator=(const VariableTimeKey &) = delete;
    const uint8_t *get() const { return key_; }

  private:
    const uint8_t *key_;
#if KS_CT_CHECK
    Scratch<kMaxVariableTimeKey> copy_;
#endif
};

}  // namespace

void cleanse(void *p, size_t n) { OPENSSL_cleanse(p, n); }

void prepare() {
    for (int i = 0; i < ossl::kMds; ++i) (void)ossl::md(Md(i));
    for (int i = 0; i < ossl::kCiphers; ++i) (void)ossl::cipher(Cipher(i));
    for (Cipher c : {Cipher::kAes128Ecb, Cipher::kAes192Ecb, Cipher::kAes256Ecb})
        for (int enc = 0; enc < 2; ++enc) (void)aes_call_made(c, enc);
    ossl::prepare_keyed();
}

// ---- Digests ----

DigestResult digest(Md md, const Piece *pieces, size_t count, uint8_t *out) {
    ossl::EvpMdCtx ctx(EVP_MD_CTX_new());
    if (!ctx) return DigestResult::kNoContext;
    if (!ossl::start(ctx.get(), md)) return DigestResult::kFailed;
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

DigestCtx *digest_ctx_new() { return EVP_MD_CTX_new(); }
void digest_ctx_free(DigestCtx *ctx) { EVP_MD_CTX_free(ctx); }
void digest_ctx_reset(DigestCtx *ctx) { EVP_MD_CTX_reset(ctx); }
bool digest_ctx_started(const DigestCtx *ctx) { return ctx != nullptr && EVP_MD_CTX_get0_md(ctx) != nullptr; }
bool digest_start(DigestCtx *ctx, Md md) { return ossl::start(ctx, md); }
bool digest_update(DigestCtx *ctx, const void *bytes, size_t len) { return EVP_DigestUpdate(ctx, bytes, len) == 1; }

bool digest_finish(DigestCtx *ctx, uint8_t *out, size_t *len) {
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(ctx, out, &n) != 1) return false;
    *len = n;
    return true;
}

// ---- HMAC pads ----

bool hmac_pads(Md md, const uint8_t *key, size_t key_len, uint8_t ipad[kHmacBlockLen], uint8_t opad[kHmacBlockLen]) {
    if (key == nullptr) key_len = 0;
    Scratch<kMaxDigestLen> short_key;
    if (key_len > kHmacBlockLen) {
        const Piece whole{key, key_len};
        if (digest(md, &whole, 1, short_key.data()) != DigestResult::kOk) return false;
        key = short_key.data();
        key_len = digest_len(md);
    }
    for (size_t i = 0; i < kHmacBlockLen; ++i) {
        const uint8_t k = i < key_len ? key[i] : 0;
        ipad[i] = k ^ 0x36;
        opad[i] = k ^ 0x5c;
    }
    return true;
}

// ---- Ciphers keyed for one call ----

CipherCall::CipherCall(Cipher c, const uint8_t *key, bool encrypt) {
    const int enc = encrypt ? 1 : 0;
    if (aes_slot(c) >= 0) {
        EVP_CIPHER_CTX *w = aes_call_made(c, enc);
        if (w == nullptr) return;
        if (EVP_CipherInit_ex2(w, nullptr, key, nullptr, enc, nullptr) != 1) {
            aes_call_drop(aes_slot(c), enc);
            return;
        }
        ctx_ = w;
        kept_ = aes_slot(c) * 2 + enc;
        return;
    }
    variable_time_ = true;  // DES, triple DES, RC4 (above)
    const EVP_CIPHER *alg = ossl::cipher(c);
    if (alg == nullptr) return;
    const VariableTimeKey public_key(key, static_cast<size_t>(EVP_CIPHER_get_key_length(alg)));
    ossl::EvpCipherCtx x(EVP_CIPHER_CTX_new());
    if (x && EVP_CipherInit_ex2(x.get(), alg, public_key.get(), nullptr, enc, nullptr) == 1 &&
        EVP_CIPHER_CTX_set_padding(x.get(), 0) == 1)
        ctx_ = x.release();
}

CipherCall::~CipherCall() {
    auto *x = static_cast<EVP_CIPHER_CTX *>(ctx_);
    if (x == nullptr) return;
    if (kept_ < 0) {
        EVP_CIPHER_CTX_free(x);
    } else if (EVP_CipherInit_ex2(x, nullptr, kZeroKey, nullptr, -1, nullptr) != 1) {
        aes_call_drop(kept_ / 2, kept_ % 2);
    }
}

bool CipherCall::run(const uint8_t *in, uint8_t *out, size_t len) {
    if (variable_time_) KS_CT_DECLASSIFY(in, len);
    int got = 0;
    return EVP_CipherUpdate(static_cast<EVP_CIPHER_CTX *>(ctx_), out, &got, in, static_cast<int>(len)) == 1 &&
           static_cast<size_t>(got) == len;
}

bool CipherCall::finish() {
    Scratch<EVP_MAX_BLOCK_LENGTH> tail;
    int got = 0;
    return EVP_CipherFinal_ex(static_cast<EVP_CIPHER_CTX *>(ctx_), tail.data(), &got) == 1 && got == 0;
}

// ---- The EPA routine's AES ----
// The exported EPA functions take libcrypto's AES_KEY, so its low-level AES
// functions are their contract: these calls stay on every path. They are
// variable-time (above): the key, the schedule and the block are declassified
// at the call.

bool epa_key(const uint8_t *key, size_t key_len, bool encrypt, AES_KEY *schedule) {
    const int bits = static_cast<int>(key_len * 8);
    const VariableTimeKey public_key(key, key_len);
    int rc = -1;
    KS_DEPRECATED_CALL(rc = encrypt ? AES_set_encrypt_key(public_key.get(), bits, schedule)
                                    : AES_set_decrypt_key(public_key.get(), bits, schedule))
    return rc == 0;
}

void epa_encrypt_block(const AES_KEY *schedule, uint8_t block[16]) {
    KS_CT_DECLASSIFY(schedule, sizeof *schedule);
    KS_CT_DECLASSIFY(block, 16);
    KS_DEPRECATED_CALL(AES_encrypt(block, block, schedule))  // the EPA contract's block function
}

void epa_decrypt_block(const AES_KEY *schedule, uint8_t block[16]) {
    KS_CT_DECLASSIFY(schedule, sizeof *schedule);
    KS_CT_DECLASSIFY(block, 16);
    KS_DEPRECATED_CALL(AES_decrypt(block, block, schedule))  // the EPA contract's block function
}

}  // namespace ks::crypto
