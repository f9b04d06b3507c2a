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

// ---- Metadata --------------------------------------------------------------

int32_t add_meta(const Bytes &h, const Bytes &meta, bool second_entry_point = false) {
    auto fn = second_entry_point ? ks_sw_add_meta_data : ks_sw_add_sym_key_meta;
    return fn(h.data(), h.size(), meta.empty() ? nullptr : meta.data(), meta.size());
}

// Reads a key's metadata through either entry point; frees the copy.
int32_t get_meta(const Bytes &h, Bytes *out, bool second_entry_point = false) {
    auto fn = second_entry_point ? ks_sw_get_meta_data : ks_sw_get_sym_key_meta;
    uint8_t *copy = reinterpret_cast<uint8_t *>(0x1);
    uint16_t len = 0xBEEF;
    int32_t st = fn(h.data(), h.size(), &copy, &len);
    if (st == KS_SUCCESS) {
        EXPECT_EQ(copy == nullptr, len == 0);
        *out = copy == nullptr ? Bytes{} : Bytes(copy, copy + len);
        tagged_free(copy);
    } else {
        EXPECT_EQ(copy, reinterpret_cast<uint8_t *>(0x1)) << "outputs written on failure";
        EXPECT_EQ(len, 0xBEEF);
    }
    return st;
}

TEST_F(SwKeystoreTest, MetadataGrowsIntoANewEntryAndShrinksInPlace) {
    for (bool second : {false, true}) {
        SCOPED_TRACE(second ? "second entry points" : "first entry points");
        kstest::reset_keystore();
        const Bytes k = H(1, "key");
        for (const char *n : {"before", "key", "after"}) ASSERT_EQ(store(H(1, n), bytes("value")), KS_SUCCESS);
        const ks_sym_key_entry *original = entry_of(k);
        const uint32_t base_len = original->total_len;
        Bytes got;
        ASSERT_EQ(get_meta(k, &got, second), KS_SUCCESS);
        EXPECT_TRUE(got.empty());

        struct Step {
            Bytes meta;
            bool moves;  // a new allocation is made
        };
        const Step steps[] = {
            {bytes("0123456789"), true},  // none -> 10 bytes
            {bytes("abcd"), false},       // 10 -> 4 in place
            {bytes("wxyz"), false},       // same length in place
            {bytes("0123456"), true},     // 4 -> 7: larger than meta_len, so a new entry
            {{}, false},                  // removal
        };
        for (const Step &s : steps) {
            SCOPED_TRACE(std::string(s.meta.begin(), s.meta.end()));
            const ks_sym_key_entry *prev = entry_of(k);
            ASSERT_EQ(add_meta(k, s.meta, second), KS_SUCCESS);
            const ks_sym_key_entry *e = entry_of(k);
            EXPECT_EQ(find(k), 1) << "the key keeps its index";
            EXPECT_EQ(e != prev, s.moves);
            EXPECT_EQ(e->total_len, base_len + s.meta.size());
            EXPECT_EQ(e->meta_len, s.meta.size());
            ASSERT_EQ(get_meta(k, &got, second), KS_SUCCESS);
            EXPECT_EQ(got, s.meta);
            EXPECT_EQ(snapshot()[1], (Key{"1:key", bytes("value"), s.meta}));
        }
        EXPECT_EQ(order(), (std::vector<std::string>{"1:before", "1:key", "1:after"}));
    }
}

TEST_F(SwKeystoreTest, MetadataOfAMissingKeyIsNotFound) {
    ASSERT_EQ(store(H(2, "k"), bytes("v"), bytes("m")), KS_SUCCESS);
    Bytes got;
    for (bool second : {false, true}) {
        EXPECT_EQ(add_meta(H(1, "k"), bytes("meta"), second), KS_RECORD_NOT_FOUND);
        EXPECT_EQ(get_meta(H(1, "k"), &got, second), KS_RECORD_NOT_FOUND);
    }
    EXPECT_EQ(snapshot(), (std::vector<Key>{{"2:k", bytes("v"), bytes("m")}}));
}

