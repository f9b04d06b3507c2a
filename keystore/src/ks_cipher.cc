// SPDX-License-Identifier: Apache-2.0
// Front operations of the block ciphers: standby refusal, argument checks,
// the key handle, then the software keystore or the hardware contract.
#include "keystore/ks_cipher.h"

#include "keystore/ks_hw.h"
#include "keystore/ks_modes.h"
#include "ks_front.h"

namespace {

using namespace ks::front;

int32_t aes_ecb(const char *name, const uint8_t *in, uint8_t *out, uint16_t len, int32_t encrypt) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    Handle h;
    if (!h.named(KS_KEY_TYPE_SECRET, name) || in == nullptr || out == nullptr || len % KS_AES_BLOCK_LEN != 0)
        return KS_INVAL_ARGS;
    return dispatch(
        Chip::kRequired, [&] { return ks_sw_aes(h.bytes, h.len, in, out, len, encrypt); },
        [&] {
            return encrypt != 0 ? ks_ae46c1_aes_encrypt(h.bytes, h.hw_len(), in, out, len)
                                : ks_ae46c1_aes_decrypt(h.bytes, h.hw_len(), in, out, len);
        });
}

int32_t aes_cbc(const char *name, uint8_t *iv, const uint8_t *in, uint16_t len, uint8_t *out, int32_t encrypt) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    Handle h;
    if (!h.named(KS_KEY_TYPE_SECRET, name) || iv == nullptr || in == nullptr || out == nullptr || len == 0 ||
        len % KS_AES_BLOCK_LEN != 0)
        return KS_INVAL_ARGS;
    return dispatch(
        Chip::kRequired, [&] { return ks_sw_aes_cbc(h.bytes, h.len, iv, in, len, out, encrypt); },
        [&] {
            return encrypt != 0 ? ks_ae46c1_aes_cbc_encrypt(h.bytes, h.hw_len(), iv, in, out, len)
                                : ks_ae46c1_aes_cbc_decrypt(h.bytes, h.hw_len(), iv, in, out, len);
        });
}

enum class Des { kSingle, kTriple };

int32_t des_ecb(Des kind, const char *name, const uint8_t *in, uint16_t in_len, uint8_t *out, uint16_t out_len,
                int32_t encrypt) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    Handle h;
    if (!h.named(KS_KEY_TYPE_SECRET, name) || in == nullptr || out == nullptr || in_len == 0 || in_len == 0xFFFF ||
        in_len % KS_DES_BLOCK_LEN != 0 || in_len != out_len)
        return KS_INVAL_ARGS;
    return dispatch(
        Chip::kRequired,
        [&] {
            return kind == Des::kSingle ? ks_sw_des_crypt(h.bytes, h.len, encrypt, in, in_len, out, out_len)
                                        : ks_sw_3des_crypt(h.bytes, h.len, encrypt, in, in_len, out, out_len);
        },
        [&]() -> int32_t {
            // The hardware contract has no DES decryption.
            if (encrypt == 0) return KS_UNKNOWN_FAILURE;
            return kind == Des::kSingle ? ks_ae46c1_des_ecb_encrypt(h.bytes, h.hw_len(), in, in_len, out, out_len)
                                        : ks_ae46c1_3des_ecb_encrypt(h.bytes, h.hw_len(), in, in_len, out, out_len);
        });
}

}  // namespace

extern "C" {

int32_t ks_aes_encrypt(const char *name, const uint8_t *in, uint8_t *out, uint16_t len) {
    return aes_ecb(name, in, out, len, 1);
}

int32_t ks_aes_decrypt(const char *name, const uint8_t *in, uint8_t *out, uint16_t len) {
    return aes_ecb(name, in, out, len, 0);
}

int32_t ks_aes_cbc_encrypt(const char *name, uint8_t *iv, const uint8_t *in, uint16_t len, uint8_t *out) {
    return aes_cbc(name, iv, in, len, out, 1);
}

int32_t ks_aes_cbc_decrypt(const char *name, uint8_t *iv, const uint8_t *in, uint16_t len, uint8_t *out) {
    return aes_cbc(name, iv, in, len, out, 0);
}

int32_t ks_des_ecb_encrypt(const char *name, const uint8_t *in, uint16_t in_len, uint8_t *out, uint16_t out_len) {
    return des_ecb(Des::kSingle, name, in, in_len, out, out_len, 1);
}

int32_t ks_des_ecb_decrypt(const char *name, const uint8_t *in, uint16_t in_len, uint8_t *out, uint16_t out_len) {
    return des_ecb(Des::kSingle, name, in, in_len, out, out_len, 0);
}

int32_t ks_3des_ecb_encrypt(const char *name, const uint8_t *in, uint16_t in_len, uint8_t *out, uint16_t out_len) {
    return des_ecb(Des::kTriple, name, in, in_len, out, out_len, 1);
}

int32_t ks_3des_ecb_decrypt(const char *name, const uint8_t *in, uint16_t in_len, uint8_t *out, uint16_t out_len) {
    return des_ecb(Des::kTriple, name, in, in_len, out, out_len, 0);
}

}  // extern "C"
