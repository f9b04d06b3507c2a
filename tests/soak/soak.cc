// SPDX-License-Identifier: Apache-2.0
// A long mixed load on a full keystore (2000 keys): stores and replaces with
// and without purge, every keyed operation, PAC stores, derivations that miss
// and hit the cache, expiry, both show commands and get-next walks. After the
// warm-up, at the end of every pass over the operations, the process's
// resident memory must stay within 1 MiB of its value after the warm-up, the
// platform's live blocks must be exactly those the keystore's contents
// account for, and the kernel's count of locked memory (VmLck) must be what
// the host's protected memory locked; with --all-locked, nothing it holds may
// be left unlocked (a lock limit that holds the whole keystore).
//   ks_soak [OPERATIONS] [--all-locked]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "keystore/keystore.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "keystore_host/showmsg.h"
#include "ks_pac_internal.h"
#include "ks_sw_key_state.h"

#if defined(__SANITIZE_ADDRESS__)
#define KS_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KS_SOAK_ASAN 1
#endif
#endif

namespace {

// Secrets come in three classes by value length, for AES and the digests,
// DES and triple DES; PACs fill the table.
constexpr uint32_t kClassLen[3] = {16, 7, 21};
constexpr uint32_t kPerClass = 633;
constexpr uint32_t kSecrets = 3 * kPerClass;
constexpr uint32_t kPacs = KS_MAX_KEYS - kSecrets;
constexpr uint32_t kAidLen = 7;
constexpr uint32_t kFuture = 0x7FFF0000, kPast = 1;  // PAC lifetimes
constexpr long kRssSlack = 1 << 20;
// Blocks the library keeps for the life of the process once used: the key
// table's slot array and the NT password hash work buffer.
constexpr uint64_t kKeptBlocks = 2;

std::string secret(uint32_t n, int cls) {
    char b[8];
    std::snprintf(b, sizeof b, "k%04u", 3 * (n % kPerClass) + static_cast<uint32_t>(cls));
    return b;
}
std::string aid(uint32_t n) {
    char b[kAidLen + 1];
    std::snprintf(b, sizeof b, "pac-%03u", n % kPacs);
    return b;
}
const uint8_t *u8(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }

int32_t store_secret(uint32_t n, int cls, bool purge) {
    const std::string name = secret(n, cls);
    uint8_t value[32];
    std::memset(value, static_cast<int>(n), sizeof value);
    const uint8_t meta[] = {1, 2, 3, 4, static_cast<uint8_t>(n)};
    return ks_store_secret_and_metadata(name.c_str(), purge ? name.c_str() : nullptr, value, kClassLen[cls], meta,
                                        sizeof meta);
}

int32_t store_pac(uint32_t n, uint32_t lifetime) {
    const std::string a = aid(n);
    uint8_t key[32];
    std::memset(key, static_cast<int>(n), sizeof key);
    const uint8_t opaque[] = {0, 2, 0, 3, 0xA1, 0xA2, static_cast<uint8_t>(n)};
    // A PAC-Info TLV: the lifetime (its 4 bytes written below) and the I-ID "sw-1".
    uint8_t info[] = {0, 9, 0, 16, 0, 3, 0, 4, 0, 0, 0, 0, 0, 5, 0, 4, 's', 'w', '-', '1'};
    for (int i = 0; i < 4; ++i) info[8 + i] = static_cast<uint8_t>(lifetime >> (24 - 8 * i));
    return ks_store_pac(u8(a), kAidLen, key, sizeof key, opaque, sizeof opaque, info, sizeof info);
}

// T-PRF with two seeds of this pass: two misses (the second replaces the
// first's cached result), then a hit.
bool t_prf(uint32_t n) {
    const std::string a = aid(n);
    const uint8_t label[] = "PAC to master session key";
    uint8_t seed[32] = {}, out[3][64];
    for (uint32_t k = 0; k < 3; ++k) {
        const uint32_t s = n + (k > 0);
        std::memcpy(seed, &s, sizeof s);
        if (ks_pac_key_t_prf(u8(a), kAidLen, label, sizeof label - 1, seed, sizeof seed, out[k], 64) != KS_SUCCESS)
            return false;
    }
    return std::memcmp(out[1], out[2], 64) == 0;
}

// A shared key derived at two lengths (the second replaces the first's cached
// result), then found in the cache.
bool shared_key(uint32_t n, const char *label) {
    const std::string a = aid(n);
    uint8_t out[20], cached[20];
    const uint32_t len = static_cast<uint32_t>(std::strlen(label));
    return ks_pac_shared_keys_t_prf(u8(a), kAidLen, "sw-1", 4, label, len, out, 16) == KS_SUCCESS &&
           ks_pac_shared_keys_t_prf(u8(a), kAidLen, "sw-1", 4, label, len, out, sizeof out) == KS_SUCCESS &&
           ks_pac_check_cache_entry_for_shared_keys(u8(a), kAidLen, label, len, cached, sizeof cached) == KS_SUCCESS &&
           std::memcmp(out, cached, sizeof out) == 0;
}

bool mschap(uint32_t n) {
    const std::string name = secret(n, 0);
    uint8_t challenge[16] = {static_cast<uint8_t>(n)}, peer[16] = {2}, response[24], master[16];
    char auth[KS_AUTH_RESPONSE_LEN + 1];
    return ks_GenerateNTResponse(name.c_str(), challenge, peer, "user", response) == KS_SUCCESS &&
           ks_GenerateAuthenticatorResponse(name.c_str(), response, peer, challenge, "user", auth) == KS_SUCCESS &&
           ks_GetMasterKey(name.c_str(), response, master) == KS_SUCCESS;
}

bool show_structured() {
    ksh_showmsg_reply *reply = ksh_showmsg_reply_new();
    int32_t err = -1;
    qel_ks_show_command(reinterpret_cast<uintptr_t>(reply), 0, reply, &err);
    const bool ok = err == 0 && ksh_showmsg_elem_count(reply) == KS_MAX_KEYS;
    ksh_showmsg_reply_free(reply);
    return ok;
}

// One step of each get-next walk, from a name or an index of this pass (the
// last secret and the last PAC have a successor).
bool walks(uint32_t n) {
    char name[32];
    std::snprintf(name, sizeof name, "%s", secret(n, 1).c_str());
    uint8_t next[32], len = sizeof next;
    const std::string a = aid(n % (kPacs - 1));
    uint16_t index = static_cast<uint16_t>(n % KS_MAX_KEYS), aid_index = index;
    char *found = nullptr;
    uint8_t *found_aid = nullptr;
    uint32_t aid_len = 0;
    const int32_t by_index[] = {ks_return_secret_handle_by_index(&index, &found),
                                ks_return_aid_by_index(&aid_index, &found_aid, &aid_len)};
    tagged_free(found), tagged_free(found_aid);
    for (int32_t st : by_index)
        if (st != KS_SUCCESS && st != KS_NO_MORE_RECORDS) return false;
    return ks_snmp_get_next_password(name, sizeof name) == 1 && ks_snmp_get_next_pac(u8(a), kAidLen, next, &len) == 1;
}

const uint8_t kData[64] = {0x5A};
uint8_t g_out[64];
uint8_t g_iv[16];

struct Op {
    const char *what;
    bool (*run)(uint32_t n);
    uint32_t every = 1;  // runs in every pass, or in every nth (the walks over all 2000 keys)
};

// A pass runs the rows in order, each on keys chosen by the pass number.
const Op kOps[] = {
    // The full table refuses a plain store, even of a name it holds; a purge
    // of the name makes room.
    {"store",
     [](uint32_t n) {
         return store_secret(n, n % 3, false) == KS_KEYSTORE_FULL &&
                ks_clear_secret(secret(n, n % 3).c_str()) == KS_SUCCESS && store_secret(n, n % 3, false) == KS_SUCCESS;
     }},
    {"store with purge", [](uint32_t n) { return store_secret(n + 1, (n + 1) % 3, true) == KS_SUCCESS; }},
    {"hmac-sha1", [](uint32_t n) { return ks_hmac_sha1(secret(n, 0).c_str(), kData, 64, g_out) == KS_SUCCESS; }},
    {"hmac-md5", [](uint32_t n) { return ks_hmac_md5(secret(n, 1).c_str(), kData, 64, g_out) == KS_SUCCESS; }},
    {"md5 keyed",
     [](uint32_t n) { return ks_md5_hash(secret(n, 2).c_str(), kData, 8, kData, 8, g_out) == KS_SUCCESS; }},
    {"sha1 keyed",
     [](uint32_t n) { return ks_sha1_hash(secret(n, 0).c_str(), kData, 8, nullptr, 0, g_out) == KS_SUCCESS; }},
    {"aes",
     [](uint32_t n) {
         return ks_aes_encrypt(secret(n, 0).c_str(), kData, g_out, 32) == KS_SUCCESS &&
                ks_aes_decrypt(secret(n, 0).c_str(), g_out, g_out, 32) == KS_SUCCESS;
     }},
    {"aes-cbc",
     [](uint32_t n) { return ks_aes_cbc_encrypt(secret(n, 0).c_str(), g_iv, kData, 32, g_out) == KS_SUCCESS; }},
    {"des", [](uint32_t n) { return ks_des_ecb_encrypt(secret(n, 1).c_str(), kData, 16, g_out, 16) == KS_SUCCESS; }},
    {"3des", [](uint32_t n) { return ks_3des_ecb_decrypt(secret(n, 2).c_str(), kData, 16, g_out, 16) == KS_SUCCESS; }},
    {"ms-chapv2 and mppe", mschap},
    // An expired PAC is removed, then stored again. Clearing old PACs empties
    // the cache: the rows after this one fill it again.
    {"expiry",
     [](uint32_t n) {
         return ks_clear_pac(u8(aid(n * 3)), kAidLen) == KS_SUCCESS && store_pac(n * 3, kPast) == KS_SUCCESS &&
                ks_clear_old_pacs("sw-1") == KS_SUCCESS && !ks_snmp_pac_exists(u8(aid(n * 3)), kAidLen) &&
                store_pac(n * 3, kFuture) == KS_SUCCESS;
     }},
    {"pac store",
     [](uint32_t n) {
         return ks_clear_pac(u8(aid(n * 7)), kAidLen) == KS_SUCCESS && store_pac(n * 7, kFuture) == KS_SUCCESS;
     }},
    {"t-prf miss and hit", t_prf},
    {"zav-mack", [](uint32_t n) { return shared_key(n, "ZAV-MACK"); }},
    {"zav-kek", [](uint32_t n) { return shared_key(n + 3, "ZAV-KEK"); }},
    {"pac copies",
     [](uint32_t n) {
         uint8_t *copy = nullptr;
         uint32_t len = 0;
         const bool ok = ks_return_pac_opaque(u8(aid(n)), kAidLen, &copy, &len) == KS_SUCCESS;
         tagged_free(copy);
         return ok;
     }},
    {"show text", [](uint32_t) { return ks_show_command(), true; }, 32},
    {"show structured", [](uint32_t) { return show_structured(); }, 32},
    {"get-next walks", walks, 4},
};

// A field of /proc/self/status in bytes (VmRSS, VmLck); -1 when unreadable.
long status_bytes(const char *field) {
    FILE *f = std::fopen("/proc/self/status", "r");
    char line[128], name[32];
    long kib = -1;
    while (f != nullptr && kib < 0 && std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "%31[^:]: %ld", name, &kib) != 2 || std::strcmp(name, field) != 0) kib = -1;
    if (f != nullptr) std::fclose(f);
    return kib < 0 ? -1 : kib * 1024;
}

