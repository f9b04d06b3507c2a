// Helpers shared by the fuzz targets: reading the input, counting the blocks
// the library holds, and keeping the host platform quiet.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "keystore_host/host.h"

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// Reads the fuzzer's input front to back; past its end every read is zero or
// empty.
struct Reader {
    const uint8_t *p;
    size_t left;
    uint8_t u8() {
        if (left == 0) return 0;
        --left;
        return *p++;
    }
    // Two bytes big-endian, missing bytes read as zero.
    uint16_t u16() { return static_cast<uint16_t>(u8() << 8 | u8()); }
    // Two bytes big-endian, or 0 when fewer than two are left.
    uint16_t be16() {
        Bytes b = take(2);
        return b.size() == 2 ? static_cast<uint16_t>(b[0] << 8 | b[1]) : 0;
    }
    // n bytes, or as many as are left.
    Bytes take(size_t n) {
        n = std::min(n, left);
        Bytes out(p, p + n);
        p += n;
        left -= n;
        return out;
    }
};

// Blocks the library holds beyond those it keeps for the life of the
// process (the slot array and the handle index).
inline uint64_t library_blocks() {
    return ksh_alloc_live_blocks() - ksh_alloc_tag_live_blocks(0x0460009B) - ksh_alloc_tag_live_blocks(0x04600095);
}

// No message or trace printing while fuzzing.
inline int quiet_platform() {
    ksh_message_set_print(0);
    ksh_trace_set_print(0);
    return 0;
}

}  // namespace fuzz
