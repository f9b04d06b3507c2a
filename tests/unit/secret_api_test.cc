// Secret API: check order (standby, then arguments), dispatch, the name
// enumerations, metadata round trips, the hardware path and every allocation
// failure.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "keystore/ks_modes.h"
#include "keystore/ks_secret.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_test_util.h"
#include "ks_trace_tables.h"

namespace {

using kstest::bytes;
using Bytes = std::vector<uint8_t>;

const std::string k31(31, 'n'), k32(32, 'n');
const uint8_t kValue[4] = {1, 2, 3, 4};

class SecretApiTest : public kstest::KeystoreTest {
  protected:
    static void store(const char *name, const char *purge = nullptr) {
        ASSERT_EQ(ks_store_secret_and_metadata(name, purge, kValue, sizeof kValue, nullptr, 0), KS_SUCCESS) << name;
    }
    // A PAC stored straight into the key table under a type-2 handle.
    static void store_pac(const std::string &aid) {
        Bytes h = {KS_KEY_TYPE_PAC};
        h.insert(h.end(), aid.begin(), aid.end());
        ASSERT_EQ(ks_sw_store_sym_key(h.data(), static_cast<uint32_t>(h.size()), nullptr, 0, kValue, 4, nullptr, 0),
                  KS_SUCCESS);
    }
    static bool exists(const char *name) {
        int32_t flag = -1;
        EXPECT_EQ(ks_secret_exists(name, &flag), KS_SUCCESS);
        return flag == 1;
    }
    // The secret names by index, each freed as the caller must.
    static std::vector<std::string> names() {
        std::vector<std::string> out;
        uint16_t index = 0;
        char *name = nullptr;
        while (ks_return_secret_handle_by_index(&index, &name) == KS_SUCCESS) {
            out.emplace_back(name);
            tagged_free(name);
        }
        return out;
    }
};

struct Case {
    const char *what;
    std::function<int32_t()> call;
    int32_t want;
};

void run_cases(const std::vector<Case> &cases) {
    for (const auto &c : cases) {
        const int32_t before = ks_num_sym_keys;
        const size_t traces = ksh_trace_count();
        EXPECT_EQ(c.call(), c.want) << c.what;
        if (c.want == KS_INVAL_ARGS || c.want == KS_STDBY_NOT_SUPPORTED) {
            EXPECT_EQ(ks_num_sym_keys, before) << c.what;
            EXPECT_EQ(ksh_trace_count(), traces) << c.what << ": a refused call traced";
        }
    }
}

// Standby refusal comes before every argument check; the queries still work.
TEST_F(SecretApiTest, StandbyRefusesChangesButNotQueries) {
    store("s");
    ks_is_standby = 1;
    run_cases({
        {"random", [] { return ks_generate_random_number(nullptr, 0, 0); }, KS_STDBY_NOT_SUPPORTED},
        {"store", [] { return ks_store_secret_and_metadata(nullptr, nullptr, nullptr, 0, nullptr, 0); },
         KS_STDBY_NOT_SUPPORTED},
        {"add meta", [] { return ks_add_metadata(nullptr, nullptr, 5); }, KS_STDBY_NOT_SUPPORTED},
        {"get meta", [] { return ks_return_metadata(nullptr, nullptr, nullptr); }, KS_STDBY_NOT_SUPPORTED},
        {"clear", [] { return ks_clear_secret("s"); }, KS_STDBY_NOT_SUPPORTED},
        {"rename", [] { return ks_rename_secret(nullptr, nullptr, nullptr); }, KS_STDBY_NOT_SUPPORTED},
        {"rename same", [] { return ks_rename_secret("s", "s", nullptr); }, KS_STDBY_NOT_SUPPORTED},
    });
    EXPECT_TRUE(exists("s"));
    int32_t flag = 0;
    EXPECT_EQ(ks_check_ha_consistency("s", &flag), KS_SUCCESS);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(ks_snmp_password_exists("s"), 1);
    EXPECT_EQ(names(), std::vector<std::string>{"s"});
    char buf[32] = "";
    EXPECT_EQ(ks_snmp_get_next_password(buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "s");
    uint8_t *data = nullptr;
    uint16_t len = 7;
    EXPECT_EQ(keystore_return_wdc("w", &data, &len), KS_SUCCESS);
}

TEST_F(SecretApiTest, ArgumentFaultsInCheckOrder) {
    store("s");
    uint8_t buf[8];
    int32_t flag;
    uint8_t *meta;
    uint16_t meta_len;
    uint16_t index = 0;
    char *name;
    const uint8_t big[257] = {};
    const uint8_t m[1] = {9};
    run_cases({
        {"random null buffer", [&] { return ks_generate_random_number(nullptr, 8, 0); }, KS_INVAL_ARGS},
        {"random length 0", [&] { return ks_generate_random_number(buf, 0, 0); }, KS_INVAL_ARGS},
        {"exists null name", [&] { return ks_secret_exists(nullptr, &flag); }, KS_INVAL_ARGS},
        {"exists null flag", [&] { return ks_secret_exists("s", nullptr); }, KS_INVAL_ARGS},
        {"exists empty", [&] { return ks_secret_exists("", &flag); }, KS_INVAL_ARGS},
        {"exists 32", [&] { return ks_secret_exists(k32.c_str(), &flag); }, KS_INVAL_ARGS},
        {"exists 31", [&] { return ks_secret_exists(k31.c_str(), &flag); }, KS_SUCCESS},
        {"ha null flag", [&] { return ks_check_ha_consistency("s", nullptr); }, KS_INVAL_ARGS},
        {"ha bad name", [&] { return ks_check_ha_consistency(k32.c_str(), &flag); }, KS_RECORD_NOT_FOUND},
        {"store null name", [&] { return ks_store_secret_and_metadata(nullptr, nullptr, kValue, 4, nullptr, 0); },
         KS_INVAL_ARGS},
        {"store null value", [&] { return ks_store_secret_and_metadata("v", nullptr, nullptr, 4, nullptr, 0); },
         KS_INVAL_ARGS},
        {"store value 0", [&] { return ks_store_secret_and_metadata("v", nullptr, kValue, 0, nullptr, 0); },
         KS_INVAL_ARGS},
        {"store empty name", [&] { return ks_store_secret_and_metadata("", nullptr, kValue, 4, nullptr, 0); },
         KS_INVAL_ARGS},
        {"store name 32", [&] { return ks_store_secret_and_metadata(k32.c_str(), nullptr, kValue, 4, nullptr, 0); },
         KS_INVAL_ARGS},
        {"store value 257", [&] { return ks_store_secret_and_metadata("v", nullptr, big, 257, nullptr, 0); },
         KS_INVAL_ARGS},
        {"store purge 32", [&] { return ks_store_secret_and_metadata("v", k32.c_str(), kValue, 4, nullptr, 0); },
         KS_INVAL_ARGS},
        {"add null name", [&] { return ks_add_metadata(nullptr, m, 1); }, KS_INVAL_ARGS},
        {"add null meta, length 5", [&] { return ks_add_metadata("s", nullptr, 5); }, KS_INVAL_ARGS},
        {"add meta, length 0", [&] { return ks_add_metadata("s", m, 0); }, KS_INVAL_ARGS},
        {"add length 65535", [&] { return ks_add_metadata("s", big, 65535); }, KS_INVAL_ARGS},
        {"add name 32", [&] { return ks_add_metadata(k32.c_str(), m, 1); }, KS_INVAL_ARGS},
        {"get null name", [&] { return ks_return_metadata(nullptr, &meta, &meta_len); }, KS_INVAL_ARGS},
        {"get null out", [&] { return ks_return_metadata("s", nullptr, &meta_len); }, KS_INVAL_ARGS},
        {"get empty name", [&] { return ks_return_metadata("", &meta, &meta_len); }, KS_INVAL_ARGS},
        {"clear null", [&] { return ks_clear_secret(nullptr); }, KS_INVAL_ARGS},
        {"clear 32", [&] { return ks_clear_secret(k32.c_str()); }, KS_INVAL_ARGS},
        {"rename null old", [&] { return ks_rename_secret(nullptr, "t", nullptr); }, KS_INVAL_ARGS},
        {"rename null new", [&] { return ks_rename_secret("s", nullptr, nullptr); }, KS_INVAL_ARGS},
        {"rename empty new", [&] { return ks_rename_secret("s", "", nullptr); }, KS_INVAL_ARGS},
        {"rename old 32", [&] { return ks_rename_secret(k32.c_str(), "t", nullptr); }, KS_INVAL_ARGS},
        {"rename new 32", [&] { return ks_rename_secret("s", k32.c_str(), nullptr); }, KS_INVAL_ARGS},
        // Lengths are checked before the equal-names shortcut.
        {"rename same 32", [&] { return ks_rename_secret(k32.c_str(), k32.c_str(), nullptr); }, KS_INVAL_ARGS},
        {"index null index", [&] { return ks_return_secret_handle_by_index(nullptr, &name); }, KS_INVAL_ARGS},
        {"index null name", [&] { return ks_return_secret_handle_by_index(&index, nullptr); }, KS_INVAL_ARGS},
        {"wdc null name", [&] { return keystore_return_wdc(nullptr, &meta, &meta_len); }, KS_INVAL_ARGS},
        {"wdc null out", [&] { return keystore_return_wdc("w", nullptr, &meta_len); }, KS_INVAL_ARGS},
        {"wdc 32", [&] { return keystore_return_wdc(k32.c_str(), &meta, &meta_len); }, KS_INVAL_ARGS},
        {"snmp exists null", [&] { return ks_snmp_password_exists(nullptr); }, 0},
        {"snmp exists 32", [&] { return ks_snmp_password_exists(k32.c_str()); }, 0},
        {"snmp next null", [&] { return ks_snmp_get_next_password(nullptr, 32); }, 0},
        {"snmp next short", [&] { char b[31] = ""; return ks_snmp_get_next_password(b, sizeof b); }, 0},
    });
    EXPECT_TRUE(exists("s"));
}

TEST_F(SecretApiTest, StoreLimitsTraceAndPurge) {
    const uint8_t v256[256] = {7};
    ASSERT_EQ(ks_store_secret_and_metadata(k31.c_str(), nullptr, v256, 256, nullptr, 0), KS_SUCCESS);
    ASSERT_EQ(ksh_trace_count(), 1u);
    const ksh_trace_record *t = ksh_trace_at(0);
    EXPECT_EQ(t->index, static_cast<uint32_t>(KS_TR_FRONT_STORE_SW));
    EXPECT_EQ(t->module_id, trace_module_ids[2]);
    EXPECT_EQ(t->level, 0x7000000u);
    ASSERT_EQ(t->nargs, 1);
    EXPECT_STREQ(t->args[0].s, "KEYSTORE_DBG");
    char text[64];
    if (ksh_trace_render(t, text, sizeof text) >= 0) {
        EXPECT_STREQ(text, "KEYSTORE_DBG Storing in sw keystore\n");
    }

    for (const char *n : {"a", "ab", "abc", "b", "xa"}) store(n);
    store_pac("a");
    // Store "a" purging "a": every secret beginning with a goes, the PAC stays.
    store("a", "a");
    EXPECT_EQ(names(), (std::vector<std::string>{k31, "b", "xa", "a"}));
    EXPECT_EQ(ks_num_sym_keys, 5);
    // An empty purge name purges nothing.
    store("ab", "");
    EXPECT_TRUE(exists("a"));
    store("q", k31.c_str());
    EXPECT_FALSE(exists(k31.c_str()));
}

TEST_F(SecretApiTest, MetadataRoundTrips) {
    const Bytes m10 = bytes("0123456789"), m4 = bytes("wxyz");
    ASSERT_EQ(ks_store_secret_and_metadata("s", nullptr, kValue, 4, m10.data(), 10), KS_SUCCESS);
    uint8_t *out = nullptr;
    uint16_t len = 0;
    auto read_back = [&](const char *name) {
        out = reinterpret_cast<uint8_t *>(1);
        len = 99;
        int32_t st = ks_return_metadata(name, &out, &len);
        Bytes got = out && st == KS_SUCCESS ? Bytes(out, out + len) : Bytes{};
        if (st == KS_SUCCESS) tagged_free(out);
        return std::make_pair(st, got);
    };
    EXPECT_EQ(read_back("s"), std::make_pair(int32_t{KS_SUCCESS}, m10));
    ASSERT_EQ(ks_add_metadata("s", m4.data(), 4), KS_SUCCESS);
    EXPECT_EQ(read_back("s"), std::make_pair(int32_t{KS_SUCCESS}, m4));
    Bytes big(KS_METADATA_MAX, 0x3c);
    ASSERT_EQ(ks_add_metadata("s", big.data(), KS_METADATA_MAX), KS_SUCCESS);
    EXPECT_EQ(read_back("s"), std::make_pair(int32_t{KS_SUCCESS}, big));
    ASSERT_EQ(ks_add_metadata("s", nullptr, 0), KS_SUCCESS);
    EXPECT_EQ(read_back("s").first, KS_SUCCESS);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(len, 0);
    // Unknown names: the outputs are cleared on the way out.
    EXPECT_EQ(read_back("nope").first, KS_RECORD_NOT_FOUND);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(ks_add_metadata("nope", m4.data(), 4), KS_RECORD_NOT_FOUND);
}

TEST_F(SecretApiTest, ClearAndRename) {
    EXPECT_EQ(ks_clear_secret("nope"), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(ks_rename_secret("ghost", "ghost", "g"), KS_SUCCESS);  // no-op even when absent
    for (const char *n : {"a", "ab", "b", "c"}) store(n);
    EXPECT_EQ(ks_rename_secret("a", "a", "a"), KS_SUCCESS);  // the purge is skipped too
    EXPECT_TRUE(exists("ab"));
    EXPECT_EQ(ks_rename_secret("ghost", "g2", nullptr), KS_RECORD_NOT_FOUND);
    // Renaming onto an existing name replaces it; the key keeps its place.
    ASSERT_EQ(ks_rename_secret("b", "c", nullptr), KS_SUCCESS);
    EXPECT_EQ(names(), (std::vector<std::string>{"a", "ab", "c"}));
    // A purge name longer than 31 bytes is accepted here.
    const std::string p40(40, 'z');
    store(p40.substr(0, 31).c_str());
    EXPECT_EQ(ks_rename_secret("c", "d", p40.c_str()), KS_SUCCESS);
    // The purge runs first and may remove the key being renamed.
    EXPECT_EQ(ks_rename_secret("ab", "e", "a"), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(names(), (std::vector<std::string>{"d", std::string(31, 'z')}));
    EXPECT_EQ(ks_clear_secret("d"), KS_SUCCESS);
    EXPECT_FALSE(exists("d"));
    EXPECT_EQ(ksh_alloc_tag_live_blocks(0x0460008F), 0u);
}

TEST_F(SecretApiTest, EnumerationAndGetNextSkipPacs) {
    store("b");
    store_pac("0");
    store("a");
    store_pac("zz");
    store("c");
    EXPECT_EQ(names(), (std::vector<std::string>{"b", "a", "c"}));
    uint16_t index = 0;
    char *name = nullptr;
    std::vector<uint16_t> after;
    while (ks_return_secret_handle_by_index(&index, &name) == KS_SUCCESS) {
        after.push_back(index);
        tagged_free(name);
    }
    EXPECT_EQ(after, (std::vector<uint16_t>{1, 3, 5}));
    EXPECT_EQ(ks_return_secret_handle_by_index(&index, &name), KS_NO_MORE_RECORDS);

    char buf[40] = "";
    std::vector<std::string> walk;
    while (ks_snmp_get_next_password(buf, sizeof buf) == 1) walk.emplace_back(buf);
    EXPECT_EQ(walk, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_STREQ(buf, "c");  // the last answer 0 leaves the buffer alone
    std::strcpy(buf, "aa");
    EXPECT_EQ(ks_snmp_get_next_password(buf, 32), 1);
    EXPECT_STREQ(buf, "b");
    std::strcpy(buf, "B");  // upper case sorts first
    EXPECT_EQ(ks_snmp_get_next_password(buf, 32), 1);
    EXPECT_STREQ(buf, "a");

    EXPECT_EQ(ks_snmp_password_exists("a"), 1);
    EXPECT_EQ(ks_snmp_password_exists("zz"), 0);  // a PAC, not a secret
    int32_t flag = 5;
    EXPECT_EQ(ks_check_ha_consistency("zz", &flag), KS_RECORD_NOT_FOUND);
    EXPECT_EQ(flag, 5);
}

TEST_F(SecretApiTest, RandomKinds) {
    uint8_t buf[64];
    ASSERT_EQ(ks_generate_random_number(buf, sizeof buf, KS_RANDOM_PRINTABLE), KS_SUCCESS);
    for (uint8_t b : buf) EXPECT_TRUE(b >= 0x20 && b <= 0x7e);
    ASSERT_EQ(ks_generate_random_number(buf, sizeof buf, KS_RANDOM_ALPHANUMERIC), KS_SUCCESS);
    for (uint8_t b : buf) EXPECT_TRUE(std::isalnum(b));
}

// With the software keystore off every request goes to the hardware contract,
// whose stubs answer SUCCESS and write nothing.
TEST_F(SecretApiTest, HardwarePath) {
    store("s");
    ks_use_sw_ks = 0;
    ksh_trace_clear();
    int32_t flag = 7;
    EXPECT_EQ(ks_secret_exists("s", &flag), KS_SUCCESS);
    EXPECT_EQ(flag, 7);
    EXPECT_EQ(ks_store_secret_and_metadata("t", "s", kValue, 4, nullptr, 0), KS_SUCCESS);
    EXPECT_EQ(ksh_trace_count(), 0u);
    EXPECT_EQ(ks_add_metadata("s", kValue, 4), KS_SUCCESS);
    uint8_t *out = reinterpret_cast<uint8_t *>(&flag);
    uint16_t len = 3;
    EXPECT_EQ(ks_return_metadata("s", &out, &len), KS_SUCCESS);
    EXPECT_EQ(out, reinterpret_cast<uint8_t *>(&flag));
    EXPECT_EQ(len, 3);
    EXPECT_EQ(ks_clear_secret("s"), KS_SUCCESS);
    EXPECT_EQ(ks_rename_secret("s", "u", "a much longer purge name than a handle holds"), KS_SUCCESS);
    uint8_t buf[4] = {1, 1, 1, 1};
    EXPECT_EQ(ks_generate_random_number(buf, 4, 0), KS_SUCCESS);
    EXPECT_EQ(buf[0] + buf[1] + buf[2] + buf[3], 4);
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
    EXPECT_EQ(ks_num_sym_keys, 1);
    EXPECT_TRUE(exists("s"));
}

// The record of type 0x51 is always asked of the hardware contract, even when
// the software table holds one of that name.
TEST_F(SecretApiTest, WdcAlwaysAsksTheHardware) {
    const uint8_t h[] = {KS_KEY_TYPE_WDC, 'w'};
    ASSERT_EQ(ks_sw_store_sym_key(h, 2, nullptr, 0, kValue, 4, kValue, 4), KS_SUCCESS);
    uint8_t sentinel = 0;
    uint8_t *data = &sentinel;
    uint16_t len = 11;
    EXPECT_EQ(keystore_return_wdc("w", &data, &len), KS_SUCCESS);
    EXPECT_EQ(data, &sentinel);
    EXPECT_EQ(len, 11);
}

// Every allocation on the way fails in turn: the failing call answers
// NO_MEMORY, nothing is half-done, nothing leaks.
TEST_F(SecretApiTest, EveryAllocationFailure) {
    store("a");
    ASSERT_EQ(ks_add_metadata("a", kValue, 4), KS_SUCCESS);
    struct Op {
        const char *what;
        std::function<int32_t()> call;
        std::function<bool()> unchanged;
    };
    char *name = nullptr;
    uint8_t *meta = nullptr;
    uint16_t meta_len = 0;
    uint16_t index = 0;
    const std::vector<Op> ops = {
        {"store", [] { return ks_store_secret_and_metadata("n", nullptr, kValue, 4, kValue, 4); },
         [] { return !exists("n"); }},
        {"add metadata", [] { return ks_add_metadata("a", kValue, 3); }, [] { return exists("a"); }},
        {"read metadata",
         [&] {
             int32_t st = ks_return_metadata("a", &meta, &meta_len);
             if (st == KS_SUCCESS) tagged_free(meta);
             else EXPECT_TRUE(meta == nullptr && meta_len == 0);
             return st;
         },
         [] { return true; }},
        {"enumerate",
         [&] {
             index = 0;
             int32_t st = ks_return_secret_handle_by_index(&index, &name);
             if (st == KS_SUCCESS) tagged_free(name);
             return st;
         },
         [&] { return index == 0; }},
        {"rename with purge", [] { return ks_rename_secret("a", "r", "zz"); }, [] { return exists("a"); }},
    };
    for (const auto &op : ops) {
        bool done = false;
        for (uint64_t n = 1; n < 10 && !done; ++n) {
            const uint64_t failed = ksh_alloc_failed_calls();
            const uint64_t live = ksh_alloc_live_blocks();
            ksh_alloc_fail_nth(n);
            int32_t st = op.call();
            ksh_alloc_clear_faults();
            done = ksh_alloc_failed_calls() == failed;
            if (done) {
                EXPECT_EQ(st, KS_SUCCESS) << op.what;
            } else {
                EXPECT_EQ(st, KS_NO_MEMORY) << op.what << " allocation " << n;
                EXPECT_TRUE(op.unchanged()) << op.what << " allocation " << n;
                EXPECT_LE(ksh_alloc_live_blocks(), live + 1) << op.what;  // at most a grown slot array
            }
        }
        EXPECT_TRUE(done) << op.what;
    }
    // The rename's prefix in particular.
    ksh_alloc_fail_tag(0x0460008F);
    EXPECT_EQ(ks_rename_secret("r", "s", "q"), KS_NO_MEMORY);
    ksh_alloc_clear_faults();
    EXPECT_TRUE(exists("r"));
}

}  // namespace