// The key table's entries with its handle index and sorted orders, the
// crypto state of each key that holds one with the block that finds them, the
// cache entries with their derived records and the cache's index, and the
// blocks kept for the process.
uint64_t blocks_of_contents() {
    const auto states = static_cast<uint64_t>(ks::key_state_count());
    uint64_t n = kKeptBlocks + static_cast<uint64_t>(ks_num_sym_keys) + 2 * (ks_num_sym_keys != 0);
    n += states + (states != 0) + (ks_pac_cacheq[0] != nullptr);
    for (auto *e = static_cast<const pac_cache_entry *>(ks_pac_cacheq[0]); e != nullptr; e = e->link)
        n += 1 + (e->derived != nullptr) + (e->mack != nullptr) + (e->kek != nullptr);
    return n;
}

int fail(const char *what, uint64_t i) {
    std::fprintf(stderr, "soak: %s failed at operation %llu\n", what, static_cast<unsigned long long>(i));
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    const uint64_t ops = argc > 1 ? std::strtoull(argv[1], nullptr, 0) : 30000;
    const bool all_locked = argc > 2 && std::strcmp(argv[2], "--all-locked") == 0;
    ksh_protection_info prot{};
    // Warm-up: every row has met every secret of its class twice. Under the
    // sanitizer only the live blocks are checked, and they are exact from the
    // first pass on.
#ifdef KS_SOAK_ASAN
    const uint32_t warmup_passes = 1;
#else
    const uint32_t warmup_passes = 2 * kPerClass;
#endif
    ksh_platform_start();
    for (uint32_t k = 0; k < kSecrets; ++k)
        if (store_secret(k / 3, static_cast<int>(k % 3), false) != KS_SUCCESS) return fail("filling the table", k);
    for (uint32_t p = 0; p < kPacs; ++p)
        if (store_pac(p, kFuture) != KS_SUCCESS) return fail("filling the table", p);

    const auto start = std::chrono::steady_clock::now();
    uint64_t done = 0, warmup_ops = 0;
    long rss_after_warmup = 0, rss_max = 0;
    for (uint32_t n = 0; done < ops || n <= warmup_passes; ++n) {
        for (const Op &op : kOps) {
            if (n % op.every != 0) continue;
            if (!op.run(n)) return fail(op.what, done);
            ++done;
        }
        if (n < warmup_passes) continue;
        // The end of a pass after the warm-up: the table is full again.
        const long rss = status_bytes("VmRSS");
        if (rss_after_warmup == 0) rss_after_warmup = rss, warmup_ops = done;
        rss_max = rss > rss_max ? rss : rss_max;
        if (ks_num_sym_keys != KS_MAX_KEYS) return fail("keeping the table full", done);
        if (ksh_alloc_live_blocks() != blocks_of_contents()) {
            std::fprintf(stderr, "soak: %llu live blocks, the contents account for %llu\n",
                         static_cast<unsigned long long>(ksh_alloc_live_blocks()),
                         static_cast<unsigned long long>(blocks_of_contents()));
            return fail("the live-block check", done);
        }
#ifndef KS_SOAK_ASAN  // its allocator holds freed memory back: resident memory says nothing there
        if (rss - rss_after_warmup > kRssSlack) return fail("the resident-memory bound", done);
#endif
        ksh_alloc_protection_info(&prot);
        if (status_bytes("VmLck") != long(prot.locked) || (all_locked && prot.unlocked != 0)) {
            std::fprintf(stderr, "soak: VmLck %ld, protected memory locked %zu, unlocked %zu\n", status_bytes("VmLck"),
                         prot.locked, prot.unlocked);
            return fail("the locked-memory check", done);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "%llu operations in %.1f s; resident memory %.2f MB after the warm-up (%llu operations), "
        "at most %.2f MB after it; live blocks %llu, as the contents account for; locked %.2f MB, unlocked "
        "%.2f MB\n",
        static_cast<unsigned long long>(done), seconds, rss_after_warmup / 1e6,
        static_cast<unsigned long long>(warmup_ops), rss_max / 1e6,
        static_cast<unsigned long long>(ksh_alloc_live_blocks()), prot.locked / 1e6, prot.unlocked / 1e6);
    // With recording on (KSH_RECORD=1), the trace ring is full and counts
    // what it dropped.
    if (ksh_recording() != 0 && (ksh_trace_count() != ksh_recording() || ksh_trace_dropped() == 0))
        return fail("the bounded trace ring", done);
    return 0;
}
