// The software key table and its operations. Tables are written as text:
// "1:a 2:b" is the type-1 key a then the type-2 key b; dump() shows each key
// as handle=value/metadata, read through the stored offsets. Pure case tables
// are in tests/data/key_table.txt.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "ks_sw_index.h"
#include "ks_sw_table.h"
#include "ks_test_util.h"
#include "ks_vectors.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kstest::bytes;

constexpr uint32_t kTagSlots = 0x0460009B, kTagEntry = 0x0460009E, kTagScratch = 0x0460009F,
                   kTagMetaGrow = 0x046000A0, kTagHandleCopy = 0x046000A1, kTagRenameGrow = 0x046000A2,
                   kTagMetaCopy = 0x046000A3;

Bytes H(const std::string &key) {  // "1:name"; "1:" is the bare type byte
    size_t colon = key.find(':');
    Bytes h = bytes(key.substr(colon));
    h[0] = static_cast<uint8_t>(std::stoi(key.substr(0, colon)));
    return h;
}
uint32_t len(const Bytes &b) { return static_cast<uint32_t>(b.size()); }
const uint8_t *ptr(const Bytes &b) { return b.empty() ? nullptr : b.data(); }

int32_t store(const std::string &key, const std::string &value, const std::string &meta = "") {
    Bytes h = H(key), v = bytes(value), m = bytes(meta);
    return ks_sw_store_sym_key(h.data(), len(h), nullptr, 0, v.data(), len(v), ptr(m), len(m));
}
void load(const std::string &keys) {  // each key's value is its handle text
    std::istringstream in(keys);
    for (std::string s; in >> s;) ASSERT_EQ(store(s, s), KS_SUCCESS);
}
int32_t find(const std::string &key) { return ks_sym_key_find(H(key).data(), len(H(key))); }
ks_sym_key_entry *entry(const std::string &key) { int32_t i = find(key); return i < 0 ? nullptr : ks_sym_keys[i]; }
int32_t del(const std::string &key) { return ks_sw_delete_key(H(key).data(), len(H(key))); }

std::string text(const uint8_t *p, uint32_t n) { return std::string(reinterpret_cast<const char *>(p), n); }
// The table's keys, with their values and metadata when `full`.
std::string dump(bool full = true) {
    std::string s;
    for (int32_t i = 0; i < ks_num_sym_keys; ++i) {
        const ks_sym_key_entry *e = ks_sym_keys[i];
        s += (i ? " " : "") + std::to_string(e->data[0]) + ":" + text(e->data + 1, e->handle_len - 1);
        if (full) s += "=" + text(ks::entry_value(e), e->value_len) + "/" + text(ks::entry_meta(e), e->meta_len);
    }
    return s;
}
std::string order() { return dump(false); }

int32_t rename(const std::string &from, const std::string &to, const std::string &prefix = "") {
    Bytes f = H(from), t = H(to), p = prefix.empty() ? Bytes{} : H(prefix);
    return ks_sw_rename_key(f.data(), len(f), t.data(), len(t), ptr(p), len(p));
}
int32_t add_meta(const std::string &key, const std::string &meta, bool second = false) {
    Bytes h = H(key), m = bytes(meta);
    return (second ? ks_sw_add_meta_data : ks_sw_add_sym_key_meta)(h.data(), len(h), ptr(m), len(m));
}
// Reads metadata into *out (freeing the copy). On NOT_FOUND nothing is
// written; on NO_MEMORY only the pointer, as null.
int32_t get_meta(const std::string &key, std::string *out, bool second = false) {
    uint8_t *copy = reinterpret_cast<uint8_t *>(1);
    uint16_t n = 0xBEEF;
    int32_t st = (second ? ks_sw_get_meta_data : ks_sw_get_sym_key_meta)(H(key).data(), len(H(key)), &copy, &n);
    if (st == KS_SUCCESS) *out = text(copy, n), tagged_free(copy), copy = nullptr, n = 0xBEEF;
    EXPECT_EQ(copy, st == KS_RECORD_NOT_FOUND ? reinterpret_cast<uint8_t *>(1) : nullptr);
    EXPECT_EQ(n, 0xBEEF);
    return st;
}

