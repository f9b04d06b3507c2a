// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_hmac HMAC primitives
 *
 * HMAC-MD5 and HMAC-SHA-1 (RFC 2104) over caller-supplied keys and data.
 *
 * The results are exactly those of RFC 2104; the test vectors of RFC 2202
 * apply. Both algorithms use a 64-byte block; a key of 65 bytes or more is
 * first replaced by its digest (16 bytes for MD5, 20 for SHA-1), a key of 64
 * bytes or fewer is used as it is. These functions touch no keystore state:
 * any number of threads may run them at once on distinct contexts.
 *
 * There is no result channel. The one-shot functions return without writing
 * their output when the key is null or empty, or when a digest context cannot
 * be created; the incremental final functions write nothing when their
 * context could not be keyed. Null or empty data is the empty message.
 * @{
 */
#ifndef KEYSTORE_KS_HMAC_H
#define KEYSTORE_KS_HMAC_H

#include <stdint.h>

/* Callers make the digest context with OpenSSL's EVP_MD_CTX_new(). The
 * library's own sources see only the structure's tag, which names the same
 * type as EVP_MD_CTX. */
#ifndef KEYSTORE_BUILDING
#include <openssl/evp.h>
#endif

#include "keystore/ks_types.h"

struct evp_md_ctx_st;

KS_EXTERN_C_BEGIN

#define KS_HMAC_BLOCK_LEN 64u

/**
 * Incremental HMAC-MD5 state, owned by the caller.
 *
 * md_ctx: a digest context the caller creates with EVP_MD_CTX_new() and
 *         places here before hmac_md5init; hmac_md5final frees it.
 * reserved: set to zero by hmac_md5, never read.
 * opad: the key, zero-filled to 64 bytes and XORed with 0x5c (written by
 *       init, read by final). It is derived from the key: wipe it when done.
 */
typedef struct hmac_md5_ctx {
    struct evp_md_ctx_st *md_ctx; /* EVP_MD_CTX * */
    uintptr_t reserved;
    uint8_t opad[KS_HMAC_BLOCK_LEN];
} hmac_md5_ctx;

/**
 * Incremental HMAC-SHA-1 state, owned by the caller. As hmac_md5_ctx with the
 * two words in the other order; hmac_shafinal sets every byte to zero.
 */
typedef struct hmac_sha_ctx {
    uintptr_t reserved;
    struct evp_md_ctx_st *md_ctx; /* EVP_MD_CTX * */
    uint8_t opad[KS_HMAC_BLOCK_LEN];
} hmac_sha_ctx;

/*
 * Incremental use: place a new digest context in ctx->md_ctx, then init once,
 * update any number of times, final once. Final takes the output first and
 * the context second, and frees ctx->md_ctx. A context is not finished or
 * updated again without a new init and a new digest context.
 */

/** Keys ctx for HMAC-MD5 with key (key_len bytes, IN). When the key cannot be
 * keyed (no digest available for a long key) the context stays unkeyed:
 * updates are ignored and final writes nothing. */
KS_EXPORT void hmac_md5init(hmac_md5_ctx *ctx, const uint8_t *key, uint32_t key_len);
/** Feeds data (data_len bytes, IN); null or empty data does nothing. */
KS_EXPORT void hmac_md5update(hmac_md5_ctx *ctx, const uint8_t *data, uint32_t data_len);
/** Writes the 16-byte HMAC to digest (OUT) and frees ctx->md_ctx. The rest of
 * the context is left as it was. */
KS_EXPORT void hmac_md5final(uint8_t *digest, hmac_md5_ctx *ctx);
/** One-shot HMAC-MD5: writes exactly 16 bytes to digest (OUT), or nothing (see
 * above). */
KS_EXPORT void hmac_md5(const uint8_t *key, uint32_t key_len, const uint8_t *data, uint32_t data_len, uint8_t *digest);

/** As hmac_md5init for HMAC-SHA-1. */
KS_EXPORT void hmac_shainit(hmac_sha_ctx *ctx, const uint8_t *key, uint32_t key_len);
/** Feeds data (data_len bytes, IN); null or empty data does nothing. */
KS_EXPORT void hmac_shaupdate(hmac_sha_ctx *ctx, const uint8_t *data, uint32_t data_len);
/** Writes the 20-byte HMAC to digest (OUT), frees ctx->md_ctx and sets every
 * byte of the context to zero. */
KS_EXPORT void hmac_shafinal(uint8_t *digest, hmac_sha_ctx *ctx);
/** One-shot HMAC-SHA-1: writes exactly 20 bytes to digest (OUT), or nothing. */
KS_EXPORT void hmac_sha(const uint8_t *key, uint32_t key_len, const uint8_t *data, uint32_t data_len, uint8_t *digest);

KS_EXTERN_C_END

/** @} */

#endif
