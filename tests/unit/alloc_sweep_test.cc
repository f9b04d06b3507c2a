// Allocation-failure sweep: every exported operation that allocates runs once
// per allocation it makes, with exactly that allocation failing. Each run
// must return the operation's failure status, leave the key table and the
// PAC cache as its row says (unchanged unless a purge or a cache removal had
// already been done), and hold no block beyond those the remaining state
// accounts for.
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
#include "ks_mschap_core.h"
#include "ossl_fault.h"
#include "ks_snapshot.h"
#include "pac_test_util.h"
#include "ks_test_util.h"

namespace {

using kstest::Bytes;
using kstest::handle_of;
using kstest::Snapshot;
using kstest::sw_store;

// One operation under the sweep.
struct Sweep {
    const char *op;                        // the exported name it covers
    const char *what;                      // the situation
    std::function<int32_t()> call;         // runs it once; releases what it hands out on success
    int32_t ok = KS_SUCCESS;               // status without a fault
    int32_t failed = KS_NO_MEMORY;         // status when an allocation fails
    std::function<void(Snapshot &)> leaves = nullptr;  // state before -> state a failure leaves
    std::function<void()> setup = nullptr;             // extra setup after the common one
    // Replaces the status/state check for operations where some failures
    // are absorbed or leave work done: gets the failing call's number and the
    // count of calls, its status, the state before and after, and the state a
    // run without faults leaves.
    std::function<void(const struct Run &)> check = nullptr;
};

struct Run {
    uint64_t k, n;
    int32_t status;
    const Snapshot &before, &after, &clean;
};

// Blocks the state accounts for: one per key entry, one per cache entry and
// one per derived record a cache entry owns.
uint64_t accounted_blocks(const Snapshot &s) {
    uint64_t n = s.keys.size();
    for (const auto &c : s.cache) n += 1 + c.has_derived + c.has_mack + c.has_kek;
    return n;
}

// The common keystore every row starts from: a few secrets with and without
// metadata, a group sharing a prefix, and the table filled to its slot
// capacity so that the next insert has to grow the slot array.
void populate() {
    kstest::reset_keystore();
    // Start from no slot array, so that every row sees the same capacity
    // and the same filled table, however far earlier rows grew it.
    tagged_free(ks_sym_keys);
    ks_sym_keys = nullptr;
    ks_sym_tab_size = 0;
    ASSERT_EQ(sw_store("alpha", "alpha-secret", "alpha-meta"), KS_SUCCESS);
    ASSERT_EQ(sw_store("beta", "beta-secret"), KS_SUCCESS);
    ASSERT_EQ(sw_store("grp1", "g1", "m1"), KS_SUCCESS);
    ASSERT_EQ(sw_store("grp2", "g2"), KS_SUCCESS);
    // Keys for the ciphers and MS-CHAPv2: a 5-byte handle puts the AES key
    // off a 4-byte boundary, so the AES operations have to copy it.
    ASSERT_EQ(sw_store("aesk", std::string(16, 'k')), KS_SUCCESS);
    ASSERT_EQ(sw_store("des", std::string(7, 'd')), KS_SUCCESS);
    ASSERT_EQ(sw_store("3des", std::string(21, 't')), KS_SUCCESS);
    ASSERT_EQ(sw_store("pw", "clientPass"), KS_SUCCESS);
    ASSERT_EQ(sw_store("pw2", "newPass"), KS_SUCCESS);
    // Two PACs, both cached.
    ASSERT_EQ(kstest::store(kstest::sample_pac("pac-a")), KS_SUCCESS);
    ASSERT_EQ(kstest::store(kstest::sample_pac(std::string(31, 'P'))), KS_SUCCESS);
    for (int i = 0; ks_num_sym_keys < ks_sym_tab_size; ++i)
        ASSERT_EQ(sw_store("fill" + std::to_string(i), "f"), KS_SUCCESS);
}

void free_caller_copy(void *p) {
    if (p != nullptr) tagged_free(p);
}

// Runs one row: once to count its allocations, then once per allocation.
void run_sweep(const Sweep &s) {
    SCOPED_TRACE(std::string(s.op) + ": " + s.what);
    auto prepare = [&] {
        populate();
        if (s.setup) s.setup();
        ksh_reset_recorders();
    };
    prepare();
    const uint64_t calls = ksh_alloc_calls();
    ASSERT_EQ(s.call(), s.ok);
    const uint64_t n = ksh_alloc_calls() - calls;
    ASSERT_GE(n, 1u) << "the operation no longer allocates here: fix the row";
    const Snapshot clean = kstest::snapshot();

    for (uint64_t k = 1; k <= n; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(n));
        prepare();
        const Snapshot before = kstest::snapshot();
        const uint64_t spare = kstest::library_live_blocks() - accounted_blocks(before);
        const uint64_t failed = ksh_alloc_failed_calls();
        ksh_alloc_fail_nth(k);
        const int32_t st = s.call();
        ksh_alloc_clear_faults();
        ASSERT_EQ(ksh_alloc_failed_calls(), failed + 1) << "the failure was not reached";
        const Snapshot after = kstest::snapshot();
        if (s.check) {
            s.check(Run{k, n, st, before, after, clean});
        } else {
            Snapshot expected = before;
            if (s.leaves) s.leaves(expected);
            EXPECT_EQ(st, s.failed) << ks_err_str(st);
            EXPECT_TRUE(after == expected) << kstest::diff(after, expected);
        }
        // Whatever the state now holds accounts for every block: nothing
        // leaked, nothing freed twice or left half-built.
        EXPECT_EQ(kstest::library_live_blocks() - accounted_blocks(after), spare);
    }
}

