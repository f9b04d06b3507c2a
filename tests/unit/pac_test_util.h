// Helpers of the PAC tests: TLV building, a sample PAC, and reading the PAC
// cache queue and the host's recorders.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "keystore/ks_pac.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "ks_pac_internal.h"
#include "ks_test_util.h"
#include "ks_trace.h"

namespace kstest {

using Bytes = std::vector<uint8_t>;

// A TLV whose length field says value.size() (or `length` when given).
inline Bytes tlv(uint16_t type, const Bytes &value, int length = -1) {
    uint16_t l = length < 0 ? static_cast<uint16_t>(value.size()) : static_cast<uint16_t>(length);
    Bytes out{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), static_cast<uint8_t>(l >> 8),
              static_cast<uint8_t>(l)};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

inline Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
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

// Stores a key of any type directly in the software keystore.
inline int32_t store_raw(uint8_t type, const Bytes &name, const Bytes &value, const Bytes &meta = {}) {
    Bytes handle = cat(Bytes{type}, name);
    return ks_sw_store_sym_key(handle.data(), static_cast<uint32_t>(handle.size()), nullptr, 0, value.data(),
                               static_cast<uint32_t>(value.size()), meta.empty() ? nullptr : meta.data(),
                               static_cast<uint32_t>(meta.size()));
}

// Empties the key table (a prefix of length 0 matches every key).
inline void clear_table() {
    const uint8_t any = 0;
    ks_sym_key_prefix_purge(&any, 0);
}

inline bool pac_stored(const Bytes &aid) {
    Bytes handle = cat(Bytes{KS_KEY_TYPE_PAC}, aid);
    return ks_sym_key_find(handle.data(), static_cast<uint32_t>(handle.size())) >= 0;
}

// The cache's entries from head to tail.
inline std::vector<pac_cache_entry *> cache_entries() {
    std::vector<pac_cache_entry *> out;
    for (auto *e = static_cast<pac_cache_entry *>(ks_pac_cacheq[0]); e != nullptr; e = e->link) out.push_back(e);
    return out;
}

inline Bytes entry_aid(const pac_cache_entry *e) { return Bytes(e->aid, e->aid + e->aid_len); }

// (added, A-ID) of every PAC notification so far.
inline std::vector<std::pair<int, Bytes>> pac_events() {
    std::vector<std::pair<int, Bytes>> out;
    for (size_t i = 0; i < ksh_pac_event_count(); ++i) {
        const ksh_pac_event *e = ksh_pac_event_at(i);
        out.emplace_back(e->added, Bytes(e->aid, e->aid + e->aid_len));
    }
    return out;
}

// Indexes of the PAC table's traces so far, in order.
inline std::vector<uint32_t> pac_traces() {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < ksh_trace_count(); ++i) {
        const ksh_trace_record *r = ksh_trace_at(i);
        if (r->table == 1) out.push_back(r->index);
    }
    return out;
}

}  // namespace kstest