TEST_F(SwKeystoreTest, MetadataUpdatesFollowTheStoredOffsets) {
    // After a rename to a shorter name value_off exceeds handle_len; growing
    // and shrinking the metadata then must keep the value where it is.
    const Bytes old_h = H(1, "long-name"), new_h = H(1, "s");
    ASSERT_EQ(store(old_h, bytes("secret"), bytes("mm")), KS_SUCCESS);
    ASSERT_EQ(ks_sw_rename_key(old_h.data(), old_h.size(), new_h.data(), new_h.size(), nullptr, 0), KS_SUCCESS);
    for (const Bytes &m : {bytes("a longer metadata blob"), bytes("x"), Bytes{}}) {
        ASSERT_EQ(add_meta(new_h, m), KS_SUCCESS);
        const ks_sym_key_entry *e = entry_of(new_h);
        EXPECT_EQ(e->handle_len, 2u);
        EXPECT_EQ(e->value_off, old_h.size());
        EXPECT_EQ(snapshot()[0], (Key{"1:s", bytes("secret"), m}));
    }
}

// ---- Rename ----------------------------------------------------------------

int32_t rename(const Bytes &from, const Bytes &to, const Bytes *prefix = nullptr) {
    return ks_sw_rename_key(from.data(), from.size(), to.data(), to.size(), prefix ? prefix->data() : nullptr,
                            prefix ? prefix->size() : 0);
}

TEST_F(SwKeystoreTest, RenameKeepsValueMetadataAndPlace) {
    struct Case {
        const char *what;
        std::string first, from, to;
        std::vector<std::string> order;
        bool new_entry;
    };
    const Case cases[] = {
        {"longer", "first", "mid", "middle-renamed", {"1:first", "1:middle-renamed", "1:last"}, true},
        {"shorter", "first", "mid", "m", {"1:first", "1:m", "1:last"}, false},
        {"same length", "first", "mid", "dim", {"1:first", "1:dim", "1:last"}, false},
        {"onto a later key, longer", "first", "mid", "last", {"1:first", "1:last"}, true},
        {"onto an earlier key, longer", "first", "mid", "first", {"1:first", "1:last"}, true},
        {"onto an earlier key, shorter", "f", "mid", "f", {"1:f", "1:last"}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kstest::reset_keystore();
        ASSERT_EQ(store(H(1, c.first), bytes("v-first"), bytes("m-first")), KS_SUCCESS);
        ASSERT_EQ(store(H(1, c.from), bytes("v-mid"), bytes("m-mid")), KS_SUCCESS);
        ASSERT_EQ(store(H(1, "last"), bytes("v-last")), KS_SUCCESS);
        const Bytes from = H(1, c.from), to = H(1, c.to);
        const ks_sym_key_entry *before = entry_of(from);

        ASSERT_EQ(rename(from, to), KS_SUCCESS);
        EXPECT_EQ(order(), c.order);
        EXPECT_EQ(find(from), -1);
        const ks_sym_key_entry *e = entry_of(to);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e != before, c.new_entry);
        const Key k = snapshot()[find(to)];
        EXPECT_EQ(k.value, bytes("v-mid"));
        EXPECT_EQ(k.meta, bytes("m-mid"));
        if (c.new_entry) {
            EXPECT_EQ(e->value_off, e->handle_len);
            EXPECT_EQ(e->total_len, 24 + to.size() + 5 + 5);
        } else {
            // In place: nothing moves, total_len stays.
            EXPECT_EQ(e->value_off, from.size());
            EXPECT_EQ(e->total_len, 24 + from.size() + 5 + 5);
        }
    }
}

