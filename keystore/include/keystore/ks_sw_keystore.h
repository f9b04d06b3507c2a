// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_sw_keystore Software keystore
 *
 * The software keystore: the in-memory key table and the operations on it.
 *
 * Keys live in one table in process memory, in the order they were stored,
 * at most KS_MAX_KEYS of them. Every operation here takes a key handle as
 * (bytes, length) and trusts its arguments: the front operations check them.
 * Handle copies and metadata copies handed out are allocated with the
 * platform allocator; the caller releases them with tagged_free.
 *
 * Not thread-safe: callers use the keystore from one thread at a time.
 * @{
 */
#ifndef KEYSTORE_KS_SW_KEYSTORE_H
#define KEYSTORE_KS_SW_KEYSTORE_H

#include <stdint.h>

#include "keystore/ks_types.h"

KS_EXTERN_C_BEGIN

/** One key: six header words, then the handle, value and metadata bytes in the
 * same allocation. Readers use value_off and meta_off as stored: after a
 * rename or a metadata shrink, total_len may be smaller than the allocation
 * and value_off may exceed handle_len. total_len = 24 + meta_off + meta_len. */
typedef struct ks_sym_key_entry {
    uint32_t total_len;
    uint32_t handle_len;
    uint32_t value_off; /**< from the start of data */
    uint32_t value_len;
    uint32_t meta_off; /**< from the start of data */
    uint32_t meta_len;
    uint8_t data[];
} ks_sym_key_entry;

/** The table: slots 0 to ks_num_sym_keys - 1 hold entries. */
KS_EXPORT extern ks_sym_key_entry **ks_sym_keys;
KS_EXPORT extern int32_t ks_num_sym_keys;
KS_EXPORT extern int32_t ks_sym_tab_size;

/** Index of the entry with this handle, or -1. */
KS_EXPORT int32_t ks_sym_key_find(const uint8_t *handle, uint32_t handle_len);

/** Appends a key, replacing (and moving to the end) an entry with the same
 * handle. A null metadata pointer with a non-zero length stores zero bytes.
 * SUCCESS, KEYSTORE_FULL (also for a re-store at 2000 keys), NO_MEMORY. */
KS_EXPORT int32_t ks_sym_key_insert(const uint8_t *handle, uint32_t handle_len, const uint8_t *value,
                                    uint32_t value_len, const uint8_t *meta, uint32_t meta_len);

/** Removes every entry whose handle begins with the prefix (length 0 matches
 * all). Returns the number removed. */
KS_EXPORT int32_t ks_sym_key_prefix_purge(const uint8_t *prefix, uint32_t prefix_len);

/** Purges with the prefix when it is non-null, then inserts. */
KS_EXPORT int32_t ks_sw_store_sym_key(const uint8_t *handle, uint32_t handle_len, const uint8_t *prefix,
                                      uint32_t prefix_len, const uint8_t *value, uint32_t value_len,
                                      const uint8_t *meta, uint32_t meta_len);

/** Writes 1 or 0 to *exists; always SUCCESS. */
KS_EXPORT int32_t ks_sw_key_exists(const uint8_t *handle, uint32_t handle_len, int32_t *exists);

/** SUCCESS or RECORD_NOT_FOUND. */
KS_EXPORT int32_t ks_sw_delete_key(const uint8_t *handle, uint32_t handle_len);

/** Copies the handle at index (0 or more). SUCCESS with *handle_out a copy the
 * caller frees with tagged_free; NO_MORE_RECORDS past the end (nothing
 * written); NO_MEMORY with *handle_out null. */
KS_EXPORT int32_t ks_sw_return_key_handle_by_index(int32_t index, uint8_t **handle_out, uint8_t *handle_len_out);

/** Fills buffer with random bytes: kind 1 printable (0x20-0x7E), kind 2
 * alphanumeric, any other kind raw bytes. SUCCESS; NO_MEMORY (kinds 1 and 2
 * with length 0, or no scratch buffer). */
KS_EXPORT int32_t ks_sw_generate_random_number(uint8_t *buffer, int32_t length, int32_t kind);

/** Replaces a key's metadata (length 0 removes it). The key keeps its index.
 * SUCCESS, RECORD_NOT_FOUND, NO_MEMORY. ks_sw_add_meta_data is the same. */
KS_EXPORT int32_t ks_sw_add_sym_key_meta(const uint8_t *handle, uint32_t handle_len, const uint8_t *meta,
                                         uint32_t meta_len);
KS_EXPORT int32_t ks_sw_add_meta_data(const uint8_t *handle, uint32_t handle_len, const uint8_t *meta,
                                      uint32_t meta_len);

/** Copies a key's metadata: SUCCESS with *meta_out a copy the caller frees with
 * tagged_free (null and 0 when there is none); RECORD_NOT_FOUND with the
 * outputs untouched; NO_MEMORY with *meta_out null. ks_sw_get_meta_data is
 * the same. */
KS_EXPORT int32_t ks_sw_get_sym_key_meta(const uint8_t *handle, uint32_t handle_len, uint8_t **meta_out,
                                         uint16_t *meta_len_out);
KS_EXPORT int32_t ks_sw_get_meta_data(const uint8_t *handle, uint32_t handle_len, uint8_t **meta_out,
                                      uint16_t *meta_len_out);

/** Purges with the prefix when non-null, then gives the key the new handle,
 * replacing an existing key of that handle. The key keeps its place in the
 * table order. SUCCESS, RECORD_NOT_FOUND, NO_MEMORY. */
KS_EXPORT int32_t ks_sw_rename_key(const uint8_t *old_handle, uint32_t old_len, const uint8_t *new_handle,
                                   uint32_t new_len, const uint8_t *prefix, uint32_t prefix_len);

/** Removes every key of the type (notifying each PAC's removal for type 2).
 * Always SUCCESS. */
KS_EXPORT int32_t ks_sw_delete_all_keys_by_type(uint8_t type);

KS_EXTERN_C_END

/** @} */

#endif
