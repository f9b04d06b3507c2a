// SPDX-License-Identifier: Apache-2.0
// Traces: a call names a message of the lists in traces/ and passes its
// arguments, KS_TRACE(PAC, TPRF_NOT_IN_CACHE); the module, level and form the
// message is traced with come from its list.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "keystore/platform/ks_platform.h"
#include "ks_trace_tables.h"

namespace ks {

// One message of a trace table, as the generated KS_TRA_<TABLE>_<NAME> gives
// it: module (an entry of trace_module_ids), level and form.
struct TraceMessage {
    const void *table;
    uint32_t index;
    int module;
    uint32_t level;
    bool packed;
};

// Puts one argument of a packed record at p, unless p is null, and returns
// its size: an integer as 4 bytes, a text as its length (4 bytes) and its
// bytes without the terminator, an address as itself.
template <typename T>
uint64_t trace_pack(uint8_t *p, T v) {
    if constexpr (std::is_convertible_v<T, const char *>) {
        const size_t n = v != nullptr ? std::strlen(v) : 0;
        if (p != nullptr && n != 0) std::memcpy(p + 4, v, n);
        return trace_pack(p, static_cast<uint32_t>(n)) + n;
    } else {
        const auto x = static_cast<std::conditional_t<std::is_pointer_v<T>, const void *, int32_t>>(v);
        if (p != nullptr) std::memcpy(p, &x, sizeof x);
        return sizeof x;
    }
}

// Emits the message with its arguments: through trace_emit, or as one packed
// record (native order, unaligned) for a message its list marks packed.
template <typename... A>
void trace(const TraceMessage &m, A... args) {
    const uint16_t module = trace_module_ids[m.module];
    if (!m.packed) return trace_emit(m.table, m.index, module, m.level, args...);
    const uint64_t size = (uint64_t{0} + ... + trace_pack(nullptr, args));
    void *record = size > UINT32_MAX
                       ? nullptr
                       : trace_record_reserve(m.table, m.index, module, m.level, static_cast<uint32_t>(size));
    if (record == nullptr) return;
    [[maybe_unused]] auto *p = static_cast<uint8_t *>(record);
    ((p += trace_pack(p, args)), ...);
    trace_record_commit(record, static_cast<uint32_t>(size), module, m.level);
}

// Emits the message once for each byte of a run, the byte its one argument.
inline void trace_bytes(const TraceMessage &m, const uint8_t *bytes, uint32_t len) {
    for (uint32_t i = 0; i < len; ++i) trace(m, static_cast<int>(bytes[i]));
}

}  // namespace ks

#define KS_TRACE_MESSAGE(table, name) \
    (ks::TraceMessage{KS_TRACE_DESC_##table, KS_TR_##table##_##name, KS_TRA_##table##_##name})
// KS_TRACE(FRONT, STORE_SW, "KEYSTORE_DBG")
#define KS_TRACE(table, name, ...) ks::trace(KS_TRACE_MESSAGE(table, name) __VA_OPT__(, ) __VA_ARGS__)
// KS_TRACE_BYTES(PAC, TPRF_CACHE_BYTE, out, out_len)
#define KS_TRACE_BYTES(table, name, bytes, len) ks::trace_bytes(KS_TRACE_MESSAGE(table, name), bytes, len)
