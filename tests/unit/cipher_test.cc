// Block ciphers with stored keys: known answers, the EPA chaining of the
// stored-key CBC, the 56-bit key expansion, check orders, the hardware paths
// and every allocation.
#include <gtest/gtest.h>

#include <openssl/aes.h>

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
using kstest::store_secret;
using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed * 3 + 11 * i);
    return b;
}

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

TEST_F(CipherTest, DesKnownAnswersThroughTheExpansion) {
    const std::pair<const char *, const char *> expansions[] = {
        {"01020304050607", "008080604028180e"}, {"ffffffffffffff", "fefefefefefefefe"},
        {"01000000000000", "0080000000000000"}, {"00000000000001", "0000000000000002"},
        {"aaaaaaaaaaaaaa", "aa54aa54aa54aa54"},
    };
    for (const auto &[in, want] : expansions) {
        uint8_t out[8];
        ks::des_expand_key(from_hex(in).data(), out);
        EXPECT_EQ(kstest::to_hex(out, 8), want) << in;
    }
    for (const auto &v : kstest::read_vectors("des.txt")) {
        uint8_t key8[8];
        ks::des_expand_key(from_hex(v.at("Key7")).data(), key8);
        EXPECT_EQ(kstest::to_hex(key8, 8), v.at("Key8"));
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
    for (size_t key_len : {16u, 24u, 32u}) {
        SCOPED_TRACE(key_len);
        Bytes key = pattern(key_len, 5);
        store_secret("cbc", key);
        Bytes block = pattern(16, 8), iv(16, 0), out(16), swapped(16), expected(16);
        ASSERT_EQ(ks_aes_cbc_encrypt("cbc", iv.data(), block.data(), 16, out.data()), KS_SUCCESS);
        AES_KEY k;
        AES_set_encrypt_key(key.data(), static_cast<int>(key_len * 8), &k);
        for (int i = 0; i < 16; ++i) swapped[i] = block[(i & ~3) + 3 - (i & 3)];
        AES_encrypt(swapped.data(), swapped.data(), &k);
        for (int i = 0; i < 16; ++i) expected[i] = swapped[(i & ~3) + 3 - (i & 3)];
        EXPECT_EQ(out, expected);
        EXPECT_EQ(iv, out);
    }
    const Bytes plain = pattern(48, 1), iv = pattern(16, 2);
    Bytes whole(48), whole_iv = iv, split(48), split_iv = iv;
    ASSERT_EQ(ks_aes_cbc_encrypt("cbc", whole_iv.data(), plain.data(), 48, whole.data()), KS_SUCCESS);
    ASSERT_EQ(ks_aes_cbc_encrypt("cbc", split_iv.data(), plain.data(), 16, split.data()), KS_SUCCESS);
    ASSERT_EQ(ks_aes_cbc_encrypt("cbc", split_iv.data(), plain.data() + 16, 32, split.data() + 16), KS_SUCCESS);
    EXPECT_EQ(split, whole);
    EXPECT_EQ(split_iv, whole_iv);
    Bytes back_iv = iv;
    ASSERT_EQ(ks_aes_cbc_decrypt("cbc", back_iv.data(), whole.data(), 48, whole.data()), KS_SUCCESS);
    EXPECT_EQ(whole, plain);
    EXPECT_EQ(back_iv, whole_iv);
}

// ---- Every front through one table ------------------------------------------

struct Front {
    const char *label;
    size_t key_len;  // a stored length the cipher accepts
    std::function<int32_t(const char *name, const uint8_t *in, uint8_t *out, uint8_t *iv)> call;
    int32_t hw_status;  // with the hardware keystore selected and present
};

const std::vector<Front> &fronts() {
    static const std::vector<Front> f = {
        {"aes_encrypt", 16, [](auto n, auto i, auto o, auto) { return ks_aes_encrypt(n, i, o, 16); }, KS_SUCCESS},
        {"aes_decrypt", 24, [](auto n, auto i, auto o, auto) { return ks_aes_decrypt(n, i, o, 16); }, KS_SUCCESS},
        {"aes_cbc_encrypt", 32, [](auto n, auto i, auto o, auto v) { return ks_aes_cbc_encrypt(n, v, i, 16, o); },
         KS_SUCCESS},
        {"aes_cbc_decrypt", 16, [](auto n, auto i, auto o, auto v) { return ks_aes_cbc_decrypt(n, v, i, 16, o); },
         KS_SUCCESS},
        {"des_encrypt", 7, [](auto n, auto i, auto o, auto) { return ks_des_ecb_encrypt(n, i, 16, o, 16); },
         KS_SUCCESS},
        {"des_decrypt", 7, [](auto n, auto i, auto o, auto) { return ks_des_ecb_decrypt(n, i, 16, o, 16); },
         KS_UNKNOWN_FAILURE},
        {"3des_encrypt", 21, [](auto n, auto i, auto o, auto) { return ks_3des_ecb_encrypt(n, i, 16, o, 16); },
         KS_SUCCESS},
        {"3des_decrypt", 21, [](auto n, auto i, auto o, auto) { return ks_3des_ecb_decrypt(n, i, 16, o, 16); },
         KS_UNKNOWN_FAILURE},
    };
    return f;
}

bool is_aes(const Front &f) { return f.key_len % 8 == 0; }

// Runs a front over fresh buffers; on a failure, checks nothing was written.
int32_t run(const Front &f, const char *name) {
    Bytes in = pattern(16, 6), out(16, 0xEE), iv(16, 0x11);
    int32_t status = f.call(name, in.data(), out.data(), iv.data());
    if (status != KS_SUCCESS) {
        EXPECT_EQ(out, Bytes(16, 0xEE)) << f.label;
        EXPECT_EQ(iv, Bytes(16, 0x11)) << f.label;
    }
    return status;
}

TEST_F(CipherTest, StoredLengthsAndNames) {
    const std::string n32(32, 'n');
    char last = 'a';
    for (const Front &f : fronts()) {
        const std::string n31 = std::string(30, 'n') + last++;  // a key of its own per front
        for (size_t len : {1u, 7u, 8u, 15u, 16u, 20u, 21u, 24u, 32u, 33u}) {
            store_secret("k", pattern(len, 2));
            bool ok = len == f.key_len || (is_aes(f) && len % 8 == 0 && len >= 16);
            EXPECT_EQ(run(f, "k"), ok ? KS_SUCCESS : KS_BAD_KEY) << f.label << " " << len;
        }
        EXPECT_EQ(run(f, nullptr), KS_INVAL_ARGS) << f.label;
        EXPECT_EQ(run(f, ""), KS_INVAL_ARGS) << f.label;
        EXPECT_EQ(run(f, n32.c_str()), KS_INVAL_ARGS) << f.label;
        EXPECT_EQ(run(f, n31.c_str()), KS_RECORD_NOT_FOUND) << f.label;
        store_secret(n31, pattern(f.key_len, 4));
        EXPECT_EQ(run(f, n31.c_str()), KS_SUCCESS) << f.label;
    }
}

// Standby first, then the arguments, then the backend: absent hardware
// answers NO_KEYSTORE with the message, present hardware its own status.
TEST_F(CipherTest, CheckOrderAndHardwarePaths) {
    for (const Front &f : fronts()) {
        ks_is_standby = 1;
        EXPECT_EQ(run(f, ""), KS_STDBY_NOT_SUPPORTED) << f.label;
        ks_is_standby = 0;
        ks_use_sw_ks = 0;
        ks::hw_present_answer = 0;
        ksh_message_clear();
        EXPECT_EQ(run(f, ""), KS_INVAL_ARGS) << f.label;
        EXPECT_EQ(ksh_message_count(), 0u) << f.label;
        EXPECT_EQ(run(f, "k"), KS_NO_KEYSTORE) << f.label;
        ASSERT_EQ(ksh_message_count(), 1u) << f.label;
        EXPECT_EQ(ksh_message_at(0), static_cast<const void *>(&msg_KEYSTORE_NO_KEYSTORE));
        ks::hw_present_answer = 1;
        ksh_message_clear();  // the message is throttled: start afresh
        uint64_t suppressed = ksh_message_suppressed();
        EXPECT_EQ(run(f, "k"), f.hw_status) << f.label;
        EXPECT_EQ(ksh_message_count(), 0u) << f.label;
        EXPECT_EQ(ksh_message_suppressed(), suppressed) << f.label;
        ks_use_sw_ks = 1;
    }
}

TEST_F(CipherTest, BufferAndLengthChecks) {
    store_secret("aes", pattern(16, 1));
    store_secret("des", pattern(7, 1));
    Bytes in(64), out(64, 0xEE), iv(16, 0x11);
    uint8_t *o = out.data(), *v = iv.data();
    const uint8_t *i = in.data();
    const std::pair<const char *, std::function<int32_t()>> refused[] = {
        {"aes null in", [&] { return ks_aes_encrypt("aes", nullptr, o, 16); }},
        {"aes null out", [&] { return ks_aes_decrypt("aes", i, nullptr, 16); }},
        {"aes len 24", [&] { return ks_aes_encrypt("aes", i, o, 24); }},
        {"cbc null iv", [&] { return ks_aes_cbc_encrypt("aes", nullptr, i, 16, o); }},
        {"cbc null in", [&] { return ks_aes_cbc_decrypt("aes", v, nullptr, 16, o); }},
        {"cbc null out", [&] { return ks_aes_cbc_encrypt("aes", v, i, 16, nullptr); }},
        {"cbc len 0", [&] { return ks_aes_cbc_encrypt("aes", v, i, 0, o); }},
        {"cbc len 8", [&] { return ks_aes_cbc_decrypt("aes", v, i, 8, o); }},
        {"des null in", [&] { return ks_des_ecb_encrypt("des", nullptr, 8, o, 8); }},
        {"3des null out", [&] { return ks_3des_ecb_decrypt("des", i, 8, nullptr, 8); }},
        {"des len 0", [&] { return ks_des_ecb_encrypt("des", i, 0, o, 0); }},
        {"des len 12", [&] { return ks_des_ecb_encrypt("des", i, 12, o, 12); }},
        {"des 16 to 24", [&] { return ks_des_ecb_encrypt("des", i, 16, o, 24); }},
        {"3des 65535", [&] { return ks_3des_ecb_decrypt("des", i, 0xFFFF, o, 0xFFFF); }},
    };
    for (const auto &[label, call] : refused) {
        EXPECT_EQ(call(), KS_INVAL_ARGS) << label;
        EXPECT_EQ(out, Bytes(64, 0xEE)) << label;
        EXPECT_EQ(iv, Bytes(16, 0x11)) << label;
    }
    // Length 0 passes the AES-ECB checks but still needs a usable key.
    EXPECT_EQ(ks_aes_encrypt("none", i, o, 0), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ks_aes_encrypt("des", i, o, 0), KS_BAD_KEY);
    EXPECT_EQ(ks_aes_encrypt("aes", i, o, 0), KS_SUCCESS);
    EXPECT_EQ(out, Bytes(64, 0xEE));
}

// Every allocation fails in turn with NO_MEMORY and nothing written. AES
// copies its key only when the stored bytes are not 4-byte aligned: names of
// lengths 3 and 4 put the value at two offsets one apart, so one of them is.
TEST_F(CipherTest, EveryAllocationAndItsCleansing) {
    ksh_alloc_check_cleansed(1);
    uint64_t uncleansed = ksh_alloc_uncleansed_frees();
    int copies = 0;
    for (const char *name : {"abc", "abcd"}) {
        for (const Front &f : fronts()) {
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
