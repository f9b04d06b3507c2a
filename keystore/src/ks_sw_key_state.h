// Per-key precomputed crypto state for the keyed operations: the HMAC inner
// and outer pad states and keyed AES contexts of one stored key, made on the
// key's first use and kept with its slot in the handle index until the key is
// removed, replaced, renamed or moved into a new entry. Hidden: never exported.
// It lives inside the index's block: making it allocates nothing with the
// platform allocator (only the OpenSSL objects themselves).
//
// Each function computes exactly what the plain path computes, or returns
// false without writing anything, in which case the caller takes the plain
// path (no handle index, a state that cannot be allocated or keyed, a case the
// fast path does not cover). So no result and no status depends on it.
#pragma once

#include <cstdint>

#include <openssl/evp.h>

#include "keystore/ks_sw_keystore.h"
#include "ks_ossl.h"

namespace ks {

// All zero: no state. A state belongs to the entry it was made for, with the
// value length it had; the OpenSSL objects are made on first use.
struct KeyState {
    const ks_sym_key_entry *entry;
    uint32_t value_len;
    EVP_MD_CTX *inner[2];    // digest state after the inner pad block: [0] MD5, [1] SHA-1
    EVP_MD_CTX *outer[2];    // digest state after the outer pad block
    EVP_CIPHER_CTX *aes[2];  // [0] decrypting, [1] encrypting; padding off
};

// Frees the OpenSSL objects (which wipe their key-dependent memory) and
// cleanses the record, leaving no state.
void key_state_clear(KeyState &state);
// Zeroes a record whose objects were handed over to another record.
void key_state_forget(KeyState &state);

// HMAC (RFC 2104) with MD5 or SHA-1 keyed by the value of the entry at slot
// `slot`, over data (null or length 0: the empty message), into out (16 or 20
// bytes). False for an empty value: the plain path writes nothing then.
bool key_state_hmac(int32_t slot, ossl::Md md, const uint8_t *data, uint32_t data_len, uint8_t *out);

// AES-ECB with the value of the entry at slot `slot` (16, 24 or 32 bytes) over
// len bytes, a multiple of 16; in and out may be the same buffer, and when
// they overlap otherwise each block is read before it is overwritten, as a
// walk over the blocks does. kNotDone: nothing written, take the plain path;
// kCryptoError: libcrypto failed after output may have been written.
enum class AesResult { kNotDone, kDone, kCryptoError };
AesResult key_state_aes_ecb(int32_t slot, bool encrypt, const uint8_t *in, uint8_t *out, uint32_t len);

}  // namespace ks
