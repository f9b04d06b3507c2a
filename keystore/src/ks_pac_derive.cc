// SPDX-License-Identifier: Apache-2.0
// Keys derived from a stored PAC-Key: the EAP-FAST T-PRF and the one-block
// shared keys "ZAV-MACK" and "ZAV-KEK". The last result of each is kept in
// the PAC's cache entry and answers a repeated request without the key.
#include <cstdint>
#include <cstring>

#include "keystore/ks_digest.h"
#include "keystore/ks_hw.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_pac.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_ct.h"
#include "ks_front.h"
#include "ks_owner_tags.h"
#include "ks_pac_common.h"
#include "ks_pac_internal.h"
#include "ks_trace.h"

namespace {

using namespace ks::front;

constexpr char kMackLabel[] = "ZAV-MACK";
constexpr char kKekLabel[] = "ZAV-KEK";
constexpr uint32_t kSha1Selector = 1;

// Shared-key input for inputs that fit; larger ones get an allocation.
uint8_t ks_pac_shared_keys_buf[512];

bool bytes_equal(const void *a, const void *b, size_t n) { return n == 0 || std::memcmp(a, b, n) == 0; }

bool label_is(const char *label, const char *name) { return label != nullptr && std::strcmp(label, name) == 0; }

// Replaces the entry's T-PRF record with one holding these inputs and their
// output. Lengths are kept as 16 bits; a failed allocation leaves none.
void cache_derived(pac_cache_entry *entry, const uint8_t *label, uint32_t label_len, const uint8_t *seed,
                   uint32_t seed_len, const uint8_t *out, uint32_t out_len) {
    pac_free_derived(entry->derived);
    entry->derived = nullptr;
    const uint16_t olen = static_cast<uint16_t>(out_len);
    const uint16_t llen = static_cast<uint16_t>(label_len);
    const uint16_t slen = static_cast<uint16_t>(seed_len);
    const size_t size = sizeof(pac_derived_secret) + size_t{olen} + llen + slen;
    auto *rec = static_cast<pac_derived_secret *>(tagged_calloc(ks::kTagPacDerived, 1, size));
    if (rec == nullptr) return;
    auto *bytes = reinterpret_cast<uint8_t *>(rec + 1);
    rec->output = bytes;
    rec->output_len = olen;
    rec->label = bytes + olen;
    rec->label_len = llen;
    rec->seed = bytes + olen + llen;
    rec->seed_len = slen;
    if (olen != 0) std::memcpy(rec->output, out, olen);
    KS_CT_SECRET(rec->output, olen);  // a derived key the library keeps
    if (llen != 0) std::memcpy(rec->label, label, llen);
    if (slen != 0) std::memcpy(rec->seed, seed, slen);
    entry->derived = rec;
}

// A new shared-key record (output bytes, then the label), or null.
pac_shared_key *new_shared_key(uint32_t tag, const char *label, uint32_t label_len, const uint8_t *out,
                               uint32_t out_len) {
    const uint16_t olen = static_cast<uint16_t>(out_len);
    const uint16_t llen = static_cast<uint16_t>(label_len);
    auto *rec = static_cast<pac_shared_key *>(tagged_calloc(tag, 1, sizeof(pac_shared_key) + size_t{olen} + llen));
    if (rec == nullptr) return nullptr;
    auto *bytes = reinterpret_cast<uint8_t *>(rec + 1);
    rec->output = bytes;
    rec->output_len = olen;
    rec->label = bytes + olen;
    rec->label_len = llen;
    if (olen != 0) std::memcpy(rec->output, out, olen);
    KS_CT_SECRET(rec->output, olen);  // a derived key the library keeps
    if (llen != 0) std::memcpy(rec->label, label, llen);
    return rec;
}

// Copies a cached derived key to the caller, to whom it is public.
void give_cached(uint8_t *out, const uint8_t *cached, uint32_t len) {
    std::memcpy(out, cached, len);
    KS_CT_DECLASSIFY(out, len);
}

bool shared_key_matches(const pac_shared_key *rec, const char *label, uint32_t label_len, uint32_t out_len) {
    return rec != nullptr && rec->label_len == label_len && bytes_equal(rec->label, label, label_len) &&
           rec->output_len == out_len;
}

}  // namespace

