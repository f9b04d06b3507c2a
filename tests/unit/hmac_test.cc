// HMAC primitives: RFC 2202 through the one-shot, incremental and
// stored-secret paths, block-size keys against an independent RFC 2104
// construction, the silent returns, the context layouts, and libcrypto
// allocation failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "keystore/ks_digest.h"
#include "keystore/ks_hmac.h"
#include "keystore/ks_secret.h"
#include "ks_ossl.h"
#include "ks_test_util.h"
#include "ossl_fault.h"

namespace {

using kstest::bytes;
using kstest::to_hex;
using Bytes = std::vector<uint8_t>;

static_assert(offsetof(hmac_md5_ctx, md_ctx) == 0);
static_assert(offsetof(hmac_md5_ctx, reserved) == sizeof(void *));
static_assert(offsetof(hmac_md5_ctx, opad) == 2 * sizeof(void *));
static_assert(offsetof(hmac_sha_ctx, reserved) == 0);
static_assert(offsetof(hmac_sha_ctx, md_ctx) == sizeof(void *));
static_assert(offsetof(hmac_sha_ctx, opad) == 2 * sizeof(void *));
static_assert(sizeof(hmac_sha_ctx) == 2 * sizeof(void *) + 64);

struct Vector {
    bool sha1;
    Bytes key, data;
    std::string mac;
};

Bytes parse_value(std::string v) {
    if (v.size() >= 2 && v.front() == '"') return bytes(v.substr(1, v.size() - 2));
    size_t star = v.find('*');
    if (star == std::string::npos) return kstest::from_hex(v);
    Bytes unit = kstest::from_hex(v.substr(0, star)), out;
    for (int i = std::stoi(v.substr(star + 1)); i > 0; --i) out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

std::vector<Vector> load_vectors() {
    std::ifstream in(KS_TEST_VECTORS_DIR "/hmac.txt");
    std::vector<Vector> out;
    Vector cur{};
    std::string line;
    auto trim = [](std::string s) {
        s.erase(0, s.find_first_not_of(' '));
        s.erase(s.find_last_not_of(' ') + 1);
        return s;
    };
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        std::string k = trim(line.substr(0, eq)), v = trim(line.substr(eq + 1));
        if (k == "alg") cur.sha1 = v == "sha1";
        else if (k == "key") cur.key = parse_value(v);
        else if (k == "data") cur.data = parse_value(v);
        else if (k == "mac") {
            cur.mac = v;
            out.push_back(cur);
        }
    }
    return out;
}

// RFC 2104 written out independently of the library: H((K0 ^ opad) || H((K0 ^ ipad) || text)).
Bytes digest(bool sha1, const Bytes &in) {
    const EVP_MD *md = ks::ossl::md(sha1 ? ks::ossl::Md::kSha1 : ks::ossl::Md::kMd5);
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned n = 0;
    EXPECT_EQ(EVP_Digest(in.data(), in.size(), out.data(), &n, md, nullptr), 1);
    out.resize(n);
    return out;
}

Bytes reference_hmac(bool sha1, Bytes key, const Bytes &data) {
    if (key.size() > 64) key = digest(sha1, key);
    key.resize(64, 0);
    Bytes inner(key), outer(key);
    for (auto &b : inner) b ^= 0x36;
    for (auto &b : outer) b ^= 0x5c;
    inner.insert(inner.end(), data.begin(), data.end());
    Bytes h = digest(sha1, inner);
    outer.insert(outer.end(), h.begin(), h.end());
    return digest(sha1, outer);
}

// Output buffer with a guard: every byte starts as 0xA5.
struct Out {
    uint8_t b[24];
    Out() { std::memset(b, 0xA5, sizeof b); }
    std::string hex(size_t n) const { return to_hex(b, n); }
    bool untouched() const {
        for (uint8_t x : b)
            if (x != 0xA5) return false;
        return true;
    }
};

void one_shot(bool sha1, const uint8_t *key, uint32_t key_len, const uint8_t *data, uint32_t data_len, uint8_t *out) {
    (sha1 ? hmac_sha : hmac_md5)(key, key_len, data, data_len, out);
}

// Feeds the data in chunks of `chunk` bytes through init/update/final.
void incremental(bool sha1, const Bytes &key, const Bytes &data, size_t chunk, uint8_t *out) {
    if (sha1) {
        hmac_sha_ctx c{};
        c.md_ctx = EVP_MD_CTX_new();
        hmac_shainit(&c, key.data(), static_cast<uint32_t>(key.size()));
        for (size_t i = 0; i < data.size(); i += chunk)
            hmac_shaupdate(&c, data.data() + i, static_cast<uint32_t>(std::min(chunk, data.size() - i)));
        hmac_shafinal(out, &c);
    } else {
        hmac_md5_ctx c{};
        c.md_ctx = EVP_MD_CTX_new();
        hmac_md5init(&c, key.data(), static_cast<uint32_t>(key.size()));
        for (size_t i = 0; i < data.size(); i += chunk)
            hmac_md5update(&c, data.data() + i, static_cast<uint32_t>(std::min(chunk, data.size() - i)));
        hmac_md5final(out, &c);
    }
}

class HmacTest : public kstest::KeystoreTest {};

TEST_F(HmacTest, Rfc2202ThroughEveryPath) {
    auto vectors = load_vectors();
    ASSERT_EQ(vectors.size(), 14u);
    for (const auto &v : vectors) {
        SCOPED_TRACE(v.mac);
        const size_t len = v.sha1 ? 20 : 16;
        Out a;
        one_shot(v.sha1, v.key.data(), static_cast<uint32_t>(v.key.size()), v.data.data(),
                 static_cast<uint32_t>(v.data.size()), a.b);
        EXPECT_EQ(a.hex(len), v.mac);
        EXPECT_EQ(a.b[len], 0xA5) << "wrote past the digest";
        for (size_t chunk : {size_t{1}, size_t{7}, size_t{64}, v.data.size()}) {
            Out b;
            incremental(v.sha1, v.key, v.data, chunk, b.b);
            EXPECT_EQ(b.hex(len), v.mac) << "chunk " << chunk;
        }
        // The same key as a stored secret, used by name.
        ASSERT_EQ(ks_store_secret_and_metadata("rfc2202", nullptr, v.key.data(), static_cast<uint32_t>(v.key.size()),
                                               nullptr, 0),
                  KS_SUCCESS);
        Out c;
        auto fn = v.sha1 ? ks_hmac_sha1 : ks_hmac_md5;
        ASSERT_EQ(fn("rfc2202", v.data.data(), static_cast<uint16_t>(v.data.size()), c.b), KS_SUCCESS);
        EXPECT_EQ(c.hex(len), v.mac);
        EXPECT_EQ(c.b[len], 0xA5);
    }
}

TEST_F(HmacTest, KeysAroundTheBlockSizeMatchTheConstruction) {
    const Bytes data = bytes("key length sweep");
    for (bool sha1 : {false, true}) {
        for (size_t n : {1, 20, 63, 64, 65, 100, 129}) {
            SCOPED_TRACE(::testing::Message() << (sha1 ? "sha1 " : "md5 ") << n);
            Bytes key(n);
            for (size_t i = 0; i < n; ++i) key[i] = static_cast<uint8_t>(i * 7 + 1);
            Bytes want = reference_hmac(sha1, key, data);
            Out o;
            one_shot(sha1, key.data(), static_cast<uint32_t>(n), data.data(), static_cast<uint32_t>(data.size()), o.b);
            EXPECT_EQ(o.hex(want.size()), to_hex(want.data(), want.size()));
        }
    }
}

TEST_F(HmacTest, NullOrEmptyDataIsTheEmptyMessage) {
    const Bytes key = bytes("k");
    const uint8_t some[1] = {'x'};
    for (bool sha1 : {false, true}) {
        Bytes want = reference_hmac(sha1, key, {});
        struct Row {
            const uint8_t *data;
            uint32_t len;
        } rows[] = {{nullptr, 0}, {some, 0}, {nullptr, 5}};
        for (const auto &r : rows) {
            Out o;
            one_shot(sha1, key.data(), 1, r.data, r.len, o.b);
            EXPECT_EQ(o.hex(want.size()), to_hex(want.data(), want.size()));
        }
    }
}

TEST_F(HmacTest, NullOrEmptyKeyLeavesTheOutputUnwritten) {
    const uint8_t key[1] = {1}, data[1] = {2};
    for (bool sha1 : {false, true}) {
        Out a, b;
        one_shot(sha1, nullptr, 4, data, 1, a.b);
        one_shot(sha1, key, 0, data, 1, b.b);
        EXPECT_TRUE(a.untouched());
        EXPECT_TRUE(b.untouched());
    }
}

TEST_F(HmacTest, FinalClearsTheShaContextAndLeavesTheMd5One) {
    const uint8_t key[3] = {1, 2, 3};
    hmac_sha_ctx s{};
    s.md_ctx = EVP_MD_CTX_new();
    hmac_shainit(&s, key, 3);
    EXPECT_EQ(s.opad[0], 1 ^ 0x5c);
    Out o;
    hmac_shafinal(o.b, &s);
    const auto *p = reinterpret_cast<const uint8_t *>(&s);
    EXPECT_EQ(std::count(p, p + sizeof s, 0), static_cast<long>(sizeof s));

    hmac_md5_ctx m{};
    m.md_ctx = EVP_MD_CTX_new();
    hmac_md5init(&m, key, 3);
    hmac_md5final(o.b, &m);
    EXPECT_EQ(m.opad[2], 3 ^ 0x5c);
    EXPECT_EQ(m.opad[63], 0x5c);
}

// Every libcrypto allocation of a computation fails in turn: the output is
// then either the right HMAC or untouched, never anything else.
TEST_F(HmacTest, LibcryptoAllocationFailuresLeaveTheOutputUnwritten) {
    if (!kstest::ossl_faults_available()) GTEST_SKIP() << "libcrypto allocated before the hook";
    const Bytes data = bytes("data");
    const uint64_t failed_at_start = kstest::ossl_failed_allocations();
    for (bool sha1 : {false, true}) {
        for (size_t key_len : {10, 80}) {
            Bytes key(key_len, 0x42);
            Bytes want = reference_hmac(sha1, key, data);
            std::vector<std::function<void(uint8_t *)>> paths = {
                [&](uint8_t *o) { one_shot(sha1, key.data(), static_cast<uint32_t>(key.size()), data.data(), 4, o); },
                [&](uint8_t *o) { incremental(sha1, key, data, 1, o); },
            };
            for (auto &run : paths) {
                bool completed = false;
                for (uint64_t n = 1; n < 200 && !completed; ++n) {
                    const uint64_t before = kstest::ossl_failed_allocations();
                    Out o;
                    kstest::ossl_fail_nth(n);
                    run(o.b);
                    kstest::ossl_fail_nth(0);
                    completed = kstest::ossl_failed_allocations() == before;
                    if (completed)
                        EXPECT_EQ(o.hex(want.size()), to_hex(want.data(), want.size()));
                    else
                        EXPECT_TRUE(o.untouched() || o.hex(want.size()) == to_hex(want.data(), want.size()))
                            << "allocation " << n << " gave " << o.hex(want.size());
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
    Out o;
    hmac_sha(reinterpret_cast<const uint8_t *>("Jefe"), 4,
             reinterpret_cast<const uint8_t *>("what do ya want for nothing?"), 28, o.b);
    EXPECT_EQ(o.hex(20), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
}

}  // namespace
