// The hardware contract as shipped: every driver entry point answers SUCCESS
// and writes none of its outputs, the RSA entry points answer NOT_SUPPORTED,
// and the presence queries give their fixed answers.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "keystore/ks_hw.h"
#include "ks_hw_seam.h"
#include "ks_test_util.h"

namespace {

// Everything a call may write to, filled with a pattern before the call.
struct Outputs {
    uint8_t buf[600];
    uint8_t iv[16];
    uint8_t *ptr;
    uint16_t len16;
    uint8_t len8;
    int32_t flag;
    uint32_t word1;
    uint32_t word2;
    char text[64];
};

struct Call {
    const char *name;
    std::function<int32_t(Outputs &)> run;
};

const uint8_t kHandle[] = {1, 'k', 'e', 'y'};
const uint8_t kIn[64] = {1, 2, 3};

const Call kCalls[] = {
    {"generate_random_number", [](Outputs &o) { return ks_ae46c1_generate_random_number(o.buf, 32, 0); }},
    {"key_exists", [](Outputs &o) { return ks_ae46c1_key_exists(kHandle, 4, &o.flag); }},
    {"store_sym_key", [](Outputs &) { return ks_ae46c1_store_sym_key(kHandle, 4, kHandle, 2, kIn, 8, kIn, 4); }},
    {"add_meta_data", [](Outputs &) { return ks_ae46c1_add_meta_data(kHandle, 4, kIn, 4); }},
    {"get_meta_data", [](Outputs &o) { return ks_ae46c1_get_meta_data(kHandle, 4, &o.ptr, &o.len16); }},
    {"delete_key", [](Outputs &) { return ks_ae46c1_delete_key(kHandle, 4); }},
    {"return_key_handle_by_index", [](Outputs &o) { return ks_ae46c1_return_key_handle_by_index(300, &o.ptr, &o.len8); }},
    {"rename_key", [](Outputs &) { return ks_ae46c1_rename_key(kHandle, 4, kHandle, 3, kHandle, 2); }},
    {"hmac_md5", [](Outputs &o) { return ks_ae46c1_hmac_md5(kHandle, 4, kIn, 64, o.buf); }},
    {"hmac_sha1", [](Outputs &o) { return ks_ae46c1_hmac_sha1(kHandle, 4, kIn, 64, o.buf); }},
    {"md5_hash", [](Outputs &o) { return ks_ae46c1_md5_hash(kHandle, 4, kIn, 8, kIn, 8, o.buf); }},
    {"sha1_hash", [](Outputs &o) { return ks_ae46c1_sha1_hash(kHandle, 4, kIn, 8, kIn, 8, o.buf); }},
    {"aes_encrypt", [](Outputs &o) { return ks_ae46c1_aes_encrypt(kHandle, 4, kIn, o.buf, 16); }},
    {"aes_decrypt", [](Outputs &o) { return ks_ae46c1_aes_decrypt(kHandle, 4, kIn, o.buf, 16); }},
    {"aes_cbc_encrypt", [](Outputs &o) { return ks_ae46c1_aes_cbc_encrypt(kHandle, 4, o.iv, kIn, o.buf, 32); }},
    {"aes_cbc_decrypt", [](Outputs &o) { return ks_ae46c1_aes_cbc_decrypt(kHandle, 4, o.iv, kIn, o.buf, 32); }},
    {"des_ecb_encrypt", [](Outputs &o) { return ks_ae46c1_des_ecb_encrypt(kHandle, 4, kIn, 8, o.buf, 8); }},
    {"3des_ecb_encrypt", [](Outputs &o) { return ks_ae46c1_3des_ecb_encrypt(kHandle, 4, kIn, 8, o.buf, 8); }},
    {"GenerateNTResponse", [](Outputs &o) { return ks_ae46c1_GenerateNTResponse(kHandle, 4, kIn, kIn, "user", o.buf); }},
    {"GenerateAuthenticatorResponse", [](Outputs &o) {
         return ks_ae46c1_GenerateAuthenticatorResponse(kHandle, 4, kIn, kIn, kIn, "user", o.text);
     }},
    {"NewPasswordEncryptedWithOldNtPasswordHash", [](Outputs &o) { return ks_ae46c1_NewPasswordEncryptedWithOldNtPasswordHash(kHandle, 4, kIn, 6, o.buf); }},
    {"OldNtPasswordHashEncryptedWithNewNtPasswordHash", [](Outputs &o) {
         return ks_ae46c1_OldNtPasswordHashEncryptedWithNewNtPasswordHash(kHandle, 4, kHandle, 3, o.buf);
     }},
    {"GetMasterKey", [](Outputs &o) { return ks_ae46c1_GetMasterKey(kHandle, 4, kIn, o.buf); }},
    {"sym_key_t_prf", [](Outputs &o) { return ks_ae46c1_sym_key_t_prf(kHandle, 4, kIn, 8, kIn, 16, o.buf, 40); }},
    {"compact_memory", [](Outputs &) { return ks_ae46c1_compact_memory(); }},
    {"return_version", [](Outputs &o) { return ks_ae46c1_return_version(&o.word1, &o.word2); }},
    {"dump_eeprom", [](Outputs &o) { return ks_ae46c1_dump_eeprom(o.buf, sizeof o.buf); }},
    {"write_eeprom_byte", [](Outputs &) { return ks_ae46c1_write_eeprom_byte(0x00FFFFFF, 7); }},
    {"ha_store_sym_key", [](Outputs &) { return ks_ha_store_sym_key(kHandle, 4, kIn, 8); }},
    {"ha_delete_key", [](Outputs &) { return ks_ha_delete_key(kHandle, 4); }},
};

// The RSA entry points answer NOT_SUPPORTED.
const Call kRsaCalls[] = {
    {"rsa_store_key_and_cert", [](Outputs &) { return ks_rsa_store_key_and_cert("rsa", kIn, 8, kIn, 8); }},
    {"rsa_store_cert", [](Outputs &) { return ks_rsa_store_cert("rsa", kIn, 8); }},
    {"rsa_get_cert", [](Outputs &o) { return ks_rsa_get_cert("rsa", &o.ptr, &o.word1); }},
    {"get_public_key", [](Outputs &o) { return ks_get_public_key("rsa", &o.ptr, &o.word1); }},
    {"rsa_exp_d_mod_n", [](Outputs &o) { return ks_rsa_exp_d_mod_n("rsa", kIn, 8, o.buf); }},
    {"sw_rsa_exp_d_mod_n", [](Outputs &o) { return ks_sw_rsa_exp_d_mod_n(kHandle, 4, kIn, 8, o.buf); }},
};

// Runs a call with every output filled with a pattern: none may be written,
// and nothing allocated, traced or reported.
int32_t run(const Call &call) {
    Outputs out, before;
    std::memset(&out, 0xA5, sizeof out);
    std::memcpy(&before, &out, sizeof out);
    uint64_t blocks = ksh_alloc_live_blocks(), traces = ksh_trace_count();
    int32_t status = call.run(out);
    EXPECT_EQ(std::memcmp(&out, &before, sizeof out), 0) << call.name << ": an output was written";
    EXPECT_EQ(ksh_alloc_live_blocks(), blocks) << call.name;
    EXPECT_EQ(ksh_trace_count(), traces) << call.name;
    EXPECT_EQ(ksh_message_count(), 0u) << call.name;
    return status;
}

class HwContractTest : public kstest::KeystoreTest {};

TEST_F(HwContractTest, EveryEntryPointAnswersWithoutWritingOrAllocating) {
    for (const Call &call : kCalls) EXPECT_EQ(run(call), KS_SUCCESS) << call.name;
    for (const Call &call : kRsaCalls) EXPECT_EQ(run(call), KS_NOT_SUPPORTED) << call.name;
}

TEST_F(HwContractTest, PresenceQueries) {
    // The seam moves only the query the fronts ask; the exported answer and
    // the "should have" query are fixed.
    for (int answer : {1, 0}) {
        ks::hw_present_answer = answer;
        EXPECT_EQ(reg_invoke_ks_platform_is_hw_present(), answer);
        EXPECT_EQ(ks_is_hw_present(), 1);
        EXPECT_EQ(reg_invoke_ks_platform_should_have_hw_ks(), 0);
    }
}

}  // namespace