std::vector<kstest::DataRow> cases(const std::string &table) {
    std::vector<kstest::DataRow> out;
    for (const auto &row : kstest::read_rows("key_table.txt"))
        if (row[0] == table) out.push_back(row);
    EXPECT_FALSE(out.empty()) << table;
    return out;
}

class SwKeystoreTest : public kstest::KeystoreTest {
  protected:
    void TearDown() override {
        for (int32_t i = 0; i < ks_num_sym_keys; ++i)  // every operation keeps this
            EXPECT_EQ(ks_sym_keys[i]->total_len, 24 + ks_sym_keys[i]->meta_off + ks_sym_keys[i]->meta_len);
        kstest::KeystoreTest::TearDown();
    }
    // Empties the table and releases its slot array, so a test sees the first growth.
    static void restart() {
        kstest::reset_keystore();
        tagged_free(ks_sym_keys);
        ks_sym_keys = nullptr;
        ks_sym_tab_size = 0;
    }
};
using SwKeystoreDeathTest = SwKeystoreTest;

TEST_F(SwKeystoreTest, StoreFindDeleteAndReplace) {
    load("1:A 1:B 1:C 1:abc 1:ABC 2:abc 1:ab");
    EXPECT_EQ(find("1:C"), 2);
    EXPECT_EQ(find("2:abc"), 5);  // type byte, case and length all take part
    EXPECT_EQ(find("1:abcd"), -1);
    ASSERT_EQ(store("1:A", "second"), KS_SUCCESS);  // moves to the end with only its new value
    ASSERT_EQ(store("1:B", "third", "meta"), KS_SUCCESS);
    ASSERT_EQ(store("1:B", "fourth"), KS_SUCCESS);  // the old metadata is not kept
    EXPECT_EQ(dump(), "1:C=1:C/ 1:abc=1:abc/ 1:ABC=1:ABC/ 2:abc=2:abc/ 1:ab=1:ab/ 1:A=second/ 1:B=fourth/");
    int32_t exists = 7;
    for (const char *key : {"1:C", "1:zz"}) {
        EXPECT_EQ(ks_sw_key_exists(H(key).data(), len(H(key)), &exists), KS_SUCCESS);
        EXPECT_EQ(exists, key[2] == 'C');
        EXPECT_EQ(del(key), key[2] == 'C' ? KS_SUCCESS : KS_RECORD_NOT_FOUND);
    }
    EXPECT_EQ(order(), "1:abc 1:ABC 2:abc 1:ab 1:A 1:B");
    EXPECT_EQ(ks_sym_keys[6], nullptr);  // the vacated slot is cleared
    // A null metadata pointer with a length stores that many zero bytes.
    ASSERT_EQ(ks_sym_key_insert(H("1:z").data(), 2, H("1:z").data(), 2, nullptr, 4), KS_SUCCESS);
    EXPECT_EQ(Bytes(ks::entry_meta(entry("1:z")), ks::entry_meta(entry("1:z")) + 4), Bytes(4, 0));
}

// Copies of every handle in turn; they are the caller's and outlive the keys.
TEST_F(SwKeystoreTest, HandleByIndexWalk) {
    load("1:one 2:aid 81:" + std::string(31, 'q'));
    std::vector<uint8_t *> copies;
    std::string walked;
    uint8_t *copy = nullptr, n = 0;
    for (int32_t i = 0; ks_sw_return_key_handle_by_index(i, &copy, &n) == KS_SUCCESS; ++i) {
        walked += std::to_string(copy[0]) + ":" + text(copy + 1, n - 1) + " ";
        copies.push_back(copy);
    }
    EXPECT_EQ(walked, order() + " ");
    copy = reinterpret_cast<uint8_t *>(1);
    EXPECT_EQ(ks_sw_return_key_handle_by_index(3, &copy, &n), KS_NO_MORE_RECORDS);
    EXPECT_EQ(copy, reinterpret_cast<uint8_t *>(1));
    kstest::reset_keystore();
    EXPECT_EQ(text(copies[1], 4), "\x02" "aid");
    for (uint8_t *c : copies) tagged_free(c);
    ASSERT_EQ(ks_sym_key_insert(nullptr, 0, nullptr, 0, nullptr, 0), KS_SUCCESS);  // an empty handle
    EXPECT_EQ(ks_sw_return_key_handle_by_index(0, &copy, &n), KS_NO_MEMORY);
    EXPECT_EQ(copy, nullptr);
}

