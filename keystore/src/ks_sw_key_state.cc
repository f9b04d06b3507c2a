// SPDX-License-Identifier: Apache-2.0
// Per-key crypto state. Each slot's record (in the handle index's block)
// names the entry it was made for and its entry of the state block, which
// holds every byte of the state: the HMAC-MD5 and HMAC-SHA-1 states and the
// decrypting and encrypting AES-ECB schedules, each as large as the crypto
// backend says (an AES schedule takes no room where the backend keeps none),
// made and run by the backend in that memory.
//
// The state block has an entry for every slot (a record holds at most one);
// it is allocated at load and kept for the life of the process, like the
// index (owner tag kTagStateBlock, beside the index's). If that allocation failed,
// every operation takes its plain path. Entries stay put when records move
// with their slots. A record and its entry are cleansed when dropped. A state
// is used only while its slot still holds the same entry with the same value
// length; otherwise it is dropped and made again.
#include "ks_sw_key_state.h"

#include <cstring>

#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_owner_tags.h"
#include "ks_sw_index.h"
#include "ks_sw_table.h"

namespace ks {

namespace {

enum : uint8_t { kMadeMd5 = 1, kMadeSha1 = 2, kMadeAes = 4 };  // kMadeAes << direction (0 decrypting, 1 encrypting)

constexpr size_t align16(size_t n) { return (n + 15) & ~size_t{15}; }

// Where each part sits in an entry, and an entry's size: the backend's sizes,
// each part on a 16-byte boundary.
struct Layout {
    size_t md5, sha1, aes[2], stride;  // aes: [0] decrypting, [1] encrypting
    bool has_aes;                      // the backend keeps AES schedules
};

struct StateBlock {
    uint16_t free_count;
    uint16_t free[KS_MAX_KEYS];
};
constexpr size_t kEntriesAt = align16(sizeof(StateBlock));  // the entries follow the free list

StateBlock *g_states = nullptr;
Layout g_layout{};

// At load, after the index.
__attribute__((constructor(111))) void allocate_states_at_load() {
    Layout l{};
    l.sha1 = l.md5 + align16(crypto::hmac_state_bytes(crypto::Md::kMd5));
    l.aes[0] = l.sha1 + align16(crypto::hmac_state_bytes(crypto::Md::kSha1));
    l.aes[1] = l.aes[0] + align16(crypto::aes_schedule_bytes());
    l.stride = l.aes[1] + align16(crypto::aes_schedule_bytes());
    l.has_aes = crypto::aes_schedule_bytes() != 0;
    auto *b = static_cast<StateBlock *>(tagged_calloc(kTagStateBlock, 1, kEntriesAt + KS_MAX_KEYS * l.stride));
    if (b == nullptr) return;
    for (uint16_t i = 0; i < KS_MAX_KEYS; ++i) b->free[i] = static_cast<uint16_t>(KS_MAX_KEYS - 1 - i);
    b->free_count = KS_MAX_KEYS;
    g_layout = l;
    g_states = b;
}

uint8_t *entry_at(uint16_t i) { return reinterpret_cast<uint8_t *>(g_states) + kEntriesAt + i * g_layout.stride; }

// The record's entry, taking a free one when it has none; null when there is
// no state block.
uint8_t *bytes_of(KeyState &s) {
    if (s.bytes == 0) {
        if (g_states == nullptr || g_states->free_count == 0) return nullptr;
        s.bytes = static_cast<uint16_t>(g_states->free[--g_states->free_count] + 1);
    }
    return entry_at(s.bytes - 1);
}

// The record s of slot `slot` for the slot's current entry, started afresh
// when it belongs to another; null when s is (no usable index).
KeyState *state_for(KeyState *s, int32_t slot) {
    if (s == nullptr) return nullptr;
    const ks_sym_key_entry *e = ks_sym_keys[slot];
    if (s->entry != e || s->value_len != e->value_len) {
        key_state_clear(*s);
        s->entry = e;
        s->value_len = e->value_len;
    }
    return s;
}

bool aes_key_len(uint32_t len) { return len == 16 || len == 24 || len == 32; }

}  // namespace

void key_state_clear(KeyState &s) {
    if (s.entry == nullptr) return;  // no state
    if (s.bytes != 0) {
        cleanse(entry_at(s.bytes - 1), g_layout.stride);
        g_states->free[g_states->free_count++] = static_cast<uint16_t>(s.bytes - 1);
    }
    cleanse(&s, sizeof s);
}

void key_state_forget(KeyState &s) { cleanse(&s, sizeof s); }

bool key_state_hmac(KeyState *state, int32_t slot, crypto::Md md, const uint8_t *data, uint32_t data_len,
                    uint8_t *out) {
    if (md != crypto::Md::kMd5 && md != crypto::Md::kSha1) return false;
    KeyState *s = state_for(state, slot);
    uint8_t *b = s != nullptr && s->value_len != 0 ? bytes_of(*s) : nullptr;
    if (b == nullptr) return false;
    const bool sha1 = md == crypto::Md::kSha1;
    const uint8_t bit = sha1 ? kMadeSha1 : kMadeMd5;
    void *at = b + (sha1 ? g_layout.sha1 : g_layout.md5);
    if ((s->made & bit) == 0) {
        if (!crypto::hmac_state_make(md, entry_value(s->entry), s->value_len, at)) return false;
        s->made |= bit;
    }
    return crypto::hmac_state_run(md, at, data, data_len, out);
}

AesResult key_state_aes_ecb(KeyState *state, int32_t slot, bool encrypt, const uint8_t *in, uint8_t *out,
                            uint32_t len) {
    if (len % 16 != 0 || len > 0x7FFFFFF0u || !g_layout.has_aes) return AesResult::kNotDone;
    KeyState *s = state_for(state, slot);
    if (s == nullptr || !aes_key_len(s->value_len)) return AesResult::kNotDone;
    uint8_t *b = bytes_of(*s);
    if (b == nullptr) return AesResult::kNotDone;
    const int d = encrypt ? 1 : 0;
    void *schedule = b + g_layout.aes[d];
    if ((s->made & (kMadeAes << d)) == 0) {
        if (!crypto::aes_schedule_make(schedule, entry_value(s->entry), s->value_len, encrypt))
            return AesResult::kNotDone;
        s->made |= kMadeAes << d;
    }
    // From here on output may be written, so a failure is final.
    constexpr AesResult kDone = AesResult::kDone, kFailed = AesResult::kCryptoError;
    // In place or apart: all blocks at once. Overlapping at an offset: block by
    // block through a scratch block, as a walk over the blocks would.
    if (in == out || in + len <= out || out + len <= in)
        return crypto::aes_schedule_run(schedule, s->value_len, encrypt, in, out, len) ? kDone : kFailed;
    Scratch<16> block;
    for (uint32_t off = 0; off < len; off += 16) {
        if (!crypto::aes_schedule_run(schedule, s->value_len, encrypt, in + off, block.data(), 16)) return kFailed;
        std::memcpy(out + off, block.data(), 16);
    }
    return kDone;
}

}  // namespace ks
