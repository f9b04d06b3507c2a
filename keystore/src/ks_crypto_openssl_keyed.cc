// SPDX-License-Identifier: Apache-2.0
// The crypto backend's per-key state over OpenSSL's libcrypto: a key's HMAC
// state and AES-ECB schedules in memory the caller keeps.
//
// HMAC, fast path: the MD5 or SHA-1 chaining values after the inner and after
// the outer pad block. A call loads them into libcrypto's low-level digest
// context on the stack (a plain structure the caller owns), runs the
// compressions over the data and wipes the context.
// HMAC, plain path: the two pad blocks. A call runs them and the data through
// a working digest context kept for the process; what that context holds
// after the call is the HMAC itself, which the caller receives.
//
// AES, fast path (before OpenSSL 4): libcrypto's AES-ECB described anew with
// no context size of its own, so that libcrypto writes the key schedule
// wherever the working context points (the caller's memory) and never
// allocates or frees it. A call points a working context at the schedule and
// runs the implementation's block function over whole blocks.
// AES, plain path: no per-key schedule (aes_schedule_bytes() is 0); the
// caller keys a CipherCall for each call.
#include <cstring>

#include "ks_cleanse.h"
#include "ks_crypto_openssl.h"

#if KS_CRYPTO_FAST_HMAC
#include <openssl/md5.h>
#include <openssl/sha.h>
#endif
#if KS_CRYPTO_FAST_AES
#include <openssl/objects.h>
#endif

