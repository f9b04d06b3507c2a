// SPDX-License-Identifier: Apache-2.0
// The model driver (tests/model/ks_model.h) over seeded random sequences:
// small and large name pools. After each run the keystore is emptied: every
// libcrypto object per-key state made must be gone with its key, and so must
// every block of the table's parts. Beside them, what random sequences do not
// reach: a full table, handles made equal behind the library's back, and
// get-next over handles the fronts never make.
#include <gtest/gtest.h>

#include "../model/ks_model.h"
#include "ks_sw_index.h"
#include "ks_test_util.h"

namespace {

using ksmodel::Bytes;

void report(const std::string &what) { ADD_FAILURE() << what; }

const uint8_t *u8(const char *s) { return reinterpret_cast<const uint8_t *>(s); }
// Stores a key of the given handle with a 1-byte value, as the table's own
// insert does.
int32_t insert(const Bytes &handle) {
    const uint8_t v = 1;
    return ks_sym_key_insert(handle.data(), ksmodel::n32(handle), &v, 1, nullptr, 0);
}

// Every operation, stores more often than removals so that tables grow.
using enum ksmodel::Op;
const std::vector<ksmodel::Op> kMix = {kStoreSecret, kStoreSecret, kStoreSecret, kAddMeta,  kReturnMeta,
                                       kClearSecret, kRename,      kRename,      kStorePac, kStorePac,
                                       kClearPac,    kTlvCopy,     kTprf,        kClearOld, kTable,
                                       kTable,       kTable,       kModes,       kShow};

using ModelTest = kstest::KeystoreTest;

TEST_F(ModelTest, RandomSequencesMatchTheModel) {
    const bool counted = ksmodel::count_libcrypto();
    // Name pools of several sizes: small ones collide often.
    const struct { int names, steps; } runs[] = {{10, 400}, {40, 2500}, {400, 2500}};
    size_t kept = 0;
    for (uint32_t r = 0; r < std::size(runs) && !HasFailure(); ++r) {
        SCOPED_TRACE(testing::Message() << "run " << r);
        kstest::reset_keystore();
        ks::seams.clock = &ksmodel::driver_clock;
        ksmodel::Source in(r + 1);
        ksmodel::Driver d{in, report, runs[r].names};
        for (int s = 0; s < runs[r].steps && !HasFailure(); ++s) d.step(kMix);
        kstest::reset_keystore();
        for (uint32_t tag : {ks::kTagIndex, ks::kTagOrders, ks::kTagKeyState, ks::kTagKeyStateSlots})
            EXPECT_EQ(ksh_alloc_tag_live_blocks(tag), 0u) << "a part of the emptied table holds memory";
        // The first run leaves what libcrypto keeps for the process.
        if (r == 0) kept = ksmodel::libcrypto_live();
        EXPECT_TRUE(!counted || ksmodel::libcrypto_live() == kept) << "libcrypto objects outlived their keys";
    }
}

// A full table refuses a new key and a re-store alike; after removals (the
// ends and a third of the rest) the table is the model's, every key found at
// its index.
TEST_F(ModelTest, FullTable) {
    ksmodel::Source in(7);
    ksmodel::Driver d{in, report, KS_MAX_KEYS + 1};
    const auto store = [&](uint32_t i) {
        const Bytes h = ksmodel::Arg{false, d.pool_name(i)}.handle();
        EXPECT_EQ(ks_sym_key_insert(h.data(), ksmodel::n32(h), h.data(), 1, nullptr, 0), d.model.store(h, {h[0]}, {}));
    };
    for (uint32_t i = 0; i <= KS_MAX_KEYS; ++i) store(i);
    store(7);
    ks::table_parts_forget();  // the parts rebuild for a full table
    EXPECT_FALSE(ks::table_parts_in_step());
    // Every key with a per-key state at once.
    for (const ksmodel::Key &k : d.model.keys) {
        uint8_t got[20], want[20];
        ks_sw_hmac(k.handle.data(), ksmodel::n32(k.handle), k.handle.data(), 1, got, KS_DIGEST_SHA1);
        hmac_sha(k.value.data(), 1, k.handle.data(), 1, want);
        ASSERT_EQ(Bytes(got, got + 20), Bytes(want, want + 20));
    }
    EXPECT_EQ(ks::key_state_count(), KS_MAX_KEYS);
    // Both ends, then every third key: each removal shifts its probe run back.
    std::vector<Bytes> gone = {d.model.keys.front().handle, d.model.keys.back().handle};
    for (size_t i = 1; i + 1 < d.model.keys.size(); i += 3) gone.push_back(d.model.keys[i].handle);
    for (const Bytes &h : gone) EXPECT_EQ(ks_sw_delete_key(h.data(), ksmodel::n32(h)), d.model.erase(h));
    store(0);
    d.check();
}

// Re-storing the only key again and again: each time the table empties with
// room made for the new key, and nothing of the old key stays in its parts.
TEST_F(ModelTest, ReStoringTheOnlyKey) {
    ksmodel::Source in(5);
    ksmodel::Driver d{in, report, 2};
    const Bytes h = ksmodel::Arg{false, d.pool_name(0)}.handle(), h2 = ksmodel::Arg{false, d.pool_name(1)}.handle();
    for (uint8_t i = 0; i < 200; ++i)
        ASSERT_EQ(ks_sym_key_insert(h.data(), 2, &i, 1, nullptr, 0), d.model.store(h, {i}, {})) << int(i);
    ASSERT_EQ(insert(h2), d.model.store(h2, {1}, {}));
    d.check();
}

// Handles made equal behind the library's back (and a count change that
// makes the index rebuild): a table with equal handles is not indexed, so a
// lookup scans it and no per-key state is kept, for HMAC or AES.
TEST_F(ModelTest, EqualHandlesAreNotIndexed) {
    const uint8_t value[16] = {1}, data[] = "x", a[] = "\1a";
    for (const char *h : {"\1a", "\1x", "\1c", "\1y"})
        ASSERT_EQ(ks_sw_store_sym_key(u8(h), 2, nullptr, 0, value, 16, nullptr, 0), KS_SUCCESS);
    ks_sym_keys[2]->data[1] = 'a';  // "\1c" becomes a second "\1a"
    ks::sym_key_free_entry(ks_sym_keys[3]);
    ks_sym_keys[ks_num_sym_keys = 3] = nullptr;
    uint8_t out[20];
    EXPECT_EQ(ks_sym_key_find(a, 2), 0);
    EXPECT_EQ(ks_sw_hmac(a, 2, data, 1, out, KS_DIGEST_SHA1), KS_SUCCESS);
    EXPECT_EQ(ks_sw_aes(a, 2, value, out, 16, 1), KS_SUCCESS);
    EXPECT_EQ(ks::key_state_count(), 0);
}

// More entries than the parts have room for, put in behind the table's back
// (the parts were made for one key): the table is not indexed, a lookup
// scans it, and a removal or a change leaves the parts alone.
TEST_F(ModelTest, CountPastThePartsIsNotIndexed) {
    const Bytes first = {KS_KEY_TYPE_SECRET, 0xFF};
    for (uint8_t i = 0; i < 79; ++i) ASSERT_EQ(insert({KS_KEY_TYPE_SECRET, i}), KS_SUCCESS);
    const std::vector<ks_sym_key_entry *> kept(ks_sym_keys, ks_sym_keys + 79);
    std::fill_n(ks_sym_keys, 79, nullptr), ks_num_sym_keys = 0;
    ASSERT_EQ(insert(first), KS_SUCCESS);
    std::copy(kept.begin(), kept.end(), ks_sym_keys + 1), ks_num_sym_keys = 80;
    ASSERT_EQ(ks_sw_delete_key(first.data(), 2), KS_SUCCESS);  // every later slot moves down
    EXPECT_EQ(ks_sym_key_find(first.data(), 2), -1);
    for (uint8_t i = 0; i < 79; ++i) EXPECT_EQ(ks_sym_key_find(Bytes{KS_KEY_TYPE_SECRET, i}.data(), 2), i);
    const Bytes meta(64, 'm');  // too long to fit in place: the entry is replaced
    EXPECT_EQ(ks_sw_add_sym_key_meta(Bytes{KS_KEY_TYPE_SECRET, 78}.data(), 2, meta.data(), 64), KS_SUCCESS);
    EXPECT_FALSE(ks::table_parts_in_step());
    EXPECT_EQ(ks::index_find(Bytes{KS_KEY_TYPE_SECRET, 78}.data(), 2, ""), -1) << "the change reached the index";
}

// A key put back behind the table's back, then a purge that brings the count
// back to the one the parts saw: the parts rebuild rather than take the
// table for the one they saw.
TEST_F(ModelTest, PurgeAfterAKeyPutInBehindTheTablesBack) {
    for (const char *k : {"\1a", "\1b", "\1c"}) ASSERT_EQ(insert(Bytes(k, k + 2)), KS_SUCCESS);
    ks_sym_key_entry *c = std::exchange(ks_sym_keys[2], nullptr);
    ks_num_sym_keys = 2;
    EXPECT_EQ(ks_sym_key_find(u8("\1c"), 2), -1);  // the parts rebuild for a and b
    ks_sym_keys[ks_num_sym_keys++] = c;
    EXPECT_EQ(ks_sym_key_prefix_purge(u8("\1a"), 2), 1);
    EXPECT_EQ(kstest::S(ks_sym_key_find(u8("\1b"), 2), " ", ks_sym_key_find(u8("\1c"), 2)), "0 1");
}

// A first store that cannot make all of the table's parts leaves none.
TEST_F(ModelTest, FailedFirstStoreLeavesNoPart) {
    ksh_alloc_fail_tag(ks::kTagOrders);
    EXPECT_EQ(insert({KS_KEY_TYPE_SECRET, 'a'}), KS_NO_MEMORY);
    ksh_alloc_fail_tag(0);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(ks::kTagIndex), 0u);
}

