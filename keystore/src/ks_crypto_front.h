// Shared steps of the cryptographic front operations: the key-name check,
// building a key handle on the caller's stack, and the answer when the
// hardware keystore is selected but no chip is there.
#pragma once

#include <cstdint>
#include <cstring>

#include "keystore/ks_hw.h"
#include "keystore/ks_messages.h"
#include "keystore/ks_types.h"
#include "keystore/platform/ks_platform.h"

namespace ks::front {

// A key handle built on the stack: type byte, then the name; never allocated.
struct Handle {
    uint8_t bytes[KS_HANDLE_MAX];
    uint32_t len;
};

// True for a name of 1 to KS_NAME_MAX bytes. Reads at most KS_NAME_MAX + 1
// bytes, so an unterminated long name is refused without a scan past it.
inline bool name_ok(const char *name) {
    if (name == nullptr) return false;
    size_t n = strnlen(name, KS_NAME_MAX + 1);
    return n >= 1 && n <= KS_NAME_MAX;
}

// Builds the handle of a checked name: type byte, then the name bytes (copy
// bounded by KS_NAME_MAX); length = name length + 1.
inline void build_handle(Handle &h, uint8_t type, const char *name) {
    size_t n = strnlen(name, KS_NAME_MAX);
    std::memset(h.bytes, 0, sizeof h.bytes);
    h.bytes[0] = type;
    std::memcpy(h.bytes + 1, name, n);
    h.len = static_cast<uint32_t>(n + 1);
}

// The hardware keystore's one-byte handle length.
inline uint8_t hw_len(const Handle &h) { return static_cast<uint8_t>(h.len); }

// Asks whether the chip is there; when it is not, emits the NO_KEYSTORE error
// message and returns true.
inline bool hw_absent() {
    if (reg_invoke_ks_platform_is_hw_present() != 0) return false;
    sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE);
    return true;
}

}  // namespace ks::front
