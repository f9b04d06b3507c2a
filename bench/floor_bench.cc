// SPDX-License-Identifier: Apache-2.0
// The floors the keyed operations are measured against: the same primitive
// written directly against OpenSSL with all per-key work done once.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>

#include <openssl/core_names.h>
#include <openssl/evp.h>

namespace {

constexpr size_t kMessage = 64;

// HMAC with the inner and outer pad states computed once per key: each call
// copies the two states and runs the two compressions over the data.
class PadStateHmac {
  public:
    PadStateHmac(const char *md_name, const uint8_t *key, size_t key_len) {
        md_ = EVP_MD_fetch(nullptr, md_name, nullptr);
        inner_ = EVP_MD_CTX_new();
        outer_ = EVP_MD_CTX_new();
        work_ = EVP_MD_CTX_new();
        uint8_t block[64] = {}, ipad[64], opad[64];
        std::memcpy(block, key, key_len);  // keys here are at most 64 bytes
        for (int i = 0; i < 64; ++i) {
            ipad[i] = block[i] ^ 0x36;
            opad[i] = block[i] ^ 0x5c;
        }
        EVP_DigestInit_ex(inner_, md_, nullptr);
        EVP_DigestUpdate(inner_, ipad, 64);
        EVP_DigestInit_ex(outer_, md_, nullptr);
        EVP_DigestUpdate(outer_, opad, 64);
    }
    ~PadStateHmac() {
        EVP_MD_CTX_free(inner_);
        EVP_MD_CTX_free(outer_);
        EVP_MD_CTX_free(work_);
        EVP_MD_free(md_);
    }
    void mac(const uint8_t *data, size_t len, uint8_t *out) {
        uint8_t inner[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        EVP_MD_CTX_copy_ex(work_, inner_);
        EVP_DigestUpdate(work_, data, len);
        EVP_DigestFinal_ex(work_, inner, &n);
        EVP_MD_CTX_copy_ex(work_, outer_);
        EVP_DigestUpdate(work_, inner, n);
        EVP_DigestFinal_ex(work_, out, &n);
    }

  private:
    EVP_MD *md_;
    EVP_MD_CTX *inner_, *outer_, *work_;
};

// HMAC over a 64-byte message with a 20-byte key, from pad states made once.
void floor_hmac(benchmark::State &state, const char *digest) {
    uint8_t key[20], data[kMessage], out[EVP_MAX_MD_SIZE];
    std::memset(key, 0x0b, sizeof key);
    std::memset(data, 0xcd, sizeof data);
    PadStateHmac h(digest, key, sizeof key);
    for (auto _ : state) {
        h.mac(data, sizeof data, out);
        benchmark::DoNotOptimize(out);
    }
}
void BM_Floor_HmacSha1_PadStates(benchmark::State &state) { floor_hmac(state, "SHA1"); }
void BM_Floor_HmacMd5_PadStates(benchmark::State &state) { floor_hmac(state, "MD5"); }
BENCHMARK(BM_Floor_HmacSha1_PadStates);
BENCHMARK(BM_Floor_HmacMd5_PadStates);

void BM_Floor_Aes128Ecb_KeyedOnce(benchmark::State &state) {
    uint8_t key[16], in[16], out[32];
    std::memset(key, 0x2b, sizeof key);
    std::memset(in, 0x32, sizeof in);
    EVP_CIPHER *c = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, c, nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    int n = 0;
    for (auto _ : state) {
        EVP_EncryptUpdate(ctx, out, &n, in, sizeof in);
        benchmark::DoNotOptimize(out);
    }
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
}
BENCHMARK(BM_Floor_Aes128Ecb_KeyedOnce);

}  // namespace