// ---- The rows --------------------------------------------------------------

Bytes H(const std::string &name) { return handle_of(1, name); }

// Expects the state of a failed call to be `want`, printing the difference otherwise.
void expect_state(const Snapshot &after, const Snapshot &want) {
    EXPECT_TRUE(after == want) << kstest::diff(after, want);
}


// A call that hands out a copy: released on success, left null on failure.
std::function<int32_t()> copy_call(std::function<int32_t(uint8_t **)> fn) {
    return [fn] {
        uint8_t *out = reinterpret_cast<uint8_t *>(&out);
        const int32_t st = fn(&out);
        if (st == KS_SUCCESS) free_caller_copy(out);
        else EXPECT_EQ(out, nullptr);
        return st;
    };
}

std::vector<Sweep> key_table_rows() {
    static uint8_t len8;
    static uint16_t len16;
    return {
        {"ks_sym_key_insert", "new key past the slot capacity",
         [] {
             Bytes h = H("newkey");
             return ks_sym_key_insert(h.data(), 7, h.data(), 7, nullptr, 0);
         }},
        {"ks_sw_store_sym_key", "re-store of a key with metadata",
         [] {
             Bytes h = H("alpha");
             return ks_sw_store_sym_key(h.data(), 6, nullptr, 0, h.data(), 6, h.data(), 6);
         }},
        {"ks_sw_store_sym_key", "store after a purge (the purge stays done)",
         [] {
             Bytes h = H("grp9"), p = H("grp");
             return ks_sw_store_sym_key(h.data(), 5, p.data(), 4, h.data(), 5, nullptr, 0);
         },
         KS_SUCCESS, KS_NO_MEMORY, [](Snapshot &s) { s.purge(H("grp")); }},
        {"ks_sw_add_sym_key_meta", "metadata that outgrows the entry",
         [] {
             Bytes h = H("alpha");
             return ks_sw_add_sym_key_meta(h.data(), 6, reinterpret_cast<const uint8_t *>("much longer metadata"), 20);
         }},
        {"ks_sw_add_meta_data", "metadata on a key without any",
         [] {
             Bytes h = H("beta");
             return ks_sw_add_meta_data(h.data(), 5, reinterpret_cast<const uint8_t *>("m"), 1);
         }},
        {"ks_sw_get_sym_key_meta", "copy of a key's metadata",
         copy_call([](uint8_t **o) { return ks_sw_get_sym_key_meta(H("alpha").data(), 6, o, &len16); })},
        {"ks_sw_get_meta_data", "copy of a key's metadata",
         copy_call([](uint8_t **o) { return ks_sw_get_meta_data(H("grp1").data(), 5, o, &len16); })},
        {"ks_sw_rename_key", "to a longer name over an existing key, after a purge",
         [] {
             Bytes o = H("alpha"), n = H("beta-longer"), p = H("grp");
             return ks_sw_rename_key(o.data(), 6, n.data(), 12, p.data(), 4);
         },
         KS_SUCCESS, KS_NO_MEMORY, [](Snapshot &s) { s.purge(H("grp")); },
         [] { ASSERT_EQ(sw_store("beta-longer", "replaced"), KS_SUCCESS); }},
        {"ks_sw_return_key_handle_by_index", "copy of the first handle",
         copy_call([](uint8_t **o) { return ks_sw_return_key_handle_by_index(0, o, &len8); })},
        {"ks_sw_generate_random_number", "printable characters",
         [] {
             uint8_t buf[40];
             return ks_sw_generate_random_number(buf, sizeof buf, 1);
         }},
        {"ks_sw_generate_random_number", "alphanumeric characters",
         [] {
             uint8_t buf[3];
             return ks_sw_generate_random_number(buf, sizeof buf, 2);
         }},
    };
}

