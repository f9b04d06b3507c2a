// Keyed digests: check order of the fronts, the secret spliced between the
// pieces, the software operations' selectors and failures, and the hardware
// path.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "keystore/ks_digest.h"
#include "keystore/ks_hmac.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_secret.h"
#include "keystore/ks_sw_keystore.h"
#include "ks_ossl.h"
#include "ks_test_util.h"
#include "ossl_fault.h"

namespace {

using kstest::bytes;
using kstest::to_hex;
using Bytes = std::vector<uint8_t>;

const Bytes kSecret = bytes("spliced secret");
const std::string k31(31, 'k'), k32(32, 'k');

Bytes plain_digest(bool sha1, const Bytes &in) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned n = 0;
    EXPECT_EQ(EVP_Digest(in.data(), in.size(), out.data(), &n,
                         ks::ossl::md(sha1 ? ks::ossl::Md::kSha1 : ks::ossl::Md::kMd5), nullptr),
              1);
    out.resize(n);
    return out;
}

Bytes cat(const Bytes &a, const Bytes &b, const Bytes &c) {
    Bytes out(a);
    out.insert(out.end(), b.begin(), b.end());
    out.insert(out.end(), c.begin(), c.end());
    return out;
}

struct Out {
    uint8_t b[24];
    Out() { std::memset(b, 0xA5, sizeof b); }
    Bytes get(size_t n) const { return Bytes(b, b + n); }
    bool untouched() const {
        for (uint8_t x : b)
            if (x != 0xA5) return false;
        return true;
    }
};

using HashFn = int32_t (*)(const char *, const uint8_t *, uint32_t, const uint8_t *, uint32_t, uint8_t *);
using HmacFn = int32_t (*)(const char *, const uint8_t *, uint16_t, uint8_t *);

class DigestTest : public kstest::KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        for (const std::string &n : {std::string("s"), k31})
            ASSERT_EQ(ks_store_secret_and_metadata(n.c_str(), nullptr, kSecret.data(),
                                                   static_cast<uint32_t>(kSecret.size()), nullptr, 0),
                      KS_SUCCESS);
    }
};

TEST_F(DigestTest, HmacFrontsCheckStandbyThenDataThenName) {
    const Bytes big(65535, 1);
    Out o;
    for (HmacFn fn : {ks_hmac_md5, ks_hmac_sha1}) {
        struct Row {
            const char *what;
            const char *name;
            const uint8_t *data;
            uint16_t len;
            uint8_t *out;
            int32_t want;
        } rows[] = {
            {"data length 0", "s", big.data(), 0, o.b, KS_INVAL_ARGS},
            {"null data", "s", nullptr, 4, o.b, KS_INVAL_ARGS},
            {"null name", nullptr, big.data(), 4, o.b, KS_INVAL_ARGS},
            {"empty name", "", big.data(), 4, o.b, KS_INVAL_ARGS},
            {"name 32", k32.c_str(), big.data(), 4, o.b, KS_INVAL_ARGS},
            {"data 65535, unknown name", "nope", big.data(), 65535, o.b, KS_INVAL_ARGS},
            {"null output, unknown name", "nope", big.data(), 4, nullptr, KS_INVAL_ARGS},
            {"unknown name", "nope", big.data(), 4, o.b, KS_RECORD_NOT_FOUND},
            {"name 31, data 65534", k31.c_str(), big.data(), 65534, o.b, KS_SUCCESS},
        };
        for (const auto &r : rows) EXPECT_EQ(fn(r.name, r.data, r.len, r.out), r.want) << r.what;
        ks_is_standby = 1;
        EXPECT_EQ(fn(nullptr, nullptr, 0, nullptr), KS_STDBY_NOT_SUPPORTED);
        ks_is_standby = 0;
    }
    // The 65534-byte HMAC is the primitive's over the stored secret.
    Out want, got;
    hmac_sha(kSecret.data(), static_cast<uint32_t>(kSecret.size()), big.data(), 65534, want.b);
    ASSERT_EQ(ks_hmac_sha1(k31.c_str(), big.data(), 65534, got.b), KS_SUCCESS);
    EXPECT_EQ(got.get(20), want.get(20));
}

