// SPDX-License-Identifier: Apache-2.0
// The marker secrets of the core-dump test: letters and digits drawn from a
// seed, so that the child that stores them and the test that searches its core
// make the same ones while no copy sits in either program's files, and so that
// they can be given to kstool as words.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kscore {

struct Marker {
    const char *name;  // the key's name (an A-ID for the PAC)
    size_t len;
    bool password;  // also searched as UTF-16LE
    bool stored;    // stored in the keystore (else only passed to an operation)
};

// A secret for the digests, keys of each cipher's lengths, a PAC-Key, two
// MS-CHAPv2 passwords and the new password handed to a password change.
constexpr Marker kMarkers[] = {
    {"secret", 48, false, true}, {"aes", 32, false, true}, {"aes128", 16, false, true},
    {"3des", 21, false, true},   {"des", 7, false, true},  {"pac", 32, false, true},
    {"pw", 40, true, true},      {"pw2", 40, true, true},  {"newpw", 40, true, false},
};
constexpr size_t kMarkerCount = sizeof kMarkers / sizeof kMarkers[0];

// Marker i for this seed (splitmix64 over the seed and i, mapped onto letters
// and digits).
inline void marker_bytes(uint64_t seed, size_t i, uint8_t *out) {
    uint64_t x = seed ^ (0x9E3779B97F4A7C15ull * (i + 1));
    for (size_t k = 0; k < kMarkers[i].len; ++k) {
        x += 0x9E3779B97F4A7C15ull;
        uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        out[k] = static_cast<uint8_t>(kAlphabet[z % 62]);
    }
}

}  // namespace kscore
