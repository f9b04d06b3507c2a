// MS-CHAPv2 and MPPE with stored passwords: the RFC 2759 and RFC 3079
// examples, the internal building blocks, the password-change blocks, check
// orders, the hardware paths, the hashing work buffer and the library's
// independence from the process's default OpenSSL context.
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

constexpr uint32_t kTagWorkBuffer = 0x046000A6;

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

// RC4 from a context of the test's own, so that the process's default
// context stays as the library must leave it.
Bytes rc4(const Bytes &key, const Bytes &data) {
    OSSL_LIB_CTX *ctx = OSSL_LIB_CTX_new();
    OSSL_PROVIDER *legacy = OSSL_PROVIDER_load(ctx, "legacy");
    OSSL_PROVIDER *deflt = OSSL_PROVIDER_load(ctx, "default");
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(ctx, "RC4", nullptr);
    Bytes out(data.size());
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    int n = 0, tail = 0;
    EXPECT_NE(cipher, nullptr);
    if (cipher != nullptr) {
        EXPECT_EQ(EVP_DecryptInit_ex2(c, cipher, key.data(), nullptr, nullptr), 1);
        EXPECT_EQ(EVP_DecryptUpdate(c, out.data(), &n, data.data(), static_cast<int>(data.size())), 1);
        EXPECT_EQ(EVP_DecryptFinal_ex(c, out.data() + n, &tail), 1);
    }
    EVP_CIPHER_CTX_free(c);
    EVP_CIPHER_free(cipher);
    OSSL_PROVIDER_unload(legacy);
    OSSL_PROVIDER_unload(deflt);
    OSSL_LIB_CTX_free(ctx);
    return out;
}

class MschapTest : public kstest::KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        store_secret("client", bytes(rfc().at("Password")));
    }
    const std::string user_ = rfc().at("UserName");
    const Bytes auth_ = rfc_hex("AuthenticatorChallenge");
    const Bytes peer_ = rfc_hex("PeerChallenge");
    const Bytes nt_response_ = rfc_hex("NtResponse");
};

// ---- Worked examples --------------------------------------------------------

TEST_F(MschapTest, Rfc2759NtResponseAndAuthenticatorResponse) {
    Bytes response(24);
    ASSERT_EQ(ks_GenerateNTResponse("client", auth_.data(), peer_.data(), user_.c_str(), response.data()),
              KS_SUCCESS);
    EXPECT_EQ(response, nt_response_);

    char text[64];
    std::memset(text, '#', sizeof text);
    ASSERT_EQ(ks_GenerateAuthenticatorResponse("client", response.data(), peer_.data(), auth_.data(),
                                               user_.c_str(), text),
              KS_SUCCESS);
    EXPECT_EQ(std::string(text, 42), rfc().at("AuthenticatorResponse"));
    EXPECT_EQ(text[42], '#');  // nothing after the 42 characters
}

TEST_F(MschapTest, Rfc3079MasterKey) {
    Bytes key(20, 0xEE);
    ASSERT_EQ(ks_GetMasterKey("client", nt_response_.data(), key.data()), KS_SUCCESS);
    EXPECT_EQ(Bytes(key.begin(), key.begin() + 16), rfc_hex("MasterKey"));
    EXPECT_EQ(Bytes(key.begin() + 16, key.end()), Bytes(4, 0xEE));  // exactly 16 bytes written
}

TEST_F(MschapTest, BuildingBlocksReproduceTheExample) {
    EXPECT_EQ(nt_hash(bytes(rfc().at("Password"))), rfc_hex("PasswordHash"));
    uint8_t challenge[8];
    ASSERT_EQ(ks::challenge_hash(peer_.data(), auth_.data(), user_.c_str(), challenge), KS_SUCCESS);
    EXPECT_EQ(Bytes(challenge, challenge + 8), rfc_hex("Challenge"));
    // The first third of the NT-Response: DesEncrypt with hash bytes 0-6.
    Bytes hash = rfc_hex("PasswordHash");
    uint8_t third[8];
    ASSERT_EQ(ks::des_encrypt_block(challenge, hash.data(), third), KS_SUCCESS);
    EXPECT_EQ(Bytes(third, third + 8), Bytes(nt_response_.begin(), nt_response_.begin() + 8));
}