TEST_F(DigestTest, HashFrontsCheckInOrder) {
    const Bytes p(65535, 2);
    Out o;
    for (HashFn fn : {ks_md5_hash, ks_sha1_hash}) {
        struct Row {
            const char *what;
            const char *name;
            const uint8_t *p1;
            uint32_t l1;
            const uint8_t *p2;
            uint32_t l2;
            uint8_t *out;
            int32_t want;
        } rows[] = {
            {"null name", nullptr, p.data(), 1, nullptr, 0, o.b, KS_INVAL_ARGS},
            {"name 32", k32.c_str(), p.data(), 1, nullptr, 0, o.b, KS_INVAL_ARGS},
            {"no piece", "s", nullptr, 0, nullptr, 0, o.b, KS_INVAL_ARGS},
            {"pieces of length 0", "s", p.data(), 0, p.data(), 0, o.b, KS_INVAL_ARGS},
            {"null output", "nope", p.data(), 1, nullptr, 0, nullptr, KS_INVAL_ARGS},
            {"sum 65535", "nope", p.data(), 65000, p.data(), 535, o.b, KS_INVAL_ARGS},
            {"sum wraps", "nope", p.data(), 0xFFFFFFFFu, p.data(), 2, o.b, KS_INVAL_ARGS},
            {"null piece 1 with a length", "s", nullptr, 3, p.data(), 1, o.b, KS_INVAL_ARGS},
            {"null piece 2 with a length", "s", p.data(), 1, nullptr, 3, o.b, KS_INVAL_ARGS},
            {"unknown name", "nope", p.data(), 1, nullptr, 0, o.b, KS_RECORD_NOT_FOUND},
            {"sum 65534", k31.c_str(), p.data(), 65000, p.data(), 534, o.b, KS_SUCCESS},
        };
        for (const auto &r : rows) EXPECT_EQ(fn(r.name, r.p1, r.l1, r.p2, r.l2, r.out), r.want) << r.what;
        ks_is_standby = 1;
        EXPECT_EQ(fn(nullptr, nullptr, 0, nullptr, 0, nullptr), KS_STDBY_NOT_SUPPORTED);
        ks_is_standby = 0;
    }
}

// H(piece1 || secret || piece2), with either piece absent.
TEST_F(DigestTest, SecretIsSplicedBetweenThePieces) {
    const Bytes a = bytes("head:"), b = bytes(":tail");
    for (bool sha1 : {false, true}) {
        HashFn fn = sha1 ? ks_sha1_hash : ks_md5_hash;
        const size_t n = sha1 ? 20 : 16;
        struct Row {
            const uint8_t *p1;
            uint32_t l1;
            const uint8_t *p2;
            uint32_t l2;
            Bytes input;
        } rows[] = {
            {a.data(), 5, b.data(), 5, cat(a, kSecret, b)},
            {a.data(), 5, nullptr, 0, cat(a, kSecret, {})},
            {nullptr, 0, b.data(), 5, cat({}, kSecret, b)},
            {a.data(), 5, b.data(), 0, cat(a, kSecret, {})},
        };
        for (const auto &r : rows) {
            Out o;
            ASSERT_EQ(fn("s", r.p1, r.l1, r.p2, r.l2, o.b), KS_SUCCESS);
            EXPECT_EQ(o.get(n), plain_digest(sha1, r.input));
            EXPECT_EQ(o.b[n], 0xA5);
        }
    }
}

TEST_F(DigestTest, OnlyTypeOneSecretsAreFound) {
    const uint8_t pac[] = {KS_KEY_TYPE_PAC, 'p'};
    ASSERT_EQ(ks_sw_store_sym_key(pac, 2, nullptr, 0, kSecret.data(), 4, nullptr, 0), KS_SUCCESS);
    const uint8_t d[1] = {0};
    Out o;
    EXPECT_EQ(ks_hmac_sha1("p", d, 1, o.b), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ks_md5_hash("p", d, 1, nullptr, 0, o.b), KS_RECORD_NOT_FOUND);
    EXPECT_TRUE(o.untouched());
}

