// MS-CHAPv2 and MPPE with stored passwords: the RFC 2759 and RFC 3079
// examples, the password-change blocks, check orders, the hardware paths, the
// hashing work buffer and the library's independence from the process's
// default OpenSSL context.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "keystore/ks_cipher.h"
#include "keystore/ks_messages.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_mschap.h"
#include "keystore/platform/ks_platform.h"
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

// A front with its pointer arguments (other than names) in order.
struct Front {
    const char *label;
    std::vector<void *> args;
    std::function<int32_t(const char *name, const std::vector<void *> &)> call;
};

template <typename T = uint8_t>
T *A(const std::vector<void *> &a, size_t i) {
    return static_cast<T *>(a[i]);
}

class MschapTest : public kstest::KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        store_secret("client", bytes(rfc().at("Password")));
    }
    // Every front with valid arguments; out_ receives the result.
    std::vector<Front> fronts() {
        void *o = out_.data(), *a = auth_.data(), *p = peer_.data(), *r = nt_.data(), *u = user_.data();
        return {
            {"nt", {a, p, u, o},
             [](auto n, auto &x) { return ks_GenerateNTResponse(n, A(x, 0), A(x, 1), A<char>(x, 2), A(x, 3)); }},
            {"auth", {r, p, a, u, o},
             [](auto n, auto &x) {
                 return ks_GenerateAuthenticatorResponse(n, A(x, 0), A(x, 1), A(x, 2), A<char>(x, 3), A<char>(x, 4));
             }},
            {"newpw", {r, o}, [](auto n, auto &x) { return ks_NewPasswordEncryptedWithOldNtPasswordHash(n, A(x, 0), 8, A(x, 1)); }},
            {"oldhash", {o}, [](auto n, auto &x) { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash(n, n, A(x, 0)); }},
            {"master", {r, o}, [](auto n, auto &x) { return ks_GetMasterKey(n, A(x, 0), A(x, 1)); }},
        };
    }
    bool untouched() const { return out_ == Bytes(KS_PW_BLOCK_LEN + 4, 0xEE); }

    std::string user_ = rfc().at("UserName");
    Bytes auth_ = rfc_hex("AuthenticatorChallenge"), peer_ = rfc_hex("PeerChallenge"), nt_ = rfc_hex("NtResponse");
    Bytes out_ = Bytes(KS_PW_BLOCK_LEN + 4, 0xEE);
};

TEST_F(MschapTest, Rfc2759AndRfc3079Examples) {
    Bytes response(24);
    ASSERT_EQ(ks_GenerateNTResponse("client", auth_.data(), peer_.data(), user_.c_str(), response.data()), KS_SUCCESS);
    EXPECT_EQ(response, nt_);
    char text[43];
    text[42] = '#';
    ASSERT_EQ(ks_GenerateAuthenticatorResponse("client", nt_.data(), peer_.data(), auth_.data(), user_.c_str(), text),
              KS_SUCCESS);
    EXPECT_EQ(std::string(text, 43), rfc().at("AuthenticatorResponse") + "#");  // nothing after the 42 characters
    ASSERT_EQ(ks_GetMasterKey("client", nt_.data(), out_.data()), KS_SUCCESS);
    EXPECT_EQ(Bytes(out_.begin(), out_.begin() + 16), rfc_hex("MasterKey"));
    EXPECT_EQ(out_[16], 0xEE);  // exactly 16 bytes
    EXPECT_EQ(nt_hash(bytes(rfc().at("Password"))), rfc_hex("PasswordHash"));
    uint8_t challenge[8];
    ASSERT_EQ(ks::challenge_hash(peer_.data(), auth_.data(), user_.c_str(), challenge), KS_SUCCESS);
    EXPECT_EQ(Bytes(challenge, challenge + 8), rfc_hex("Challenge"));
}

