// Block ciphers with stored keys: known answers, the EPA chaining of the
// stored-key CBC, the 56-bit key expansion, check orders, the hardware paths
// and every allocation failure.
#include <gtest/gtest.h>

#include <openssl/aes.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "keystore/ks_cipher.h"
#include "keystore/ks_epa.h"
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

constexpr uint32_t kTagAesCopy = 0x046000A8;
constexpr uint32_t kTagAesCbcCopy = 0x046000A9;
constexpr uint32_t kTagDesKey = 0x046000AA;
constexpr uint32_t kTag3DesKeys = 0x046000AB;

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed * 3 + 11 * i);
    return b;
}

Bytes swap_groups(const uint8_t *b) {
    Bytes s(16);
    for (int i = 0; i < 16; ++i) s[i] = b[(i & ~3) + 3 - (i & 3)];
    return s;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class CipherTest : public kstest::KeystoreTest {};

// ---- Known answers --------------------------------------------------------

TEST_F(CipherTest, Fips197ThroughStoredKeys) {
    for (const auto &v : kstest::read_vectors("aes.txt")) {
        Bytes key = from_hex(v.at("Key"));
        SCOPED_TRACE(key.size());
        store_secret("aes", key);
        Bytes plain = from_hex(v.at("Plaintext")), want = from_hex(v.at("Ciphertext"));
        Bytes out(16);
        ASSERT_EQ(ks_aes_encrypt("aes", plain.data(), out.data(), 16), KS_SUCCESS);
        EXPECT_EQ(out, want);
        Bytes back = out;  // in place
        ASSERT_EQ(ks_aes_decrypt("aes", back.data(), back.data(), 16), KS_SUCCESS);
        EXPECT_EQ(back, plain);
    }
}

TEST_F(CipherTest, AesEcbEnciphersEachBlockAlone) {
    store_secret("aes", pattern(24, 1));
    Bytes block = pattern(16, 9);
    Bytes plain = concat({block, block, pattern(16, 4)});
    Bytes out(48);
    ASSERT_EQ(ks_aes_encrypt("aes", plain.data(), out.data(), 48), KS_SUCCESS);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 16, out.begin() + 16));
    EXPECT_FALSE(std::equal(out.begin(), out.begin() + 16, out.begin() + 32));
}

TEST_F(CipherTest, DesKnownAnswersThroughExpansion) {
    for (const auto &v : kstest::read_vectors("des.txt")) {
        Bytes key7 = from_hex(v.at("Key7"));
        SCOPED_TRACE(v.at("Key7"));
        uint8_t key8[8];
        ks::des_expand_key(key7.data(), key8);
        EXPECT_EQ(Bytes(key8, key8 + 8), from_hex(v.at("Key8")));

        store_secret("des", key7);
        Bytes plain = from_hex(v.at("Plaintext")), want = from_hex(v.at("Ciphertext"));
        Bytes two = concat({plain, plain}), out(16);
        ASSERT_EQ(ks_des_ecb_encrypt("des", two.data(), 16, out.data(), 16), KS_SUCCESS);
        EXPECT_EQ(out, concat({want, want}));
        ASSERT_EQ(ks_des_ecb_decrypt("des", out.data(), 16, out.data(), 16), KS_SUCCESS);
        EXPECT_EQ(out, two);
    }
}

TEST_F(CipherTest, KeyExpansionTable) {
    struct Case {
        const char *in, *out;
    };
    const Case cases[] = {
        {"01020304050607", "008080604028180e"},
        {"00000000000000", "0000000000000000"},
        {"ffffffffffffff", "fefefefefefefefe"},
        {"80000000000000", "8000000000000000"},  // top bit stays on top
        {"01000000000000", "0080000000000000"},  // low bit of k0 leads d1
        {"00000000000001", "0000000000000002"},  // last bit fills bit 1 of d7
        {"aaaaaaaaaaaaaa", "aa54aa54aa54aa54"},
    };
    for (const Case &c : cases) {
        Bytes in = from_hex(c.in);
        uint8_t out[8];
        ks::des_expand_key(in.data(), out);
        EXPECT_EQ(kstest::to_hex(out, 8), c.out) << c.in;
    }
}

