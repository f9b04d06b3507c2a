// Fuzz target: the model driver over PAC lifetimes: PACs with fuzzed
// PAC-Info (identities, lifetimes before and after a fuzzed clock) or raw
// metadata, lifetime queries, old-PAC removal and clearing.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace ksmodel;
    return fuzz::run(data, size, {kStorePac, kLifetime, kClearOld, kClearPac, kModes});
}
