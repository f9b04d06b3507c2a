// The software key table as laid out in memory (a golden transcript), its
// growth up to the 2000-key limit, and a broken table stopping the process.
// What the table holds after each operation of the secret and PAC commands
// is in the kstool transcripts.
#include <functional>
#include <set>

#include "keystore/ks_pac.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_sw_index.h"
#include "ks_sw_table.h"
#include "ks_test_util.h"

namespace kstest {
namespace {

Bytes H(const std::string &key) {  // "1:name": type byte 1, then the name
    Bytes h = bytes(key.substr(key.find(':')));
    h[0] = static_cast<uint8_t>(std::stoi(key));
    return h;
}
uint32_t L(const Bytes &b) { return static_cast<uint32_t>(b.size()); }
std::string text(const uint8_t *p, uint32_t n) {  // other bytes than printable ASCII as \xNN
    std::string s;
    for (const uint8_t *c = p; c != p + n; ++c) s += *c >= 0x20 && *c < 0x7F ? std::string(1, char(*c)) : "\\x" + to_hex(c, 1);
    return s;
}

class KeyTableTest : public KeystoreTest {};

// Every entry as TYPE:NAME=VALUE/METADATA read through its stored offsets,
// "*" marking an entry made since the last line (not one changed in
// place); its total length always covers the data up to the metadata's end.
TEST_F(KeyTableTest, EntriesInMemory) {
    std::set<const ks_sym_key_entry *> seen;
    std::string out;
    auto log = [&](const std::string &what, const std::string &answer) {
        out += what + ": " + answer + "\n  ";
        std::set<const ks_sym_key_entry *> now;
        for (int32_t i = 0; i < ks_num_sym_keys; ++i) {
            const ks_sym_key_entry *e = ks_sym_keys[i];
            const std::string k = std::to_string(e->data[0]) + ":" + text(e->data + 1, e->handle_len - 1);
            out += k + "=" + text(ks::entry_value(e), e->value_len) + "/" + text(ks::entry_meta(e), e->meta_len) +
                   (seen.count(e) ? " " : "* ");
            now.insert(e);
            EXPECT_EQ(e->total_len, 24 + e->meta_off + e->meta_len) << k;
        }
        seen = now;
        out += ks_num_sym_keys < ks_sym_tab_size && ks_sym_keys[ks_num_sym_keys] ? "(the slot past the last is set)\n" : "\n";
    };
    auto store = [](const std::string &k, const std::string &v, const std::string &m) {
        return ks_sw_store_sym_key(H(k).data(), L(H(k)), nullptr, 0, bytes(v).data(), L(bytes(v)), bytes(m).data(), L(bytes(m)));
    };
    auto meta = [](const std::string &k, const std::string &m, bool second) {
        const Bytes b = bytes(m);
        return (second ? ks_sw_add_meta_data : ks_sw_add_sym_key_meta)(H(k).data(), L(H(k)), b.empty() ? nullptr : b.data(), L(b));
    };
    auto get_meta = [&](const std::string &k, bool second) {
        uint8_t *copy = reinterpret_cast<uint8_t *>(1);
        uint16_t n = 0xBEEF;
        const int32_t st = (second ? ks_sw_get_meta_data : ks_sw_get_sym_key_meta)(H(k).data(), L(H(k)), &copy, &n);
        out += "  copy " + (st == KS_SUCCESS ? "\"" + text(copy, n) + "\"" : copy == reinterpret_cast<uint8_t *>(1) ? "untouched" : "?") +
               (n == 0xBEEF ? ", length untouched" : "") + "\n";
        if (st == KS_SUCCESS) tagged_free(copy);
        return st;
    };
    for (const char *k : {"1:A", "1:B", "2:abc", "1:abc", "1:ABC"}) log(std::string("store ") + k, ks_err_str(store(k, k, "")));
    log("store 1:A again (to the end, its metadata replaced)", ks_err_str(store("1:A", "second", "m")));
    log("find 1:abc", std::to_string(ks_sym_key_find(H("1:abc").data(), 4)));
    log("find 1:ab", std::to_string(ks_sym_key_find(H("1:ab").data(), 3)));
    log("delete 1:B", ks_err_str(ks_sw_delete_key(H("1:B").data(), 2)));
    log("insert 1:z, 4 bytes of metadata from null", ks_err_str(ks_sym_key_insert(H("1:z").data(), 2, H("1:z").data(), 2, nullptr, 4)));
    for (bool second : {false, true}) {
        for (const char *m : {"0123456789", "abcd", "wxyz", "0123456", ""}) {
            log(std::string(second ? "metadata (second entry point) " : "metadata ") + m, ks_err_str(meta("1:abc", m, second)));
            log("read back", ks_err_str(get_meta("1:abc", second)));
        }
        log("metadata of 1:none", ks_err_str(meta("1:none", "m", second)));
        log("read back", ks_err_str(get_meta("1:none", second)));
    }
    for (auto [from, to] : {std::pair{"1:abc", "1:abcdef"}, {"1:abcdef", "1:abcde"}, {"1:abcde", "1:x"}, {"1:x", "1:x"},
                            {"1:x", "2:abc"}, {"1:gone", "1:y"}})
        log(std::string("rename ") + from + " " + to,
            ks_err_str(ks_sw_rename_key(H(from).data(), L(H(from)), H(to).data(), L(H(to)), nullptr, 0)));
    log("metadata after a shrinking rename", ks_err_str(meta("2:abc", "a longer metadata blob", false)));
    ksh_set_pac_handlers(nullptr, [](void *ctx, const uint8_t *aid, uint32_t n) {
        const Bytes h = cat(Bytes{2}, Bytes(aid, aid + n));
        *static_cast<std::string *>(ctx) += "  notified " + text(aid, n) + (ks_sym_key_find(h.data(), L(h)) < 0 ? " after" : " before") + " its removal\n";
    }, &out);
    log("store 2:aid", ks_err_str(store("2:aid", "v", "")));
    log("delete every key of type 2", ks_err_str(ks_sw_delete_all_keys_by_type(2)));
    ksh_set_pac_handlers(nullptr, nullptr, nullptr);
    expect_golden("golden/key_table.txt", out);
}

TEST_F(KeyTableTest, GrowsByTwentyUpToTwoThousandKeys) {
    reset_keystore();  // and the slot array released, to see the first growth
    tagged_free(ks_sym_keys);
    ks_sym_keys = nullptr, ks_sym_tab_size = 0;
    auto store = [](const std::string &key, const std::string &purge = "") {
        const Bytes h = H(key), p = purge.empty() ? Bytes{} : H(purge);
        return ks_sw_store_sym_key(h.data(), L(h), p.empty() ? nullptr : p.data(), L(p), h.data(), L(h), nullptr, 0);
    };
    for (int i = 0; i < KS_MAX_KEYS; ++i) {
        ASSERT_EQ(store("1:k" + std::to_string(i)), KS_SUCCESS);
        ASSERT_EQ(ks_sym_tab_size, (i / 20 + 1) * 20) << i;  // grows by 20 exactly when full
    }
    EXPECT_EQ(ksh_alloc_tag_live_bytes(0x0460009B), 2000 * sizeof(void *));
    const uint64_t blocks = ksh_alloc_live_blocks();
    EXPECT_EQ(store("1:new"), KS_KEYSTORE_FULL);
    EXPECT_EQ(store("1:k5"), KS_KEYSTORE_FULL);  // a re-store too
    EXPECT_EQ(store("1:k7", "1:zzz"), KS_KEYSTORE_FULL);
    EXPECT_EQ(ks_num_sym_keys * 10000 + ksh_alloc_live_blocks() - blocks, 2000 * 10000u);
    ASSERT_EQ(ks_sw_delete_key(H("1:k0").data(), 3), KS_SUCCESS);
    EXPECT_EQ(store("1:new"), KS_SUCCESS);
    EXPECT_EQ(store("1:newer"), KS_KEYSTORE_FULL);
    EXPECT_EQ(ks_sym_tab_size, 2000);
}

using KeyTableDeathTest = KeyTableTest;

// Walks over the slots meet a null slot whatever the handle; lookups meet
// it through the handle index when they land on it, and in the plain scan
// (no index) whatever the handle.
TEST_F(KeyTableDeathTest, BrokenTableStopsTheProcess) {
    for (const char *k : {"1:a", "1:b", "2:c"}) ASSERT_EQ(ks_sw_store_sym_key(H(k).data(), 2, nullptr, 0, H(k).data(), 2, nullptr, 0), KS_SUCCESS);
    static uint8_t *copy, len;
    static ks_sym_key_entry stray{};
    const std::string slot = R"(p != \(\(void\*\)0\) at keystore/src/ks_sw_keystore)";
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] { ks_sym_key_prefix_purge(H("1:zz").data(), 3); }, slot + ":"},
        {[] { ks_sw_delete_all_keys_by_type(2); }, slot + ":"},
        {[] { ks_sw_delete_old_pacs("me"); }, slot + "_crypto:"},
        {[] { ks_sym_key_find(H("1:b").data(), 2); }, slot + ":"},
        {[] { ks::index_release(), ks_sym_key_find(H("1:zz").data(), 3); }, slot + ":"},
        {[] { ks::index_release(), ks_sw_delete_key(H("1:zz").data(), 3); }, slot + ":"},
        {[] { ks::index_release(), ks_sw_add_meta_data(H("1:zz").data(), 3, H("1:zz").data(), 1); }, slot + ":"},
        {[] { ks::index_release(), ks_sw_rename_key(H("1:zz").data(), 3, H("1:y").data(), 2, nullptr, 0); }, slot + ":"},
        {[] { ks_sw_return_key_handle_by_index(1, &copy, &len); }, "TALMU_FALSE at keystore/src/ks_sw_keystore:"},
    };
    for (const auto &[call, message] : cases) EXPECT_DEATH((ks_sym_keys[1] = nullptr, call()), message);
    EXPECT_DEATH((ks_num_sym_keys = ks_sym_tab_size + 1, ks_sw_store_sym_key(H("1:d").data(), 2, nullptr, 0, &len, 1, nullptr, 0)),
                 "ks_num_sym_keys <= ks_sym_tab_size at keystore/src/ks_sw_keystore:");
    // The rename's last step finds the renamed entry's slot again.
    EXPECT_DEATH(ks::sym_key_replace_entry(H("1:gone").data(), 5, &stray, &stray), "i >= 0 at keystore/src/ks_sw_keystore:");
    EXPECT_DEATH(ks::sym_key_replace_entry(H("1:a").data(), 2, &stray, &stray),
                 R"(ks_sym_keys\[i\] == op at keystore/src/ks_sw_keystore:)");
}

}  // namespace
}  // namespace kstest
