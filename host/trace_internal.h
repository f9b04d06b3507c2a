// SPDX-License-Identifier: Apache-2.0
// Between the trace recorder and the trace output (printing, binary log).
#pragma once

#include "keystore_host/host.h"

namespace ksh {

// Called once for every record, after its arguments have been copied.
void on_trace_recorded(const ksh_trace_record &rec);

}  // namespace ksh
