// Helpers shared by the PAC records and the PAC cache: A-ID checks, PAC key
// handles, TLV headers and the choice of backend.
#pragma once

#include <cstdint>
#include <cstring>

#include "keystore/ks_types.h"

namespace ks::pac {

inline constexpr uint32_t kTlvHeaderLen = 4;

// An A-ID is 1 to KS_AID_MAX bytes and never null.
inline bool aid_valid(const uint8_t *aid, uint32_t aid_len) {
    return aid != nullptr && aid_len >= 1 && aid_len <= KS_AID_MAX;
}

// The key handle of a PAC: type byte 2, then the A-ID. Built on the stack.
struct Handle {
    uint8_t bytes[KS_HANDLE_MAX] = {};
    uint32_t len = 0;

    // The copy is bounded by the name part, so a length the caller did not
    // check can never run past the buffer.
    Handle(const uint8_t *aid, uint32_t aid_len) {
        bytes[0] = KS_KEY_TYPE_PAC;
        uint32_t n = aid_len < KS_NAME_MAX ? aid_len : KS_NAME_MAX;
        if (aid != nullptr && n != 0) std::memcpy(bytes + 1, aid, n);
        len = n + 1;
    }
    // The hardware contract takes handle lengths as one byte.
    uint8_t hw_len() const { return static_cast<uint8_t>(len); }
};

// Big-endian 16-bit field; the caller guarantees two readable bytes.
inline uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

enum class Backend { kSoftware, kHardware, kAbsent };

// The backend that serves a request now. With the hardware keystore selected
// but not present, the NO_KEYSTORE error message is emitted here and
// kAbsent returned: the caller answers KS_NO_KEYSTORE.
Backend backend();

}  // namespace ks::pac
