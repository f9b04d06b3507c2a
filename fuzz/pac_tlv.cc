// Fuzz target: the model driver over PAC records: stores from fuzzed TLVs
// (well formed, corrupted, past 64 KiB), PACs stored raw with fuzzed
// metadata and its split, TLV copies from the cache and from loads, walks
// and clears, with standby and cache purges between them.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace ksmodel;
    return fuzz::run(data, size, {kStorePac, kStorePac, kTlvCopy, kClearPac, kModes});
}
