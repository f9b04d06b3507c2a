// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the PAC records and the PAC cache: A-ID checks and the
// reader of PAC TLVs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "keystore/ks_types.h"

namespace ks::pac {

inline constexpr uint32_t kTlvHeaderLen = 4;
// The top bit of a PAC-Info element's type marks the element mandatory.
inline constexpr uint16_t kTlvTypeMask = 0x7FFF;

// The current second as a signed 32-bit number: lifetimes are compared as
// signed 32-bit values, so a lifetime with its top bit set lies before 1970.
int32_t now();

// An A-ID is 1 to KS_AID_MAX bytes and never null.
inline bool aid_valid(const uint8_t *aid, uint32_t aid_len) {
    return aid != nullptr && aid_len >= 1 && aid_len <= KS_AID_MAX;
}

// A bounds-checked reader over PAC metadata, which comes from outside the
// process. Each read takes bytes from the front; when too few are left it
// returns false, hands out nothing and leaves the reader as it was. Fields are
// big-endian; a TLV is a 16-bit type, a 16-bit length and that many bytes.
class Reader {
  public:
    Reader() = default;
    Reader(const uint8_t *bytes, size_t len) : p_(bytes), left_(bytes != nullptr ? len : 0) {}

    const uint8_t *data() const { return p_; }
    size_t size() const { return left_; }
    bool empty() const { return left_ == 0; }

    bool skip(size_t n) {
        if (n > left_) return false;
        p_ += n;
        left_ -= n;
        return true;
    }
    // The next n bytes as a reader of their own.
    bool take(size_t n, Reader &out) {
        if (n > left_) return false;
        out = Reader(p_, n);
        return skip(n);
    }
    bool u16(uint16_t &v) { return field(v); }
    bool u32(uint32_t &v) { return field(v); }
    bool header(uint16_t &type, uint16_t &len) {
        Reader h;
        return take(kTlvHeaderLen, h) && h.u16(type) && h.u16(len);
    }
    // A whole TLV: its type and its value.
    bool tlv(uint16_t &type, Reader &value) {
        Reader rest = *this;
        uint16_t t, len;
        if (!rest.header(t, len) || !rest.take(len, value)) return false;
        type = t;
        *this = rest;
        return true;
    }

  private:
    template <typename T>
    bool field(T &v) {
        if (sizeof v > left_) return false;
        v = 0;
        for (size_t i = 0; i < sizeof v; ++i) v = static_cast<T>(v << 8 | p_[i]);
        return skip(sizeof v);
    }

    const uint8_t *p_ = nullptr;
    size_t left_ = 0;
};

}  // namespace ks::pac
