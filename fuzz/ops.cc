// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the model driver over sequences of every operation, each
// picked and given its arguments by the input.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return fuzz::run(data, size, {}); }
