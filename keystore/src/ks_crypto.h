// SPDX-License-Identifier: Apache-2.0
// What the library needs from a crypto library, and nothing more: digests
// over pieces (MD4, MD5, SHA-1), HMAC pads and per-key HMAC state, AES-ECB
// with a per-key schedule, ciphers keyed for one call (AES, DES, triple DES,
// RC4), the AES block functions of the exported EPA routine, and wiping.
//
// One implementation, over OpenSSL's libcrypto (ks_crypto_openssl*.cc): the
// only library sources that include an OpenSSL header, and the only place
// that knows which OpenSSL it was built against. It owns a private library
// context with the default and legacy providers (MD4, single DES and RC4 live
// in the legacy one), fetches every algorithm from it once, checks every
// result and never changes the process's default context. Where a version
// offers a faster way that keeps key-derived state in the caller's memory it
// takes it (a fast path); every fast path has a plain path beside it, which a
// build option (KS_CRYPTO_PLAIN) forces. Results are the same on both.
//
// Key-derived state kept between calls (a per-key HMAC state, an AES
// schedule) lives only in memory the caller provides, never in memory
// libcrypto allocates. What libcrypto holds for one call is wiped when the
// call ends.
//
// Functions that take no context of their own (digest, the HMAC pads, the
// EPA blocks) may run on any thread; those that use the backend's working
// contexts (per-key state, CipherCall) serve the keystore's operations, which
// have one caller at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// The digest context the exported HMAC contexts hold (created by their
// callers) and the key schedule the exported EPA functions take: libcrypto's
// own types, named here only by their tags.
struct evp_md_ctx_st;
struct aes_key_st;

namespace ks::crypto {

// Wipes n bytes in a way the optimiser cannot drop.
void cleanse(void *p, size_t n);

// Fetches every algorithm and makes every working context now rather than on
// first use (each is kept for the life of the process once made; one that
// cannot be made now is tried again on its first use). For callers that count
// libcrypto's objects.
void prepare();

// ---- Digests ----

enum class Md : uint8_t { kMd4, kMd5, kSha1 };
inline constexpr size_t kMaxDigestLen = 20;
inline constexpr size_t kHmacBlockLen = 64;  // the block of all three
constexpr size_t digest_len(Md md) { return md == Md::kSha1 ? 20 : 16; }

// One contiguous piece of digest input.
struct Piece {
    const void *bytes;
    size_t len;
};

// The digest of the pieces, in order, into out (digest_len(md) bytes), only
// on kOk. kNoContext: no digest context could be made; kFailed: any other
// failure, the algorithm's absence included.
enum class DigestResult { kOk, kNoContext, kFailed };
DigestResult digest(Md md, const Piece *pieces, size_t count, uint8_t *out);

// A digest context made by a caller of the exported HMAC functions. Started
// means a digest runs on it; any failure below resets it (unstarted).
using DigestCtx = ::evp_md_ctx_st;
DigestCtx *digest_ctx_new();  // null when it cannot be made
void digest_ctx_free(DigestCtx *ctx);
void digest_ctx_reset(DigestCtx *ctx);
bool digest_ctx_started(const DigestCtx *ctx);
// Starts md on ctx (MD5 allowed outside FIPS mode too).
bool digest_start(DigestCtx *ctx, Md md);
bool digest_update(DigestCtx *ctx, const void *bytes, size_t len);
// Finishes the digest digest_start started into out (kMaxDigestLen bytes of
// room); *len gets its size.
bool digest_finish(DigestCtx *ctx, uint8_t *out, size_t *len);

// ---- HMAC (RFC 2104) with MD5 or SHA-1 ----

// The pad blocks of a key: the key (its digest when longer than one block; a
// null key is the empty one), zero-filled to the block and XORed with 0x36
// (ipad) and 0x5c (opad). False, with nothing written, when the long key's
// digest fails.
bool hmac_pads(Md md, const uint8_t *key, size_t key_len, uint8_t ipad[kHmacBlockLen], uint8_t opad[kHmacBlockLen]);

// A key's precomputed HMAC state, in memory the caller keeps (aligned to 8
// bytes): hmac_state_bytes(md) bytes for MD5 or SHA-1. Make: false, nothing
// kept, when the pads cannot be derived. Run: the HMAC of data (null or
// length 0: the empty message) into out (digest_len(md) bytes); false, with
// nothing written, when libcrypto fails.
size_t hmac_state_bytes(Md md);
bool hmac_state_make(Md md, const uint8_t *key, size_t key_len, void *state);
bool hmac_state_run(Md md, const void *state, const uint8_t *data, size_t len, uint8_t *out);

// ---- AES-ECB with a per-key schedule ----

// One direction's key schedule for a 16-, 24- or 32-byte key, in memory the
// caller keeps (aligned to 16 bytes): aes_schedule_bytes() bytes, 0 when this
// build keeps none (the caller then keys a CipherCall per call). Make: false,
// nothing kept, when the schedule cannot be made. Run: whole blocks, len a
// multiple of 16, in and out the same buffer or apart; false when libcrypto
// failed (output may be written).
size_t aes_schedule_bytes();
bool aes_schedule_make(void *schedule, const uint8_t *key, size_t key_len, bool encrypt);
bool aes_schedule_run(void *schedule, size_t key_len, bool encrypt, const uint8_t *in, uint8_t *out, size_t len);

// ---- Ciphers keyed for one call ----

enum class Cipher : uint8_t { kAes128Ecb, kAes192Ecb, kAes256Ecb, kDesEcb, kDesEde3Ecb, kRc4 };

// A cipher keyed for one call, padding off. Its key schedule lives in
// libcrypto's memory only while the object does and is wiped when it goes:
// AES keys a working context kept for the process (one per key length and
// direction, so one object of a kind at a time) and rekeys it with an
// all-zero key at the end; the others make a context of their own and free
// it. ok() is false when the cipher could not be keyed. DES, triple DES and
// RC4 do not run in constant time in libcrypto: the key and the data they
// are given become public at the call (ks_crypto_openssl.cc).
class CipherCall {
  public:
    CipherCall(Cipher cipher, const uint8_t *key, bool encrypt);
    ~CipherCall();
    CipherCall(const CipherCall &) = delete;
    CipherCall &operator=(const CipherCall &) = delete;
    bool ok() const { return ctx_ != nullptr; }
    // Exactly len bytes from in to out (the same buffer allowed). False when
    // libcrypto fails.
    bool run(const uint8_t *in, uint8_t *out, size_t len);
    // The final step, which must add no bytes.
    bool finish();

  private:
    void *ctx_ = nullptr;         // libcrypto's cipher context
    int kept_ = -1;               // the working context's slot, or -1: the call's own
    bool variable_time_ = false;  // DES, triple DES or RC4
};

// ---- The exported EPA routine's AES ----

// Expands a 16-, 24- or 32-byte key into libcrypto's AES key schedule for
// the block functions below; false when it refuses the key. These are
// libcrypto's table-driven AES functions, not constant-time: what they are
// given becomes public at the call.
bool epa_key(const uint8_t *key, size_t key_len, bool encrypt, aes_key_st *schedule);
// One 16-byte block in place, with a schedule made by epa_key (or by the
// caller with libcrypto's own AES key functions).
void epa_encrypt_block(const aes_key_st *schedule, uint8_t block[16]);
void epa_decrypt_block(const aes_key_st *schedule, uint8_t block[16]);

}  // namespace ks::crypto