// The empty password hashes as MD4 of nothing; only the first 256 bytes of a
// longer one count.
TEST_F(MschapTest, PasswordLengths) {
    EXPECT_EQ(kstest::to_hex(nt_hash({}).data(), 16), "31d6cfe0d16ae931b73c59d7e0c089c0");
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

// RC4 with the old hash turns the 516-byte block back into the new password
// (UTF-16, zero-extended, at the end of 512 bytes) and its byte length; the
// pad before it comes from the platform's random source.
TEST_F(MschapTest, NewPasswordBlockDecryptsWithTheOldHash) {
    for (size_t len : {1u, 10u, 256u}) {
        Bytes pw(len), utf16;
        for (size_t i = 0; i < len; ++i) pw[i] = static_cast<uint8_t>(0x80 + i), utf16.insert(utf16.end(), {pw[i], 0});
        std::fill(out_.begin(), out_.end(), 0xEE);
        ksh_random_set_seed(static_cast<uint32_t>(len));
        ASSERT_EQ(ks_NewPasswordEncryptedWithOldNtPasswordHash("client", pw.data(), uint32_t(len), out_.data()), KS_SUCCESS);
        EXPECT_EQ(Bytes(out_.end() - 4, out_.end()), Bytes(4, 0xEE)) << len;  // 516 bytes, no more
        Bytes plain = rc4(rfc_hex("PasswordHash"), Bytes(out_.begin(), out_.begin() + KS_PW_BLOCK_LEN));
        EXPECT_TRUE(std::equal(utf16.begin(), utf16.end(), plain.begin() + 512 - 2 * len)) << len;
        EXPECT_EQ(Bytes(plain.begin() + 512, plain.end()), Bytes({uint8_t(2 * len), uint8_t(2 * len >> 8), 0, 0}));
        Bytes pad(512 - 2 * len);
        ksh_random_set_seed(static_cast<uint32_t>(len));
        platform_random_fill(pad.data(), pad.size());
        EXPECT_TRUE(std::equal(pad.begin(), pad.end(), plain.begin())) << len;
    }
    ksh_random_set_seed(0);
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
    EXPECT_EQ(ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("client", "gone", out_.data()), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("gone", "client", out_.data()), KS_RECORD_NOT_FOUND);
    EXPECT_TRUE(untouched());
}

// An absent key is not found; arguments are checked before the backend.
// Absent hardware answers NO_KEYSTORE with the message; present hardware the
// contract's status, except the authenticator response, which it does not
// offer.
TEST_F(MschapTest, AbsentKeyAndHardwarePaths) {
    const std::string n31(31, 'x');
    for (const Front &f : fronts()) EXPECT_EQ(f.call(n31.c_str(), f.args), KS_RECORD_NOT_FOUND) << f.label;
    ks_use_sw_ks = 0;
    ks::hw_present_answer = 0;
    for (const Front &f : fronts()) EXPECT_EQ(f.call("", f.args), KS_INVAL_ARGS) << f.label;
    EXPECT_EQ(ksh_message_count(), 0u);
    for (const Front &f : fronts()) {
        ksh_message_clear();  // the message is throttled: start each call afresh
        EXPECT_EQ(f.call("client", f.args), KS_NO_KEYSTORE) << f.label;
        EXPECT_EQ(ksh_message_count() == 1 ? ksh_message_at(0) : nullptr, &msg_KEYSTORE_NO_KEYSTORE) << f.label;
    }
    ks::hw_present_answer = 1;
    ksh_message_clear();
    uint64_t suppressed = ksh_message_suppressed();
    for (const Front &f : fronts())
        EXPECT_EQ(f.call("client", f.args), std::strcmp(f.label, "auth") == 0 ? KS_NO_KEYSTORE : KS_SUCCESS) << f.label;
    EXPECT_EQ(ksh_message_count(), 0u);
    EXPECT_EQ(ksh_message_suppressed(), suppressed);
    EXPECT_TRUE(untouched());  // the contract's stubs write nothing
}

// The work buffer is allocated on first use only; when that allocation fails
// every operation answers NO_MEMORY and writes nothing.
TEST_F(MschapTest, WorkBufferAllocatedOnce) {
    for (const Front &f : fronts()) {
        ks::nt_password_hash_release();
        int n = kstest::fail_each_allocation([&] {
            std::fill(out_.begin(), out_.end(), 0xEE);
            int32_t status = f.call("client", f.args);
            EXPECT_TRUE(status == KS_SUCCESS || untouched()) << f.label;
            return status;
        });
        EXPECT_EQ(n, 1) << f.label;
        EXPECT_EQ(ksh_alloc_tag_live_blocks(ks::kTagNtWorkBuffer), 1u) << f.label;
        uint64_t allocations = ksh_alloc_calls();
        EXPECT_EQ(f.call("client", f.args), KS_SUCCESS) << f.label;
        EXPECT_EQ(ksh_alloc_calls(), allocations) << f.label;
    }
}

// MD4, DES and RC4 come from the library's own context: the process's default
// context needs no legacy provider and gains none.
TEST_F(MschapTest, DefaultContextNeedsNoLegacyProviderAndGainsNone) {
    ASSERT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);
    store_secret("des", Bytes(7, 1));
    store_secret("des3", Bytes(21, 2));
    for (const Front &f : fronts()) EXPECT_EQ(f.call("client", f.args), KS_SUCCESS) << f.label;
    EXPECT_EQ(ks_des_ecb_encrypt("des", nt_.data(), 24, out_.data(), 24), KS_SUCCESS);
    EXPECT_EQ(ks_3des_ecb_decrypt("des3", nt_.data(), 24, out_.data(), 24), KS_SUCCESS);
    EXPECT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);
    EVP_MD *md4 = EVP_MD_fetch(nullptr, "MD4", nullptr);
    EVP_CIPHER *rc4 = EVP_CIPHER_fetch(nullptr, "RC4", nullptr);
    EXPECT_TRUE(md4 == nullptr && rc4 == nullptr);
    EVP_MD_free(md4);
    EVP_CIPHER_free(rc4);
}

}  // namespace