TEST_F(SwKeystoreTest, RenameWithPurgePrefixAndMissingKeys) {
    struct Case {
        const char *what;
        Bytes prefix;
        int32_t status;
        std::vector<std::string> order;
    };
    const Case cases[] = {
        {"purge of other keys", H(1, "x"), KS_SUCCESS, {"1:a", "1:renamed", "2:x1"}},
        {"purge of the key itself", H(1, "o"), KS_RECORD_NOT_FOUND, {"1:a", "1:x1", "2:x1", "1:x2"}},
        {"purge of nothing", H(1, "zz"), KS_SUCCESS, {"1:a", "1:x1", "1:renamed", "2:x1", "1:x2"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kstest::reset_keystore();
        for (const Bytes &h : {H(1, "a"), H(1, "x1"), H(1, "old"), H(2, "x1"), H(1, "x2")})
            ASSERT_EQ(store(h, bytes("v")), KS_SUCCESS);
        EXPECT_EQ(rename(H(1, "old"), H(1, "renamed"), &c.prefix), c.status);
        EXPECT_EQ(order(), c.order);
    }
    kstest::reset_keystore();
    EXPECT_EQ(rename(H(1, "old"), H(1, "new")), KS_RECORD_NOT_FOUND);
    ASSERT_EQ(store(H(2, "old"), bytes("v")), KS_SUCCESS);
    EXPECT_EQ(rename(H(1, "old"), H(1, "new")), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(order(), (std::vector<std::string>{"2:old"}));
}

// ---- Delete by type --------------------------------------------------------

struct PacEvents {
    std::vector<std::string> deleted;
    std::vector<int32_t> count_at_call;
};

TEST_F(SwKeystoreTest, DeleteAllByTypeNotifiesEachPacInTableOrder) {
    struct Case {
        uint8_t type;
        std::vector<std::string> left;
        std::vector<std::string> notified;
    };
    const Case cases[] = {
        {2, {"1:s1", "1:s2", "3:x"}, {"aid-1", "aid-2", "aid-3"}},
        {1, {"2:aid-1", "2:aid-2", "3:x", "2:aid-3"}, {}},
        {3, {"1:s1", "2:aid-1", "2:aid-2", "1:s2", "2:aid-3"}, {}},
        {9, {"1:s1", "2:aid-1", "2:aid-2", "1:s2", "3:x", "2:aid-3"}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.type));
        kstest::reset_keystore();
        for (const Bytes &h : {H(1, "s1"), H(2, "aid-1"), H(2, "aid-2"), H(1, "s2"), H(3, "x"), H(2, "aid-3")})
            ASSERT_EQ(store(h, bytes("v"), bytes("meta")), KS_SUCCESS);
        // The handler sees each PAC still in the table.
        static PacEvents events;
        events = {};
        ksh_set_pac_handlers(nullptr,
                             [](void *, const uint8_t *aid, uint32_t len) {
                                 events.deleted.emplace_back(reinterpret_cast<const char *>(aid), len);
                                 events.count_at_call.push_back(
                                     ks_sym_key_find(H(2, std::string(reinterpret_cast<const char *>(aid), len)).data(),
                                                     len + 1));
                             },
                             nullptr);
        EXPECT_EQ(ks_sw_delete_all_keys_by_type(c.type), KS_SUCCESS);
        ksh_set_pac_handlers(nullptr, nullptr, nullptr);
        EXPECT_EQ(order(), c.left);
        EXPECT_EQ(events.deleted, c.notified);
        for (int32_t at : events.count_at_call) EXPECT_GE(at, 0) << "notified after removal";
        ASSERT_EQ(ksh_pac_event_count(), c.notified.size());
        for (size_t i = 0; i < c.notified.size(); ++i) {
            const ksh_pac_event *ev = ksh_pac_event_at(i);
            EXPECT_EQ(ev->added, 0);
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(ev->aid), ev->aid_len), c.notified[i]);
        }
    }
    kstest::reset_keystore();
    EXPECT_EQ(ks_sw_delete_all_keys_by_type(2), KS_SUCCESS);
    EXPECT_EQ(ksh_pac_event_count(), 0u);
}

// ---- Random numbers --------------------------------------------------------