// Triple DES is E(k1), D(k2), E(k3) of single DES with the three thirds.
TEST_F(CipherTest, TripleDesComposesSingleDes) {
    Bytes k1 = pattern(7, 1), k2 = pattern(7, 2), k3 = pattern(7, 3);
    store_secret("k1", k1);
    store_secret("k2", k2);
    store_secret("k3", k3);
    store_secret("ede", concat({k1, k2, k3}));
    store_secret("same", concat({k1, k1, k1}));
    Bytes plain = pattern(24, 7);

    Bytes a(24), b(24), c(24), ede(24);
    ASSERT_EQ(ks_des_ecb_encrypt("k1", plain.data(), 24, a.data(), 24), KS_SUCCESS);
    ASSERT_EQ(ks_des_ecb_decrypt("k2", a.data(), 24, b.data(), 24), KS_SUCCESS);
    ASSERT_EQ(ks_des_ecb_encrypt("k3", b.data(), 24, c.data(), 24), KS_SUCCESS);
    ASSERT_EQ(ks_3des_ecb_encrypt("ede", plain.data(), 24, ede.data(), 24), KS_SUCCESS);
    EXPECT_EQ(ede, c);

    Bytes back(24);
    ASSERT_EQ(ks_3des_ecb_decrypt("ede", ede.data(), 24, back.data(), 24), KS_SUCCESS);
    EXPECT_EQ(back, plain);

    Bytes same(24);
    ASSERT_EQ(ks_3des_ecb_encrypt("same", plain.data(), 24, same.data(), 24), KS_SUCCESS);
    EXPECT_EQ(same, a);

    Bytes in_place = plain;
    ASSERT_EQ(ks_3des_ecb_encrypt("ede", in_place.data(), 24, in_place.data(), 24), KS_SUCCESS);
    EXPECT_EQ(in_place, ede);
}

// ---- Stored-key CBC -------------------------------------------------------

TEST_F(CipherTest, CbcIsEpaChainingNotStandardCbc) {
    for (size_t key_len : {16u, 24u, 32u}) {
        SCOPED_TRACE(key_len);
        Bytes key = pattern(key_len, 5);
        store_secret("cbc", key);
        Bytes block = pattern(16, 8), iv(16, 0), out(16);
        ASSERT_EQ(ks_aes_cbc_encrypt("cbc", iv.data(), block.data(), 16, out.data()), KS_SUCCESS);

        AES_KEY k;
        AES_set_encrypt_key(key.data(), static_cast<int>(key_len * 8), &k);
        Bytes swapped = swap_groups(block.data());
        uint8_t e[16];
        AES_encrypt(swapped.data(), e, &k);
        EXPECT_EQ(out, swap_groups(e));
        EXPECT_EQ(iv, out);

        Bytes ecb(16);
        ASSERT_EQ(ks_aes_encrypt("cbc", block.data(), ecb.data(), 16), KS_SUCCESS);
        AES_encrypt(block.data(), e, &k);
        EXPECT_EQ(ecb, Bytes(e, e + 16));
        EXPECT_NE(ecb, out);
    }
}

TEST_F(CipherTest, CbcStreamsAcrossCallsAndRoundTrips) {
    store_secret("cbc", pattern(32, 3));
    const Bytes plain = pattern(48, 1), iv = pattern(16, 2);
    Bytes whole(48), whole_iv = iv;
    ASSERT_EQ(ks_aes_cbc_encrypt("cbc", whole_iv.data(), plain.data(), 48, whole.data()), KS_SUCCESS);

    Bytes split(48), split_iv = iv;
    ASSERT_EQ(ks_aes_cbc_encrypt("cbc", split_iv.data(), plain.data(), 16, split.data()), KS_SUCCESS);
    ASSERT_EQ(ks_aes_cbc_encrypt("cbc", split_iv.data(), plain.data() + 16, 32, split.data() + 16), KS_SUCCESS);
    EXPECT_EQ(split, whole);
    EXPECT_EQ(split_iv, whole_iv);

    Bytes back = whole, back_iv = iv;  // in place, in two calls
    ASSERT_EQ(ks_aes_cbc_decrypt("cbc", back_iv.data(), back.data(), 32, back.data()), KS_SUCCESS);
    ASSERT_EQ(ks_aes_cbc_decrypt("cbc", back_iv.data(), back.data() + 32, 16, back.data() + 32), KS_SUCCESS);
    EXPECT_EQ(back, plain);
    EXPECT_EQ(back_iv, whole_iv);
}

// ---- Stored key checks ----------------------------------------------------

using Front = std::function<int32_t(const char *name, uint8_t *out)>;

struct NamedFront {
    const char *label;
    Front call;
};

