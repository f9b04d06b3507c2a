// SPDX-License-Identifier: Apache-2.0
// HMAC-MD5 and HMAC-SHA-1 (RFC 2104) over the crypto backend's digests.
//
// The caller owns the context and the digest context inside it. Init keys the
// digest context with the inner pad and keeps the outer pad in the context;
// final finishes the inner digest, runs the outer one into the output and
// frees the digest context.
//
// Failures have no result channel, so they fail closed: any step that fails
// resets the digest context, and a digest context that has not been started
// is never updated or finished. Final then writes nothing to the output.
#include "keystore/ks_hmac.h"

#include <cstring>

#include "ks_cleanse.h"
#include "ks_crypto.h"

namespace {

namespace crypto = ks::crypto;
using crypto::DigestCtx;

constexpr crypto::Md kMd5 = crypto::Md::kMd5;
constexpr crypto::Md kSha1 = crypto::Md::kSha1;
static_assert(crypto::kHmacBlockLen == KS_HMAC_BLOCK_LEN && crypto::digest_len(kMd5) == KS_HMAC_MD5_LEN &&
              crypto::digest_len(kSha1) == KS_HMAC_SHA1_LEN);

// A digest context counts as keyed once init has started it; every failure
// resets it, which drops the digest, so a reset context is never read.
bool keyed(DigestCtx *c) { return crypto::digest_ctx_started(c); }

void init(DigestCtx *c, uint8_t *opad, crypto::Md md, const uint8_t *key, uint32_t key_len) {
    if (c == nullptr) return;
    // Whatever the caller's digest context held before, it is unkeyed until
    // this init completes.
    crypto::digest_ctx_reset(c);
    ks::Scratch<KS_HMAC_BLOCK_LEN> ipad;
    if (!crypto::hmac_pads(md, key, key_len, ipad.data(), opad)) return;
    if (!crypto::digest_start(c, md) || !crypto::digest_update(c, ipad.data(), KS_HMAC_BLOCK_LEN))
        crypto::digest_ctx_reset(c);
}

void update(DigestCtx *c, const uint8_t *data, uint32_t data_len) {
    if (data == nullptr || data_len == 0 || !keyed(c)) return;
    if (!crypto::digest_update(c, data, data_len)) crypto::digest_ctx_reset(c);
}

// Finishes into a local buffer and copies to the output only when every step
// succeeded; frees the digest context in every case.
void finish(uint8_t *digest, DigestCtx *c, const uint8_t *opad, crypto::Md md) {
    if (c == nullptr) return;
    ks::Scratch<crypto::kMaxDigestLen> inner;
    ks::Scratch<crypto::kMaxDigestLen> result;
    size_t inner_len = 0;
    size_t result_len = 0;
    bool ok = keyed(c) && crypto::digest_finish(c, inner.data(), &inner_len) && crypto::digest_start(c, md) &&
              crypto::digest_update(c, opad, KS_HMAC_BLOCK_LEN) && crypto::digest_update(c, inner.data(), inner_len) &&
              crypto::digest_finish(c, result.data(), &result_len);
    if (ok && digest != nullptr) std::memcpy(digest, result.data(), result_len);
    crypto::digest_ctx_free(c);
}

}  // namespace

extern "C" {

void hmac_md5init(hmac_md5_ctx *ctx, const uint8_t *key, uint32_t key_len) {
    if (ctx != nullptr) init(ctx->md_ctx, ctx->opad, kMd5, key, key_len);
}

void hmac_md5update(hmac_md5_ctx *ctx, const uint8_t *data, uint32_t data_len) {
    if (ctx != nullptr) update(ctx->md_ctx, data, data_len);
}

void hmac_md5final(uint8_t *digest, hmac_md5_ctx *ctx) {
    if (ctx != nullptr) finish(digest, ctx->md_ctx, ctx->opad, kMd5);
}

void hmac_md5(const uint8_t *key, uint32_t key_len, const uint8_t *data, uint32_t data_len, uint8_t *digest) {
    hmac_md5_ctx ctx = {};
    if (key == nullptr || key_len == 0) return;
    ctx.md_ctx = crypto::digest_ctx_new();
    if (ctx.md_ctx == nullptr) return;
    init(ctx.md_ctx, ctx.opad, kMd5, key, key_len);
    update(ctx.md_ctx, data, data_len);
    finish(digest, ctx.md_ctx, ctx.opad, kMd5);
    ks::cleanse(&ctx, sizeof ctx);  // the outer pad is derived from the key
}

void hmac_shainit(hmac_sha_ctx *ctx, const uint8_t *key, uint32_t key_len) {
    if (ctx != nullptr) init(ctx->md_ctx, ctx->opad, kSha1, key, key_len);
}

void hmac_shaupdate(hmac_sha_ctx *ctx, const uint8_t *data, uint32_t data_len) {
    if (ctx != nullptr) update(ctx->md_ctx, data, data_len);
}

void hmac_shafinal(uint8_t *digest, hmac_sha_ctx *ctx) {
    if (ctx == nullptr) return;
    finish(digest, ctx->md_ctx, ctx->opad, kSha1);
    ks::cleanse(ctx, sizeof *ctx);
}

void hmac_sha(const uint8_t *key, uint32_t key_len, const uint8_t *data, uint32_t data_len, uint8_t *digest) {
    hmac_sha_ctx ctx = {};
    if (key == nullptr || key_len == 0) return;
    ctx.md_ctx = crypto::digest_ctx_new();
    if (ctx.md_ctx == nullptr) return;
    init(ctx.md_ctx, ctx.opad, kSha1, key, key_len);
    update(ctx.md_ctx, data, data_len);
    finish(digest, ctx.md_ctx, ctx.opad, kSha1);
    ks::cleanse(&ctx, sizeof ctx);
}

}  // extern "C"
