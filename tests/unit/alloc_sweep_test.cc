// SPDX-License-Identifier: Apache-2.0
// The allocation-failure sweep over the rows of tests/data/alloc_sweep.txt:
// every allocating operation runs once per allocation it makes, with exactly
// that allocation failing, and must answer and leave the key table and the
// PAC cache as its row says, holding no block the remaining state does not
// account for. A call without faults must make exactly the row's
// allocations (owner tag and size, in order). The crypto rows also run with
// each of libcrypto's own allocations failing.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "../model/ks_model.h"
#include "../model/ks_ops.h"
#include "ks_test_util.h"
#include "ossl_fault.h"

namespace {

using Row = std::vector<std::string>;
const std::string kRows = std::string(KS_TEST_DATA_DIR) + "/data/alloc_sweep.txt";

// While set, every allocation the library asks for, as "tag:size" (the tag
// less 0x04600000, in hex) after a comma. Sizes are written as on a 64-bit
// build, so one row serves both: the slot array is all pointers, the per-key
// state's pointer block 8 bytes and a pointer per slot; the PAC cache's
// blocks (entry, derived, MACK, KEK) hold 10, 6, 4 and 4 beside bytes, its
// index a header of 32 bytes and two pointers per bucket. A key's crypto
// state is as large as the crypto backend's paths on this build make it: "*".
std::string *g_allocations = nullptr;
void record(uint32_t tag, size_t size) {
    char b[32];
    constexpr size_t kPointers[] = {10, 6, 4, 4}, kWiden = 8 - sizeof(void *);
    if (tag == ks::kTagSlots) size = size / sizeof(void *) * 8;
    if (tag == ks::kTagKeyStateSlots) size = 8 + (size - 8) / sizeof(void *) * 8;
    if (tag >= ks::kTagPacCacheEntry && tag <= ks::kTagPacKek) size += kPointers[tag - ks::kTagPacCacheEntry] * kWiden;
    if (tag == ks::kTagPacCacheIndex) size = 32 + (size - sizeof(ks::PacCacheIndex)) / sizeof(void *) * 8;
    std::snprintf(b, sizeof b, ",%X:", tag - 0x04600000u);
    if (g_allocations != nullptr) *g_allocations += b + (tag == ks::kTagKeyState ? "*" : std::to_string(size));
}

// A row's allocations as this build makes them: those marked "?aes" only
// where the crypto backend keeps AES schedules.
std::string expected_allocations(const std::string &row) {
    const bool aes = ks::crypto::aes_schedule_bytes() != 0;
    std::stringstream in(row);
    std::string out;
    for (std::string item; std::getline(in, item, ',');) {
        const bool aes_only = item.ends_with("?aes");
        if (aes_only) item.resize(item.size() - 4);
        if (aes || !aes_only) out += (out.empty() ? "" : ",") + item;
    }
    return out.empty() ? "-" : out;
}

}  // namespace

// The platform's allocator, seen through the recorder.
extern "C" void *tagged_calloc(uint32_t tag, size_t count, size_t size) {
    static const auto next = reinterpret_cast<void *(*)(uint32_t, size_t, size_t)>(dlsym(RTLD_NEXT, "tagged_calloc"));
    record(tag, count * size);
    return next(tag, count, size);
}
extern "C" void *tagged_realloc(uint32_t tag, void *block, size_t size) {
    static const auto next = reinterpret_cast<void *(*)(uint32_t, void *, size_t)>(dlsym(RTLD_NEXT, "tagged_realloc"));
    record(tag, size);
    return next(tag, block, size);
}

