// SPDX-License-Identifier: Apache-2.0
// Software keystore block ciphers: AES-ECB, AES in the EPA chaining, DES-ECB
// and triple DES-ECB with a stored key used in place.
//
// The ciphers are the crypto backend's. Key material the library makes for a
// call (aligned copies, expanded DES keys, AES schedules) is cleansed before
// it is released.
#include <cstdint>
#include <cstring>

#include "keystore/ks_cipher.h"
#include "keystore/ks_epa.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_crypto.h"
#include "ks_ct.h"
#include "ks_des_key.h"
#include "ks_owner_tags.h"
#include "ks_sw_key_state.h"
#include "ks_sw_key_value.h"

namespace {

constexpr uint32_t kDes3StoredLen = 3 * ks::kDes56KeyLen;
constexpr uint32_t kDes3KeyLen = 3 * ks::kDesKeyLen;
static_assert(kDes3StoredLen == KS_3DES_STORED_KEY_LEN && ks::kDes56KeyLen == KS_DES_STORED_KEY_LEN);

bool aes_key_len_ok(uint32_t len) { return len == 16 || len == 24 || len == 32; }

// The stored AES key on a 4-byte boundary: the value in place when it is
// aligned, otherwise a copy in a block with the given tag.
class AlignedKey {
  public:
    AlignedKey(uint32_t tag, const ks::KeyValue &value) {
        if (reinterpret_cast<uintptr_t>(value.bytes) % 4 == 0) {
            bytes_ = value.bytes;
            return;
        }
        copy_ = static_cast<uint8_t *>(tagged_calloc(tag, 1, value.len));
        len_ = value.len;
        if (copy_ != nullptr) {
            std::memcpy(copy_, value.bytes, value.len);
            bytes_ = copy_;
        }
    }
    ~AlignedKey() { ks::free_cleansed(copy_, len_); }
    AlignedKey(const AlignedKey &) = delete;
    AlignedKey &operator=(const AlignedKey &) = delete;
    const uint8_t *get() const { return bytes_; }  // null: the copy was not allocated

  private:
    const uint8_t *bytes_ = nullptr;
    uint8_t *copy_ = nullptr;
    size_t len_ = 0;
};

// An AES key schedule on the stack, cleansed when the scope ends.
struct AesSchedule {
    AES_KEY key{};
    ~AesSchedule() { ks::cleanse(&key, sizeof key); }
};

ks::crypto::Cipher aes_ecb_cipher(uint32_t key_len) {
    switch (key_len) {
        case 16: return ks::crypto::Cipher::kAes128Ecb;
        case 24: return ks::crypto::Cipher::kAes192Ecb;
        default: return ks::crypto::Cipher::kAes256Ecb;
    }
}

// Copies in to out (they may overlap) unless they are the same buffer.
void copy_input(const uint8_t *in, uint8_t *out, size_t len) {
    if (in != out) std::memmove(out, in, len);
}

// The len bytes at out are the cipher text (or clear text) the caller
// receives: public from here on.
int32_t result(const uint8_t *out, size_t len) {
    KS_CT_DECLASSIFY(out, len);
    return KS_SUCCESS;
}

}  // namespace