extern "C" {

int32_t ks_pac_key_t_prf(const uint8_t *aid, uint32_t aid_len, const uint8_t *label, uint32_t label_len,
                         const uint8_t *seed, uint32_t seed_len, uint8_t *out, uint32_t out_len) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    if (!ks::pac::aid_valid(aid, aid_len) || out == nullptr || out_len == 0) return KS_INVAL_ARGS;
    // A label or seed that claims bytes at a null address is refused rather
    // than read, as the keyed digests refuse such a piece.
    if ((label == nullptr && label_len != 0) || (seed == nullptr && seed_len != 0)) return KS_INVAL_ARGS;

    pac_cache_entry *entry = pac_cache_find(aid, aid_len);
    if (entry != nullptr && entry->derived != nullptr) {
        KS_TRACE(PAC, TPRF_FOUND_IN_CACHE);
        const pac_derived_secret *d = entry->derived;
        if (d->label_len == label_len && bytes_equal(d->label, label, label_len) && d->seed_len == seed_len &&
            bytes_equal(d->seed, seed, seed_len) && d->output_len == out_len) {
            KS_TRACE(PAC, TPRF_RETURNED_FROM_CACHE);
            give_cached(out, d->output, d->output_len);
            KS_TRACE(PAC, TPRF_CACHE_OUTPUT, static_cast<int>(out_len));
            return KS_SUCCESS;
        }
    }
    KS_TRACE(PAC, TPRF_NOT_IN_CACHE);

    const Handle handle = Handle::pac(aid, aid_len);
    const int32_t status = dispatch(
        Chip::kRequired,
        [&] {
            const int32_t st =
                ks_sw_sym_key_t_prf(handle.bytes, handle.len, label, label_len, seed, seed_len, out, out_len);
            KS_TRACE(PAC, TPRF_GENERATED, static_cast<int>(st));
            KS_TRACE(PAC, TPRF_OUTPUT_LEN, static_cast<int>(out_len));
            KS_TRACE_BYTES(PAC, TPRF_OUTPUT_BYTE, out, out_len);
            return st;
        },
        [&] {
            return ks_ae46c1_sym_key_t_prf(handle.bytes, handle.hw_len(), label, label_len, seed, seed_len, out,
                                           out_len);
        });
    if (status != KS_SUCCESS) return status;

    KS_TRACE(PAC, TPRF_WRITING_CACHE, static_cast<int>(out_len));
    KS_TRACE_BYTES(PAC, TPRF_CACHE_BYTE, out, out_len);
    KS_TRACE(PAC, TPRF_CACHE_END);

    entry = pac_cache_find(aid, aid_len);
    if (entry == nullptr) entry = pac_cache_load(aid, aid_len);
    if (entry != nullptr) cache_derived(entry, label, label_len, seed, seed_len, out, out_len);
    return KS_SUCCESS;
}

int32_t ks_pac_check_cache_entry_for_shared_keys(const uint8_t *aid, uint32_t aid_len, const char *label,
                                                 uint32_t label_len, uint8_t *out, uint32_t out_len) {
    const pac_cache_entry *entry = pac_cache_find(aid, aid_len);
    // No output to copy to counts as a miss: the caller derives instead.
    if (out == nullptr) entry = nullptr;
    if (label_is(label, kMackLabel)) {
        if (entry != nullptr && shared_key_matches(entry->mack, label, label_len, out_len)) {
            KS_TRACE(PAC, SK_MACK_FROM_CACHE);
            give_cached(out, entry->mack->output, out_len);
            return KS_SUCCESS;
        }
    } else if (label_is(label, kKekLabel)) {
        if (entry != nullptr && shared_key_matches(entry->kek, label, label_len, out_len)) {
            KS_TRACE(PAC, SK_KEK_FROM_CACHE);
            give_cached(out, entry->kek->output, out_len);
            return KS_SUCCESS;
        }
    }
    KS_TRACE(PAC, SK_NOT_IN_CACHE);
    return KS_UNKNOWN_FAILURE;
}

