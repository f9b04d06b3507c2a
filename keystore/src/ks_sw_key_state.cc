// SPDX-License-Identifier: Apache-2.0
// Per-key crypto state. Each slot's record (in the handle index's block)
// names the entry it was made for and its entry of the state block, which
// holds every byte of the state:
//
// - HMAC: the MD5 or SHA-1 chaining values after the inner and after the
//   outer pad block. A call loads them into a digest context on the stack
//   (libcrypto's MD5 and SHA-1 functions, whose context is a plain structure
//   the caller owns) and runs the two compressions over the data.
// - AES-ECB: libcrypto's AES-ECB through a cipher description whose cipher
//   data the library keeps: libcrypto writes the key schedules into the entry
//   and never allocates or frees them. A call points a process-wide working
//   context at the schedule and runs libcrypto's block function through it.
//
// The state block has an entry for every slot (a record holds at most one);
// it is allocated at load and kept for the life of the process, like the
// index (owner tag kTagStateBlock, beside the index's). If that allocation failed,
// every operation takes its plain path. Entries stay put when records move
// with their slots. A record and its entry are cleansed when dropped, and
// stack copies when their scope ends. A state is used only while its slot
// still holds the same entry with the same value length; otherwise it is
// dropped and made again.
#include "ks_sw_key_state.h"

#include <cstring>

#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/objects.h>
#include <openssl/sha.h>

#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_owner_tags.h"
#include "ks_sw_index.h"
#include "ks_sw_table.h"
#include "ossl_ptr.h"

