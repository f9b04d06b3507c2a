// The software key table and the operations on it: order of storing,
// replacement, prefix purge, the 2000-key limit, growth, metadata, rename,
// delete by type, random bytes, allocation failures, wiping and the checks
// on a broken table.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "ks_sw_table.h"
#include "ks_test_util.h"

namespace {

using kstest::bytes;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kTagSlots = 0x0460009B;
constexpr uint32_t kTagEntry = 0x0460009E;
constexpr uint32_t kTagRandomScratch = 0x0460009F;
constexpr uint32_t kTagMetaGrow = 0x046000A0;
constexpr uint32_t kTagHandleCopy = 0x046000A1;
constexpr uint32_t kTagRenameGrow = 0x046000A2;
constexpr uint32_t kTagMetaCopy = 0x046000A3;

Bytes H(uint8_t type, const std::string &name) {
    Bytes h(name.size() + 1);
    h[0] = type;
    std::memcpy(h.data() + 1, name.data(), name.size());
    return h;
}

// Readable form of a handle: "1:abc".
std::string show(const uint8_t *h, uint32_t len) {
    if (len == 0) return "<empty>";
    return std::to_string(h[0]) + ":" + std::string(reinterpret_cast<const char *>(h + 1), len - 1);
}

// One key as a test sees it, read through the stored offsets.
struct Key {
    std::string handle;
    Bytes value;
    Bytes meta;
    bool operator==(const Key &) const = default;
};

std::vector<Key> snapshot() {
    std::vector<Key> keys;
    for (int32_t i = 0; i < ks_num_sym_keys; ++i) {
        const ks_sym_key_entry *e = ks_sym_keys[i];
        const uint8_t *v = ks::entry_value(e);
        const uint8_t *m = ks::entry_meta(e);
        keys.push_back({show(e->data, e->handle_len), Bytes(v, v + e->value_len), Bytes(m, m + e->meta_len)});
    }
    return keys;
}

std::vector<std::string> order() {
    std::vector<std::string> names;
    for (const Key &k : snapshot()) names.push_back(k.handle);
    return names;
}

int32_t store(const Bytes &h, const Bytes &value, const Bytes &meta = {}) {
    return ks_sw_store_sym_key(h.data(), static_cast<uint32_t>(h.size()), nullptr, 0, value.data(),
                               static_cast<uint32_t>(value.size()), meta.empty() ? nullptr : meta.data(),
                               static_cast<uint32_t>(meta.size()));
}

int32_t find(const Bytes &h) { return ks_sym_key_find(h.data(), static_cast<uint32_t>(h.size())); }

ks_sym_key_entry *entry_of(const Bytes &h) {
    int32_t i = find(h);
    return i < 0 ? nullptr : ks_sym_keys[i];
}

// Every entry keeps total_len = 24 + meta_off + meta_len and its data inside
// the entry.
void expect_entries_consistent() {
    for (int32_t i = 0; i < ks_num_sym_keys; ++i) {
        const ks_sym_key_entry *e = ks_sym_keys[i];
        ASSERT_NE(e, nullptr) << "slot " << i;
        EXPECT_EQ(e->total_len, 24 + e->meta_off + e->meta_len) << "slot " << i;
        EXPECT_GE(e->value_off, e->handle_len) << "slot " << i;
        EXPECT_EQ(e->meta_off, e->value_off + e->value_len) << "slot " << i;
    }
    EXPECT_LE(ks_num_sym_keys, ks_sym_tab_size);
}

class SwKeystoreTest : public kstest::KeystoreTest {
  protected:
    void TearDown() override {
        expect_entries_consistent();
        kstest::KeystoreTest::TearDown();
    }

    // Releases the slot array so that a test sees the table's first growth.
    // Only valid on an empty table.
    static void drop_slot_array() {
        ASSERT_EQ(ks_num_sym_keys, 0);
        tagged_free(ks_sym_keys);
        ks_sym_keys = nullptr;
        ks_sym_tab_size = 0;
    }

