// SPDX-License-Identifier: Apache-2.0
// The crypto backend's first uses: the library context, its providers and
// algorithms are made on first use, so each case runs in a fresh child
// process where no earlier test has used libcrypto.
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/provider.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

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
    for (const char *order : {"md4", "des"}) {
        const std::string out = run_child(order);
        EXPECT_NE(out.find("without the provider: CRYPTO_ERR 00000000000000000000000000000000, DES CRYPTO_ERR\n"
                           "with it: SUCCESS 44ebba8d5312b8d611474411f56989ae, DES SUCCESS\n"),
                  std::string::npos)
            << order << " first:\n"
            << out;
    }
}

// libcrypto's live blocks, counted over the fault hooks. A thread that asks
// is held at its next allocation until the test releases it.
namespace live {
CRYPTO_malloc_fn next_malloc;
CRYPTO_realloc_fn next_realloc;
CRYPTO_free_fn next_free;
std::mutex blocks_lock;
// Never destroyed, so that LeakSanitizer, which looks after the static
// destructors, still finds every tracked block: these tests measure what
// libcrypto keeps (3.0 keeps some blocks after a failed allocation) rather
// than have it reported as a leak.
std::set<void *> &blocks = *new std::set<void *>;
thread_local bool hold_next = false;
std::mutex gate_lock;
std::condition_variable gate;
bool held = false, released = false;

// Drops `gone` from the live blocks and adds `made` (each may be null).
void track(void *gone, void *made) {
    std::lock_guard guard(blocks_lock);
    if (gone != nullptr) blocks.erase(gone);
    if (made != nullptr) blocks.insert(made);
}
void hold() {
    if (!hold_next) return;
    hold_next = false;
    std::unique_lock lock(gate_lock);
    held = true;
    gate.notify_all();
    gate.wait(lock, [] { return released; });
}
void *on_malloc(size_t n, const char *f, int l) {
    hold();
    void *p = next_malloc(n, f, l);
    track(nullptr, p);
    return p;
}
void *on_realloc(void *p, size_t n, const char *f, int l) {
    hold();
    void *q = next_realloc(p, n, f, l);
    track(q != nullptr || n == 0 ? p : nullptr, q);
    return q;
}
void on_free(void *p, const char *f, int l) {
    track(p, nullptr);
    next_free(p, f, l);
}
bool install() {
    CRYPTO_get_mem_functions(&next_malloc, &next_realloc, &next_free);
    return CRYPTO_set_mem_functions(on_malloc, on_realloc, on_free) == 1;
}
// (The error queue's texts go first: they come and go with errors.)
long count() {
    ERR_clear_error();
    std::lock_guard guard(blocks_lock);
    return long(blocks.size());
}

// What a context like the backend's keeps: `bare` blocks made by creating
// it, `after_free` blocks still live once it has loaded its providers and
// been freed (libcrypto 3.0 keeps some).
struct ContextCost {
    long bare = 0, after_free = 0;
};
ContextCost context_cost() {
    const long before = count();
    OSSL_LIB_CTX *ctx = OSSL_LIB_CTX_new();
    const long bare = count() - before;
    (void)OSSL_PROVIDER_load(ctx, "default");
    (void)OSSL_PROVIDER_load(ctx, "legacy");
    EVP_MD_free(EVP_MD_fetch(ctx, "no such digest", nullptr));
    OSSL_LIB_CTX_free(ctx);
    return {bare, count() - before};
}
}  // namespace live

// In the parent: runs the current test in a child (KS_CHILD=mode) and
// checks that it printed `done`; answers false. In the child: counts
// libcrypto's blocks from here on, makes libcrypto's one-time state (so that
// later counts show only what a use keeps) and answers true.
bool counting_child(const char *mode, const char *done) {
    if (std::getenv("KS_CHILD") == nullptr) {
        const std::string out = run_child(mode);
        EXPECT_NE(out.find(done), std::string::npos) << out;
        return false;
    }
    if (!ossl_faults_available() || !live::install()) {
        ADD_FAILURE() << "libcrypto allocated before the hooks";
        return false;
    }
    live::context_cost();
    return true;
}

// A first use that fails at any of libcrypto's allocations frees the library
// context it made. libcrypto itself keeps a few blocks after some failed
// allocations inside its own context creation, never a whole context; a
// context made and dropped keeps at least its own blocks. The last round,
// with no allocation failing, succeeds.
TEST(CryptoBackend, FailedFirstUseKeepsNoContext) {
    if (!counting_child("sweep", "first use succeeded after ")) return;
    const long bare = live::context_cost().bare;
    uint64_t n = 1;
    for (;; ++n) {
        const long before = live::count();
        const uint64_t failed = ossl_failed_allocations();
        ossl_fail_nth(n);
        const EVP_MD *sha1 = ks::crypto::ossl::md(Md::kSha1);
        ossl_fail_nth(0);
        if (ossl_failed_allocations() == failed) {
            ASSERT_NE(sha1, nullptr);
            break;
        }
        if (sha1 == nullptr) {
            EXPECT_LT(live::count() - before, bare) << "allocation " << n << " failed";
        }
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
    const live::ContextCost cost = live::context_cost();
    const EVP_MD *lost = nullptr;
    std::thread loser([&] {
        live::context_cost();  // this thread's own libcrypto state, before the count
        live::hold_next = true;
        lost = ks::crypto::ossl::md(Md::kSha1);
    });
    {
        std::unique_lock lock(live::gate_lock);
        live::gate.wait(lock, [] { return live::held; });
    }
    const long before = live::count();
    const EVP_MD *won = ks::crypto::ossl::md(Md::kSha1);
    const long published = live::count() - before;
    {
        std::lock_guard lock(live::gate_lock);
        live::released = true;
    }
    live::gate.notify_all();
    loser.join();
    const long left = live::count() - before - published;
    ASSERT_NE(won, nullptr);
    EXPECT_EQ(lost, won);
    EXPECT_LT(left, cost.after_free + cost.bare) << "published " << published;
    std::printf("the loser's copy left %ld blocks (a freed context leaves %ld, a bare one is %ld)\n", left,
                cost.after_free, cost.bare);
}

}  // namespace
}  // namespace kstest
