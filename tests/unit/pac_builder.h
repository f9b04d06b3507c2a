// PAC TLVs, stored PACs and trace look-ups shared by the PAC tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "keystore/ks_pac.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "ks_trace_tables.h"

namespace kstest {

using Bytes = std::vector<uint8_t>;

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }
inline Bytes be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}
// 16-bit big-endian type and value length, then the value.
inline Bytes tlv(uint16_t type, const Bytes &value) {
    return cat({{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), static_cast<uint8_t>(value.size() >> 8),
                 static_cast<uint8_t>(value.size())},
                value});
}
inline Bytes lifetime(uint32_t when) { return tlv(KS_PAC_INFO_LIFETIME, be32(when)); }
inline Bytes iid(const std::string &id) { return tlv(KS_PAC_INFO_IID, text(id)); }
inline Bytes info(const Bytes &elements) { return tlv(KS_PAC_TLV_INFO, elements); }
inline Bytes opaque() { return tlv(KS_PAC_TLV_OPAQUE, {0xA1, 0xA2, 0xA3}); }

inline const uint8_t *u8(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }
inline uint32_t len32(const std::string &s) { return static_cast<uint32_t>(s.size()); }

// Stores a PAC whose PAC-Info holds these elements.
inline int32_t store_pac(const std::string &aid, const Bytes &key, const Bytes &info_elements) {
    Bytes op = opaque(), in = info(info_elements);
    return ks_store_pac(u8(aid), len32(aid), key.data(), static_cast<uint32_t>(key.size()), op.data(),
                        static_cast<uint32_t>(op.size()), in.data(), static_cast<uint32_t>(in.size()));
}

// Trace records of the PAC table with this message index, in order.
inline std::vector<const ksh_trace_record *> pac_traces(uint32_t index) {
    std::vector<const ksh_trace_record *> out;
    for (size_t i = 0; i < ksh_trace_count(); ++i) {
        const ksh_trace_record *r = ksh_trace_at(i);
        if (r->table == 1 && r->index == index) out.push_back(r);
    }
    return out;
}
inline size_t pac_trace_count(uint32_t index) { return pac_traces(index).size(); }

// A-IDs of the deletion notifications, in order.
inline std::vector<std::string> deleted_aids() {
    std::vector<std::string> out;
    for (size_t i = 0; i < ksh_pac_event_count(); ++i) {
        const ksh_pac_event *e = ksh_pac_event_at(i);
        if (e->added == 0) out.emplace_back(reinterpret_cast<const char *>(e->aid), e->aid_len);
    }
    return out;
}

}  // namespace kstest
