// SPDX-License-Identifier: Apache-2.0
// The PAC cache: per A-ID, a parsed copy of a PAC's PAC-Opaque and PAC-Info
// TLVs and the keys derived from that PAC, kept on the platform's FIFO queue
// ks_pac_cacheq. Entries are made when a PAC is stored and, on demand, from
// the key's metadata; they are dropped when the PAC is stored again or
// cleared, and all at once by the purge. A private index over the queue
// (ks_pac_cache_index.h), the PAC store's own, finds an A-ID's entry, and the
// entry before it, without walking the queue; every change of the queue below
// is reported to it.
#include <cstddef>
#include <cstring>

#include "keystore/ks_hw.h"
#include "keystore/ks_modes.h"
#include "keystore/ks_pac.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "keystore/platform/ks_platform_records.h"
#include "ks_cleanse.h"
#include "ks_front.h"
#include "ks_owner_tags.h"
#include "ks_pac_cache_index.h"
#include "ks_pac_common.h"
#include "ks_pac_internal.h"
#include "ks_trace.h"

extern "C" {
// Zero-filled at load: the empty queue. Only the platform's queue operations
// change it; the library reads its first word to walk the entries.
void *ks_pac_cacheq[4] = {};
}

static_assert(sizeof(ks_pac_cacheq) == sizeof(ks_queue_header), "the cache queue is one platform queue header");
static_assert(offsetof(pac_cache_entry, link) == 0, "the queue links entries through their first word");

namespace {

using namespace ks::front;

pac_cache_entry *head() { return static_cast<pac_cache_entry *>(ks_pac_cacheq[0]); }

bool same_aid(const pac_cache_entry *e, const uint8_t *aid, uint32_t aid_len) {
    return e->aid_len == aid_len && (aid_len == 0 || std::memcmp(e->aid, aid, aid_len) == 0);
}

// The first entry from the head with this A-ID (null when none) and the
// entry before it: through the cache's index when it can answer, otherwise by
// a walk of the queue.
pac_cache_entry *locate(const uint8_t *aid, uint32_t aid_len, pac_cache_entry **prev) {
    pac_cache_entry *e = nullptr;
    *prev = nullptr;
    if (ks::pac_cache_index_find(aid, aid_len, &e, prev)) return e;
    for (e = head(); e != nullptr && !same_aid(e, aid, aid_len); *prev = e, e = e->link) {
    }
    return e;
}

size_t entry_size(uint32_t aid_len, uint32_t opaque_len, uint32_t info_len) {
    return sizeof(pac_cache_entry) + size_t{aid_len} + size_t{opaque_len} + size_t{info_len};
}

// Appends len bytes at *cursor and returns where they went.
uint8_t *place(uint8_t *&cursor, const uint8_t *bytes, uint32_t len) {
    uint8_t *at = cursor;
    if (len != 0) std::memcpy(at, bytes, len);
    cursor += len;
    return at;
}

enum class Part { kOpaque, kInfo };

// Hands out a copy of one of the PAC's two TLVs, from the cache or, on a
// miss, from the key's metadata.
int32_t return_tlv(Part part, const uint8_t *aid, uint32_t aid_len, uint8_t **out, uint32_t *out_len) {
    const bool opaque = part == Part::kOpaque;
    if (standby()) return KS_STDBY_NOT_SUPPORTED;
    if (out_len == nullptr || out == nullptr || !ks::pac::aid_valid(aid, aid_len)) {
        ks::trace(opaque ? KS_TRACE_MESSAGE(PAC, OPAQUE_BAD_ARGS) : KS_TRACE_MESSAGE(PAC, INFO_BAD_ARGS),
                  static_cast<const void *>(aid), static_cast<int>(aid_len), static_cast<const void *>(out),
                  static_cast<const void *>(out_len));
        return KS_INVAL_ARGS;
    }

    pac_cache_entry *entry = pac_cache_find(aid, aid_len);
    if (entry == nullptr) entry = pac_cache_load(aid, aid_len);
    if (entry == nullptr) {
        // Also the answer for a PAC that does not exist.
        ks::trace(opaque ? KS_TRACE_MESSAGE(PAC, OPAQUE_FETCH_FAILED) : KS_TRACE_MESSAGE(PAC, INFO_FETCH_FAILED));
        return KS_UNKNOWN_FAILURE;
    }

    const uint8_t *tlv = opaque ? entry->opaque : entry->info;
    uint32_t len = opaque ? entry->opaque_len : entry->info_len;
    // A cached TLV holds at least its header, so the copy is never empty.
    auto *copy = static_cast<uint8_t *>(tagged_calloc(opaque ? ks::kTagOpaqueCopy : ks::kTagInfoCopy, 1, len));
    if (copy == nullptr) {
        ks::trace(opaque ? KS_TRACE_MESSAGE(PAC, OPAQUE_MALLOC_FAILED) : KS_TRACE_MESSAGE(PAC, INFO_MALLOC_FAILED));
        return KS_NO_MEMORY;
    }
    std::memcpy(copy, tlv, len);
    *out = copy;
    *out_len = len;
    return KS_SUCCESS;
}

}  // namespace

// Each record is one allocation: the fields, then its byte strings.
void pac_free_derived(pac_derived_secret *record) {
    if (record == nullptr) return;
    ks::free_cleansed(record, sizeof *record + size_t{record->output_len} + record->label_len + record->seed_len);
}

