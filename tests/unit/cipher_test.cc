// Block ciphers with stored keys: known answers, the EPA chaining of the
// stored-key CBC, the 56-bit key expansion, check orders, the hardware paths
// and every allocation.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "keystore/ks_cipher.h"
#include "keystore/ks_messages.h"
#include "keystore/ks_modes.h"
#include "ks_crypto_test_util.h"
#include "ks_des_key.h"
#include "ks_hw_seam.h"
#include "ks_test_util.h"
#include "ks_vectors.h"

namespace {

using kstest::from_hex;
using kstest::pattern;
using kstest::store_secret;
using Bytes = std::vector<uint8_t>;

Bytes twice(const Bytes &b) {
    Bytes out = b;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

class CipherTest : public kstest::KeystoreTest {};

TEST_F(CipherTest, Fips197ThroughStoredKeysBlockByBlock) {
    for (const auto &v : kstest::read_vectors("aes.txt")) {
        store_secret("aes", from_hex(v.at("Key")));
        Bytes plain = twice(from_hex(v.at("Plaintext"))), out(32);
        ASSERT_EQ(ks_aes_encrypt("aes", plain.data(), out.data(), 32), KS_SUCCESS);
        EXPECT_EQ(out, twice(from_hex(v.at("Ciphertext")))) << v.at("Key");  // each block alone
        ASSERT_EQ(ks_aes_decrypt("aes", out.data(), out.data(), 32), KS_SUCCESS);
        EXPECT_EQ(out, plain);
    }
}

// The expansion of each 7-byte key, and the known answers through it.
TEST_F(CipherTest, DesKnownAnswersThroughTheExpansion) {
    for (const auto &v : kstest::read_vectors("des.txt")) {
        uint8_t key8[8];
        ks::des_expand_key(from_hex(v.at("Key7")).data(), key8);
        EXPECT_EQ(kstest::to_hex(key8, 8), v.at("Key8"));
        if (v.count("Plaintext") == 0) continue;
        store_secret("des", from_hex(v.at("Key7")));
        Bytes plain = twice(from_hex(v.at("Plaintext"))), out(16);
        ASSERT_EQ(ks_des_ecb_encrypt("des", plain.data(), 16, out.data(), 16), KS_SUCCESS);
        EXPECT_EQ(out, twice(from_hex(v.at("Ciphertext")))) << v.at("Key7");
        ASSERT_EQ(ks_des_ecb_decrypt("des", out.data(), 16, out.data(), 16), KS_SUCCESS);
        EXPECT_EQ(out, plain);
    }
}

// Triple DES is E(k1), D(k2), E(k3) of single DES with the three thirds.
TEST_F(CipherTest, TripleDesComposesSingleDes) {
    Bytes k1 = pattern(7, 1), k2 = pattern(7, 2), k3 = pattern(7, 3), ede = k1;
    ede.insert(ede.end(), k2.begin(), k2.end());
    ede.insert(ede.end(), k3.begin(), k3.end());
    store_secret("k1", k1);
    store_secret("k2", k2);
    store_secret("k3", k3);
    store_secret("ede", ede);
    Bytes plain = pattern(24, 7), a(24), b(24), c(24), out = plain;
    ASSERT_EQ(ks_des_ecb_encrypt("k1", plain.data(), 24, a.data(), 24), KS_SUCCESS);
    ASSERT_EQ(ks_des_ecb_decrypt("k2", a.data(), 24, b.data(), 24), KS_SUCCESS);
    ASSERT_EQ(ks_des_ecb_encrypt("k3", b.data(), 24, c.data(), 24), KS_SUCCESS);
    ASSERT_EQ(ks_3des_ecb_encrypt("ede", out.data(), 24, out.data(), 24), KS_SUCCESS);  // in place
    EXPECT_EQ(out, c);
    ASSERT_EQ(ks_3des_ecb_decrypt("ede", c.data(), 24, out.data(), 24), KS_SUCCESS);
    EXPECT_EQ(out, plain);
}

// The stored-key CBC is the EPA chaining: one block from a zero IV is
// swap(AES(swap(block))); the IV carries the stream across calls.
TEST_F(CipherTest, CbcIsTheSwappedChainingAndStreams) {
    const Bytes plain = pattern(48, 1), iv = pattern(16, 2);
    for (size_t key_len : {16u, 24u, 32u}) {
        SCOPED_TRACE(key_len);
        Bytes key = pattern(key_len, 5), zero_iv(16, 0), out(16);
        store_secret("cbc", key);
        ASSERT_EQ(ks_aes_cbc_encrypt("cbc", zero_iv.data(), plain.data(), 16, out.data()), KS_SUCCESS);
        EXPECT_EQ(out, kstest::swapped_aes_step(key, plain.data(), Bytes(16).data()));
        EXPECT_EQ(zero_iv, out);
    }
    Bytes whole(48), whole_iv = iv, split(48), split_iv = iv, back_iv = iv;
    ASSERT_EQ(ks_aes_cbc_encrypt("cbc", whole_iv.data(), plain.data(), 48, whole.data()), KS_SUCCESS);
    ASSERT_EQ(ks_aes_cbc_encrypt("cbc", split_iv.data(), plain.data(), 16, split.data()), KS_SUCCESS);
    ASSERT_EQ(ks_aes_cbc_encrypt("cbc", split_iv.data(), plain.data() + 16, 32, split.data() + 16), KS_SUCCESS);
    EXPECT_EQ(split, whole);
    EXPECT_EQ(split_iv, whole_iv);
    ASSERT_EQ(ks_aes_cbc_decrypt("cbc", back_iv.data(), whole.data(), 48, whole.data()), KS_SUCCESS);
    EXPECT_EQ(whole, plain);
    EXPECT_EQ(back_iv, whole_iv);
}

// ---- Every front through one table ------------------------------------------

struct Front {
    const char *label;
    size_t key_len;     // a stored length the cipher accepts
    int32_t hw_status;  // with the hardware keystore selected and present
    int32_t (*call)(const char *name, const uint8_t *in, uint8_t *out, uint8_t *iv, uint32_t len);
};

const Front kFronts[] = {
    {"aes_encrypt", 16, KS_SUCCESS, [](auto n, auto i, auto o, auto, auto l) { return ks_aes_encrypt(n, i, o, l); }},
    {"aes_decrypt", 24, KS_SUCCESS, [](auto n, auto i, auto o, auto, auto l) { return ks_aes_decrypt(n, i, o, l); }},
    {"aes_cbc_encrypt", 32, KS_SUCCESS,
     [](auto n, auto i, auto o, auto v, auto l) { return ks_aes_cbc_encrypt(n, v, i, l, o); }},
    {"aes_cbc_decrypt", 16, KS_SUCCESS,
     [](auto n, auto i, auto o, auto v, auto l) { return ks_aes_cbc_decrypt(n, v, i, l, o); }},
    {"des_encrypt", 7, KS_SUCCESS,
     [](auto n, auto i, auto o, auto, auto l) { return ks_des_ecb_encrypt(n, i, l, o, l); }},
    {"des_decrypt", 7, KS_UNKNOWN_FAILURE,
     [](auto n, auto i, auto o, auto, auto l) { return ks_des_ecb_decrypt(n, i, l, o, l); }},
    {"3des_encrypt", 21, KS_SUCCESS,
     [](auto n, auto i, auto o, auto, auto l) { return ks_3des_ecb_encrypt(n, i, l, o, l); }},
    {"3des_decrypt", 21, KS_UNKNOWN_FAILURE,
     [](auto n, auto i, auto o, auto, auto l) { return ks_3des_ecb_decrypt(n, i, l, o, l); }},
};

bool is_aes(const Front &f) { return f.key_len % 8 == 0; }

// Runs a front over fresh buffers, leaving out the pointer `null` names (1
// in, 2 out, 3 IV); on a failure, checks nothing was written.
int32_t run(const Front &f, const char *name, int null = 0, uint32_t len = 16) {
    Bytes in = pattern(0x10000, 6), out(0x10000, 0xEE), iv(16, 0x11);
    int32_t status = f.call(name, null == 1 ? nullptr : in.data(), null == 2 ? nullptr : out.data(),
                            null == 3 ? nullptr : iv.data(), len);
    if (status != KS_SUCCESS) {
        EXPECT_EQ(out, Bytes(0x10000, 0xEE)) << f.label;
        EXPECT_EQ(iv, Bytes(16, 0x11)) << f.label;
    }
    return status;
}

// Key lengths and the backends. Absent hardware answers NO_KEYSTORE with the message,
// present hardware its own status.
TEST_F(CipherTest, KeyLengthsAndHardwarePaths) {
    char last = 'a';
    for (const Front &f : kFronts) {
        SCOPED_TRACE(f.label);
        const std::string n31 = std::string(30, 'n') + last++;  // a key of its own per front
        for (size_t len : {1u, 7u, 8u, 15u, 16u, 20u, 21u, 24u, 32u, 33u}) {
            store_secret("k", pattern(len, 2));
            bool ok = len == f.key_len || (is_aes(f) && len % 8 == 0 && len >= 16);
            EXPECT_EQ(run(f, "k"), ok ? KS_SUCCESS : KS_BAD_KEY) << len;
        }
        EXPECT_EQ(run(f, n31.c_str()), KS_RECORD_NOT_FOUND);
        store_secret(n31, pattern(f.key_len, 4));
        EXPECT_EQ(run(f, n31.c_str()), KS_SUCCESS);
        ks_use_sw_ks = 0;
        ks::hw_present_answer = 0;
        ksh_message_clear();
        EXPECT_EQ(run(f, ""), KS_INVAL_ARGS);
        EXPECT_EQ(ksh_message_count(), 0u);
        EXPECT_EQ(run(f, "k"), KS_NO_KEYSTORE);
        ASSERT_EQ(ksh_message_count(), 1u);
        EXPECT_EQ(ksh_message_at(0), static_cast<const void *>(&msg_KEYSTORE_NO_KEYSTORE));
        ks::hw_present_answer = 1;
        ksh_message_clear();  // the message is throttled: start afresh
        uint64_t suppressed = ksh_message_suppressed();
        EXPECT_EQ(run(f, "k"), f.hw_status);
        EXPECT_EQ(ksh_message_count(), 0u);
        EXPECT_EQ(ksh_message_suppressed(), suppressed);
        ks_use_sw_ks = 1;
    }
    // Length 0 passes the AES-ECB checks but still needs a usable key.
    Bytes in(24), out(24, 0xEE);
    store_secret("des", pattern(7, 1));
    store_secret("aes", pattern(16, 1));
    EXPECT_EQ(ks_aes_encrypt("des", in.data(), out.data(), 0), KS_BAD_KEY);
    EXPECT_EQ(ks_aes_encrypt("aes", in.data(), out.data(), 0), KS_SUCCESS);
    EXPECT_EQ(out, Bytes(24, 0xEE));
}

// Every allocation fails in turn with NO_MEMORY and nothing written. AES
// copies its key only when the stored bytes are not 4-byte aligned: names of
// lengths 3 and 4 put the value at two offsets one apart, so one of them is.
TEST_F(CipherTest, EveryAllocationAndItsCleansing) {
    ksh_alloc_check_cleansed(1);
    uint64_t uncleansed = ksh_alloc_uncleansed_frees();
    int copies = 0;
    for (const char *name : {"abc", "abcd"}) {
        for (const Front &f : kFronts) {
            store_secret(name, pattern(f.key_len, 9));
            bool unaligned = reinterpret_cast<uintptr_t>(kstest::stored_value(name)) % 4 != 0;
            int n = kstest::fail_each_allocation([&] { return run(f, name); });
            EXPECT_EQ(n, !is_aes(f) || unaligned ? 1 : 0) << f.label << " " << name;
            if (is_aes(f)) copies += n;
        }
    }
    EXPECT_EQ(copies, 4);  // ECB and CBC, encrypt and decrypt, for the unaligned name
    for (uint32_t tag : {0x046000A8u, 0x046000A9u, 0x046000AAu, 0x046000ABu}) {
        EXPECT_EQ(ksh_alloc_tag_live_blocks(tag), 0u) << std::hex << tag;
    }
    EXPECT_EQ(ksh_alloc_uncleansed_frees(), uncleansed) << std::hex << ksh_alloc_last_uncleansed_tag();
    ksh_alloc_check_cleansed(0);

    // Each tag names its site.
    store_secret("des3", pattern(21, 1));
    Bytes buf(16);
    ksh_alloc_fail_tag(0x046000AB);
    EXPECT_EQ(ks_3des_ecb_encrypt("des3", buf.data(), 16, buf.data(), 16), KS_NO_MEMORY);
    ksh_alloc_fail_tag(0x046000AA);
    EXPECT_EQ(ks_3des_ecb_encrypt("des3", buf.data(), 16, buf.data(), 16), KS_SUCCESS);
}

}  // namespace
