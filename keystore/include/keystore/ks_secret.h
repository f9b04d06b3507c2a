// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_secret Secret API
 *
 * The secret API: named secrets (key type KS_KEY_TYPE_SECRET) for other
 * processes.
 *
 * Store a secret with optional metadata, test for it, read and replace its
 * metadata, delete it, rename it, enumerate the names, walk them in sorted
 * order for an SNMP agent, draw random numbers and check a secret's fitness
 * for redundancy. Secret values go in and never come back out.
 *
 * Names are NUL-terminated texts of 1 to KS_NAME_MAX (31) bytes, taken byte
 * for byte (no case folding); a null, empty or longer name is refused with
 * KS_INVAL_ARGS. Requests go to the software keystore while ks_use_sw_ks is
 * non-zero, else to the hardware keystore contract (ks_hw.h); the backend's
 * status is returned unchanged unless stated.
 *
 * Operations marked "refused on a standby" return KS_STDBY_NOT_SUPPORTED while
 * ks_is_standby is non-zero, before any other check. Argument faults return
 * KS_INVAL_ARGS and change nothing.
 *
 * Buffers handed out (names, metadata copies) are allocated with the platform
 * allocator; the caller releases them with tagged_free. Not thread-safe:
 * callers use the keystore from one thread at a time.
 * @{
 */
#ifndef KEYSTORE_KS_SECRET_H
#define KEYSTORE_KS_SECRET_H

#include <stdint.h>

#include "keystore/ks_types.h"

KS_EXTERN_C_BEGIN

/** Random-number kinds of ks_generate_random_number. */
#define KS_RANDOM_PRINTABLE 1    /**< every byte 0x20 to 0x7E */
#define KS_RANDOM_ALPHANUMERIC 2 /**< every byte 0-9, A-Z or a-z */
#define KS_RANDOM_RAW 0          /**< any other kind: raw bytes */

/** Fills buffer (length bytes, OUT) with random bytes of the kind. Refused on
 * a standby; KS_INVAL_ARGS for a null buffer or length 0. */
KS_EXPORT int32_t ks_generate_random_number(uint8_t *buffer, uint32_t length, int32_t kind);

/** Tests for the secret. On KS_SUCCESS *exists (OUT) is 1 (present) or 0
 * (absent). The hardware contract may answer KS_SUCCESS without writing
 * *exists. */
KS_EXPORT int32_t ks_secret_exists(const char *name, int32_t *exists);

/** Whether the secret is fit for redundancy: KS_RECORD_NOT_FOUND when it is
 * absent (or cannot be tested); KS_SUCCESS with *consistent (OUT) set to 1
 * when the software keystore is in use or redundancy is disabled;
 * KS_NOT_SUPPORTED otherwise, *consistent unwritten. */
KS_EXPORT int32_t ks_check_ha_consistency(const char *name, int32_t *consistent);

/** Stores (or replaces) a secret: value of 1 to KS_SECRET_MAX (256) bytes,
 * metadata of meta_len bytes (null and 0 for none; passed on unchecked). When
 * purge_name is non-null and non-empty (at most 31 bytes), every secret whose
 * name begins with it is deleted first. Refused on a standby. KS_SUCCESS,
 * KS_KEYSTORE_FULL, KS_NO_MEMORY (a purge done stays done). */
KS_EXPORT int32_t ks_store_secret_and_metadata(const char *name, const char *purge_name, const uint8_t *value,
                                               uint32_t value_len, const uint8_t *meta, uint32_t meta_len);

/** Replaces the secret's metadata (meta_len bytes, at most KS_METADATA_MAX);
 * a null meta with length 0 removes it. A null meta with a non-zero length,
 * or a non-null meta with length 0, is KS_INVAL_ARGS. Refused on a standby.
 * KS_SUCCESS, KS_RECORD_NOT_FOUND, KS_NO_MEMORY. */
KS_EXPORT int32_t ks_add_metadata(const char *name, const uint8_t *meta, uint16_t meta_len);

/** Copies the secret's metadata. On KS_SUCCESS *meta_out (OUT) is a copy the
 * caller frees with tagged_free, or null when there is none, and *meta_len_out
 * (OUT) its length. On any other status both are set to null and 0. meta_len_out
 * is not tested and must be valid. Refused on a standby. */
KS_EXPORT int32_t ks_return_metadata(const char *name, uint8_t **meta_out, uint16_t *meta_len_out);

/** Deletes the secret. Refused on a standby. KS_SUCCESS, KS_RECORD_NOT_FOUND. */
KS_EXPORT int32_t ks_clear_secret(const char *name);

/** Renames a secret, silently replacing a secret of the new name; the secret
 * keeps its place in the enumeration order. Renaming a name to itself answers
 * KS_SUCCESS and does nothing else. When purge_name is non-null and non-empty
 * (any length), every secret whose name begins with it is deleted first, the
 * old one included. Refused on a standby. KS_SUCCESS, KS_RECORD_NOT_FOUND,
 * KS_NO_MEMORY. */
KS_EXPORT int32_t ks_rename_secret(const char *old_name, const char *new_name, const char *purge_name);

/** Enumerates the secret names in table order. Start with *index (IN/OUT) 0
 * and call again with the updated index until the status is not KS_SUCCESS
 * (KS_NO_MORE_RECORDS at the end). On KS_SUCCESS *name_out (OUT) is a
 * NUL-terminated copy of the next name, freed by the caller with tagged_free,
 * and *index the position after it. The index is a 16-bit count. */
KS_EXPORT int32_t ks_return_secret_handle_by_index(uint16_t *index, char **name_out);

/** 1 when the secret exists, else 0 (a bad name included). */
KS_EXPORT int32_t ks_snmp_password_exists(const char *name);

/** Get-next for an SNMP agent: replaces the NUL-terminated name in buffer
 * (IN/OUT, buffer_len of at least 32 bytes) by the smallest secret name that
 * compares greater in strcmp order and returns 1; returns 0, buffer
 * unchanged, when there is none or the buffer is null or too short. An empty
 * text yields the smallest name. With the software keystore selected (and the
 * private index the library allocates at load present) the answer comes from
 * a sorted order of the names, in time logarithmic in the number of keys,
 * with no handle copy and so no allocation; otherwise every key is fetched in
 * turn, and a fetch that fails ends the walk with the best name met so far. */
KS_EXPORT int32_t ks_snmp_get_next_password(char *buffer, uint32_t buffer_len);

/** Reads the record of type KS_KEY_TYPE_WDC named name from the hardware
 * keystore, whatever ks_use_sw_ks says. On KS_SUCCESS *data_out (OUT) is a
 * copy the caller frees with tagged_free and *data_len_out (OUT) its length;
 * the shipped hardware contract writes neither, so both keep the values they
 * had. On any other status both are set to null and 0. */
KS_EXPORT int32_t keystore_return_wdc(const char *name, uint8_t **data_out, uint16_t *data_len_out);

KS_EXTERN_C_END

/** @} */

#endif