bool printable(uint8_t c) { return c >= 0x20 && c <= 0x7E; }
bool alnum(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

TEST_F(SwKeystoreTest, RandomBytesOfEachKind) {
    struct Case {
        int32_t kind;
        bool (*in_class)(uint8_t);
    };
    const Case cases[] = {{0, nullptr}, {3, nullptr}, {-1, nullptr}, {1, printable}, {2, alnum}};
    for (const Case &c : cases) {
        for (int32_t len : {1, 2, 16, 300}) {
            SCOPED_TRACE(testing::Message() << "kind " << c.kind << ", length " << len);
            ksh_random_set_seed(1234 + len);
            Bytes out(len + 1, 0xEE);
            ASSERT_EQ(ks_sw_generate_random_number(out.data(), len, c.kind), KS_SUCCESS);
            EXPECT_EQ(out[len], 0xEE) << "wrote past the length";
            out.pop_back();
            if (c.in_class == nullptr) {
                // Raw bytes: exactly what the platform gave.
                ksh_random_set_seed(1234 + len);
                Bytes raw(len);
                platform_random_fill(raw.data(), len);
                EXPECT_EQ(out, raw);
            } else {
                for (uint8_t b : out) EXPECT_TRUE(c.in_class(b)) << static_cast<int>(b);
            }
        }
    }
    ksh_random_set_seed(0);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kTagRandomScratch), 0u);
}

// The rejected bytes of kinds 1 and 2 are replaced from one scratch buffer
// whose position carries over between output bytes and which is refilled
// when used up. Checked against a model over the same random stream.
TEST_F(SwKeystoreTest, RandomCharactersDrawReplacementsFromTheScratchBuffer) {
    for (int32_t kind : {1, 2}) {
        for (int32_t len : {1, 3, 64}) {
            SCOPED_TRACE(testing::Message() << "kind " << kind << ", length " << len);
            auto in_class = kind == 1 ? printable : alnum;
            ksh_random_set_seed(77);
            Bytes expect(len), scratch(len);
            platform_random_fill(expect.data(), len);
            platform_random_fill(scratch.data(), len);
            size_t pos = 0;
            for (uint8_t &b : expect) {
                b &= 0x7F;
                while (!in_class(b)) {
                    b = scratch[pos] & 0x7F;
                    if (++pos == scratch.size()) {
                        platform_random_fill(scratch.data(), len);
                        pos = 0;
                    }
                }
            }
            ksh_random_set_seed(77);
            Bytes out(len);
            ASSERT_EQ(ks_sw_generate_random_number(out.data(), len, kind), KS_SUCCESS);
            EXPECT_EQ(out, expect);
        }
    }
    ksh_random_set_seed(0);
}

TEST_F(SwKeystoreTest, RandomCharactersOfLengthZeroAreNoMemory) {
    uint8_t b = 0xEE;
    EXPECT_EQ(ks_sw_generate_random_number(&b, 0, 1), KS_NO_MEMORY);
    EXPECT_EQ(ks_sw_generate_random_number(&b, 0, 2), KS_NO_MEMORY);
    EXPECT_EQ(ks_sw_generate_random_number(&b, 0, 0), KS_SUCCESS);
    EXPECT_EQ(b, 0xEE);
}

// ---- Allocation failures -------------------------------------------------

// Each case prepares the table, then runs one operation with the given
// allocation failing, and states what must hold afterwards.
struct FailCase {
    const char *what;
    uint32_t tag;                       // the failing owner tag (0: see fail_nth)
    uint64_t fail_nth;                  // or the nth allocation call
    std::function<void()> setup;
    std::function<int32_t()> op;
    std::vector<std::string> order;     // table order afterwards
    int32_t tab_size_growth;            // slots gained despite the failure
};

void fill_to_capacity(const char *stem) {
    int i = 0;
    while (ks_num_sym_keys < ks_sym_tab_size) ASSERT_EQ(store(H(1, stem + std::to_string(i++)), bytes("v")), KS_SUCCESS);
}

