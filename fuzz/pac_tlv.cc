// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the model driver over PAC records: stores from fuzzed TLVs
// (well formed, corrupted, past 64 KiB) and PACs stored raw with fuzzed
// metadata, TLV copies from the cache and from loads (which split the
// metadata), clears, standby and cache purges.
#include "fuzz_common.h"

using namespace ksmodel;
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz::run(data, size, {kStorePac, kStorePac, kTlvCopy, kClearPac, kModes});
}
