// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_hw Hardware keystore contract
 *
 * The hardware keystore contract: the entry points of a secure-chip driver as
 * the library calls them, the chip presence queries, the redundancy hooks and
 * the RSA entry points.
 *
 * In this library no chip driver is present: every ks_ae46c1_ operation is a
 * stub that returns KS_SUCCESS and writes none of its outputs, the presence
 * query answers 1, the redundancy hooks answer KS_SUCCESS and the RSA entry
 * points answer KS_NOT_SUPPORTED. Start-up selects the software keystore, so
 * the stubs serve only when a caller switches it off. A real driver replaces
 * the one source file that holds them.
 *
 * Each operation takes the arguments of its software counterpart, in order,
 * with handle and purge-prefix lengths narrowed to one byte and without the
 * software counterpart's trailing direction or algorithm selector. What a
 * caller relies on from a real driver: KS_SUCCESS means the outputs are
 * written; handle and metadata copies are released with tagged_free;
 * ks_ae46c1_return_key_handle_by_index answers KS_NO_MORE_RECORDS past the
 * last key.
 * @{
 */
#ifndef KEYSTORE_KS_HW_H
#define KEYSTORE_KS_HW_H

#include <stdint.h>

#include "keystore/ks_types.h"

KS_EXTERN_C_BEGIN

/** @name Key table operations
 * handle/handle_len: the key handle (type byte and name, 2 to 32 bytes);
 * prefix/prefix_len: a purge prefix or null and 0. */
/** @{ */

/** Fills length bytes of buffer (OUT); kind 1 printable, 2 alphanumeric,
 * other raw. */
KS_EXPORT int32_t ks_ae46c1_generate_random_number(uint8_t *buffer, int32_t length, int32_t kind);
/** *exists (OUT): 1 or 0. */
KS_EXPORT int32_t ks_ae46c1_key_exists(const uint8_t *handle, uint8_t handle_len, int32_t *exists);
/** Purges by the prefix when non-null, then stores value and metadata. */
KS_EXPORT int32_t ks_ae46c1_store_sym_key(const uint8_t *handle, uint8_t handle_len, const uint8_t *prefix,
                                          uint8_t prefix_len, const uint8_t *value, uint32_t value_len,
                                          const uint8_t *meta, uint32_t meta_len);
/** Replaces the key's metadata. */
KS_EXPORT int32_t ks_ae46c1_add_meta_data(const uint8_t *handle, uint8_t handle_len, const uint8_t *meta,
                                          uint32_t meta_len);
/** *meta_out (OUT): a copy released with tagged_free; *meta_len_out its
 * 16-bit length. */
KS_EXPORT int32_t ks_ae46c1_get_meta_data(const uint8_t *handle, uint8_t handle_len, uint8_t **meta_out,
                                          uint16_t *meta_len_out);
/** Deletes the key. */
KS_EXPORT int32_t ks_ae46c1_delete_key(const uint8_t *handle, uint8_t handle_len);
/** *handle_out (OUT): a copy of the handle at index, released with
 * tagged_free; *handle_len_out its length. KS_NO_MORE_RECORDS past the last
 * key. */
KS_EXPORT int32_t ks_ae46c1_return_key_handle_by_index(uint16_t index, uint8_t **handle_out, uint8_t *handle_len_out);
/** Purges by the prefix when non-null, then renames old to new. */
KS_EXPORT int32_t ks_ae46c1_rename_key(const uint8_t *old_handle, uint8_t old_len, const uint8_t *new_handle,
                                       uint8_t new_len, const uint8_t *prefix, uint8_t prefix_len);
/** @} */

/** Keyed digests with the stored key: digest (OUT) 16 bytes (MD5) or 20
 * bytes (SHA-1). */
KS_EXPORT int32_t ks_ae46c1_hmac_md5(const uint8_t *handle, uint8_t handle_len, const uint8_t *data, uint16_t data_len,
                                     uint8_t *digest);
KS_EXPORT int32_t ks_ae46c1_hmac_sha1(const uint8_t *handle, uint8_t handle_len, const uint8_t *data, uint16_t data_len,
                                      uint8_t *digest);
KS_EXPORT int32_t ks_ae46c1_md5_hash(const uint8_t *handle, uint8_t handle_len, const uint8_t *piece1,
                                     uint32_t piece1_len, const uint8_t *piece2, uint32_t piece2_len, uint8_t *digest);
/** No front operation calls it; same arguments as ks_ae46c1_md5_hash. */
KS_EXPORT int32_t ks_ae46c1_sha1_hash(const uint8_t *handle, uint8_t handle_len, const uint8_t *piece1,
                                      uint32_t piece1_len, const uint8_t *piece2, uint32_t piece2_len, uint8_t *digest);

/** Block ciphers with the stored key; len bytes from in to out (OUT, may be
 * in). iv (IN/OUT): 16 bytes, left holding the last cipher-text block. */
KS_EXPORT int32_t ks_ae46c1_aes_encrypt(const uint8_t *handle, uint8_t handle_len, const uint8_t *in, uint8_t *out,
                                        uint16_t len);
KS_EXPORT int32_t ks_ae46c1_aes_decrypt(const uint8_t *handle, uint8_t handle_len, const uint8_t *in, uint8_t *out,
                                        uint16_t len);
KS_EXPORT int32_t ks_ae46c1_aes_cbc_encrypt(const uint8_t *handle, uint8_t handle_len, uint8_t *iv, const uint8_t *in,
                                            uint8_t *out, uint16_t len);
KS_EXPORT int32_t ks_ae46c1_aes_cbc_decrypt(const uint8_t *handle, uint8_t handle_len, uint8_t *iv, const uint8_t *in,
                                            uint8_t *out, uint16_t len);
KS_EXPORT int32_t ks_ae46c1_des_ecb_encrypt(const uint8_t *handle, uint8_t handle_len, const uint8_t *in,
                                            uint16_t in_len, uint8_t *out, uint16_t out_len);
KS_EXPORT int32_t ks_ae46c1_3des_ecb_encrypt(const uint8_t *handle, uint8_t handle_len, const uint8_t *in,
                                             uint16_t in_len, uint8_t *out, uint16_t out_len);

/** MS-CHAPv2 and MPPE with the stored password (RFC 2759, RFC 3079):
 * challenges 16 bytes, nt_response 24 bytes, response 42 characters, the
 * password-change block 516 bytes, the encrypted hash 16 bytes, the master
 * key 16 bytes; outputs are OUT. */
KS_EXPORT int32_t ks_ae46c1_GenerateNTResponse(const uint8_t *handle, uint8_t handle_len, const uint8_t *auth_challenge,
                                               const uint8_t *peer_challenge, const char *user_name,
                                               uint8_t *nt_response);
/** No front operation calls it. */
KS_EXPORT int32_t ks_ae46c1_GenerateAuthenticatorResponse(const uint8_t *handle, uint8_t handle_len,
                                                          const uint8_t *nt_response, const uint8_t *peer_challenge,
                                                          const uint8_t *auth_challenge, const char *user_name,
                                                          char *response);
KS_EXPORT int32_t ks_ae46c1_NewPasswordEncryptedWithOldNtPasswordHash(const uint8_t *handle, uint8_t handle_len,
                                                                      const uint8_t *new_password,
                                                                      uint32_t new_password_len, uint8_t *out);
KS_EXPORT int32_t ks_ae46c1_OldNtPasswordHashEncryptedWithNewNtPasswordHash(const uint8_t *old_handle, uint8_t old_len,
                                                                            const uint8_t *new_handle, uint8_t new_len,
                                                                            uint8_t *out);
KS_EXPORT int32_t ks_ae46c1_GetMasterKey(const uint8_t *handle, uint8_t handle_len, const uint8_t *nt_response,
                                         uint8_t *master_key);
/** T-PRF (RFC 4851 section 5.5) with the stored key: out_len bytes to out
 * (OUT). */
KS_EXPORT int32_t ks_ae46c1_sym_key_t_prf(const uint8_t *handle, uint8_t handle_len, const uint8_t *label,
                                          uint32_t label_len, const uint8_t *seed, uint32_t seed_len, uint8_t *out,
                                          uint32_t out_len);

/** Maintenance: firmware memory compaction, version and status (OUT), an
 * EEPROM dump of length bytes into buffer (OUT), one EEPROM cell write. */
KS_EXPORT int32_t ks_ae46c1_compact_memory(void);
KS_EXPORT int32_t ks_ae46c1_return_version(uint32_t *version, uint32_t *status);
KS_EXPORT int32_t ks_ae46c1_dump_eeprom(uint8_t *buffer, uint32_t length);
KS_EXPORT int32_t ks_ae46c1_write_eeprom_byte(uint32_t cell_value, uint32_t cell_index);

/** Chip presence: 1 (a chip is there) and 0 (no chip is expected). */
KS_EXPORT int32_t reg_invoke_ks_platform_is_hw_present(void);
KS_EXPORT int32_t reg_invoke_ks_platform_should_have_hw_ks(void);
/** Always 1. */
KS_EXPORT int32_t ks_is_hw_present(void);

/** Redundancy hooks: sync a change to the standby peer. KS_SUCCESS. */
KS_EXPORT int32_t ks_ha_store_sym_key(const uint8_t *handle, uint8_t handle_len, const uint8_t *value,
                                      uint32_t value_len);
KS_EXPORT int32_t ks_ha_delete_key(const uint8_t *handle, uint8_t handle_len);

/** RSA entry points: KS_NOT_SUPPORTED at once, arguments untouched. */
KS_EXPORT int32_t ks_rsa_store_key_and_cert(const char *name, const uint8_t *key, uint32_t key_len, const uint8_t *cert,
                                            uint32_t cert_len);
KS_EXPORT int32_t ks_rsa_store_cert(const char *name, const uint8_t *cert, uint32_t cert_len);
KS_EXPORT int32_t ks_rsa_get_cert(const char *name, uint8_t **cert_out, uint32_t *cert_len_out);
KS_EXPORT int32_t ks_get_public_key(const char *name, uint8_t **key_out, uint32_t *key_len_out);
KS_EXPORT int32_t ks_rsa_exp_d_mod_n(const char *name, const uint8_t *in, uint32_t in_len, uint8_t *out);
KS_EXPORT int32_t ks_sw_rsa_exp_d_mod_n(const uint8_t *handle, uint32_t handle_len, const uint8_t *in, uint32_t in_len,
                                        uint8_t *out);

KS_EXTERN_C_END

/** @} */

#endif
