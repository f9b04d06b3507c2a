// SPDX-License-Identifier: Apache-2.0
// The PAC store's internal records and operations, shared by the records,
// cache, derivation and expiry sources.
#pragma once

#include <cstdint>

#include "keystore/ks_pac.h"

// Most recent T-PRF result of a PAC: one allocation, the byte strings after
// the fields.
struct pac_derived_secret {
    uint8_t *output;
    uint16_t output_len;
    uint8_t *label;
    uint16_t label_len;
    uint8_t *seed;
    uint16_t seed_len;
};

// Most recent shared-key result for one label ("ZAV-MACK" or "ZAV-KEK").
struct pac_shared_key {
    uint8_t *output;
    uint16_t output_len;
    uint8_t *label;
    uint16_t label_len;
};

// One cached PAC: one allocation holding the fields, then the A-ID, the
// PAC-Opaque TLV and the PAC-Info TLV. Owns its three records.
struct pac_cache_entry {
    pac_cache_entry *link;  // managed by the queue
    uint8_t *aid;
    uint32_t aid_len;
    uint8_t *opaque;
    uint32_t opaque_len;
    uint8_t *info;
    uint32_t info_len;
    pac_derived_secret *derived;
    pac_shared_key *mack;
    pac_shared_key *kek;
};

// Splits PAC metadata into its PAC-Opaque and PAC-Info TLVs (either order);
// false after a debug trace naming what is wrong.
bool pac_meta_split(const uint8_t *meta, uint16_t meta_len, const uint8_t **opaque, uint32_t *opaque_len,
                    const uint8_t **info, uint32_t *info_len);

pac_cache_entry *pac_cache_find(const uint8_t *aid, uint32_t aid_len);
void pac_cache_remove(const uint8_t *aid, uint32_t aid_len);
pac_cache_entry *pac_cache_add(const uint8_t *aid, uint32_t aid_len, const uint8_t *opaque, uint32_t opaque_len,
                               const uint8_t *info, uint32_t info_len);
pac_cache_entry *pac_cache_load(const uint8_t *aid, uint32_t aid_len);

// Releases an entry's records and the entry, cleansed.
void pac_cache_free_entry(pac_cache_entry *entry);
void pac_free_derived(pac_derived_secret *record);
void pac_free_shared_key(pac_shared_key *record);
