// SPDX-License-Identifier: Apache-2.0
// Per-key crypto state. A key's block holds its header, the HMAC-MD5 and
// HMAC-SHA-1 states and, once it has been used by AES, the decrypting and
// encrypting AES-ECB schedules, each as large as the crypto backend says (an
// AES schedule takes no room where the backend keeps none, and no block is
// made for AES then), made and run by the backend in that memory. Each part
// starts on a 16-byte boundary; the platform's blocks are 16-byte aligned.
//
// The pointer block has one pointer per slot and moves them as the slots
// move. A state is used only while its slot still holds the entry it was made
// for with the same value length; otherwise it is dropped and made again. A
// block is cleansed when it is released.
#include "ks_sw_key_state.h"

#include <cstring>

#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_owner_tags.h"
#include "ks_sw_entry.h"

namespace ks {

namespace {

enum : uint8_t { kMadeMd5 = 1, kMadeSha1 = 2, kMadeAes = 4 };  // kMadeAes << direction (0 decrypting, 1 encrypting)

constexpr size_t align16(size_t n) { return (n + 15) & ~size_t{15}; }

// Where each part sits in a key's block, and the block's two sizes: the
// backend's sizes, each part on a 16-byte boundary.
struct Layout {
    size_t md5, sha1, aes[2];  // aes: [0] decrypting, [1] encrypting
    size_t hmac_only, with_aes;
    bool has_aes;  // the backend keeps AES schedules
};

Layout make_layout() {
    Layout l{};
    l.md5 = align16(sizeof(KeyState));
    l.sha1 = l.md5 + align16(crypto::hmac_state_bytes(crypto::Md::kMd5));
    l.hmac_only = l.sha1 + align16(crypto::hmac_state_bytes(crypto::Md::kSha1));
    l.aes[0] = l.hmac_only;
    l.aes[1] = l.aes[0] + align16(crypto::aes_schedule_bytes());
    l.with_aes = l.aes[1] + align16(crypto::aes_schedule_bytes());
    l.has_aes = crypto::aes_schedule_bytes() != 0;
    return l;
}

// The backend's sizes are fixed for the build: laid out once, at load.
const Layout g_layout = make_layout();

// The pointer block: this header, then a pointer per slot.
struct Slots {
    int32_t capacity;
    int32_t held;  // pointers that are not null
};

Slots *g_slots = nullptr;

KeyState **states_of(Slots *s) { return reinterpret_cast<KeyState **>(s + 1); }
size_t slots_size(int32_t capacity) { return sizeof(Slots) + static_cast<size_t>(capacity) * sizeof(KeyState *); }

size_t state_size(const KeyState *s) { return s->with_aes != 0 ? g_layout.with_aes : g_layout.hmac_only; }

bool grow_slots(int32_t slots) {
    const int32_t capacity = part_capacity(slots);
    auto *s = static_cast<Slots *>(tagged_calloc(kTagKeyStateSlots, 1, slots_size(capacity)));
    if (s == nullptr) return false;
    s->capacity = capacity;
    if (Slots *old = g_slots) {
        s->held = old->held;
        std::memcpy(states_of(s), states_of(old), static_cast<size_t>(old->capacity) * sizeof(KeyState *));
        free_cleansed(old, slots_size(old->capacity));
    }
    g_slots = s;
    return true;
}

void release_slots() {
    free_cleansed(g_slots, slots_size(g_slots->capacity));
    g_slots = nullptr;
}

// The slot's pointer, making or growing the pointer block to reach it; null
// when it cannot be allocated.
KeyState **pointer_of(int32_t slot) {
    // A slot indexes the table, so room for the table's count covers it.
    if ((g_slots == nullptr || slot >= g_slots->capacity) && !grow_slots(ks_num_sym_keys)) return nullptr;
    return &states_of(g_slots)[slot];
}

// The state of the entry at `slot`, made (with room for the AES schedules
// when `aes`) or grown when needed; a state made for another entry is
// dropped first. Null when none may be used or it cannot be allocated.
KeyState *state_for(int32_t slot, bool aes) {
    if (slot < 0) return nullptr;
    const ks_sym_key_entry *e = ks_sym_keys[slot];
    if (const KeyState *old = key_state_at(slot); old != nullptr && (old->entry != e || old->value_len != e->value_len))
        key_state_drop(slot);
    KeyState **at = pointer_of(slot);
    if (at == nullptr) return nullptr;
    KeyState *s = *at;
    if (s != nullptr && (s->with_aes != 0 || !aes)) return s;
    auto *made = static_cast<KeyState *>(tagged_calloc(kTagKeyState, 1, aes ? g_layout.with_aes : g_layout.hmac_only));
    if (made == nullptr) {
        if (g_slots->held == 0) release_slots();  // made for this state only
        return nullptr;
    }
    if (s != nullptr) {
        // Grown for the AES schedules: the header and the HMAC states move.
        std::memcpy(made, s, g_layout.hmac_only);
        free_cleansed(s, g_layout.hmac_only);
    } else {
        made->entry = e;
        made->value_len = e->value_len;
        ++g_slots->held;
    }
    made->with_aes = aes ? 1 : 0;
    *at = made;
    return made;
}

bool aes_key_len(uint32_t len) { return len == 16 || len == 24 || len == 32; }

}  // namespace

bool key_state_reserve(int32_t slots) { return g_slots == nullptr || g_slots->capacity >= slots || grow_slots(slots); }

void key_state_release() {
    if (g_slots == nullptr) return;
    for (int32_t i = 0; i < g_slots->capacity; ++i) {
        KeyState *s = states_of(g_slots)[i];
        if (s != nullptr) free_cleansed(s, state_size(s));
    }
    release_slots();
}

void key_state_drop(int32_t slot) {
    if (g_slots == nullptr || slot >= g_slots->capacity || states_of(g_slots)[slot] == nullptr) return;
    KeyState *&s = states_of(g_slots)[slot];
    free_cleansed(s, state_size(s));
    s = nullptr;
    if (--g_slots->held == 0) release_slots();
}

void key_state_move(int32_t from, int32_t to) {
    if (g_slots == nullptr || from >= g_slots->capacity) return;
    KeyState **states = states_of(g_slots);
    states[to] = states[from];
    states[from] = nullptr;
}

const KeyState *key_state_at(int32_t slot) {
    return g_slots != nullptr && slot < g_slots->capacity ? states_of(g_slots)[slot] : nullptr;
}

int32_t key_state_count() { return g_slots != nullptr ? g_slots->held : 0; }

bool key_state_hmac(int32_t slot, crypto::Md md, const uint8_t *data, uint32_t data_len, uint8_t *out) {
    if ((md != crypto::Md::kMd5 && md != crypto::Md::kSha1) || slot < 0 || ks_sym_keys[slot]->value_len == 0)
        return false;
    KeyState *s = state_for(slot, false);
    if (s == nullptr) return false;
    const bool sha1 = md == crypto::Md::kSha1;
    const uint8_t bit = sha1 ? kMadeSha1 : kMadeMd5;
    void *at = reinterpret_cast<uint8_t *>(s) + (sha1 ? g_layout.sha1 : g_layout.md5);
    if ((s->made & bit) == 0) {
        if (!crypto::hmac_state_make(md, entry_value(s->entry), s->value_len, at)) return false;
        s->made |= bit;
    }
    return crypto::hmac_state_run(md, at, data, data_len, out);
}

AesResult key_state_aes_ecb(int32_t slot, bool encrypt, const uint8_t *in, uint8_t *out, uint32_t len) {
    if (len % 16 != 0 || len > 0x7FFFFFF0u || !g_layout.has_aes || slot < 0 ||
        !aes_key_len(ks_sym_keys[slot]->value_len))
        return AesResult::kNotDone;
    KeyState *s = state_for(slot, true);
    if (s == nullptr) return AesResult::kNotDone;
    const int d = encrypt ? 1 : 0;
    void *schedule = reinterpret_cast<uint8_t *>(s) + g_layout.aes[d];
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
