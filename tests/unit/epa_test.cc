// EPA block chaining: the 4-byte-group swap around the AES block function,
// chaining within and across calls, in-place use and the accepted modes.
#include <gtest/gtest.h>

#include <openssl/aes.h>

#include <vector>

#include "keystore/ks_epa.h"
#include "ks_crypto_test_util.h"
#include "ks_test_util.h"
#include "ks_vectors.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kstest::pattern;

struct Keys {
    AES_KEY enc, dec;
    explicit Keys(const Bytes &k) {
        AES_set_encrypt_key(k.data(), static_cast<int>(k.size() * 8), &enc);
        AES_set_decrypt_key(k.data(), static_cast<int>(k.size() * 8), &dec);
    }
};

class EpaTest : public kstest::KeystoreTest {};

// From a zero chaining value one block is swap(AES(swap(block))), which is
// not the standard cipher text; the next block chains on the previous output.
TEST_F(EpaTest, SwappedAesChainedOnThePreviousBlock) {
    for (const auto &v : kstest::read_vectors("aes.txt")) {
        SCOPED_TRACE(v.at("Key"));
        Bytes key = kstest::from_hex(v.at("Key")), plain = kstest::from_hex(v.at("Plaintext"));
        Keys keys(key);
        plain.insert(plain.end(), plain.begin(), plain.end());  // the same block twice
        Bytes chain(16, 0), out(32);
        epa_encrypt(28, &keys.enc, plain.data(), out.data(), chain.data(), 32);
        Bytes first(out.begin(), out.begin() + 16), second(out.begin() + 16, out.end());
        EXPECT_EQ(first, kstest::swapped_aes_step(key, plain.data(), Bytes(16).data()));
        EXPECT_NE(first, kstest::from_hex(v.at("Ciphertext")));
        EXPECT_EQ(second, kstest::swapped_aes_step(key, plain.data() + 16, first.data()));
        EXPECT_EQ(chain, second);
    }
}

// Two calls continue one stream, in place or not, every mode and key length;
// decryption inverts it; a partial length is taken as the next whole block.
TEST_F(EpaTest, RoundTripsAndStreamsAcrossCalls) {
    for (size_t key_len : {16u, 24u, 32u}) {
        SCOPED_TRACE(key_len);
        Keys keys(pattern(key_len, 0x31));
        const Bytes plain = pattern(80, 0x05), iv = pattern(16, 0xA0);
        Bytes whole(80), whole_chain = iv, split = plain, split_chain = iv, back(80), back_chain = iv;
        epa_encrypt(29, &keys.enc, plain.data(), whole.data(), whole_chain.data(), 80);
        epa_encrypt(30, &keys.enc, split.data(), split.data(), split_chain.data(), 32);
        epa_encrypt(28, &keys.enc, split.data() + 32, split.data() + 32, split_chain.data(), 48);
        EXPECT_EQ(split, whole);
        EXPECT_EQ(split_chain, whole_chain);
        epa_decrypt(28, &keys.dec, whole.data(), back.data(), back_chain.data(), 32);
        epa_decrypt(29, &keys.dec, whole.data() + 32, back.data() + 32, back_chain.data(), 48);
        EXPECT_EQ(back, plain);
        EXPECT_EQ(back_chain, whole_chain);
        Bytes in_place = whole, chain = iv, part(32);
        epa_decrypt(30, &keys.dec, in_place.data(), in_place.data(), chain.data(), 80);
        EXPECT_EQ(in_place, plain);
        epa_encrypt(28, &keys.enc, plain.data(), part.data(), (chain = iv).data(), 17);
        EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin()));
    }
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
