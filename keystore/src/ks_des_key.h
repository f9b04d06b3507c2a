// SPDX-License-Identifier: Apache-2.0
// The 56-bit DES key expansion: 7 key bytes (56 key bits, no parity) spread
// over the top seven bits of 8 DES key bytes, the low (parity) bit of every
// output byte left 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ks {

inline constexpr size_t kDes56KeyLen = 7;
inline constexpr size_t kDesKeyLen = 8;
inline constexpr size_t kDesBlockLen = 8;

// The 56 bits of in, most significant first, cut into eight groups of 7 bits;
// group i fills bits 7..1 of out[i].
void des_expand_key(const uint8_t in[kDes56KeyLen], uint8_t out[kDesKeyLen]);

}  // namespace ks
