// Secret API: check order (standby, then arguments), dispatch, the name
// enumerations, metadata round trips, the hardware path and every allocation
// failure.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "keystore/ks_modes.h"
#include "keystore/ks_secret.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_crypto_test_util.h"
#include "ks_test_util.h"
#include "ks_trace_tables.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::string>;

const std::string k31(31, 'n'), k32(32, 'n');
const uint8_t kValue[4] = {1, 2, 3, 4};
#define CALL(expr) [&] { return (expr); }

int32_t store(const char *name, const char *purge = nullptr, const uint8_t *value = kValue, uint32_t len = 4) {
    return ks_store_secret_and_metadata(name, purge, value, len, nullptr, 0);
}

// A key of another type stored straight into the key table.
void store_typed(uint8_t type, const std::string &name) {
    Bytes h = {type};
    h.insert(h.end(), name.begin(), name.end());
    ASSERT_EQ(ks_sw_store_sym_key(h.data(), static_cast<uint32_t>(h.size()), nullptr, 0, kValue, 4, nullptr, 0),
              KS_SUCCESS);
}

bool exists(const char *name) {
    int32_t flag = -1;
    EXPECT_EQ(ks_secret_exists(name, &flag), KS_SUCCESS);
    return flag == 1;
}

// The secret names by index, each freed as a caller must.
Names names() {
    Names out;
    uint16_t index = 0;
    char *name = nullptr;
    while (ks_return_secret_handle_by_index(&index, &name) == KS_SUCCESS) {
        out.emplace_back(name);
        tagged_free(name);
    }
    return out;
}

struct Case {
    const char *what;
    std::function<int32_t()> call;
    int32_t want;
};

// Runs each case; a refused call changes no key and emits no trace.
void run_cases(const std::vector<Case> &cases) {
    for (const auto &c : cases) {
        const int32_t keys = ks_num_sym_keys;
        const size_t traces = ksh_trace_count();
        EXPECT_EQ(c.call(), c.want) << c.what;
        if (c.want == KS_INVAL_ARGS || c.want == KS_STDBY_NOT_SUPPORTED) {
            EXPECT_TRUE(ks_num_sym_keys == keys && ksh_trace_count() == traces) << c.what;
        }
    }
}

class SecretApiTest : public kstest::KeystoreTest {};

TEST_F(SecretApiTest, StandbyRefusesChangesFirstButNotQueries) {
    ASSERT_EQ(store("s"), KS_SUCCESS);
    ks_is_standby = 1;
    const int32_t no = KS_STDBY_NOT_SUPPORTED;
    run_cases({
        {"random", CALL(ks_generate_random_number(nullptr, 0, 0)), no},
        {"store", CALL(ks_store_secret_and_metadata(nullptr, nullptr, nullptr, 0, nullptr, 0)), no},
        {"add", CALL(ks_add_metadata(nullptr, nullptr, 5)), no},
        {"read", CALL(ks_return_metadata(nullptr, nullptr, nullptr)), no},
        {"clear", CALL(ks_clear_secret("s")), no},
        {"rename", CALL(ks_rename_secret(nullptr, nullptr, nullptr)), no},
        {"rename to itself", CALL(ks_rename_secret("s", "s", nullptr)), no},
    });
    int32_t flag = 0;
    EXPECT_TRUE(exists("s"));
    EXPECT_EQ(ks_check_ha_consistency("s", &flag), KS_SUCCESS);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(ks_snmp_password_exists("s"), 1);
    EXPECT_EQ(names(), Names{"s"});
    char buf[32] = "";
    EXPECT_EQ(ks_snmp_get_next_password(buf, sizeof buf), 1);
    uint8_t *data = nullptr;
    uint16_t len = 0;
    EXPECT_EQ(keystore_return_wdc("w", &data, &len), KS_SUCCESS);
}

