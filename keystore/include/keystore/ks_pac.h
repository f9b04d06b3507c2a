// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_pac EAP-FAST PACs
 *
 * EAP-FAST PACs (RFC 4851, RFC 5422): records, cache, key derivation, expiry
 * and bulk clearing.
 *
 * A PAC is stored as a key of type KS_KEY_TYPE_PAC named by its A-ID (1 to 31
 * bytes, never NUL-terminated): the PAC-Key is the key's value, the PAC-Opaque
 * and PAC-Info TLVs are its metadata. A TLV is a 16-bit big-endian type, a
 * 16-bit big-endian value length (header not counted) and the value. The host
 * is told of every PAC added or removed through notify_pac_added and
 * notify_pac_deleted. Buffers handed out are released with tagged_free.
 * @{
 */
#ifndef KEYSTORE_KS_PAC_H
#define KEYSTORE_KS_PAC_H

#include <stdint.h>

#include "keystore/ks_types.h"

KS_EXTERN_C_BEGIN

#define KS_PAC_TLV_OPAQUE 2u
#define KS_PAC_TLV_INFO 9u
#define KS_PAC_INFO_LIFETIME 3u
#define KS_PAC_INFO_IID 5u
#define KS_PAC_SNMP_KEY_LEN 16u

/** @name Records */
/** @{ */

/** Stores (or replaces) the PAC of an A-ID. opaque and info are the complete
 * PAC-Opaque (type 2) and PAC-Info (type 9) TLVs, headers included. */
KS_EXPORT int32_t ks_store_pac(const uint8_t *aid, uint32_t aid_len, const uint8_t *pac_key, uint32_t pac_key_len,
                               const uint8_t *opaque, uint32_t opaque_len, const uint8_t *info, uint32_t info_len);
/** Clears one PAC; notifies its removal also when there was none. */
KS_EXPORT int32_t ks_clear_pac(const uint8_t *aid, uint32_t aid_len);
/** Writes 1 or 0 to *exists. */
KS_EXPORT int32_t ks_pac_exists(const uint8_t *aid, uint32_t aid_len, int32_t *exists);
/** 1 when the PAC exists, else 0. */
KS_EXPORT int32_t ks_snmp_pac_exists(const uint8_t *aid, uint32_t aid_len);
/** Next PAC at or after table index *index (the index counts all keys): on
 * KS_SUCCESS *index is the found index + 1 and *aid_out a buffer beginning
 * with the A-ID (released with tagged_free). KS_NO_MORE_RECORDS at the end. */
KS_EXPORT int32_t ks_return_aid_by_index(uint16_t *index, uint8_t **aid_out, uint32_t *aid_len_out);
/** Successor of an A-ID in SNMP order (A-IDs read as 16-byte right-aligned
 * big-endian numbers, longer ones by their first 16 bytes; of equal keys the
 * one stored first). *len_inout is the buffer size in (at least 16) and the
 * A-ID length out. 1 when a next A-ID was written, else 0. With the software
 * keystore selected (and the private index the library allocates at load
 * present) the answer comes from a sorted order of the A-IDs, in time
 * logarithmic in the number of keys, with no handle copy and so no
 * allocation; otherwise every key is fetched in turn, and a fetch that fails
 * ends the walk with the best A-ID met so far. */
KS_EXPORT int32_t ks_snmp_get_next_pac(const uint8_t *aid, uint32_t aid_len, uint8_t *next_out, uint8_t *len_inout);
/** @} */

/** @name Cache */
/** @{ */

/** The PAC cache's queue header: four words, zero at load (the empty queue). */
KS_EXPORT extern void *ks_pac_cacheq[4];
/** Empties the cache; no PAC is touched and nobody is notified. */
KS_EXPORT void ks_pac_cache_purge(void);
/** Copies of the PAC-Opaque / PAC-Info TLV (header included), released with
 * tagged_free. KS_UNKNOWN_FAILURE when the PAC cannot be found or read. */
KS_EXPORT int32_t ks_return_pac_opaque(const uint8_t *aid, uint32_t aid_len, uint8_t **out, uint32_t *out_len);
KS_EXPORT int32_t ks_return_pac_info(const uint8_t *aid, uint32_t aid_len, uint8_t **out, uint32_t *out_len);
/** @} */

/** @name Key derivation */
/** @{ */

/** RFC 4851 section 5.5 T-PRF keyed with any stored key: writes exactly
 * out_len & 0xFFFF bytes. */
KS_EXPORT int32_t ks_sw_sym_key_t_prf(const uint8_t *handle, uint32_t handle_len, const uint8_t *label,
                                      uint32_t label_len, const uint8_t *seed, uint32_t seed_len, uint8_t *out,
                                      uint32_t out_len);
/** T-PRF keyed with the PAC-Key of an A-ID; the last result is cached. */
KS_EXPORT int32_t ks_pac_key_t_prf(const uint8_t *aid, uint32_t aid_len, const uint8_t *label, uint32_t label_len,
                                   const uint8_t *seed, uint32_t seed_len, uint8_t *out, uint32_t out_len);
/** KS_SUCCESS with the output written when the "ZAV-MACK" or "ZAV-KEK" result
 * for these inputs is cached; KS_UNKNOWN_FAILURE otherwise. */
KS_EXPORT int32_t ks_pac_check_cache_entry_for_shared_keys(const uint8_t *aid, uint32_t aid_len, const char *label,
                                                           uint32_t label_len, uint8_t *out, uint32_t out_len);
/** One HMAC-SHA-1 block over 0x01 || label || 0x00 || device_id || L (bits,
 * 16-bit big-endian) keyed with the PAC-Key. The output buffer must hold 20
 * bytes whatever out_len says. */
KS_EXPORT int32_t ks_pac_shared_keys_t_prf(const uint8_t *aid, uint32_t aid_len, const char *device_id,
                                           uint32_t device_id_len, const char *label, uint32_t label_len, uint8_t *out,
                                           uint32_t out_len);
/** @} */

/** @name Expiry and bulk clearing */
/** @{ */

/** 1 when the PAC exists and its PAC-Lifetime lies in the future. */
KS_EXPORT int32_t ks_valid_pac_exists(const uint8_t *aid, uint32_t aid_len);
/** The PAC-Lifetime (seconds since 1970), or 0 when there is none. */
KS_EXPORT uint32_t ks_get_pac_expiration(const uint8_t *aid, uint32_t aid_len);
/** 1 when a PAC with this metadata stays (its I-ID is device_id and no
 * lifetime has passed), 0 when it goes. */
KS_EXPORT int32_t ks_sw_pac_still_valid(const uint8_t *meta, uint16_t meta_len, const char *device_id);
KS_EXPORT int32_t ks_sw_delete_old_pacs(const char *device_id);
KS_EXPORT int32_t ks_clear_old_pacs_internal(const char *device_id);
/** Removes expired PACs and PACs of other identities; a null or empty
 * device_id removes every PAC. */
KS_EXPORT int32_t ks_clear_old_pacs(const char *device_id);
KS_EXPORT int32_t ks_clear_all_pacs_internal(void);
KS_EXPORT int32_t ks_clear_all_pacs(void);
/** @} */

KS_EXTERN_C_END

/** @} */

#endif
