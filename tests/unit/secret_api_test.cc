// Secret API: check order (standby, then arguments), dispatch, the name
// enumerations, metadata round trips, the hardware path and every allocation
// failure.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
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

const std::string k31(31, 'n');
const uint8_t kValue[4] = {1, 2, 3, 4};

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

class SecretApiTest : public kstest::KeystoreTest {};

TEST_F(SecretApiTest, StoreLimitsTraceAndPurge) {
    const uint8_t v256[256] = {7};
    ASSERT_EQ(store(k31.c_str(), nullptr, v256, 256), KS_SUCCESS);
    ASSERT_EQ(ksh_trace_count(), 1u);
    char text[64];
    ASSERT_GE(ksh_trace_render(ksh_trace_at(0), text, sizeof text), 0);
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

// With the software keystore off every request goes to the hardware contract,
// whose stubs answer SUCCESS and write nothing. The record of type 0x51 is
// always asked of the hardware, even when the software table holds one.
TEST_F(SecretApiTest, HardwarePath) {
    ASSERT_EQ(store("s"), KS_SUCCESS);
    store_typed(KS_KEY_TYPE_WDC, "w");
    uint8_t sentinel = 0, *out = &sentinel;
    uint16_t len = 3;
    EXPECT_EQ(keystore_return_wdc("w", &out, &len), KS_SUCCESS);
    EXPECT_TRUE(out == &sentinel && len == 3);
    ks_use_sw_ks = 0;
    ksh_trace_clear();
    int32_t flag = 7;
    EXPECT_EQ(ks_secret_exists("s", &flag), KS_SUCCESS);
    EXPECT_EQ(flag, 7);
    EXPECT_EQ(store("t", "s"), KS_SUCCESS);
    EXPECT_EQ(ksh_trace_count(), 0u);
    EXPECT_EQ(ks_add_metadata("s", kValue, 4), KS_SUCCESS);
    EXPECT_EQ(ks_return_metadata("s", &out, &len), KS_SUCCESS);
    EXPECT_TRUE(out == &sentinel && len == 3);
    EXPECT_EQ(ks_clear_secret("s"), KS_SUCCESS);
    EXPECT_EQ(ks_rename_secret("s", "u", "a purge name longer than any handle"), KS_SUCCESS);
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

}  // namespace