TEST_F(MschapTest, PasswordHashLengths) {
    EXPECT_EQ(kstest::to_hex(nt_hash({}).data(), 16), "31d6cfe0d16ae931b73c59d7e0c089c0");  // MD4("")
    Bytes long_pw(300);
    for (size_t i = 0; i < long_pw.size(); ++i) long_pw[i] = static_cast<uint8_t>('a' + i % 26);
    Bytes first256(long_pw.begin(), long_pw.begin() + 256), first255(long_pw.begin(), long_pw.begin() + 255);
    EXPECT_EQ(nt_hash(long_pw), nt_hash(first256));
    EXPECT_NE(nt_hash(first256), nt_hash(first255));

    // Through a stored password: 300 bytes answer as their first 256.
    store_secret("long", long_pw);
    store_secret("cut", first256);
    Bytes a(24), b(24);
    ASSERT_EQ(ks_GenerateNTResponse("long", auth_.data(), peer_.data(), "u", a.data()), KS_SUCCESS);
    ASSERT_EQ(ks_GenerateNTResponse("cut", auth_.data(), peer_.data(), "u", b.data()), KS_SUCCESS);
    EXPECT_EQ(a, b);

    // The empty stored password.
    store_secret("empty", {});
    Bytes empty_key(16), zero_response(24);
    ASSERT_EQ(ks_GetMasterKey("empty", zero_response.data(), empty_key.data()), KS_SUCCESS);
    Bytes client_key(16);
    ASSERT_EQ(ks_GetMasterKey("client", zero_response.data(), client_key.data()), KS_SUCCESS);
    EXPECT_NE(empty_key, client_key);
}

TEST_F(MschapTest, AuthenticatorResponseDependsOnTheUserName) {
    char a[42], b[42];
    ASSERT_EQ(ks_GenerateAuthenticatorResponse("client", nt_response_.data(), peer_.data(), auth_.data(), "User", a),
              KS_SUCCESS);
    ASSERT_EQ(ks_GenerateAuthenticatorResponse("client", nt_response_.data(), peer_.data(), auth_.data(), "", b),
              KS_SUCCESS);
    EXPECT_NE(std::string(a, 42), std::string(b, 42));
    EXPECT_EQ(std::string(b, 2), "S=");
    for (int i = 2; i < 42; ++i) EXPECT_TRUE(std::isdigit(b[i]) || (b[i] >= 'A' && b[i] <= 'F')) << i;
}

// ---- Password change --------------------------------------------------------

TEST_F(MschapTest, NewPasswordBlockDecryptsWithTheOldHash) {
    for (size_t len : {1u, 10u, 255u, 256u}) {
        SCOPED_TRACE(len);
        Bytes new_pw(len);
        for (size_t i = 0; i < len; ++i) new_pw[i] = static_cast<uint8_t>(0x80 + i);  // high bytes stay 0-extended
        Bytes out(KS_PW_BLOCK_LEN + 4, 0xEE);
        ASSERT_EQ(ks_NewPasswordEncryptedWithOldNtPasswordHash("client", new_pw.data(), static_cast<uint32_t>(len),
                                                               out.data()),
                  KS_SUCCESS);
        EXPECT_EQ(Bytes(out.end() - 4, out.end()), Bytes(4, 0xEE));  // 516 bytes, no more

        Bytes plain = rc4(rfc_hex("PasswordHash"), Bytes(out.begin(), out.begin() + KS_PW_BLOCK_LEN));
        for (size_t i = 0; i < len; ++i) {
            EXPECT_EQ(plain[512 - 2 * len + 2 * i], new_pw[i]);
            EXPECT_EQ(plain[512 - 2 * len + 2 * i + 1], 0);
        }
        uint32_t field = plain[512] | plain[513] << 8 | plain[514] << 16 | static_cast<uint32_t>(plain[515]) << 24;
        EXPECT_EQ(field, 2 * len);
    }
}