namespace {

ksmodel::Keystore without_derived(ksmodel::Keystore s) {
    for (auto &c : s.cache) c.derived.reset(), c.mack.reset(), c.kek.reset();
    return s;
}

// The k-th of a comma-separated list, the last one for the rest.
std::string nth(const std::string &list, size_t k) {
    std::stringstream in(list);
    std::string item;
    for (size_t i = 0; i <= k && std::getline(in, item, ',');) ++i;
    return item;
}

class AllocSweepTest : public kstest::KeystoreTest {
  protected:
    std::vector<Row> setup_, before_;
    // The keystore a call starts from: the setup rows, a table filled to its
    // slot capacity (the same for every row: the slot array is made anew),
    // then the row's own `before` calls.
    void prepare() {
        kstest::reset_keystore();
        tagged_free(std::exchange(ks_sym_keys, nullptr));
        ks_sym_tab_size = 0;
        for (const Row &r : setup_) ASSERT_EQ(ksops::Call(r).run(), KS_SUCCESS) << r[0];
        for (int i = 0; ks_num_sym_keys < ks_sym_tab_size; ++i)
            ASSERT_EQ(ksops::Call(
                          {"ks_store_secret_and_metadata", "fill" + std::to_string(i), "@null", "f", "1", "@null", "0"})
                          .run(),
                      KS_SUCCESS);
        for (const Row &r : before_) ksops::Call(r).run();
        ksh_reset_recorders();
        ksh_random_set_seed(7);
    }

    void sweep(const Row &row) {
        const Row call_row(row.begin() + 4, row.end());
        std::string made;
        ASSERT_NO_FATAL_FAILURE(prepare());
        ksops::Call clean_call(call_row);
        g_allocations = &made;
        const int64_t ok = clean_call.run();
        g_allocations = nullptr;
        ASSERT_EQ(ok, ksops::status_of(row[0]));
        EXPECT_EQ(made.empty() ? "-" : made.substr(1), expected_allocations(row[3])) << "the allocations differ";
        const ksmodel::Keystore clean = ksmodel::observe();
        const size_t events = ksh_pac_event_count(), n = std::count(made.begin(), made.end(), ',');
        for (size_t k = 1; k <= n; ++k) {
            SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(n));
            ASSERT_NO_FATAL_FAILURE(prepare());
            ksops::Call call(call_row);
            const ksmodel::Keystore before = ksmodel::observe();
            const uint64_t spare = ksmodel::library_blocks() - ksmodel::accounted(before),
                           failed = ksh_alloc_failed_calls();
            ksh_alloc_fail_nth(k);
            const int64_t st = call.run();
            ksh_alloc_fail_nth(0);
            ASSERT_EQ(ksh_alloc_failed_calls(), failed + 1) << "the failure was not reached";
            call.release();
            const std::string want = nth(row[1], k - 1), leave = nth(row[2], k - 1);
            EXPECT_TRUE(want.find('|') != std::string::npos ? want.find(std::to_string(st)) != std::string::npos
                                                            : st == ksops::status_of(want))
                << "status " << st;
            const ksmodel::Keystore after = ksmodel::observe();
            ksmodel::Keystore expected = leave == "clean" ? clean : before;
            if (leave.rfind("purge:", 0) == 0) expected.purge(kstest::bytes("\x01" + leave.substr(6)));
            if (leave.rfind("uncached:", 0) == 0) expected = clean, expected.drop(kstest::bytes(leave.substr(9)));
            const auto bare = without_derived(after);
            EXPECT_TRUE(leave == "~" ? bare == without_derived(before) || bare == without_derived(clean)
                                     : after == expected);
            for (size_t i = 0; i < call.args.size() && leave != "any"; ++i) {
                if (call.args[i].token.rfind("@out", 0) != 0) continue;
                EXPECT_TRUE(st == ok ? call.output(i) == clean_call.output(i) : call.untouched()) << "output " << i;
            }
            EXPECT_EQ(ksh_pac_event_count(), st == ok ? events : 0u) << "PAC notifications";
            EXPECT_EQ(ksmodel::library_blocks() - ksmodel::accounted(after), spare) << "a block is not accounted for";
        }
    }

