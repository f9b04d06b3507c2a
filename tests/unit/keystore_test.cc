// The software key table as laid out in memory (a golden transcript), and a
// broken table stopping the process.
// What the table holds after the secret and PAC commands is in the kstool
// transcripts.

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
std::string text(const uint8_t *p, uint32_t n) {  // bytes other than printable ASCII as \xNN
    std::string s;
    for (const uint8_t *c = p; c != p + n; ++c)
        s += *c >= 0x20 && *c < 0x7F ? std::string(1, char(*c)) : "\\x" + to_hex(c, 1);
    return s;
}
int32_t store(const std::string &k, const std::string &v, const std::string &m = "", const std::string &purge = "") {
    const Bytes p = purge.empty() ? Bytes{} : H(purge);
    return ks_sw_store_sym_key(H(k).data(), L(H(k)), p.empty() ? nullptr : p.data(), L(p), bytes(v).data(), L(bytes(v)),
                               bytes(m).data(), L(bytes(m)));
}

class KeyTableTest : public KeystoreTest {};

// Every entry as TYPE:NAME=VALUE/METADATA read through its stored offsets,
// "*" marking an entry made since the last line (not one changed in place);
// its total length covers the data up to the metadata's end.
TEST_F(KeyTableTest, EntriesInMemory) {
    std::set<const ks_sym_key_entry *> seen;
    std::string out;
    auto log = [&](const std::string &what, const std::string &answer) {
        std::set<const ks_sym_key_entry *> now;
        out += what + ": " + answer + "\n ";
        for (int32_t i = 0; i < ks_num_sym_keys; ++i) {
            const ks_sym_key_entry *e = ks_sym_keys[i];
            out += S(" ", int(e->data[0]), ":", text(e->data + 1, e->handle_len - 1), "=",
                     text(ks::entry_value(e), e->value_len), "/", text(ks::entry_meta(e), e->meta_len),
                     seen.count(e) ? "" : "*");
            now.insert(e);
            EXPECT_EQ(e->total_len, 24 + e->meta_off + e->meta_len) << i;
        }
        seen = now;
        out += ks_num_sym_keys < ks_sym_tab_size && ks_sym_keys[ks_num_sym_keys] ? " (the slot past the last is set)\n"
                                                                                 : "\n";
    };
    auto meta = [&](const std::string &k, const std::string &m, bool second) {
        const Bytes b = bytes(m);
        log(S(second ? "metadata (second entry points) " : "metadata ", k, " ", m),
            ks_err_str((second ? ks_sw_add_meta_data : ks_sw_add_sym_key_meta)(H(k).data(), L(H(k)),
                                                                               b.empty() ? nullptr : b.data(), L(b))));
        uint8_t *copy = reinterpret_cast<uint8_t *>(1);
        uint16_t n = 0xBEEF;
        const int32_t st = (second ? ks_sw_get_meta_data : ks_sw_get_sym_key_meta)(H(k).data(), L(H(k)), &copy, &n);
        out += S("  read back: ", ks_err_str(st), " ", st == KS_SUCCESS ? "\"" + text(copy, n) + "\"" : "",
                 copy == reinterpret_cast<uint8_t *>(1) && n == 0xBEEF ? "outputs untouched" : "", "\n");
        if (st == KS_SUCCESS) tagged_free(copy);
    };
    for (const char *k : {"1:A", "1:B", "2:abc", "1:abc", "1:ABC"}) log(S("store ", k), ks_err_str(store(k, k)));
    log("store 1:A again (to the end, its metadata replaced)", ks_err_str(store("1:A", "second", "m")));
    log("find 1:abc, 1:ab", S(ks_sym_key_find(H("1:abc").data(), 4), " ", ks_sym_key_find(H("1:ab").data(), 3)));
    log("delete 1:B", ks_err_str(ks_sw_delete_key(H("1:B").data(), 2)));
    log("insert 1:z, 4 bytes of metadata from null",
        ks_err_str(ks_sym_key_insert(H("1:z").data(), 2, H("1:z").data(), 2, nullptr, 4)));
    for (bool second : {false, true}) {
        for (const char *m : {"0123456789", "abcd", "wxyz", "0123456", ""}) meta("1:abc", m, second);
        meta("1:none", "m", second);
    }
    const char *renames[][2] = {{"1:abc", "1:abcdef"}, {"1:abcdef", "1:abcde"}, {"1:abcde", "1:x"}, {"1:x", "1:x"},
                                {"1:x", "2:abc"},      {"1:A", "1:z"},          {"1:gone", "1:y"}};
    for (auto [from, to] : renames)
        log(S("rename ", from, " ", to),
            ks_err_str(ks_sw_rename_key(H(from).data(), L(H(from)), H(to).data(), L(H(to)), nullptr, 0)));
    log("find 2:abc, 1:ABC, 1:z (through the index)",
        S(ks_sym_key_find(H("2:abc").data(), 4), ks_sym_key_find(H("1:ABC").data(), 4),
          ks_sym_key_find(H("1:z").data(), 2)));
    meta("2:abc", "a longer metadata blob", false);
    ksh_set_pac_handlers(
        nullptr,
        [](void *ctx, const uint8_t *aid, uint32_t n) {
            const Bytes h = cat(Bytes{2}, Bytes(aid, aid + n));
            *static_cast<std::string *>(ctx) +=
                S("  notified ", text(aid, n), ks_sym_key_find(h.data(), L(h)) < 0 ? " after" : " before",
                  " its removal\n");
        },
        &out);
    log("store 2:aid", ks_err_str(store("2:aid", "v")));
    log("delete every key of type 2", ks_err_str(ks_sw_delete_all_keys_by_type(2)));
    ksh_set_pac_handlers(nullptr, nullptr, nullptr);
    expect_golden("golden/key_table.txt", out);
}

using KeyTableDeathTest = KeyTableTest;

// Walks over the slots (the purge's, the old-PAC clear's) meet a null slot
// whatever the handle; lookups meet it through the handle index when they
// land on it, and in the plain scan (no index) whatever the handle.
TEST_F(KeyTableDeathTest, BrokenTableStopsTheProcess) {
    for (const char *k : {"1:a", "1:b", "2:c"}) ASSERT_EQ(store(k, k), KS_SUCCESS);
    static uint8_t *copy, len;
    static ks_sym_key_entry stray{};
    const std::string slot = R"(p != \(\(void\*\)0\) at keystore/src/ks_sw_keystore)";
    auto null = [] { ks_sym_keys[1] = nullptr; };
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { null(), ks_sym_key_prefix_purge(H("1:zz").data(), 3); }, slot + ":"},
        {[&] { null(), ks_sw_delete_old_pacs("me"); }, slot + "_crypto:"},
        {[&] { null(), ks_sym_key_find(H("1:b").data(), 2); }, slot + ":"},
        {[&] { null(), ks::index_release(), ks_sym_key_find(H("1:zz").data(), 3); }, slot + ":"},
        {[&] { null(), ks_sw_return_key_handle_by_index(1, &copy, &len); },
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
