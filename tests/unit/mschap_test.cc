// MS-CHAPv2 and MPPE with stored passwords: the RFC 2759 and RFC 3079
// examples, the password-change blocks, check orders, the hardware paths, the
// hashing work buffer and the library's independence from the process's
// default OpenSSL context.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "keystore/ks_cipher.h"
#include "keystore/ks_messages.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_mschap.h"
#include "ks_crypto_test_util.h"
#include "ks_hw_seam.h"
#include "ks_mschap_core.h"
#include "ks_test_util.h"
#include "ks_vectors.h"

namespace {

using kstest::bytes;
using kstest::from_hex;
using kstest::store_secret;
using Bytes = std::vector<uint8_t>;

const kstest::VectorRecord &rfc() {
    static const kstest::VectorRecord v = kstest::read_vectors("mschapv2.txt").at(0);
    return v;
}
Bytes rfc_hex(const char *field) { return from_hex(rfc().at(field)); }

Bytes nt_hash(const Bytes &password) {
    Bytes h(16);
    EXPECT_EQ(ks::nt_password_hash(password.data(), static_cast<uint32_t>(password.size()), h.data()), KS_SUCCESS);
    return h;
}

// RC4 from a context of the test's own: the process's default context must
// stay as the library leaves it.
Bytes rc4(const Bytes &key, const Bytes &data) {
    OSSL_LIB_CTX *ctx = OSSL_LIB_CTX_new();
    OSSL_PROVIDER *legacy = OSSL_PROVIDER_load(ctx, "legacy");
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(ctx, "RC4", nullptr);
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    Bytes out(data.size());
    int n = 0;
    EXPECT_EQ(EVP_DecryptInit_ex2(c, cipher, key.data(), nullptr, nullptr), 1);
    EXPECT_EQ(EVP_DecryptUpdate(c, out.data(), &n, data.data(), static_cast<int>(data.size())), 1);
    EVP_CIPHER_CTX_free(c);
    EVP_CIPHER_free(cipher);
    OSSL_PROVIDER_unload(legacy);
    OSSL_LIB_CTX_free(ctx);
    return out;
}

class MschapTest : public kstest::KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        store_secret("client", bytes(rfc().at("Password")));
    }

    // One valid call per front, named; out_ receives the result.
    std::vector<std::pair<const char *, std::function<int32_t()>>> calls(const char *name) {
        char *text = reinterpret_cast<char *>(out_.data());
        uint8_t *o = out_.data();
        return {
            {"nt", [=, this] { return ks_GenerateNTResponse(name, auth_.data(), peer_.data(), "u", o); }},
            {"auth",
             [=, this] {
                 return ks_GenerateAuthenticatorResponse(name, nt_.data(), peer_.data(), auth_.data(), "u", text);
             }},
            {"newpw", [=, this] { return ks_NewPasswordEncryptedWithOldNtPasswordHash(name, nt_.data(), 8, o); }},
            {"oldhash", [=] { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash(name, name, o); }},
            {"master", [=, this] { return ks_GetMasterKey(name, nt_.data(), o); }},
        };
    }
    bool untouched() const { return out_ == Bytes(KS_PW_BLOCK_LEN + 4, 0xEE); }

    const std::string user_ = rfc().at("UserName");
    const Bytes auth_ = rfc_hex("AuthenticatorChallenge"), peer_ = rfc_hex("PeerChallenge");
    const Bytes nt_ = rfc_hex("NtResponse");
    Bytes out_ = Bytes(KS_PW_BLOCK_LEN + 4, 0xEE);
};

