// SPDX-License-Identifier: Apache-2.0
// EPA block chaining over a caller's AES key schedule.
//
// The chaining value and the current block are held as four 32-bit words in
// host order. Reversing the bytes of each 4-byte group of a block is then a
// byte swap of each word as it is stored, whatever the host's byte order.
#include "keystore/ks_epa.h"

#include <cstring>

#include "ks_cleanse.h"
#include "ks_crypto.h"

namespace {

using Words = uint32_t[4];

bool mode_accepted(uint32_t mode) { return mode >= KS_EPA_MODE_FIRST && mode <= KS_EPA_MODE_LAST; }

void load(Words w, const uint8_t *p) { std::memcpy(w, p, KS_EPA_BLOCK_LEN); }
void store(uint8_t *p, const Words w) { std::memcpy(p, w, KS_EPA_BLOCK_LEN); }

// Writes the block with each 4-byte group reversed.
void store_swapped(uint8_t *p, const Words w) {
    for (int i = 0; i < 4; ++i) {
        uint32_t s = __builtin_bswap32(w[i]);
        std::memcpy(p + 4 * i, &s, 4);
    }
}

// Reads a block with each 4-byte group reversed.
void load_swapped(Words w, const uint8_t *p) {
    for (int i = 0; i < 4; ++i) {
        std::memcpy(&w[i], p + 4 * i, 4);
        w[i] = __builtin_bswap32(w[i]);
    }
}

}  // namespace

extern "C" {

void epa_encrypt(uint32_t mode, const AES_KEY *key, const uint8_t *in, uint8_t *out, uint8_t *chain, int32_t len) {
    if (!mode_accepted(mode)) return;
    Words v, t = {};
    ks::Scratch<KS_EPA_BLOCK_LEN> block;
    load(v, chain);
    // 64-bit offsets: a length near the 32-bit limit must not wrap.
    for (int64_t off = 0; off < len; off += KS_EPA_BLOCK_LEN) {
        load(t, in + off);
        for (int i = 0; i < 4; ++i) t[i] ^= v[i];
        store_swapped(block.data(), t);
        ks::crypto::epa_encrypt_block(key, block.data());
        load_swapped(v, block.data());
        store(out + off, v);
    }
    store(chain, v);
    ks::cleanse(t, sizeof t);
}

void epa_decrypt(uint32_t mode, const AES_KEY *key, const uint8_t *in, uint8_t *out, uint8_t *chain, int32_t len) {
    if (!mode_accepted(mode)) return;
    Words v, w, t = {};
    ks::Scratch<KS_EPA_BLOCK_LEN> block;
    load(v, chain);
    for (int64_t off = 0; off < len; off += KS_EPA_BLOCK_LEN) {
        load(w, in + off);  // read whole before out, which may be in, is written
        store_swapped(block.data(), w);
        ks::crypto::epa_decrypt_block(key, block.data());
        load_swapped(t, block.data());
        for (int i = 0; i < 4; ++i) t[i] ^= v[i];
        store(out + off, t);
        std::memcpy(v, w, sizeof v);
    }
    store(chain, v);
    ks::cleanse(t, sizeof t);
}

void A_RC4Init(void) {}

int32_t A_RC4Update(void) { return 0; }

}  // extern "C"