TEST_F(SwKeystoreTest, EveryAllocationFailureIsNoMemoryAndKeepsTheTable) {
    static uint8_t *out_ptr;
    static uint8_t out_len;
    static uint16_t out_len16;
    const FailCase cases[] = {
        {"insert: slot array growth", kTagSlots, 0,
         [] {
             ASSERT_EQ(store(H(1, "keep"), bytes("v")), KS_SUCCESS);
             fill_to_capacity("f");
         },
         [] { return store(H(1, "new"), bytes("v")); }, {}, 0},
        {"re-store: entry after growth", kTagEntry, 0,
         [] {
             ASSERT_EQ(store(H(1, "keep"), bytes("old"), bytes("meta")), KS_SUCCESS);
             fill_to_capacity("f");
         },
         [] { return store(H(1, "keep"), bytes("new")); }, {}, KS_TABLE_GROWTH},
        {"re-store: entry", kTagEntry, 0,
         [] {
             ASSERT_EQ(store(H(1, "keep"), bytes("old"), bytes("meta")), KS_SUCCESS);
             ASSERT_EQ(store(H(1, "other"), bytes("v")), KS_SUCCESS);
         },
         [] { return store(H(1, "keep"), bytes("new")); }, {"1:keep", "1:other"}, 0},
        {"handle by index", kTagHandleCopy, 0, [] { ASSERT_EQ(store(H(1, "keep"), bytes("v")), KS_SUCCESS); },
         [] {
             out_ptr = reinterpret_cast<uint8_t *>(0x1);
             out_len = 77;
             int32_t st = ks_sw_return_key_handle_by_index(0, &out_ptr, &out_len);
             EXPECT_EQ(out_ptr, nullptr);
             EXPECT_EQ(out_len, 77);
             return st;
         },
         {"1:keep"}, 0},
        {"metadata grow", kTagMetaGrow, 0, [] { ASSERT_EQ(store(H(1, "keep"), bytes("v"), bytes("m")), KS_SUCCESS); },
         [] { return add_meta(H(1, "keep"), bytes("longer metadata")); }, {"1:keep"}, 0},
        {"metadata copy", kTagMetaCopy, 0, [] { ASSERT_EQ(store(H(1, "keep"), bytes("v"), bytes("m")), KS_SUCCESS); },
         [] {
             const Bytes h = H(1, "keep");
             out_ptr = reinterpret_cast<uint8_t *>(0x1);
             out_len16 = 77;
             int32_t st = ks_sw_get_meta_data(h.data(), h.size(), &out_ptr, &out_len16);
             EXPECT_EQ(out_ptr, nullptr);
             EXPECT_EQ(out_len16, 77);
             return st;
         },
         {"1:keep"}, 0},
        {"rename to a longer name onto an existing key", kTagRenameGrow, 0,
         [] {
             ASSERT_EQ(store(H(1, "keep"), bytes("v"), bytes("m")), KS_SUCCESS);
             ASSERT_EQ(store(H(1, "keep-longer"), bytes("w")), KS_SUCCESS);
         },
         [] { return rename(H(1, "keep"), H(1, "keep-longer")); }, {"1:keep", "1:keep-longer"}, 0},
        {"random scratch", kTagRandomScratch, 0, [] {},
         [] {
             uint8_t buf[8];
             return ks_sw_generate_random_number(buf, sizeof buf, 2);
         },
         {}, 0},
        // A purge run before the failing allocation stays done.
        {"store after its purge", kTagEntry, 0,
         [] {
             ASSERT_EQ(store(H(1, "px"), bytes("v")), KS_SUCCESS);
             ASSERT_EQ(store(H(1, "keep"), bytes("v")), KS_SUCCESS);
         },
         [] {
             const Bytes h = H(1, "p1"), prefix = H(1, "p"), v = bytes("v");
             return ks_sw_store_sym_key(h.data(), h.size(), prefix.data(), prefix.size(), v.data(), v.size(), nullptr,
                                        0);
         },
         {"1:keep"}, 0},
        {"rename after its purge", kTagRenameGrow, 0,
         [] {
             ASSERT_EQ(store(H(1, "px"), bytes("v")), KS_SUCCESS);
             ASSERT_EQ(store(H(1, "keep"), bytes("v")), KS_SUCCESS);
         },
         [] {
             const Bytes prefix = H(1, "p");
             return rename(H(1, "keep"), H(1, "keep-renamed"), &prefix);
         },
         {"1:keep"}, 0},
        // The first allocation call of a store into a full slot array is the
        // growth, the second the entry.
        {"insert: first allocation call", 0, 1,
         [] {
             ASSERT_EQ(store(H(1, "keep"), bytes("v")), KS_SUCCESS);
             fill_to_capacity("f");
         },
         [] { return store(H(1, "keep"), bytes("x")); }, {}, 0},
        {"insert: second allocation call", 0, 2,
         [] {
             ASSERT_EQ(store(H(1, "keep"), bytes("v")), KS_SUCCESS);
             fill_to_capacity("f");
         },
         [] { return store(H(1, "keep"), bytes("x")); }, {}, KS_TABLE_GROWTH},
    };
    for (const FailCase &c : cases) {
        SCOPED_TRACE(c.what);
        kstest::reset_keystore();
        drop_slot_array();
        c.setup();
        const std::vector<Key> before = snapshot();
        const int32_t size_before = ks_sym_tab_size;
        const uint64_t blocks_before = blocks();
        const uint64_t slot_blocks_before = ksh_alloc_tag_live_blocks(kTagSlots);
        const uint64_t failed_before = ksh_alloc_failed_calls();

        if (c.tag != 0) ksh_alloc_fail_tag(c.tag);
        else ksh_alloc_fail_nth(c.fail_nth);
        EXPECT_EQ(c.op(), KS_NO_MEMORY);
        ksh_alloc_clear_faults();

        EXPECT_EQ(ksh_alloc_failed_calls(), failed_before + 1) << "the injected failure was not reached";
        // Only the entries a purge removed are gone; nothing else was kept.
        const uint64_t purged = before.size() - static_cast<size_t>(ks_num_sym_keys);
        EXPECT_EQ(blocks(), blocks_before - purged) << "a block leaked or an entry went missing";
        EXPECT_EQ(ks_sym_tab_size, size_before + c.tab_size_growth);
        EXPECT_EQ(ksh_alloc_tag_live_blocks(kTagSlots), slot_blocks_before);
        if (c.order.empty() && before.size() == static_cast<size_t>(ks_num_sym_keys)) {
            EXPECT_EQ(snapshot(), before);
        } else if (!c.order.empty()) {
            EXPECT_EQ(order(), c.order);
            // Whatever is left is unchanged.
            for (const Key &k : snapshot()) {
                bool seen = false;
                for (const Key &b : before) seen = seen || b == k;
                EXPECT_TRUE(seen) << k.handle << " changed";
            }
        } else {
            ADD_FAILURE() << "the table changed size";
        }
    }
}

