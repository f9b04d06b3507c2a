// Per-key crypto state. Each slot's record (in the handle index's block)
// holds the entry it was made for and the OpenSSL objects; those objects wipe
// their key-dependent memory when freed, and the record is cleansed when
// dropped. A state is used only while its slot still holds the same entry
// with the same value length; otherwise it is dropped and made again.
#include "ks_sw_key_state.h"

#include <cstring>

#include <openssl/evp.h>

#include "keystore/ks_sw_keystore.h"
#include "ks_cleanse.h"
#include "ks_sw_index.h"
#include "ks_sw_table.h"

namespace ks {

namespace {

constexpr int kHmacBlock = 64;

// The working digest context the pad states are copied into: one for the
// process, so a call allocates no context of its own.
EVP_MD_CTX *work_context() {
    static EVP_MD_CTX *work = EVP_MD_CTX_new();
    return work;
}

int md_slot(ossl::Md md) { return md == ossl::Md::kMd5 ? 0 : 1; }

// The slot's state for its current entry, started afresh when it belongs to
// another; null when there is no usable index.
KeyState *state_for(int32_t slot) {
    KeyState *s = index_key_state(slot);
    if (s == nullptr) return nullptr;
    const ks_sym_key_entry *e = ks_sym_keys[slot];
    if (s->entry != e || s->value_len != e->value_len) {
        key_state_clear(*s);
        s->entry = e;
        s->value_len = e->value_len;
    }
    return s;
}

// Feeds the 64-byte pad block of the key (XORed with pad) to a fresh context.
EVP_MD_CTX *pad_state(const EVP_MD *md, const uint8_t *key, size_t key_len, uint8_t pad) {
    Scratch<kHmacBlock> block;
    std::memcpy(block.data(), key, key_len);
    for (int i = 0; i < kHmacBlock; ++i) block.data()[i] ^= pad;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) return nullptr;
    if (EVP_DigestInit_ex(ctx, md, nullptr) != 1 || EVP_DigestUpdate(ctx, block.data(), kHmacBlock) != 1) {
        EVP_MD_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

bool make_pad_states(KeyState *s, const EVP_MD *md, int k) {
    const uint8_t *key = entry_value(s->entry);
    size_t key_len = s->value_len;
    // A key longer than the block is replaced by its digest.
    Scratch<EVP_MAX_MD_SIZE> digest;
    if (key_len > kHmacBlock) {
        unsigned int n = 0;
        if (EVP_Digest(key, key_len, digest.data(), &n, md, nullptr) != 1) return false;
        key = digest.data();
        key_len = n;
    }
    s->inner[k] = pad_state(md, key, key_len, 0x36);
    s->outer[k] = pad_state(md, key, key_len, 0x5c);
    if (s->inner[k] != nullptr && s->outer[k] != nullptr) return true;
    EVP_MD_CTX_free(s->inner[k]);
    EVP_MD_CTX_free(s->outer[k]);
    s->inner[k] = s->outer[k] = nullptr;
    return false;
}

const EVP_CIPHER *aes_ecb(uint32_t key_len) {
    switch (key_len) {
        case 16: return ossl::cipher(ossl::Cipher::kAes128Ecb);
        case 24: return ossl::cipher(ossl::Cipher::kAes192Ecb);
        case 32: return ossl::cipher(ossl::Cipher::kAes256Ecb);
        default: return nullptr;
    }
}

}  // namespace

void key_state_clear(KeyState &s) {
    if (s.entry == nullptr) return;  // no state: no objects either
    for (int k = 0; k < 2; ++k) {
        EVP_MD_CTX_free(s.inner[k]);
        EVP_MD_CTX_free(s.outer[k]);
        EVP_CIPHER_CTX_free(s.aes[k]);
    }
    cleanse(&s, sizeof s);
}

void key_state_forget(KeyState &s) { cleanse(&s, sizeof s); }

bool key_state_hmac(int32_t slot, ossl::Md md_id, const uint8_t *data, uint32_t data_len, uint8_t *out) {
    const EVP_MD *md = ossl::md(md_id);
    EVP_MD_CTX *work = work_context();
    if (md == nullptr || work == nullptr) return false;
    KeyState *s = state_for(slot);
    if (s == nullptr || s->value_len == 0) return false;
    int k = md_slot(md_id);
    if (s->inner[k] == nullptr && !make_pad_states(s, md, k)) return false;

    Scratch<EVP_MAX_MD_SIZE> inner;
    unsigned int n = 0;
    if (EVP_MD_CTX_copy_ex(work, s->inner[k]) != 1) return false;
    if (data != nullptr && data_len != 0 && EVP_DigestUpdate(work, data, data_len) != 1) return false;
    if (EVP_DigestFinal_ex(work, inner.data(), &n) != 1) return false;
    // The outer digest goes to a local first, so a failure leaves out unwritten.
    Scratch<EVP_MAX_MD_SIZE> result;
    unsigned int m = 0;
    if (EVP_MD_CTX_copy_ex(work, s->outer[k]) != 1 || EVP_DigestUpdate(work, inner.data(), n) != 1 ||
        EVP_DigestFinal_ex(work, result.data(), &m) != 1)
        return false;
    std::memcpy(out, result.data(), m);
    return true;
}

AesResult key_state_aes_ecb(int32_t slot, bool encrypt, const uint8_t *in, uint8_t *out, uint32_t len) {
    if (len % 16 != 0 || len > 0x7FFFFFF0u) return AesResult::kNotDone;
    KeyState *s = state_for(slot);
    if (s == nullptr) return AesResult::kNotDone;
    EVP_CIPHER_CTX *&ctx = s->aes[encrypt ? 1 : 0];
    if (ctx == nullptr) {
        const EVP_CIPHER *cipher = aes_ecb(s->value_len);
        if (cipher == nullptr) return AesResult::kNotDone;
        EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
        if (c == nullptr) return AesResult::kNotDone;
        if (EVP_CipherInit_ex(c, cipher, nullptr, entry_value(s->entry), nullptr, encrypt ? 1 : 0) != 1 ||
            EVP_CIPHER_CTX_set_padding(c, 0) != 1) {
            EVP_CIPHER_CTX_free(c);
            return AesResult::kNotDone;
        }
        ctx = c;
    }
    // From here on output may be written, so a failure is final.
    constexpr AesResult kDone = AesResult::kDone, kFailed = AesResult::kCryptoError;
    // In place or apart: all blocks at once. Overlapping at an offset: block by
    // block through a scratch block, as a walk over the blocks would.
    int n = 0;
    if (len == 0) return kDone;
    auto update = encrypt ? EVP_EncryptUpdate : EVP_DecryptUpdate;
    if (in == out || in + len <= out || out + len <= in)
        return update(ctx, out, &n, in, static_cast<int>(len)) == 1 && n == static_cast<int>(len) ? kDone : kFailed;
    Scratch<16> block;
    for (uint32_t off = 0; off < len; off += 16) {
        if (update(ctx, block.data(), &n, in + off, 16) != 1 || n != 16) return kFailed;
        std::memcpy(out + off, block.data(), 16);
    }
    return kDone;
}

}  // namespace ks
