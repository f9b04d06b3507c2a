// The error-message definitions of the "KEYSTORE" facility.
//
// The definitions are constant; what the error-message facility may change
// lives beside them in writable data: one 32-bit word per message, zero at
// load, and the throttle record of NO_KEYSTORE (interval in milliseconds,
// then two words for the facility's own bookkeeping).
#include "keystore/ks_messages.h"

#include <cstdint>

namespace {

constexpr uint32_t kSeverityError = 0x30000;  // severity 3 in the upper half
constexpr char kFacility[] = "KEYSTORE";

// The facility's per-message words.
uint32_t g_word_ifs_open_w = 0;
uint32_t g_word_ifs_write = 0;
uint32_t g_word_ifs_open_r = 0;
uint32_t g_word_ifs_read = 0;
uint32_t g_word_bad_magic = 0;
uint32_t g_word_unexpected_eof = 0;
uint32_t g_word_ipcport = 0;
uint32_t g_word_ipcopen = 0;
uint32_t g_word_ipcnoconn = 0;
uint32_t g_word_ipcsend = 0;
uint32_t g_word_issu_incompat = 0;
uint32_t g_word_ipc_no_proc = 0;
uint32_t g_word_no_keystore = 0;

// NO_KEYSTORE may be reported at most once a minute.
uint32_t g_no_keystore_throttle[3] = {60000, 0, 0};

}  // namespace

#define KS_MESSAGE(mnemonic, text, throttle, word) \
    const ks_message_definition msg_KEYSTORE_##mnemonic = {kFacility, #mnemonic, text, throttle, kSeverityError, &word}

extern "C" {

KS_MESSAGE(IFS_OPEN_W, "Failed to open file \"%s\" for writing software keystore. (%s)", nullptr, g_word_ifs_open_w);
KS_MESSAGE(IFS_WRITE, "An error occurred while writing to the software keystore file.", nullptr, g_word_ifs_write);
KS_MESSAGE(IFS_OPEN_R, "Failed to open file \"%s\" for reading software keystore. (%s)", nullptr, g_word_ifs_open_r);
KS_MESSAGE(IFS_READ, "An error (%s) occurred while reading from the software keystore file.", nullptr, g_word_ifs_read);
KS_MESSAGE(BAD_MAGIC, "Bad magic number 0x%08x in software keystore file \"%s\".", nullptr, g_word_bad_magic);
KS_MESSAGE(UNEXPECTED_EOF, "Unexpected end of file while reading software keystore \"%s\".", nullptr,
           g_word_unexpected_eof);
KS_MESSAGE(IPCPORT, "Failed to create IPC port (%s) for keystore redundancy. %s.", nullptr, g_word_ipcport);
KS_MESSAGE(IPCOPEN, "Failed to open IPC port to peer for keystore redundancy: %s", nullptr, g_word_ipcopen);
KS_MESSAGE(IPCNOCONN, "No IPC communication path to peer available for keystore %s.", nullptr, g_word_ipcnoconn);
KS_MESSAGE(IPCSEND, "IPC send error (%s) while sending %s.", nullptr, g_word_ipcsend);
KS_MESSAGE(ISSU_INCOMPAT, "Standby incompatible for SSO.", nullptr, g_word_issu_incompat);
KS_MESSAGE(IPC_NO_PROC, "Could not create a process to receive keystore redundancy messages.", nullptr,
           g_word_ipc_no_proc);
KS_MESSAGE(NO_KEYSTORE, "ZAV hardware keystore is not responsive and software emulation is not enabled.",
           g_no_keystore_throttle, g_word_no_keystore);

}  // extern "C"

#undef KS_MESSAGE