TEST_F(SwKeystoreTest, PrefixPurge) {
    for (const auto &c : cases("purge")) {
        SCOPED_TRACE(c[1]);
        kstest::reset_keystore();
        load("1:ab 1:a 1:abc 1:xab 2:ab 1:abz");
        Bytes p = c[1] == "-" ? Bytes{0} : H(c[1]);
        EXPECT_EQ(ks_sym_key_prefix_purge(p.data(), c[1] == "-" ? 0 : len(p)), std::stoi(c[2]));
        EXPECT_EQ(order(), c[3]);
    }
    EXPECT_EQ(ks_sym_key_prefix_purge(H("1:").data(), 1), 0);  // empty table
    // A store's purge runs before the store: it may take the key itself.
    load("1:k 1:x 1:ka 2:k1 1:k1");
    ASSERT_EQ(ks_sw_store_sym_key(H("1:k1").data(), 3, H("1:k").data(), 2, H("1:k1").data(), 3, nullptr, 0), KS_SUCCESS);
    EXPECT_EQ(order(), "1:x 2:k1 1:k1");
}

TEST_F(SwKeystoreTest, GrowthAndTheTwoThousandKeyLimit) {
    restart();
    for (int i = 0; i < KS_MAX_KEYS; ++i) {
        ASSERT_EQ(store("1:k" + std::to_string(i), "v"), KS_SUCCESS);
        ASSERT_EQ(ks_sym_tab_size, (i / 20 + 1) * 20) << i;  // grows by 20 exactly when full
    }
    EXPECT_EQ(ksh_alloc_tag_live_bytes(kTagSlots), 2000 * sizeof(void *));
    const std::string full = dump();
    const uint64_t blocks = ksh_alloc_live_blocks();
    EXPECT_EQ(store("1:new", "v"), KS_KEYSTORE_FULL);
    EXPECT_EQ(store("1:k5", "other"), KS_KEYSTORE_FULL);  // a re-store too
    EXPECT_EQ(ks_sw_store_sym_key(H("1:k7").data(), 3, H("1:zzz").data(), 4, H("1:k7").data(), 3, nullptr, 0),
              KS_KEYSTORE_FULL);
    EXPECT_EQ(dump(), full);
    EXPECT_EQ(ksh_alloc_live_blocks(), blocks);
    ASSERT_EQ(del("1:k0"), KS_SUCCESS);
    EXPECT_EQ(store("1:new", "v"), KS_SUCCESS);
    EXPECT_EQ(store("1:newer", "v"), KS_KEYSTORE_FULL);
    EXPECT_EQ(ks_sym_tab_size, 2000);
}

// Through both entry points: 10 bytes (a new entry), shrink to 4 in place,
// same length, 7 (more than meta_len, a new entry again), removal.
TEST_F(SwKeystoreTest, MetadataGrowsIntoANewEntryAndShrinksInPlace) {
    for (bool second : {false, true}) {
        kstest::reset_keystore();
        load("1:before 1:k 1:after");
        const uint32_t base = entry("1:k")->total_len;
        for (const std::string meta : {"0123456789", "abcd", "wxyz", "0123456", ""}) {
            SCOPED_TRACE(meta + (second ? " (second entry points)" : ""));
            const ks_sym_key_entry *prev = entry("1:k");
            const bool grows = meta.size() > prev->meta_len;
            ASSERT_EQ(add_meta("1:k", meta, second), KS_SUCCESS);
            EXPECT_EQ(entry("1:k") != prev, grows);
            EXPECT_EQ(entry("1:k")->total_len, base + meta.size());
            std::string got = "?";
            ASSERT_EQ(get_meta("1:k", &got, second), KS_SUCCESS);
            EXPECT_EQ(got, meta);
            EXPECT_EQ(dump(), "1:before=1:before/ 1:k=1:k/" + meta + " 1:after=1:after/");
        }
        std::string got;
        EXPECT_EQ(add_meta("2:k", "m", second), KS_RECORD_NOT_FOUND);
        EXPECT_EQ(get_meta("2:k", &got, second), KS_RECORD_NOT_FOUND);
    }
}

