// EPA block chaining: the 4-byte-group swap around the AES block function,
// chaining across calls, in-place use and the accepted modes.
#include <gtest/gtest.h>

#include <openssl/aes.h>

#include <cstring>
#include <vector>

#include "keystore/ks_epa.h"
#include "ks_test_util.h"
#include "ks_vectors.h"

namespace {

using kstest::from_hex;
using Bytes = std::vector<uint8_t>;

Bytes swap_groups(const uint8_t *b) {
    Bytes s(16);
    for (int i = 0; i < 16; ++i) s[i] = b[(i & ~3) + 3 - (i & 3)];
    return s;
}

// Reference for one stream: CBC where each AES step sees the swapped block.
Bytes reference_encrypt(const AES_KEY &key, const Bytes &plain, Bytes chain) {
    Bytes out(plain.size());
    for (size_t off = 0; off < plain.size(); off += 16) {
        uint8_t t[16];
        for (int i = 0; i < 16; ++i) t[i] = plain[off + i] ^ chain[i];
        Bytes s = swap_groups(t);
        uint8_t e[16];
        AES_encrypt(s.data(), e, &key);
        chain = swap_groups(e);
        std::memcpy(out.data() + off, chain.data(), 16);
    }
    return out;
}

struct Keys {
    AES_KEY enc, dec;
    explicit Keys(const Bytes &k) {
        AES_set_encrypt_key(k.data(), static_cast<int>(k.size() * 8), &enc);
        AES_set_decrypt_key(k.data(), static_cast<int>(k.size() * 8), &dec);
    }
};

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + 7 * i);
    return b;
}

class EpaTest : public kstest::KeystoreTest {};

// One block from a zero chaining value is swap(AES(swap(block))): checked
// against the FIPS-197 answers, which it must not equal.
TEST_F(EpaTest, OneBlockIsSwappedAesNotStandardCbc) {
    for (const auto &v : kstest::read_vectors("aes.txt")) {
        SCOPED_TRACE(v.at("Key"));
        Keys keys(from_hex(v.at("Key")));
        Bytes plain = from_hex(v.at("Plaintext"));
        Bytes chain(16, 0), out(16);
        epa_encrypt(28, &keys.enc, plain.data(), out.data(), chain.data(), 16);

        Bytes swapped = swap_groups(plain.data());
        uint8_t e[16];
        AES_encrypt(swapped.data(), e, &keys.enc);
        EXPECT_EQ(out, swap_groups(e));
        EXPECT_NE(out, from_hex(v.at("Ciphertext")));
        EXPECT_EQ(chain, out);
    }
}

TEST_F(EpaTest, RoundTripEveryKeyLengthSeparateAndInPlace) {
    for (size_t key_len : {16u, 24u, 32u}) {
        SCOPED_TRACE(key_len);
        Keys keys(pattern(key_len, 0x31));
        const Bytes plain = pattern(80, 0x05), iv = pattern(16, 0xA0);

        Bytes enc_chain = iv, cipher(plain.size());
        epa_encrypt(29, &keys.enc, plain.data(), cipher.data(), enc_chain.data(), 80);
        EXPECT_EQ(cipher, reference_encrypt(keys.enc, plain, iv));

        Bytes in_place = plain, in_place_chain = iv;
        epa_encrypt(30, &keys.enc, in_place.data(), in_place.data(), in_place_chain.data(), 80);
        EXPECT_EQ(in_place, cipher);

        Bytes dec_chain = iv, back(plain.size());
        epa_decrypt(28, &keys.dec, cipher.data(), back.data(), dec_chain.data(), 80);
        EXPECT_EQ(back, plain);
        EXPECT_EQ(dec_chain, enc_chain);
        EXPECT_EQ(Bytes(enc_chain), Bytes(cipher.end() - 16, cipher.end()));

        Bytes dec_in_place = cipher, dec_in_place_chain = iv;
        epa_decrypt(28, &keys.dec, dec_in_place.data(), dec_in_place.data(), dec_in_place_chain.data(), 80);
        EXPECT_EQ(dec_in_place, plain);
    }
}

TEST_F(EpaTest, TwoCallsContinueOneStream) {
    Keys keys(pattern(16, 0x77));
    const Bytes plain = pattern(64, 0x11), iv = pattern(16, 0x42);
    Bytes whole(64), whole_chain = iv;
    epa_encrypt(28, &keys.enc, plain.data(), whole.data(), whole_chain.data(), 64);

    Bytes split(64), split_chain = iv;
    epa_encrypt(28, &keys.enc, plain.data(), split.data(), split_chain.data(), 32);
    epa_encrypt(28, &keys.enc, plain.data() + 32, split.data() + 32, split_chain.data(), 32);
    EXPECT_EQ(split, whole);
    EXPECT_EQ(split_chain, whole_chain);

    Bytes back(64), back_chain = iv;
    epa_decrypt(28, &keys.dec, whole.data(), back.data(), back_chain.data(), 32);
    epa_decrypt(28, &keys.dec, whole.data() + 32, back.data() + 32, back_chain.data(), 32);
    EXPECT_EQ(back, plain);
    EXPECT_EQ(back_chain, whole_chain);
}

TEST_F(EpaTest, RejectedModesAndEmptyLengthsTouchNothing) {
    Keys keys(pattern(16, 0x01));
    const Bytes plain = pattern(32, 0x09), iv = pattern(16, 0x33);
    struct Case {
        uint32_t mode;
        int32_t len;
    };
    const Case cases[] = {{27, 32}, {31, 32}, {0, 32}, {0xFFFFFFFFu, 32}, {28, 0}, {28, -16}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " len " << c.len);
        for (bool decrypt : {false, true}) {
            Bytes out(32, 0xEE), chain = iv;
            if (decrypt) {
                epa_decrypt(c.mode, &keys.dec, plain.data(), out.data(), chain.data(), c.len);
            } else {
                epa_encrypt(c.mode, &keys.enc, plain.data(), out.data(), chain.data(), c.len);
            }
            EXPECT_EQ(out, Bytes(32, 0xEE));
            EXPECT_EQ(chain, iv);
        }
    }
}

// A length that is not a multiple of 16 is taken as the next whole block.
TEST_F(EpaTest, PartialLengthRoundsUpToWholeBlock) {
    Keys keys(pattern(32, 0x5A));
    const Bytes plain = pattern(32, 0x21), iv(16, 0);
    Bytes full(32), full_chain = iv;
    epa_encrypt(28, &keys.enc, plain.data(), full.data(), full_chain.data(), 32);
    Bytes part(32), part_chain = iv;
    epa_encrypt(28, &keys.enc, plain.data(), part.data(), part_chain.data(), 17);
    EXPECT_EQ(part, full);
    EXPECT_EQ(part_chain, full_chain);
}

TEST_F(EpaTest, Rc4EntryPointsDoNothing) {
    uint64_t calls = ksh_alloc_calls();
    A_RC4Init();
    EXPECT_EQ(A_RC4Update(), 0);
    EXPECT_EQ(ksh_alloc_calls(), calls);
}

}  // namespace