// Every front over valid buffers: 16 bytes of input and output, a fresh IV.
std::vector<NamedFront> all_fronts() {
    static Bytes in = pattern(16, 6);
    static Bytes iv(16);
    return {
        {"aes_encrypt", [](const char *n, uint8_t *o) { return ks_aes_encrypt(n, in.data(), o, 16); }},
        {"aes_decrypt", [](const char *n, uint8_t *o) { return ks_aes_decrypt(n, in.data(), o, 16); }},
        {"aes_cbc_encrypt", [](const char *n, uint8_t *o) { return ks_aes_cbc_encrypt(n, iv.data(), in.data(), 16, o); }},
        {"aes_cbc_decrypt", [](const char *n, uint8_t *o) { return ks_aes_cbc_decrypt(n, iv.data(), in.data(), 16, o); }},
        {"des_encrypt", [](const char *n, uint8_t *o) { return ks_des_ecb_encrypt(n, in.data(), 16, o, 16); }},
        {"des_decrypt", [](const char *n, uint8_t *o) { return ks_des_ecb_decrypt(n, in.data(), 16, o, 16); }},
        {"3des_encrypt", [](const char *n, uint8_t *o) { return ks_3des_ecb_encrypt(n, in.data(), 16, o, 16); }},
        {"3des_decrypt", [](const char *n, uint8_t *o) { return ks_3des_ecb_decrypt(n, in.data(), 16, o, 16); }},
    };
}

bool is_aes(const char *label) { return std::strncmp(label, "aes", 3) == 0; }
bool is_des(const char *label) { return std::strncmp(label, "des", 3) == 0; }

TEST_F(CipherTest, StoredLengthsEachCipherAccepts) {
    struct Case {
        size_t len;
        bool aes, des, des3;
    };
    const Case cases[] = {
        {16, true, false, false}, {24, true, false, false}, {32, true, false, false}, {7, false, true, false},
        {21, false, false, true}, {20, false, false, false}, {8, false, false, false}, {15, false, false, false},
        {33, false, false, false}, {1, false, false, false},
    };
    for (const Case &c : cases) {
        store_secret("k", pattern(c.len, 2));
        for (const NamedFront &f : all_fronts()) {
            bool ok = is_aes(f.label) ? c.aes : is_des(f.label) ? c.des : c.des3;
            Bytes out(16, 0xEE);
            int32_t status = f.call("k", out.data());
            EXPECT_EQ(status, ok ? KS_SUCCESS : KS_BAD_KEY) << f.label << " with " << c.len << " bytes";
            if (!ok) {
                EXPECT_EQ(out, Bytes(16, 0xEE)) << f.label;
            }
        }
    }
}

TEST_F(CipherTest, MissingKeyAndOtherKeyTypes) {
    // The same name under the PAC key type is another key.
    Bytes pac_handle{KS_KEY_TYPE_PAC, 'k'};
    Bytes value = pattern(16, 1);
    ASSERT_EQ(ks_sw_store_sym_key(pac_handle.data(), 2, nullptr, 0, value.data(), 16, nullptr, 0), KS_SUCCESS);
    for (const NamedFront &f : all_fronts()) {
        Bytes out(16, 0xEE);
        EXPECT_EQ(f.call("k", out.data()), KS_RECORD_NOT_FOUND) << f.label;
        EXPECT_EQ(out, Bytes(16, 0xEE)) << f.label;
    }
    ks_sw_delete_key(pac_handle.data(), 2);
}

TEST_F(CipherTest, AesEmptyLengthStillFindsAndChecksKey) {
    Bytes in(16), out(16, 0xEE);
    EXPECT_EQ(ks_aes_encrypt("none", in.data(), out.data(), 0), KS_RECORD_NOT_FOUND);
    store_secret("short", pattern(20, 1));
    EXPECT_EQ(ks_aes_decrypt("short", in.data(), out.data(), 0), KS_BAD_KEY);
    store_secret("good", pattern(16, 1));
    EXPECT_EQ(ks_aes_encrypt("good", in.data(), out.data(), 0), KS_SUCCESS);
    EXPECT_EQ(out, Bytes(16, 0xEE));
}

// ---- Check order ----------------------------------------------------------