std::vector<Sweep> secret_rows() {
    static const uint8_t kValue[] = "secret-value";
    static uint8_t *out;
    static uint16_t out_len;
    static uint16_t index;
    return {
        {"ks_store_secret_and_metadata", "new secret past the slot capacity",
         [] { return ks_store_secret_and_metadata("new", nullptr, kValue, 12, kValue, 5); }},
        {"ks_store_secret_and_metadata", "after its purge (the purge stays done)",
         [] { return ks_store_secret_and_metadata("grp9", "grp", kValue, 12, nullptr, 0); }, KS_SUCCESS,
         KS_NO_MEMORY, [](Snapshot &s) { s.purge(H("grp")); }},
        {"ks_add_metadata", "metadata that outgrows the entry",
         [] { return ks_add_metadata("beta", kValue, sizeof kValue); }},
        {"ks_return_metadata", "copy of the metadata",
         [] {
             out = reinterpret_cast<uint8_t *>(&out);
             out_len = 77;
             const int32_t st = ks_return_metadata("alpha", &out, &out_len);
             if (st == KS_SUCCESS) {
                 free_caller_copy(out);
             } else {
                 EXPECT_EQ(out, nullptr);
                 EXPECT_EQ(out_len, 0);
             }
             return st;
         }},
        // The purge prefix is allocated first: failing it changes nothing;
        // failing the grown entry afterwards leaves the purge done.
        {"ks_rename_secret", "to a longer name, with a purge name",
         [] { return ks_rename_secret("alpha", "alpha-renamed-longer", "grp"); }, KS_SUCCESS, KS_NO_MEMORY,
         nullptr, nullptr, [](const Run &r) {
             EXPECT_EQ(r.status, KS_NO_MEMORY);
             Snapshot want = r.before;
             if (r.k > 1) want.purge(H("grp"));
             expect_state(r.after, want);
         }},
        // With the hardware keystore selected the purge prefix is still
        // built here before the call goes to the hardware contract.
        {"ks_rename_secret", "hardware keystore, with a purge name",
         [] { return ks_rename_secret("alpha", "renamed", "grp"); }, KS_SUCCESS, KS_NO_MEMORY, nullptr,
         [] { ks_use_sw_ks = 0; }},
        {"ks_return_secret_handle_by_index", "first name",
         [] {
             index = 0;
             char *name = reinterpret_cast<char *>(&out);
             const int32_t st = ks_return_secret_handle_by_index(&index, &name);
             if (st == KS_SUCCESS) free_caller_copy(name);
             else EXPECT_EQ(index, 0);
             return st;
         }},
        {"ks_snmp_get_next_password", "walk over the whole table",
         [] {
             char buf[32] = "";
             return ks_snmp_get_next_password(buf, sizeof buf);
         },
         1, 0, nullptr, nullptr, [](const Run &r) {
             EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
             expect_state(r.after, r.before);
         }},
        {"ks_generate_random_number", "alphanumeric characters",
         [] {
             uint8_t buf[16];
             return ks_generate_random_number(buf, sizeof buf, 2);
         }},
    };
}

// A row for an operation whose only effect is on caller buffers: on failure
// they keep their filler bytes, and the keystore is unchanged.
// An operation whose failure is documented to zero its output (the MPPE
// master key) may leave zeros of the output's length instead.
Sweep output_row(const char *op, const char *what, std::function<int32_t(uint8_t *)> call,
                 std::function<void()> setup = nullptr, size_t zeroed_on_failure = 0) {
    return Sweep{op, what,
                 [call, zeroed_on_failure] {
                     static uint8_t out[1024];
                     std::memset(out, 0xA5, sizeof out);
                     const int32_t st = call(out);
                     if (st != KS_SUCCESS) {
                         const bool zeroed = zeroed_on_failure != 0 && st == KS_CRYPTO_ERR &&
                                             std::all_of(out, out + zeroed_on_failure, [](uint8_t b) { return b == 0; });
                         size_t written = 0;
                         for (size_t i = zeroed ? zeroed_on_failure : 0; i < sizeof out; ++i) written += out[i] != 0xA5;
                         EXPECT_EQ(written, 0u) << "an output was written by a failed call";
                     }
                     return st;
                 },
                 KS_SUCCESS, KS_NO_MEMORY, nullptr, setup};
}

Bytes handle(const char *name) { return H(name); }

const uint8_t kIn[64] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// The caller buffers of a cipher call live in the one output block: output
// at 0, IV at 512 (read and written).
std::vector<Sweep> cipher_rows() {
    return {
        output_row("ks_aes_encrypt", "copied key", [](uint8_t *o) { return ks_aes_encrypt("aesk", kIn, o, 32); }),
        output_row("ks_aes_decrypt", "copied key", [](uint8_t *o) { return ks_aes_decrypt("aesk", kIn, o, 16); }),
        output_row("ks_sw_aes", "copied key",
                   [](uint8_t *o) { return ks_sw_aes(handle("aesk").data(), 5, kIn, o, 48, 1); }),
        output_row("ks_aes_cbc_encrypt", "copied key",
                   [](uint8_t *o) { return ks_aes_cbc_encrypt("aesk", o + 512, kIn, 32, o); }),
        output_row("ks_aes_cbc_decrypt", "copied key",
                   [](uint8_t *o) { return ks_aes_cbc_decrypt("aesk", o + 512, kIn, 16, o); }),
        output_row("ks_sw_aes_cbc", "copied key",
                   [](uint8_t *o) { return ks_sw_aes_cbc(handle("aesk").data(), 5, o + 512, kIn, 16, o, 0); }),
        output_row("ks_des_ecb_encrypt", "key schedule",
                   [](uint8_t *o) { return ks_des_ecb_encrypt("des", kIn, 16, o, 16); }),
        output_row("ks_des_ecb_decrypt", "key schedule",
                   [](uint8_t *o) { return ks_des_ecb_decrypt("des", kIn, 8, o, 8); }),
        output_row("ks_sw_des_crypt", "key schedule",
                   [](uint8_t *o) { return ks_sw_des_crypt(handle("des").data(), 4, 1, kIn, 8, o, 8); }),
        output_row("ks_3des_ecb_encrypt", "key schedules",
                   [](uint8_t *o) { return ks_3des_ecb_encrypt("3des", kIn, 24, o, 24); }),
        output_row("ks_3des_ecb_decrypt", "key schedules",
                   [](uint8_t *o) { return ks_3des_ecb_decrypt("3des", kIn, 8, o, 8); }),
        output_row("ks_sw_3des_crypt", "key schedules",
                   [](uint8_t *o) { return ks_sw_3des_crypt(handle("3des").data(), 5, 0, kIn, 8, o, 8); }),
    };
}

