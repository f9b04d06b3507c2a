// SPDX-License-Identifier: Apache-2.0
/**
 * @defgroup ks_messages Error messages and trace tables
 *
 * Error-message definitions of the "KEYSTORE" facility.
 *
 * Each definition is a ks_message_definition record (see
 * keystore/platform/ks_platform_records.h) read by the platform's
 * error-message facility: the facility name "KEYSTORE", the mnemonic (the
 * part of the symbol name after msg_KEYSTORE_), the format text, the address
 * of a throttle record or null, the flags 0x30000 (severity 3, error) and the
 * address of a 32-bit word of the message's own, zero at load, kept by the
 * facility.
 *
 * The definitions are read-only; the facility may change only the per-message
 * words and the throttle record they point to. Only NO_KEYSTORE has a throttle
 * record: three 32-bit words, 60000 then two zero words. The library itself
 * emits only NO_KEYSTORE, with sys_message_emit(&msg_KEYSTORE_NO_KEYSTORE) and
 * no argument; the other twelve are exported for the platform and other
 * components. In the texts below, placeholders are printf conversions.
 * @{
 */
#ifndef KEYSTORE_KS_MESSAGES_H
#define KEYSTORE_KS_MESSAGES_H

#include "keystore/ks_export.h"
#include "keystore/platform/ks_platform_records.h"

KS_EXTERN_C_BEGIN

/** X(mnemonic, format text): the one list of the facility's messages, in
 * declaration order. Each row is the exported definition
 * msg_KEYSTORE_<mnemonic>. NO_KEYSTORE is throttled to at most one line per
 * 60000 ms; it is emitted by the front operations that find the software
 * keystore off and no chip present. */
#define KS_MESSAGE_LIST(X)                                                                \
    X(IFS_OPEN_W, "Failed to open file \"%s\" for writing software keystore. (%s)")       \
    X(IFS_WRITE, "An error occurred while writing to the software keystore file.")        \
    X(IFS_OPEN_R, "Failed to open file \"%s\" for reading software keystore. (%s)")       \
    X(IFS_READ, "An error (%s) occurred while reading from the software keystore file.")  \
    X(BAD_MAGIC, "Bad magic number 0x%08x in software keystore file \"%s\".")             \
    X(UNEXPECTED_EOF, "Unexpected end of file while reading software keystore \"%s\".")   \
    X(IPCPORT, "Failed to create IPC port (%s) for keystore redundancy. %s.")             \
    X(IPCOPEN, "Failed to open IPC port to peer for keystore redundancy: %s")             \
    X(IPCNOCONN, "No IPC communication path to peer available for keystore %s.")          \
    X(IPCSEND, "IPC send error (%s) while sending %s.")                                   \
    X(ISSU_INCOMPAT, "Standby incompatible for SSO.")                                     \
    X(IPC_NO_PROC, "Could not create a process to receive keystore redundancy messages.") \
    X(NO_KEYSTORE, "ZAV hardware keystore is not responsive and software emulation is not enabled.")

#define KS_MESSAGE_DECLARE_(mnemonic, text) KS_EXPORT extern const ks_message_definition msg_KEYSTORE_##mnemonic;
KS_MESSAGE_LIST(KS_MESSAGE_DECLARE_)
#undef KS_MESSAGE_DECLARE_

KS_EXTERN_C_END

/** @} */

#endif