TEST_F(CipherTest, NameBoundsOnEveryFront) {
    const std::string n31(31, 'n'), n32(32, 'n');
    for (const NamedFront &f : all_fronts()) {
        Bytes out(16, 0xEE);
        EXPECT_EQ(f.call(nullptr, out.data()), KS_INVAL_ARGS) << f.label;
        EXPECT_EQ(f.call("", out.data()), KS_INVAL_ARGS) << f.label;
        EXPECT_EQ(f.call(n32.c_str(), out.data()), KS_INVAL_ARGS) << f.label;
        EXPECT_EQ(f.call(n31.c_str(), out.data()), KS_RECORD_NOT_FOUND) << f.label;  // accepted, not stored
        EXPECT_EQ(out, Bytes(16, 0xEE)) << f.label;
    }
    // A 31-byte name reaches its key.
    store_secret(n31, pattern(16, 4));
    Bytes in = pattern(16, 6), out(16);
    EXPECT_EQ(ks_aes_encrypt(n31.c_str(), in.data(), out.data(), 16), KS_SUCCESS);
}

TEST_F(CipherTest, BufferAndLengthChecks) {
    store_secret("aes", pattern(16, 1));
    store_secret("des", pattern(7, 1));
    store_secret("des3", pattern(21, 1));
    Bytes in(64), out(64), iv(16);
    uint8_t *o = out.data();
    const uint8_t *i = in.data();
    struct Case {
        const char *label;
        std::function<int32_t()> call;
        int32_t want;
    };
    const Case cases[] = {
        {"aes null in", [&] { return ks_aes_encrypt("aes", nullptr, o, 16); }, KS_INVAL_ARGS},
        {"aes null out", [&] { return ks_aes_decrypt("aes", i, nullptr, 16); }, KS_INVAL_ARGS},
        {"aes len 15", [&] { return ks_aes_encrypt("aes", i, o, 15); }, KS_INVAL_ARGS},
        {"aes len 24", [&] { return ks_aes_decrypt("aes", i, o, 24); }, KS_INVAL_ARGS},
        {"aes len 32", [&] { return ks_aes_encrypt("aes", i, o, 32); }, KS_SUCCESS},
        {"cbc null iv", [&] { return ks_aes_cbc_encrypt("aes", nullptr, i, 16, o); }, KS_INVAL_ARGS},
        {"cbc null in", [&] { return ks_aes_cbc_decrypt("aes", iv.data(), nullptr, 16, o); }, KS_INVAL_ARGS},
        {"cbc null out", [&] { return ks_aes_cbc_encrypt("aes", iv.data(), i, 16, nullptr); }, KS_INVAL_ARGS},
        {"cbc len 0", [&] { return ks_aes_cbc_encrypt("aes", iv.data(), i, 0, o); }, KS_INVAL_ARGS},
        {"cbc len 8", [&] { return ks_aes_cbc_decrypt("aes", iv.data(), i, 8, o); }, KS_INVAL_ARGS},
        {"cbc len 48", [&] { return ks_aes_cbc_decrypt("aes", iv.data(), i, 48, o); }, KS_SUCCESS},
        {"des null in", [&] { return ks_des_ecb_encrypt("des", nullptr, 8, o, 8); }, KS_INVAL_ARGS},
        {"des null out", [&] { return ks_des_ecb_decrypt("des", i, 8, nullptr, 8); }, KS_INVAL_ARGS},
        {"des len 0", [&] { return ks_des_ecb_encrypt("des", i, 0, o, 0); }, KS_INVAL_ARGS},
        {"des len 12", [&] { return ks_des_ecb_encrypt("des", i, 12, o, 12); }, KS_INVAL_ARGS},
        {"des 16 to 24", [&] { return ks_des_ecb_encrypt("des", i, 16, o, 24); }, KS_INVAL_ARGS},
        {"des 65535", [&] { return ks_des_ecb_decrypt("des", i, 0xFFFF, o, 0xFFFF); }, KS_INVAL_ARGS},
        {"des len 64", [&] { return ks_des_ecb_decrypt("des", i, 64, o, 64); }, KS_SUCCESS},
        {"3des 24 to 16", [&] { return ks_3des_ecb_encrypt("des3", i, 24, o, 16); }, KS_INVAL_ARGS},
        {"3des len 4", [&] { return ks_3des_ecb_decrypt("des3", i, 4, o, 4); }, KS_INVAL_ARGS},
        {"3des null in", [&] { return ks_3des_ecb_decrypt("des3", nullptr, 8, o, 8); }, KS_INVAL_ARGS},
        {"3des len 8", [&] { return ks_3des_ecb_encrypt("des3", i, 8, o, 8); }, KS_SUCCESS},
    };
    for (const Case &c : cases) {
        std::fill(out.begin(), out.end(), 0xEE);
        std::fill(iv.begin(), iv.end(), 0x11);
        EXPECT_EQ(c.call(), c.want) << c.label;
        if (c.want != KS_SUCCESS) {
            EXPECT_EQ(out, Bytes(64, 0xEE)) << c.label;
            EXPECT_EQ(iv, Bytes(16, 0x11)) << c.label;
        }
    }
}