extern "C" {

int32_t ks_sw_aes(const uint8_t *handle, uint32_t handle_len, const uint8_t *in, uint8_t *out, uint16_t len,
                  int32_t encrypt) {
    ks::KeyValue value;
    if (!ks::find_key_value(handle, handle_len, value)) return KS_RECORD_NOT_FOUND;
    if (!aes_key_len_ok(value.len)) return KS_BAD_KEY;
    AlignedKey key(ks::kTagAesKeyCopy, value);
    if (key.get() == nullptr) return KS_NO_MEMORY;
    size_t n = len - len % KS_AES_BLOCK_LEN;
    if (n == 0) return KS_SUCCESS;

    // The key's own contexts, keyed once and kept with its slot, when there
    // are any; the same cipher text as the walk below.
    switch (ks::key_state_aes_ecb(value.state_slot, encrypt != 0, in, out, static_cast<uint32_t>(n))) {
        case ks::AesResult::kDone: return result(out, n);
        case ks::AesResult::kCryptoError: return KS_CRYPTO_ERR;
        case ks::AesResult::kNotDone: break;
    }

    // Keyed for this call. Each block is enciphered on its own (ECB): in
    // place or apart all at once, overlapping at an offset through a scratch
    // block, so that it behaves as a block-by-block walk.
    ks::crypto::CipherCall ecb(aes_ecb_cipher(value.len), key.get(), encrypt != 0);
    if (!ecb.ok()) return KS_CRYPTO_ERR;
    if (in == out || in + n <= out || out + n <= in) return ecb.run(in, out, n) ? result(out, n) : KS_CRYPTO_ERR;
    ks::Scratch<KS_AES_BLOCK_LEN> block;
    for (size_t off = 0; off < n; off += KS_AES_BLOCK_LEN) {
        if (!ecb.run(in + off, block.data(), KS_AES_BLOCK_LEN)) return KS_CRYPTO_ERR;  // earlier blocks stay
        std::memcpy(out + off, block.data(), KS_AES_BLOCK_LEN);
    }
    return result(out, n);
}

int32_t ks_sw_aes_cbc(const uint8_t *handle, uint32_t handle_len, uint8_t *iv, const uint8_t *in, uint16_t len,
                      uint8_t *out, int32_t encrypt) {
    ks::KeyValue value;
    if (!ks::find_key_value(handle, handle_len, value)) return KS_RECORD_NOT_FOUND;
    if (!aes_key_len_ok(value.len)) return KS_BAD_KEY;
    AlignedKey key(ks::kTagAesCbcKeyCopy, value);
    if (key.get() == nullptr) return KS_NO_MEMORY;

    AesSchedule schedule;
    if (!ks::crypto::epa_key(key.get(), value.len, encrypt != 0, &schedule.key)) return KS_CRYPTO_ERR;
    int32_t n = static_cast<int32_t>(len - len % KS_AES_BLOCK_LEN);
    if (encrypt != 0) {
        epa_encrypt(KS_EPA_MODE_FIRST, &schedule.key, in, out, iv, n);
    } else {
        epa_decrypt(KS_EPA_MODE_FIRST, &schedule.key, in, out, iv, n);
    }
    KS_CT_DECLASSIFY(iv, KS_AES_BLOCK_LEN);  // the chaining value left for the next call
    return result(out, static_cast<size_t>(n));
}

int32_t ks_sw_des_crypt(const uint8_t *handle, uint32_t handle_len, int32_t encrypt, const uint8_t *in, uint16_t in_len,
                        uint8_t *out, uint16_t out_len) {
    (void)in_len;  // the front has made it equal to out_len
    ks::KeyValue value;
    if (!ks::find_key_value(handle, handle_len, value)) return KS_RECORD_NOT_FOUND;
    if (value.len != KS_DES_STORED_KEY_LEN) return KS_BAD_KEY;
    const ks::OwnedBlock key(ks::kTagDesKey, ks::kDesKeyLen);
    if (key.data() == nullptr) return KS_NO_MEMORY;
    ks::des_expand_key(value.bytes, key.data());

    // The cipher is keyed before the input is copied to the output, so a
    // libcrypto failure leaves the output as it was.
    ks::crypto::CipherCall ecb(ks::crypto::Cipher::kDesEcb, key.data(), encrypt != 0);
    if (!ecb.ok()) return KS_CRYPTO_ERR;
    size_t n = out_len - out_len % KS_DES_BLOCK_LEN;
    copy_input(in, out, n);
    if (!ecb.run(out, out, n)) return KS_CRYPTO_ERR;
    return result(out, n);
}

int32_t ks_sw_3des_crypt(const uint8_t *handle, uint32_t handle_len, int32_t encrypt, const uint8_t *in,
                         uint16_t in_len, uint8_t *out, uint16_t out_len) {
    (void)in_len;
    ks::KeyValue value;
    if (!ks::find_key_value(handle, handle_len, value)) return KS_RECORD_NOT_FOUND;
    if (value.len != kDes3StoredLen) return KS_BAD_KEY;
    const ks::OwnedBlock keys(ks::kTagDes3Keys, kDes3KeyLen);
    if (keys.data() == nullptr) return KS_NO_MEMORY;
    for (size_t i = 0; i < 3; ++i) {
        ks::des_expand_key(value.bytes + i * ks::kDes56KeyLen, keys.data() + i * ks::kDesKeyLen);
    }
    ks::crypto::CipherCall ecb(ks::crypto::Cipher::kDesEde3Ecb, keys.data(), encrypt != 0);
    if (!ecb.ok()) return KS_CRYPTO_ERR;
    size_t n = out_len - out_len % KS_DES_BLOCK_LEN;
    copy_input(in, out, n);
    if (!ecb.run(out, out, n)) return KS_CRYPTO_ERR;
    return result(out, n);
}

}  // extern "C"
