// SPDX-License-Identifier: Apache-2.0
// Helpers of the PAC tests: a sample PAC, its TLVs built as the model builds them.
#pragma once

#include "ks_pac_internal.h"
#include "ks_test_util.h"
#include "ks_trace.h"

namespace kstest {

using ksmodel::tlv;

struct SamplePac {
    Bytes aid, key, opaque, info;
};

// A PAC whose TLVs carry the A-ID, so two samples never look alike.
inline SamplePac sample_pac(const std::string &aid, uint8_t flavour = 0) {
    return {bytes(aid), Bytes(32, static_cast<uint8_t>(0xA0 + flavour)),
            tlv(KS_PAC_TLV_OPAQUE, cat(bytes("opaque-" + aid), Bytes(1, flavour))),
            tlv(KS_PAC_TLV_INFO, cat(tlv(KS_PAC_INFO_IID, bytes("dev-" + aid)), tlv(0x8004, Bytes(3, flavour))))};
}

inline int32_t store(const SamplePac &p) {
    return ks_store_pac(p.aid.data(), n32(p.aid), p.key.data(), n32(p.key), p.opaque.data(), n32(p.opaque),
                        p.info.data(), n32(p.info));
}

}  // namespace kstest