int32_t ks_pac_shared_keys_t_prf(const uint8_t *aid, uint32_t aid_len, const char *device_id, uint32_t device_id_len,
                                 const char *label, uint32_t label_len, uint8_t *out, uint32_t out_len) {
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    if (!ks::pac::aid_valid(aid, aid_len) || out == nullptr || out_len == 0) return KS_INVAL_ARGS;

    if (ks_pac_check_cache_entry_for_shared_keys(aid, aid_len, label, label_len, out, out_len) == KS_SUCCESS) {
        KS_TRACE(PAC, SK_RETURNED_FROM_CACHE);
        KS_TRACE(PAC, SK_HIT_LABEL, static_cast<int32_t>(label_len), label, static_cast<int32_t>(out_len));
        KS_TRACE_BYTES(PAC, SK_HIT_BYTE, out, out_len);
        KS_TRACE(PAC, SK_HIT_END);
        return KS_SUCCESS;
    }

    KS_TRACE(PAC, SK_DEVICE_ID, static_cast<int>(device_id_len), device_id != nullptr ? device_id : "");
    KS_TRACE(PAC, SK_AID_LEN, static_cast<int>(aid_len));
    KS_TRACE_BYTES(PAC, SK_AID_BYTE, aid, aid_len);
    // A miss traces the request as it arrived, before the backend is chosen
    // or anything derived, so the request is on record whatever the derivation
    // then answers. The output bytes are therefore the caller's buffer as it
    // was passed in, not the derived key: this path traces no derived byte.
    KS_TRACE(PAC, SK_MISS_LABEL, static_cast<int32_t>(label_len), label, static_cast<int32_t>(out_len));
    KS_TRACE_BYTES(PAC, SK_MISS_BYTE, out, out_len);
    KS_TRACE(PAC, SK_MISS_END);

    // Input: 0x01 || label || 0x00 || device_id || L, L the output length in
    // bits as 16 bits big-endian. The size is computed in 64 bits.
    const ks::StaticOrHeap input(ks_pac_shared_keys_buf, uint64_t{label_len} + device_id_len + 4,
                                 ks::kTagSharedKeyInput);
    if (input.data() == nullptr) return KS_UNKNOWN_FAILURE;
    uint8_t *p = input.data();
    *p++ = 0x01;
    // Both buffers start out zero (the static one is cleared after each use),
    // so a missing label or identity contributes zero bytes of its length.
    if (label != nullptr && label_len != 0) std::memcpy(p, label, label_len);
    p += label_len;
    *p++ = 0x00;
    if (device_id != nullptr && device_id_len != 0) std::memcpy(p, device_id, device_id_len);
    p += device_id_len;
    *p++ = static_cast<uint8_t>(out_len / 32);
    *p++ = static_cast<uint8_t>(out_len * 8);

    const Handle handle = Handle::pac(aid, aid_len);
    const uint16_t input_len = static_cast<uint16_t>(input.size());
    const int32_t status = dispatch(
        Chip::kRequired,
        [&] { return ks_sw_hmac(handle.bytes, handle.len, input.data(), input_len, out, kSha1Selector); },
        [&] { return ks_ae46c1_hmac_sha1(handle.bytes, handle.hw_len(), input.data(), input_len, out); });
    if (status != KS_SUCCESS) return status;

    pac_cache_entry *entry = pac_cache_find(aid, aid_len);
    if (entry == nullptr) {
        entry = pac_cache_load(aid, aid_len);
        if (entry == nullptr) {
            KS_TRACE(PAC, SK_POPULATE_FAILED);
            return KS_SUCCESS;
        }
        KS_TRACE(PAC, SK_POPULATED, static_cast<const void *>(entry));
    }
    if (label_is(label, kMackLabel)) {
        pac_free_shared_key(entry->mack);
        entry->mack = new_shared_key(ks::kTagPacMack, label, label_len, out, out_len);
    } else if (label_is(label, kKekLabel)) {
        pac_free_shared_key(entry->kek);
        entry->kek = new_shared_key(ks::kTagPacKek, label, label_len, out, out_len);
    } else {
        KS_TRACE(PAC, SK_NO_MATCHING_LABEL);
    }
    return KS_SUCCESS;
}

}  // extern "C"
