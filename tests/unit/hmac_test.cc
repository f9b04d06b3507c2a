// HMAC primitives: RFC 2202 through the one-shot, incremental and
// stored-secret paths, keys around the block size against the RFC 2104
// construction written out, the silent returns, the context layouts, and
// libcrypto allocation failures.
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>

#include "crypto_test_util.h"
#include "keystore/ks_digest.h"
#include "keystore/ks_hmac.h"
#include "keystore/ks_secret.h"
#include "ks_test_util.h"
#include "ks_vectors.h"
#include "ossl_fault.h"

namespace {

using kstest::bytes;
using kstest::Guarded;
using Bytes = std::vector<uint8_t>;

static_assert(offsetof(hmac_md5_ctx, md_ctx) == 0 && offsetof(hmac_md5_ctx, reserved) == sizeof(void *));
static_assert(offsetof(hmac_sha_ctx, reserved) == 0 && offsetof(hmac_sha_ctx, md_ctx) == sizeof(void *));
static_assert(offsetof(hmac_md5_ctx, opad) == 2 * sizeof(void *) && sizeof(hmac_sha_ctx) == 2 * sizeof(void *) + 64);

struct Vector {
    bool sha1;
    Bytes key, data, mac;
};

// Values are hex, "text", or hex*N (N repetitions).
Bytes parse_value(const std::string &v) {
    if (v.front() == '"') return bytes(v.substr(1, v.size() - 2));
    size_t star = v.find('*');
    if (star == std::string::npos) return kstest::from_hex(v);
    Bytes out;
    for (int i = std::stoi(v.substr(star + 1)); i > 0; --i) out = kstest::cat(out, kstest::from_hex(v.substr(0, star)));
    return out;
}

std::vector<Vector> load_vectors() {
    std::vector<Vector> out;
    for (auto &r : kstest::read_vectors("hmac.txt"))
        out.push_back({r["alg"] == "sha1", parse_value(r["key"]), parse_value(r["data"]), parse_value(r["mac"])});
    return out;
}

// RFC 2104 written out: H((K0 ^ opad) || H((K0 ^ ipad) || text)).
Bytes reference_hmac(bool sha1, Bytes key, const Bytes &data) {
    if (key.size() > 64) key = kstest::plain_digest(sha1, key);
    key.resize(64, 0);
    Bytes inner(key), outer(key);
    for (auto &b : inner) b ^= 0x36;
    for (auto &b : outer) b ^= 0x5c;
    return kstest::plain_digest(sha1, kstest::cat(outer, kstest::plain_digest(sha1, kstest::cat(inner, data))));
}

void one_shot(bool sha1, const uint8_t *key, uint32_t key_len, const uint8_t *data, uint32_t data_len, uint8_t *out) {
    (sha1 ? hmac_sha : hmac_md5)(key, key_len, data, data_len, out);
}

// Init, updates of `chunk` bytes, final, as an outside caller does them.
template <typename Ctx>
void incremental(void (*init)(Ctx *, const uint8_t *, uint32_t), void (*update)(Ctx *, const uint8_t *, uint32_t),
                 void (*final)(uint8_t *, Ctx *), const Bytes &key, const Bytes &data, size_t chunk, uint8_t *out) {
    Ctx c{};
    c.md_ctx = EVP_MD_CTX_new();
    init(&c, key.data(), static_cast<uint32_t>(key.size()));
    for (size_t i = 0; i < data.size(); i += chunk)
        update(&c, data.data() + i, static_cast<uint32_t>(std::min(chunk, data.size() - i)));
    final(out, &c);
}

void incremental(bool sha1, const Bytes &key, const Bytes &data, size_t chunk, uint8_t *out) {
    if (sha1) incremental(hmac_shainit, hmac_shaupdate, hmac_shafinal, key, data, chunk, out);
    else incremental(hmac_md5init, hmac_md5update, hmac_md5final, key, data, chunk, out);
}

class HmacTest : public kstest::KeystoreTest {};

TEST_F(HmacTest, Rfc2202ThroughEveryPath) {
    auto vectors = load_vectors();
    ASSERT_EQ(vectors.size(), 14u);
    for (const auto &v : vectors) {
        SCOPED_TRACE(kstest::to_hex(v.mac.data(), v.mac.size()));
        const size_t len = v.mac.size();
        Guarded a, c;
        one_shot(v.sha1, v.key.data(), static_cast<uint32_t>(v.key.size()), v.data.data(),
                 static_cast<uint32_t>(v.data.size()), a.b);
        EXPECT_EQ(a.get(len + 1), kstest::cat(v.mac, {0xA5})) << "wrong, or written past the digest";
        for (size_t chunk : {size_t{1}, size_t{7}, v.data.size()}) {
            Guarded b;
            incremental(v.sha1, v.key, v.data, chunk, b.b);
            EXPECT_EQ(b.get(len), v.mac) << "chunk " << chunk;
        }
        // The same key as a stored secret, used by name.
        ASSERT_EQ(ks_store_secret_and_metadata("k", nullptr, v.key.data(), static_cast<uint32_t>(v.key.size()),
                                               nullptr, 0),
                  KS_SUCCESS);
        ASSERT_EQ((v.sha1 ? ks_hmac_sha1 : ks_hmac_md5)("k", v.data.data(), static_cast<uint16_t>(v.data.size()), c.b),
                  KS_SUCCESS);
        EXPECT_EQ(c.get(len + 1), kstest::cat(v.mac, {0xA5}));
    }
}

TEST_F(HmacTest, KeysAroundTheBlockSizeAndEmptyData) {
    const Bytes data = bytes("key length sweep");
    const uint8_t some[1] = {'x'};
    for (bool sha1 : {false, true}) {
        for (size_t n : {1, 63, 64, 65, 129}) {
            Bytes key(n);
            for (size_t i = 0; i < n; ++i) key[i] = static_cast<uint8_t>(i * 7 + 1);
            Guarded o;
            one_shot(sha1, key.data(), static_cast<uint32_t>(n), data.data(), static_cast<uint32_t>(data.size()), o.b);
            EXPECT_EQ(o.get(sha1 ? 20 : 16), reference_hmac(sha1, key, data)) << n;
        }
        // Null or empty data is the empty message.
        for (auto [p, len] : {std::pair<const uint8_t *, uint32_t>{nullptr, 0}, {some, 0}, {nullptr, 5}}) {
            Guarded o;
            one_shot(sha1, some, 1, p, len, o.b);
            EXPECT_EQ(o.get(sha1 ? 20 : 16), reference_hmac(sha1, {'x'}, {}));
        }
        // A null or empty key leaves the output unwritten.
        Guarded a, b;
        one_shot(sha1, nullptr, 4, some, 1, a.b);
        one_shot(sha1, some, 0, some, 1, b.b);
        EXPECT_TRUE(a.untouched() && b.untouched());
    }
}

TEST_F(HmacTest, FinalClearsTheShaContextOnly) {
    const uint8_t key[3] = {1, 2, 3};
    Guarded o;
    hmac_sha_ctx s{};
    s.md_ctx = EVP_MD_CTX_new();
    hmac_shainit(&s, key, 3);
    EXPECT_EQ(s.opad[0], 1 ^ 0x5c);
    hmac_shafinal(o.b, &s);
    const auto *p = reinterpret_cast<const uint8_t *>(&s);
    EXPECT_TRUE(std::all_of(p, p + sizeof s, [](uint8_t x) { return x == 0; }));
    hmac_md5_ctx m{};
    m.md_ctx = EVP_MD_CTX_new();
    hmac_md5init(&m, key, 3);
    hmac_md5final(o.b, &m);
    EXPECT_EQ(m.opad[2], 3 ^ 0x5c);
}

// Each libcrypto allocation of a computation fails in turn: the output is
// then the right HMAC or untouched, never anything else.
TEST_F(HmacTest, LibcryptoAllocationFailuresLeaveTheOutputUnwritten) {
    if (!kstest::ossl_faults_available()) GTEST_SKIP() << "libcrypto allocated before the hook";
    const Bytes data = bytes("data");
    const uint64_t failed_at_start = kstest::ossl_failed_allocations();
    for (bool sha1 : {false, true}) {
        for (size_t key_len : {10, 80}) {
            const Bytes key(key_len, 0x42), want = reference_hmac(sha1, key, data);
            const std::function<void(uint8_t *)> paths[] = {
                [&](uint8_t *o) { one_shot(sha1, key.data(), static_cast<uint32_t>(key_len), data.data(), 4, o); },
                [&](uint8_t *o) { incremental(sha1, key, data, 1, o); },
            };
            for (const auto &run : paths) {
                bool completed = false;
                for (uint64_t n = 1; n < 200 && !completed; ++n) {
                    const uint64_t before = kstest::ossl_failed_allocations();
                    Guarded o;
                    kstest::ossl_fail_nth(n);
                    run(o.b);
                    kstest::ossl_fail_nth(0);
                    completed = kstest::ossl_failed_allocations() == before;
                    EXPECT_TRUE(o.get(want.size()) == want || (!completed && o.untouched())) << "allocation " << n;
                }
                EXPECT_TRUE(completed);
            }
        }
    }
    EXPECT_GT(kstest::ossl_failed_allocations(), failed_at_start);
}

// A failure while the private context is first set up is not remembered:
// the next call sets it up. Only a fresh process (as ctest runs each test)
// reaches the set-up; elsewhere nothing allocates and the check is trivial.
TEST_F(HmacTest, PrivateContextRecoversFromFailedSetUp) {
    if (!kstest::ossl_faults_available()) GTEST_SKIP() << "libcrypto allocated before the hook";
    kstest::ossl_fail_nth(1);
    (void)ks::ossl::md(ks::ossl::Md::kSha1);
    kstest::ossl_fail_nth(0);
    EXPECT_NE(ks::ossl::md(ks::ossl::Md::kSha1), nullptr);
    EXPECT_NE(ks::ossl::md(ks::ossl::Md::kMd4), nullptr);
    const Bytes key = bytes("Jefe"), data = bytes("what do ya want for nothing?");
    Guarded o;
    hmac_sha(key.data(), 4, data.data(), 28, o.b);
    EXPECT_EQ(kstest::to_hex(o.b, 20), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
}

}  // namespace