    // Blocks the library holds, the slot array excluded.
    static uint64_t blocks() { return ksh_alloc_live_blocks() - ksh_alloc_tag_live_blocks(kTagSlots); }
};

using SwKeystoreDeathTest = SwKeystoreTest;

// ---- Order, replacement, find, exists, delete ---------------------------

TEST_F(SwKeystoreTest, StoresInOrderAndReplacedKeyMovesToTheEnd) {
    const Bytes a = H(1, "A"), b = H(1, "B"), c = H(1, "C");
    ASSERT_EQ(store(a, bytes("va1"), bytes("ma1")), KS_SUCCESS);
    ASSERT_EQ(store(b, bytes("vb")), KS_SUCCESS);
    ASSERT_EQ(store(c, bytes("vc")), KS_SUCCESS);
    EXPECT_EQ((std::vector<int32_t>{find(a), find(b), find(c)}), (std::vector<int32_t>{0, 1, 2}));

    // The re-store carries only its own value and no metadata.
    ASSERT_EQ(store(a, bytes("second")), KS_SUCCESS);
    EXPECT_EQ(ks_num_sym_keys, 3);
    EXPECT_EQ(snapshot(), (std::vector<Key>{{"1:B", bytes("vb"), {}},
                                            {"1:C", bytes("vc"), {}},
                                            {"1:A", bytes("second"), {}}}));
    ASSERT_EQ(store(a, bytes("third"), bytes("m3")), KS_SUCCESS);
    EXPECT_EQ(snapshot().back(), (Key{"1:A", bytes("third"), bytes("m3")}));
    EXPECT_EQ(ks_num_sym_keys, 3);
}

TEST_F(SwKeystoreTest, HandlesMatchOnLengthAndEveryByte) {
    const Bytes keys[] = {H(1, "abc"), H(1, "ABC"), H(2, "abc"), H(1, "ab"), H(1, "abcd")};
    for (const Bytes &h : keys) ASSERT_EQ(store(h, h), KS_SUCCESS);
    ASSERT_EQ(ks_num_sym_keys, 5);
    for (int32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(find(keys[i]), i) << show(keys[i].data(), keys[i].size());
        EXPECT_EQ(snapshot()[i].value, keys[i]);
    }
    // A 31-byte name makes a 32-byte handle.
    const Bytes longest = H(1, std::string(31, 'n'));
    ASSERT_EQ(longest.size(), 32u);
    ASSERT_EQ(store(longest, bytes("v")), KS_SUCCESS);
    EXPECT_EQ(find(longest), 5);
    EXPECT_EQ(find(H(1, std::string(30, 'n'))), -1);
}

TEST_F(SwKeystoreTest, FindExistsAndDeleteOnMissingKeys) {
    int32_t exists = 7;
    const Bytes k = H(1, "k");
    // Empty table first, then a table without that key.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(find(k), -1);
        exists = 7;
        EXPECT_EQ(ks_sw_key_exists(k.data(), k.size(), &exists), KS_SUCCESS);
        EXPECT_EQ(exists, 0);
        EXPECT_EQ(ks_sw_delete_key(k.data(), k.size()), KS_RECORD_NOT_FOUND);
        ASSERT_EQ(store(H(2, "k"), bytes("v")), KS_SUCCESS);
    }
    ASSERT_EQ(store(k, bytes("v")), KS_SUCCESS);
    EXPECT_EQ(ks_sw_key_exists(k.data(), k.size(), &exists), KS_SUCCESS);
    EXPECT_EQ(exists, 1);
    EXPECT_EQ(ks_sw_delete_key(k.data(), k.size()), KS_SUCCESS);
    EXPECT_EQ(ks_sw_key_exists(k.data(), k.size(), &exists), KS_SUCCESS);
    EXPECT_EQ(exists, 0);
    EXPECT_EQ(order(), (std::vector<std::string>{"2:k"}));
}