TEST_F(DigestTest, SoftwareOperationsDirectly) {
    const uint8_t h[] = {KS_KEY_TYPE_SECRET, 's'}, unknown[] = {KS_KEY_TYPE_SECRET, 'x'};
    const uint8_t d[2] = {1, 2};
    Out o;
    EXPECT_EQ(ks_sw_hmac(unknown, 2, d, 2, o.b, 9), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ks_sw_hash(unknown, 2, d, 2, nullptr, 0, o.b, 9), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ks_sw_hmac(h, 2, d, 2, o.b, 2), KS_NOT_SUPPORTED);
    EXPECT_EQ(ks_sw_hash(h, 2, d, 2, nullptr, 0, o.b, 2), KS_NOT_SUPPORTED);
    EXPECT_EQ(ks_sw_hash(h, 2, d, 2, nullptr, 0, o.b, 0xFFFFFFFFu), KS_NOT_SUPPORTED);
    EXPECT_TRUE(o.untouched());
    // A null piece with a length is taken as empty, never read.
    ASSERT_EQ(ks_sw_hash(h, 2, nullptr, 9, d, 2, o.b, KS_DIGEST_MD5), KS_SUCCESS);
    EXPECT_EQ(o.get(16), plain_digest(false, cat({}, kSecret, {1, 2})));
    // Nothing at all to digest: an empty secret and no pieces.
    const uint8_t e[] = {KS_KEY_TYPE_SECRET, 'e'};
    ASSERT_EQ(ks_sw_store_sym_key(e, 2, nullptr, 0, d, 0, nullptr, 0), KS_SUCCESS);
    Out z;
    EXPECT_EQ(ks_sw_hash(e, 2, nullptr, 0, nullptr, 0, z.b, KS_DIGEST_SHA1), KS_NO_MEMORY);
    // An empty key makes the HMAC primitive write nothing, yet the status is SUCCESS.
    EXPECT_EQ(ks_sw_hmac(e, 2, d, 2, z.b, KS_DIGEST_SHA1), KS_SUCCESS);
    EXPECT_TRUE(z.untouched());
}

TEST_F(DigestTest, ConcatenationBufferFailsAndIsWiped) {
    const uint8_t d[3] = {1, 2, 3};
    Out o;
    ksh_alloc_fail_tag(0x046000A4);
    EXPECT_EQ(ks_sha1_hash("s", d, 3, d, 3, o.b), KS_NO_MEMORY);
    ksh_alloc_clear_faults();
    EXPECT_TRUE(o.untouched());
    ksh_alloc_check_cleansed(1);
    const uint64_t before = ksh_alloc_uncleansed_frees();
    EXPECT_EQ(ks_sha1_hash("s", d, 3, d, 3, o.b), KS_SUCCESS);
    EXPECT_EQ(ksh_alloc_uncleansed_frees(), before);
    ksh_alloc_check_cleansed(0);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(0x046000A4), 0u);
}

TEST_F(DigestTest, LibcryptoFailuresGiveCryptoErrAndNoOutput) {
    if (!kstest::ossl_faults_available()) GTEST_SKIP() << "libcrypto allocated before the hook";
    const uint8_t d[3] = {1, 2, 3};
    const Bytes want = plain_digest(true, cat({1, 2, 3}, kSecret, {}));
    const uint64_t failed_at_start = kstest::ossl_failed_allocations();
    bool completed = false;
    for (uint64_t n = 1; n < 100 && !completed; ++n) {
        const uint64_t before = kstest::ossl_failed_allocations();
        Out o;
        kstest::ossl_fail_nth(n);
        const int32_t st = ks_sha1_hash("s", d, 3, nullptr, 0, o.b);
        kstest::ossl_fail_nth(0);
        completed = kstest::ossl_failed_allocations() == before;
        if (st == KS_SUCCESS) {
            EXPECT_EQ(o.get(20), want);
        } else {
            EXPECT_EQ(st, KS_CRYPTO_ERR) << "allocation " << n;
            EXPECT_TRUE(o.untouched());
        }
        EXPECT_EQ(ksh_alloc_tag_live_blocks(0x046000A4), 0u);
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(kstest::ossl_failed_allocations(), failed_at_start);
}

// With the software keystore off the fronts call the hardware contract, whose
// stubs write nothing; there is no hardware SHA-1 keyed digest at all.
TEST_F(DigestTest, HardwarePath) {
    ks_use_sw_ks = 0;
    const uint8_t d[1] = {1};
    Out o;
    EXPECT_EQ(ks_hmac_md5("s", d, 1, o.b), KS_SUCCESS);
    EXPECT_EQ(ks_hmac_sha1("s", d, 1, o.b), KS_SUCCESS);
    EXPECT_EQ(ks_md5_hash("s", d, 1, nullptr, 0, o.b), KS_SUCCESS);
    EXPECT_EQ(ks_sha1_hash("s", d, 1, nullptr, 0, o.b), KS_NO_KEYSTORE);
    EXPECT_EQ(ks_sha1_hash("s", nullptr, 0, nullptr, 0, o.b), KS_INVAL_ARGS);  // arguments first
    EXPECT_TRUE(o.untouched());
    ks_is_standby = 1;
    EXPECT_EQ(ks_sha1_hash("s", d, 1, nullptr, 0, o.b), KS_STDBY_NOT_SUPPORTED);
}

}  // namespace
