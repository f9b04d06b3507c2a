// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_types Status codes, key types and sizes
 *
 * Status codes, key types and sizes shared by every keystore interface.
 *
 * Every keystore operation returns a status code: a signed 32-bit number
 * where SUCCESS is 1 and 0 means NOT_SUPPORTED. Yes/no queries return 1 or 0.
 * @{
 */
#ifndef KEYSTORE_KS_TYPES_H
#define KEYSTORE_KS_TYPES_H

#include <stdint.h>

#include "keystore/ks_export.h"

KS_EXTERN_C_BEGIN

/** X(name, value): the one list of status codes. ks_err_str prints the names
 * exactly as written here, without the KS_ prefix. 15 to 20 are unassigned. */
#define KS_STATUS_LIST(X)        \
    X(NOT_SUPPORTED, 0)          \
    X(SUCCESS, 1)                \
    X(UNKNOWN_FAILURE, 2)        \
    X(INVAL_ARGS, 3)             \
    X(NO_MEMORY, 4)              \
    X(RECORD_NOT_FOUND, 5)       \
    X(NO_MORE_RECORDS, 6)        \
    X(KEYSTORE_FULL, 7)          \
    X(TIMEOUT, 8)                \
    X(BAD_KEY, 9)                \
    X(CRYPTO_ERR, 10)            \
    X(KEY_LEN_NOT_SUPPORTED, 11) \
    X(TRANSMISSION_ERR, 12)      \
    X(COMPACTION_ERR, 13)        \
    X(BAD_EEPROM_CELL, 14)       \
    X(FW_ALERT, 21)              \
    X(BAD_FRAGMENT_LEN, 22)      \
    X(BAD_RESPONSE_FORMAT, 23)   \
    X(BAD_VERSION, 24)           \
    X(RPC_LIMIT, 25)             \
    X(RPC_ERR, 26)               \
    X(ARGS_TOO_BIG, 27)          \
    X(STDBY_NOT_SUPPORTED, 28)   \
    X(HA_ERROR, 29)              \
    X(ISSU_XFORM_ERR, 30)        \
    X(HA_IPC_ERR, 31)            \
    X(HA_MSG_ERR, 32)            \
    X(NO_KEYSTORE, 33)           \
    X(HA_CHK_FAIL, 34)

#define KS_STATUS_ENUM_(name, value) KS_##name = value,
typedef enum ks_status { KS_STATUS_LIST(KS_STATUS_ENUM_) } ks_status;
#undef KS_STATUS_ENUM_

/** Key types: the first byte of a key handle. */
#define KS_KEY_TYPE_SECRET 0x01 /**< simple secret or password */
#define KS_KEY_TYPE_PAC 0x02    /**< EAP-FAST PAC, named by its A-ID */
#define KS_KEY_TYPE_WDC 0x51    /**< record read by keystore_return_wdc */

/** Names and handles. A name is 1 to KS_NAME_MAX bytes; its handle is the type
 * byte followed by the name, KS_HANDLE_MAX bytes at most. */
#define KS_NAME_MAX 31u
#define KS_HANDLE_MAX 32u
#define KS_AID_MAX 31u

/** Limits of the software keystore. */
#define KS_MAX_KEYS 2000
#define KS_TABLE_GROWTH 20
#define KS_SECRET_MAX 256u
#define KS_METADATA_MAX 65534u
#define KS_DATA_MAX 65534u

/** Output sizes. */
#define KS_MD5_LEN 16u
#define KS_SHA1_LEN 20u
#define KS_HMAC_MD5_LEN 16u
#define KS_HMAC_SHA1_LEN 20u
#define KS_NT_RESPONSE_LEN 24u
#define KS_CHALLENGE_LEN 16u
#define KS_AUTH_RESPONSE_LEN 42u
#define KS_NT_HASH_LEN 16u
#define KS_PW_BLOCK_LEN 516u
#define KS_MPPE_MASTER_KEY_LEN 16u

/** Returns the name of a status code ("SUCCESS", "NO_MEMORY", ...). For values
 * with no name the decimal value is formatted into a 16-byte buffer owned by
 * the library (one per thread); the next such call on the thread overwrites
 * it. The text is never null. */
KS_EXPORT const char *ks_err_str(int32_t status);

/** Always returns null. */
KS_EXPORT const char *ks_get_errormsg(void);

KS_EXTERN_C_END

/** @} */

#endif
