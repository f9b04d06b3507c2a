#include "ks_ossl.h"

#include <openssl/provider.h>

namespace ks::ossl {
namespace {

struct State {
    OSSL_LIB_CTX *ctx = nullptr;
    const EVP_MD *mds[static_cast<int>(Md::kCount)] = {};
    const EVP_CIPHER *ciphers[static_cast<int>(Cipher::kCount)] = {};
};

const char *const kMdNames[] = {"MD4", "MD5", "SHA1"};
const char *const kCipherNames[] = {"AES-128-CBC", "AES-192-CBC", "AES-256-CBC", "AES-128-ECB", "AES-192-ECB",
                                    "AES-256-ECB", "DES-ECB",     "DES-EDE3-ECB", "RC4"};
static_assert(sizeof(kMdNames) / sizeof(kMdNames[0]) == static_cast<int>(Md::kCount));
static_assert(sizeof(kCipherNames) / sizeof(kCipherNames[0]) == static_cast<int>(Cipher::kCount));

State make_state() {
    State s;
    s.ctx = OSSL_LIB_CTX_new();
    if (s.ctx == nullptr) return s;
    // Providers stay loaded for the life of the process; the context is never
    // freed, since callers may run until the very end of the process.
    if (OSSL_PROVIDER_load(s.ctx, "default") == nullptr) return s;
    (void)OSSL_PROVIDER_load(s.ctx, "legacy");  // MD4, DES, RC4: checked per fetch
    for (int i = 0; i < static_cast<int>(Md::kCount); ++i) s.mds[i] = EVP_MD_fetch(s.ctx, kMdNames[i], nullptr);
    for (int i = 0; i < static_cast<int>(Cipher::kCount); ++i)
        s.ciphers[i] = EVP_CIPHER_fetch(s.ctx, kCipherNames[i], nullptr);
    return s;
}

const State &state() {
    static const State s = make_state();
    return s;
}

}  // namespace

OSSL_LIB_CTX *context() { return state().ctx; }

const EVP_MD *md(Md which) { return state().mds[static_cast<int>(which)]; }

const EVP_CIPHER *cipher(Cipher which) { return state().ciphers[static_cast<int>(which)]; }

}  // namespace ks::ossl