// Standby refuses before any argument check; argument faults come before
// the backend, whichever backend is selected.
TEST_F(CipherTest, StandbyFirstThenArgumentsThenBackend) {
    for (const NamedFront &f : all_fronts()) {
        Bytes out(16, 0xEE);
        ks_is_standby = 1;
        EXPECT_EQ(f.call("", out.data()), KS_STDBY_NOT_SUPPORTED) << f.label;
        EXPECT_EQ(f.call("missing", out.data()), KS_STDBY_NOT_SUPPORTED) << f.label;
        ks_is_standby = 0;
        ks_use_sw_ks = 0;
        ks::hw_present_answer = 0;
        EXPECT_EQ(f.call("", out.data()), KS_INVAL_ARGS) << f.label;
        EXPECT_EQ(ksh_message_count(), 0u) << f.label;
        ks_use_sw_ks = 1;
        ks::hw_present_answer = 1;
        EXPECT_EQ(out, Bytes(16, 0xEE)) << f.label;
    }
}

// ---- Hardware keystore selected -------------------------------------------

TEST_F(CipherTest, HardwareAbsentGivesNoKeystoreWithMessage) {
    store_secret("k", pattern(16, 1));
    ks_use_sw_ks = 0;
    ks::hw_present_answer = 0;
    size_t n = 0;
    for (const NamedFront &f : all_fronts()) {
        Bytes out(16, 0xEE);
        EXPECT_EQ(f.call("k", out.data()), KS_NO_KEYSTORE) << f.label;
        ++n;
        ASSERT_EQ(ksh_message_count(), n) << f.label;
        EXPECT_EQ(ksh_message_at(n - 1), static_cast<const void *>(&msg_KEYSTORE_NO_KEYSTORE)) << f.label;
        EXPECT_EQ(out, Bytes(16, 0xEE)) << f.label;
    }
}

TEST_F(CipherTest, HardwarePresentAnswersOrRefusesDesDecrypt) {
    ks_use_sw_ks = 0;
    const std::map<std::string, int32_t> want = {
        {"aes_encrypt", KS_SUCCESS},     {"aes_decrypt", KS_SUCCESS},      {"aes_cbc_encrypt", KS_SUCCESS},
        {"aes_cbc_decrypt", KS_SUCCESS}, {"des_encrypt", KS_SUCCESS},      {"des_decrypt", KS_UNKNOWN_FAILURE},
        {"3des_encrypt", KS_SUCCESS},    {"3des_decrypt", KS_UNKNOWN_FAILURE},
    };
    for (const NamedFront &f : all_fronts()) {
        Bytes out(16, 0xEE);
        EXPECT_EQ(f.call("not-stored-anywhere", out.data()), want.at(f.label)) << f.label;
    }
    EXPECT_EQ(ksh_message_count(), 0u);
}

// ---- Allocations -----------------------------------------------------------

// The AES key is copied only when its stored bytes are not on a 4-byte
// boundary; names of lengths 3 and 4 put the value at two offsets one apart.
TEST_F(CipherTest, UnalignedAesKeyIsCopiedWithItsTag) {
    Bytes key = pattern(16, 1);
    store_secret("abc", key);
    store_secret("abcd", key);
    struct Op {
        const char *label;
        uint32_t tag;
        std::function<int32_t(const char *, uint8_t *)> call;
    };
    Bytes in = pattern(32, 2), iv(16);
    const Op ops[] = {
        {"ecb", kTagAesCopy, [&](const char *n, uint8_t *o) { return ks_aes_encrypt(n, in.data(), o, 32); }},
        {"cbc", kTagAesCbcCopy,
         [&](const char *n, uint8_t *o) { return ks_aes_cbc_encrypt(n, iv.data(), in.data(), 32, o); }},
    };
    int unaligned = 0;
    for (const char *name : {"abc", "abcd"}) {
        bool aligned = reinterpret_cast<uintptr_t>(kstest::stored_value(name)) % 4 == 0;
        unaligned += aligned ? 0 : 1;
        for (const Op &op : ops) {
            SCOPED_TRACE(testing::Message() << op.label << " " << name);
            Bytes out(32, 0xEE);
            ksh_alloc_fail_tag(op.tag);
            EXPECT_EQ(op.call(name, out.data()), aligned ? KS_SUCCESS : KS_NO_MEMORY);
            ksh_alloc_clear_faults();
            if (!aligned) {
                EXPECT_EQ(out, Bytes(32, 0xEE));
            }
            EXPECT_EQ(ksh_alloc_tag_live_blocks(op.tag), 0u);
        }
    }
    EXPECT_EQ(unaligned, 1);

    // Aligned or copied, the key gives the same cipher text.
    Bytes a(32), b(32);
    ASSERT_EQ(ks_aes_encrypt("abc", in.data(), a.data(), 32), KS_SUCCESS);
    ASSERT_EQ(ks_aes_encrypt("abcd", in.data(), b.data(), 32), KS_SUCCESS);
    EXPECT_EQ(a, b);
}

