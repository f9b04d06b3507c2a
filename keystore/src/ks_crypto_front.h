// Shared steps of the cryptographic front operations: the key-name check,
// building a key handle on the caller's stack, and the answer when the
// hardware keystore is selected but no chip is there.
#pragma once

#include <bit>
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

// Builds the handle of a checked name: type byte, then the name bytes (at
// most KS_NAME_MAX), zeros to the end; length = name length + 1. Each 8-byte
// word of the handle is put together in a register and written with one
// store: the lookup that follows at once reads the handle a word at a time,
// and a load that one earlier store covers is served from that store instead
// of waiting for several to reach the cache.
inline void build_handle(Handle &h, uint8_t type, const char *name) {
    static_assert(sizeof h.bytes % 8 == 0);
    constexpr auto shift = [](unsigned at) {
        return std::endian::native == std::endian::little ? 8 * at : 56 - 8 * at;
    };
    uint64_t word = uint64_t{type} << shift(0);
    unsigned at = 1;
    size_t pos = 0;  // where the word being built goes
    size_t n = 0;
    for (; n < KS_NAME_MAX && name[n] != '\0'; ++n) {
        word |= uint64_t{static_cast<uint8_t>(name[n])} << shift(at);
        if (++at == 8) {
            std::memcpy(h.bytes + pos, &word, 8);
            pos += 8;
            word = 0;
            at = 0;
        }
    }
    for (; pos < sizeof h.bytes; pos += 8, word = 0) std::memcpy(h.bytes + pos, &word, 8);
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
