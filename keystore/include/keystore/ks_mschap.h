// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_mschap MS-CHAPv2 and MPPE
 *
 * MS-CHAPv2 (RFC 2759) and the MPPE master key (RFC 3079) with a user
 * password the keystore holds as a secret of key type 1.
 *
 * The caller names the stored password and passes the public values; it
 * receives the NT-Response, the authenticator response, the password-change
 * blocks or the MPPE master key, never the password or its hash. A stored
 * password is one byte per character; only its first 256 bytes are used, and
 * its NT hash (MD4 of the UTF-16LE form, each byte zero-extended) is
 * recomputed on every use. Outputs are caller buffers of the sizes given
 * below; nothing is allocated for the caller. No operation traces anything.
 *
 * Statuses of the front operations, checked in this order:
 *   KS_STDBY_NOT_SUPPORTED  standby unit;
 *   KS_INVAL_ARGS           a null pointer, a name null, empty or over
 *                           KS_NAME_MAX bytes, or a bad new-password length;
 *   then the backend's status. Software keystore: KS_SUCCESS,
 *   KS_RECORD_NOT_FOUND (a stored password missing), KS_NO_MEMORY (the
 *   hashing work buffer, allocated once per process, could not be allocated),
 *   KS_CRYPTO_ERR (a libcrypto step failed). Hardware keystore selected:
 *   KS_NO_KEYSTORE with the NO_KEYSTORE error message when no chip is there,
 *   otherwise the hardware contract's status.
 * Outputs are written only on KS_SUCCESS, except where a function says
 * otherwise. Not reentrant: the password hashing uses one process-wide work
 * buffer, so one MS-CHAPv2 or MPPE operation may run at a time per process.
 * @{
 */
#ifndef KEYSTORE_KS_MSCHAP_H
#define KEYSTORE_KS_MSCHAP_H

#include <stdint.h>

#include "keystore/ks_types.h"

KS_EXTERN_C_BEGIN

/** Sizes (bytes): KS_CHALLENGE_LEN (16) for both challenges,
 * KS_NT_RESPONSE_LEN (24), KS_AUTH_RESPONSE_LEN (42), KS_PW_BLOCK_LEN (516),
 * KS_NT_HASH_LEN (16), KS_MPPE_MASTER_KEY_LEN (16), all in ks_types.h. */
#define KS_NEW_PASSWORD_MAX 256u

/** GenerateNTResponse (RFC 2759 section 8.1). auth_challenge (IN, 16),
 * peer_challenge (IN, 16), user_name (IN, text; its strlen bytes are hashed,
 * no terminator), nt_response (OUT, 24). */
KS_EXPORT int32_t ks_GenerateNTResponse(const char *name, const uint8_t *auth_challenge, const uint8_t *peer_challenge,
                                        const char *user_name, uint8_t *nt_response);

/** GenerateAuthenticatorResponse (RFC 2759 section 8.7). nt_response (IN, 24),
 * peer_challenge (IN, 16), auth_challenge (IN, 16), user_name (IN, text),
 * response (OUT, exactly 42 characters: "S=" and 40 upper-case hexadecimal
 * digits, no terminating zero; the byte after them is not touched). With the
 * hardware keystore selected it answers KS_NO_KEYSTORE, without a message:
 * the hardware contract has no such operation. When libcrypto cannot create a
 * SHA-1 context the answer is KS_SUCCESS with nothing written. */
KS_EXPORT int32_t ks_GenerateAuthenticatorResponse(const char *name, const uint8_t *nt_response,
                                                   const uint8_t *peer_challenge, const uint8_t *auth_challenge,
                                                   const char *user_name, char *response);

/** NewPasswordEncryptedWithOldNtPasswordHash (RFC 2759 section 8.9) with the
 * old password stored under old_name. new_password (IN, new_password_len
 * bytes, one byte per character, 1 to 256). out (OUT, KS_PW_BLOCK_LEN = 516
 * bytes): 512 bytes of random pad ending in the new password's UTF-16LE form,
 * then that form's byte length (2 x new_password_len) as 4 bytes little
 * endian, the whole 516 bytes enciphered with RC4 keyed by the old password's
 * 16-byte NT hash. */
KS_EXPORT int32_t ks_NewPasswordEncryptedWithOldNtPasswordHash(const char *old_name, const uint8_t *new_password,
                                                               uint32_t new_password_len, uint8_t *out);

/** OldNtPasswordHashEncryptedWithNewNtPasswordHash (RFC 2759 section 8.12)
 * with both passwords stored. out (OUT, 16): the old NT hash's two halves,
 * each DES-enciphered with 7 bytes of the new NT hash. */
KS_EXPORT int32_t ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash(const char *old_name, const char *new_name,
                                                                     uint8_t *out);

/** GetMasterKey (RFC 3079 section 3.4): the first 16 bytes of
 * SHA-1(MD4(NT hash) || nt_response || "This is the MPPE Master Key").
 * nt_response (IN, 24), master_key (OUT, 16). When libcrypto cannot create
 * the SHA-1 context the answer is KS_CRYPTO_ERR with master_key zeroed. */
KS_EXPORT int32_t ks_GetMasterKey(const char *name, const uint8_t *nt_response, uint8_t *master_key);

/** Software keystore operations behind the fronts: the same arguments with
 * the stored password's key handle (bytes, length) in place of its name.
 * They trust their arguments. ks_sw_OldNtPasswordHashEncryptedWithNewNtPasswordHash
 * looks both handles up before it tests either result.
 * ks_sw_NewPasswordEncryptedWithOldNtPasswordHash uses at most the first 256
 * bytes of the new password and always writes all 516 bytes on KS_SUCCESS
 * (a zero length gives a block whose length field is 0). */
KS_EXPORT int32_t ks_sw_GenerateNTResponse(const uint8_t *handle, uint32_t handle_len, const uint8_t *auth_challenge,
                                           const uint8_t *peer_challenge, const char *user_name, uint8_t *nt_response);
KS_EXPORT int32_t ks_sw_GenerateAuthenticatorResponse(const uint8_t *handle, uint32_t handle_len,
                                                      const uint8_t *nt_response, const uint8_t *peer_challenge,
                                                      const uint8_t *auth_challenge, const char *user_name,
                                                      char *response);
KS_EXPORT int32_t ks_sw_NewPasswordEncryptedWithOldNtPasswordHash(const uint8_t *handle, uint32_t handle_len,
                                                                  const uint8_t *new_password,
                                                                  uint32_t new_password_len, uint8_t *out);
KS_EXPORT int32_t ks_sw_OldNtPasswordHashEncryptedWithNewNtPasswordHash(const uint8_t *old_handle,
                                                                        uint32_t old_handle_len,
                                                                        const uint8_t *new_handle,
                                                                        uint32_t new_handle_len, uint8_t *out);
KS_EXPORT int32_t ks_sw_GetMasterKey(const uint8_t *handle, uint32_t handle_len, const uint8_t *nt_response,
                                     uint8_t *master_key);

KS_EXTERN_C_END

/** @} */

#endif