void pac_free_shared_key(pac_shared_key *record) {
    if (record == nullptr) return;
    ks::free_cleansed(record, sizeof *record + size_t{record->output_len} + record->label_len);
}

void pac_cache_free_entry(pac_cache_entry *entry) {
    if (entry == nullptr) return;
    pac_free_derived(entry->derived);
    pac_free_shared_key(entry->mack);
    pac_free_shared_key(entry->kek);
    ks::free_cleansed(entry, entry_size(entry->aid_len, entry->opaque_len, entry->info_len));
}

pac_cache_entry *pac_cache_find(const uint8_t *aid, uint32_t aid_len) {
    if (aid == nullptr) return nullptr;
    pac_cache_entry *prev;
    return locate(aid, aid_len, &prev);
}

void pac_cache_remove(const uint8_t *aid, uint32_t aid_len) {
    if (aid == nullptr) return;
    pac_cache_entry *prev;
    pac_cache_entry *e = locate(aid, aid_len, &prev);
    if (e == nullptr) return;
    pac_cache_entry *next = e->link;
    // Only what the queue hands back is freed: an entry it did not unlink
    // stays where it is.
    void *unlinked = fifo_unlink(ks_pac_cacheq, e, prev);
    ks::pac_cache_index_unlinked(e, next, unlinked);
    pac_cache_free_entry(static_cast<pac_cache_entry *>(unlinked));
}

pac_cache_entry *pac_cache_add(const uint8_t *aid, uint32_t aid_len, const uint8_t *opaque, uint32_t opaque_len,
                               const uint8_t *info, uint32_t info_len) {
    // At most one entry per A-ID; the old one goes even if the new one
    // cannot be made.
    pac_cache_remove(aid, aid_len);
    if (aid == nullptr || (opaque == nullptr && opaque_len != 0) || (info == nullptr && info_len != 0)) return nullptr;
    // Each length fits 16 bits plus a header for every caller; the bound keeps
    // the sum meaningful on 32-bit size_t too.
    constexpr uint32_t kMaxPart = 0x01000000;
    if (aid_len > kMaxPart || opaque_len > kMaxPart || info_len > kMaxPart) return nullptr;
    // The index makes room first: an index that cannot grow fails the add as
    // the entry's own allocation would.
    if (!ks::pac_cache_index_reserve()) return nullptr;

    auto *entry = static_cast<pac_cache_entry *>(
        tagged_calloc(ks::kTagPacCacheEntry, 1, entry_size(aid_len, opaque_len, info_len)));
    if (entry == nullptr) {
        // An index made for this entry alone goes with it.
        if (ks_pac_cacheq[0] == nullptr) ks::pac_cache_index_emptied();
        return nullptr;
    }
    uint8_t *cursor = reinterpret_cast<uint8_t *>(entry + 1);
    entry->aid = place(cursor, aid, aid_len);
    entry->aid_len = aid_len;
    entry->opaque = place(cursor, opaque, opaque_len);
    entry->opaque_len = opaque_len;
    entry->info = place(cursor, info, info_len);
    entry->info_len = info_len;
    fifo_enqueue(ks_pac_cacheq, entry);
    ks::pac_cache_index_appended(entry);
    return entry;
}

pac_cache_entry *pac_cache_load(const uint8_t *aid, uint32_t aid_len) {
    if (aid == nullptr) return nullptr;
    const Handle handle = Handle::pac(aid, aid_len);
    uint8_t *meta = nullptr;
    uint16_t meta_len = 0;
    const int32_t status = dispatch(
        Chip::kRequired, [&] { return ks_sw_get_meta_data(handle.bytes, handle.len, &meta, &meta_len); },
        [&] { return ks_ae46c1_get_meta_data(handle.bytes, handle.hw_len(), &meta, &meta_len); });
    if (status != KS_SUCCESS) {
        KS_TRACE(PAC, LOAD_META_FAILED, static_cast<int>(status));
        return nullptr;
    }
    if (meta == nullptr || meta_len == 0) {
        KS_TRACE(PAC, LOAD_META_FAILED, static_cast<int>(KS_SUCCESS));
        tagged_free(meta);
        return nullptr;
    }

    const uint8_t *opaque, *info;
    uint32_t opaque_len, info_len;
    pac_cache_entry *entry = nullptr;
    if (pac_meta_split(meta, meta_len, &opaque, &opaque_len, &info, &info_len))
        entry = pac_cache_add(aid, aid_len, opaque, opaque_len, info, info_len);
    ks::free_cleansed(meta, meta_len);
    return entry;
}

extern "C" {

void ks_pac_cache_purge(void) {
    while (void *e = fifo_dequeue(ks_pac_cacheq)) pac_cache_free_entry(static_cast<pac_cache_entry *>(e));
    ks::pac_cache_index_emptied();
}

int32_t ks_return_pac_opaque(const uint8_t *aid, uint32_t aid_len, uint8_t **out, uint32_t *out_len) {
    return return_tlv(Part::kOpaque, aid, aid_len, out, out_len);
}

int32_t ks_return_pac_info(const uint8_t *aid, uint32_t aid_len, uint8_t **out, uint32_t *out_len) {
    return return_tlv(Part::kInfo, aid, aid_len, out, out_len);
}

}  // extern "C"
