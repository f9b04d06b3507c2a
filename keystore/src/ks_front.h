// Shared by the front operations: the check of a caller's text name and the
// key handle built from it in a buffer on the caller's stack.
#pragma once

#include <cstdint>
#include <cstring>

#include "keystore/ks_types.h"

namespace ks {

// A key handle: the key-type byte followed by the name bytes, no terminator.
struct Handle {
    uint8_t bytes[KS_HANDLE_MAX] = {};
    uint32_t len = 0;

    // The length as the hardware contract takes it: one byte.
    uint8_t len8() const { return static_cast<uint8_t>(len); }
};

// True when name is a text of 1 to KS_NAME_MAX bytes.
inline bool name_ok(const char *name) {
    if (name == nullptr) return false;
    size_t n = std::strlen(name);
    return n >= 1 && n <= KS_NAME_MAX;
}

// Builds [type][name bytes] with length strlen(name) + 1; false, with the
// handle untouched, when the name fails name_ok.
inline bool make_handle(Handle &h, uint8_t type, const char *name) {
    if (!name_ok(name)) return false;
    size_t n = std::strlen(name);
    h.bytes[0] = type;
    std::memcpy(h.bytes + 1, name, n);
    h.len = static_cast<uint32_t>(n + 1);
    return true;
}

}  // namespace ks
