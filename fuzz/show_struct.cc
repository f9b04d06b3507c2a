// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the model driver's structured show command over fuzzed
// tables (any key type, names past 31 bytes), with builder failures, a mode
// turning to hardware and allocation failures at fuzzed points.
#include "fuzz_common.h"

using namespace ksmodel;
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz::run(data, size, {kShow, kShow, kTable, kStoreSecret, kStorePac});
}