TEST_F(MschapTest, NewPasswordPadComesFromThePlatformRandomSource) {
    Bytes pw = bytes("newPass"), a(KS_PW_BLOCK_LEN), b(KS_PW_BLOCK_LEN), c(KS_PW_BLOCK_LEN);
    ksh_random_set_seed(7);
    ASSERT_EQ(ks_NewPasswordEncryptedWithOldNtPasswordHash("client", pw.data(), 7, a.data()), KS_SUCCESS);
    ksh_random_set_seed(7);
    ASSERT_EQ(ks_NewPasswordEncryptedWithOldNtPasswordHash("client", pw.data(), 7, b.data()), KS_SUCCESS);
    ksh_random_set_seed(8);
    ASSERT_EQ(ks_NewPasswordEncryptedWithOldNtPasswordHash("client", pw.data(), 7, c.data()), KS_SUCCESS);
    ksh_random_set_seed(0);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    // Only the pad differs: the password and length at the end are the same.
    Bytes pa = rc4(rfc_hex("PasswordHash"), a), pc = rc4(rfc_hex("PasswordHash"), c);
    EXPECT_TRUE(std::equal(pa.end() - 18, pa.end(), pc.end() - 18));
    EXPECT_FALSE(std::equal(pa.begin(), pa.begin() + 64, pc.begin()));
}

TEST_F(MschapTest, OldHashEncryptedWithNewHash) {
    store_secret("new", bytes("newPassword"));
    Bytes old_h = nt_hash(bytes("clientPass")), new_h = nt_hash(bytes("newPassword"));
    auto expected = [](const Bytes &o, const Bytes &n) {
        Bytes e(16);
        EXPECT_EQ(ks::des_encrypt_block(o.data(), n.data(), e.data()), KS_SUCCESS);
        EXPECT_EQ(ks::des_encrypt_block(o.data() + 8, n.data() + 7, e.data() + 8), KS_SUCCESS);
        return e;
    };
    Bytes out(16);
    ASSERT_EQ(ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("client", "new", out.data()), KS_SUCCESS);
    EXPECT_EQ(out, expected(old_h, new_h));
    ASSERT_EQ(ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("client", "client", out.data()), KS_SUCCESS);
    EXPECT_EQ(out, expected(old_h, old_h));

    for (auto names : {std::pair{"client", "gone"}, std::pair{"gone", "client"}, std::pair{"gone", "gone"}}) {
        Bytes untouched(16, 0xEE);
        EXPECT_EQ(ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash(names.first, names.second, untouched.data()),
                  KS_RECORD_NOT_FOUND);
        EXPECT_EQ(untouched, Bytes(16, 0xEE));
    }
}

// ---- Check order --------------------------------------------------------------

struct Call {
    const char *label;
    std::function<int32_t()> run;
    int32_t want;
};

class MschapChecks : public MschapTest {
  protected:
    Bytes out_ = Bytes(KS_PW_BLOCK_LEN, 0xEE);
    Bytes pw_ = Bytes(257, 'p');
    uint8_t *o() { return out_.data(); }
    char *text() { return reinterpret_cast<char *>(out_.data()); }

    // One valid call per front.
    std::vector<Call> valid_calls(const char *name) {
        return {
            {"nt", [=, this] { return ks_GenerateNTResponse(name, auth_.data(), peer_.data(), "u", o()); }, 0},
            {"auth",
             [=, this] {
                 return ks_GenerateAuthenticatorResponse(name, nt_response_.data(), peer_.data(), auth_.data(), "u",
                                                         text());
             },
             0},
            {"newpw", [=, this] { return ks_NewPasswordEncryptedWithOldNtPasswordHash(name, pw_.data(), 8, o()); }, 0},
            {"oldhash", [=, this] { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash(name, name, o()); }, 0},
            {"master", [=, this] { return ks_GetMasterKey(name, nt_response_.data(), o()); }, 0},
        };
    }
};

