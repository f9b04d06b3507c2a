// SPDX-License-Identifier: Apache-2.0
// The library's private OpenSSL context, and the digest helpers every
// operation computes with over it.
//
// MD4, single DES and RC4 live in OpenSSL 3's legacy provider. The library
// loads the default and legacy providers into a context of its own, fetches
// every algorithm it uses once, and never touches the process's default
// context, so it works the same whatever the host process has loaded.
#pragma once

#include <cstddef>
#include <cstdint>

#include <openssl/evp.h>

#include "keystore/ks_hmac.h"

namespace ks::ossl {

enum class Md { kMd4, kMd5, kSha1, kCount };
enum class Cipher {
    kAes128Cbc,
    kAes192Cbc,
    kAes256Cbc,
    kAes128Ecb,
    kAes192Ecb,
    kAes256Ecb,
    kDesEcb,
    kDesEde3Ecb,
    kRc4,
    kCount
};

// The private context, or null if it could not be created.
OSSL_LIB_CTX *context();

// A fetched algorithm from the private context, or null when it is not
// available (callers then fail with CRYPTO_ERR). The context and each
// algorithm are created on first use and then kept for the life of the
// process; a creation that failed is tried again on the next call. Safe to
// call from any thread.
const EVP_MD *md(Md which);
const EVP_CIPHER *cipher(Cipher which);

}  // namespace ks::ossl

namespace ks {

// One contiguous piece of digest input.
struct Piece {
    const void *bytes;
    size_t len;
};

enum class DigestResult { kOk, kNoContext, kFailed };

// Digest of the pieces, in order, with an algorithm of the private context;
// out receives the full digest (at most EVP_MAX_MD_SIZE bytes) only on kOk.
// kNoContext: the digest context could not be created; kFailed: any other
// failure, the algorithm's absence included.
DigestResult digest(ossl::Md md, const Piece *pieces, size_t count, uint8_t *out);

// Marks MD5 as allowed outside FIPS mode, as a FIPS-restricted build would
// otherwise refuse it, then starts ctx on the algorithm; false when it is
// absent or does not start.
bool digest_start(EVP_MD_CTX *ctx, ossl::Md md);

// The HMAC (RFC 2104) pad blocks of an MD5 or SHA-1 key: the key (its digest
// when it is longer than one block; a null key is the empty one), zero-filled
// to the block and XORed with 0x36 (ipad) and 0x5c (opad). False, with
// nothing written, when the long key's digest fails.
bool hmac_pads(ossl::Md md, const uint8_t *key, size_t key_len, uint8_t ipad[KS_HMAC_BLOCK_LEN],
               uint8_t opad[KS_HMAC_BLOCK_LEN]);

}  // namespace ks