TEST_F(MschapTest, Rfc2759AndRfc3079Examples) {
    Bytes response(24);
    ASSERT_EQ(ks_GenerateNTResponse("client", auth_.data(), peer_.data(), user_.c_str(), response.data()),
              KS_SUCCESS);
    EXPECT_EQ(response, nt_);

    char text[43];
    text[42] = '#';
    ASSERT_EQ(ks_GenerateAuthenticatorResponse("client", nt_.data(), peer_.data(), auth_.data(), user_.c_str(), text),
              KS_SUCCESS);
    EXPECT_EQ(std::string(text, 42), rfc().at("AuthenticatorResponse"));
    EXPECT_EQ(text[42], '#');  // nothing after the 42 characters

    ASSERT_EQ(ks_GetMasterKey("client", nt_.data(), out_.data()), KS_SUCCESS);
    EXPECT_EQ(Bytes(out_.begin(), out_.begin() + 16), rfc_hex("MasterKey"));
    EXPECT_EQ(out_[16], 0xEE);  // exactly 16 bytes

    EXPECT_EQ(nt_hash(bytes(rfc().at("Password"))), rfc_hex("PasswordHash"));
    uint8_t challenge[8];
    ASSERT_EQ(ks::challenge_hash(peer_.data(), auth_.data(), user_.c_str(), challenge), KS_SUCCESS);
    EXPECT_EQ(Bytes(challenge, challenge + 8), rfc_hex("Challenge"));
}

TEST_F(MschapTest, PasswordLengths) {
    EXPECT_EQ(kstest::to_hex(nt_hash({}).data(), 16), "31d6cfe0d16ae931b73c59d7e0c089c0");  // MD4 of nothing
    Bytes long_pw(300);
    for (size_t i = 0; i < long_pw.size(); ++i) long_pw[i] = static_cast<uint8_t>('a' + i % 26);
    store_secret("long", long_pw);
    store_secret("cut", Bytes(long_pw.begin(), long_pw.begin() + 256));
    store_secret("shorter", Bytes(long_pw.begin(), long_pw.begin() + 255));
    store_secret("empty", {});
    auto response = [&](const char *name) {
        Bytes r(24);
        EXPECT_EQ(ks_GenerateNTResponse(name, auth_.data(), peer_.data(), "u", r.data()), KS_SUCCESS) << name;
        return r;
    };
    EXPECT_EQ(response("long"), response("cut"));
    EXPECT_NE(response("cut"), response("shorter"));
    EXPECT_NE(response("empty"), response("client"));
}

TEST_F(MschapTest, NewPasswordBlockDecryptsWithTheOldHash) {
    for (size_t len : {1u, 10u, 256u}) {
        Bytes pw(len);
        for (size_t i = 0; i < len; ++i) pw[i] = static_cast<uint8_t>(0x80 + i);  // zero-extended, not signed
        std::fill(out_.begin(), out_.end(), 0xEE);
        ASSERT_EQ(ks_NewPasswordEncryptedWithOldNtPasswordHash("client", pw.data(), static_cast<uint32_t>(len),
                                                               out_.data()),
                  KS_SUCCESS);
        EXPECT_EQ(Bytes(out_.end() - 4, out_.end()), Bytes(4, 0xEE)) << len;  // 516 bytes, no more
        Bytes plain = rc4(rfc_hex("PasswordHash"), Bytes(out_.begin(), out_.begin() + KS_PW_BLOCK_LEN));
        Bytes utf16;
        for (uint8_t b : pw) utf16.insert(utf16.end(), {b, 0});
        EXPECT_TRUE(std::equal(utf16.begin(), utf16.end(), plain.begin() + 512 - 2 * len)) << len;
        uint32_t field = plain[512] | plain[513] << 8 | plain[514] << 16 | static_cast<uint32_t>(plain[515]) << 24;
        EXPECT_EQ(field, 2 * len);
    }
    // The pad comes from the platform's random source.
    Bytes a(KS_PW_BLOCK_LEN), b(KS_PW_BLOCK_LEN);
    ksh_random_set_seed(7);
    ASSERT_EQ(ks_NewPasswordEncryptedWithOldNtPasswordHash("client", nt_.data(), 8, a.data()), KS_SUCCESS);
    ksh_random_set_seed(8);
    ASSERT_EQ(ks_NewPasswordEncryptedWithOldNtPasswordHash("client", nt_.data(), 8, b.data()), KS_SUCCESS);
    ksh_random_set_seed(0);
    EXPECT_FALSE(std::equal(a.begin(), a.begin() + 496, b.begin()));
    EXPECT_TRUE(std::equal(a.begin() + 496, a.end(), b.begin() + 496));
}

