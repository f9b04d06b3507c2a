// SPDX-License-Identifier: Apache-2.0
// What every front operation shares: the key handle it builds on the stack,
// the choice of the keystore that serves the request, and the walk over the
// key handles of one type.
//
// A front checks its arguments, builds the handle, then hands the request to
// dispatch() with one call for the software keystore and one for the hardware
// contract.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "keystore/ks_hw.h"
#include "keystore/ks_messages.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/ks_types.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"

namespace ks::front {

// A key handle: the type byte, then the name or A-ID. Built on the stack in
// one pass over the name; the bytes past the last 8-byte word it fills are
// left unset, as neither keystore reads past the handle's length.
struct Handle {
    uint8_t bytes[KS_HANDLE_MAX];
    uint32_t len = 0;

    // A checked build from a name of 1 to KS_NAME_MAX bytes; false for any
    // other name, which is then an invalid argument. Reads at most
    // KS_NAME_MAX + 1 bytes, so an unterminated long name is refused without a
    // scan past it.
    bool named(uint8_t type, const char *name) {
        if (name == nullptr) return false;
        const uint32_t n = fill<true>(type, reinterpret_cast<const uint8_t *>(name), KS_NAME_MAX);
        return n != 0 && name[n] == '\0';
    }
    // The handle of a PAC, from an A-ID that is not null. The copy is bounded
    // by the name part, so a length the caller did not check can never run
    // past the buffer.
    static Handle pac(const uint8_t *aid, uint32_t aid_len) {
        Handle h;
        h.fill<false>(KS_KEY_TYPE_PAC, aid, aid_len < KS_NAME_MAX ? aid_len : KS_NAME_MAX);
        return h;
    }
    // The purge prefix of a store: none (nullptr, length 0) without a purge
    // name, else the handle of the purge name, which must then be a valid
    // name. False for an invalid one.
    bool purge(const char *purge_name) {
        return purge_name == nullptr || purge_name[0] == '\0' || named(KS_KEY_TYPE_SECRET, purge_name);
    }
    const uint8_t *prefix() const { return len != 0 ? bytes : nullptr; }

    // The hardware contract takes handle lengths as one byte.
    uint8_t hw_len() const { return static_cast<uint8_t>(len); }

  private:
    // Writes the type byte, then up to max bytes of src (up to its NUL for a
    // text), and sets len; returns the number of src bytes taken. Each 8-byte
    // word is put together in a register and written with one store: the
    // lookup that follows at once reads the handle a word at a time, and a
    // load that one earlier store covers is served from that store instead of
    // waiting for several to reach the cache.
    template <bool kText>
    uint32_t fill(uint8_t type, const uint8_t *src, uint32_t max) {
        static_assert(sizeof bytes % 8 == 0);
        constexpr auto shift = [](unsigned at) {
            return std::endian::native == std::endian::little ? 8 * at : 56 - 8 * at;
        };
        uint64_t word = uint64_t{type} << shift(0);
        unsigned at = 1;
        size_t pos = 0;  // where the word being built goes
        uint32_t n = 0;
        for (; n < max && (!kText || src[n] != 0); ++n) {
            word |= uint64_t{src[n]} << shift(at);
            if (++at == 8) {
                std::memcpy(bytes + pos, &word, 8);
                pos += 8;
                word = 0;
                at = 0;
            }
        }
        if (at != 0) std::memcpy(bytes + pos, &word, 8);
        len = n + 1;
        return n;
    }
};

// Whether this unit is the standby, which refuses the operations that store,
// change or use keys (each front says which it refuses): the one way the
// fronts ask.
inline bool standby() { return ks_is_standby != 0; }

enum class Backend { kSoftware, kHardware, kAbsent };

// What a request for the hardware keystore asks of the chip first.
enum class Chip {
    kAssumed,   // nothing: the hardware contract answers whether or not the chip is there
    kRequired,  // its presence; when absent the NO_KEYSTORE error message is emitted
    kProbed,    // its presence, without a message: the caller reports the absence itself
};

inline bool chip_present() { return reg_invoke_ks_platform_is_hw_present() != 0; }

// The keystore that serves a request now: the software keystore when it is
// switched on, otherwise the hardware contract, or kAbsent when the chip was
// asked for and is not there. This is the one place the NO_KEYSTORE message
// is emitted.
inline Backend backend(Chip chip) {
    if (ks_use_sw_ks != 0) return Backend::kSoftware;
    if (chip == Chip::kAssumed || chip_present()) return Backend::kHardware;
    if (chip == Chip::kRequired) sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE);
    return Backend::kAbsent;
}

// Runs the request on the keystore that serves it: sw() or hw(), whose
// status it returns; KS_NO_KEYSTORE when the chip is absent.
template <typename Sw, typename Hw>
int32_t dispatch(Chip chip, Sw sw, Hw hw) {
    switch (backend(chip)) {
        case Backend::kSoftware: return sw();
        case Backend::kHardware: return hw();
        case Backend::kAbsent: break;
    }
    return KS_NO_KEYSTORE;
}

// Index positions a walk may visit: the hardware contract counts in 16 bits.
inline constexpr uint32_t kIndexSpan = 0x10000;

// Walks the key table by index from `from` over the handles of one type,
// asking the backend at each step, for at most one full turn of the 16-bit
// index (it wraps past 65535). visit(copy, len, index) gets each handle of the
// type as a copy it owns (a block to release with free_cleansed) and returns
// true to end the walk; handles of other types are released here. Returns
// KS_SUCCESS when visit ended the walk, KS_NO_MORE_RECORDS after a full turn,
// or the status of the step the backend refused (KS_NO_MORE_RECORDS past the
// last key). A backend that answers KS_SUCCESS without handing out a handle
// (the hardware contract's stubs do) has reached the end as well.
template <typename Visit>
int32_t walk_handles(uint8_t type, uint16_t from, Chip chip, Visit visit) {
    uint16_t i = from;
    for (uint32_t visited = 0; visited < kIndexSpan; ++visited, ++i) {
        uint8_t *copy = nullptr;
        uint8_t len = 0;
        const int32_t status = dispatch(
            chip, [&] { return ks_sw_return_key_handle_by_index(i, &copy, &len); },
            [&] { return ks_ae46c1_return_key_handle_by_index(i, &copy, &len); });
        if (status != KS_SUCCESS) return status;
        if (copy == nullptr) return KS_NO_MORE_RECORDS;
        if (len == 0 || copy[0] != type) {
            free_cleansed(copy, len);
            continue;
        }
        if (visit(copy, len, i)) return KS_SUCCESS;
    }
    return KS_NO_MORE_RECORDS;
}

}  // namespace ks::front
