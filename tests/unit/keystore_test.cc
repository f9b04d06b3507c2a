// SPDX-License-Identifier: Apache-2.0
// The software key table: when a PAC's removal is announced, and a broken
// table stopping the process.

#include "ks_hash.h"
#include "ks_seams.h"
#include "ks_sw_key_state.h"
#include "ks_sw_key_value.h"
#include "ks_sw_table.h"
#include "ks_test_util.h"

namespace kstest {
namespace {

Bytes H(const std::string &key) {  // "1:name": type byte 1, then the name
    Bytes h = bytes(key.substr(key.find(':')));
    h[0] = static_cast<uint8_t>(std::stoi(key));
    return h;
}
std::string text(const uint8_t *p, uint32_t n) {  // bytes other than printable ASCII as \xNN
    std::string s;
    for (const uint8_t *c = p; c != p + n; ++c)
        s += *c >= 0x20 && *c < 0x7F ? std::string(1, char(*c)) : "\\x" + to_hex(c, 1);
    return s;
}
// HMAC-SHA-1 of "d" from the key's per-key state, made when it has none.
bool hmac_from_state(const std::string &k) {
    ks::KeyValue v;
    uint8_t out[20];
    return ks::find_key_value(H(k).data(), n32(H(k)), v) &&
           ks::key_state_hmac(v.state_slot, ks::crypto::Md::kSha1, reinterpret_cast<const uint8_t *>("d"), 1, out);
}
int32_t store(const std::string &k, const std::string &v, const std::string &m = "", const std::string &purge = "") {
    const Bytes p = purge.empty() ? Bytes{} : H(purge);
    return ks_sw_store_sym_key(H(k).data(), n32(H(k)), p.empty() ? nullptr : p.data(), n32(p), bytes(v).data(),
                               n32(bytes(v)), bytes(m).data(), n32(bytes(m)));
}

class KeyTableTest : public KeystoreTest {};

// The walks that remove PACs (every key of type 2; the old PACs) tell the
// PAC handler of each PAC while its entry is still in the table, and of the
// next once that entry is gone: a handler sees the table shrink. A key that
// stays keeps its per-key state, moved down with its slot. (What the table
// holds after each call is the model test's.)
TEST_F(KeyTableTest, RemovalNotifiedBeforeTheEntryGoes) {
    using namespace std::string_literals;
    const std::string own =
        "\0\x09\0\x0d\0\x05\0\x09"
        "device-me"s;  // PAC-Info naming this device: not old
    const std::pair<std::function<int32_t()>, std::string> walks[] = {
        {[] { return ks_sw_delete_all_keys_by_type(2); }, "abc1@4 keep1@3 aid1@2 left 1"},
        {[] { return ks_clear_old_pacs("device-me"); }, "abc1@4 aid1@3 left 2"},
    };
    for (const auto &[walk, want] : walks) {
        reset_keystore();
        for (const char *k : {"2:abc", "1:x", "2:keep", "2:aid"})
            ASSERT_EQ(store(k, k, k == "2:keep"s ? own : ""), KS_SUCCESS);
        ASSERT_TRUE(hmac_from_state("1:x"));
        std::string seen;
        ksh_set_pac_handlers(
            nullptr,
            [](void *ctx, const uint8_t *aid, uint32_t n) {
                const Bytes h = cat(Bytes{2}, Bytes(aid, aid + n));
                *static_cast<std::string *>(ctx) +=
                    S(text(aid, n), ks_sym_key_find(h.data(), n32(h)) >= 0, "@", ks_num_sym_keys, " ");
            },
            &seen);
        EXPECT_EQ(walk(), KS_SUCCESS);
        ksh_set_pac_handlers(nullptr, nullptr, nullptr);
        EXPECT_EQ(S(seen, "left ", ks_num_sym_keys), want);
        EXPECT_EQ(ks::key_state_count(), 1);
        const uint64_t calls = ksh_alloc_calls();
        ASSERT_TRUE(hmac_from_state("1:x"));
        EXPECT_EQ(ksh_alloc_calls(), calls) << "the state of \"1:x\" was made again";
    }
}

// An entry whose parts add up past 32 bits is refused before anything is
// allocated or read (the byte arguments here hold one byte each), and the
// key stays as it was.
TEST_F(KeyTableTest, EntrySizePast32BitsIsRefused) {
    ASSERT_EQ(store("1:k", "v"), KS_SUCCESS);
    const Bytes h = H("1:k");
    const uint8_t one = 1;
    const std::pair<uint32_t, uint32_t> parts[] = {{UINT32_MAX, 0}, {0x80000000u, 0x80000000u}, {1, UINT32_MAX - 8}};
    for (const auto &[value_len, meta_len] : parts) {
        const uint64_t calls = ksh_alloc_calls();
        EXPECT_EQ(ks_sym_key_insert(h.data(), n32(h), &one, value_len, &one, meta_len), KS_NO_MEMORY) << value_len;
        EXPECT_EQ(ksh_alloc_calls(), calls);
    }
    // Metadata or a new handle that would take the entry past 32 bits,
    // likewise.
    const uint64_t calls = ksh_alloc_calls();
    for (uint32_t len : {UINT32_MAX, UINT32_MAX - 20}) {
        EXPECT_EQ(ks_sw_add_sym_key_meta(h.data(), n32(h), &one, len), KS_NO_MEMORY) << len;
        EXPECT_EQ(ks_sw_rename_key(h.data(), n32(h), &one, len, nullptr, 0), KS_NO_MEMORY) << len;
    }
    EXPECT_EQ(ksh_alloc_calls(), calls);
    EXPECT_EQ(ks_num_sym_keys, 1);
    EXPECT_GE(ks_sym_key_find(h.data(), n32(h)), 0);
}

// Metadata replaced in place (shorter or as long) or in a grown entry; a
// null pointer with a length stands for that many zeros. The entry keeps
// the exported header's rule: total_len = 24 + meta_off + meta_len.
TEST_F(KeyTableTest, MetadataReplacedInPlaceOrGrown) {
    ASSERT_EQ(store("1:k", "value", "abcdef"), KS_SUCCESS);
    const Bytes h = H("1:k");
    const struct {
        const char *meta;
        uint32_t len;
        std::string want;
    } steps[] = {{"xy", 2, "xy"},
                 {nullptr, 2, std::string(2, '\0')},
                 {nullptr, 5, std::string(5, '\0')},
                 {"abc", 3, "abc"},
                 {nullptr, 0, ""},
                 {"grown!", 6, "grown!"}};
    for (const auto &[meta, len, want] : steps) {
        ASSERT_EQ(ks_sw_add_sym_key_meta(h.data(), n32(h), reinterpret_cast<const uint8_t *>(meta), len), KS_SUCCESS);
        uint8_t *copy = nullptr;
        uint16_t copy_len = 0;
        ASSERT_EQ(ks_sw_get_sym_key_meta(h.data(), n32(h), &copy, &copy_len), KS_SUCCESS);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(copy), copy_len), want);
        tagged_free(copy);
        const ks_sym_key_entry *e = ks_sym_keys[ks_sym_key_find(h.data(), n32(h))];
        EXPECT_EQ(e->total_len, 24 + e->meta_off + e->meta_len) << want.size();
    }
}

