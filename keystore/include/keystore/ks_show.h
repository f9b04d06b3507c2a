// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_show Show commands
 *
 * Show commands: the operator's listing of the keystore.
 *
 * Both commands walk the software keystore's records by index, from 0, in the
 * key table's order. Neither keeps state between calls or takes a lock; each
 * fetch copies one record's key handle at that moment, and every copy is
 * released (tagged_free) before the command returns, on every way out. Only
 * key handles are shown (type and name or A-ID), never a stored value.
 *
 * Not thread-safe: callers use the keystore from one thread at a time.
 * @{
 */
#ifndef KEYSTORE_KS_SHOW_H
#define KEYSTORE_KS_SHOW_H

#include <stdint.h>

#include "keystore/ks_types.h"

KS_EXTERN_C_BEGIN

/**
 * Lists the keystore as debug traces of the software keystore's trace table
 * (module entry 3, level 0x7000000): the backend line, then either "Keystore
 * is empty." or a header and, per record, its index line followed by
 *   - types 1 and 0x51 to 0x53 (simple secrets): "S" and the name, one
 *     character per trace, then a newline character;
 *   - type 2 (PAC): "P" and the A-ID, one byte per trace as two upper-case
 *     hexadecimal digits, then a newline character;
 *   - type 3: nothing more;
 *   - any other type: "Unknown type N".
 * A fetch that fails with anything but "no more records" ends the listing
 * with "Error NAME accessing keystore record" (NAME from ks_err_str).
 *
 * With the software keystore off, the listing is "firmware version" followed
 * by the error line naming UNKNOWN_FAILURE when the hardware keystore reports
 * itself present, or only "No keystore available." when it does not. When the
 * software keystore is switched off while the listing runs, the listing ends
 * with the error line without reading another record: NO_KEYSTORE when the
 * hardware keystore is absent, UNKNOWN_FAILURE when it is present.
 *
 * No arguments, no result.
 */
KS_EXPORT void ks_show_command(void);

/**
 * Answers a keystore show request with a structured message built through the
 * platform's show-message builder (the showmsg_ operations and vstring_assign
 * of keystore/platform/ks_platform.h).
 *
 * ctx0, ctx1: the builder's context words, passed unchanged as the first two
 *     arguments of every builder operation (IN).
 * reply: the reply container, passed only to showmsg_get_message (IN).
 * err: the builder error word (IN/OUT, owned by the caller); every builder
 *     operation sets it, 0 meaning success. The command stops at the first
 *     non-zero value and reports it in a debug trace.
 *
 * The message receives the three flags (ks_use_sw_ks set to 1 in software
 * mode; ks_is_hw_ks set to 0 in hardware mode with the hardware present;
 * ks_is_empty set to 1 when there is no record) and one element per record,
 * appended in index order: index; ks_type 0 for simple secrets (types 1,
 * 0x51 to 0x53) with the name bytes as value, 1 for PACs with the A-ID in
 * upper-case hexadecimal (at most 127 bytes shown); ks_is_valid 1, or 0 with
 * the text "Unknown type N" for other types (type 3: valid, no type, no
 * value). A failed fetch fills an element with "Error NAME accessing keystore
 * record\n" that is not appended, and ends the walk. The element created for
 * the position after the last record is not appended either; elements not
 * appended are left to the builder. When the software keystore is switched
 * off during the walk and the hardware reports itself present, the walk ends
 * at once and nothing more is appended.
 *
 * A builder failure before the walk returns at once; inside the walk, the
 * element in hand is destroyed (showmsg_elem_destroy) and the command
 * finishes. Whatever was set and appended before a failure stays in the
 * reply. Every command that reaches its end emits the "counters are related
 * to hardware keystore" trace whenever the hardware reports itself present.
 */
KS_EXPORT void qel_ks_show_command(uintptr_t ctx0, uintptr_t ctx1, void *reply, int32_t *err);

KS_EXTERN_C_END

/** @} */

#endif
