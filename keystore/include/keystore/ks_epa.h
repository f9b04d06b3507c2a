// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_epa EPA encryption
 *
 * EPA block chaining: AES in cipher-block chaining over a key schedule the
 * caller prepares, with a caller-held chaining value so that successive calls
 * continue one stream.
 *
 * The AES block function is applied to each block with the bytes of every
 * 4-byte group reversed, and its result is reversed back the same way. The
 * cipher text is therefore not standard AES-CBC; epa_decrypt undoes exactly
 * what epa_encrypt produces.
 *
 * The key schedule is OpenSSL's AES_KEY, so this header includes
 * <openssl/aes.h>. OpenSSL 3.0 marks that low-level AES interface deprecated:
 * a consumer that includes this header must not hide it, that is must not
 * define OPENSSL_NO_DEPRECATED_3_0 nor set OPENSSL_API_COMPAT (or
 * OPENSSL_API_LEVEL) above 30000. Consumers that build with deprecation
 * warnings as errors should silence -Wdeprecated-declarations where they call
 * AES_set_encrypt_key or AES_set_decrypt_key.
 *
 * Nothing here allocates, takes a key name or touches the key table.
 * @{
 */
#ifndef KEYSTORE_KS_EPA_H
#define KEYSTORE_KS_EPA_H

#include <stdint.h>

#include <openssl/aes.h>

#include "keystore/ks_export.h"

#if defined(OPENSSL_NO_DEPRECATED_3_0)
#error "keystore/ks_epa.h needs OpenSSL's AES_KEY: do not hide OpenSSL's 3.0-deprecated API where it is included"
#endif

KS_EXTERN_C_BEGIN

/** The accepted modes; all three behave alike (the key schedule carries the
 * key length). Any other mode makes epa_encrypt and epa_decrypt do nothing. */
#define KS_EPA_MODE_FIRST 28u
#define KS_EPA_MODE_LAST 30u
#define KS_EPA_BLOCK_LEN 16u

/** Enciphers len bytes of in into out (IN: in; OUT: out; the two may be the
 * same buffer). key: a schedule made with AES_set_encrypt_key (128-, 192- or
 * 256-bit key). chain (IN/OUT, 16 bytes): the chaining value, read first and
 * overwritten with the last cipher-text block, the value to pass to the call
 * that continues the stream. len: a multiple of 16; 0 or less processes
 * nothing, and a length that is not a multiple of 16 is rounded up (the last
 * block is read and written whole). A mode other than 28 to 30 leaves every
 * buffer untouched. */
KS_EXPORT void epa_encrypt(uint32_t mode, const AES_KEY *key, const uint8_t *in, uint8_t *out, uint8_t *chain,
                           int32_t len);

/** Deciphers what epa_encrypt produced. key: a schedule made with
 * AES_set_decrypt_key from the same key. chain (IN/OUT, 16 bytes): the same
 * starting value as the encryption's, overwritten with the last cipher-text
 * (input) block. Every input block is read whole before its output block is
 * written, so in and out may be the same buffer. Lengths and modes as for
 * epa_encrypt. */
KS_EXPORT void epa_decrypt(uint32_t mode, const AES_KEY *key, const uint8_t *in, uint8_t *out, uint8_t *chain,
                           int32_t len);

/** RC4 entry points kept for callers that link them: they do no work.
 * A_RC4Update always returns 0. */
KS_EXPORT void A_RC4Init(void);
KS_EXPORT int32_t A_RC4Update(void);

KS_EXTERN_C_END

/** @} */

#endif
