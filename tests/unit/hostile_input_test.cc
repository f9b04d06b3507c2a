// Hostile input at every front operation: null pointers, empty and over-long
// names, lengths at and around each limit, each with the standby flag off
// and on. An invalid case must return its exact status and leave the key
// table and the PAC cache as they were; a valid boundary must give its
// documented result.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "keystore/ks_cipher.h"
#include "keystore/ks_digest.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_mschap.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_secret.h"
#include "keystore/ks_show.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/ks_types.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "keystore_host/showmsg.h"
#include "ks_snapshot.h"
#include "pac_test_util.h"
#include "ks_test_util.h"

namespace {

using kstest::Bytes;
using kstest::handle_of;
using kstest::Snapshot;
using kstest::sw_store;

// Checks the documented effect of a valid call from the states before and
// after it.
using Effect = std::function<void(const Snapshot &before, const Snapshot &after)>;

constexpr int32_t kLikeOff = INT32_MIN;

struct Case {
    std::string op, what;
    bool standby_refused;        // STDBY_NOT_SUPPORTED first when the flag is on
    std::function<int32_t()> call;
    int32_t expect;              // with the standby flag off
    Effect effect = nullptr;     // null: the keystore must be unchanged
    bool traced = false;         // its argument faults are traced (PAC copies)
    int32_t on_standby = kLikeOff;  // the answer on a standby, when it is neither refused nor the same
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
const std::string kLongAid(31, 'P');

void populate() {
    kstest::reset_keystore();
    ASSERT_EQ(sw_store("aes", std::string(16, 'k')), KS_SUCCESS);
    ASSERT_EQ(sw_store("des", std::string(7, 'd')), KS_SUCCESS);
    ASSERT_EQ(sw_store("3des", std::string(21, 't')), KS_SUCCESS);
    ASSERT_EQ(kstest::store(kstest::sample_pac("pac-a")), KS_SUCCESS);
    ASSERT_EQ(kstest::store(kstest::sample_pac(kLongAid)), KS_SUCCESS);
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
        const bool refused = standby && (c.standby_refused || c.on_standby != kLikeOff);
        const int32_t want = !refused ? c.expect : c.on_standby != kLikeOff ? c.on_standby : KS_STDBY_NOT_SUPPORTED;
        EXPECT_EQ(st, want) << ks_err_str(st);
        if (refused || !c.effect) {
            EXPECT_TRUE(after == before) << kstest::diff(after, before);
            EXPECT_EQ(kstest::library_live_blocks(), blocks);
        } else {
            c.effect(before, after);
        }
        // Argument faults and refusals are status codes, never traces.
        if (refused || c.expect == KS_INVAL_ARGS) {
            // A standby refusal is silent; so is an argument fault unless the
            // operation traces its faults.
            if ((standby && c.standby_refused) || !c.traced) {
                EXPECT_EQ(ksh_trace_count(), 0u);
            }
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

// ---- Rows: named secrets ---------------------------------------------------

std::vector<Case> secret_rows() {
    std::vector<Case> rows;
    static const uint8_t value[65536] = {1};
    static uint8_t buf[65536];
    static int32_t flag;
    static uint8_t *out;
    static uint16_t out_len;
    static uint16_t index;

    // Store: names, value lengths, purge names, metadata lengths.
    name_rows(rows, "ks_store_secret_and_metadata", true,
              [](const char *n) { return ks_store_secret_and_metadata(n, nullptr, value, 4, nullptr, 0); },
              [](const std::string &n) { return std::pair<int32_t, Effect>{KS_SUCCESS, stored(n, 4, 0)}; });
    for (size_t len : kBoundaries) {
        const bool ok = len >= 1 && len <= KS_SECRET_MAX;
        rows.push_back({"ks_store_secret_and_metadata", "value of " + std::to_string(len), true,
                        [=] { return ks_store_secret_and_metadata("v", nullptr, value, static_cast<uint32_t>(len), nullptr, 0); },
                        ok ? KS_SUCCESS : KS_INVAL_ARGS, ok ? stored("v", len, 0) : nullptr});
    }
    rows.push_back({"ks_store_secret_and_metadata", "null value", true,
                    [] { return ks_store_secret_and_metadata("v", nullptr, nullptr, 4, nullptr, 0); }, KS_INVAL_ARGS});
    for (size_t len : kBoundaries) {
        const std::string purge = name_of(len, 'n');
        Effect effect = nullptr;
        int32_t st = KS_INVAL_ARGS;
        if (len == 0) {
            st = KS_SUCCESS, effect = stored("v", 1, 0);  // an empty purge name purges nothing
        } else if (len <= KS_NAME_MAX) {
            st = KS_SUCCESS;
            effect = [=](const Snapshot &before, const Snapshot &after) {
                Snapshot expected = before;
                expected.purge(handle_of(1, purge));
                expected.keys.push_back({handle_of(1, "v"), Bytes{1}, Bytes{}});
                EXPECT_EQ(after, expected) << after.describe();
            };
        }
        rows.push_back({"ks_store_secret_and_metadata", "purge name of " + std::to_string(len), true,
                        [=] { return ks_store_secret_and_metadata("v", purge.c_str(), value, 1, nullptr, 0); }, st,
                        effect});
    }
    // The store passes metadata on unchecked: every length is kept whole.
    for (size_t len : {size_t{1}, size_t{65534}, size_t{65535}, size_t{65536}}) {
        rows.push_back({"ks_store_secret_and_metadata", "metadata of " + std::to_string(len), true,
                        [=] { return ks_store_secret_and_metadata("v", nullptr, value, 1, value, static_cast<uint32_t>(len)); },
                        KS_SUCCESS, stored("v", 1, len)});
    }

    // Add metadata: the pointer and the 16-bit length must agree.
    name_rows(rows, "ks_add_metadata", true, [](const char *n) { return ks_add_metadata(n, value, 3); },
              [](const std::string &n) {
                  return std::pair<int32_t, Effect>{n == kShort || n == kLong ? KS_SUCCESS : KS_RECORD_NOT_FOUND,
                                                    n == kShort || n == kLong ? meta_is(n, 3) : nullptr};
              });
    for (uint32_t len : {0u, 1u, 65534u, 65535u}) {
        const bool ok = len >= 1 && len <= KS_METADATA_MAX;
        rows.push_back({"ks_add_metadata", "metadata of " + std::to_string(len), true,
                        [=] { return ks_add_metadata(kMetaKey.c_str(), value, static_cast<uint16_t>(len)); },
                        ok ? KS_SUCCESS : KS_INVAL_ARGS, ok ? meta_is(kMetaKey, len) : nullptr});
    }
    rows.push_back({"ks_add_metadata", "null metadata with a length", true,
                    [] { return ks_add_metadata(kMetaKey.c_str(), nullptr, 5); }, KS_INVAL_ARGS});
    rows.push_back({"ks_add_metadata", "null metadata, length 0 (removes it)", true,
                    [] { return ks_add_metadata(kMetaKey.c_str(), nullptr, 0); }, KS_SUCCESS, meta_is(kMetaKey, 0)});

    // Read metadata: null outputs refused; a failure writes null and 0.
    name_rows(rows, "ks_return_metadata", true,
              [](const char *n) {
                  out = buf, out_len = 7;
                  int32_t st = ks_return_metadata(n, &out, &out_len);
                  if (st == KS_SUCCESS) {
                      if (out) tagged_free(out);
                  } else if (st != KS_STDBY_NOT_SUPPORTED && st != KS_INVAL_ARGS) {
                      EXPECT_EQ(out, nullptr);
                      EXPECT_EQ(out_len, 0);
                  }
                  return st;
              },
              [](const std::string &n) { return unchanged(n == kShort || n == kLong ? KS_SUCCESS : KS_RECORD_NOT_FOUND); });
    rows.push_back({"ks_return_metadata", "null output", true,
                    [] { return ks_return_metadata(kMetaKey.c_str(), nullptr, &out_len); }, KS_INVAL_ARGS});

    name_rows(rows, "ks_clear_secret", true, [](const char *n) { return ks_clear_secret(n); },
              [](const std::string &n) {
                  return n == kShort || n == kLong ? std::pair<int32_t, Effect>{KS_SUCCESS, removed(n)}
                                                   : unchanged(KS_RECORD_NOT_FOUND);
              });

    name_rows(rows, "ks_secret_exists", false, [](const char *n) { return ks_secret_exists(n, &flag); },
              [](const std::string &) { return unchanged(KS_SUCCESS); });
    rows.push_back({"ks_secret_exists", "null flag", false, [] { return ks_secret_exists(kShort.c_str(), nullptr); },
                    KS_INVAL_ARGS});
    name_rows(rows, "ks_check_ha_consistency", false, [](const char *n) { return ks_check_ha_consistency(n, &flag); },
              [](const std::string &n) { return unchanged(n == kShort || n == kLong ? KS_SUCCESS : KS_RECORD_NOT_FOUND); },
              KS_RECORD_NOT_FOUND, KS_INVAL_ARGS);
    rows.push_back({"ks_check_ha_consistency", "null flag", false,
                    [] { return ks_check_ha_consistency(kShort.c_str(), nullptr); }, KS_INVAL_ARGS});
    // The yes/no queries answer 0 to anything invalid.
    name_rows(rows, "ks_snmp_password_exists", false, [](const char *n) { return ks_snmp_password_exists(n); },
              [](const std::string &n) { return unchanged(n == kShort || n == kLong ? 1 : 0); }, 0, 0);

    // Rename: both names, and a purge name without a length limit.
    name_rows(rows, "ks_rename_secret (old)", true,
              [](const char *n) { return ks_rename_secret(n, "renamed", nullptr); },
              [](const std::string &n) {
                  return n == kShort || n == kLong ? std::pair<int32_t, Effect>{KS_SUCCESS, renamed(n, "renamed")}
                                                   : unchanged(KS_RECORD_NOT_FOUND);
              });
    name_rows(rows, "ks_rename_secret (new)", true,
              [](const char *n) { return ks_rename_secret(kMetaKey.c_str(), n, nullptr); },
              [](const std::string &n) {
                  // Renaming onto an existing key replaces it.
                  return std::pair<int32_t, Effect>{KS_SUCCESS, [n](const Snapshot &before, const Snapshot &after) {
                      Snapshot expected = before;
                      expected.keys[before.find(handle_of(1, kMetaKey))].handle = handle_of(1, n);
                      if (int j = before.find(handle_of(1, n)); j >= 0) expected.keys.erase(expected.keys.begin() + j);
                      EXPECT_EQ(after, expected) << after.describe();
                  }};
              });
    rows.push_back({"ks_rename_secret", "to itself (absent)", true, [] { return ks_rename_secret("zz", "zz", "z"); },
                    KS_SUCCESS});
    rows.push_back({"ks_rename_secret", "to itself, name of 32", true,
                    [] { return ks_rename_secret(name_of(32).c_str(), name_of(32).c_str(), nullptr); }, KS_INVAL_ARGS});
    for (size_t len : kBoundaries) {
        const std::string purge = name_of(len, 'p');
        rows.push_back({"ks_rename_secret", "purge name of " + std::to_string(len), true,
                        [=] { return ks_rename_secret(kMetaKey.c_str(), "renamed", purge.c_str()); }, KS_SUCCESS,
                        renamed(kMetaKey, "renamed")});
    }

    // Enumerations.
    rows.push_back({"ks_return_secret_handle_by_index", "null index", false, [] {
                        char *name = nullptr;
                        return ks_return_secret_handle_by_index(nullptr, &name);
                    }, KS_INVAL_ARGS});
    rows.push_back({"ks_return_secret_handle_by_index", "null name output", false, [] {
                        index = 0;
                        return ks_return_secret_handle_by_index(&index, nullptr);
                    }, KS_INVAL_ARGS});
    rows.push_back({"ks_return_secret_handle_by_index", "index 0", false, [] {
                        index = 0;
                        char *name = nullptr;
                        const int32_t st = ks_return_secret_handle_by_index(&index, &name);
                        EXPECT_STREQ(name, "aes");
                        tagged_free(name);
                        return st;
                    }, KS_SUCCESS});
    for (uint16_t i : {uint16_t{200}, uint16_t{65535}}) {
        rows.push_back({"ks_return_secret_handle_by_index", "index " + std::to_string(i) + " past the end", false,
                        [=] {
                            index = i;
                            char *name = nullptr;
                            int32_t st = ks_return_secret_handle_by_index(&index, &name);
                            EXPECT_EQ(index, i);
                            return st;
                        },
                        KS_NO_MORE_RECORDS});
    }
    for (uint32_t len : {0u, 1u, 31u, 32u, 65535u, 65536u}) {
        rows.push_back({"ks_snmp_get_next_password", "buffer of " + std::to_string(len), false,
                        [=] {
                            std::memset(buf, 0, sizeof buf);
                            return ks_snmp_get_next_password(reinterpret_cast<char *>(buf), len);
                        },
                        len >= 32 ? 1 : 0});
    }
    rows.push_back({"ks_snmp_get_next_password", "null buffer", false,
                    [] { return ks_snmp_get_next_password(nullptr, 64); }, 0});

    // Random numbers: a buffer and a non-zero length.
    rows.push_back({"ks_generate_random_number", "null buffer", true,
                    [] { return ks_generate_random_number(nullptr, 16, 0); }, KS_INVAL_ARGS});
    for (uint32_t len : {0u, 1u, 65535u, 65536u}) {
        for (int32_t kind : {0, 1, 2}) {
            rows.push_back({"ks_generate_random_number", "length " + std::to_string(len) + " kind " + std::to_string(kind),
                            true, [=] { return ks_generate_random_number(buf, len, kind); },
                            len == 0 ? KS_INVAL_ARGS : KS_SUCCESS});
        }
    }

    // The hardware-only record read: no standby test, outputs kept.
    name_rows(rows, "keystore_return_wdc", false,
              [](const char *n) {
                  out = nullptr, out_len = 0;
                  return keystore_return_wdc(n, &out, &out_len);
              },
              [](const std::string &) { return unchanged(KS_SUCCESS); });
    rows.push_back({"keystore_return_wdc", "null output", false,
                    [] { return keystore_return_wdc("n", nullptr, &out_len); }, KS_INVAL_ARGS});
    return rows;
}

// ---- Rows: keyed digests ----------------------------------------------------

std::vector<Case> digest_rows() {
    std::vector<Case> rows;
    const auto computed = [](const std::string &) { return unchanged(KS_SUCCESS); };
    using HmacFn = int32_t (*)(const char *, const uint8_t *, uint16_t, uint8_t *);
    using HashFn = int32_t (*)(const char *, const uint8_t *, uint32_t, const uint8_t *, uint32_t, uint8_t *);
    for (auto [op, fn] : {std::pair<const char *, HmacFn>{"ks_hmac_md5", ks_hmac_md5},
                          std::pair<const char *, HmacFn>{"ks_hmac_sha1", ks_hmac_sha1}}) {
        name_rows(rows, op, true, [fn](const char *n) { return fn(n, g_in, 8, g_out); }, computed);
        // Argument faults name an absent key: the arguments are checked before the lookup.
        rows.push_back({op, "null data", true, [fn] { return fn("absent", nullptr, 8, g_out); }, KS_INVAL_ARGS});
        rows.push_back({op, "null output", true, [fn] { return fn("absent", g_in, 8, nullptr); }, KS_INVAL_ARGS});
        for (uint16_t len : {0, 1, 64, 65534, 65535}) {
            const bool ok = len >= 1 && len <= KS_DATA_MAX;
            rows.push_back({op, "data of " + std::to_string(len), true,
                            [fn, len, ok] { return fn(ok ? "n" : "absent", g_in, len, g_out); },
                            ok ? KS_SUCCESS : KS_INVAL_ARGS});
        }
        rows.push_back({op, "absent key", true, [fn] { return fn("absent", g_in, 8, g_out); }, KS_RECORD_NOT_FOUND});
    }
    for (auto [op, fn] : {std::pair<const char *, HashFn>{"ks_md5_hash", ks_md5_hash},
                          std::pair<const char *, HashFn>{"ks_sha1_hash", ks_sha1_hash}}) {
        name_rows(rows, op, true, [fn](const char *n) { return fn(n, g_in, 8, g_in, 8, g_out); }, computed);
        struct Pieces {
            const char *what;
            const uint8_t *p1;
            uint32_t l1;
            const uint8_t *p2;
            uint32_t l2;
            int32_t expect;
        };
        const Pieces pieces[] = {
            {"no piece", nullptr, 0, nullptr, 0, KS_INVAL_ARGS},
            {"empty pieces", g_in, 0, g_in, 0, KS_INVAL_ARGS},
            {"piece 1 only", g_in, 1, nullptr, 0, KS_SUCCESS},
            {"piece 2 only", nullptr, 0, g_in, 1, KS_SUCCESS},
            {"null piece 1 with a length", nullptr, 4, g_in, 1, KS_INVAL_ARGS},
            {"null piece 2 with a length", g_in, 1, nullptr, 4, KS_INVAL_ARGS},
            {"lengths adding to 65534", g_in, 65000, g_in, 534, KS_SUCCESS},
            {"lengths adding to 65535", g_in, 65000, g_in, 535, KS_INVAL_ARGS},
            {"piece of 65536", g_in, 65536, nullptr, 0, KS_INVAL_ARGS},
            {"lengths wrapping to 1", g_in, 0xFFFFFFFFu, g_in, 2, KS_INVAL_ARGS},
        };
        for (const Pieces &pc : pieces)
            rows.push_back({op, pc.what, true,
                            [fn, pc] {
                                return fn(pc.expect == KS_SUCCESS ? "n" : "absent", pc.p1, pc.l1, pc.p2, pc.l2, g_out);
                            },
                            pc.expect});
        rows.push_back({op, "null output", true, [fn] { return fn("absent", g_in, 8, nullptr, 0, nullptr); },
                        KS_INVAL_ARGS});
    }
    return rows;
}

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

// ---- Rows: PACs --------------------------------------------------------------

// A PAC stored by a valid call: its key last in the table, carrying the two
// TLVs as metadata, and the A-ID's cache entry (built from the caller's TLVs)
// last in the queue; everything else as it was.
Effect pac_stored(const Bytes &aid, const Bytes &key, const Bytes &opaque, const Bytes &info) {
    return [=](const Snapshot &before, const Snapshot &after) {
        Snapshot want = before;
        const Bytes h = kstest::cat(Bytes{KS_KEY_TYPE_PAC}, aid);
        if (int i = want.find(h); i >= 0) want.keys.erase(want.keys.begin() + i);
        want.keys.push_back({h, key, kstest::cat(opaque, info)});
        want.drop_cache(aid);
        kstest::CacheSnap c;
        c.aid = aid, c.opaque = opaque, c.info = info;
        want.cache.push_back(c);
        EXPECT_TRUE(after == want) << kstest::diff(after, want);
    };
}

Effect pac_cleared(const Bytes &aid) {
    return [=](const Snapshot &before, const Snapshot &after) {
        Snapshot want = before;
        want.keys.erase(want.keys.begin() + want.find(kstest::cat(Bytes{KS_KEY_TYPE_PAC}, aid)));
        want.drop_cache(aid);
        EXPECT_TRUE(after == want) << kstest::diff(after, want);
    };
}

// Rows that give an A-ID operation a null A-ID and every A-ID length. The
// A-ID bytes are 'P': 31 of them name the stored long A-ID, 1 names no PAC.
// valid(case, n) sets the answer for the valid lengths 1 and 31.
void aid_rows(std::vector<Case> &rows, const std::string &op, bool refused,
              std::function<int32_t(const uint8_t *, uint32_t)> call, std::function<void(Case &, size_t)> valid,
              int32_t invalid = KS_INVAL_ARGS, bool traced = false) {
    static const std::string aids(65536, 'P');
    const auto *a = reinterpret_cast<const uint8_t *>(aids.data());
    rows.push_back({op, "null A-ID", refused, [=] { return call(nullptr, 5); }, invalid, nullptr, traced});
    for (size_t n : kBoundaries) {
        Case c{op, "A-ID of " + std::to_string(n), refused, [=] { return call(a, static_cast<uint32_t>(n)); },
               invalid, nullptr, traced};
        if (n >= 1 && n <= KS_AID_MAX) valid(c, n);
        rows.push_back(c);
    }
}

std::vector<Case> pac_rows() {
    using kstest::tlv;
    std::vector<Case> rows;
    static const kstest::SamplePac p = kstest::sample_pac("pac-new");
    static const Bytes big_key(65536, 0x5A);
    static const Bytes big_opaque = tlv(KS_PAC_TLV_OPAQUE, Bytes(65535, 0x0F));
    static const Bytes empty_info = tlv(KS_PAC_TLV_INFO, {});
    struct Store {
        const uint8_t *aid = p.aid.data();
        uint32_t aid_len = static_cast<uint32_t>(p.aid.size());
        const uint8_t *key = p.key.data();
        uint32_t key_len = static_cast<uint32_t>(p.key.size());
        const uint8_t *opaque = p.opaque.data();
        uint32_t opaque_len = static_cast<uint32_t>(p.opaque.size());
        const uint8_t *info = p.info.data();
        uint32_t info_len = static_cast<uint32_t>(p.info.size());
        int32_t operator()() const {
            return ks_store_pac(aid, aid_len, key, key_len, opaque, opaque_len, info, info_len);
        }
    };
    const auto store_row = [&](const std::string &what, auto change, int32_t expect, Effect effect = nullptr) {
        Store s;
        change(s);
        rows.push_back({"ks_store_pac", what, true, s, expect, effect});
    };
    static const Bytes bad_opaque_type = tlv(3, {1, 2, 3});
    static const Bytes bad_info_type = tlv(KS_PAC_TLV_OPAQUE, {1, 2, 3});
    aid_rows(rows, "ks_store_pac", true,
             [](const uint8_t *a, uint32_t n) {
                 return ks_store_pac(a, n, p.key.data(), 32, p.opaque.data(), static_cast<uint32_t>(p.opaque.size()),
                                     p.info.data(), static_cast<uint32_t>(p.info.size()));
             },
             [](Case &c, size_t n) {
                 // A new PAC for one byte, the stored long A-ID's replaced.
                 c.expect = KS_SUCCESS;
                 c.effect = pac_stored(Bytes(n, 'P'), p.key, p.opaque, p.info);
             });
    store_row("null PAC-Key", [](Store &s) { s.key = nullptr; }, KS_INVAL_ARGS);
    store_row("PAC-Key of 0", [](Store &s) { s.key_len = 0; }, KS_INVAL_ARGS);
    store_row("PAC-Key of 1", [](Store &s) { s.key_len = 1; }, KS_SUCCESS,
              pac_stored(p.aid, Bytes(1, p.key[0]), p.opaque, p.info));
    store_row("PAC-Key of 65536", [](Store &s) { s.key = big_key.data(), s.key_len = 65536; }, KS_SUCCESS,
              pac_stored(p.aid, big_key, p.opaque, p.info));
    store_row("null PAC-Opaque", [](Store &s) { s.opaque = nullptr; }, KS_INVAL_ARGS);
    store_row("PAC-Opaque of 0", [](Store &s) { s.opaque_len = 0; }, KS_INVAL_ARGS);
    store_row("PAC-Opaque one byte longer than its TLV", [](Store &s) { ++s.opaque_len; }, KS_INVAL_ARGS);
    store_row("PAC-Opaque one byte shorter than its TLV", [](Store &s) { --s.opaque_len; }, KS_INVAL_ARGS);
    store_row("PAC-Opaque of type 3", [](Store &s) { s.opaque = bad_opaque_type.data(), s.opaque_len = 7; },
              KS_INVAL_ARGS);
    store_row("PAC-Opaque header only (3 bytes)", [](Store &s) { s.opaque_len = 3; }, KS_INVAL_ARGS);
    store_row("null PAC-Info", [](Store &s) { s.info = nullptr; }, KS_INVAL_ARGS);
    store_row("PAC-Info of 0", [](Store &s) { s.info_len = 0; }, KS_INVAL_ARGS);
    store_row("PAC-Info one byte shorter than its TLV", [](Store &s) { --s.info_len; }, KS_INVAL_ARGS);
    store_row("PAC-Info of type 2", [](Store &s) { s.info = bad_info_type.data(), s.info_len = 7; }, KS_INVAL_ARGS);
    // The largest TLVs: 65539 bytes of PAC-Opaque make metadata past 64 KiB,
    // which is stored whole; an empty PAC-Info is a valid TLV.
    store_row("PAC-Opaque of 65539, PAC-Info of 4",
              [](Store &s) {
                  s.opaque = big_opaque.data(), s.opaque_len = static_cast<uint32_t>(big_opaque.size());
                  s.info = empty_info.data(), s.info_len = 4;
              },
              KS_SUCCESS, pac_stored(p.aid, p.key, big_opaque, empty_info));

    static int32_t flag;
    aid_rows(rows, "ks_clear_pac", false, [](const uint8_t *a, uint32_t n) { return ks_clear_pac(a, n); },
             [](Case &c, size_t n) {
                 c.expect = n == KS_AID_MAX ? KS_SUCCESS : KS_RECORD_NOT_FOUND;
                 if (n == KS_AID_MAX) c.effect = pac_cleared(Bytes(n, 'P'));
             });
    // Present or absent, the answer is SUCCESS with the flag.
    aid_rows(rows, "ks_pac_exists", true, [](const uint8_t *a, uint32_t n) { return ks_pac_exists(a, n, &flag); },
             [](Case &c, size_t) { c.expect = KS_SUCCESS; });
    rows.push_back({"ks_pac_exists", "null flag", true,
                    [] { return ks_pac_exists(reinterpret_cast<const uint8_t *>("pac-a"), 5, nullptr); },
                    KS_INVAL_ARGS});
    aid_rows(rows, "ks_snmp_pac_exists", false, [](const uint8_t *a, uint32_t n) { return ks_snmp_pac_exists(a, n); },
             [](Case &c, size_t n) {
                 c.expect = n == KS_AID_MAX ? 1 : 0;
                 c.on_standby = 0;  // refused inside: reads as absent
             },
             0);

    // Copies of the TLVs: argument faults are traced; a missing PAC is
    // UNKNOWN_FAILURE after the load's trace.
    using CopyFn = int32_t (*)(const uint8_t *, uint32_t, uint8_t **, uint32_t *);
    for (auto [op, fn] : {std::pair<const char *, CopyFn>{"ks_return_pac_opaque", ks_return_pac_opaque},
                          std::pair<const char *, CopyFn>{"ks_return_pac_info", ks_return_pac_info}}) {
        static uint8_t *copy;
        static uint32_t copy_len;
        aid_rows(rows, op, true,
                 [fn](const uint8_t *a, uint32_t n) {
                     copy = nullptr;
                     const int32_t st = fn(a, n, &copy, &copy_len);
                     if (st == KS_SUCCESS) tagged_free(copy);
                     else EXPECT_EQ(copy, nullptr);
                     return st;
                 },
                 [](Case &c, size_t n) { c.expect = n == KS_AID_MAX ? KS_SUCCESS : KS_UNKNOWN_FAILURE; }, KS_INVAL_ARGS,
                 true);
        rows.push_back({op, "null output", true,
                        [fn] { return fn(reinterpret_cast<const uint8_t *>("pac-a"), 5, nullptr, &copy_len); },
                        KS_INVAL_ARGS, nullptr, true});
        rows.push_back({op, "null length", true,
                        [fn] { return fn(reinterpret_cast<const uint8_t *>("pac-a"), 5, &copy, nullptr); },
                        KS_INVAL_ARGS, nullptr, true});
    }

    // Walks: the enumeration checks its pointers before the standby flag.
    static uint16_t index;
    static uint8_t *aid_out;
    static uint32_t aid_len;
    const auto by_index = [](uint16_t *i, uint8_t **o, uint32_t *l) {
        const int32_t st = ks_return_aid_by_index(i, o, l);
        if (st == KS_SUCCESS) tagged_free(*o);
        return st;
    };
    rows.push_back({"ks_return_aid_by_index", "null index", true, [=] { return by_index(nullptr, &aid_out, &aid_len); },
                    KS_INVAL_ARGS, nullptr, false, KS_INVAL_ARGS});
    rows.push_back({"ks_return_aid_by_index", "null A-ID output", true,
                    [=] { return index = 0, by_index(&index, nullptr, &aid_len); }, KS_INVAL_ARGS, nullptr, false,
                    KS_INVAL_ARGS});
    rows.push_back({"ks_return_aid_by_index", "null length output", true,
                    [=] { return index = 0, by_index(&index, &aid_out, nullptr); }, KS_INVAL_ARGS, nullptr, false,
                    KS_INVAL_ARGS});
    rows.push_back({"ks_return_aid_by_index", "index 0", true, [=] { return index = 0, by_index(&index, &aid_out, &aid_len); },
                    KS_SUCCESS});
    rows.push_back({"ks_return_aid_by_index", "index 65535", true,
                    [=] { return index = 65535, by_index(&index, &aid_out, &aid_len); }, KS_NO_MORE_RECORDS});

    static const uint8_t largest[16] = {'P', 'P', 'P', 'P', 'P', 'P', 'P', 'P', 'P', 'P', 'P', 'P', 'P', 'P', 'P', 'P'};
    struct Next {
        const uint8_t *aid;
        uint32_t aid_len;
        bool out;
        uint8_t size;
    };
    const std::pair<const char *, Next> nexts[] = {
        {"empty current A-ID", {nullptr, 0, true, 16}},  {"null output", {nullptr, 0, false, 16}},
        {"buffer of 15", {nullptr, 0, true, 15}},        {"buffer of 255", {nullptr, 0, true, 255}},
        {"current A-ID of 16", {largest, 16, true, 16}},  {"current A-ID of 17", {largest, 17, true, 16}},
        {"null A-ID of length 1", {nullptr, 1, true, 16}}, {"current A-ID of 65536", {largest, 65536, true, 16}},
    };
    for (const auto &[what, n] : nexts) {
        const bool answers = n.out && n.size >= 16 && n.aid_len == 0;  // only the empty A-ID has a successor here
        rows.push_back({"ks_snmp_get_next_pac", what, false,
                        [n] {
                            uint8_t size = n.size;
                            return ks_snmp_get_next_pac(n.aid, n.aid_len, n.out ? g_out : nullptr, &size);
                        },
                        answers ? 1 : 0});
    }
    return rows;
}

// ---- Rows: PAC derivations, lifetimes, bulk clearing ----------------------------

// A derivation from the stored long A-ID leaves its cache entry with the new
// record; the table is untouched.
Effect derived_cached(bool shared) {
    return [shared](const Snapshot &before, const Snapshot &after) {
        EXPECT_TRUE(after.keys == before.keys);
        ASSERT_EQ(after.cache.size(), before.cache.size());
        const auto &c = after.cache.back();
        EXPECT_EQ(c.aid, Bytes(KS_AID_MAX, 'P'));
        EXPECT_TRUE(shared ? c.has_mack : c.has_derived);
    };
}

std::vector<Case> derive_rows() {
    std::vector<Case> rows;
    static const uint8_t label[] = "label";
    aid_rows(rows, "ks_pac_key_t_prf", true,
             [](const uint8_t *a, uint32_t n) { return ks_pac_key_t_prf(a, n, label, 5, g_in, 32, g_out, 40); },
             [](Case &c, size_t n) {
                 c.expect = n == KS_AID_MAX ? KS_SUCCESS : KS_RECORD_NOT_FOUND;
                 if (n == KS_AID_MAX) c.effect = derived_cached(false);
             });
    const auto *pac = reinterpret_cast<const uint8_t *>("pac-a");
    struct Tprf {
        const char *what;
        const uint8_t *label;
        uint32_t label_len;
        const uint8_t *seed;
        uint32_t seed_len;
        uint8_t *out;
        uint32_t out_len;
        int32_t expect;
    };
    const Tprf tprfs[] = {
        {"null output", label, 5, g_in, 8, nullptr, 20, KS_INVAL_ARGS},
        {"output of 0", label, 5, g_in, 8, g_out, 0, KS_INVAL_ARGS},
        {"output of 1", label, 5, g_in, 8, g_out, 1, KS_SUCCESS},
        {"output of 65535", label, 5, g_in, 8, g_out, 65535, KS_SUCCESS},
        {"output of 65536 (its low 16 bits: none)", label, 5, g_in, 8, g_out, 65536, KS_SUCCESS},
        {"empty label and seed", nullptr, 0, nullptr, 0, g_out, 20, KS_SUCCESS},
        {"label and seed at the static buffer's end (488)", g_in, 480, g_in, 8, g_out, 20, KS_SUCCESS},
        {"label and seed past it (489)", g_in, 481, g_in, 8, g_out, 20, KS_SUCCESS},
        {"seed of 65536", label, 5, g_in, 65536, g_out, 20, KS_SUCCESS},
        {"null label with a length", nullptr, 5, g_in, 8, g_out, 20, KS_INVAL_ARGS},
        {"null seed with a length", label, 5, nullptr, 8, g_out, 20, KS_INVAL_ARGS},
    };
    for (const Tprf &t : tprfs) {
        rows.push_back({"ks_pac_key_t_prf", t.what, true,
                        [=] { return ks_pac_key_t_prf(pac, 5, t.label, t.label_len, t.seed, t.seed_len, t.out, t.out_len); },
                        t.expect,
                        t.expect == KS_SUCCESS ? Effect([](const Snapshot &before, const Snapshot &after) {
                            EXPECT_TRUE(after.keys == before.keys);
                            EXPECT_TRUE(after.cache.front().has_derived);
                        })
                                               : nullptr});
    }

    aid_rows(rows, "ks_pac_shared_keys_t_prf", true,
             [](const uint8_t *a, uint32_t n) {
                 return ks_pac_shared_keys_t_prf(a, n, "device", 6, "ZAV-MACK", 8, g_out, 20);
             },
             [](Case &c, size_t n) {
                 c.expect = n == KS_AID_MAX ? KS_SUCCESS : KS_RECORD_NOT_FOUND;
                 if (n == KS_AID_MAX) c.effect = derived_cached(true);
             });
    static const std::string long_id(65536, 'd');
    struct Shared {
        const char *what;
        const char *device;
        uint32_t device_len;
        const char *label;
        uint32_t label_len;
        uint8_t *out;
        uint32_t out_len;
        int32_t expect;
        bool cached;  // the result joins the cache (ZAV-MACK)
    };
    const Shared shareds[] = {
        {"null output", "d", 1, "ZAV-MACK", 8, nullptr, 20, KS_INVAL_ARGS, false},
        {"output of 0", "d", 1, "ZAV-MACK", 8, g_out, 0, KS_INVAL_ARGS, false},
        {"output of 1", "d", 1, "ZAV-MACK", 8, g_out, 1, KS_SUCCESS, true},
        {"null device identity", nullptr, 0, "ZAV-MACK", 8, g_out, 20, KS_SUCCESS, true},
        {"null label", "d", 1, nullptr, 0, g_out, 20, KS_SUCCESS, false},
        {"other label", "d", 1, "other", 5, g_out, 20, KS_SUCCESS, false},
        {"identity at the static buffer's end (508)", long_id.c_str(), 500, "ZAV-MACK", 8, g_out, 20, KS_SUCCESS, true},
        {"identity past it (509)", long_id.c_str(), 501, "ZAV-MACK", 8, g_out, 20, KS_SUCCESS, true},
        {"identity of 65536", long_id.c_str(), 65536, "ZAV-MACK", 8, g_out, 20, KS_SUCCESS, true},
    };
    for (const Shared &t : shareds) {
        rows.push_back({"ks_pac_shared_keys_t_prf", t.what, true,
                        [=] {
                            return ks_pac_shared_keys_t_prf(pac, 5, t.device, t.device_len, t.label, t.label_len, t.out,
                                                            t.out_len);
                        },
                        t.expect,
                        t.expect != KS_SUCCESS ? nullptr : Effect([t](const Snapshot &before, const Snapshot &after) {
                            EXPECT_TRUE(after.keys == before.keys);
                            EXPECT_EQ(after.cache.front().has_mack, t.cached);
                        })});
    }
    // The cache check takes anything: no entry or no record is a miss.
    aid_rows(rows, "ks_pac_check_cache_entry_for_shared_keys", false,
             [](const uint8_t *a, uint32_t n) {
                 return ks_pac_check_cache_entry_for_shared_keys(a, n, "ZAV-MACK", 8, g_out, 20);
             },
             [](Case &c, size_t) { c.expect = KS_UNKNOWN_FAILURE; }, KS_UNKNOWN_FAILURE, true);
    for (auto &r : rows)
        if (r.op == "ks_pac_check_cache_entry_for_shared_keys") r.traced = true;
    // A hit with nowhere to copy to is a miss, not a write through null.
    rows.push_back({"ks_pac_check_cache_entry_for_shared_keys", "null output on a cached ZAV-MACK", false,
                    [=] {
                        ks_pac_shared_keys_t_prf(pac, 5, "d", 1, "ZAV-MACK", 8, g_out, 20);
                        std::memset(g_out, 0xA5, sizeof g_out);
                        return ks_pac_check_cache_entry_for_shared_keys(pac, 5, "ZAV-MACK", 8, nullptr, 20);
                    },
                    KS_UNKNOWN_FAILURE,
                    [](const Snapshot &, const Snapshot &after) { EXPECT_TRUE(after.cache.front().has_mack); }, true,
                    KS_UNKNOWN_FAILURE});
    rows.push_back({"ks_pac_check_cache_entry_for_shared_keys", "null label", false,
                    [=] { return ks_pac_check_cache_entry_for_shared_keys(pac, 5, nullptr, 8, g_out, 20); },
                    KS_UNKNOWN_FAILURE, nullptr, true});

    // Lifetimes read as 0 on anything invalid (and on a standby).
    aid_rows(rows, "ks_valid_pac_exists", false, [](const uint8_t *a, uint32_t n) { return ks_valid_pac_exists(a, n); },
             [](Case &c, size_t) { c.expect = 0; }, 0, true);
    aid_rows(rows, "ks_get_pac_expiration", false,
             [](const uint8_t *a, uint32_t n) { return static_cast<int32_t>(ks_get_pac_expiration(a, n)); },
             [](Case &c, size_t) { c.expect = 0; }, 0, true);

    // Bulk clearing by identity: the sample PACs carry I-IDs "dev-<A-ID>"
    // and no lifetime.
    const auto cleared = [](bool keep_long) {
        return [keep_long](const Snapshot &before, const Snapshot &after) {
            Snapshot want = before;
            std::erase_if(want.keys, [&](const kstest::KeySnap &k) {
                return k.handle[0] == KS_KEY_TYPE_PAC && !(keep_long && k.handle.size() == 32);
            });
            want.cache.clear();
            EXPECT_TRUE(after == want) << kstest::diff(after, want);
        };
    };
    static const std::string own_id = "dev-" + std::string(KS_AID_MAX, 'P');
    const std::pair<const char *, const char *> ids[] = {
        {"null identity (clears all)", nullptr}, {"empty identity (clears all)", ""},
        {"the long PAC's identity", own_id.c_str()}, {"identity of 65536", long_id.c_str()}};
    for (const auto &[what, id] : ids) {
        const bool keep = id == own_id.c_str();
        rows.push_back({"ks_clear_old_pacs", what, true, [id] { return ks_clear_old_pacs(id); }, KS_SUCCESS,
                        cleared(keep)});
    }
    rows.push_back({"ks_clear_old_pacs_internal", "identity of 65536", false,
                    [] { return ks_clear_old_pacs_internal(long_id.c_str()); }, KS_SUCCESS,
                    [](const Snapshot &before, const Snapshot &after) {
                        // The cache is left alone here.
                        EXPECT_TRUE(after.cache == before.cache);
                        for (const auto &k : after.keys) EXPECT_NE(k.handle[0], KS_KEY_TYPE_PAC);
                    }});
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

// The structured show command with a reply the builder does not know: the
// first builder call fails, and the command returns without touching
// anything.
std::vector<Case> show_rows() {
    return {
        {"qel_ks_show_command", "unknown reply", false,
         [] {
             int32_t err = 0;
             qel_ks_show_command(0, 0, nullptr, &err);
             return err == 0 ? 0 : 1;
         },
         1},
    };
}

std::vector<Case> all_rows() {
    std::vector<Case> rows;
    for (auto family : {secret_rows, digest_rows, cipher_rows, mschap_rows, pac_rows, derive_rows, show_rows,
                         maintenance_rows}) {
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
                                            "registry_", "create_registry_", "ifs_", "reg_invoke_", "epa_", "hmac_",
                                            "A_RC4", "ks_ha_", "ks_rsa_", "ks_debug_"};
    for (const char *p : kPrefixes)
        if (name.rfind(p, 0) == 0) return true;
    static const std::set<std::string> kNames = {
        "ks_num_sym_keys", "ks_use_sw_ks", "ks_is_standby", "ks_rf_disabled", "ks_rf_do_peer_syncs", "ks_use_zav_ha",
        "ks_initialized", "aaa_lib_index", "ks_pac_cacheq", "ks_err_str", "ks_get_errormsg", "keystore_init",
        "ks_wait_on_keystore_init", "ks_use_sw_emulation", "ks_are_we_using_sw_emulation", "ks_set_standby_mode",
        "ks_disable_rf", "ks_set_zav_for_incr_sync", "ks_use_zav_for_incr_sync", "ks_is_hw_present",
        "ks_get_public_key", "ks_set_sw_storage_fs", "ks_pac_cache_purge", "ks_clear_all_pacs",
        "ks_show_command", "ks_clear_all_pacs_internal"};
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