TEST_F(SwKeystoreTest, DeleteMovesLaterEntriesDown) {
    struct Case {
        std::string victim;
        std::vector<std::string> left;
    };
    const Case cases[] = {
        {"A", {"1:B", "1:C"}},
        {"B", {"1:A", "1:C"}},
        {"C", {"1:A", "1:B"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.victim);
        kstest::reset_keystore();
        for (const char *n : {"A", "B", "C"}) ASSERT_EQ(store(H(1, n), bytes(n)), KS_SUCCESS);
        const Bytes v = H(1, c.victim);
        EXPECT_EQ(ks_sw_delete_key(v.data(), v.size()), KS_SUCCESS);
        EXPECT_EQ(order(), c.left);
        // The vacated slot is cleared.
        EXPECT_EQ(ks_sym_keys[2], nullptr);
        uint8_t *copy = reinterpret_cast<uint8_t *>(0x1);
        uint8_t len = 99;
        EXPECT_EQ(ks_sw_return_key_handle_by_index(2, &copy, &len), KS_NO_MORE_RECORDS);
        EXPECT_EQ(copy, reinterpret_cast<uint8_t *>(0x1));
        EXPECT_EQ(len, 99);
    }
}

TEST_F(SwKeystoreTest, NullMetadataPointerStoresZeroBytes) {
    const Bytes h = H(1, "z");
    const Bytes v = bytes("val");
    ASSERT_EQ(ks_sym_key_insert(h.data(), h.size(), v.data(), v.size(), nullptr, 4), KS_SUCCESS);
    const ks_sym_key_entry *e = entry_of(h);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->total_len, 24u + 2 + 3 + 4);
    EXPECT_EQ(snapshot()[0], (Key{"1:z", v, Bytes(4, 0)}));
}

// ---- Handles by index ----------------------------------------------------

TEST_F(SwKeystoreTest, HandleByIndexWalksTheTableInOrder) {
    const std::vector<Bytes> keys = {H(1, "one"), H(2, "aid"), H(0x51, std::string(31, 'q'))};
    for (const Bytes &h : keys) ASSERT_EQ(store(h, bytes("v")), KS_SUCCESS);
    std::vector<Bytes> walked;
    std::vector<uint8_t *> copies;
    for (int32_t i = 0;; ++i) {
        uint8_t *copy = nullptr;
        uint8_t len = 0;
        int32_t st = ks_sw_return_key_handle_by_index(i, &copy, &len);
        if (st == KS_NO_MORE_RECORDS) break;
        ASSERT_EQ(st, KS_SUCCESS);
        ASSERT_NE(copy, nullptr);
        walked.emplace_back(copy, copy + len);
        copies.push_back(copy);
    }
    EXPECT_EQ(walked, keys);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kTagHandleCopy), keys.size());
    // The copies are the caller's: they outlive the keys.
    kstest::reset_keystore();
    EXPECT_EQ(Bytes(copies[0], copies[0] + keys[0].size()), keys[0]);
    for (uint8_t *c : copies) tagged_free(c);
}

TEST_F(SwKeystoreTest, HandleByIndexOfAnEmptyHandleIsNoMemory) {
    const Bytes v = bytes("v");
    ASSERT_EQ(ks_sym_key_insert(nullptr, 0, v.data(), v.size(), nullptr, 0), KS_SUCCESS);
    uint8_t *copy = reinterpret_cast<uint8_t *>(0x1);
    uint8_t len = 42;
    EXPECT_EQ(ks_sw_return_key_handle_by_index(0, &copy, &len), KS_NO_MEMORY);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(len, 42);
}

// ---- Prefix purge and store with a purge prefix --------------------------