TEST_F(MschapTest, OldHashEncryptedWithNewHash) {
    store_secret("new", bytes("newPassword"));
    auto expected = [](const Bytes &o, const Bytes &n) {
        Bytes e(16);
        EXPECT_EQ(ks::des_encrypt_block(o.data(), n.data(), e.data()), KS_SUCCESS);
        EXPECT_EQ(ks::des_encrypt_block(o.data() + 8, n.data() + 7, e.data() + 8), KS_SUCCESS);
        return e;
    };
    Bytes old_h = nt_hash(bytes("clientPass")), out(16);
    ASSERT_EQ(ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("client", "new", out.data()), KS_SUCCESS);
    EXPECT_EQ(out, expected(old_h, nt_hash(bytes("newPassword"))));
    ASSERT_EQ(ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("client", "client", out.data()), KS_SUCCESS);
    EXPECT_EQ(out, expected(old_h, old_h));
    for (auto [o, n] : {std::pair{"client", "gone"}, std::pair{"gone", "client"}}) {
        EXPECT_EQ(ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash(o, n, out_.data()), KS_RECORD_NOT_FOUND);
    }
    EXPECT_TRUE(untouched());
}

TEST_F(MschapTest, ArgumentChecks) {
    const std::string n31(31, 'x'), n32(32, 'x');
    uint8_t *o = out_.data();
    char *t = reinterpret_cast<char *>(o);
    const uint8_t *a = auth_.data(), *p = peer_.data(), *r = nt_.data();
    const std::pair<const char *, std::function<int32_t()>> refused[] = {
        {"nt out", [&] { return ks_GenerateNTResponse("client", a, p, "u", nullptr); }},
        {"nt user", [&] { return ks_GenerateNTResponse("client", a, p, nullptr, o); }},
        {"nt peer", [&] { return ks_GenerateNTResponse("client", a, nullptr, "u", o); }},
        {"nt auth", [&] { return ks_GenerateNTResponse("client", nullptr, p, "u", o); }},
        {"auth response", [&] { return ks_GenerateAuthenticatorResponse("client", nullptr, p, a, "u", t); }},
        {"auth out", [&] { return ks_GenerateAuthenticatorResponse("client", r, p, a, "u", nullptr); }},
        {"auth user", [&] { return ks_GenerateAuthenticatorResponse("client", r, p, a, nullptr, t); }},
        {"auth peer", [&] { return ks_GenerateAuthenticatorResponse("client", r, nullptr, a, "u", t); }},
        {"auth auth", [&] { return ks_GenerateAuthenticatorResponse("client", r, p, nullptr, "u", t); }},
        {"newpw null", [&] { return ks_NewPasswordEncryptedWithOldNtPasswordHash("client", nullptr, 8, o); }},
        {"newpw 0", [&] { return ks_NewPasswordEncryptedWithOldNtPasswordHash("client", r, 0, o); }},
        {"newpw 257", [&] { return ks_NewPasswordEncryptedWithOldNtPasswordHash("client", o, 257, o); }},
        {"newpw out", [&] { return ks_NewPasswordEncryptedWithOldNtPasswordHash("client", r, 8, nullptr); }},
        {"oldhash out", [&] { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("client", "client", nullptr); }},
        {"oldhash new 32", [&] { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("client", n32.c_str(), o); }},
        {"oldhash old 0", [&] { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("", "client", o); }},
        {"master response", [&] { return ks_GetMasterKey("client", nullptr, o); }},
        {"master out", [&] { return ks_GetMasterKey("client", r, nullptr); }},
    };
    for (const auto &[label, call] : refused) EXPECT_EQ(call(), KS_INVAL_ARGS) << label;
    EXPECT_TRUE(untouched());
    Bytes pw256(256, 'p');
    EXPECT_EQ(ks_NewPasswordEncryptedWithOldNtPasswordHash("client", pw256.data(), 256, o), KS_SUCCESS);

    for (auto [name, want] : {std::pair<const char *, int32_t>{nullptr, KS_INVAL_ARGS}, {"", KS_INVAL_ARGS},
                              {n32.c_str(), KS_INVAL_ARGS}, {n31.c_str(), KS_RECORD_NOT_FOUND}}) {
        std::fill(out_.begin(), out_.end(), 0xEE);
        for (const auto &[label, call] : calls(name)) EXPECT_EQ(call(), want) << label;
        EXPECT_TRUE(untouched());
    }
}