    // libcrypto's allocations fail one at a time until the call makes no more.
    void crypto_sweep(const Row &row) {
        const Row call_row(row.begin() + 2, row.end());
        ASSERT_NO_FATAL_FAILURE(prepare());
        ksops::Call clean_call(call_row);
        ASSERT_EQ(clean_call.run(), KS_SUCCESS);  // algorithms are fetched before any fault
        kstest::reset_keystore();
        const size_t objects = ksmodel::libcrypto_live();
        int unwritten = 0, zeroings = 0;  // SUCCESS with nothing written; failures that zeroed
        for (uint64_t n = 1;; ++n) {
            ASSERT_LT(n, 1000u);
            ASSERT_NO_FATAL_FAILURE(prepare());
            ksops::Call call(call_row);
            const ksmodel::Keystore before = ksmodel::observe();
            const uint64_t blocks = ksmodel::library_blocks();
            int64_t st = 0;
            if (!kstest::ossl_fail_at(n, [&] { st = call.run(); })) break;  // fewer than n allocations
            SCOPED_TRACE("libcrypto allocation " + std::to_string(n));
            call.release();
            EXPECT_TRUE(st == KS_SUCCESS || st == KS_CRYPTO_ERR || st == KS_NO_MEMORY) << st;
            size_t o = 0;  // the output
            while (call.args[o].token.rfind("@out", 0) != 0) ++o;
            const std::string out = call.output(o);
            const bool same = out == clean_call.output(o);
            unwritten += st == KS_SUCCESS && call.untouched();
            const bool zeroed = row[1] == "0" && out == std::string(out.size(), '\0');
            zeroings += st != KS_SUCCESS && zeroed;
            EXPECT_TRUE(st == KS_SUCCESS ? same || (row[1][0] == '~' && call.untouched()) : call.untouched() || zeroed)
                << "output";
            EXPECT_TRUE(ksmodel::observe() == before);
            EXPECT_EQ(ksmodel::library_blocks(), blocks);
            // Nothing half made stays behind to spoil or leak from the next call.
            ksops::Call again(call_row);
            ksh_random_set_seed(7);
            EXPECT_TRUE(again.run() == KS_SUCCESS && again.output(o) == clean_call.output(o)) << "the next call";
            kstest::reset_keystore();
            // Fewer objects when a context the library keeps was let go.
            EXPECT_LE(ksmodel::libcrypto_live(), objects) << "libcrypto objects leaked";
        }
        // As many answers of SUCCESS with nothing written as the row says.
        EXPECT_EQ(unwritten, row[1][0] == '~' ? std::stoi(row[1].substr(1)) : unwritten)
            << "SUCCESS with nothing written";
        EXPECT_TRUE(row[1] != "0" || zeroings > 0) << "no failure zeroed the output";
    }
};

TEST_F(AllocSweepTest, EveryAllocationOfEveryOperationFailsCleanly) {
    ksmodel::count_libcrypto();
    for (const Row &row : ksops::read_rows(kRows)) {
        SCOPED_TRACE(testing::PrintToString(row));
        if (row[0] == "setup" || row[0] == "before")
            (row[0] == "setup" ? setup_ : before_).emplace_back(row.begin() + 1, row.end());
        if (row[0] == "setup" || row[0] == "before" || row[0] == "never") continue;
        if (row[0] != "crypto")
            sweep(row);
        else if (kstest::ossl_faults_available())
            crypto_sweep(row);  // else libcrypto allocated before the hooks
        before_.clear();
    }
}

// Every exported name is swept or listed as never allocating, so that a new
// operation cannot join the library without joining the sweep.
TEST(AllocSweepCoverage, EveryExportedNameIsSweptOrNeverAllocates) {
    std::set<std::string> listed;
    for (const Row &row : ksops::read_rows(kRows)) {
        if (row[0] == "never")
            listed.insert(row.begin() + 1, row.end());
        else if (row[0] != "setup" && row[0] != "before" && row[0] != "crypto")
            listed.insert(row[4]);
    }
    EXPECT_EQ(ksops::uncovered(listed), std::vector<std::string>{})
        << "no sweep row and not listed as never allocating";
}

}  // namespace
