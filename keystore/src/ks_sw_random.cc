// SPDX-License-Identifier: Apache-2.0
// Random numbers from the software keystore: raw bytes from the platform's
// random source, or printable or alphanumeric characters drawn from it.
#include <cstdint>

#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_owner_tags.h"

namespace {

constexpr int32_t kRandomPrintable = 1;
constexpr int32_t kRandomAlnum = 2;

// The C locale's printable and alphanumeric classes, on 7-bit values.
bool in_class(uint8_t c, int32_t kind) {
    if (kind == kRandomPrintable) return c >= 0x20 && c <= 0x7E;
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

extern "C" int32_t ks_sw_generate_random_number(uint8_t *buffer, int32_t length, int32_t kind) {
    const uint32_t n = length > 0 ? static_cast<uint32_t>(length) : 0;
    (void)platform_random_fill(buffer, n);
    if (kind != kRandomPrintable && kind != kRandomAlnum) return KS_SUCCESS;
    if (n == 0) return KS_NO_MEMORY;

    const ks::OwnedBlock scratch(ks::kTagRandomScratch, n);
    uint8_t *const s = scratch.data();
    if (s == nullptr) return KS_NO_MEMORY;
    (void)platform_random_fill(s, n);
    uint32_t pos = 0;

    // Each output byte keeps its low 7 bits when they fall in the class;
    // otherwise it takes the next scratch byte (low 7 bits) that does. The
    // scratch position carries over from one output byte to the next.
    for (uint32_t k = 0; k < n; ++k) {
        uint8_t c = buffer[k] & 0x7F;
        while (!in_class(c, kind)) {
            c = s[pos] & 0x7F;
            if (++pos == n) {
                (void)platform_random_fill(s, n);
                pos = 0;
            }
        }
        buffer[k] = c;
    }
    return KS_SUCCESS;
}