TEST_F(SecretApiTest, ArgumentFaultsInCheckOrder) {
    ASSERT_EQ(store("s"), KS_SUCCESS);
    uint8_t buf[8], *meta;
    uint16_t meta_len, index = 0;
    int32_t flag;
    char *name, shortbuf[31] = "";
    const uint8_t big[65535] = {};
    const int32_t bad = KS_INVAL_ARGS;
    run_cases({
        {"random null", CALL(ks_generate_random_number(nullptr, 8, 0)), bad},
        {"random 0", CALL(ks_generate_random_number(buf, 0, 0)), bad},
        {"exists null name", CALL(ks_secret_exists(nullptr, &flag)), bad},
        {"exists null flag", CALL(ks_secret_exists("s", nullptr)), bad},
        {"exists empty", CALL(ks_secret_exists("", &flag)), bad},
        {"exists 32", CALL(ks_secret_exists(k32.c_str(), &flag)), bad},
        {"exists 31", CALL(ks_secret_exists(k31.c_str(), &flag)), KS_SUCCESS},
        {"ha null flag", CALL(ks_check_ha_consistency("s", nullptr)), bad},
        {"ha 32", CALL(ks_check_ha_consistency(k32.c_str(), &flag)), KS_RECORD_NOT_FOUND},
        {"store null name", CALL(store(nullptr)), bad},
        {"store null value", CALL(store("v", nullptr, nullptr)), bad},
        {"store value 0", CALL(store("v", nullptr, kValue, 0)), bad},
        {"store empty name", CALL(store("")), bad},
        {"store name 32", CALL(store(k32.c_str())), bad},
        {"store value 257", CALL(store("v", nullptr, big, 257)), bad},
        {"store purge 32", CALL(store("v", k32.c_str())), bad},
        {"add null name", CALL(ks_add_metadata(nullptr, big, 1)), bad},
        {"add null with 5", CALL(ks_add_metadata("s", nullptr, 5)), bad},
        {"add bytes with 0", CALL(ks_add_metadata("s", big, 0)), bad},
        {"add 65535", CALL(ks_add_metadata("s", big, 65535)), bad},
        {"add name 32", CALL(ks_add_metadata(k32.c_str(), big, 1)), bad},
        {"read null name", CALL(ks_return_metadata(nullptr, &meta, &meta_len)), bad},
        {"read null out", CALL(ks_return_metadata("s", nullptr, &meta_len)), bad},
        {"read empty", CALL(ks_return_metadata("", &meta, &meta_len)), bad},
        {"clear null", CALL(ks_clear_secret(nullptr)), bad},
        {"clear 32", CALL(ks_clear_secret(k32.c_str())), bad},
        {"rename null old", CALL(ks_rename_secret(nullptr, "t", nullptr)), bad},
        {"rename null new", CALL(ks_rename_secret("s", nullptr, nullptr)), bad},
        {"rename empty new", CALL(ks_rename_secret("s", "", nullptr)), bad},
        {"rename old 32", CALL(ks_rename_secret(k32.c_str(), "t", nullptr)), bad},
        {"rename new 32", CALL(ks_rename_secret("s", k32.c_str(), nullptr)), bad},
        {"rename 32 to itself", CALL(ks_rename_secret(k32.c_str(), k32.c_str(), nullptr)), bad},
        {"index null index", CALL(ks_return_secret_handle_by_index(nullptr, &name)), bad},
        {"index null name", CALL(ks_return_secret_handle_by_index(&index, nullptr)), bad},
        {"wdc null name", CALL(keystore_return_wdc(nullptr, &meta, &meta_len)), bad},
        {"wdc null out", CALL(keystore_return_wdc("w", nullptr, &meta_len)), bad},
        {"wdc 32", CALL(keystore_return_wdc(k32.c_str(), &meta, &meta_len)), bad},
        {"snmp exists null", CALL(ks_snmp_password_exists(nullptr)), 0},
        {"snmp exists 32", CALL(ks_snmp_password_exists(k32.c_str())), 0},
        {"snmp next null", CALL(ks_snmp_get_next_password(nullptr, 32)), 0},
        {"snmp next 31", CALL(ks_snmp_get_next_password(shortbuf, sizeof shortbuf)), 0},
    });
    EXPECT_TRUE(exists("s"));
}

