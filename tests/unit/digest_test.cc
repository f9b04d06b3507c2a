// Keyed digests: check order of the fronts, the secret spliced between the
// pieces, the software operations' selectors and failures, and the hardware
// path.
#include <gtest/gtest.h>

#include <string>

#include "crypto_test_util.h"
#include "keystore/ks_digest.h"
#include "keystore/ks_hmac.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_secret.h"
#include "keystore/ks_sw_keystore.h"
#include "ks_test_util.h"
#include "ossl_fault.h"

namespace {

using kstest::cat;
using kstest::Guarded;
using kstest::plain_digest;
using Bytes = std::vector<uint8_t>;

const Bytes kSecret = kstest::bytes("spliced secret");
const std::string k31(31, 'k');
const Bytes kData(65535, 2);
const uint8_t *const d = kData.data();

class DigestTest : public kstest::KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        for (const char *n : {"s", k31.c_str()})
            ASSERT_EQ(ks_store_secret_and_metadata(n, nullptr, kSecret.data(), 14, nullptr, 0), KS_SUCCESS);
    }
};

// The largest HMAC input is the primitive's over the stored secret.
TEST_F(DigestTest, LargestHmacIsThePrimitives) {
    Guarded o, want;
    hmac_sha(kSecret.data(), 14, d, 65534, want.b);
    ASSERT_EQ(ks_hmac_sha1(k31.c_str(), d, 65534, o.b), KS_SUCCESS);
    EXPECT_EQ(o.get(20), want.get(20));
}

// H(piece1 || secret || piece2), with either piece absent.
TEST_F(DigestTest, SecretIsSplicedBetweenThePieces) {
    const Bytes a = kstest::bytes("head:"), b = kstest::bytes(":tail");
    struct Row {
        const uint8_t *p1;
        uint32_t l1;
        const uint8_t *p2;
        uint32_t l2;
        Bytes input;
    } rows[] = {
        {a.data(), 5, b.data(), 5, cat(a, kSecret, b)},
        {a.data(), 5, nullptr, 0, cat(a, kSecret)},
        {nullptr, 0, b.data(), 5, cat(kSecret, b)},
        {a.data(), 5, b.data(), 0, cat(a, kSecret)},
    };
    for (bool sha1 : {false, true}) {
        for (const auto &r : rows) {
            Guarded o;
            const size_t n = sha1 ? 20 : 16;
            ASSERT_EQ((sha1 ? ks_sha1_hash : ks_md5_hash)("s", r.p1, r.l1, r.p2, r.l2, o.b), KS_SUCCESS);
            EXPECT_EQ(o.get(n + 1), cat(plain_digest(sha1, r.input), {0xA5}));
        }
    }
}

TEST_F(DigestTest, SoftwareOperations) {
    const uint8_t h[] = {KS_KEY_TYPE_SECRET, 's'}, unknown[] = {KS_KEY_TYPE_SECRET, 'x'};
    const uint8_t pac[] = {KS_KEY_TYPE_PAC, 'p'}, empty[] = {KS_KEY_TYPE_SECRET, 'e'};
    ASSERT_EQ(ks_sw_store_sym_key(pac, 2, nullptr, 0, d, 4, nullptr, 0), KS_SUCCESS);
    ASSERT_EQ(ks_sw_store_sym_key(empty, 2, nullptr, 0, d, 0, nullptr, 0), KS_SUCCESS);
    Guarded o;
    // Only type-1 secrets are reached by name; the lookup comes before the selector.
    EXPECT_EQ(ks_hmac_sha1("p", d, 1, o.b), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ks_md5_hash("p", d, 1, nullptr, 0, o.b), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ks_sw_hmac(unknown, 2, d, 2, o.b, 9), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ks_sw_hash(unknown, 2, d, 2, nullptr, 0, o.b, 9), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ks_sw_hmac(h, 2, d, 2, o.b, 2), KS_NOT_SUPPORTED);
    EXPECT_EQ(ks_sw_hash(h, 2, d, 2, nullptr, 0, o.b, 2), KS_NOT_SUPPORTED);
    EXPECT_EQ(ks_sw_hash(h, 2, d, 2, nullptr, 0, o.b, 0xFFFFFFFFu), KS_NOT_SUPPORTED);
    // Nothing to digest at all: an empty secret and no pieces.
    EXPECT_EQ(ks_sw_hash(empty, 2, nullptr, 0, nullptr, 0, o.b, KS_DIGEST_SHA1), KS_NO_MEMORY);
    // An empty key makes the primitive write nothing, yet the status is SUCCESS.
    EXPECT_EQ(ks_sw_hmac(empty, 2, d, 2, o.b, KS_DIGEST_SHA1), KS_SUCCESS);
    EXPECT_TRUE(o.untouched());
    // Called directly, a null piece with a length counts as empty and is never read.
    ASSERT_EQ(ks_sw_hash(h, 2, nullptr, 9, d, 2, o.b, KS_DIGEST_MD5), KS_SUCCESS);
    EXPECT_EQ(o.get(16), plain_digest(false, cat(kSecret, {2, 2})));
}

TEST_F(DigestTest, ConcatenationBufferFailsCleanlyAndIsWiped) {
    Guarded o;
    ksh_alloc_fail_tag(0x046000A4);
    EXPECT_EQ(ks_sha1_hash("s", d, 3, d, 3, o.b), KS_NO_MEMORY);
    ksh_alloc_clear_faults();
    EXPECT_TRUE(o.untouched());
    ksh_alloc_check_cleansed(1);
    const uint64_t before = ksh_alloc_uncleansed_frees();
    EXPECT_EQ(ks_sha1_hash("s", d, 3, d, 3, o.b), KS_SUCCESS);
    EXPECT_EQ(ksh_alloc_uncleansed_frees(), before);
    ksh_alloc_check_cleansed(0);
}

TEST_F(DigestTest, LibcryptoFailuresGiveCryptoErrAndNoOutput) {
    if (!kstest::ossl_faults_available()) GTEST_SKIP() << "libcrypto allocated before the hook";
    const Bytes want = plain_digest(true, cat({2, 2, 2}, kSecret));
    const uint64_t failed_at_start = kstest::ossl_failed_allocations();
    bool completed = false;
    for (uint64_t n = 1; n < 100 && !completed; ++n) {
        const uint64_t before = kstest::ossl_failed_allocations();
        Guarded o;
        kstest::ossl_fail_nth(n);
        const int32_t st = ks_sha1_hash("s", d, 3, nullptr, 0, o.b);
        kstest::ossl_fail_nth(0);
        completed = kstest::ossl_failed_allocations() == before;
        EXPECT_TRUE(st == KS_SUCCESS ? o.get(20) == want : st == KS_CRYPTO_ERR && o.untouched()) << n << ": " << st;
        EXPECT_EQ(ksh_alloc_tag_live_blocks(0x046000A4), 0u);
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(kstest::ossl_failed_allocations(), failed_at_start);
}

// With the software keystore off the fronts call the hardware contract, whose
// stubs write nothing; it has no keyed SHA-1 digest at all.
TEST_F(DigestTest, HardwarePath) {
    ks_use_sw_ks = 0;
    Guarded o;
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
