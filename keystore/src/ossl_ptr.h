// SPDX-License-Identifier: Apache-2.0
// Owning pointers for libcrypto objects, so every way out of a function
// releases them.
#pragma once

#include <memory>

#include <openssl/evp.h>

namespace ks {

template <auto Fn>
struct OsslFree {
    template <typename T>
    void operator()(T *p) const {
        Fn(p);
    }
};

using EvpMdCtx = std::unique_ptr<EVP_MD_CTX, OsslFree<EVP_MD_CTX_free>>;
using EvpCipherCtx = std::unique_ptr<EVP_CIPHER_CTX, OsslFree<EVP_CIPHER_CTX_free>>;
using EvpCipherMeth = std::unique_ptr<EVP_CIPHER, OsslFree<EVP_CIPHER_meth_free>>;

}  // namespace ks
