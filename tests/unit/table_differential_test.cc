// The model driver (tests/model/ks_driver.h) over seeded random sequences:
// small and large name pools, with and without the handle index. After each
// run the keystore is emptied: every libcrypto object per-key state made
// must be gone with its key, and the handle index must be one block. Beside
// them, what random sequences do not reach: a full table, and handles made
// equal behind the library's back.
#include <gtest/gtest.h>

#include "../model/ks_driver.h"
#include "ks_test_util.h"

namespace {

using ksmodel::Bytes;

constexpr uint32_t kTagIndex = 0x04600095;

void report(const std::string &what) { ADD_FAILURE() << what; }

class ModelTest : public kstest::KeystoreTest {
  protected:
    void TearDown() override {
        ksh_alloc_clear_faults();
        ks::index_allocate();  // as the library had it at load
        kstest::KeystoreTest::TearDown();
    }
};

TEST_F(ModelTest, RandomSequencesMatchTheModel) {
    const bool counted = ksmodel::count_libcrypto();
    const struct {
        int names, steps;  // small pools collide often
        bool index;
    } runs[] = {{10, 400, true}, {40, 2500, true}, {400, 2500, true}, {60, 1500, false}};
    size_t kept = 0;
    for (uint32_t r = 0; r < std::size(runs) && !HasFailure(); ++r) {
        SCOPED_TRACE(testing::Message() << "run " << r);
        kstest::reset_keystore();
        ks::pac_clock = &ksmodel::driver_clock;
        if (!runs[r].index) ks::index_release(), ksh_alloc_fail_tag(kTagIndex);  // as if it failed at load
        ksmodel::Source in(r + 1);
        ksmodel::Driver d{in, report, runs[r].names, runs[r].index};
        for (int s = 0; s < runs[r].steps && !HasFailure(); ++s) d.step({});
        ksh_alloc_clear_faults();
        EXPECT_EQ(ks::index_present(), runs[r].index);
        kstest::reset_keystore();
        ks::index_allocate();
        EXPECT_EQ(ksh_alloc_tag_live_blocks(kTagIndex), 1u) << "the released handle index was not freed";
        // The first run leaves what libcrypto keeps for the process.
        if (r == 0) {
            kept = ksmodel::libcrypto_live();
        } else if (counted) {
            EXPECT_EQ(ksmodel::libcrypto_live(), kept) << "libcrypto objects outlived their keys";
        }
    }
}

Bytes handle(int i) { return ksmodel::cat({KS_KEY_TYPE_SECRET}, kstest::bytes("key" + std::to_string(i))); }

// A full table refuses a new key and a re-store alike; after removals at
// both ends every key is found at its index.
TEST_F(ModelTest, FullTable) {
    ksmodel::Keystore model;
    const auto insert = [&](const Bytes &h) {
        EXPECT_EQ(ks_sym_key_insert(h.data(), static_cast<uint32_t>(h.size()), h.data(), 1, nullptr, 0),
                  model.insert(h, {h[0]}, {}));
    };
    for (int i = 0; i <= KS_MAX_KEYS; ++i) insert(handle(i));
    insert(handle(7));
    EXPECT_EQ(model.keys.size(), size_t{KS_MAX_KEYS});
    for (const Bytes &h : {handle(0), handle(KS_MAX_KEYS - 1)})
        EXPECT_EQ(ks_sw_delete_key(h.data(), static_cast<uint32_t>(h.size())), model.erase(h));
    insert(handle(0));
    EXPECT_TRUE(ksmodel::observe() == model);
    for (size_t i = 0; i < model.keys.size(); ++i)
        ASSERT_EQ(ks_sym_key_find(model.keys[i].handle.data(), static_cast<uint32_t>(model.keys[i].handle.size())), int32_t(i));
    EXPECT_EQ(ks_sym_key_find(handle(KS_MAX_KEYS).data(), 8), -1);
}

// Handles made equal behind the library's back (and a count change that
// makes the index rebuild): a table with equal handles is not indexed, so a
// lookup scans it and no per-key state is kept.
TEST_F(ModelTest, EqualHandlesAreNotIndexed) {
    const uint8_t value[16] = {1}, data[] = "x";
    for (int i : {1, 2, 3, 4}) ASSERT_EQ(ks_sw_store_sym_key(handle(i).data(), 5, nullptr, 0, value, 16, nullptr, 0), KS_SUCCESS);
    ks_sym_keys[2]->data[4] = '1';  // "key3" becomes a second "key1"
    ks::sym_key_free_entry(ks_sym_keys[3]);
    ks_sym_keys[3] = nullptr;
    ks_num_sym_keys = 3;
    uint8_t out[20];
    EXPECT_EQ(ks_sym_key_find(handle(1).data(), 5), 0);
    EXPECT_EQ(ks_sw_hmac(handle(1).data(), 5, data, 1, out, KS_DIGEST_SHA1), KS_SUCCESS);
    EXPECT_EQ(ks::index_state_records_in_use(), 0);
}

}  // namespace
