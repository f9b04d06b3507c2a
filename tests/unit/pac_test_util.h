// SPDX-License-Identifier: Apache-2.0
// Helpers of the PAC tests: TLV building and a sample PAC.
#pragma once

#include "ks_pac_internal.h"
#include "ks_test_util.h"
#include "ks_trace.h"

namespace kstest {

// A TLV whose length field says value.size() (or `length` when given).
inline Bytes tlv(uint16_t type, const Bytes &value, int length = -1) {
    uint16_t l = length < 0 ? static_cast<uint16_t>(value.size()) : static_cast<uint16_t>(length);
    Bytes out{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), static_cast<uint8_t>(l >> 8),
              static_cast<uint8_t>(l)};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

struct SamplePac {
    Bytes aid, key, opaque, info;
};

// A PAC whose TLVs carry the A-ID, so two samples never look alike.
inline SamplePac sample_pac(const std::string &aid, uint8_t flavour = 0) {
    SamplePac p;
    p.aid = bytes(aid);
    p.key = Bytes(32, static_cast<uint8_t>(0xA0 + flavour));
    p.opaque = tlv(KS_PAC_TLV_OPAQUE, cat(bytes("opaque-" + aid), Bytes(1, flavour)));
    p.info = tlv(KS_PAC_TLV_INFO, cat(tlv(KS_PAC_INFO_IID, bytes("dev-" + aid)), tlv(0x8004, Bytes(3, flavour))));
    return p;
}

inline int32_t store(const SamplePac &p) {
    return ks_store_pac(p.aid.data(), static_cast<uint32_t>(p.aid.size()), p.key.data(),
                        static_cast<uint32_t>(p.key.size()), p.opaque.data(), static_cast<uint32_t>(p.opaque.size()),
                        p.info.data(), static_cast<uint32_t>(p.info.size()));
}

}  // namespace kstest