// H(piece 1 || secret || piece 2) is computed over one concatenation buffer.
std::vector<Sweep> digest_rows() {
    return {
        output_row("ks_md5_hash", "concatenation", [](uint8_t *o) { return ks_md5_hash("beta", kIn, 4, kIn, 4, o); }),
        output_row("ks_sha1_hash", "concatenation",
                   [](uint8_t *o) { return ks_sha1_hash("beta", nullptr, 0, kIn, 9, o); }),
        output_row("ks_sw_hash", "concatenation",
                   [](uint8_t *o) { return ks_sw_hash(handle("beta").data(), 5, kIn, 3, nullptr, 0, o, 1); }),
    };
}

// MS-CHAPv2 and MPPE allocate only the NT work buffer, on first use; each
// row starts without it.
std::vector<Sweep> mschap_rows() {
    const auto fresh = [] { ks::nt_password_hash_release(); };
    static const uint8_t kNewPassword[] = "MyPw";
    return {
        output_row("ks_GenerateNTResponse", "first NT hash",
                   [](uint8_t *o) { return ks_GenerateNTResponse("pw", kIn, kIn + 16, "User", o); }, fresh),
        output_row("ks_sw_GenerateNTResponse", "first NT hash",
                   [](uint8_t *o) { return ks_sw_GenerateNTResponse(handle("pw").data(), 3, kIn, kIn + 16, "User", o); },
                   fresh),
        output_row("ks_GenerateAuthenticatorResponse", "first NT hash",
                   [](uint8_t *o) {
                       return ks_GenerateAuthenticatorResponse("pw", kIn, kIn + 16, kIn + 32, "User",
                                                               reinterpret_cast<char *>(o));
                   },
                   fresh),
        output_row("ks_sw_GenerateAuthenticatorResponse", "first NT hash",
                   [](uint8_t *o) {
                       return ks_sw_GenerateAuthenticatorResponse(handle("pw").data(), 3, kIn, kIn + 16, kIn + 32,
                                                                  "User", reinterpret_cast<char *>(o));
                   },
                   fresh),
        output_row("ks_NewPasswordEncryptedWithOldNtPasswordHash", "first NT hash",
                   [](uint8_t *o) { return ks_NewPasswordEncryptedWithOldNtPasswordHash("pw", kNewPassword, 4, o); },
                   fresh),
        output_row("ks_sw_NewPasswordEncryptedWithOldNtPasswordHash", "first NT hash",
                   [](uint8_t *o) {
                       return ks_sw_NewPasswordEncryptedWithOldNtPasswordHash(handle("pw").data(), 3, kNewPassword, 4,
                                                                              o);
                   },
                   fresh),
        output_row("ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash", "first NT hash",
                   [](uint8_t *o) { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("pw", "pw2", o); },
                   fresh),
        output_row("ks_sw_OldNtPasswordHashEncryptedWithNewNtPasswordHash", "first NT hash",
                   [](uint8_t *o) {
                       return ks_sw_OldNtPasswordHashEncryptedWithNewNtPasswordHash(handle("pw").data(), 3,
                                                                                    handle("pw2").data(), 4, o);
                   },
                   fresh),
        output_row("ks_GetMasterKey", "first NT hash", [](uint8_t *o) { return ks_GetMasterKey("pw", kIn, o); },
                   fresh, KS_MPPE_MASTER_KEY_LEN),
        output_row("ks_sw_GetMasterKey", "first NT hash",
                   [](uint8_t *o) { return ks_sw_GetMasterKey(handle("pw").data(), 3, kIn, o); }, fresh,
                   KS_MPPE_MASTER_KEY_LEN),
    };
}