// A record with an empty handle has no copy to give: NO_MEMORY, with the
// copy's pointer set to null.
TEST_F(KeyTableTest, EmptyHandleIsNotCopied) {
    const uint8_t v = 1;
    ASSERT_EQ(ks_sym_key_insert(&v, 0, &v, 1, nullptr, 0), KS_SUCCESS);
    uint8_t *copy = reinterpret_cast<uint8_t *>(&copy), len = 7;
    EXPECT_EQ(ks_sw_return_key_handle_by_index(0, &copy, &len), KS_NO_MEMORY);
    EXPECT_EQ(copy, nullptr);
}

// Two handles of one length and one hash (found by search): each is found
// as itself, not as the other in its probe run.
TEST_F(KeyTableTest, HandlesOfOneHashAreToldApart) {
    const std::string keys[] = {"1:k0025102", "1:k0154003"};
    ASSERT_EQ(ks::hash_bytes(H(keys[0]).data(), 9), ks::hash_bytes(H(keys[1]).data(), 9));
    for (const std::string &k : keys) ASSERT_EQ(store(k, k), KS_SUCCESS);
    for (const std::string &k : keys) {
        const int32_t slot = ks_sym_key_find(H(k).data(), n32(H(k)));
        ASSERT_GE(slot, 0) << k;
        EXPECT_EQ(Bytes(ks_sym_keys[slot]->data, ks_sym_keys[slot]->data + 9), H(k)) << k;
    }
}

using KeyTableDeathTest = KeyTableTest;

// Walks over the slots (the purge's, the old-PAC clear's) meet a null slot
// whatever the handle; lookups meet it through the handle index when they
// land on it, and in the plain scan (the parts suspended) whatever the handle.
TEST_F(KeyTableDeathTest, BrokenTableStopsTheProcess) {
    for (const char *k : {"1:a", "1:b", "2:c"}) ASSERT_EQ(store(k, k), KS_SUCCESS);
    static uint8_t *copy, len;
    static char after_a[KS_HANDLE_MAX] = "a";  // the sorted names visit "1:b" next
    static ks_sym_key_entry stray{};
    const std::string slot = R"(p != \(\(void\*\)0\) at keystore/src/ks_sw_keystore)";
    auto null = [] { ks_sym_keys[1] = nullptr; };
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { null(), ks_sym_key_prefix_purge(H("1:zz").data(), 3); }, slot + ":"},
        {[&] { null(), ks_sw_delete_old_pacs("me"); }, slot + "_crypto:"},
        {[&] { null(), ks_sym_key_find(H("1:b").data(), 2); }, slot + ":"},
        {[&] { null(), ks::table_suspend(), ks_sym_key_find(H("1:zz").data(), 3); }, slot + ":"},
        {[&] { null(), ks_sw_return_key_handle_by_index(1, &copy, &len); },
         "TALMU_FALSE at keystore/src/ks_sw_keystore:"},
        {[&] { null(), ks_snmp_get_next_password(after_a, sizeof after_a); },
         "TALMU_FALSE at keystore/src/ks_sw_keystore:"},
        {[] { ks_num_sym_keys = ks_sym_tab_size + 1, store("1:d", "v"); },
         "ks_num_sym_keys <= ks_sym_tab_size at keystore/src/ks_sw_keystore:"},
        // The rename's last step finds the renamed entry's slot again.
        {[] { ks::sym_key_replace_entry(H("1:gone").data(), 5, &stray, &stray); },
         "i >= 0 at keystore/src/ks_sw_keystore:"},
        {[] { ks::sym_key_replace_entry(H("1:a").data(), 2, &stray, &stray); },
         R"(ks_sym_keys\[i\] == op at keystore/src/ks_sw_keystore:)"},
    };
    for (const auto &[call, message] : cases) EXPECT_DEATH(call(), message);
}

}  // namespace
}  // namespace kstest