TEST_F(SecretApiTest, StoreLimitsTraceAndPurge) {
    const uint8_t v256[256] = {7};
    ASSERT_EQ(store(k31.c_str(), nullptr, v256, 256), KS_SUCCESS);
    ASSERT_EQ(ksh_trace_count(), 1u);
    const ksh_trace_record *t = ksh_trace_at(0);
    EXPECT_EQ(t->index, static_cast<uint32_t>(KS_TR_FRONT_STORE_SW));
    EXPECT_EQ(t->module_id, trace_module_ids[2]);
    EXPECT_EQ(t->level, 0x7000000u);
    ASSERT_EQ(t->nargs, 1);
    EXPECT_STREQ(t->args[0].s, "KEYSTORE_DBG");
    char text[64];
    ASSERT_GE(ksh_trace_render(t, text, sizeof text), 0);
    EXPECT_STREQ(text, "KEYSTORE_DBG Storing in sw keystore\n");
    for (const char *n : {"a", "ab", "abc", "b", "xa"}) ASSERT_EQ(store(n), KS_SUCCESS);
    store_typed(KS_KEY_TYPE_PAC, "a");
    // Storing "a" purging "a": every secret beginning with a goes, the PAC stays.
    ASSERT_EQ(store("a", "a"), KS_SUCCESS);
    EXPECT_EQ(names(), (Names{k31, "b", "xa", "a"}));
    EXPECT_EQ(ks_num_sym_keys, 5);
    ASSERT_EQ(store("ab", ""), KS_SUCCESS);  // an empty purge name purges nothing
    EXPECT_TRUE(exists("a"));
    ASSERT_EQ(store("q", k31.c_str()), KS_SUCCESS);
    EXPECT_FALSE(exists(k31.c_str()));
}

TEST_F(SecretApiTest, MetadataRoundTrips) {
    const Bytes m10 = kstest::bytes("0123456789"), m4 = kstest::bytes("wxyz"), big(KS_METADATA_MAX, 0x3c);
    ASSERT_EQ(ks_store_secret_and_metadata("s", nullptr, kValue, 4, m10.data(), 10), KS_SUCCESS);
    uint8_t *out = nullptr;
    uint16_t len = 0;
    // Reads back with the outputs preset to garbage; frees the copy.
    auto read_back = [&](const char *name) {
        out = reinterpret_cast<uint8_t *>(1);
        len = 99;
        const int32_t st = ks_return_metadata(name, &out, &len);
        Bytes got = st == KS_SUCCESS && out ? Bytes(out, out + len) : Bytes{};
        if (st == KS_SUCCESS) tagged_free(out);
        return std::make_pair(st, got);
    };
    const auto ok = [](const Bytes &b) { return std::make_pair(int32_t{KS_SUCCESS}, b); };
    EXPECT_EQ(read_back("s"), ok(m10));
    ASSERT_EQ(ks_add_metadata("s", m4.data(), 4), KS_SUCCESS);
    EXPECT_EQ(read_back("s"), ok(m4));
    ASSERT_EQ(ks_add_metadata("s", big.data(), KS_METADATA_MAX), KS_SUCCESS);
    EXPECT_EQ(read_back("s"), ok(big));
    ASSERT_EQ(ks_add_metadata("s", nullptr, 0), KS_SUCCESS);
    EXPECT_EQ(read_back("s"), ok({}));
    EXPECT_TRUE(out == nullptr && len == 0);
    // Unknown names: the outputs are cleared on the way out.
    EXPECT_EQ(read_back("nope").first, KS_RECORD_NOT_FOUND);
    EXPECT_TRUE(out == nullptr && len == 0);
    EXPECT_EQ(ks_add_metadata("nope", m4.data(), 4), KS_RECORD_NOT_FOUND);
}