std::vector<Sweep> pac_rows() {
    static uint8_t *out;
    static uint32_t out_len;
    static uint16_t index;
    using kstest::sample_pac;
    // A PAC copy handed to the caller: released on success, null on failure.
    const auto tlv_copy = [](auto fn, const std::string &aid) {
        return [fn, aid] {
            out = reinterpret_cast<uint8_t *>(&out);
            const int32_t st = fn(reinterpret_cast<const uint8_t *>(aid.data()), static_cast<uint32_t>(aid.size()),
                                  &out, &out_len);
            if (st == KS_SUCCESS) free_caller_copy(out);
            return st;
        };
    };
    // The load on a cache miss: reading the metadata or making the entry
    // fails the operation with nothing cached; failing the copy (the last
    // allocation) leaves the loaded entry cached.
    const auto after_load = [](const Run &r) {
        if (r.k == r.n) {
            EXPECT_EQ(r.status, KS_NO_MEMORY);
            expect_state(r.after, r.clean);
        } else {
            EXPECT_EQ(r.status, KS_UNKNOWN_FAILURE);
            expect_state(r.after, r.before);
        }
    };
    const auto purge_cache = [] { ks_pac_cache_purge(); };
    // A store whose cache entry cannot be made still succeeds: the PAC is
    // stored and the A-ID has no cache entry. Any other failure stores
    // nothing and keeps the old cache entry.
    const auto store_check = [](const std::string &aid) {
        return [aid](const Run &r) {
            if (r.status == KS_SUCCESS) {
                Snapshot want = r.clean;
                want.drop_cache(kstest::bytes(aid));
                expect_state(r.after, want);
                EXPECT_EQ(ksh_pac_event_count(), 1u) << "the host hears of the stored PAC";
            } else {
                EXPECT_EQ(r.status, KS_NO_MEMORY);
                expect_state(r.after, r.before);
                EXPECT_EQ(ksh_pac_event_count(), 0u) << "nothing stored, nobody told";
            }
        };
    };
    return {
        {"ks_store_pac", "new A-ID past the slot capacity", [] { return kstest::store(sample_pac("pac-new")); },
         KS_SUCCESS, KS_NO_MEMORY, nullptr, nullptr, store_check("pac-new")},
        {"ks_store_pac", "replacing a cached PAC", [] { return kstest::store(sample_pac("pac-a", 7)); }, KS_SUCCESS,
         KS_NO_MEMORY, nullptr, nullptr, store_check("pac-a")},
        {"ks_return_pac_opaque", "cache hit", tlv_copy(ks_return_pac_opaque, "pac-a")},
        {"ks_return_pac_info", "cache hit", tlv_copy(ks_return_pac_info, std::string(31, 'P'))},
        {"ks_return_pac_opaque", "load on a cache miss", tlv_copy(ks_return_pac_opaque, "pac-a"), KS_SUCCESS,
         KS_NO_MEMORY, nullptr, purge_cache, after_load},
        {"ks_return_pac_info", "load on a cache miss", tlv_copy(ks_return_pac_info, "pac-a"), KS_SUCCESS,
         KS_NO_MEMORY, nullptr, purge_cache, after_load},
        {"ks_return_aid_by_index", "walk from index 0 to the first PAC",
         [] {
             index = 0;
             out = reinterpret_cast<uint8_t *>(&out);
             const int32_t st = ks_return_aid_by_index(&index, &out, &out_len);
             if (st == KS_SUCCESS) free_caller_copy(out);
             else EXPECT_EQ(index, 0);
             return st;
         }},
        // A failed fetch ends the walk early: an answer from the keys seen so
        // far, never a crash or a leak.
        {"ks_snmp_get_next_pac", "walk over the whole table",
         [] {
             uint8_t next[16];
             uint8_t len = sizeof next;
             return ks_snmp_get_next_pac(nullptr, 0, next, &len);
         },
         1, 0, nullptr, nullptr, [](const Run &r) {
             EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
             expect_state(r.after, r.before);
         }},
    };
}

// A snapshot without the derived records of one A-ID's cache entry: what a
// derivation leaves when its record could not be allocated.
Snapshot without_derived(Snapshot s, const std::string &aid) {
    for (auto &c : s.cache) {
        if (c.aid != kstest::bytes(aid)) continue;
        c.has_derived = c.has_mack = c.has_kek = false;
        c.derived_out.clear(), c.derived_label.clear(), c.derived_seed.clear(), c.mack_out.clear(), c.kek_out.clear();
    }
    return s;
}

