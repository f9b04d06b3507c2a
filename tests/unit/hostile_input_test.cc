// Hostile input at every front operation: null pointers, empty and over-long
// names, lengths at and around each limit, each with the standby flag off
// and on. An invalid case must return its exact status and leave the key
// table and the PAC cache as they were; a valid boundary must give its
// documented result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "keystore/ks_cipher.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_mschap.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/ks_types.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "ks_snapshot.h"
#include "ks_test_util.h"

namespace {

using kstest::Bytes;
using kstest::handle_of;
using kstest::Snapshot;

// Checks the documented effect of a valid call from the states before and
// after it.
using Effect = std::function<void(const Snapshot &before, const Snapshot &after)>;

struct Case {
    std::string op, what;
    bool standby_refused;        // STDBY_NOT_SUPPORTED first when the flag is on
    std::function<int32_t()> call;
    int32_t expect;              // with the standby flag off
    Effect effect = nullptr;     // null: the keystore must be unchanged
};

// Caller buffers for the operations' outputs: filled before each call, and
// untouched after a call that fails.
uint8_t g_out[65536 + 1024];
uint8_t g_in[65536 + 1024];
uint8_t g_iv[16];

bool out_untouched() {
    for (uint8_t b : g_out)
        if (b != 0xA5) return false;
    return true;
}

// Lengths at and around every limit the fronts check.
constexpr size_t kBoundaries[] = {0, 1, 31, 32, 255, 256, 257, 65534, 65535, 65536};

// A text name of n bytes; the first byte tells names of one length apart
// from the stored keys.
std::string name_of(size_t n, char c = 'n') { return std::string(n, c); }

// Keys every case starts with: names of 1 and 31 bytes (the valid extremes),
// one with metadata, and a PAC-free table otherwise.
const std::string kShort = "n";
const std::string kLong = name_of(31);
const std::string kMetaKey = "with-meta";

int32_t sw_store(const std::string &name, const std::string &value, const std::string &meta = "") {
    Bytes h = handle_of(1, name);
    return ks_sw_store_sym_key(h.data(), static_cast<uint32_t>(h.size()), nullptr, 0,
                               reinterpret_cast<const uint8_t *>(value.data()), static_cast<uint32_t>(value.size()),
                               meta.empty() ? nullptr : reinterpret_cast<const uint8_t *>(meta.data()),
                               static_cast<uint32_t>(meta.size()));
}

void populate() {
    kstest::reset_keystore();
    ASSERT_EQ(sw_store("aes", std::string(16, 'k')), KS_SUCCESS);
    ASSERT_EQ(sw_store("des", std::string(7, 'd')), KS_SUCCESS);
    ASSERT_EQ(sw_store("3des", std::string(21, 't')), KS_SUCCESS);
    ASSERT_EQ(sw_store(kShort, "short-secret"), KS_SUCCESS);
    ASSERT_EQ(sw_store(kLong, "long-secret", "long-meta"), KS_SUCCESS);
    ASSERT_EQ(sw_store(kMetaKey, "0123456789abcdef", "meta-bytes"), KS_SUCCESS);
}

void run_case(const Case &c) {
    for (int standby : {0, 1}) {
        SCOPED_TRACE(c.op + ": " + c.what + (standby ? " (standby)" : ""));
        populate();
        ksh_reset_recorders();
        const Snapshot before = kstest::snapshot();
        const uint64_t blocks = kstest::library_live_blocks();
        std::memset(g_out, 0xA5, sizeof g_out);
        std::memset(g_iv, 0x11, sizeof g_iv);
        ks_is_standby = standby;
        const int32_t st = c.call();
        ks_is_standby = 0;
        const Snapshot after = kstest::snapshot();
        const bool refused = standby && c.standby_refused;
        EXPECT_EQ(st, refused ? KS_STDBY_NOT_SUPPORTED : c.expect) << ks_err_str(st);
        if (refused || !c.effect) {
            EXPECT_TRUE(after == before) << kstest::diff(after, before);
            EXPECT_EQ(kstest::library_live_blocks(), blocks);
        } else {
            c.effect(before, after);
        }
        // Argument faults and refusals are status codes, never traces.
        if (refused || c.expect == KS_INVAL_ARGS) {
            EXPECT_EQ(ksh_trace_count(), 0u);
            EXPECT_TRUE(out_untouched()) << "a refused call wrote its output";
            EXPECT_TRUE(std::all_of(g_iv, g_iv + 16, [](uint8_t b) { return b == 0x11; })) << "IV written";
        }
    }
}

// ---- Effects ---------------------------------------------------------------

Effect stored(const std::string &name, size_t value_len, size_t meta_len) {
    return [=](const Snapshot &, const Snapshot &after) {
        int i = after.find(handle_of(1, name));
        ASSERT_GE(i, 0);
        EXPECT_EQ(after.keys[i].value.size(), value_len);
        EXPECT_EQ(after.keys[i].meta.size(), meta_len);
        EXPECT_EQ(i, static_cast<int>(after.keys.size()) - 1) << "a stored key goes last";
    };
}

Effect meta_is(const std::string &name, size_t meta_len) {
    return [=](const Snapshot &before, const Snapshot &after) {
        int i = after.find(handle_of(1, name));
        ASSERT_GE(i, 0);
        EXPECT_EQ(i, before.find(handle_of(1, name))) << "the key keeps its index";
        EXPECT_EQ(after.keys[i].meta.size(), meta_len);
        EXPECT_EQ(after.keys[i].value, before.keys[i].value);
    };
}

Effect removed(const std::string &name) {
    return [=](const Snapshot &before, const Snapshot &after) {
        Snapshot expected = before;
        expected.keys.erase(expected.keys.begin() + before.find(handle_of(1, name)));
        EXPECT_TRUE(after == expected) << kstest::diff(after, expected);
    };
}

Effect renamed(const std::string &from, const std::string &to) {
    return [=](const Snapshot &before, const Snapshot &after) {
        Snapshot expected = before;
        expected.keys[before.find(handle_of(1, from))].handle = handle_of(1, to);
        EXPECT_TRUE(after == expected) << kstest::diff(after, expected);
    };
}

// Rows that give one operation every name length and a null name. valid(n)
// gives the status and effect for a valid name of n bytes.
void name_rows(std::vector<Case> &rows, const std::string &op, bool refused,
               std::function<int32_t(const char *)> call,
               std::function<std::pair<int32_t, Effect>(const std::string &)> valid, int32_t invalid = KS_INVAL_ARGS,
               int32_t null_name = KS_INVAL_ARGS) {
    rows.push_back({op, "null name", refused, [=] { return call(nullptr); }, null_name});
    for (size_t n : kBoundaries) {
        const std::string name = name_of(n);
        if (n >= 1 && n <= KS_NAME_MAX) {
            auto [st, effect] = valid(name);
            rows.push_back({op, "name of " + std::to_string(n), refused, [=] { return call(name.c_str()); }, st, effect});
        } else {
            rows.push_back({op, "name of " + std::to_string(n), refused, [=] { return call(name.c_str()); }, invalid});
        }
    }
}

std::pair<int32_t, Effect> unchanged(int32_t st) { return {st, nullptr}; }

// ---- Rows: crypto with stored keys -----------------------------------------
// Names of every length: the valid extremes name keys of the wrong length for
// a cipher (BAD_KEY) and fine passwords for MS-CHAPv2.

std::vector<Case> cipher_rows() {
    std::vector<Case> rows;
    using Fn = int32_t (*)(const char *, const uint8_t *, uint8_t *, uint16_t);
    using CbcFn = int32_t (*)(const char *, uint8_t *, const uint8_t *, uint16_t, uint8_t *);
    using DesFn = int32_t (*)(const char *, const uint8_t *, uint16_t, uint8_t *, uint16_t);
    const std::pair<const char *, Fn> ecb[] = {{"ks_aes_encrypt", ks_aes_encrypt}, {"ks_aes_decrypt", ks_aes_decrypt}};
    const std::pair<const char *, CbcFn> cbc[] = {{"ks_aes_cbc_encrypt", ks_aes_cbc_encrypt},
                                                  {"ks_aes_cbc_decrypt", ks_aes_cbc_decrypt}};
    const std::tuple<const char *, DesFn, const char *> des[] = {
        {"ks_des_ecb_encrypt", ks_des_ecb_encrypt, "des"},
        {"ks_des_ecb_decrypt", ks_des_ecb_decrypt, "des"},
        {"ks_3des_ecb_encrypt", ks_3des_ecb_encrypt, "3des"},
        {"ks_3des_ecb_decrypt", ks_3des_ecb_decrypt, "3des"}};
    const auto bad_key = [](const std::string &) { return unchanged(KS_BAD_KEY); };
    // Lengths are 16-bit: 65535 is the largest, 65520 the largest whole
    // number of AES blocks.
    const uint16_t lengths[] = {0, 1, 8, 15, 16, 17, 24, 65520, 65535};

    for (auto [op, fn] : ecb) {
        name_rows(rows, op, true, [fn](const char *n) { return fn(n, g_in, g_out, 16); }, bad_key);
        rows.push_back({op, "null input", true, [fn] { return fn("aes", nullptr, g_out, 16); }, KS_INVAL_ARGS});
        rows.push_back({op, "null output", true, [fn] { return fn("aes", g_in, nullptr, 16); }, KS_INVAL_ARGS});
        for (uint16_t len : lengths)
            rows.push_back({op, "length " + std::to_string(len), true, [fn, len] { return fn("aes", g_in, g_out, len); },
                            len % 16 == 0 ? KS_SUCCESS : KS_INVAL_ARGS});
        rows.push_back({op, "absent key, length 0", true, [fn] { return fn("absent", g_in, g_out, 0); },
                        KS_RECORD_NOT_FOUND});
    }
    for (auto [op, fn] : cbc) {
        name_rows(rows, op, true, [fn](const char *n) { return fn(n, g_iv, g_in, 16, g_out); }, bad_key);
        rows.push_back({op, "null IV", true, [fn] { return fn("aes", nullptr, g_in, 16, g_out); }, KS_INVAL_ARGS});
        rows.push_back({op, "null input", true, [fn] { return fn("aes", g_iv, nullptr, 16, g_out); }, KS_INVAL_ARGS});
        rows.push_back({op, "null output", true, [fn] { return fn("aes", g_iv, g_in, 16, nullptr); }, KS_INVAL_ARGS});
        for (uint16_t len : lengths)
            rows.push_back({op, "length " + std::to_string(len), true,
                            [fn, len] { return fn("aes", g_iv, g_in, len, g_out); },
                            len != 0 && len % 16 == 0 ? KS_SUCCESS : KS_INVAL_ARGS});
    }
    for (auto [op, fn, key] : des) {
        const std::string k = key;
        name_rows(rows, op, true, [fn](const char *n) { return fn(n, g_in, 8, g_out, 8); }, bad_key);
        rows.push_back({op, "null input", true, [fn, k] { return fn(k.c_str(), nullptr, 8, g_out, 8); }, KS_INVAL_ARGS});
        rows.push_back({op, "null output", true, [fn, k] { return fn(k.c_str(), g_in, 8, nullptr, 8); }, KS_INVAL_ARGS});
        rows.push_back({op, "input 16, output 24", true, [fn, k] { return fn(k.c_str(), g_in, 16, g_out, 24); },
                        KS_INVAL_ARGS});
        for (uint16_t len : lengths) {
            // 65535 is refused even though it could not be a multiple of 8.
            const bool ok = len != 0 && len != 65535 && len % 8 == 0;
            rows.push_back({op, "length " + std::to_string(len), true,
                            [fn, k, len] { return fn(k.c_str(), g_in, len, g_out, len); },
                            ok ? KS_SUCCESS : KS_INVAL_ARGS});
        }
    }
    return rows;
}

std::vector<Case> mschap_rows() {
    std::vector<Case> rows;
    const auto computed = [](const std::string &) { return unchanged(KS_SUCCESS); };
    const uint8_t *c = g_in;
    char *text = reinterpret_cast<char *>(g_out);

    name_rows(rows, "ks_GenerateNTResponse", true,
              [=](const char *n) { return ks_GenerateNTResponse(n, c, c + 16, "user", g_out); }, computed);
    name_rows(rows, "ks_GenerateAuthenticatorResponse", true,
              [=](const char *n) { return ks_GenerateAuthenticatorResponse(n, c, c + 24, c + 40, "user", text); },
              computed);
    name_rows(rows, "ks_NewPasswordEncryptedWithOldNtPasswordHash", true,
              [=](const char *n) { return ks_NewPasswordEncryptedWithOldNtPasswordHash(n, c, 8, g_out); }, computed);
    name_rows(rows, "ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash (old)", true,
              [=](const char *n) { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash(n, "aes", g_out); },
              computed);
    name_rows(rows, "ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash (new)", true,
              [=](const char *n) { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("aes", n, g_out); },
              computed);
    name_rows(rows, "ks_GetMasterKey", true, [=](const char *n) { return ks_GetMasterKey(n, c, g_out); }, computed);

    const std::pair<const char *, std::function<int32_t()>> nulls[] = {
        {"ks_GenerateNTResponse: null authenticator challenge",
         [=] { return ks_GenerateNTResponse("aes", nullptr, c, "u", g_out); }},
        {"ks_GenerateNTResponse: null peer challenge", [=] { return ks_GenerateNTResponse("aes", c, nullptr, "u", g_out); }},
        {"ks_GenerateNTResponse: null user name", [=] { return ks_GenerateNTResponse("aes", c, c, nullptr, g_out); }},
        {"ks_GenerateNTResponse: null output", [=] { return ks_GenerateNTResponse("aes", c, c, "u", nullptr); }},
        {"ks_GenerateAuthenticatorResponse: null NT-Response",
         [=] { return ks_GenerateAuthenticatorResponse("aes", nullptr, c, c, "u", text); }},
        {"ks_GenerateAuthenticatorResponse: null peer challenge",
         [=] { return ks_GenerateAuthenticatorResponse("aes", c, nullptr, c, "u", text); }},
        {"ks_GenerateAuthenticatorResponse: null authenticator challenge",
         [=] { return ks_GenerateAuthenticatorResponse("aes", c, c, nullptr, "u", text); }},
        {"ks_GenerateAuthenticatorResponse: null user name",
         [=] { return ks_GenerateAuthenticatorResponse("aes", c, c, c, nullptr, text); }},
        {"ks_GenerateAuthenticatorResponse: null output",
         [=] { return ks_GenerateAuthenticatorResponse("aes", c, c, c, "u", nullptr); }},
        {"ks_NewPasswordEncryptedWithOldNtPasswordHash: null new password",
         [=] { return ks_NewPasswordEncryptedWithOldNtPasswordHash("aes", nullptr, 8, g_out); }},
        {"ks_NewPasswordEncryptedWithOldNtPasswordHash: null output",
         [=] { return ks_NewPasswordEncryptedWithOldNtPasswordHash("aes", c, 8, nullptr); }},
        {"ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash: null output",
         [=] { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("aes", "des", nullptr); }},
        {"ks_GetMasterKey: null NT-Response", [=] { return ks_GetMasterKey("aes", nullptr, g_out); }},
        {"ks_GetMasterKey: null output", [=] { return ks_GetMasterKey("aes", c, nullptr); }},
    };
    for (const auto &[what, call] : nulls) rows.push_back({"MS-CHAPv2", what, true, call, KS_INVAL_ARGS});
    for (uint32_t len : {0u, 1u, 255u, 256u, 257u, 65535u, 65536u}) {
        rows.push_back({"ks_NewPasswordEncryptedWithOldNtPasswordHash", "new password of " + std::to_string(len), true,
                        [=] { return ks_NewPasswordEncryptedWithOldNtPasswordHash("aes", c, len, g_out); },
                        len >= 1 && len <= KS_NEW_PASSWORD_MAX ? KS_SUCCESS : KS_INVAL_ARGS});
    }
    // A user name of any length is hashed whole.
    for (size_t len : {size_t{0}, size_t{256}, size_t{65536}}) {
        const std::string user(len, 'u');
        rows.push_back({"ks_GenerateNTResponse", "user name of " + std::to_string(len), true,
                        [=] { return ks_GenerateNTResponse("aes", c, c + 16, user.c_str(), g_out); }, KS_SUCCESS});
    }
    return rows;
}

// Maintenance calls go to the hardware contract, whose stubs write nothing:
// null outputs must not be touched.
std::vector<Case> maintenance_rows() {
    return {
        {"ks_compact_fw_memory", "no arguments", true, [] { return ks_compact_fw_memory(); }, KS_SUCCESS},
        {"ks_return_fw_version_and_status", "null outputs", false,
         [] { return ks_return_fw_version_and_status(nullptr, nullptr); }, KS_SUCCESS},
        {"ks_dump_eeprom", "null buffer, length 65536", false, [] { return ks_dump_eeprom(nullptr, 65536); },
         KS_SUCCESS},
        {"ks_write_eeprom_byte", "largest cell value", false, [] { return ks_write_eeprom_byte(0xFFFFFF, 65536); },
         KS_SUCCESS},
        {"ks_write_eeprom_byte", "cell value 0x1000000", false, [] { return ks_write_eeprom_byte(0x1000000, 0); },
         KS_INVAL_ARGS},
        {"ks_write_eeprom_byte", "cell value 0xFFFFFFFF", false, [] { return ks_write_eeprom_byte(0xFFFFFFFF, 0); },
         KS_INVAL_ARGS},
    };
}

std::vector<Case> all_rows() {
    std::vector<Case> rows;
    for (auto family : {cipher_rows, mschap_rows, maintenance_rows}) {
        auto part = family();
        rows.insert(rows.end(), part.begin(), part.end());
    }
    return rows;
}

class HostileInputTest : public kstest::KeystoreTest {};

TEST_F(HostileInputTest, EveryFrontOperationRefusesBadInputAndHandlesItsLimits) {
    const auto rows = all_rows();
    for (const Case &c : rows) run_case(c);
    RecordProperty("cases", static_cast<int>(rows.size()));
}

// Exported names that are not front operations taking caller input: data,
// the software keystore and hardware contract behind the fronts, platform
// glue, and calls without arguments to check. Every other exported name
// needs rows above, so a new front operation cannot skip this table.
bool not_a_front(const std::string &name) {
    static const char *const kPrefixes[] = {"ks_sw_", "ks_ae46c1_", "ks_sym_", "msg_KEYSTORE_", "_registry_",
                                            "registry_", "create_registry_", "ifs_", "reg_invoke_", "epa_",
                                            "A_RC4", "ks_ha_", "ks_rsa_", "ks_debug_"};
    for (const char *p : kPrefixes)
        if (name.rfind(p, 0) == 0) return true;
    static const std::set<std::string> kNames = {
        "ks_num_sym_keys", "ks_use_sw_ks", "ks_is_standby", "ks_rf_disabled", "ks_rf_do_peer_syncs", "ks_use_zav_ha",
        "ks_initialized", "aaa_lib_index", "ks_pac_cacheq", "ks_err_str", "ks_get_errormsg", "keystore_init",
        "ks_wait_on_keystore_init", "ks_use_sw_emulation", "ks_are_we_using_sw_emulation", "ks_set_standby_mode",
        "ks_disable_rf", "ks_set_zav_for_incr_sync", "ks_use_zav_for_incr_sync", "ks_is_hw_present",
        "ks_get_public_key", "ks_set_sw_storage_fs", "ks_pac_cache_purge", "ks_clear_all_pacs"};
    return kNames.count(name) != 0;
}

TEST(HostileInputCoverage, EveryFrontOperationHasRows) {
    std::set<std::string> covered;
    for (const Case &c : all_rows()) covered.insert(c.op.substr(0, c.op.find(' ')));
    for (const auto &file : std::filesystem::directory_iterator(std::string(KS_TEST_DATA_DIR) + "/abi/exports/")) {
        if (file.path().extension() != ".txt") continue;
        std::ifstream in(file.path());
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line[0] == '#') continue;
            if (!covered.count(line) && !not_a_front(line)) ADD_FAILURE() << line << " has no hostile-input rows";
        }
    }
}

}  // namespace
