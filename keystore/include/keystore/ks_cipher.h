// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_cipher Block ciphers
 *
 * Block ciphers with stored keys: AES-ECB, AES in the EPA chaining of
 * keystore/ks_epa.h, single DES-ECB and triple DES (EDE, three keys) in ECB.
 *
 * The caller names a secret stored under key type 1; the secret never leaves
 * the keystore. Lengths are whole blocks (16 bytes for AES, 8 for DES): no
 * padding is ever added or removed. Input and output may be the same buffer.
 * Nothing is allocated for the caller.
 *
 * Stored key lengths: AES 16, 24 or 32 bytes (AES-128/192/256); DES exactly
 * 7 bytes (56 key bits, no parity bits); triple DES exactly 21 bytes (bytes
 * 0-6 key 1, 7-13 key 2, 14-20 key 3). Each 7-byte DES key is spread over the
 * top seven bits of the 8 bytes of a DES key, parity bits 0.
 *
 * Statuses of the front operations, checked in this order:
 *   KS_STDBY_NOT_SUPPORTED  standby unit;
 *   KS_INVAL_ARGS           name null, empty or over KS_NAME_MAX bytes, or a
 *                           buffer or length as each function states;
 *   then the backend's status: with the software keystore, KS_SUCCESS,
 *   KS_RECORD_NOT_FOUND (no such key), KS_BAD_KEY (stored length not accepted
 *   by the cipher), KS_NO_MEMORY, KS_CRYPTO_ERR. With the hardware keystore
 *   selected: KS_NO_KEYSTORE (and the NO_KEYSTORE error message) when no chip
 *   is present, otherwise the hardware contract's status; the DES and triple
 *   DES decryptions have no hardware counterpart and answer
 *   KS_UNKNOWN_FAILURE there.
 * On a status other than KS_SUCCESS no output is written, except the blocks
 * ks_sw_aes had finished before a libcrypto failure.
 * @{
 */
#ifndef KEYSTORE_KS_CIPHER_H
#define KEYSTORE_KS_CIPHER_H

#include <stdint.h>

#include "keystore/ks_types.h"

KS_EXTERN_C_BEGIN

#define KS_AES_BLOCK_LEN 16u
#define KS_AES_IV_LEN 16u
#define KS_DES_BLOCK_LEN 8u
#define KS_DES_STORED_KEY_LEN 7u
#define KS_3DES_STORED_KEY_LEN 21u

/** AES-ECB (standard FIPS-197 blocks) of len bytes, in (IN) to out (OUT).
 * in and out non-null; len a multiple of 16, 0 allowed (KS_SUCCESS, nothing
 * written, after the key has been found and its length checked). */
KS_EXPORT int32_t ks_aes_encrypt(const char *name, const uint8_t *in, uint8_t *out, uint16_t len);
KS_EXPORT int32_t ks_aes_decrypt(const char *name, const uint8_t *in, uint8_t *out, uint16_t len);

/** AES in the EPA chaining (epa_encrypt/epa_decrypt, mode 28): not standard
 * AES-CBC cipher text; ks_aes_cbc_decrypt undoes ks_aes_cbc_encrypt.
 * iv (IN/OUT, 16 bytes): the chaining value, overwritten with the last
 * cipher-text block so that a following call continues the stream. iv, in and
 * out non-null; len non-zero and a multiple of 16. */
KS_EXPORT int32_t ks_aes_cbc_encrypt(const char *name, uint8_t *iv, const uint8_t *in, uint16_t len, uint8_t *out);
KS_EXPORT int32_t ks_aes_cbc_decrypt(const char *name, uint8_t *iv, const uint8_t *in, uint16_t len, uint8_t *out);

/** DES-ECB with a 7-byte stored key. in and out non-null; in_len non-zero, not
 * 65535, a multiple of 8 and equal to out_len. */
KS_EXPORT int32_t ks_des_ecb_encrypt(const char *name, const uint8_t *in, uint16_t in_len, uint8_t *out,
                                     uint16_t out_len);
KS_EXPORT int32_t ks_des_ecb_decrypt(const char *name, const uint8_t *in, uint16_t in_len, uint8_t *out,
                                     uint16_t out_len);

/** Triple DES (EDE: encipher with key 1, decipher with key 2, encipher with
 * key 3; deciphering the reverse) in ECB with a 21-byte stored key. Arguments
 * as for DES. */
KS_EXPORT int32_t ks_3des_ecb_encrypt(const char *name, const uint8_t *in, uint16_t in_len, uint8_t *out,
                                      uint16_t out_len);
KS_EXPORT int32_t ks_3des_ecb_decrypt(const char *name, const uint8_t *in, uint16_t in_len, uint8_t *out,
                                      uint16_t out_len);

/** @name Software keystore operations behind the fronts
 * They take a key handle (bytes, length) and trust their arguments. encrypt:
 * non-zero enciphers, 0 deciphers. They never change the key table. */
/** @{ */

/** AES-ECB over the whole 16-byte blocks of len. KS_SUCCESS,
 * KS_RECORD_NOT_FOUND, KS_BAD_KEY, KS_NO_MEMORY (the copy made of a key whose
 * stored bytes are not 4-byte aligned), KS_CRYPTO_ERR (libcrypto failed;
 * blocks already enciphered stay written, nothing else is). */
KS_EXPORT int32_t ks_sw_aes(const uint8_t *handle, uint32_t handle_len, const uint8_t *in, uint8_t *out, uint16_t len,
                            int32_t encrypt);

/** AES in the EPA chaining over len / 16 blocks; iv as for ks_aes_cbc_encrypt.
 * KS_SUCCESS, KS_RECORD_NOT_FOUND, KS_BAD_KEY, KS_NO_MEMORY, KS_CRYPTO_ERR. */
KS_EXPORT int32_t ks_sw_aes_cbc(const uint8_t *handle, uint32_t handle_len, uint8_t *iv, const uint8_t *in,
                                uint16_t len, uint8_t *out, int32_t encrypt);

/** DES-ECB / triple DES-ECB over the out_len / 8 blocks of out; in_len is not
 * read. KS_SUCCESS, KS_RECORD_NOT_FOUND, KS_BAD_KEY, KS_NO_MEMORY,
 * KS_CRYPTO_ERR. */
KS_EXPORT int32_t ks_sw_des_crypt(const uint8_t *handle, uint32_t handle_len, int32_t encrypt, const uint8_t *in,
                                  uint16_t in_len, uint8_t *out, uint16_t out_len);
KS_EXPORT int32_t ks_sw_3des_crypt(const uint8_t *handle, uint32_t handle_len, int32_t encrypt, const uint8_t *in,
                                   uint16_t in_len, uint8_t *out, uint16_t out_len);
/** @} */

KS_EXTERN_C_END

/** @} */

#endif
