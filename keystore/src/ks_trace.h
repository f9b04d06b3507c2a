// Trace helpers: every trace names its table's descriptor and a message name
// generated from the message lists in traces/ (KS_TR_<TABLE>_<NAME>).
#pragma once

#include <cstdint>

#include "keystore/platform/ks_platform.h"
#include "ks_trace_tables.h"

namespace ks {

inline constexpr uint32_t kLevelDebug = 0x7000000;
inline constexpr uint32_t kLevelError = 0x3000000;

// Entries of trace_module_ids used by the library.
inline constexpr int kModuleFront = 2;    // front API and PAC store
inline constexpr int kModuleSw = 3;       // software keystore and show commands
inline constexpr int kModuleHa = 4;       // the HA trace of the PAC clear-all
inline constexpr int kModulePacErr = 24;  // PAC opaque/info retrieval errors

}  // namespace ks

// KS_TRACE(FRONT, STORE_SW, ks::kModuleFront, ks::kLevelDebug, "KEYSTORE_DBG")
#define KS_TRACE(table, name, module_entry, level, ...)                                       \
    trace_emit(KS_TRACE_DESC_##table, KS_TR_##table##_##name, trace_module_ids[module_entry], \
               (level)__VA_OPT__(, ) __VA_ARGS__)
