// SPDX-License-Identifier: Apache-2.0
// How the cost of one call grows with the table: every exported operation
// that takes a name or an A-ID, or walks the table, with 1, 500, 1000 and 2000
// keys stored, the table filled once with secrets and once with PACs (every
// PAC cached). The keys an operation uses are stored last, after the fillers,
// so a scan from slot 0 would meet them last; fillers are stored in scrambled
// name order. Rows are named Scale/<operation>/<fill>/<keys>; a row whose
// operation visits every key by definition carries the label "linear", one
// that also removes keys one at a time (the PAC walks that tell the host of
// each removal) the label "removals".
// scripts/bench-scaling.py turns a run into the table of docs/performance.md.
//
// A call that changes the table puts it back in the same timed call (a store
// again after a clear, a rename there and back); a call that empties much of
// the table gets a fresh table, untimed, after each call, and runs a fixed
// number of times.
#include <benchmark/benchmark.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "keystore/ks_cipher.h"
#include "keystore/ks_digest.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_mschap.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_secret.h"
#include "keystore/ks_show.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/showmsg.h"

namespace {

enum class Fill { kSecrets, kPacs };

// The keys an operation uses, stored after the fillers.
enum Key : unsigned { kSecret = 1, kAes = 2, kDes = 4, k3Des = 8, kPw = 16, kPw2 = 32, kPac = 64 };

const uint8_t kValue[20] = {0x0b, 0x0b, 0x0b, 0x0b};
const uint8_t kMeta[9] = {'m', 'e', 't', 'a'};
const uint8_t kBigMeta[40] = {'b', 'i', 'g'};
const uint8_t kPacKey[32] = {0x5a};
const uint8_t kOpaque[] = {0, 2, 0, 4, 'o', 'p', 'q', 'e'};
// PAC-Info: I-ID "dev" and a PAC-Lifetime far ahead.
const uint8_t kInfo[] = {0, 9, 0, 15, 0, 5, 0, 3, 'd', 'e', 'v', 0, 3, 0, 4, 0x7F, 0xFF, 0xFF, 0x00};
const uint8_t kPacAid[] = {'p', 'a', 'c', '-', 't', 'a', 'r', 'g', 'e', 't'};
const uint8_t kTarget[] = {KS_KEY_TYPE_SECRET, 't', 'a', 'r', 'g', 'e', 't'};
const uint8_t kRenamed[] = {KS_KEY_TYPE_SECRET, 'z', 'z', '-', 'r', 'e', 'n', 'a', 'm', 'e', 'd'};
const uint8_t kPacHandle[] = {KS_KEY_TYPE_PAC, 'p', 'a', 'c', '-', 't', 'a', 'r', 'g', 'e', 't'};
const uint8_t kIn[64] = {1, 2, 3, 4, 5, 6, 7, 8};
const uint8_t kChallenge[16] = {0x5b, 0x5d, 0x7c, 0x7d};
const uint8_t kLabel[] = "PAC to session key";

int32_t store_secret(const char *name, const uint8_t *value, uint32_t len, const uint8_t *meta = nullptr,
                     uint32_t meta_len = 0) {
    return ks_store_secret_and_metadata(name, nullptr, value, len, meta, meta_len);
}

int32_t store_pac(const uint8_t *aid, uint32_t len) {
    return ks_store_pac(aid, len, kPacKey, sizeof kPacKey, kOpaque, sizeof kOpaque, kInfo, sizeof kInfo);
}

int32_t store_target() { return store_secret("target", kValue, sizeof kValue, kMeta, sizeof kMeta); }
int32_t store_target_pac() { return store_pac(kPacAid, sizeof kPacAid); }

// Empties the table and the cache, then stores `keys` keys: fillers of the
// fill's kind, then the operation's own keys.
void fill(int keys, Fill kind, unsigned own, unsigned adds = 0) {
    ks_pac_cache_purge();
    static const uint8_t kAny = 0;
    ks_sym_key_prefix_purge(&kAny, 0);
    ks_use_sw_ks = 1;
    ks_is_standby = 0;
    const int fillers = keys - std::popcount(own) - std::popcount(adds);
    for (int i = 0; i < fillers; ++i) {
        char name[16];
        const int n =
            std::snprintf(name, sizeof name, "%s-%05d", kind == Fill::kSecrets ? "key" : "aid", (i * 7919) % 10007);
        if (kind == Fill::kSecrets)
            store_secret(name, kValue, sizeof kValue);
        else
            store_pac(reinterpret_cast<const uint8_t *>(name), static_cast<uint32_t>(n));
    }
    if (own & kSecret) store_target();
    if (own & kAes) store_secret("aes", kValue, 16);
    if (own & kDes) store_secret("des", kValue, 7);
    if (own & k3Des) store_secret("3des", kValue, 21);
    if (own & kPw) store_secret("pw", reinterpret_cast<const uint8_t *>("clientPass"), 10);
    if (own & kPw2) store_secret("pw2", reinterpret_cast<const uint8_t *>("newPass"), 7);
    if (own & kPac) store_target_pac();
}

// The first status that is not KS_SUCCESS: the calls run in order (a braced
// list is evaluated left to right).
int32_t both(std::initializer_list<int32_t> statuses) {
    for (int32_t st : statuses)
        if (st != KS_SUCCESS) return st;
    return KS_SUCCESS;
}
int32_t yes(bool ok) { return ok ? KS_SUCCESS : KS_UNKNOWN_FAILURE; }

enum class Cost { kConstant, kLinear, kRemovals, kWalk };

struct Op {
    const char *name;
    unsigned keys;
    Cost cost;
    int32_t (*call)();
    bool refill = false;          // the call empties much of the table: a fresh one after each
    int32_t ok = KS_SUCCESS;      // what the call returns when it works
    void (*prepare)() = nullptr;  // after the fill, untimed
    unsigned adds = 0;            // keys the call stores and removes again (not stored by the fill)
};

// State carried from one call to the next by the get-next steps and the
// uncached derivations.
char g_name[KS_HANDLE_MAX];
uint8_t g_aid[16];
uint8_t g_aid_len;
uint32_t g_flip;

void start_walks() {
    g_name[0] = '\0';
    g_aid_len = 0;
}

void derive_once() {
    uint8_t out[20];
    const uint8_t seed[32] = {};
    ks_pac_key_t_prf(kPacAid, sizeof kPacAid, kLabel, sizeof kLabel - 1, seed, sizeof seed, out, sizeof out);
    ks_pac_shared_keys_t_prf(kPacAid, sizeof kPacAid, "dev", 3, "ZAV-MACK", 8, out, sizeof out);
}

int32_t grow_and_shrink(int32_t (*add)(const uint8_t *, uint32_t, const uint8_t *, uint32_t)) {
    return both(
        {add(kTarget, sizeof kTarget, kBigMeta, sizeof kBigMeta), add(kTarget, sizeof kTarget, kMeta, sizeof kMeta)});
}

// A call that hands the bytes stored under `key` to the caller, who frees them.
template <typename Len>
int32_t copy_out(int32_t (*read)(const uint8_t *, uint32_t, uint8_t **, Len *), const uint8_t *key, uint32_t key_len) {
    uint8_t *out = nullptr;
    Len len = 0;
    const int32_t st = read(key, key_len, &out, &len);
    tagged_free(out);
    return st;
}

// Scratch output and IV of the table's calls: a row checks the status, not the bytes.
uint8_t g_out[KS_PW_BLOCK_LEN];  // the largest output of a row
uint8_t g_iv[16];
const uint8_t kHAes[] = {KS_KEY_TYPE_SECRET, 'a', 'e', 's'};
const uint8_t kHDes[] = {KS_KEY_TYPE_SECRET, 'd', 'e', 's'};
const uint8_t kH3des[] = {KS_KEY_TYPE_SECRET, '3', 'd', 'e', 's'};
const uint8_t kHPw[] = {KS_KEY_TYPE_SECRET, 'p', 'w'};

const Op kOps[] = {
    // Secrets by name.
    {"ks_secret_exists", kSecret, Cost::kConstant,
     [] {
         int32_t e = 0;
         return both({ks_secret_exists("target", &e), yes(e == 1)});
     }},
    {"ks_check_ha_consistency", kSecret, Cost::kConstant,
     [] {
         int32_t e = 0;
         return ks_check_ha_consistency("target", &e);
     }},
    {"ks_snmp_password_exists", kSecret, Cost::kConstant, [] { return ks_snmp_password_exists("target"); }, false, 1},
    {"ks_store_secret_and_metadata (+ clear)", 0, Cost::kConstant,
     [] {
         return both({store_target(), ks_clear_secret("target")});
     },
     false, KS_SUCCESS, nullptr, kSecret},
    {"ks_store_secret_and_metadata (purge name)", kSecret, Cost::kLinear,
     [] { return ks_store_secret_and_metadata("target", "target", kValue, sizeof kValue, kMeta, sizeof kMeta); }},
    {"ks_add_metadata (grow, shrink)", kSecret, Cost::kConstant,
     [] {
         return both(
             {ks_add_metadata("target", kBigMeta, sizeof kBigMeta), ks_add_metadata("target", kMeta, sizeof kMeta)});
     }},
    {"ks_return_metadata", kSecret, Cost::kConstant,
     [] {
         uint8_t *meta = nullptr;
         uint16_t len = 0;
         const int32_t st = ks_return_metadata("target", &meta, &len);
         tagged_free(meta);
         return st;
     }},
    {"ks_clear_secret (+ store)", kSecret, Cost::kConstant,
     [] {
         return both({ks_clear_secret("target"), store_target()});
     }},
    {"ks_rename_secret (there, back)", kSecret, Cost::kConstant,
     [] {
         return both(
             {ks_rename_secret("target", "zz-renamed", nullptr), ks_rename_secret("zz-renamed", "target", nullptr)});
     }},
    {"ks_return_secret_handle_by_index (all)", kSecret, Cost::kLinear,
     [] {
         uint16_t index = 0;
         char *name = nullptr;
         int32_t st;
         while ((st = ks_return_secret_handle_by_index(&index, &name)) == KS_SUCCESS) tagged_free(name);
         return st;
     },
     false, KS_NO_MORE_RECORDS},
    {"ks_snmp_get_next_password (step)", kSecret, Cost::kConstant,
     []() -> int32_t {
         if (ks_snmp_get_next_password(g_name, sizeof g_name) == 0) g_name[0] = '\0';
         return KS_SUCCESS;
     },
     false, KS_SUCCESS, start_walks},
    {"ks_snmp_get_next_password (walk)", kSecret, Cost::kWalk,
     [] {
         char name[KS_HANDLE_MAX] = "";
         int steps = 0;
         while (ks_snmp_get_next_password(name, sizeof name) == 1) ++steps;
         return yes(steps > 0);
     }},
    {"keystore_return_wdc", 0, Cost::kConstant,
     [] {
         uint8_t *data = nullptr;
         uint16_t len = 0;
         return keystore_return_wdc("target", &data, &len);
     }},

    // The key table by handle.
    {"ks_sym_key_find", kSecret, Cost::kConstant, [] { return yes(ks_sym_key_find(kTarget, sizeof kTarget) >= 0); }},
    {"ks_sym_key_insert (+ delete)", 0, Cost::kConstant,
     [] {
         return both({ks_sym_key_insert(kTarget, sizeof kTarget, kValue, sizeof kValue, kMeta, sizeof kMeta),
                      ks_sw_delete_key(kTarget, sizeof kTarget)});
     },
     false, KS_SUCCESS, nullptr, kSecret},
    {"ks_sym_key_prefix_purge (+ store)", kSecret, Cost::kLinear,
     [] {
         return both({yes(ks_sym_key_prefix_purge(kTarget, sizeof kTarget) == 1), store_target()});
     }},
    {"ks_sw_store_sym_key (+ delete)", 0, Cost::kConstant,
     [] {
         return both(
             {ks_sw_store_sym_key(kTarget, sizeof kTarget, nullptr, 0, kValue, sizeof kValue, kMeta, sizeof kMeta),
              ks_sw_delete_key(kTarget, sizeof kTarget)});
     },
     false, KS_SUCCESS, nullptr, kSecret},
    {"ks_sw_store_sym_key (purge prefix)", kSecret, Cost::kLinear,
     [] {
         return ks_sw_store_sym_key(kTarget, sizeof kTarget, kTarget, sizeof kTarget, kValue, sizeof kValue, kMeta,
                                    sizeof kMeta);
     }},
    {"ks_sw_key_exists", kSecret, Cost::kConstant,
     [] {
         int32_t e = 0;
         return both({ks_sw_key_exists(kTarget, sizeof kTarget, &e), yes(e == 1)});
     }},
    {"ks_sw_delete_key (+ store)", kSecret, Cost::kConstant,
     [] {
         return both({ks_sw_delete_key(kTarget, sizeof kTarget), store_target()});
     }},
    {"ks_sw_return_key_handle_by_index (last)", kSecret, Cost::kConstant,
     [] {
         uint8_t *copy = nullptr;
         uint8_t len = 0;
         const int32_t st = ks_sw_return_key_handle_by_index(ks_num_sym_keys - 1, &copy, &len);
         tagged_free(copy);
         return st;
     }},
    {"ks_sw_add_sym_key_meta (grow, shrink)", kSecret, Cost::kConstant,
     [] { return grow_and_shrink(ks_sw_add_sym_key_meta); }},
    {"ks_sw_add_meta_data (grow, shrink)", kSecret, Cost::kConstant,
     [] { return grow_and_shrink(ks_sw_add_meta_data); }},
    {"ks_sw_get_sym_key_meta", kSecret, Cost::kConstant,
     [] { return copy_out(ks_sw_get_sym_key_meta, kTarget, sizeof kTarget); }},
    {"ks_sw_get_meta_data", kSecret, Cost::kConstant,
     [] { return copy_out(ks_sw_get_meta_data, kTarget, sizeof kTarget); }},
    {"ks_sw_rename_key (there, back)", kSecret, Cost::kConstant,
     [] {
         return both({ks_sw_rename_key(kTarget, sizeof kTarget, kRenamed, sizeof kRenamed, nullptr, 0),
                      ks_sw_rename_key(kRenamed, sizeof kRenamed, kTarget, sizeof kTarget, nullptr, 0)});
     }},
    {"ks_sw_delete_all_keys_by_type (secrets)", kSecret | kPac, Cost::kLinear,
     [] { return ks_sw_delete_all_keys_by_type(KS_KEY_TYPE_SECRET); }, true},
    {"ks_sw_delete_all_keys_by_type (PACs)", kSecret | kPac, Cost::kRemovals,
     [] { return ks_sw_delete_all_keys_by_type(KS_KEY_TYPE_PAC); }, true},

    // Keyed digests, ciphers and MS-CHAPv2 with a stored key.
    {"ks_hmac_md5", kSecret, Cost::kConstant, [] { return ks_hmac_md5("target", kIn, sizeof kIn, g_out); }},
    {"ks_hmac_sha1", kSecret, Cost::kConstant, [] { return ks_hmac_sha1("target", kIn, sizeof kIn, g_out); }},
    {"ks_md5_hash", kSecret, Cost::kConstant, [] { return ks_md5_hash("target", kIn, 32, kIn + 32, 32, g_out); }},
    {"ks_sha1_hash", kSecret, Cost::kConstant, [] { return ks_sha1_hash("target", kIn, 32, kIn + 32, 32, g_out); }},
    {"ks_sw_hmac", kSecret, Cost::kConstant,
     [] { return ks_sw_hmac(kTarget, sizeof kTarget, kIn, sizeof kIn, g_out, 1); }},
    {"ks_sw_hash", kSecret, Cost::kConstant,
     [] { return ks_sw_hash(kTarget, sizeof kTarget, kIn, 32, kIn + 32, 32, g_out, 1); }},
    {"ks_aes_encrypt", kAes, Cost::kConstant, [] { return ks_aes_encrypt("aes", kIn, g_out, 16); }},
    {"ks_aes_decrypt", kAes, Cost::kConstant, [] { return ks_aes_decrypt("aes", kIn, g_out, 16); }},
    {"ks_aes_cbc_encrypt", kAes, Cost::kConstant, [] { return ks_aes_cbc_encrypt("aes", g_iv, kIn, 32, g_out); }},
    {"ks_aes_cbc_decrypt", kAes, Cost::kConstant, [] { return ks_aes_cbc_decrypt("aes", g_iv, kIn, 32, g_out); }},
    {"ks_des_ecb_encrypt", kDes, Cost::kConstant, [] { return ks_des_ecb_encrypt("des", kIn, 16, g_out, 16); }},
    {"ks_des_ecb_decrypt", kDes, Cost::kConstant, [] { return ks_des_ecb_decrypt("des", kIn, 16, g_out, 16); }},
    {"ks_3des_ecb_encrypt", k3Des, Cost::kConstant, [] { return ks_3des_ecb_encrypt("3des", kIn, 16, g_out, 16); }},
    {"ks_3des_ecb_decrypt", k3Des, Cost::kConstant, [] { return ks_3des_ecb_decrypt("3des", kIn, 16, g_out, 16); }},
    {"ks_sw_aes", kAes, Cost::kConstant, [] { return ks_sw_aes(kHAes, sizeof kHAes, kIn, g_out, 16, 1); }},
    {"ks_sw_aes_cbc", kAes, Cost::kConstant,
     [] { return ks_sw_aes_cbc(kHAes, sizeof kHAes, g_iv, kIn, 32, g_out, 1); }},
    {"ks_sw_des_crypt", kDes, Cost::kConstant,
     [] { return ks_sw_des_crypt(kHDes, sizeof kHDes, 1, kIn, 16, g_out, 16); }},
    {"ks_sw_3des_crypt", k3Des, Cost::kConstant,
     [] { return ks_sw_3des_crypt(kH3des, sizeof kH3des, 1, kIn, 16, g_out, 16); }},
    {"ks_GenerateNTResponse", kPw, Cost::kConstant,
     [] { return ks_GenerateNTResponse("pw", kChallenge, kChallenge, "User", g_out); }},
    {"ks_GenerateAuthenticatorResponse", kPw, Cost::kConstant,
     [] {
         char out[64];
         return ks_GenerateAuthenticatorResponse("pw", kIn, kChallenge, kChallenge, "User", out);
     }},
    {"ks_NewPasswordEncryptedWithOldNtPasswordHash", kPw, Cost::kConstant,
     [] {
         return ks_NewPasswordEncryptedWithOldNtPasswordHash("pw", reinterpret_cast<const uint8_t *>("newPass"), 7,
                                                             g_out);
     }},
    {"ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash", kPw | kPw2, Cost::kConstant,
     [] { return ks_OldNtPasswordHashEncryptedWithNewNtPasswordHash("pw", "pw2", g_out); }},
    {"ks_GetMasterKey", kPw, Cost::kConstant, [] { return ks_GetMasterKey("pw", kIn, g_out); }},
    {"ks_sw_GenerateNTResponse", kPw, Cost::kConstant,
     [] { return ks_sw_GenerateNTResponse(kHPw, sizeof kHPw, kChallenge, kChallenge, "User", g_out); }},
    {"ks_sw_GenerateAuthenticatorResponse", kPw, Cost::kConstant,
     [] {
         char out[64];
         return ks_sw_GenerateAuthenticatorResponse(kHPw, sizeof kHPw, kIn, kChallenge, kChallenge, "User", out);
     }},
    {"ks_sw_NewPasswordEncryptedWithOldNtPasswordHash", kPw, Cost::kConstant,
     [] {
         return ks_sw_NewPasswordEncryptedWithOldNtPasswordHash(kHPw, sizeof kHPw,
                                                                reinterpret_cast<const uint8_t *>("newPass"), 7, g_out);
     }},
    {"ks_sw_OldNtPasswordHashEncryptedWithNewNtPasswordHash", kPw | kPw2, Cost::kConstant,
     [] {
         const uint8_t h2[] = {KS_KEY_TYPE_SECRET, 'p', 'w', '2'};
         return ks_sw_OldNtPasswordHashEncryptedWithNewNtPasswordHash(kHPw, sizeof kHPw, h2, sizeof h2, g_out);
     }},
    {"ks_sw_GetMasterKey", kPw, Cost::kConstant, [] { return ks_sw_GetMasterKey(kHPw, sizeof kHPw, kIn, g_out); }},

    // PACs by A-ID.
    {"ks_store_pac (+ clear)", 0, Cost::kConstant,
     [] {
         return both({store_target_pac(), ks_clear_pac(kPacAid, sizeof kPacAid)});
     },
     false, KS_SUCCESS, nullptr, kPac},
    {"ks_clear_pac (+ store)", kPac, Cost::kConstant,
     [] {
         return both({ks_clear_pac(kPacAid, sizeof kPacAid), store_target_pac()});
     }},
    {"ks_pac_exists", kPac, Cost::kConstant,
     [] {
         int32_t e = 0;
         return both({ks_pac_exists(kPacAid, sizeof kPacAid, &e), yes(e == 1)});
     }},
    {"ks_snmp_pac_exists", kPac, Cost::kConstant, [] { return ks_snmp_pac_exists(kPacAid, sizeof kPacAid); }, false, 1},
    {"ks_return_aid_by_index (all)", kPac, Cost::kLinear,
     [] {
         uint16_t index = 0;
         uint8_t *aid = nullptr;
         uint32_t len = 0;
         int32_t st;
         while ((st = ks_return_aid_by_index(&index, &aid, &len)) == KS_SUCCESS) tagged_free(aid);
         return st;
     },
     false, KS_NO_MORE_RECORDS},
    {"ks_snmp_get_next_pac (step)", kPac, Cost::kConstant,
     []() -> int32_t {
         uint8_t next[16];
         uint8_t len = sizeof next;
         if (ks_snmp_get_next_pac(g_aid, g_aid_len, next, &len) == 1) {
             std::memcpy(g_aid, next, len);
             g_aid_len = len;
         } else {
             g_aid_len = 0;
         }
         return KS_SUCCESS;
     },
     false, KS_SUCCESS, start_walks},
    {"ks_snmp_get_next_pac (walk)", kPac, Cost::kWalk,
     [] {
         uint8_t aid[16], next[16];
         uint8_t aid_len = 0, len = sizeof next;
         int steps = 0;
         for (; ks_snmp_get_next_pac(aid, aid_len, next, &len) == 1; ++steps, len = sizeof next) {
             std::memcpy(aid, next, len);
             aid_len = len;
         }
         return yes(steps > 0);
     }},
    {"ks_pac_cache_purge", kPac, Cost::kLinear,
     []() -> int32_t {
         ks_pac_cache_purge();
         return KS_SUCCESS;
     },
     true},
    {"ks_return_pac_opaque", kPac, Cost::kConstant,
     [] { return copy_out(ks_return_pac_opaque, kPacAid, sizeof kPacAid); }},
    {"ks_return_pac_info", kPac, Cost::kConstant, [] { return copy_out(ks_return_pac_info, kPacAid, sizeof kPacAid); }},
    {"ks_sw_sym_key_t_prf", kPac, Cost::kConstant,
     [] { return ks_sw_sym_key_t_prf(kPacHandle, sizeof kPacHandle, kLabel, sizeof kLabel - 1, kIn, 32, g_out, 20); }},
    {"ks_pac_key_t_prf (cached)", kPac, Cost::kConstant,
     [] {
         uint8_t out[20];
         const uint8_t seed[32] = {};
         return ks_pac_key_t_prf(kPacAid, sizeof kPacAid, kLabel, sizeof kLabel - 1, seed, sizeof seed, out,
                                 sizeof out);
     },
     false, KS_SUCCESS, derive_once},
    {"ks_pac_key_t_prf (not cached)", kPac, Cost::kConstant,
     [] {
         uint8_t out[20];
         uint8_t seed[32] = {static_cast<uint8_t>(++g_flip & 1)};
         return ks_pac_key_t_prf(kPacAid, sizeof kPacAid, kLabel, sizeof kLabel - 1, seed, sizeof seed, out,
                                 sizeof out);
     }},
    {"ks_pac_check_cache_entry_for_shared_keys", kPac, Cost::kConstant,
     [] { return ks_pac_check_cache_entry_for_shared_keys(kPacAid, sizeof kPacAid, "ZAV-MACK", 8, g_out, 20); }, false,
     KS_SUCCESS, derive_once},
    {"ks_pac_shared_keys_t_prf (cached)", kPac, Cost::kConstant,
     [] { return ks_pac_shared_keys_t_prf(kPacAid, sizeof kPacAid, "dev", 3, "ZAV-MACK", 8, g_out, 20); }, false,
     KS_SUCCESS, derive_once},
    {"ks_pac_shared_keys_t_prf (not cached)", kPac, Cost::kConstant,
     [] {
         return ks_pac_shared_keys_t_prf(kPacAid, sizeof kPacAid, "dev", 3, "ZAV-KEK", 7, g_out,
                                         16 + 4 * (++g_flip & 1));
     }},
    {"ks_valid_pac_exists", kPac, Cost::kConstant, [] { return ks_valid_pac_exists(kPacAid, sizeof kPacAid); }, false,
     1},
    {"ks_get_pac_expiration", kPac, Cost::kConstant,
     [] { return yes(ks_get_pac_expiration(kPacAid, sizeof kPacAid) == 0x7FFFFF00u); }},
    {"ks_sw_delete_old_pacs (keep all)", kPac, Cost::kLinear, [] { return ks_sw_delete_old_pacs("dev"); }},
    {"ks_sw_delete_old_pacs (remove all)", kPac, Cost::kRemovals, [] { return ks_sw_delete_old_pacs("other"); }, true},
    {"ks_clear_old_pacs_internal (keep all)", kPac, Cost::kLinear, [] { return ks_clear_old_pacs_internal("dev"); }},
    {"ks_clear_old_pacs_internal (remove all)", kPac, Cost::kRemovals,
     [] { return ks_clear_old_pacs_internal("other"); }, true},
    {"ks_clear_old_pacs (keep all)", kPac, Cost::kLinear, [] { return ks_clear_old_pacs("dev"); }, true},
    {"ks_clear_old_pacs (remove all)", kPac, Cost::kRemovals, [] { return ks_clear_old_pacs("other"); }, true},
    {"ks_clear_all_pacs_internal", kPac, Cost::kRemovals, [] { return ks_clear_all_pacs_internal(); }, true},
    {"ks_clear_all_pacs", kPac, Cost::kRemovals, [] { return ks_clear_all_pacs(); }, true},

    // The show commands list every record.
    {"ks_show_command", kPac, Cost::kLinear,
     []() -> int32_t {
         ks_show_command();
         return KS_SUCCESS;
     }},
    {"qel_ks_show_command", kPac, Cost::kLinear,
     [] {
         ksh_showmsg_reply *reply = ksh_showmsg_reply_new();
         int32_t err = -1;
         qel_ks_show_command(reinterpret_cast<uintptr_t>(reply), 0, reply, &err);
         ksh_showmsg_reply_free(reply);
         return yes(err == 0);
     }},
};

void run(benchmark::State &state, const Op &op, Fill kind, int keys) {
    fill(keys, kind, op.keys, op.adds);
    if (op.prepare) op.prepare();
    // Once untimed, so that a call that no longer works fails the row.
    if (const int32_t st = op.call(); st != op.ok) {
        state.SkipWithError(("unexpected status " + std::to_string(st)).c_str());
        return;
    }
    if (op.refill) fill(keys, kind, op.keys, op.adds);
    for (auto _ : state) {
        benchmark::DoNotOptimize(op.call());
        if (op.refill) {
            state.PauseTiming();
            fill(keys, kind, op.keys, op.adds);
            state.ResumeTiming();
        }
    }
    if (op.cost != Cost::kConstant)
        state.SetLabel(op.cost == Cost::kLinear ? "linear" : op.cost == Cost::kRemovals ? "removals" : "walk");
    fill(0, kind, 0);
}

[[maybe_unused]] const bool kRegistered = [] {
    for (const Op &op : kOps) {
        for (Fill kind : {Fill::kSecrets, Fill::kPacs}) {
            for (int keys : {1, 500, 1000, 2000}) {
                const std::string name = std::string("Scale/") + op.name +
                                         (kind == Fill::kSecrets ? "/secrets/" : "/pacs/") + std::to_string(keys);
                auto *b = benchmark::RegisterBenchmark(
                    name.c_str(), [&op, kind, keys](benchmark::State &s) { run(s, op, kind, keys); });
                b->Unit(benchmark::kMicrosecond);
                if (op.refill) b->Iterations(keys >= 500 ? 8 : 200);
            }
        }
    }
    return true;
}();

}  // namespace