// A key's state follows its entry: made again for an entry whose value
// length changed behind the table's back. A state that cannot be made leaves
// the pointer block only while it holds another key's state.
TEST_F(ModelTest, KeyStatesFollowTheirEntries) {
    const uint8_t data[] = "x", a[] = "\1a", b[] = "\1b";
    const uint8_t *value = u8("0123456789abcdef");  // cut short: another HMAC key
    uint8_t out[20], want[20];
    const auto held = [] {
        return kstest::S(ks::key_state_count(), " ", ksh_alloc_tag_live_blocks(ks::kTagKeyState), " ",
                         ksh_alloc_tag_live_blocks(ks::kTagKeyStateSlots));
    };
    for (const uint8_t *h : {a, b}) ASSERT_EQ(ks_sw_store_sym_key(h, 2, nullptr, 0, value, 16, nullptr, 0), KS_SUCCESS);
    const auto hmac = [&](const uint8_t *h, uint32_t failing_tag) {
        ksh_alloc_fail_tag(failing_tag);
        const int32_t st = ks_sw_hmac(h, 2, data, 1, out, KS_DIGEST_SHA1);
        return ksh_alloc_fail_tag(0), st;
    };
    EXPECT_EQ(hmac(a, ks::kTagKeyState), KS_SUCCESS);
    EXPECT_EQ(held(), "0 0 0");
    EXPECT_EQ(hmac(a, 0), KS_SUCCESS);
    EXPECT_EQ(hmac(b, ks::kTagKeyState), KS_SUCCESS);
    EXPECT_EQ(held(), "1 1 1");
    ks_sym_keys[0]->value_len = 8;
    EXPECT_EQ(hmac(a, 0), KS_SUCCESS);
    hmac_sha(value, 8, data, 1, want);
    EXPECT_EQ(Bytes(out, out + 20), Bytes(want, want + 20));
    ks_sym_keys[0]->value_len = 16;
}

