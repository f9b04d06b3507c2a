// SPDX-License-Identifier: Apache-2.0
// The crypto backend's first uses: the library context, its providers and
// algorithms are made on first use, so each case runs in a fresh child
// process where no earlier test has used libcrypto.
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/provider.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "../model/ks_model.h"
#include "../model/ks_ops.h"
#include "ks_crypto_openssl.h"
#include "ks_des_key.h"
#include "ks_mschap_core.h"
#include "ks_vectors.h"
#include "ossl_fault.h"

namespace kstest {
namespace {

using ks::crypto::Md;

// Runs this test binary again with only the current test selected and
// KS_CHILD=mode, and answers what it printed; the child's own failures fail
// the parent. The child is not a shard: a sharded parent's shard settings
// would leave it no test to run.
std::string run_child(const char *mode) {
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return ADD_FAILURE() << "no /proc/self/exe", "";
    self[n] = 0;
    const std::string cmd = S(
        "env -u GTEST_SHARD_INDEX -u GTEST_TOTAL_SHARDS -u GTEST_SHARD_STATUS_FILE KS_CHILD=", mode, " ", KS_RUN_PREFIX,
        " '", self, "' --gtest_brief=1 --gtest_filter=", test->test_suite_name(), ".", test->name(), " 2>&1");
    FILE *child = popen(cmd.c_str(), "r");
    if (child == nullptr) return ADD_FAILURE() << "popen " << cmd, "";
    std::string out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, child) != nullptr) out += buf;
    EXPECT_EQ(pclose(child), 0) << mode << ":\n" << out;
    return out;
}

// In the parent: runs the current test in a child (KS_CHILD=mode), checks
// that it printed `done` and answers false. In the child: answers true.
bool in_child(const char *mode, const char *done) {
    if (std::getenv("KS_CHILD") != nullptr) return true;
    const std::string out = run_child(mode);
    EXPECT_NE(out.find(done), std::string::npos) << mode << ":\n" << out;
    return false;
}

// A first use of MD4 or DES that cannot load their provider fails and
// publishes nothing: the next use, with the provider there, loads it and
// succeeds, whichever algorithm comes first.
TEST(CryptoBackend, LegacyProviderLoadedOnALaterUse) {
    if (const char *order = std::getenv("KS_CHILD")) {
        auto hash_and_des = [des_first = *order == 'd'] {
            const Bytes pw = value(read_vectors("mschapv2.txt").at(0)["Password"]);
            uint8_t hash[ks::kNtHashLen] = {}, clear[8] = {}, key[7] = {}, cipher[8];
            int32_t d = des_first ? ks::des_encrypt_block(clear, key, cipher) : 0;
            const int32_t h = ks::nt_password_hash(pw.data(), uint32_t(pw.size()), hash);
            if (!des_first) d = ks::des_encrypt_block(clear, key, cipher);
            return S(ks_err_str(h), " ", to_hex(hash, sizeof hash), ", DES ", ks_err_str(d));
        };
        const char *modules = std::getenv("OPENSSL_MODULES");
        const std::string saved = modules != nullptr ? modules : "";
        setenv("OPENSSL_MODULES", "/nonexistent", 1);
        std::printf("without the provider: %s\n", hash_and_des().c_str());
        modules != nullptr ? setenv("OPENSSL_MODULES", saved.c_str(), 1) : unsetenv("OPENSSL_MODULES");
        std::printf("with it: %s\n", hash_and_des().c_str());
        return;
    }
    for (const char *order : {"md4", "des"})  // which comes first
        in_child(order,
                 "without the provider: CRYPTO_ERR 00000000000000000000000000000000, DES CRYPTO_ERR\n"
                 "with it: SUCCESS 44ebba8d5312b8d611474411f56989ae, DES SUCCESS\n");
}

// What a context like the backend's costs in libcrypto's live blocks:
// `bare` blocks made by creating it, `after_free` blocks still live once it
// has loaded its providers and been freed (libcrypto 3.0 keeps some).
struct ContextCost {
    long bare = 0, after_free = 0;
};
long live() { return long(ksmodel::libcrypto_live()); }
ContextCost context_cost() {
    const long before = live();
    OSSL_LIB_CTX *ctx = OSSL_LIB_CTX_new();
    const long bare = live() - before;
    (void)OSSL_PROVIDER_load(ctx, "default");
    (void)OSSL_PROVIDER_load(ctx, "legacy");
    EVP_MD_free(EVP_MD_fetch(ctx, "no such digest", nullptr));
    OSSL_LIB_CTX_free(ctx);
    return {bare, live() - before};
}