TEST_F(SecretApiTest, ClearAndRename) {
    EXPECT_EQ(ks_clear_secret("nope"), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ks_rename_secret("ghost", "ghost", "g"), KS_SUCCESS);  // a no-op even when absent
    for (const char *n : {"a", "ab", "b", "c"}) ASSERT_EQ(store(n), KS_SUCCESS);
    EXPECT_EQ(ks_rename_secret("a", "a", "a"), KS_SUCCESS);  // the purge is skipped too
    EXPECT_TRUE(exists("ab"));
    EXPECT_EQ(ks_rename_secret("ghost", "g2", nullptr), KS_RECORD_NOT_FOUND);
    // Renaming onto an existing name replaces it; the key keeps its place.
    ASSERT_EQ(ks_rename_secret("b", "c", nullptr), KS_SUCCESS);
    EXPECT_EQ(names(), (Names{"a", "ab", "c"}));
    // A purge name longer than 31 bytes is accepted here.
    const std::string z31(31, 'z'), z40(40, 'z');
    ASSERT_EQ(store(z31.c_str()), KS_SUCCESS);
    EXPECT_EQ(ks_rename_secret("c", "d", z40.c_str()), KS_SUCCESS);
    // The purge runs first and may remove the key being renamed.
    EXPECT_EQ(ks_rename_secret("ab", "e", "a"), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(names(), (Names{"d", z31}));
    EXPECT_EQ(ks_clear_secret("d"), KS_SUCCESS);
    EXPECT_FALSE(exists("d"));
}

TEST_F(SecretApiTest, EnumerationAndGetNextPassOverPacs) {
    ASSERT_EQ(store("b"), KS_SUCCESS);
    store_typed(KS_KEY_TYPE_PAC, "0");
    ASSERT_EQ(store("a"), KS_SUCCESS);
    store_typed(KS_KEY_TYPE_PAC, "zz");
    ASSERT_EQ(store("c"), KS_SUCCESS);
    uint16_t index = 0;
    char *name = nullptr;
    std::vector<std::pair<std::string, uint16_t>> seen;
    while (ks_return_secret_handle_by_index(&index, &name) == KS_SUCCESS) {
        seen.emplace_back(name, index);
        tagged_free(name);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, uint16_t>>{{"b", 1}, {"a", 3}, {"c", 5}}));
    EXPECT_EQ(ks_return_secret_handle_by_index(&index, &name), KS_NO_MORE_RECORDS);

    char buf[40] = "";
    Names walk;
    while (ks_snmp_get_next_password(buf, sizeof buf) == 1) walk.emplace_back(buf);
    EXPECT_EQ(walk, (Names{"a", "b", "c"}));
    EXPECT_STREQ(buf, "c");  // the final 0 leaves the buffer alone
    for (auto [from, next] : {std::pair{"aa", "b"}, {"B", "a"}, {"", "a"}}) {
        std::strcpy(buf, from);
        EXPECT_EQ(ks_snmp_get_next_password(buf, 32), 1);
        EXPECT_STREQ(buf, next);
    }
    EXPECT_EQ(ks_snmp_password_exists("a"), 1);
    EXPECT_EQ(ks_snmp_password_exists("zz"), 0);  // a PAC, not a secret
    int32_t flag = 5;
    EXPECT_EQ(ks_check_ha_consistency("zz", &flag), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(flag, 5);
}

TEST_F(SecretApiTest, RandomKindReachesTheKeystore) {
    uint8_t buf[64];
    ASSERT_EQ(ks_generate_random_number(buf, sizeof buf, KS_RANDOM_ALPHANUMERIC), KS_SUCCESS);
    for (uint8_t b : buf) EXPECT_TRUE(std::isalnum(b)) << int{b};
}

// With the software keystore off every request goes to the hardware contract,
// whose stubs answer SUCCESS and write nothing.
TEST_F(SecretApiTest, HardwarePath) {
    ASSERT_EQ(store("s"), KS_SUCCESS);
    ks_use_sw_ks = 0;
    ksh_trace_clear();
    int32_t flag = 7;
    EXPECT_EQ(ks_secret_exists("s", &flag), KS_SUCCESS);
    EXPECT_EQ(flag, 7);
    EXPECT_EQ(store("t", "s"), KS_SUCCESS);
    EXPECT_EQ(ksh_trace_count(), 0u);
    EXPECT_EQ(ks_add_metadata("s", kValue, 4), KS_SUCCESS);
    uint8_t sentinel = 0, *out = &sentinel;
    uint16_t len = 3;
    EXPECT_EQ(ks_return_metadata("s", &out, &len), KS_SUCCESS);
    EXPECT_TRUE(out == &sentinel && len == 3);
    EXPECT_EQ(ks_clear_secret("s"), KS_SUCCESS);
    EXPECT_EQ(ks_rename_secret("s", "u", "a purge name longer than any handle"), KS_SUCCESS);
    uint8_t buf[4] = {1, 1, 1, 1};
    EXPECT_EQ(ks_generate_random_number(buf, 4, 0), KS_SUCCESS);
    EXPECT_EQ(Bytes(buf, buf + 4), Bytes(4, 1));
    // The enumerations end at once: the backend wrote no handle.
    uint16_t index = 0;
    char *name = nullptr;
    EXPECT_EQ(ks_return_secret_handle_by_index(&index, &name), KS_NO_MORE_RECORDS);
    EXPECT_EQ(index, 0);
    char next[32] = "";
    EXPECT_EQ(ks_snmp_get_next_password(next, sizeof next), 0);
    // Nothing vouches for the secret: the local flag stays absent.
    EXPECT_EQ(ks_check_ha_consistency("s", &flag), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ks_snmp_password_exists("s"), 0);
    EXPECT_EQ(flag, 7);
    ks_use_sw_ks = 1;
    EXPECT_EQ(names(), Names{"s"});
}

// The record of type 0x51 is always asked of the hardware contract, even when
// the software table holds one of that name.
TEST_F(SecretApiTest, WdcAlwaysAsksTheHardware) {
    store_typed(KS_KEY_TYPE_WDC, "w");
    uint8_t sentinel = 0, *data = &sentinel;
    uint16_t len = 11;
    EXPECT_EQ(keystore_return_wdc("w", &data, &len), KS_SUCCESS);
    EXPECT_TRUE(data == &sentinel && len == 11);
}

// Every allocation on the way fails in turn: the call answers NO_MEMORY,
// changes nothing and leaks nothing.
TEST_F(SecretApiTest, EveryAllocationFailure) {
    ASSERT_EQ(store("a"), KS_SUCCESS);
    ASSERT_EQ(ks_add_metadata("a", kValue, 4), KS_SUCCESS);
    char *name = nullptr;
    uint8_t *meta = nullptr;
    uint16_t meta_len = 0, index = 0;
    const std::vector<std::tuple<const char *, std::function<int32_t()>, std::function<bool()>>> ops = {
        {"store", CALL(ks_store_secret_and_metadata("n", nullptr, kValue, 4, kValue, 4)), CALL(!exists("n"))},
        {"add metadata", CALL(ks_add_metadata("a", kValue, 3)), CALL(exists("a"))},
        {"read metadata",
         [&] {
             const int32_t st = ks_return_metadata("a", &meta, &meta_len);
             if (st == KS_SUCCESS) tagged_free(meta);
             return st == KS_SUCCESS || (meta == nullptr && meta_len == 0) ? st : -1;
         },
         CALL(true)},
        {"enumerate",
         [&] {
             index = 0;
             const int32_t st = ks_return_secret_handle_by_index(&index, &name);
             if (st == KS_SUCCESS) tagged_free(name);
             return st;
         },
         CALL(index == 0)},
        {"rename with purge", CALL(ks_rename_secret("a", "r", "zz")), CALL(exists("a"))},
    };
    for (const auto &[what, call, unchanged] : ops) {
        SCOPED_TRACE(what);
        kstest::fail_each_allocation([&] {
            const uint64_t live = ksh_alloc_live_blocks();
            const int32_t st = call();
            if (st == KS_NO_MEMORY) {  // at most a grown slot array stays
                EXPECT_TRUE(unchanged() && ksh_alloc_live_blocks() <= live + 1);
            }
            return st;
        });
    }
    ksh_alloc_fail_tag(0x0460008F);  // the rename's purge prefix in particular
    EXPECT_EQ(ks_rename_secret("r", "s", "q"), KS_NO_MEMORY);
    ksh_alloc_clear_faults();
    EXPECT_TRUE(exists("r"));
}

}  // namespace
