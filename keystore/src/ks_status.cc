// SPDX-License-Identifier: Apache-2.0
// Names of the status codes, printed by the show commands and the traces.
#include <cstdio>

#include "keystore/ks_types.h"

namespace {

// Width of the text given to a value with no name: "-2147483648" and its
// terminator fit.
constexpr int kUnnamedTextLen = 16;

// Per-thread, so that concurrent callers printing unnamed values do not race
// on one buffer; each thread's next such call overwrites its text.
thread_local char unnamed_text[kUnnamedTextLen];

}  // namespace

extern "C" {

const char *ks_err_str(int32_t status) {
    switch (status) {
#define KS_STATUS_NAME_(name, value) \
    case value: return #name;
        KS_STATUS_LIST(KS_STATUS_NAME_)
#undef KS_STATUS_NAME_
        default: break;
    }
    std::snprintf(unnamed_text, sizeof unnamed_text, "%d", static_cast<int>(status));
    return unnamed_text;
}

const char *ks_get_errormsg(void) { return nullptr; }

}  // extern "C"