// Derivations: a failed record or cache load never fails the derivation
// (the result is delivered, uncached); a failed input buffer does.
std::vector<Sweep> derive_rows() {
    static uint8_t out[64];
    static const std::string big(600, 'L');
    const auto tprf = [](const std::string &aid) {
        return [aid] {
            std::memset(out, 0xA5, sizeof out);
            return ks_pac_key_t_prf(reinterpret_cast<const uint8_t *>(aid.data()), static_cast<uint32_t>(aid.size()),
                                    reinterpret_cast<const uint8_t *>("label"), 5, kIn, 32, out, 40);
        };
    };
    const auto shared = [](const char *label) {
        return [label] {
            std::memset(out, 0xA5, sizeof out);
            return ks_pac_shared_keys_t_prf(reinterpret_cast<const uint8_t *>("pac-a"), 5, "device", 6, label,
                                            static_cast<uint32_t>(std::strlen(label)), out, 20);
        };
    };
    // Delivered whatever failed: the output is the derivation's (computed
    // here straight from the stored PAC-Key), and the entry holds no new
    // record or, when the load failed, the cache has no entry for the A-ID.
    const auto absorbed = [](const char *label) {
        return [label](const Run &r) {
            EXPECT_EQ(r.status, KS_SUCCESS);
            const Bytes h = handle_of(KS_KEY_TYPE_PAC, "pac-a");
            uint8_t want[64];
            if (label == nullptr) {
                ASSERT_EQ(ks_sw_sym_key_t_prf(h.data(), 6, reinterpret_cast<const uint8_t *>("label"), 5, kIn, 32, want,
                                              40),
                          KS_SUCCESS);
                EXPECT_EQ(kstest::to_hex(out, 40), kstest::to_hex(want, 40));
            } else {
                Bytes input{0x01};
                input.insert(input.end(), label, label + std::strlen(label));
                for (uint8_t b : Bytes{0x00, 'd', 'e', 'v', 'i', 'c', 'e', 0x00, 0xA0}) input.push_back(b);
                ASSERT_EQ(ks_sw_hmac(h.data(), 6, input.data(), static_cast<uint32_t>(input.size()), want, 1),
                          KS_SUCCESS);
                EXPECT_EQ(kstest::to_hex(out, 20), kstest::to_hex(want, 20));
            }
            const Snapshot stripped = without_derived(r.clean, "pac-a");
            EXPECT_TRUE(r.after == stripped || r.after == without_derived(r.before, "pac-a"))
                << kstest::diff(r.after, stripped);
        };
    };
    const auto uncached = [] { ks_pac_cache_purge(); };
    return {
        {"ks_pac_key_t_prf", "result cached on a cached PAC", tprf("pac-a"), KS_SUCCESS, KS_NO_MEMORY, nullptr, nullptr,
         absorbed(nullptr)},
        {"ks_pac_key_t_prf", "result cached after a load", tprf("pac-a"), KS_SUCCESS, KS_NO_MEMORY, nullptr, uncached,
         absorbed(nullptr)},
        {"ks_pac_key_t_prf", "input past the static buffer",
         [] {
             std::memset(out, 0xA5, sizeof out);
             return ks_pac_key_t_prf(reinterpret_cast<const uint8_t *>("pac-a"), 5,
                                     reinterpret_cast<const uint8_t *>(big.data()), 600, kIn, 8, out, 20);
         },
         KS_SUCCESS, KS_NO_MEMORY, nullptr, nullptr, [](const Run &r) {
             // The input buffer is the first allocation: NO_MEMORY, nothing
             // written; a later one only loses the cache record.
             if (r.k == 1) {
                 EXPECT_EQ(r.status, KS_NO_MEMORY);
                 expect_state(r.after, r.before);
                 EXPECT_TRUE(std::all_of(out, out + sizeof out, [](uint8_t b) { return b == 0xA5; }));
             } else {
                 EXPECT_EQ(r.status, KS_SUCCESS);
                 expect_state(r.after, without_derived(r.clean, "pac-a"));
             }
         }},
        output_row("ks_sw_sym_key_t_prf", "input past the static buffer",
                   [](uint8_t *o) {
                       return ks_sw_sym_key_t_prf(handle("alpha").data(), 6, reinterpret_cast<const uint8_t *>(big.data()),
                                                  600, kIn, 8, o, 30);
                   }),
        {"ks_pac_shared_keys_t_prf", "ZAV-MACK cached", shared("ZAV-MACK"), KS_SUCCESS, KS_NO_MEMORY, nullptr, nullptr,
         absorbed("ZAV-MACK")},
        {"ks_pac_shared_keys_t_prf", "ZAV-KEK cached after a load", shared("ZAV-KEK"), KS_SUCCESS, KS_NO_MEMORY,
         nullptr, uncached, absorbed("ZAV-KEK")},
        {"ks_pac_shared_keys_t_prf", "input past the static buffer",
         [] {
             std::memset(out, 0xA5, sizeof out);
             return ks_pac_shared_keys_t_prf(reinterpret_cast<const uint8_t *>("pac-a"), 5, big.c_str(), 600,
                                             "ZAV-MACK", 8, out, 20);
         },
         KS_SUCCESS, KS_UNKNOWN_FAILURE, nullptr, nullptr, [](const Run &r) {
             if (r.k == 1) {
                 EXPECT_EQ(r.status, KS_UNKNOWN_FAILURE);
                 expect_state(r.after, r.before);
             } else {
                 EXPECT_EQ(r.status, KS_SUCCESS);
                 expect_state(r.after, without_derived(r.clean, "pac-a"));
             }
         }},
        // The lifetime queries read PAC-Info through the cache: a failure
        // reads as no value; a load that succeeded stays cached.
        {"ks_valid_pac_exists", "PAC-Info after a load",
         [] { return ks_valid_pac_exists(reinterpret_cast<const uint8_t *>("pac-a"), 5); }, 0, 0, nullptr, uncached,
         [](const Run &r) {
             EXPECT_EQ(r.status, 0);
             EXPECT_TRUE(r.after == r.before || r.after == r.clean) << kstest::diff(r.after, r.clean);
         }},
        {"ks_get_pac_expiration", "PAC-Info on a cache hit",
         [] { return static_cast<int32_t>(ks_get_pac_expiration(reinterpret_cast<const uint8_t *>("pac-a"), 5)); }, 0,
         0, nullptr, nullptr, [](const Run &r) {
             EXPECT_EQ(r.status, 0);
             expect_state(r.after, r.before);
         }},
    };
}