TEST_F(CipherTest, EveryAllocationFailureLeavesOutputUntouched) {
    store_secret("abc", pattern(16, 1));
    store_secret("abcd", pattern(32, 1));
    store_secret("des", pattern(7, 1));
    store_secret("des3", pattern(21, 1));
    Bytes in = pattern(32, 3);
    struct Op {
        const char *label;
        std::function<int32_t(uint8_t *out, uint8_t *iv)> call;
        int min_allocations;
    };
    const Op ops[] = {
        {"ecb abc", [&](uint8_t *o, uint8_t *) { return ks_aes_encrypt("abc", in.data(), o, 32); }, 0},
        {"ecb abcd", [&](uint8_t *o, uint8_t *) { return ks_aes_decrypt("abcd", in.data(), o, 32); }, 0},
        {"cbc abc", [&](uint8_t *o, uint8_t *iv) { return ks_aes_cbc_encrypt("abc", iv, in.data(), 32, o); }, 0},
        {"cbc abcd", [&](uint8_t *o, uint8_t *iv) { return ks_aes_cbc_decrypt("abcd", iv, in.data(), 32, o); }, 0},
        {"des", [&](uint8_t *o, uint8_t *) { return ks_des_ecb_encrypt("des", in.data(), 32, o, 32); }, 1},
        {"3des", [&](uint8_t *o, uint8_t *) { return ks_3des_ecb_decrypt("des3", in.data(), 32, o, 32); }, 1},
    };
    int aes_copies = 0;
    for (const Op &op : ops) {
        SCOPED_TRACE(op.label);
        int n = kstest::fail_each_allocation([&] {
            Bytes out(32, 0xEE), iv(16, 0x11);
            int32_t status = op.call(out.data(), iv.data());
            if (status != KS_SUCCESS) {
                EXPECT_EQ(out, Bytes(32, 0xEE));
                EXPECT_EQ(iv, Bytes(16, 0x11));
            }
            return status;
        });
        EXPECT_GE(n, op.min_allocations);
        EXPECT_LE(n, 1);
        if (op.min_allocations == 0) aes_copies += n;
    }
    EXPECT_EQ(aes_copies, 2);  // one of the two names is unaligned, for ECB and for CBC
    for (uint32_t tag : {kTagAesCopy, kTagAesCbcCopy, kTagDesKey, kTag3DesKeys}) {
        EXPECT_EQ(ksh_alloc_tag_live_blocks(tag), 0u) << std::hex << tag;
    }
}

TEST_F(CipherTest, KeyMaterialIsCleansedBeforeRelease) {
    store_secret("abc", pattern(16, 1));
    store_secret("abcd", pattern(16, 1));
    store_secret("des", pattern(7, 1));
    store_secret("des3", pattern(21, 1));
    Bytes in = pattern(16, 3), out(16), iv(16);
    ksh_alloc_check_cleansed(1);
    uint64_t before = ksh_alloc_uncleansed_frees();
    for (const char *name : {"abc", "abcd"}) {
        EXPECT_EQ(ks_aes_encrypt(name, in.data(), out.data(), 16), KS_SUCCESS);
        EXPECT_EQ(ks_aes_cbc_encrypt(name, iv.data(), in.data(), 16, out.data()), KS_SUCCESS);
    }
    EXPECT_EQ(ks_des_ecb_encrypt("des", in.data(), 16, out.data(), 16), KS_SUCCESS);
    EXPECT_EQ(ks_3des_ecb_encrypt("des3", in.data(), 16, out.data(), 16), KS_SUCCESS);
    EXPECT_EQ(ksh_alloc_uncleansed_frees(), before) << std::hex << ksh_alloc_last_uncleansed_tag();
    ksh_alloc_check_cleansed(0);
}

}  // namespace