// As in_child(); in the child, also counts libcrypto's blocks from here on
// and makes libcrypto's one-time state (so that later counts show only what a
// use keeps).
bool counting_child(const char *mode, const char *done) {
    if (!in_child(mode, done)) return false;
    if (!ossl_faults_available() || !ksmodel::count_libcrypto(false)) {
        ADD_FAILURE() << "libcrypto allocated before the hooks";
        return false;
    }
    context_cost();
    return true;
}

// A first use that fails at any of libcrypto's allocations frees the library
// context it made. libcrypto itself keeps a few blocks after some failed
// allocations inside its own context creation, never a whole context; a
// context made and dropped keeps at least its own blocks. The last round,
// with no allocation failing, succeeds.
TEST(CryptoBackend, FailedFirstUseKeepsNoContext) {
    if (!counting_child("sweep", "first use succeeded after ")) return;
    const long bare = context_cost().bare;
    uint64_t n = 1;
    for (;; ++n) {
        const long before = live();
        const EVP_MD *sha1 = nullptr;
        if (!ossl_fail_at(n, [&] { sha1 = ks::crypto::ossl::md(Md::kSha1); })) {
            ASSERT_NE(sha1, nullptr);
            break;
        }
        EXPECT_TRUE(sha1 != nullptr || live() - before < bare) << "allocation " << n << " failed, " << live() - before;
    }
    std::printf("first use succeeded after %llu failed allocations\n", static_cast<unsigned long long>(n - 1));
}

// Two threads racing the first use both make a context; the one that loses
// frees its copy. The loser is held at its first allocation, inside its
// context's creation, while the winner makes and publishes its own; the
// loser's copy then leaves no more than freeing a context leaves, and less
// than that plus a bare context (which keeping it would leave).
TEST(CryptoBackend, FirstUseRaceLoserFreesItsCopy) {
    if (!counting_child("race", "the loser's copy left ")) return;
    const ContextCost cost = context_cost();
    const EVP_MD *lost = nullptr;
    std::thread loser([&] {
        context_cost();  // this thread's own libcrypto state, before the count
        ksmodel::ossl_count::hold_next = true;
        lost = ks::crypto::ossl::md(Md::kSha1);
    });
    ksmodel::ossl_count::wait_until_held();
    const long before = live();
    const EVP_MD *won = ks::crypto::ossl::md(Md::kSha1);
    const long published = live() - before;
    ksmodel::ossl_count::release();
    loser.join();
    const long left = live() - before - published;
    ASSERT_NE(won, nullptr);
    EXPECT_EQ(lost, won);
    EXPECT_LT(left, cost.after_free + cost.bare) << "published " << published;
    std::printf("the loser's copy left %ld blocks (a freed context leaves %ld, a bare one is %ld)\n", left,
                cost.after_free, cost.bare);
}

// A key's AES call on the plain path (here its own state cannot be made)
// keys the working context the process keeps, made on the first such call
// (the library context and the algorithm are made first, so that every
// allocation of the working context gets its turn to fail). A first call
// that fails at any of libcrypto's allocations writes nothing and answers a
// failure, or else the cipher text; the round with no allocation failing
// enciphers.
TEST(CryptoBackend, FailedFirstAesCallWritesNothing) {
    if (!in_child("aes", "AES enciphered after ")) return;
    ASSERT_TRUE(ossl_faults_available());
    reset_keystore();
    ASSERT_EQ(ksops::Call({"ks_store_secret_and_metadata", "aesk", "@null", "k*16", "#", "@null", "0"}).run(),
              KS_SUCCESS);
    ASSERT_NE(ks::crypto::ossl::cipher(ks::crypto::Cipher::kAes128Ecb), nullptr);
    ksh_alloc_fail_tag(ks::kTagKeyStateSlots);
    std::vector<std::pair<int64_t, std::string>> faulted;  // status, output
    for (uint64_t n = 1;; ++n) {
        ASSERT_LT(n, 1000u);
        ksops::Call call({"ks_aes_encrypt", "aesk", "i*32", "@out@3", "32"});
        int64_t st = 0;
        if (!ossl_fail_at(n, [&] { st = call.run(); })) {
            ASSERT_EQ(st, KS_SUCCESS);
            for (const auto &[status, out] : faulted)
                EXPECT_TRUE(status == KS_SUCCESS ? out == call.output(2) : out.empty()) << status;
            std::printf("AES enciphered after %llu failed allocations\n", static_cast<unsigned long long>(n - 1));
            break;
        }
        faulted.emplace_back(st, call.untouched() ? "" : call.output(2));
    }
    ksh_alloc_fail_tag(0);
}

}  // namespace
}  // namespace kstest