// Standby first, then the arguments, then the backend: absent hardware
// answers NO_KEYSTORE with the message; present hardware the contract's
// status, except the authenticator response, which it does not offer.
TEST_F(MschapTest, CheckOrderAndHardwarePaths) {
    ks_is_standby = 1;
    for (const auto &[label, call] : calls("")) EXPECT_EQ(call(), KS_STDBY_NOT_SUPPORTED) << label;
    ks_is_standby = 0;
    ks_use_sw_ks = 0;
    ks::hw_present_answer = 0;
    for (const auto &[label, call] : calls("")) EXPECT_EQ(call(), KS_INVAL_ARGS) << label;
    EXPECT_EQ(ksh_message_count(), 0u);
    for (const auto &[label, call] : calls("client")) {
        ksh_message_clear();  // the message is throttled: start each call afresh
        EXPECT_EQ(call(), KS_NO_KEYSTORE) << label;
        ASSERT_EQ(ksh_message_count(), 1u) << label;
        EXPECT_EQ(ksh_message_at(0), static_cast<const void *>(&msg_KEYSTORE_NO_KEYSTORE)) << label;
    }
    ks::hw_present_answer = 1;
    ksh_message_clear();
    uint64_t suppressed = ksh_message_suppressed();
    for (const auto &[label, call] : calls("client")) {
        EXPECT_EQ(call(), std::strcmp(label, "auth") == 0 ? KS_NO_KEYSTORE : KS_SUCCESS) << label;
    }
    EXPECT_EQ(ksh_message_count(), 0u);
    EXPECT_EQ(ksh_message_suppressed(), suppressed);
    EXPECT_TRUE(untouched());  // the contract's stubs write nothing
}

// The work buffer is allocated on first use only; when that allocation fails
// every operation answers NO_MEMORY and writes nothing.
TEST_F(MschapTest, WorkBufferAllocatedOnce) {
    for (const auto &[label, call] : calls("client")) {
        ks::nt_password_hash_release();
        int n = kstest::fail_each_allocation([&] {
            std::fill(out_.begin(), out_.end(), 0xEE);
            int32_t status = call();
            if (status != KS_SUCCESS) {
                EXPECT_TRUE(untouched()) << label;
            }
            return status;
        });
        EXPECT_EQ(n, 1) << label;
        EXPECT_EQ(ksh_alloc_tag_live_blocks(ks::kTagNtWorkBuffer), 1u) << label;
        uint64_t allocations = ksh_alloc_calls();
        EXPECT_EQ(call(), KS_SUCCESS) << label;
        EXPECT_EQ(ksh_alloc_calls(), allocations) << label;
    }
}

// MD4, DES and RC4 come from the library's own context: the process's default
// context needs no legacy provider and gains none.
TEST_F(MschapTest, DefaultContextNeedsNoLegacyProviderAndGainsNone) {
    ASSERT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);
    store_secret("des", Bytes(7, 1));
    store_secret("des3", Bytes(21, 2));
    for (const auto &[label, call] : calls("client")) EXPECT_EQ(call(), KS_SUCCESS) << label;
    EXPECT_EQ(ks_des_ecb_encrypt("des", nt_.data(), 24, out_.data(), 24), KS_SUCCESS);
    EXPECT_EQ(ks_3des_ecb_decrypt("des3", nt_.data(), 24, out_.data(), 24), KS_SUCCESS);
    EXPECT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);
    EVP_MD *md4 = EVP_MD_fetch(nullptr, "MD4", nullptr);
    EVP_CIPHER *rc4 = EVP_CIPHER_fetch(nullptr, "RC4", nullptr);
    EXPECT_EQ(md4, nullptr);
    EXPECT_EQ(rc4, nullptr);
    EVP_MD_free(md4);
    EVP_CIPHER_free(rc4);
}

}  // namespace
