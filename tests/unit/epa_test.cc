// EPA block chaining: the 4-byte-group swap around the AES block function,
// chaining within and across calls, in-place use and the accepted modes.
#include <gtest/gtest.h>

#include <openssl/aes.h>

#include <cstring>
#include <vector>

#include "keystore/ks_epa.h"
#include "ks_test_util.h"
#include "ks_vectors.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes swap_groups(const uint8_t *b) {
    Bytes s(16);
    for (int i = 0; i < 16; ++i) s[i] = b[(i & ~3) + 3 - (i & 3)];
    return s;
}

// One chained step: swap(AES(swap(block XOR chain))).
Bytes reference_step(const AES_KEY &key, const uint8_t *block, const uint8_t *chain) {
    uint8_t t[16], e[16];
    for (int i = 0; i < 16; ++i) t[i] = block[i] ^ chain[i];
    AES_encrypt(swap_groups(t).data(), e, &key);
    return swap_groups(e);
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + 7 * i);
    return b;
}

struct Keys {
    AES_KEY enc, dec;
    explicit Keys(const Bytes &k) {
        AES_set_encrypt_key(k.data(), static_cast<int>(k.size() * 8), &enc);
        AES_set_decrypt_key(k.data(), static_cast<int>(k.size() * 8), &dec);
    }
};

class EpaTest : public kstest::KeystoreTest {};

// From a zero chaining value one block is swap(AES(swap(block))), which is
// not the standard cipher text; later blocks chain on the previous output.
TEST_F(EpaTest, SwappedAesChainedOnThePreviousBlock) {
    for (const auto &v : kstest::read_vectors("aes.txt")) {
        SCOPED_TRACE(v.at("Key"));
        Keys keys(kstest::from_hex(v.at("Key")));
        Bytes plain = kstest::from_hex(v.at("Plaintext"));
        plain.insert(plain.end(), plain.begin(), plain.end());  // the same block twice
        Bytes chain(16, 0), out(32);
        epa_encrypt(28, &keys.enc, plain.data(), out.data(), chain.data(), 32);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 16), reference_step(keys.enc, plain.data(), Bytes(16).data()));
        EXPECT_NE(Bytes(out.begin(), out.begin() + 16), kstest::from_hex(v.at("Ciphertext")));
        EXPECT_EQ(Bytes(out.begin() + 16, out.end()), reference_step(keys.enc, plain.data() + 16, out.data()));
        EXPECT_EQ(chain, Bytes(out.begin() + 16, out.end()));
    }
}

TEST_F(EpaTest, RoundTripSeparateAndInPlace) {
    for (size_t key_len : {16u, 24u, 32u}) {
        SCOPED_TRACE(key_len);
        Keys keys(pattern(key_len, 0x31));
        const Bytes plain = pattern(80, 0x05), iv = pattern(16, 0xA0);
        Bytes enc_chain = iv, cipher(80);
        epa_encrypt(29, &keys.enc, plain.data(), cipher.data(), enc_chain.data(), 80);
        Bytes in_place = plain, in_place_chain = iv;
        epa_encrypt(30, &keys.enc, in_place.data(), in_place.data(), in_place_chain.data(), 80);
        EXPECT_EQ(in_place, cipher);

        Bytes dec_chain = iv, back(80);
        epa_decrypt(28, &keys.dec, cipher.data(), back.data(), dec_chain.data(), 80);
        EXPECT_EQ(back, plain);
        EXPECT_EQ(dec_chain, enc_chain);
        Bytes in_place_dec_chain = iv;
        epa_decrypt(28, &keys.dec, in_place.data(), in_place.data(), in_place_dec_chain.data(), 80);
        EXPECT_EQ(in_place, plain);
    }
}

TEST_F(EpaTest, TwoCallsContinueOneStream) {
    Keys keys(pattern(16, 0x77));
    const Bytes plain = pattern(64, 0x11), iv = pattern(16, 0x42);
    Bytes whole(64), whole_chain = iv, split(64), split_chain = iv;
    epa_encrypt(28, &keys.enc, plain.data(), whole.data(), whole_chain.data(), 64);
    epa_encrypt(28, &keys.enc, plain.data(), split.data(), split_chain.data(), 32);
    epa_encrypt(28, &keys.enc, plain.data() + 32, split.data() + 32, split_chain.data(), 32);
    EXPECT_EQ(split, whole);
    EXPECT_EQ(split_chain, whole_chain);

    Bytes back(64), back_chain = iv;
    epa_decrypt(28, &keys.dec, whole.data(), back.data(), back_chain.data(), 32);
    epa_decrypt(28, &keys.dec, whole.data() + 32, back.data() + 32, back_chain.data(), 32);
    EXPECT_EQ(back, plain);
    EXPECT_EQ(back_chain, whole_chain);

    // A partial length is taken as the next whole block.
    Bytes part(64), part_chain = iv;
    epa_encrypt(28, &keys.enc, plain.data(), part.data(), part_chain.data(), 17);
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + 32, whole.begin()));
}

TEST_F(EpaTest, RejectedModesAndEmptyLengthsTouchNothing) {
    Keys keys(pattern(16, 0x01));
    const Bytes plain = pattern(32, 0x09), iv = pattern(16, 0x33);
    const std::pair<uint32_t, int32_t> cases[] = {{27, 32}, {31, 32}, {0, 32}, {0xFFFFFFFFu, 32}, {28, 0}, {30, -16}};
    for (const auto &[mode, len] : cases) {
        Bytes out(32, 0xEE), chain = iv, dchain = iv;
        epa_encrypt(mode, &keys.enc, plain.data(), out.data(), chain.data(), len);
        epa_decrypt(mode, &keys.dec, plain.data(), out.data(), dchain.data(), len);
        EXPECT_EQ(out, Bytes(32, 0xEE)) << mode << " " << len;
        EXPECT_EQ(chain, iv) << mode << " " << len;
        EXPECT_EQ(dchain, iv) << mode << " " << len;
    }
    A_RC4Init();
    EXPECT_EQ(A_RC4Update(), 0);
}

}  // namespace