// The show commands copy each record's handle as they walk: a failed copy
// ends the walk with an error report; the keystore is untouched either way
// and every copy made is released.
std::vector<Sweep> show_rows() {
    const auto unchanged = [](const Run &r) { expect_state(r.after, r.before); };
    return {
        {"ks_show_command", "walk over every record", [] { return ks_show_command(), 0; }, 0, 0, nullptr, nullptr,
         unchanged},
        {"qel_ks_show_command", "structured walk over every record",
         [] {
             ksh_showmsg_reply *reply = ksh_showmsg_reply_new();
             int32_t err = 0;
             qel_ks_show_command(reinterpret_cast<uintptr_t>(reply), 0, reply, &err);
             // A failed copy becomes the last, unappended, element; every
             // appended one is a record read whole.
             for (size_t i = 0; i < ksh_showmsg_elem_count(reply); ++i) {
                 ksh_showmsg_elem_view v;
                 ksh_showmsg_elem_at(reply, i, &v);
                 EXPECT_EQ(v.valid, 1);
             }
             const int32_t appended = static_cast<int32_t>(ksh_showmsg_elem_count(reply));
             ksh_showmsg_reply_free(reply);
             return appended == ks_num_sym_keys ? 0 : 1;
         },
         0, 1, nullptr, nullptr, [](const Run &r) {
             EXPECT_EQ(r.status, 1) << "a failed copy must show as a shorter list";
             expect_state(r.after, r.before);
         }},
    };
}

// Every row family; each area's rows join here.
std::vector<Sweep> all_rows() {
    std::vector<Sweep> rows;
    for (auto family : {key_table_rows, secret_rows, digest_rows, cipher_rows, mschap_rows, pac_rows, derive_rows, show_rows}) {
        auto part = family();
        rows.insert(rows.end(), part.begin(), part.end());
    }
    return rows;
}

class AllocSweepTest : public kstest::KeystoreTest {};

TEST_F(AllocSweepTest, EveryAllocationOfEveryOperationFailsCleanly) {
    for (const Sweep &s : all_rows()) run_sweep(s);
}

// The operations that use libcrypto: keyed digests and HMACs, ciphers,
// MS-CHAPv2 and MPPE.
std::vector<Sweep> libcrypto_rows() {
    std::vector<Sweep> rows;
    for (auto family : {digest_rows, cipher_rows, mschap_rows}) {
        auto part = family();
        rows.insert(rows.end(), part.begin(), part.end());
    }
    rows.push_back(output_row("ks_hmac_md5", "HMAC", [](uint8_t *o) { return ks_hmac_md5("alpha", kIn, 64, o); }));
    rows.push_back(output_row("ks_hmac_sha1", "HMAC", [](uint8_t *o) { return ks_hmac_sha1("pw", kIn, 7, o); }));
    rows.push_back(output_row("ks_sw_hmac", "HMAC",
                              [](uint8_t *o) { return ks_sw_hmac(handle("beta").data(), 5, kIn, 9, o, 1); }));
    return rows;
}

// libcrypto's own allocations (contexts, fetched state) fail one at a time:
// an operation then fails closed (CRYPTO_ERR or NO_MEMORY with its output
// unwritten, or SUCCESS where a failure has no channel), leaks nothing and
// leaves the keystore alone.
TEST_F(AllocSweepTest, EveryLibcryptoAllocationFailureFailsClosed) {
    if (!kstest::ossl_faults_available()) GTEST_SKIP() << "libcrypto allocated before the fault hooks";
    for (const Sweep &s : libcrypto_rows()) {
        SCOPED_TRACE(std::string(s.op) + ": " + s.what);
        auto prepare = [&] {
            populate();
            if (s.setup) s.setup();
        };
        prepare();
        ASSERT_EQ(s.call(), s.ok);  // algorithms are fetched before any fault
        for (uint64_t n = 1;; ++n) {
            ASSERT_LT(n, 1000u);
            prepare();
            const Snapshot before = kstest::snapshot();
            const uint64_t spare = kstest::library_live_blocks() - accounted_blocks(before);
            const uint64_t failed = kstest::ossl_failed_allocations();
            kstest::ossl_fail_nth(n);
            const int32_t st = s.call();
            kstest::ossl_fail_nth(0);
            if (kstest::ossl_failed_allocations() == failed) break;  // fewer than n allocations
            SCOPED_TRACE("libcrypto allocation " + std::to_string(n));
            EXPECT_TRUE(st == KS_SUCCESS || st == KS_CRYPTO_ERR || st == KS_NO_MEMORY) << ks_err_str(st);
            expect_state(kstest::snapshot(), before);
            EXPECT_EQ(kstest::library_live_blocks() - accounted_blocks(before), spare);
        }
    }
}