TEST_F(SwKeystoreTest, RenameKeepsValueMetadataAndPlace) {
    for (const auto &c : cases("rename")) {
        SCOPED_TRACE(c[2]);
        kstest::reset_keystore();
        load(c[1]);
        ASSERT_EQ(store("1:mid", "value", "meta"), KS_SUCCESS);
        load("1:last");
        const ks_sym_key_entry *before = entry("1:mid");
        ASSERT_EQ(rename("1:mid", c[2]), KS_SUCCESS);
        EXPECT_EQ(order(), c[3]);
        const ks_sym_key_entry *e = entry(c[2]);
        const bool new_entry = c[4] == "1";
        EXPECT_EQ(e != before, new_entry);
        EXPECT_EQ(text(ks::entry_value(e), e->value_len) + "/" + text(ks::entry_meta(e), e->meta_len), "value/meta");
        // In place, the value does not move and total_len stays.
        EXPECT_EQ(e->value_off, new_entry ? e->handle_len : 4u);
        EXPECT_EQ(e->total_len, 24 + e->value_off + 5 + 4);
    }
    // Metadata updates after a shrinking rename follow the stored offsets.
    for (const std::string m : {"a longer metadata blob", "x", ""}) {
        ASSERT_EQ(add_meta("1:f", m), KS_SUCCESS);
        EXPECT_EQ(dump(), "1:f=value/" + m + " 1:last=1:last/");
    }
    for (const auto &c : cases("rename_purge")) {
        SCOPED_TRACE(c[1]);
        kstest::reset_keystore();
        load("1:a 1:x1 1:old 2:x1 1:x2");
        EXPECT_STREQ(ks_err_str(rename("1:old", "1:renamed", c[1])), c[2].c_str());
        EXPECT_EQ(order(), c[3]);
    }
    EXPECT_EQ(rename("2:x1", "1:y"), KS_SUCCESS);
    EXPECT_EQ(rename("2:x1", "1:y"), KS_RECORD_NOT_FOUND);
}

std::string g_notified;

// The host hears of each PAC while its key is still in the table.
TEST_F(SwKeystoreTest, DeleteAllByTypeNotifiesEachPacInTableOrder) {
    ksh_set_pac_handlers(nullptr, [](void *, const uint8_t *aid, uint32_t n) {
        g_notified += text(aid, n) + (find("2:" + text(aid, n)) >= 0 ? " " : "(gone) ");
    }, nullptr);
    for (const auto &c : cases("by_type")) {
        SCOPED_TRACE(c[1]);
        kstest::reset_keystore();
        g_notified.clear();
        load("1:s1 2:aid-1 2:aid-2 1:s2 3:x 2:aid-3");
        EXPECT_EQ(ks_sw_delete_all_keys_by_type(static_cast<uint8_t>(std::stoi(c[1]))), KS_SUCCESS);
        EXPECT_EQ(order(), c[2]);
        EXPECT_EQ(g_notified, c[3]);
    }
    ksh_set_pac_handlers(nullptr, nullptr, nullptr);
}