namespace ks {

namespace {

constexpr uint32_t kPadBlockBits = 8 * KS_HMAC_BLOCK_LEN;

// Room for the cipher data of libcrypto's AES-ECB (its key schedule and
// function pointers); a larger one leaves AES to the plain path.
constexpr size_t kAesScheduleBytes = 272;

enum : uint8_t { kMadeMd5 = 1, kMadeSha1 = 2, kMadeAes = 4 };  // kMadeAes << direction (0 decrypting, 1 encrypting)

struct StateBytes {
    // Chaining values after the inner [0] and outer [1] pad block.
    uint32_t md5_pads[2][4];
    uint32_t sha1_pads[2][5];
    alignas(16) uint8_t aes[2][kAesScheduleBytes];  // [0] decrypting, [1] encrypting
};

struct StateBlock {
    uint16_t free_count;
    uint16_t free[KS_MAX_KEYS];
    StateBytes entry[KS_MAX_KEYS];
};

StateBlock *g_states = nullptr;

// At load, after the index.
__attribute__((constructor(111))) void allocate_states_at_load() {
    auto *b = static_cast<StateBlock *>(tagged_calloc(kTagStateBlock, 1, sizeof(StateBlock)));
    if (b == nullptr) return;
    for (uint16_t i = 0; i < KS_MAX_KEYS; ++i) b->free[i] = static_cast<uint16_t>(KS_MAX_KEYS - 1 - i);
    b->free_count = KS_MAX_KEYS;
    g_states = b;
}

// The record's entry, taking a free one when it has none; null when there is
// no state block.
StateBytes *bytes_of(KeyState &s) {
    if (s.bytes == 0) {
        if (g_states == nullptr || g_states->free_count == 0) return nullptr;
        s.bytes = static_cast<uint16_t>(g_states->free[--g_states->free_count] + 1);
    }
    return &g_states->entry[s.bytes - 1];
}

// The two digests as libcrypto's own functions over a caller-owned context.
// save/load move the chaining values of a context that has taken exactly one
// block and nothing more.
struct Md5 {
    using Ctx = MD5_CTX;
    static constexpr int kWords = 4;
    static constexpr unsigned kLen = MD5_DIGEST_LENGTH;
    static constexpr uint8_t kBit = kMadeMd5;
    static constexpr ossl::Md kMd = ossl::Md::kMd5;
    static void init(Ctx &c) { MD5_Init(&c); }
    static void update(Ctx &c, const void *p, size_t n) { MD5_Update(&c, p, n); }
    static void finish(uint8_t *out, Ctx &c) { MD5_Final(out, &c); }
    static uint32_t (&pads(StateBytes &s))[2][kWords] { return s.md5_pads; }
    static void save(const Ctx &c, uint32_t *w) { w[0] = c.A, w[1] = c.B, w[2] = c.C, w[3] = c.D; }
    static void load(Ctx &c, const uint32_t *w) {
        c = Ctx{};
        c.A = w[0], c.B = w[1], c.C = w[2], c.D = w[3];
        c.Nl = kPadBlockBits;
    }
};

struct Sha1 {
    using Ctx = SHA_CTX;
    static constexpr int kWords = 5;
    static constexpr unsigned kLen = SHA_DIGEST_LENGTH;
    static constexpr uint8_t kBit = kMadeSha1;
    static constexpr ossl::Md kMd = ossl::Md::kSha1;
    static void init(Ctx &c) { SHA1_Init(&c); }
    static void update(Ctx &c, const void *p, size_t n) { SHA1_Update(&c, p, n); }
    static void finish(uint8_t *out, Ctx &c) { SHA1_Final(out, &c); }
    static uint32_t (&pads(StateBytes &s))[2][kWords] { return s.sha1_pads; }
    static void save(const Ctx &c, uint32_t *w) { w[0] = c.h0, w[1] = c.h1, w[2] = c.h2, w[3] = c.h3, w[4] = c.h4; }
    static void load(Ctx &c, const uint32_t *w) {
        c = Ctx{};
        c.h0 = w[0], c.h1 = w[1], c.h2 = w[2], c.h3 = w[3], c.h4 = w[4];
        c.Nl = kPadBlockBits;
    }
};

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

// The chaining values after the key's block XORed with each pad; false when
// the pads could not be derived (nothing is kept as made then).
template <typename D>
bool make_pads(const KeyState &s, StateBytes &b) {
    Scratch<KS_HMAC_BLOCK_LEN> pads[2];
    if (!hmac_pads(D::kMd, entry_value(s.entry), s.value_len, pads[0].data(), pads[1].data())) return false;
    for (int p = 0; p < 2; ++p) {
        Wiped<typename D::Ctx> c;
        D::init(c.v);
        D::update(c.v, pads[p].data(), KS_HMAC_BLOCK_LEN);
        D::save(c.v, D::pads(b)[p]);
    }
    return true;
}

template <typename D>
bool hmac(KeyState &s, StateBytes &b, const uint8_t *data, uint32_t data_len, uint8_t *out) {
    if ((s.made & D::kBit) == 0) {
        if (!make_pads<D>(s, b)) return false;
        s.made |= D::kBit;
    }
    Wiped<typename D::Ctx> c;
    Scratch<D::kLen> inner;
    D::load(c.v, D::pads(b)[0]);
    if (data != nullptr && data_len != 0) D::update(c.v, data, data_len);
    D::finish(inner.data(), c.v);
    D::load(c.v, D::pads(b)[1]);
    D::update(c.v, inner.data(), D::kLen);
    D::finish(out, c.v);
    return true;
}

// libcrypto's AES-ECB for one key length, described anew so that its cipher
// data is the library's: with no context size of its own, libcrypto neither
// allocates nor frees that data, and the key schedule goes wherever the
// context points. Null when the implementation does not fit that use.
EVP_CIPHER *schedule_in_caller_memory(const EVP_CIPHER *aes) {
    if (aes == nullptr) return nullptr;
    const unsigned long flags = EVP_CIPHER_get_flags(aes);
    // A schedule larger than the record's room, an implementation that must
    // run its init without a key or clean up after itself: plain path.
    if (EVP_CIPHER_impl_ctx_size(aes) <= 0 || static_cast<size_t>(EVP_CIPHER_impl_ctx_size(aes)) > kAesScheduleBytes ||
        (flags & (EVP_CIPH_ALWAYS_CALL_INIT | EVP_CIPH_CTRL_INIT | EVP_CIPH_FLAG_CUSTOM_CIPHER)) != 0 ||
        EVP_CIPHER_meth_get_cleanup(aes) != nullptr || EVP_CIPHER_meth_get_init(aes) == nullptr ||
        EVP_CIPHER_meth_get_do_cipher(aes) == nullptr)
        return nullptr;
    // No object identifier: nothing outside the library can stand in for it.
    EvpCipherMeth c(EVP_CIPHER_meth_new(NID_undef, EVP_CIPHER_get_block_size(aes), EVP_CIPHER_get_key_length(aes)));
    if (!c || EVP_CIPHER_meth_set_flags(c.get(), flags) != 1 ||
        EVP_CIPHER_meth_set_init(c.get(), EVP_CIPHER_meth_get_init(aes)) != 1 ||
        EVP_CIPHER_meth_set_do_cipher(c.get(), EVP_CIPHER_meth_get_do_cipher(aes)) != 1)
        return nullptr;
    return c.release();
}

// The working context of one key length and direction (the cipher set,
// padding off) and the implementation's block function, which a call runs
// directly over whole blocks. Made once for the process, never freed: a
// context keeps pointing at the schedule it was last used with, so that
// libcrypto never frees one, and is pointed at another only when needed.
struct AesWork {
    using Blocks = int (*)(EVP_CIPHER_CTX *, unsigned char *, const unsigned char *, size_t);
    EVP_CIPHER_CTX *ctx[3][2] = {};
    uint8_t *schedule[3][2] = {};  // what each context points at
    Blocks run[3] = {};
    AesWork() {
        const EVP_CIPHER *aes[3] = {EVP_aes_128_ecb(), EVP_aes_192_ecb(), EVP_aes_256_ecb()};
        for (int k = 0; k < 3; ++k) {
            EVP_CIPHER *c = schedule_in_caller_memory(aes[k]);
            if (c == nullptr) continue;
            run[k] = EVP_CIPHER_meth_get_do_cipher(c);
            for (int d = 0; d < 2; ++d) {
                EvpCipherCtx x(EVP_CIPHER_CTX_new());
                if (x && EVP_CipherInit_ex(x.get(), c, nullptr, nullptr, nullptr, d) == 1 &&
                    EVP_CIPHER_CTX_get_cipher_data(x.get()) == nullptr && EVP_CIPHER_CTX_set_padding(x.get(), 0) == 1)
                    ctx[k][d] = x.release();
            }
        }
    }
    // The context of kind k and direction d, pointed at this schedule.
    EVP_CIPHER_CTX *on(int k, int d, uint8_t *data) {
        if (schedule[k][d] != data) {
            EVP_CIPHER_CTX_set_cipher_data(ctx[k][d], data);
            schedule[k][d] = data;
        }
        return ctx[k][d];
    }
};

AesWork &aes_work() {
    static AesWork work;
    return work;
}

int aes_kind(uint32_t key_len) { return key_len == 16 ? 0 : key_len == 24 ? 1 : key_len == 32 ? 2 : -1; }

}  // namespace

void key_state_clear(KeyState &s) {
    if (s.entry == nullptr) return;  // no state
    if (s.bytes != 0) {
        cleanse(&g_states->entry[s.bytes - 1], sizeof(StateBytes));
        g_states->free[g_states->free_count++] = static_cast<uint16_t>(s.bytes - 1);
    }
    cleanse(&s, sizeof s);
}

void key_state_forget(KeyState &s) { cleanse(&s, sizeof s); }

bool key_state_hmac(KeyState *state, int32_t slot, ossl::Md md, const uint8_t *data, uint32_t data_len, uint8_t *out) {
    if (md != ossl::Md::kMd5 && md != ossl::Md::kSha1) return false;
    KeyState *s = state_for(state, slot);
    StateBytes *b = s != nullptr && s->value_len != 0 ? bytes_of(*s) : nullptr;
    if (b == nullptr) return false;
    return md == ossl::Md::kMd5 ? hmac<Md5>(*s, *b, data, data_len, out) : hmac<Sha1>(*s, *b, data, data_len, out);
}

AesResult key_state_aes_ecb(KeyState *state, int32_t slot, bool encrypt, const uint8_t *in, uint8_t *out,
                            uint32_t len) {
    if (len % 16 != 0 || len > 0x7FFFFFF0u) return AesResult::kNotDone;
    KeyState *s = state_for(state, slot);
    if (s == nullptr) return AesResult::kNotDone;
    const int kind = aes_kind(s->value_len);
    if (kind < 0) return AesResult::kNotDone;
    AesWork &work = aes_work();
    const int d = encrypt ? 1 : 0;
    StateBytes *b = work.ctx[kind][d] != nullptr ? bytes_of(*s) : nullptr;
    if (b == nullptr) return AesResult::kNotDone;
    EVP_CIPHER_CTX *ctx = work.on(kind, d, b->aes[d]);
    if ((s->made & (kMadeAes << d)) == 0) {
        if (EVP_CipherInit_ex(ctx, nullptr, nullptr, entry_value(s->entry), nullptr, d) != 1) {
            cleanse(b->aes[d], kAesScheduleBytes);
            return AesResult::kNotDone;
        }
        s->made |= kMadeAes << d;
    }
    // From here on output may be written, so a failure is final.
    constexpr AesResult kDone = AesResult::kDone, kFailed = AesResult::kCryptoError;
    if (len == 0) return kDone;
    // In place or apart: all blocks at once. Overlapping at an offset: block by
    // block through a scratch block, as a walk over the blocks would.
    const AesWork::Blocks run = work.run[kind];
    if (in == out || in + len <= out || out + len <= in) return run(ctx, out, in, len) == 1 ? kDone : kFailed;
    Scratch<16> block;
    for (uint32_t off = 0; off < len; off += 16) {
        if (run(ctx, block.data(), in + off, 16) != 1) return kFailed;
        std::memcpy(out + off, block.data(), 16);
    }
    return kDone;
}

}  // namespace ks
