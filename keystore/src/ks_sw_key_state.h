// SPDX-License-Identifier: Apache-2.0
// Per-key precomputed crypto state for the keyed operations: the HMAC states
// and the AES key schedules of one stored key, made on the key's first use by
// HMAC or AES and kept until the key is removed, replaced, renamed or moved
// into a new entry. Hidden: never exported.
//
// One of the table's private parts (ks_sw_table.h keeps them in step with the
// table). Only keys that have been used hold state: each such key has a block
// of its own (owner tag kTagKeyState), sized for the HMAC states when HMAC is
// what it was used by and grown for the AES schedules on its first AES use;
// a block of one pointer per slot (kTagKeyStateSlots) finds them, made with
// the first state, grown with the table (ks::part_capacity) and released with
// the last state. Every byte lives in platform memory, none in memory
// libcrypto allocates, so the state is kept wherever the platform keeps the
// keys (a platform that locks its blocks and leaves them out of core dumps
// protects it too). What the state holds, and how large it is, is the crypto
// backend's (ks_crypto.h); this part keeps the books.
//
// Each operation computes exactly what the plain path computes, or returns
// false without writing anything, in which case the caller takes the plain
// path: the slot is not one whose state may be used (-1), the state cannot be
// allocated or keyed, a case the fast path does not cover. So no result and
// no status depends on it.
#pragma once

#include <cstdint>

#include "keystore/ks_sw_keystore.h"
#include "ks_crypto.h"

namespace ks {

// A key's state block starts with this header; all zero is no state.
struct KeyState {
    const ks_sym_key_entry *entry;  // the entry it was made for
    uint32_t value_len;             // with this value length
    uint8_t made;                   // bits: MD5, SHA-1, decrypting, encrypting AES schedule
    uint8_t with_aes;               // the block has room for the AES schedules
};

// Grows the pointer block, when there is one, to room for `slots` slots;
// false, the state as it was, when it cannot be allocated.
bool key_state_reserve(int32_t slots);
// Drops every state and releases both kinds of block.
void key_state_release();
// The slot's state, if any, goes (cleansed).
void key_state_drop(int32_t slot);
// The state of slot `from` (if any) now belongs to slot `to`, which has none.
void key_state_move(int32_t from, int32_t to);

// HMAC (RFC 2104) with MD5 or SHA-1 keyed by the value of the entry at slot
// `slot` (-1: none may be used), over data (null or length 0: the empty
// message), into out (16 or 20 bytes). False, with nothing written, for an
// empty value (the plain path writes nothing then), when the state cannot be
// made (no memory, the long key's digest failed) or when libcrypto fails.
bool key_state_hmac(int32_t slot, crypto::Md md, const uint8_t *data, uint32_t data_len, uint8_t *out);

// AES-ECB with the value of the entry at slot `slot` (16, 24 or 32 bytes) over
// len bytes, a multiple of 16; in and out may be the same buffer, and when
// they overlap otherwise each block is read before it is overwritten, as a
// walk over the blocks does. kNotDone: nothing written, take the plain path
// (always when the backend keeps no AES schedule on this build); kCryptoError:
// libcrypto failed after output may have been written.
enum class AesResult { kNotDone, kDone, kCryptoError };
AesResult key_state_aes_ecb(int32_t slot, bool encrypt, const uint8_t *in, uint8_t *out, uint32_t len);

// For checks: the slot's state (null: none) and how many keys hold one.
const KeyState *key_state_at(int32_t slot);
int32_t key_state_count();

}  // namespace ks