// ---- Wiping ------------------------------------------------------------------

TEST_F(SwKeystoreTest, EveryBlockTheLibraryReleasesIsWiped) {
    struct Case {
        const char *what;
        std::function<void()> op;
    };
    const Case cases[] = {
        {"delete", [] { ASSERT_EQ(ks_sw_delete_key(H(1, "a").data(), 2), KS_SUCCESS); }},
        {"replace", [] { ASSERT_EQ(store(H(1, "a"), bytes("new")), KS_SUCCESS); }},
        {"purge", [] { ASSERT_EQ(ks_sym_key_prefix_purge(Bytes{1}.data(), 1), 2); }},
        {"metadata grow", [] { ASSERT_EQ(add_meta(H(1, "a"), bytes("a much longer blob")), KS_SUCCESS); }},
        {"metadata shrink, then delete",
         [] {
             ASSERT_EQ(add_meta(H(1, "a"), bytes("m")), KS_SUCCESS);
             ASSERT_EQ(ks_sw_delete_key(H(1, "a").data(), 2), KS_SUCCESS);
         }},
        {"rename to a longer name", [] { ASSERT_EQ(rename(H(1, "a"), H(1, "a-longer")), KS_SUCCESS); }},
        {"rename onto a key, then delete",
         [] {
             ASSERT_EQ(rename(H(1, "bb"), H(1, "a")), KS_SUCCESS);
             ASSERT_EQ(ks_sw_delete_key(H(1, "a").data(), 2), KS_SUCCESS);
         }},
        {"delete by type", [] { ASSERT_EQ(ks_sw_delete_all_keys_by_type(1), KS_SUCCESS); }},
        {"random characters",
         [] {
             uint8_t buf[32];
             ASSERT_EQ(ks_sw_generate_random_number(buf, sizeof buf, 1), KS_SUCCESS);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kstest::reset_keystore();
        ASSERT_EQ(store(H(1, "a"), bytes("secret-a"), bytes("metadata-a")), KS_SUCCESS);
        ASSERT_EQ(store(H(1, "bb"), bytes("secret-b"), bytes("metadata-b")), KS_SUCCESS);
        ksh_alloc_check_cleansed(1);
        const uint64_t before = ksh_alloc_uncleansed_frees();
        c.op();
        EXPECT_EQ(ksh_alloc_uncleansed_frees(), before) << "tag " << std::hex << ksh_alloc_last_uncleansed_tag();
        ksh_alloc_check_cleansed(0);
    }
}

// ---- Broken table invariants ---------------------------------------------

constexpr const char *kNullSlot = R"(p != \(\(void\*\)0\) at keystore/src/ks_sw_keystore:)";

TEST_F(SwKeystoreDeathTest, NullSlotBelowTheCountStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const Bytes &h : {H(1, "a"), H(1, "b"), H(2, "c")}) ASSERT_EQ(store(h, bytes("v")), KS_SUCCESS);
    const Bytes missing = H(1, "zz");
    struct Case {
        const char *what;
        std::function<void()> op;
    };
    const Case cases[] = {
        {"find", [&] { ks_sym_key_find(missing.data(), missing.size()); }},
        {"exists",
         [&] {
             int32_t f;
             ks_sw_key_exists(missing.data(), missing.size(), &f);
         }},
        {"delete", [&] { ks_sw_delete_key(missing.data(), missing.size()); }},
        {"insert", [&] { store(missing, bytes("v")); }},
        {"purge", [&] { ks_sym_key_prefix_purge(missing.data(), missing.size()); }},
        {"add metadata", [&] { add_meta(missing, bytes("m")); }},
        {"rename", [&] { rename(missing, H(1, "new")); }},
        {"delete by type", [&] { ks_sw_delete_all_keys_by_type(2); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_DEATH(
            {
                ks_sym_keys[1] = nullptr;
                c.op();
            },
            kNullSlot);
    }
}

TEST_F(SwKeystoreDeathTest, BrokenTableStatesStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(store(H(1, "a"), bytes("v")), KS_SUCCESS);
    ASSERT_EQ(store(H(1, "b"), bytes("v")), KS_SUCCESS);
    EXPECT_DEATH(
        {
            ks_sym_keys[1] = nullptr;
            uint8_t *p;
            uint8_t n;
            ks_sw_return_key_handle_by_index(1, &p, &n);
        },
        "TALMU_FALSE at keystore/src/ks_sw_keystore:");
    EXPECT_DEATH(
        {
            ks_num_sym_keys = ks_sym_tab_size + 1;
            store(H(1, "c"), bytes("v"));
        },
        "ks_num_sym_keys <= ks_sym_tab_size at keystore/src/ks_sw_keystore:");
    // The rename's final step finds the renamed entry's slot again.
    static ks_sym_key_entry stray{};
    EXPECT_DEATH(ks::sym_key_replace_entry(H(1, "gone").data(), 5, &stray, &stray),
                 "i >= 0 at keystore/src/ks_sw_keystore:");
    EXPECT_DEATH(ks::sym_key_replace_entry(H(1, "a").data(), 2, &stray, &stray),
                 R"(ks_sym_keys\[i\] == op at keystore/src/ks_sw_keystore:)");
}

}  // namespace