TEST_F(MschapChecks, ArgumentTable) {
    const std::string n31(31, 'x'), n32(32, 'x');
    const Call cases[] = {
        {"nt null out", [&] { return ks_GenerateNTResponse("client", auth_.data(), peer_.data(), "u", nullptr); },
         KS_INVAL_ARGS},
        {"nt null user", [&] { return ks_GenerateNTResponse("client", auth_.data(), peer_.data(), nullptr, o()); },
         KS_INVAL_ARGS},
        {"nt null peer", [&] { return ks_GenerateNTResponse("client", auth_.data(), nullptr, "u", o()); },
         KS_INVAL_ARGS},
        {"nt null auth", [&] { return ks_GenerateNTResponse("client", nullptr, peer_.data(), "u", o()); },
         KS_INVAL_ARGS},
        {"auth null nt",
         [&] { return ks_GenerateAuthenticatorResponse("client", nullptr, peer_.data(), auth_.data(), "u", text()); },
         KS_INVAL_ARGS},
        {"auth null out",
         [&] {
             return ks_GenerateAuthenticatorResponse("client", nt_response_.data(), peer_.data(), auth_.data(), "u",
                                                     nullptr);
         },
         KS_INVAL_ARGS},
        {"auth null user",
         [&] {
             return ks_GenerateAuthenticatorResponse("client", nt_response_.data(), peer_.data(), auth_.data(),
                                                     nullptr, text());
         },
         KS_INVAL_ARGS},
        {"newpw null pw", [&] { return ks_NewPasswordEncryptedWithOldNtPasswordHash("client", nullptr, 8, o()); },
         KS_INVAL_ARGS},
        {"newpw len 0", [&] { return ks_NewPasswordEncryptedWithOldNtPasswordHash("client", pw_.data(), 0, o()); },
         KS_INVAL_ARGS},
        {"newpw len 257",
         [&] { return ks_NewPasswordEncryptedWithOldNtPasswordHash("client", pw_.data(), 257, o()); }, KS_INVAL_ARGS},
        {"newpw len 256",
         [&] { return ks_NewPasswordEncryptedWithOldNtPasswordHash("client", pw_.data(), 256, o()); }, KS_SUCCESS},
        {"newpw null out",
         [&] { return ks_NewPasswordEncryptedWithOldNtPasswordHash("client", pw_.data(), 8, nullptr); },
         KS_INVAL_ARGS},
        {"oldhash null out",
         [&] { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("client", "client", nullptr); },
         KS_INVAL_ARGS},
        {"oldhash new name 32",
         [&] { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("client", n32.c_str(), o()); },
         KS_INVAL_ARGS},
        {"oldhash old name empty",
         [&] { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("", "client", o()); }, KS_INVAL_ARGS},
        {"oldhash new name 31",
         [&] { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("client", n31.c_str(), o()); },
         KS_RECORD_NOT_FOUND},
        {"master null nt", [&] { return ks_GetMasterKey("client", nullptr, o()); }, KS_INVAL_ARGS},
        {"master null out", [&] { return ks_GetMasterKey("client", nt_response_.data(), nullptr); }, KS_INVAL_ARGS},
    };
    for (const Call &c : cases) {
        std::fill(out_.begin(), out_.end(), 0xEE);
        EXPECT_EQ(c.run(), c.want) << c.label;
        if (c.want != KS_SUCCESS) {
            EXPECT_EQ(out_, Bytes(KS_PW_BLOCK_LEN, 0xEE)) << c.label;
        }
    }
}

TEST_F(MschapChecks, NameBoundsOnEveryFront) {
    const std::string n31(31, 'x'), n32(32, 'x');
    const std::pair<const char *, int32_t> names[] = {
        {nullptr, KS_INVAL_ARGS}, {"", KS_INVAL_ARGS}, {n32.c_str(), KS_INVAL_ARGS}, {n31.c_str(), KS_RECORD_NOT_FOUND}};
    for (const auto &[name, want] : names) {
        for (const Call &c : valid_calls(name)) {
            std::fill(out_.begin(), out_.end(), 0xEE);
            EXPECT_EQ(c.run(), want) << c.label << " name length " << (name ? std::strlen(name) : 0);
            EXPECT_EQ(out_, Bytes(KS_PW_BLOCK_LEN, 0xEE)) << c.label;
        }
    }
}

TEST_F(MschapChecks, StandbyComesFirst) {
    ks_is_standby = 1;
    for (const char *name : {"client", ""}) {
        for (const Call &c : valid_calls(name)) {
            EXPECT_EQ(c.run(), KS_STDBY_NOT_SUPPORTED) << c.label;
            EXPECT_EQ(out_, Bytes(KS_PW_BLOCK_LEN, 0xEE)) << c.label;
        }
    }
}

