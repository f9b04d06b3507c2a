// SPDX-License-Identifier: Apache-2.0
// Inside the OpenSSL backend only (ks_crypto_openssl*.cc): the private library
// context's algorithms, owning pointers, the choice of fast paths for the
// OpenSSL at hand, and the marking of deprecated calls.
#pragma once

#include <memory>

#include <openssl/evp.h>
#include <openssl/opensslv.h>

#include "ks_crypto.h"

// The fast paths this build takes; KS_CRYPTO_PLAIN forces the plain paths.
// HMAC: the low-level MD5 and SHA-1 functions over a context on the stack
// (deprecated since 3.0). AES: libcrypto's own AES-ECB described anew so that
// its key schedule is the caller's (the cipher method functions, deprecated
// since 3.0 and removed in 4.0).
#if !defined(KS_CRYPTO_PLAIN) && !defined(OPENSSL_NO_DEPRECATED_3_0)
#define KS_CRYPTO_FAST_HMAC 1
#if OPENSSL_VERSION_MAJOR < 4
#define KS_CRYPTO_FAST_AES 1
#endif
#endif

// One statement that calls an API libcrypto marks deprecated, with the
// deprecation warning off for that statement alone. Each use says why the
// call stays; docs/crypto.md lists them with the releases that deprecated
// and removed them.
#define KS_DEPRECATED_CALL(...)                                                                                 \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"") __VA_ARGS__; \
    _Pragma("GCC diagnostic pop")

namespace ks::crypto::ossl {

template <auto Fn>
struct Free {
    template <typename T>
    void operator()(T *p) const {
        Fn(p);
    }
};
using EvpMdCtx = std::unique_ptr<EVP_MD_CTX, Free<EVP_MD_CTX_free>>;
using EvpCipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Free<EVP_CIPHER_CTX_free>>;

// An algorithm fetched from the private context, or null when it is not
// available. Each is fetched on first use and kept for the life of the
// process; a fetch that failed is tried again on the next use. Any thread.
const EVP_MD *md(Md which);
const EVP_CIPHER *cipher(Cipher which);

// Starts md on ctx (MD5 allowed outside FIPS mode too).
bool start(EVP_MD_CTX *ctx, Md md);

// The per-key paths' working contexts, made now (prepare()).
void prepare_keyed();

}  // namespace ks::crypto::ossl