// Exported operations that never allocate, and names that are data rather
// than operations. Every other exported name needs a row above, so a new
// operation cannot join the library without joining the sweep.
bool never_allocates(const std::string &name) {
    static const char *const kPrefixes[] = {
        "msg_KEYSTORE_",          // message definitions (data)
        "_registry_", "registry_", "create_registry_",  // registry blocks, accessors, creation
        "ks_ae46c1_",             // hardware contract stubs: report success, write nothing
        "ifs_",                   // thin file wrappers over the C library
        "reg_invoke_",            // hardware presence queries
        "epa_", "A_RC4",          // EPA chaining on a caller's key schedule; RC4 entry points that do no work
        "hmac_",                  // HMAC primitives: libcrypto contexts only
    };
    for (const char *p : kPrefixes)
        if (name.rfind(p, 0) == 0) return true;
    static const std::set<std::string> kNames = {
        // data
        "ks_sym_keys", "ks_num_sym_keys", "ks_sym_tab_size", "ks_use_sw_ks", "ks_is_standby", "ks_rf_disabled",
        "ks_rf_do_peer_syncs", "ks_use_zav_ha", "ks_initialized", "ks_debug_api", "ks_debug_ha", "ks_debug_ae46c1",
        "aaa_lib_index", "ks_sw_sym_key_fname", "ks_sw_rsa_key_fname", "ks_pac_cacheq",
        // table reads and removals
        "ks_sym_key_find", "ks_sym_key_prefix_purge", "ks_sw_key_exists", "ks_sw_delete_key",
        "ks_sw_delete_all_keys_by_type",
        // secret tests and removals, keyed HMACs (libcrypto contexts only)
        "ks_secret_exists", "ks_check_ha_consistency", "ks_clear_secret", "ks_snmp_password_exists",
        "keystore_return_wdc", "ks_hmac_md5", "ks_hmac_sha1", "ks_sw_hmac",
        // PAC tests and removals, the cache purge
        "ks_clear_pac", "ks_pac_exists", "ks_snmp_pac_exists", "ks_pac_cache_purge",
        // cache answers, the keep-or-remove test, the old-PAC and clear-all walks
        "ks_pac_check_cache_entry_for_shared_keys", "ks_sw_pac_still_valid", "ks_sw_delete_old_pacs",
        "ks_clear_old_pacs_internal", "ks_clear_old_pacs", "ks_clear_all_pacs_internal", "ks_clear_all_pacs",
        // status names, modes, start-up, storage location, hardware hooks
        "ks_err_str", "ks_get_errormsg", "keystore_init", "ks_wait_on_keystore_init", "ks_use_sw_emulation",
        "ks_are_we_using_sw_emulation", "ks_set_standby_mode", "ks_disable_rf", "ks_set_zav_for_incr_sync",
        "ks_use_zav_for_incr_sync", "ks_compact_fw_memory", "ks_return_fw_version_and_status", "ks_dump_eeprom",
        "ks_write_eeprom_byte", "ks_sw_init", "ks_sw_set_fs", "ks_set_sw_storage_fs", "ks_is_hw_present",
        "ks_ha_store_sym_key", "ks_ha_delete_key", "ks_rsa_store_key_and_cert", "ks_rsa_store_cert",
        "ks_rsa_get_cert", "ks_get_public_key", "ks_rsa_exp_d_mod_n", "ks_sw_rsa_exp_d_mod_n",
    };
    return kNames.count(name) != 0;
}

TEST(AllocSweepCoverage, EveryExportedNameIsSweptOrNeverAllocates) {
    std::set<std::string> swept;
    for (const Sweep &s : all_rows()) swept.insert(s.op);
    const std::string dir = std::string(KS_TEST_DATA_DIR) + "/abi/exports/";
    std::vector<std::string> missing;
    size_t names = 0;
    for (const auto &file : std::filesystem::directory_iterator(dir)) {
        if (file.path().extension() != ".txt") continue;
        std::ifstream in(file.path());
        ASSERT_TRUE(in) << file.path();
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line[0] == '#') continue;
            ++names;
            if (!swept.count(line) && !never_allocates(line)) missing.push_back(line);
        }
    }
    EXPECT_GT(names, 100u);
    for (const auto &m : missing) ADD_FAILURE() << m << " has no sweep row and is not listed as never allocating";
}

}  // namespace