namespace ks::crypto {
namespace {

#if KS_CRYPTO_FAST_HMAC

constexpr uint32_t kPadBlockBits = 8 * kHmacBlockLen;

// The two digests as libcrypto's low-level functions over a caller-owned
// context; these functions are deprecated since OpenSSL 3.0, and are the
// only way to keep a chaining value outside libcrypto's memory. save/load
// move the chaining values of a context that has taken exactly one block.
struct Md5 {
    using Ctx = MD5_CTX;
    static constexpr Md kMd = Md::kMd5;
    static constexpr size_t kLen = MD5_DIGEST_LENGTH;
    static constexpr int kWords = 4;
    static void init(Ctx &c) { KS_DEPRECATED_CALL(MD5_Init(&c)) }
    static void update(Ctx &c, const void *p, size_t n) { KS_DEPRECATED_CALL(MD5_Update(&c, p, n)) }
    static void finish(uint8_t *out, Ctx &c) { KS_DEPRECATED_CALL(MD5_Final(out, &c)) }
    static void save(const Ctx &c, uint32_t *w) { w[0] = c.A, w[1] = c.B, w[2] = c.C, w[3] = c.D; }
    static void load(Ctx &c, const uint32_t *w) {
        c = Ctx{};
        c.A = w[0], c.B = w[1], c.C = w[2], c.D = w[3];
        c.Nl = kPadBlockBits;
    }
};

struct Sha1 {
    using Ctx = SHA_CTX;
    static constexpr Md kMd = Md::kSha1;
    static constexpr size_t kLen = SHA_DIGEST_LENGTH;
    static constexpr int kWords = 5;
    static void init(Ctx &c) { KS_DEPRECATED_CALL(SHA1_Init(&c)) }
    static void update(Ctx &c, const void *p, size_t n) { KS_DEPRECATED_CALL(SHA1_Update(&c, p, n)) }
    static void finish(uint8_t *out, Ctx &c) { KS_DEPRECATED_CALL(SHA1_Final(out, &c)) }
    static void save(const Ctx &c, uint32_t *w) { w[0] = c.h0, w[1] = c.h1, w[2] = c.h2, w[3] = c.h3, w[4] = c.h4; }
    static void load(Ctx &c, const uint32_t *w) {
        c = Ctx{};
        c.h0 = w[0], c.h1 = w[1], c.h2 = w[2], c.h3 = w[3], c.h4 = w[4];
        c.Nl = kPadBlockBits;
    }
};

// The state: the chaining values after the inner [0] and outer [1] pad block.
template <typename D>
using Chained = uint32_t[2][D::kWords];

template <typename D>
bool make(const uint8_t *key, size_t key_len, void *state) {
    Scratch<kHmacBlockLen> pads[2];
    if (!hmac_pads(D::kMd, key, key_len, pads[0].data(), pads[1].data())) return false;
    auto &chained = *static_cast<Chained<D> *>(state);
    for (int p = 0; p < 2; ++p) {
        Wiped<typename D::Ctx> c;
        D::init(c.v);
        D::update(c.v, pads[p].data(), kHmacBlockLen);
        D::save(c.v, chained[p]);
    }
    return true;
}

template <typename D>
bool run(const void *state, const uint8_t *data, size_t len, uint8_t *out) {
    const auto &chained = *static_cast<const Chained<D> *>(state);
    Wiped<typename D::Ctx> c;
    Scratch<D::kLen> inner;
    D::load(c.v, chained[0]);
    if (data != nullptr && len != 0) D::update(c.v, data, len);
    D::finish(inner.data(), c.v);
    D::load(c.v, chained[1]);
    D::update(c.v, inner.data(), D::kLen);
    D::finish(out, c.v);
    return true;
}

#else  // plain HMAC

// The state: the inner [0] and outer [1] pad blocks.
using Pads = uint8_t[2][kHmacBlockLen];

// The working digest contexts of MD5 [0] and SHA-1 [1], made on first use and
// kept; one that fails is reset (libcrypto frees what the digest held) and
// started afresh on its next use.
EVP_MD_CTX *g_hmac_work[2] = {};

EVP_MD_CTX *hmac_work_made(Md md) {
    EVP_MD_CTX *&w = g_hmac_work[md == Md::kSha1 ? 1 : 0];
    if (w == nullptr) w = EVP_MD_CTX_new();
    return w;
}

bool make_pads(Md md, const uint8_t *key, size_t key_len, void *state) {
    auto &pads = *static_cast<Pads *>(state);
    return hmac_pads(md, key, key_len, pads[0], pads[1]);
}

bool run_pads(Md md, const void *state, const uint8_t *data, size_t len, uint8_t *out) {
    const auto &pads = *static_cast<const Pads *>(state);
    EVP_MD_CTX *w = hmac_work_made(md);
    if (w == nullptr) return false;
    Scratch<EVP_MAX_MD_SIZE> inner, result;
    unsigned int inner_len = 0, result_len = 0;
    const bool ok = ossl::start(w, md) && EVP_DigestUpdate(w, pads[0], kHmacBlockLen) == 1 &&
                    (data == nullptr || len == 0 || EVP_DigestUpdate(w, data, len) == 1) &&
                    EVP_DigestFinal_ex(w, inner.data(), &inner_len) == 1 && ossl::start(w, md) &&
                    EVP_DigestUpdate(w, pads[1], kHmacBlockLen) == 1 &&
                    EVP_DigestUpdate(w, inner.data(), inner_len) == 1 &&
                    EVP_DigestFinal_ex(w, result.data(), &result_len) == 1 && result_len == digest_len(md);
    if (!ok) {
        EVP_MD_CTX_reset(w);
        return false;
    }
    std::memcpy(out, result.data(), result_len);
    return true;
}

#endif

#if KS_CRYPTO_FAST_AES

// Room for the cipher data of libcrypto's AES-ECB (its key schedule and
// function pointers); a larger one leaves AES to the plain path.
constexpr size_t kAesScheduleBytes = 272;

// libcrypto's AES-ECB for one key length, described anew so that its cipher
// data is the caller's: with no context size of its own, libcrypto neither
// allocates nor frees that data, and the key schedule goes wherever the
// context points. Null when the implementation does not fit that use. The
// cipher method functions are deprecated since OpenSSL 3.0 and removed in
// 4.0; they are the only way to have libcrypto's AES keep its schedule in
// the caller's memory.
EVP_CIPHER *schedule_in_caller_memory(const EVP_CIPHER *aes) {
    if (aes == nullptr) return nullptr;
    const unsigned long flags = EVP_CIPHER_get_flags(aes);
    int size = 0;
    int (*init)(EVP_CIPHER_CTX *, const unsigned char *, const unsigned char *, int) = nullptr;
    int (*blocks)(EVP_CIPHER_CTX *, unsigned char *, const unsigned char *, size_t) = nullptr;
    int (*cleanup)(EVP_CIPHER_CTX *) = nullptr;
    KS_DEPRECATED_CALL(size = EVP_CIPHER_impl_ctx_size(aes), init = EVP_CIPHER_meth_get_init(aes),
                       blocks = EVP_CIPHER_meth_get_do_cipher(aes), cleanup = EVP_CIPHER_meth_get_cleanup(aes))
    // A schedule larger than the room, an implementation that must run its
    // init without a key or clean up after itself: plain path.
    if (size <= 0 || static_cast<size_t>(size) > kAesScheduleBytes ||
        (flags & (EVP_CIPH_ALWAYS_CALL_INIT | EVP_CIPH_CTRL_INIT | EVP_CIPH_FLAG_CUSTOM_CIPHER)) != 0 ||
        cleanup != nullptr || init == nullptr || blocks == nullptr)
        return nullptr;
    // No object identifier: nothing outside the library can stand in for it.
    EVP_CIPHER *c = nullptr;
    bool ok = false;
    KS_DEPRECATED_CALL(
        c = EVP_CIPHER_meth_new(NID_undef, EVP_CIPHER_get_block_size(aes), EVP_CIPHER_get_key_length(aes)),
        ok = c != nullptr && EVP_CIPHER_meth_set_flags(c, flags) == 1 && EVP_CIPHER_meth_set_init(c, init) == 1 &&
             EVP_CIPHER_meth_set_do_cipher(c, blocks) == 1)
    if (!ok) {
        KS_DEPRECATED_CALL(EVP_CIPHER_meth_free(c))
        return nullptr;
    }
    return c;
}

// The working context of one key length and direction (the cipher set,
// padding off) and the implementation's block function, which a call runs
// directly over whole blocks. Made once for the process, never freed: a
// context keeps pointing at the schedule it was last used with, so that
// libcrypto never frees one, and is pointed at another only when needed.
struct AesWork {
    using Blocks = int (*)(EVP_CIPHER_CTX *, unsigned char *, const unsigned char *, size_t);
    EVP_CIPHER_CTX *ctx[3][2] = {};
    void *schedule[3][2] = {};  // what each context points at
    Blocks run[3] = {};
    AesWork() {
        const EVP_CIPHER *aes[3] = {EVP_aes_128_ecb(), EVP_aes_192_ecb(), EVP_aes_256_ecb()};
        for (int k = 0; k < 3; ++k) {
            EVP_CIPHER *c = schedule_in_caller_memory(aes[k]);
            if (c == nullptr) continue;
            KS_DEPRECATED_CALL(run[k] = EVP_CIPHER_meth_get_do_cipher(c))
            for (int d = 0; d < 2; ++d) {
                ossl::EvpCipherCtx x(EVP_CIPHER_CTX_new());
                if (x && EVP_CipherInit_ex(x.get(), c, nullptr, nullptr, nullptr, d) == 1 &&
                    EVP_CIPHER_CTX_get_cipher_data(x.get()) == nullptr && EVP_CIPHER_CTX_set_padding(x.get(), 0) == 1)
                    ctx[k][d] = x.release();
            }
        }
    }
    // The context of kind k and direction d, pointed at this schedule; null
    // when there is none.
    EVP_CIPHER_CTX *on(int k, int d, void *data) {
        if (ctx[k][d] != nullptr && schedule[k][d] != data) {
            EVP_CIPHER_CTX_set_cipher_data(ctx[k][d], data);
            schedule[k][d] = data;
        }
        return ctx[k][d];
    }
};

AesWork &aes_work() {
    static AesWork work;
    return work;
}

int aes_kind(size_t key_len) { return key_len == 16 ? 0 : key_len == 24 ? 1 : key_len == 32 ? 2 : -1; }

#endif

}  // namespace

size_t hmac_state_bytes(Md md) {
#if KS_CRYPTO_FAST_HMAC
    return md == Md::kSha1 ? sizeof(Chained<Sha1>) : sizeof(Chained<Md5>);
#else
    (void)md;
    return sizeof(Pads);
#endif
}

bool hmac_state_make(Md md, const uint8_t *key, size_t key_len, void *state) {
#if KS_CRYPTO_FAST_HMAC
    return md == Md::kSha1 ? make<Sha1>(key, key_len, state) : make<Md5>(key, key_len, state);
#else
    return make_pads(md, key, key_len, state);
#endif
}

bool hmac_state_run(Md md, const void *state, const uint8_t *data, size_t len, uint8_t *out) {
#if KS_CRYPTO_FAST_HMAC
    return md == Md::kSha1 ? run<Sha1>(state, data, len, out) : run<Md5>(state, data, len, out);
#else
    return run_pads(md, state, data, len, out);
#endif
}

size_t aes_schedule_bytes() {
#if KS_CRYPTO_FAST_AES
    return kAesScheduleBytes;
#else
    return 0;
#endif
}

bool aes_schedule_make(void *schedule, const uint8_t *key, size_t key_len, bool encrypt) {
#if KS_CRYPTO_FAST_AES
    const int kind = aes_kind(key_len), d = encrypt ? 1 : 0;
    EVP_CIPHER_CTX *ctx = kind < 0 ? nullptr : aes_work().on(kind, d, schedule);
    if (ctx == nullptr) return false;
    if (EVP_CipherInit_ex(ctx, nullptr, nullptr, key, nullptr, d) == 1) return true;
    cleanse(schedule, kAesScheduleBytes);
    return false;
#else
    (void)schedule, (void)key, (void)key_len, (void)encrypt;
    return false;
#endif
}

bool aes_schedule_run(void *schedule, size_t key_len, bool encrypt, const uint8_t *in, uint8_t *out, size_t len) {
#if KS_CRYPTO_FAST_AES
    const int kind = aes_kind(key_len), d = encrypt ? 1 : 0;
    EVP_CIPHER_CTX *ctx = kind < 0 ? nullptr : aes_work().on(kind, d, schedule);
    return ctx != nullptr && (len == 0 || aes_work().run[kind](ctx, out, in, len) == 1);
#else
    (void)schedule, (void)key_len, (void)encrypt, (void)in, (void)out, (void)len;
    return false;
#endif
}

namespace ossl {

void prepare_keyed() {
#if KS_CRYPTO_FAST_AES
    (void)aes_work();
#endif
#if !KS_CRYPTO_FAST_HMAC
    (void)hmac_work_made(Md::kMd5), (void)hmac_work_made(Md::kSha1);
#endif
}

}  // namespace ossl

}  // namespace ks::crypto