bool printable(uint8_t c) { return c >= 0x20 && c <= 0x7E; }
bool alnum(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Kinds 1 and 2 are checked against a model over the same random stream: a
// rejected byte takes the next acceptable byte of one scratch buffer, whose
// position carries over and which is refilled when used up.
TEST_F(SwKeystoreTest, RandomBytesAndCharacters) {
    for (int32_t kind : {0, 3, 1, 2}) {
        for (int32_t n : {1, 3, 64}) {
            SCOPED_TRACE(testing::Message() << "kind " << kind << ", length " << n);
            auto in_class = kind == 1 ? printable : kind == 2 ? alnum : nullptr;
            ksh_random_set_seed(77);
            Bytes expect(n), scratch(n);
            platform_random_fill(expect.data(), n);
            platform_random_fill(scratch.data(), n);
            for (size_t k = 0, pos = 0; in_class && k < expect.size(); ++k) {
                for (expect[k] &= 0x7F; !in_class(expect[k]);) {
                    expect[k] = scratch[pos] & 0x7F;
                    if (++pos == scratch.size()) platform_random_fill(scratch.data(), n), pos = 0;
                }
            }
            ksh_random_set_seed(77);
            Bytes out(n + 1, 0xEE);
            ASSERT_EQ(ks_sw_generate_random_number(out.data(), n, kind), KS_SUCCESS);
            EXPECT_EQ(out, (expect.push_back(0xEE), expect));
        }
    }
    ksh_random_set_seed(0);
    uint8_t b = 0xEE;
    EXPECT_EQ(ks_sw_generate_random_number(&b, 0, 1), KS_NO_MEMORY);
    EXPECT_EQ(ks_sw_generate_random_number(&b, 0, 2), KS_NO_MEMORY);
    EXPECT_EQ(ks_sw_generate_random_number(&b, 0, 0), KS_SUCCESS);
}

// Each case runs one operation with one allocation failing: NO_MEMORY, the
// table as the setup left it (less what a purge removed), no block kept
// beyond a grown slot array.
TEST_F(SwKeystoreTest, EveryAllocationFailureIsNoMemoryAndKeepsTheTable) {
    static uint8_t *out, n8, buf[8];
    static std::string got;
    const struct {
        const char *what;
        uint32_t tag;       // the failing tag, or 0 and
        uint64_t nth;       // the nth allocation call
        bool fill;          // the setup fills the slot array
        const char *after;  // the table afterwards; null: unchanged
        int32_t growth;
        std::function<int32_t()> op;
    } cases[] = {
        {"slot array", kTagSlots, 0, true, nullptr, 0, [] { return store("1:new", "v"); }},
        {"entry after growth", kTagEntry, 0, true, nullptr, 20, [] { return store("1:keep", "new"); }},
        {"first call of a store", 0, 1, true, nullptr, 0, [] { return store("1:keep", "new"); }},
        {"second call of a store", 0, 2, true, nullptr, 20, [] { return store("1:keep", "new"); }},
        {"re-store", kTagEntry, 0, false, nullptr, 0, [] { return store("1:keep", "new"); }},
        {"handle copy", kTagHandleCopy, 0, false, nullptr, 0,
         [] { return out = nullptr, ks_sw_return_key_handle_by_index(0, &out, &n8) + (out ? 1000 : 0); }},
        {"metadata grow", kTagMetaGrow, 0, false, nullptr, 0, [] { return add_meta("1:keep", "longer metadata"); }},
        {"metadata copy", kTagMetaCopy, 0, false, nullptr, 0, [] { return get_meta("1:keep", &got); }},
        {"rename onto a key", kTagRenameGrow, 0, false, nullptr, 0, [] { return rename("1:keep", "1:px-longer"); }},
        {"rename after its purge", kTagRenameGrow, 0, false, "1:keep=keep/meta", 0,
         [] { return rename("1:keep", "1:keep-renamed", "1:p"); }},
        {"store after its purge", kTagEntry, 0, false, "1:keep=keep/meta", 0,
         [] { return ks_sw_store_sym_key(H("1:p1").data(), 3, H("1:p").data(), 2, buf, 3, nullptr, 0); }},
        {"random scratch", kTagScratch, 0, false, nullptr, 0, [] { return ks_sw_generate_random_number(buf, 8, 2); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        restart();
        ASSERT_EQ(store("1:keep", "keep", "meta"), KS_SUCCESS);
        ASSERT_EQ(store("1:px-longer", "px", ""), KS_SUCCESS);
        for (int i = 0; c.fill && ks_num_sym_keys < ks_sym_tab_size; ++i) load("1:f" + std::to_string(i));
        const std::string before = dump();
        const int32_t size = ks_sym_tab_size, count = ks_num_sym_keys;
        const uint64_t blocks = ksh_alloc_live_blocks() - ksh_alloc_tag_live_blocks(kTagSlots);
        const uint64_t failed = ksh_alloc_failed_calls();
        c.tag ? ksh_alloc_fail_tag(c.tag) : ksh_alloc_fail_nth(c.nth);
        EXPECT_EQ(c.op(), KS_NO_MEMORY);
        ksh_alloc_clear_faults();
        EXPECT_EQ(ksh_alloc_failed_calls(), failed + 1) << "the failure was not reached";
        EXPECT_EQ(dump(), c.after ? c.after : before);
        EXPECT_EQ(ksh_alloc_live_blocks() - ksh_alloc_tag_live_blocks(kTagSlots), blocks - (count - ks_num_sym_keys));
        EXPECT_EQ(ks_sym_tab_size, size + c.growth);
        EXPECT_EQ(ksh_alloc_tag_live_blocks(kTagSlots), 1u);
    }
}

// Entries, including the old metadata past a shrink and the old handle past
// an in-place rename, and the random scratch are wiped before release.
TEST_F(SwKeystoreTest, EveryBlockTheLibraryReleasesIsWiped) {
    static uint8_t buf[32];
    const std::function<void()> ops[] = {
        [] { del("1:a"); },
        [] { store("1:a", "new"); },
        [] { ks_sym_key_prefix_purge(H("1:").data(), 1); },
        [] { add_meta("1:a", "a much longer blob"); },
        [] { add_meta("1:a", "m"), del("1:a"); },
        [] { rename("1:a", "1:a-longer"); },
        [] { rename("1:bb", "1:a"), del("1:a"); },
        [] { ks_sw_delete_all_keys_by_type(1); },
        [] { ks_sw_generate_random_number(buf, 32, 1); },
    };
    int i = 0;
    for (const auto &op : ops) {
        SCOPED_TRACE(i++);
        kstest::reset_keystore();
        ASSERT_EQ(store("1:a", "secret-a", "metadata-a"), KS_SUCCESS);
        ASSERT_EQ(store("1:bb", "secret-b", "metadata-b"), KS_SUCCESS);
        const uint64_t before = ksh_alloc_uncleansed_frees();
        ksh_alloc_check_cleansed(1);
        op();
        ksh_alloc_check_cleansed(0);
        EXPECT_EQ(ksh_alloc_uncleansed_frees(), before) << std::hex << ksh_alloc_last_uncleansed_tag();
    }
}

TEST_F(SwKeystoreDeathTest, BrokenTableStopsTheProcess) {
    load("1:a 1:b 2:c");
    static uint8_t *out_unused, len_unused;
    const char *null_slot = R"(p != \(\(void\*\)0\) at keystore/src/ks_sw_keystore:)";
    // Walks over the slots meet the null slot whatever the handle.
    const std::function<void()> walks[] = {
        [] { ks_sym_key_prefix_purge(H("1:zz").data(), 3); },
        [] { ks_sw_delete_all_keys_by_type(2); },
    };
    for (const auto &walk : walks) EXPECT_DEATH((ks_sym_keys[1] = nullptr, walk()), null_slot);
    // Lookups meet it through the handle index when they land on it, and by
    // the linear scan (no index) whatever the handle.
    const std::function<void()> lookups[] = {
        [] { find("1:zz"); },
        [] { del("1:zz"); },
        [] { store("1:zz", "v"); },
        [] { add_meta("1:zz", "m"); },
        [] { rename("1:zz", "1:new"); },
    };
    EXPECT_DEATH((ks_sym_keys[1] = nullptr, find("1:b")), null_slot);
    for (const auto &lookup : lookups)
        EXPECT_DEATH((ks::index_release(), ks_sym_keys[1] = nullptr, lookup()), null_slot);
    EXPECT_DEATH((ks_sym_keys[1] = nullptr, ks_sw_return_key_handle_by_index(1, &out_unused, &len_unused)),
                 "TALMU_FALSE at keystore/src/ks_sw_keystore:");
    EXPECT_DEATH((ks_num_sym_keys = ks_sym_tab_size + 1, store("1:d", "v")),
                 "ks_num_sym_keys <= ks_sym_tab_size at keystore/src/ks_sw_keystore:");
    // The rename's last step finds the renamed entry's slot again.
    static ks_sym_key_entry stray{};
    EXPECT_DEATH(ks::sym_key_replace_entry(H("1:gone").data(), 5, &stray, &stray), "i >= 0 at keystore/src/ks_sw_keystore:");
    EXPECT_DEATH(ks::sym_key_replace_entry(H("1:a").data(), 2, &stray, &stray),
                 R"(ks_sym_keys\[i\] == op at keystore/src/ks_sw_keystore:)");
}

}  // namespace
