// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the model driver over PAC expiry: PACs with fuzzed PAC-Info
// (identities, lifetimes before and after a fuzzed clock) or raw metadata,
// old-PAC removal and clearing.
#include "fuzz_common.h"

using namespace ksmodel;
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz::run(data, size, {kStorePac, kStorePac, kClearOld, kClearPac, kModes});
}
