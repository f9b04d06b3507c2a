// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_digest Keyed digests
 *
 * Keyed digests with stored secrets: HMAC-MD5 and HMAC-SHA-1 (RFC 2104) keyed
 * with a secret, and MD5 or SHA-1 over the caller's data with the secret
 * spliced between two pieces of it.
 *
 * The caller names a secret of type KS_KEY_TYPE_SECRET (1 to 31 bytes); the
 * secret never leaves the keystore, only the digest is written back. The
 * output buffer must hold KS_MD5_LEN (16) or KS_SHA1_LEN (20) bytes; no output
 * length is passed. The front operations return KS_STDBY_NOT_SUPPORTED on a
 * standby unit before any other check, KS_INVAL_ARGS for argument faults and
 * KS_RECORD_NOT_FOUND when no secret has the name. While the software
 * keystore is switched off they go to the hardware contract (ks_hw.h).
 * Nothing in the keystore changes on any path.
 * @{
 */
#ifndef KEYSTORE_KS_DIGEST_H
#define KEYSTORE_KS_DIGEST_H

#include <stdint.h>

#include "keystore/ks_types.h"

KS_EXTERN_C_BEGIN

/** Algorithm selectors of ks_sw_hmac and ks_sw_hash. */
#define KS_DIGEST_MD5 0u
#define KS_DIGEST_SHA1 1u

/** HMAC keyed with the named secret over data (data_len 1 to KS_DATA_MAX
 * bytes, IN), into digest (16 or 20 bytes, OUT). The data is checked before
 * the name. */
KS_EXPORT int32_t ks_hmac_md5(const char *name, const uint8_t *data, uint16_t data_len, uint8_t *digest);
KS_EXPORT int32_t ks_hmac_sha1(const char *name, const uint8_t *data, uint16_t data_len, uint8_t *digest);

/** H(piece1 || secret || piece2) into digest (16 or 20 bytes, OUT). A piece is
 * present when its address is non-null and its length non-zero; at least one
 * must be, an absent piece is given as (null, 0), and the two lengths add up
 * to at most KS_DATA_MAX. A null piece with a non-zero length is
 * KS_INVAL_ARGS. With the software keystore off, ks_sha1_hash answers
 * KS_NO_KEYSTORE (the hardware contract has no such operation). */
KS_EXPORT int32_t ks_md5_hash(const char *name, const uint8_t *piece1, uint32_t piece1_len, const uint8_t *piece2,
                              uint32_t piece2_len, uint8_t *digest);
KS_EXPORT int32_t ks_sha1_hash(const char *name, const uint8_t *piece1, uint32_t piece1_len, const uint8_t *piece2,
                               uint32_t piece2_len, uint8_t *digest);

/** @name Software keystore operations behind the fronts
 * They trust their arguments. The handle is (bytes, length) as the key table
 * stores it; selector is KS_DIGEST_MD5 or KS_DIGEST_SHA1, any other value
 * answers KS_NOT_SUPPORTED with nothing written. */
/** @{ */

/** HMAC keyed with the secret's value. KS_SUCCESS (also when the digest could
 * not be computed: then nothing is written), KS_RECORD_NOT_FOUND,
 * KS_NOT_SUPPORTED. */
KS_EXPORT int32_t ks_sw_hmac(const uint8_t *handle, uint32_t handle_len, const uint8_t *data, uint32_t data_len,
                             uint8_t *digest, uint32_t selector);

/** H(piece1 || secret || piece2); a null piece counts as empty. KS_SUCCESS,
 * KS_RECORD_NOT_FOUND, KS_NOT_SUPPORTED, KS_NO_MEMORY (nothing to digest, or
 * no work buffer), KS_CRYPTO_ERR (digest failed, nothing written). */
KS_EXPORT int32_t ks_sw_hash(const uint8_t *handle, uint32_t handle_len, const uint8_t *piece1, uint32_t piece1_len,
                             const uint8_t *piece2, uint32_t piece2_len, uint8_t *digest, uint32_t selector);
/** @} */

KS_EXTERN_C_END

/** @} */

#endif
