// SPDX-License-Identifier: Apache-2.0
// Per-key precomputed crypto state for the keyed operations: the HMAC inner
// and outer pad states and the AES key schedules of one stored key, made on
// the key's first use and kept with its slot in the handle index until the key
// is removed, replaced, renamed or moved into a new entry. Hidden: never
// exported.
//
// Every byte of it lives in platform memory, none in memory libcrypto
// allocates: the record in the index's block names an entry of the state
// block, a second block kept for the life of the process, whose entries stay
// put when records move with their slots. So the state is kept wherever the
// platform keeps the keys (a platform that locks its blocks and leaves them
// out of core dumps protects it too), and making it allocates nothing. What
// the state holds, and how large it is, is the crypto backend's
// (ks_crypto.h); this file keeps the books.
//
// Each function computes exactly what the plain path computes, or returns
// false without writing anything, in which case the caller takes the plain
// path (no handle index, a state that cannot be keyed, a case the fast path
// does not cover). So no result and no status depends on it.
#pragma once

#include <cstdint>

#include "keystore/ks_sw_keystore.h"
#include "ks_crypto.h"

namespace ks {

// All zero: no state. A state belongs to the entry it was made for, with the
// value length it had; its parts are made on first use.
struct KeyState {
    const ks_sym_key_entry *entry;
    uint32_t value_len;
    uint8_t made;    // bits: MD5 pads, SHA-1 pads, decrypting, encrypting AES schedule
    uint16_t bytes;  // the state block's entry + 1; 0: none yet
};

// Cleanses the record and its entry of the state block and gives the entry
// back, leaving no state.
void key_state_clear(KeyState &state);
// Zeroes a record whose contents (its entry too) were handed over to another
// record.
void key_state_forget(KeyState &state);

// Both operations take the slot's record as the lookup found it
// (KeyValue::state; null: no usable index, so nothing done) with its slot.
//
// HMAC (RFC 2104) with MD5 or SHA-1 keyed by the value of the entry at slot
// `slot`, over data (null or length 0: the empty message), into out (16 or 20
// bytes). False, with nothing written, for an empty value (the plain path
// writes nothing then), when the state cannot be made (the long key's digest
// failed) or when libcrypto fails.
bool key_state_hmac(KeyState *state, int32_t slot, crypto::Md md, const uint8_t *data, uint32_t data_len, uint8_t *out);

// AES-ECB with the value of the entry at slot `slot` (16, 24 or 32 bytes) over
// len bytes, a multiple of 16; in and out may be the same buffer, and when
// they overlap otherwise each block is read before it is overwritten, as a
// walk over the blocks does. kNotDone: nothing written, take the plain path
// (always when the backend keeps no AES schedule on this build); kCryptoError: libcrypto failed after output may have
// been written.
enum class AesResult { kNotDone, kDone, kCryptoError };
AesResult key_state_aes_ecb(KeyState *state, int32_t slot, bool encrypt, const uint8_t *in, uint8_t *out, uint32_t len);

}  // namespace ks