// Growing the slot array and the parts moves them: the parts follow, so the
// per-key state made before stays (a rebuild would drop every state).
TEST_F(ModelTest, GrowingTheTableKeepsPerKeyStates) {
    const uint8_t value[16] = {1}, data[] = "x";
    uint8_t out[20];
    tagged_free(ks_sym_keys), ks_sym_keys = nullptr, ks_sym_tab_size = 0;  // no slot array yet, as at load
    for (int i = 0; i <= KS_TABLE_GROWTH; ++i) {
        const uint8_t h[] = {KS_KEY_TYPE_SECRET, static_cast<uint8_t>('a' + i)};
        ASSERT_EQ(ks_sw_store_sym_key(h, 2, nullptr, 0, value, 16, nullptr, 0), KS_SUCCESS);
        ASSERT_EQ(i == 0 ? ks_sw_hmac(h, 2, data, 1, out, KS_DIGEST_SHA1) : KS_SUCCESS, KS_SUCCESS);
        EXPECT_EQ(ks::key_state_count(), 1) << "after key " << i;
    }
}

// Both get-next answers from each start, as text ("-" for none).
std::vector<std::string> next_answers(const std::vector<Bytes> &starts) {
    std::vector<std::string> out;
    for (const Bytes &start : starts) {
        char name[KS_HANDLE_MAX] = {};
        std::copy_n(start.begin(), std::min<size_t>(start.size(), KS_NAME_MAX), name);
        out.push_back(ks_snmp_get_next_password(name, sizeof name) == 1 ? name : "-");
        uint8_t aid[KS_PAC_SNMP_KEY_LEN], len = sizeof aid;
        const auto n = static_cast<uint32_t>(std::min<size_t>(start.size(), sizeof aid));
        out.push_back(ks_snmp_get_next_pac(ksmodel::ptr_of(start), n, aid, &len) == 1 ? kstest::to_hex(aid, len) : "-");
    }
    return out;
}

