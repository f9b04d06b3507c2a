// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_export Export and linkage macros
 *
 * Symbol visibility for the keystore library's exported interface.
 * @{
 */
#ifndef KEYSTORE_KS_EXPORT_H
#define KEYSTORE_KS_EXPORT_H

#if defined(KEYSTORE_BUILDING) && defined(__GNUC__)
#define KS_EXPORT __attribute__((visibility("default")))
#else
#define KS_EXPORT
#endif

#if defined(__cplusplus)
#define KS_EXTERN_C_BEGIN extern "C" {
#define KS_EXTERN_C_END }
#else
#define KS_EXTERN_C_BEGIN
#define KS_EXTERN_C_END
#endif

/** @} */

#endif
