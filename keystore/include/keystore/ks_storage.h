// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_storage Storage location and file wrappers
 *
 * Storage location of the software keystore's key files, and thin wrappers
 * around the operating system's file calls.
 *
 * The library names two files, one for symmetric keys and one for RSA keys,
 * but never opens, reads or writes them itself: the key table lives in memory
 * only. The names and the ifs_ wrappers are exported for the processes that
 * use them. Nothing here allocates.
 *
 * Not thread-safe: the names are process-wide buffers rewritten in place.
 * @{
 */
#ifndef KEYSTORE_KS_STORAGE_H
#define KEYSTORE_KS_STORAGE_H

#include <stdint.h>

#include "keystore/ks_types.h"

KS_EXTERN_C_BEGIN

/** Size of each file-name buffer, terminator included: a name is cut at 79
 * characters. */
#define KS_FNAME_SIZE 80u

/** The symmetric-key and RSA-key file names: "/flash/private-KS1" and
 * "/flash/private-KS2" at load, always rewritten together as
 * "<directory>/private-KS1" and "<directory>/private-KS2". Read-only for
 * callers; ks_sw_set_fs and ks_sw_init rewrite them. */
KS_EXPORT extern char ks_sw_sym_key_fname[KS_FNAME_SIZE];
KS_EXPORT extern char ks_sw_rsa_key_fname[KS_FNAME_SIZE];

/** Start-up choice of the file system (run by keystore_init): when the board
 * belongs to the boot-flash family (any of the 31 board-family queries says
 * yes, asked in order 0 to 30 and stopping at the first yes; or, when none
 * does, the board subtype is 50), both names move under "/bootflash" exactly
 * as ks_sw_set_fs("/bootflash") does. Otherwise the names are left as they
 * are. */
KS_EXPORT void ks_sw_init(void);

/** Rebuilds both names under `directory` (NUL-terminated text, used as given:
 * "/disk0/" yields "/disk0//private-KS1"), each cut to 79 characters, and
 * emits a debug trace naming the directory. A null directory changes nothing
 * and emits nothing. */
KS_EXPORT void ks_sw_set_fs(const char *directory);
/** The same function under its second exported name. */
KS_EXPORT void ks_set_sw_storage_fs(const char *directory);

/** @name File wrappers
 * Each returns the operating system's result unchanged: -1 with errno set on
 * failure. Descriptors, offsets and byte counts are 32-bit; a result that does
 * not fit (a position at or past 2 GiB) is reported as -1 with errno
 * EOVERFLOW. */
/** @{ */

/** open(path, flags, mode): a descriptor, or -1. */
KS_EXPORT int32_t ifs_open(const char *path, int32_t flags, int32_t mode);
/** close(fd); for descriptor -1 returns 0 without any call. */
KS_EXPORT int32_t ifs_close(int32_t fd);
/** read(fd, buffer, length): bytes read (0 at end of file), or -1. Lengths
 * above INT32_MAX are asked as INT32_MAX (a short read); so for ifs_write. */
KS_EXPORT int32_t ifs_read(int32_t fd, uint8_t *buffer, uint32_t length);
/** write(fd, buffer, length): bytes written, or -1. */
KS_EXPORT int32_t ifs_write(int32_t fd, const uint8_t *buffer, uint32_t length);
/** lseek(fd, offset, whence) with SEEK_SET, SEEK_CUR or SEEK_END: the new
 * position, or -1. */
KS_EXPORT int32_t ifs_lseek(int32_t fd, int32_t offset, int32_t whence);
/** The file's size, as the position of a seek to its end (or -1 when that
 * fails); the descriptor is then always sought back to offset 0, whatever
 * its position was before. */
KS_EXPORT int32_t ifs_fd_get_size(int32_t fd);
/** unlink(path): 0 or -1. */
KS_EXPORT int32_t ifs_remove(const char *path);
/** mkdir(path) with mode 0700 (owner read, write, search): 0 or -1. */
KS_EXPORT int32_t ifs_mkdir(const char *path);
/** The operating system's text for an error number; never null. The text is
 * the C library's and may be overwritten by a later call. */
KS_EXPORT const char *ifs_strerror(int32_t errnum);
/** @} */

KS_EXTERN_C_END

/** @} */

#endif
