// SPDX-License-Identifier: Apache-2.0
// The keyed operations through the exported entry points, with 1, 1000 and
// 2000 keys stored and the key used stored first or last. Rows are named
// BM_<operation>/<keys>/<position>, position 0 first and 1 last; with one key
// both are the same. scripts/bench-ratios.py turns a run into the goal ratios.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "keystore/ks_cipher.h"
#include "keystore/ks_digest.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_mschap.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore_host/host.h"

namespace {

constexpr size_t kMessage = 64;

// Empties the table, then stores `keys` keys, `target` (type 1, the given
// name and value) first or last and numbered filler keys around it.
void fill(int keys, bool last, const char *target, const uint8_t *value, uint32_t value_len,
          uint8_t target_type = KS_KEY_TYPE_SECRET, const uint8_t *meta = nullptr, uint32_t meta_len = 0) {
    static const uint8_t kAny = 0;
    ks_sym_key_prefix_purge(&kAny, 0);
    ks_use_sw_ks = 1;
    ks_is_standby = 0;
    auto store_target = [&] {
        uint8_t h[32];
        size_t n = std::strlen(target);
        h[0] = target_type;
        std::memcpy(h + 1, target, n);
        ks_sw_store_sym_key(h, static_cast<uint32_t>(n + 1), nullptr, 0, value, value_len, meta, meta_len);
    };
    if (!last) store_target();
    for (int i = 0; i < keys - 1; ++i) {
        char name[16];
        int n = std::snprintf(name, sizeof name, "filler%04d", i);
        uint8_t h[32];
        h[0] = KS_KEY_TYPE_SECRET;
        std::memcpy(h + 1, name, static_cast<size_t>(n));
        uint8_t v[20] = {static_cast<uint8_t>(i)};
        ks_sw_store_sym_key(h, static_cast<uint32_t>(n + 1), nullptr, 0, v, sizeof v, nullptr, 0);
    }
    if (last) store_target();
}

void table_args(benchmark::internal::Benchmark *b) {
    b->Args({1, 0})->Args({1000, 0})->Args({1000, 1})->Args({2000, 0})->Args({2000, 1});
}

// The lookup alone: the cost every keyed operation pays to find its key.
void BM_KeyFind(benchmark::State &state) {
    const uint8_t value[20] = {0x0b};
    fill(static_cast<int>(state.range(0)), state.range(1) != 0, "key", value, sizeof value);
    const uint8_t h[] = {KS_KEY_TYPE_SECRET, 'k', 'e', 'y'};
    for (auto _ : state) benchmark::DoNotOptimize(ks_sym_key_find(h, sizeof h));
}
BENCHMARK(BM_KeyFind)->Apply(table_args);

}  // namespace

namespace {

// One AES-128 block with a stored 16-byte key whose name has 3 bytes, so the
// value sits on a 4-byte boundary and is used in place.
void BM_AesEncrypt(benchmark::State &state) {
    uint8_t key[16];
    std::memset(key, 0x2b, sizeof key);
    fill(static_cast<int>(state.range(0)), state.range(1) != 0, "aes", key, sizeof key);
    uint8_t in[16], out[16];
    std::memset(in, 0x32, sizeof in);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ks_aes_encrypt("aes", in, out, sizeof in));
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_AesEncrypt)->Apply(table_args);

// RFC 2759's worked example: password "clientPass", user "User".
void BM_GenerateNTResponse(benchmark::State &state) {
    const char pw[] = "clientPass";
    fill(static_cast<int>(state.range(0)), state.range(1) != 0, "pw", reinterpret_cast<const uint8_t *>(pw),
         sizeof pw - 1);
    uint8_t auth[16], peer[16], out[24];
    std::memset(auth, 0x5b, sizeof auth);
    std::memset(peer, 0x21, sizeof peer);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ks_GenerateNTResponse("pw", auth, peer, "User", out));
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_GenerateNTResponse)->Apply(table_args);

}  // namespace

namespace {

// HMAC over a 64-byte message with a stored 20-byte key.
template <int32_t (*Hmac)(const char *, const uint8_t *, uint16_t, uint8_t *)>
void BM_Hmac(benchmark::State &state) {
    uint8_t key[20], data[kMessage], out[20];
    std::memset(key, 0x0b, sizeof key);
    std::memset(data, 0xcd, sizeof data);
    fill(static_cast<int>(state.range(0)), state.range(1) != 0, "hmk", key, sizeof key);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Hmac("hmk", data, sizeof data, out));
        benchmark::DoNotOptimize(out);
    }
}
void BM_HmacSha1(benchmark::State &state) { BM_Hmac<ks_hmac_sha1>(state); }
void BM_HmacMd5(benchmark::State &state) { BM_Hmac<ks_hmac_md5>(state); }
BENCHMARK(BM_HmacSha1)->Apply(table_args);
BENCHMARK(BM_HmacMd5)->Apply(table_args);

// The stored secret between two 32-byte pieces.
template <int32_t (*Hash)(const char *, const uint8_t *, uint32_t, const uint8_t *, uint32_t, uint8_t *)>
void BM_Hash(benchmark::State &state) {
    uint8_t key[20], data[kMessage], out[20];
    std::memset(key, 0x0b, sizeof key);
    std::memset(data, 0xcd, sizeof data);
    fill(static_cast<int>(state.range(0)), state.range(1) != 0, "hsk", key, sizeof key);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Hash("hsk", data, 32, data + 32, 32, out));
        benchmark::DoNotOptimize(out);
    }
}
void BM_Md5Hash(benchmark::State &state) { BM_Hash<ks_md5_hash>(state); }
void BM_Sha1Hash(benchmark::State &state) { BM_Hash<ks_sha1_hash>(state); }
BENCHMARK(BM_Md5Hash)->Apply(table_args);
BENCHMARK(BM_Sha1Hash)->Apply(table_args);

}  // namespace

namespace {

// A T-PRF from a stored PAC on a cache miss: the seed alternates, so the
// cached result never matches.
void BM_PacKeyTPrfMiss(benchmark::State &state) {
    const uint8_t opaque[] = {0, 2, 0, 4, 'o', 'p', 'q', 'e'};
    const uint8_t info[] = {0, 9, 0, 4, 0, 5, 0, 0};
    uint8_t meta[sizeof opaque + sizeof info];
    std::memcpy(meta, opaque, sizeof opaque);
    std::memcpy(meta + sizeof opaque, info, sizeof info);
    uint8_t pac_key[32];
    std::memset(pac_key, 0x5a, sizeof pac_key);
    ks_pac_cache_purge();
    fill(static_cast<int>(state.range(0)), state.range(1) != 0, "pac-aid", pac_key, sizeof pac_key, KS_KEY_TYPE_PAC,
         meta, sizeof meta);
    const uint8_t aid[] = {'p', 'a', 'c', '-', 'a', 'i', 'd'};
    const uint8_t label[] = "PAC to session key";
    uint8_t seed[32] = {}, out[20];
    uint32_t n = 0;
    for (auto _ : state) {
        seed[0] = static_cast<uint8_t>(n++ & 1);
        benchmark::DoNotOptimize(
            ks_pac_key_t_prf(aid, sizeof aid, label, sizeof label - 1, seed, sizeof seed, out, sizeof out));
    }
    ks_pac_cache_purge();
}
BENCHMARK(BM_PacKeyTPrfMiss)->Apply(table_args);

}  // namespace