TEST_F(MschapChecks, HardwareAbsent) {
    ks_use_sw_ks = 0;
    ks::hw_present_answer = 0;
    for (const Call &c : valid_calls("")) EXPECT_EQ(c.run(), KS_INVAL_ARGS) << c.label;
    EXPECT_EQ(ksh_message_count(), 0u);
    size_t n = 0;
    for (const Call &c : valid_calls("client")) {
        EXPECT_EQ(c.run(), KS_NO_KEYSTORE) << c.label;
        ASSERT_EQ(ksh_message_count(), ++n) << c.label;
        EXPECT_EQ(ksh_message_at(n - 1), static_cast<const void *>(&msg_KEYSTORE_NO_KEYSTORE)) << c.label;
    }
    EXPECT_EQ(out_, Bytes(KS_PW_BLOCK_LEN, 0xEE));
}

TEST_F(MschapChecks, HardwarePresent) {
    ks_use_sw_ks = 0;
    for (const Call &c : valid_calls("client")) {
        int32_t want = std::string(c.label) == "auth" ? KS_NO_KEYSTORE : KS_SUCCESS;
        EXPECT_EQ(c.run(), want) << c.label;
    }
    EXPECT_EQ(ksh_message_count(), 0u);
    EXPECT_EQ(out_, Bytes(KS_PW_BLOCK_LEN, 0xEE));  // the contract's stubs write nothing
}

// ---- Work buffer ------------------------------------------------------------

TEST_F(MschapChecks, WorkBufferAllocatedOnceAndFailureWritesNothing) {
    for (const Call &c : valid_calls("client")) {
        SCOPED_TRACE(c.label);
        ks::nt_password_hash_release();
        int n = kstest::fail_each_allocation([&] {
            std::fill(out_.begin(), out_.end(), 0xEE);
            int32_t status = c.run();
            if (status != KS_SUCCESS) {
                EXPECT_EQ(out_, Bytes(KS_PW_BLOCK_LEN, 0xEE));
            }
            return status;
        });
        EXPECT_EQ(n, 1);
        EXPECT_EQ(ksh_alloc_tag_live_blocks(kTagWorkBuffer), 1u);
        // Kept: later uses allocate nothing.
        uint64_t calls = ksh_alloc_calls();
        EXPECT_EQ(c.run(), KS_SUCCESS);
        EXPECT_EQ(ksh_alloc_calls(), calls);
    }
}

TEST_F(MschapChecks, WorkBufferIsWipedWhenReleased) {
    ASSERT_EQ(valid_calls("client")[0].run(), KS_SUCCESS);
    ksh_alloc_check_cleansed(1);
    uint64_t before = ksh_alloc_uncleansed_frees();
    ks::nt_password_hash_release();
    EXPECT_EQ(ksh_alloc_uncleansed_frees(), before);
    ksh_alloc_check_cleansed(0);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kTagWorkBuffer), 0u);
}

// ---- The process's default OpenSSL context ------------------------------------

// MD4, DES and RC4 come from the library's own context: the process's default
// context keeps only what it had, and the legacy algorithms stay out of it.
TEST_F(MschapChecks, DefaultContextNeedsNoLegacyProviderAndGainsNone) {
    ASSERT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);
    store_secret("des", Bytes(7, 1));
    store_secret("des3", Bytes(21, 2));
    for (const Call &c : valid_calls("client")) EXPECT_EQ(c.run(), KS_SUCCESS) << c.label;
    EXPECT_EQ(ks::des_encrypt_block(nt_response_.data(), nt_response_.data(), o()), KS_SUCCESS);
    EXPECT_EQ(ks_des_ecb_encrypt("des", nt_response_.data(), 24, o(), 24), KS_SUCCESS);
    EXPECT_EQ(ks_3des_ecb_decrypt("des3", nt_response_.data(), 24, o(), 24), KS_SUCCESS);
    EXPECT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);
    EVP_MD *md4 = EVP_MD_fetch(nullptr, "MD4", nullptr);
    EVP_CIPHER *rc4 = EVP_CIPHER_fetch(nullptr, "RC4", nullptr);
    EVP_CIPHER *des = EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr);
    EXPECT_EQ(md4, nullptr);
    EXPECT_EQ(rc4, nullptr);
    EXPECT_EQ(des, nullptr);
    EVP_MD_free(md4);
    EVP_CIPHER_free(rc4);
    EVP_CIPHER_free(des);
}

}  // namespace