// The sorted orders answer as the walk over the table does (the parts
// suspended, as during a PAC walk) on handles the front never makes: names past 31 bytes or with a
// NUL inside, handles of 256 bytes or more (the walk gets their length as one
// byte), empty names and A-IDs, A-IDs with equal 16-byte keys; and with an
// empty handle in the table, where the walk stops.
TEST_F(ModelTest, GetNextEqualsTheWalkOnOddHandles) {
    using namespace std::string_literals;
    const std::vector<std::string> handles = {"\1b",
                                              "\1a\0z"s,
                                              "\1\0z"s,
                                              "\1" + std::string(40, 'm'),
                                              "\1" + std::string(300, 'c'),
                                              "\1" + std::string(255, 'q'),
                                              "\1a",
                                              "\1",
                                              "\2" + std::string(20, 'z'),
                                              "\2" + std::string(17, 'z'),
                                              "\2\0a"s,
                                              "\2a",
                                              "\2" + std::string(300, 'y'),
                                              "\2",
                                              "\3x"};
    std::vector<Bytes> starts = {{}, {'a'}, {'m'}, {'z', 'z'}, {0xFF}, Bytes(16, 0xFF)};
    for (const std::string &h : handles) starts.emplace_back(h.begin() + 1, h.end());
    // In this order (a password at index 0, where a walk starts), with an
    // empty handle inserted, and rotated to put a PAC at index 0.
    for (const char *table : {"", "with an empty handle", "PAC first"}) {
        SCOPED_TRACE(table);
        const bool empty_handle = table[0] == 'w';
        kstest::reset_keystore();
        const uint8_t v = 1;
        for (size_t k = 0; k < handles.size(); ++k) {
            const size_t i = table[0] == 'P' ? (k + 9) % handles.size() : k;
            if (empty_handle && i == 8) {
                ASSERT_EQ(ks_sym_key_insert(&v, 0, &v, 1, nullptr, 0), KS_SUCCESS);
            }
            ASSERT_EQ(insert(Bytes(handles[i].begin(), handles[i].end())), KS_SUCCESS);
        }
        const uint64_t calls = ksh_alloc_calls();
        const std::vector<std::string> sorted = next_answers(starts);
        EXPECT_EQ(ksh_alloc_calls() == calls, !empty_handle) << "the sorted orders answer only without an empty handle";
        ks::table_suspend();
        EXPECT_EQ(sorted, next_answers(starts));
        // A change ends the suspension, as after a walk that never finished:
        // the parts rebuild on their next use. (The scan tells the 1-byte
        // handles apart.)
        ASSERT_EQ(ks_sw_delete_key(u8("\2"), 1), KS_SUCCESS);
        EXPECT_GE(ks_sym_key_find(u8("\1"), 1), 0);
        EXPECT_TRUE(ks::table_parts_in_step());
        // Once the empty handle is removed, the orders answer again.
        ASSERT_EQ(empty_handle ? ks_sw_delete_key(&v, 0) : KS_SUCCESS, KS_SUCCESS);
        const uint64_t after = ksh_alloc_calls();
        next_answers(starts);
        EXPECT_EQ(ksh_alloc_calls(), after);
    }
}

}  // namespace
