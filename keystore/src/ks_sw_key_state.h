// Per-key precomputed crypto state for the keyed operations: the HMAC inner
// and outer pad states and keyed AES contexts of one stored key, made on the
// key's first use and kept with its slot in the handle index until the key is
// removed, replaced, renamed or moved into a new entry. Hidden: never exported.
//
// Each function computes exactly what the plain path computes, or returns
// false without writing anything, in which case the caller takes the plain
// path (no handle index, a state that cannot be allocated or keyed, a case the
// fast path does not cover). So no result and no status depends on it.
#pragma once

#include <cstdint>

#include "ks_ossl.h"

namespace ks {

// HMAC (RFC 2104) with MD5 or SHA-1 keyed by the value of the entry at slot
// `slot`, over data (null or length 0: the empty message), into out (16 or 20
// bytes). False for an empty value: the plain path writes nothing then.
bool key_state_hmac(int32_t slot, ossl::Md md, const uint8_t *data, uint32_t data_len, uint8_t *out);

// AES-ECB with the value of the entry at slot `slot` (16, 24 or 32 bytes) over
// len bytes, a multiple of 16; in and out may be the same buffer.
bool key_state_aes_ecb(int32_t slot, bool encrypt, const uint8_t *in, uint8_t *out, uint32_t len);

}  // namespace ks
