// SPDX-License-Identifier: Apache-2.0
// The error-message definitions of the "KEYSTORE" facility, one per row of
// KS_MESSAGE_LIST.
//
// The definitions are constant; what the error-message facility may change
// lives beside them in writable data: one 32-bit word per message, zero at
// load, and the throttle record of NO_KEYSTORE (interval in milliseconds,
// then two words for the facility's own bookkeeping).
#include "keystore/ks_messages.h"

#include <cstdint>
#include <string_view>

namespace {

constexpr uint32_t kSeverityError = 0x30000;  // severity 3 in the upper half
constexpr char kFacility[] = "KEYSTORE";

// The facility's per-message words.
#define KS_MESSAGE_WORD_(mnemonic, text) uint32_t g_word_##mnemonic = 0;
KS_MESSAGE_LIST(KS_MESSAGE_WORD_)
#undef KS_MESSAGE_WORD_

// NO_KEYSTORE may be reported at most once a minute; no other message is
// throttled.
uint32_t g_no_keystore_throttle[3] = {60000, 0, 0};

constexpr uint32_t *throttle_of(std::string_view mnemonic) {
    return mnemonic == "NO_KEYSTORE" ? g_no_keystore_throttle : nullptr;
}

}  // namespace

extern "C" {

#define KS_MESSAGE_DEFINE_(mnemonic, text)                  \
    const ks_message_definition msg_KEYSTORE_##mnemonic = { \
        kFacility, #mnemonic, text, throttle_of(#mnemonic), kSeverityError, &g_word_##mnemonic};
KS_MESSAGE_LIST(KS_MESSAGE_DEFINE_)
#undef KS_MESSAGE_DEFINE_

}  // extern "C"