TEST_F(SwKeystoreTest, PrefixPurgeRemovesEveryHandleBeginningWithThePrefix) {
    const std::vector<Bytes> keys = {H(1, "ab"), H(1, "a"), H(1, "abc"), H(1, "xab"), H(2, "ab"), H(1, "abz")};
    struct Case {
        const char *what;
        Bytes prefix;
        int32_t removed;
        std::vector<std::string> left;
    };
    const Case cases[] = {
        {"type and name part", H(1, "ab"), 3, {"1:a", "1:xab", "2:ab"}},
        {"type byte only", Bytes{1}, 5, {"2:ab"}},
        {"other type", Bytes{2}, 1, {"1:ab", "1:a", "1:abc", "1:xab", "1:abz"}},
        {"whole handle", H(1, "abc"), 1, {"1:ab", "1:a", "1:xab", "2:ab", "1:abz"}},
        {"longer than every handle", H(1, "abcd"), 0, {"1:ab", "1:a", "1:abc", "1:xab", "2:ab", "1:abz"}},
        {"length 0", Bytes{}, 6, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kstest::reset_keystore();
        for (const Bytes &h : keys) ASSERT_EQ(store(h, bytes("v")), KS_SUCCESS);
        static const uint8_t kNonNull = 0;
        const uint8_t *p = c.prefix.empty() ? &kNonNull : c.prefix.data();
        EXPECT_EQ(ks_sym_key_prefix_purge(p, c.prefix.size()), c.removed);
        EXPECT_EQ(order(), c.left);
        for (int32_t i = ks_num_sym_keys; i < static_cast<int32_t>(keys.size()); ++i) EXPECT_EQ(ks_sym_keys[i], nullptr);
    }
    kstest::reset_keystore();
    EXPECT_EQ(ks_sym_key_prefix_purge(Bytes{1}.data(), 1), 0);
}

TEST_F(SwKeystoreTest, StoreWithPrefixPurgesFirstThenAppends) {
    for (const Bytes &h : {H(1, "k"), H(1, "x"), H(1, "ka"), H(2, "k1"), H(1, "k1")}) ASSERT_EQ(store(h, h), KS_SUCCESS);
    const Bytes prefix = H(1, "k"), h = H(1, "k1"), v = bytes("new");
    ASSERT_EQ(ks_sw_store_sym_key(h.data(), h.size(), prefix.data(), prefix.size(), v.data(), v.size(), nullptr, 0),
              KS_SUCCESS);
    EXPECT_EQ(order(), (std::vector<std::string>{"1:x", "2:k1", "1:k1"}));
    EXPECT_EQ(snapshot().back().value, v);
}

// ---- Growth and the 2000-key limit ---------------------------------------

TEST_F(SwKeystoreTest, SlotArrayGrowsByTwentyOnDemand) {
    drop_slot_array();
    const size_t slot = sizeof(ks_sym_key_entry *);
    struct Step {
        int keys;  // keys in the table after the step
        int32_t size;
    };
    const Step steps[] = {{1, 20}, {20, 20}, {21, 40}, {40, 40}, {41, 60}};
    int stored = 0;
    for (const Step &s : steps) {
        while (stored < s.keys) {
            ASSERT_EQ(store(H(1, "k" + std::to_string(stored)), bytes("v")), KS_SUCCESS);
            ++stored;
        }
        SCOPED_TRACE(s.keys);
        EXPECT_EQ(ks_sym_tab_size, s.size);
        EXPECT_EQ(ksh_alloc_tag_live_blocks(kTagSlots), 1u);
        EXPECT_EQ(ksh_alloc_tag_live_bytes(kTagSlots), s.size * slot);
    }
    // Emptying the table keeps the slot array.
    kstest::reset_keystore();
    EXPECT_EQ(ks_sym_tab_size, 60);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kTagSlots), 1u);
}

TEST_F(SwKeystoreTest, TwoThousandKeysFillTheTable) {
    drop_slot_array();
    for (int i = 0; i < KS_MAX_KEYS; ++i) ASSERT_EQ(store(H(1, "key" + std::to_string(i)), bytes("v")), KS_SUCCESS);
    EXPECT_EQ(ks_num_sym_keys, 2000);
    EXPECT_EQ(ks_sym_tab_size, 2000);
    const std::vector<Key> full = snapshot();
    const uint64_t before = ksh_alloc_live_blocks();

    // A new key and a re-store of an existing one are both refused.
    EXPECT_EQ(store(H(1, "new"), bytes("v")), KS_KEYSTORE_FULL);
    EXPECT_EQ(store(H(1, "key5"), bytes("other")), KS_KEYSTORE_FULL);
    const Bytes prefix = H(1, "zzz");
    const Bytes h = H(1, "key7");
    EXPECT_EQ(ks_sw_store_sym_key(h.data(), h.size(), prefix.data(), prefix.size(), h.data(), h.size(), nullptr, 0),
              KS_KEYSTORE_FULL);
    EXPECT_EQ(snapshot(), full);
    EXPECT_EQ(ks_sym_tab_size, 2000);
    EXPECT_EQ(ksh_alloc_live_blocks(), before);

    // One deletion makes room for one key, without growing the slot array.
    const Bytes gone = H(1, "key0");
    ASSERT_EQ(ks_sw_delete_key(gone.data(), gone.size()), KS_SUCCESS);
    EXPECT_EQ(store(H(1, "new"), bytes("v")), KS_SUCCESS);
    EXPECT_EQ(ks_sym_tab_size, 2000);
    EXPECT_EQ(store(H(1, "newer"), bytes("v")), KS_KEYSTORE_FULL);
}

}  // namespace
