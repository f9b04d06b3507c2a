// SPDX-License-Identifier: Apache-2.0
// The hardware keystore contract as shipped: no chip driver, so every
// operation reports success and writes nothing. A real driver replaces this
// file.
#include "keystore/ks_hw.h"

#include "ks_seams.h"

extern "C" {

int32_t ks_ae46c1_generate_random_number(uint8_t *, int32_t, int32_t) { return KS_SUCCESS; }
int32_t ks_ae46c1_key_exists(const uint8_t *, uint8_t, int32_t *) { return KS_SUCCESS; }
int32_t ks_ae46c1_store_sym_key(const uint8_t *, uint8_t, const uint8_t *, uint8_t, const uint8_t *, uint32_t,
                                const uint8_t *, uint32_t) {
    return KS_SUCCESS;
}
int32_t ks_ae46c1_add_meta_data(const uint8_t *, uint8_t, const uint8_t *, uint32_t) { return KS_SUCCESS; }
int32_t ks_ae46c1_get_meta_data(const uint8_t *, uint8_t, uint8_t **, uint16_t *) { return KS_SUCCESS; }
int32_t ks_ae46c1_delete_key(const uint8_t *, uint8_t) { return KS_SUCCESS; }
int32_t ks_ae46c1_return_key_handle_by_index(uint16_t, uint8_t **, uint8_t *) { return KS_SUCCESS; }
int32_t ks_ae46c1_rename_key(const uint8_t *, uint8_t, const uint8_t *, uint8_t, const uint8_t *, uint8_t) {
    return KS_SUCCESS;
}
int32_t ks_ae46c1_hmac_md5(const uint8_t *, uint8_t, const uint8_t *, uint16_t, uint8_t *) { return KS_SUCCESS; }
int32_t ks_ae46c1_hmac_sha1(const uint8_t *, uint8_t, const uint8_t *, uint16_t, uint8_t *) { return KS_SUCCESS; }
int32_t ks_ae46c1_md5_hash(const uint8_t *, uint8_t, const uint8_t *, uint32_t, const uint8_t *, uint32_t, uint8_t *) {
    return KS_SUCCESS;
}
int32_t ks_ae46c1_sha1_hash(const uint8_t *, uint8_t, const uint8_t *, uint32_t, const uint8_t *, uint32_t, uint8_t *) {
    return KS_SUCCESS;
}
int32_t ks_ae46c1_aes_encrypt(const uint8_t *, uint8_t, const uint8_t *, uint8_t *, uint16_t) { return KS_SUCCESS; }
int32_t ks_ae46c1_aes_decrypt(const uint8_t *, uint8_t, const uint8_t *, uint8_t *, uint16_t) { return KS_SUCCESS; }
int32_t ks_ae46c1_aes_cbc_encrypt(const uint8_t *, uint8_t, uint8_t *, const uint8_t *, uint8_t *, uint16_t) {
    return KS_SUCCESS;
}
int32_t ks_ae46c1_aes_cbc_decrypt(const uint8_t *, uint8_t, uint8_t *, const uint8_t *, uint8_t *, uint16_t) {
    return KS_SUCCESS;
}
int32_t ks_ae46c1_des_ecb_encrypt(const uint8_t *, uint8_t, const uint8_t *, uint16_t, uint8_t *, uint16_t) {
    return KS_SUCCESS;
}
int32_t ks_ae46c1_3des_ecb_encrypt(const uint8_t *, uint8_t, const uint8_t *, uint16_t, uint8_t *, uint16_t) {
    return KS_SUCCESS;
}
int32_t ks_ae46c1_GenerateNTResponse(const uint8_t *, uint8_t, const uint8_t *, const uint8_t *, const char *,
                                     uint8_t *) {
    return KS_SUCCESS;
}
int32_t ks_ae46c1_GenerateAuthenticatorResponse(const uint8_t *, uint8_t, const uint8_t *, const uint8_t *,
                                                const uint8_t *, const char *, char *) {
    return KS_SUCCESS;
}
int32_t ks_ae46c1_NewPasswordEncryptedWithOldNtPasswordHash(const uint8_t *, uint8_t, const uint8_t *, uint32_t,
                                                            uint8_t *) {
    return KS_SUCCESS;
}
int32_t ks_ae46c1_OldNtPasswordHashEncryptedWithNewNtPasswordHash(const uint8_t *, uint8_t, const uint8_t *, uint8_t,
                                                                  uint8_t *) {
    return KS_SUCCESS;
}
int32_t ks_ae46c1_GetMasterKey(const uint8_t *, uint8_t, const uint8_t *, uint8_t *) { return KS_SUCCESS; }
int32_t ks_ae46c1_sym_key_t_prf(const uint8_t *, uint8_t, const uint8_t *, uint32_t, const uint8_t *, uint32_t,
                                uint8_t *, uint32_t) {
    return KS_SUCCESS;
}

int32_t ks_ae46c1_compact_memory(void) { return KS_SUCCESS; }
int32_t ks_ae46c1_return_version(uint32_t *, uint32_t *) { return KS_SUCCESS; }
int32_t ks_ae46c1_dump_eeprom(uint8_t *, uint32_t) { return KS_SUCCESS; }
int32_t ks_ae46c1_write_eeprom_byte(uint32_t, uint32_t) { return KS_SUCCESS; }

int32_t reg_invoke_ks_platform_is_hw_present(void) { return ks::seams.hw_present; }
int32_t reg_invoke_ks_platform_should_have_hw_ks(void) { return 0; }
int32_t ks_is_hw_present(void) { return 1; }

int32_t ks_ha_store_sym_key(const uint8_t *, uint8_t, const uint8_t *, uint32_t) { return KS_SUCCESS; }
int32_t ks_ha_delete_key(const uint8_t *, uint8_t) { return KS_SUCCESS; }

int32_t ks_rsa_store_key_and_cert(const char *, const uint8_t *, uint32_t, const uint8_t *, uint32_t) {
    return KS_NOT_SUPPORTED;
}
int32_t ks_rsa_store_cert(const char *, const uint8_t *, uint32_t) { return KS_NOT_SUPPORTED; }
int32_t ks_rsa_get_cert(const char *, uint8_t **, uint32_t *) { return KS_NOT_SUPPORTED; }
int32_t ks_get_public_key(const char *, uint8_t **, uint32_t *) { return KS_NOT_SUPPORTED; }
int32_t ks_rsa_exp_d_mod_n(const char *, const uint8_t *, uint32_t, uint8_t *) { return KS_NOT_SUPPORTED; }
int32_t ks_sw_rsa_exp_d_mod_n(const uint8_t *, uint32_t, const uint8_t *, uint32_t, uint8_t *) {
    return KS_NOT_SUPPORTED;
}

}  // extern "C"
