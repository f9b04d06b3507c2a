// SPDX-License-Identifier: Apache-2.0
// Operations no kstool command reaches (the transcripts run the others on
// every backend), on every backend: the software keystore with and without
// the keys, the hardware contract with the chip present and absent, against
// a golden file.

#include "pac_test_util.h"

namespace kstest {
namespace {

struct Outputs {  // everything an operation may write, a pattern before each call
    uint8_t buf[600], *ptr;
    uint32_t w1, w2;
    uint16_t len16;
    uint8_t len8;
} g, g_before;
void fill() { std::memset(&g, 0xEE, sizeof g), g_before = g; }
bool touched() { return std::memcmp(&g, &g_before, sizeof g) != 0; }

struct Op {
    const char *label;
    std::function<int32_t()> call;
};
const uint8_t kIn[65534] = {1, 2, 3};
const Bytes kS{KS_KEY_TYPE_SECRET, 'k'}, kP{KS_KEY_TYPE_PAC, 'a', 'i', 'd'}, kE{KS_KEY_TYPE_SECRET, 'e'};
const Op kOps[] = {
    // the first three answer a number, the others a status
    {"snmp_password_exists", [] { return ks_snmp_password_exists("k"); }},
    {"snmp_pac_exists", [] { return ks_snmp_pac_exists(kP.data() + 1, 3); }},
    {"snmp_get_next_pac", [] { return ks_snmp_get_next_pac(nullptr, 0, g.buf, &g.len8); }},
    {"return_wdc", [] { return keystore_return_wdc("k", &g.ptr, &g.len16); }},
    {"sw hmac, selector 2", [] { return ks_sw_hmac(kS.data(), 2, kIn, 2, g.buf, 2); }},
    {"sw hash, selector 0xffffffff", [] { return ks_sw_hash(kS.data(), 2, kIn, 2, nullptr, 0, g.buf, 0xFFFFFFFFu); }},
    {"sw hash of a PAC-Key", [] { return ks_sw_hash(kP.data(), 4, kIn, 2, nullptr, 0, g.buf, KS_DIGEST_MD5); }},
    {"sw hmac, empty secret", [] { return ks_sw_hmac(kE.data(), 2, kIn, 2, g.buf, KS_DIGEST_SHA1); }},
    {"sw hash of nothing", [] { return ks_sw_hash(kE.data(), 2, nullptr, 0, nullptr, 0, g.buf, KS_DIGEST_SHA1); }},
    {"sw hash, null piece with a length",
     [] { return ks_sw_hash(kS.data(), 2, nullptr, 9, kIn, 2, g.buf, KS_DIGEST_MD5); }},
    {"compact_fw_memory", [] { return ks_compact_fw_memory(); }},
    {"fw_version", [] { return ks_return_fw_version_and_status(&g.w1, &g.w2); }},
    {"dump_eeprom", [] { return ks_dump_eeprom(g.buf, 64); }},
    {"write_eeprom_byte", [] { return ks_write_eeprom_byte(0x00FFFFFF, 3); }},
    {"clear_old_pacs_internal", [] { return ks_clear_old_pacs_internal("someone"); }},
    {"clear_all_pacs_internal", [] { return ks_clear_all_pacs_internal(); }},
    {"hmac_sha1 of the most data", [] { return ks_hmac_sha1("k", kIn, 65534, g.buf); }},
    // entry points of the hardware contract that no front operation calls
    {"hw sha1_hash", [] { return ks_ae46c1_sha1_hash(kS.data(), 2, kIn, 2, nullptr, 0, g.buf); }},
    {"hw authenticator response",
     [] {
         return ks_ae46c1_GenerateAuthenticatorResponse(kS.data(), 2, kIn, kIn, kIn, "User",
                                                        reinterpret_cast<char *>(g.buf));
     }},
    {"ha_store_sym_key", [] { return ks_ha_store_sym_key(kS.data(), 2, kIn, 16); }},
    {"ha_delete_key", [] { return ks_ha_delete_key(kS.data(), 2); }},
    {"rsa_store_key_and_cert", [] { return ks_rsa_store_key_and_cert("k", kIn, 4, kIn, 4); }},
    {"rsa_store_cert", [] { return ks_rsa_store_cert("k", kIn, 4); }},
    {"rsa_get_cert", [] { return ks_rsa_get_cert("k", &g.ptr, &g.w1); }},
    {"get_public_key", [] { return ks_get_public_key("k", &g.ptr, &g.w1); }},
    {"rsa_exp_d_mod_n", [] { return ks_rsa_exp_d_mod_n("k", kIn, 4, g.buf); }},
    {"sw_rsa_exp_d_mod_n", [] { return ks_sw_rsa_exp_d_mod_n(kS.data(), 2, kIn, 4, g.buf); }},
};

class FrontsTest : public KeystoreTest {};

// Each on a fresh keystore holding the secrets k (16 bytes) and e (empty)
// and the PAC aid: its answer, "(wrote)" when an output changed, what the
// host recorded, and the table and the cache afterwards.
TEST_F(FrontsTest, OnEachBackend) {
    std::string out;
    const char *modes[] = {"software", "software, nothing stored", "hardware present", "hardware absent"};
    for (int m = 0; m < 4; ++m) {
        out += S("# ", modes[m], "\n");
        for (const Op &o : kOps) {
            reset_keystore();
            if (m != 1) {
                ASSERT_EQ(ks_store_secret_and_metadata("k", nullptr, kIn, 16, kIn, 3), KS_SUCCESS);
                ASSERT_EQ(store(sample_pac("aid")) + ks_sw_store_sym_key(kE.data(), 2, nullptr, 0, kIn, 0, nullptr, 0),
                          2);
            }
            drain(), fill();
            ks_use_sw_ks = m < 2, ks::seams.hw_present = m != 3;
            const int32_t r = o.call();
            out += S(o.label, touched() ? " (wrote): " : ": ", &o < kOps + 3 ? std::to_string(r) : ks_err_str(r), "\n",
                     drain());
            out += state();
            if (g.ptr != g_before.ptr) tagged_free(g.ptr);
        }
    }
    expect_golden("golden/fronts_backends.txt", out);
}

// An empty name is refused before the backend is asked: here no hardware
// keystore answers, and none of these may say NO_KEYSTORE.
TEST_F(FrontsTest, EmptyNameRefusedBeforeTheBackend) {
    ks_use_sw_ks = 0, ks::seams.hw_present = 0;
    uint8_t *o = g.buf, iv[16] = {};
    char r[64];
    for (int32_t st :
         {ks_hmac_md5("", kIn, 3, o), ks_hmac_sha1("", kIn, 3, o), ks_md5_hash("", kIn, 3, kIn, 3, o),
          ks_aes_encrypt("", kIn, o, 16), ks_aes_decrypt("", kIn, o, 16), ks_aes_cbc_encrypt("", iv, kIn, 16, o),
          ks_aes_cbc_decrypt("", iv, kIn, 16, o), ks_des_ecb_encrypt("", kIn, 8, o, 8),
          ks_des_ecb_decrypt("", kIn, 8, o, 8), ks_3des_ecb_encrypt("", kIn, 8, o, 8),
          ks_3des_ecb_decrypt("", kIn, 8, o, 8), ks_GenerateNTResponse("", kIn, kIn, "User", o),
          ks_GenerateAuthenticatorResponse("", kIn, kIn, kIn, "User", r),
          ks_NewPasswordEncryptedWithOldNtPasswordHash("", kIn, 5, o),
          ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("", "d", o), ks_GetMasterKey("", kIn, o)})
        EXPECT_STREQ(ks_err_str(st), "INVAL_ARGS");
    drain();
}

// AES copies a stored key whose bytes are not 4-byte aligned (names of 3
// and 4 bytes put the value one byte apart), for ECB and CBC alike, and for
// blocks that overlap at an offset.
TEST_F(FrontsTest, AesCopiesOnlyAnUnalignedKey) {
    uint64_t copies = 0;
    for (const char *name : {"abc", "abcd"}) {
        for (int call = 0; call < 3; ++call) {
            ASSERT_EQ(ks_store_secret_and_metadata(name, nullptr, kIn, 16, nullptr, 0), KS_SUCCESS);
            const Bytes h = cat(Bytes{KS_KEY_TYPE_SECRET}, bytes(name));
            const ks_sym_key_entry *e = ks_sym_keys[ks_sym_key_find(h.data(), uint32_t(h.size()))];
            // The key's crypto state, made on its first use, stays: its
            // blocks are not copies.
            const auto held = [] {
                return ksh_alloc_calls() - ksh_alloc_tag_live_blocks(ks::kTagKeyState) -
                       ksh_alloc_tag_live_blocks(ks::kTagKeyStateSlots);
            };
            const uint64_t calls = held();
            ASSERT_EQ(call == 0   ? ks_aes_encrypt(name, kIn, g.buf, 32)
                      : call == 1 ? ks_aes_encrypt(name, g.buf, g.buf + 8, 32)
                                  : ks_aes_cbc_decrypt(name, g.buf, kIn, 16, g.buf + 16),
                      KS_SUCCESS);
            EXPECT_EQ(held() - calls, reinterpret_cast<uintptr_t>(e->data + e->value_off) % 4 ? 1u : 0u)
                << name << call;
            copies += held() - calls;
        }
    }
    EXPECT_EQ(copies, 3u);
}

}  // namespace
}  // namespace kstest
