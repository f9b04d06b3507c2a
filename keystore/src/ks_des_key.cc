// SPDX-License-Identifier: Apache-2.0
#include "ks_des_key.h"

namespace ks {

void des_expand_key(const uint8_t in[kDes56KeyLen], uint8_t out[kDesKeyLen]) {
    out[0] = static_cast<uint8_t>(in[0] & 0xFE);
    out[1] = static_cast<uint8_t>((in[0] << 7) | ((in[1] & 0xFC) >> 1));
    out[2] = static_cast<uint8_t>((in[1] << 6) | ((in[2] & 0xF8) >> 2));
    out[3] = static_cast<uint8_t>((in[2] << 5) | ((in[3] & 0xF0) >> 3));
    out[4] = static_cast<uint8_t>((in[3] << 4) | ((in[4] & 0xE0) >> 4));
    out[5] = static_cast<uint8_t>((in[4] << 3) | ((in[5] & 0xC0) >> 5));
    out[6] = static_cast<uint8_t>((in[5] << 2) | ((in[6] & 0x80) >> 6));
    out[7] = static_cast<uint8_t>(in[6] << 1);
}

}  // namespace ks
