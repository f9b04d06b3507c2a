// SPDX-License-Identifier: Apache-2.0
// What the fuzz targets share: each runs the model driver
// (tests/model/ks_model.h) over its input, with the operations it picks
// from, and stops the process at the first mismatch.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "model/ks_model.h"

namespace fuzz {

[[noreturn]] inline void fail(const std::string &what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

// An empty keystore in the software mode, at clock 0, without faults; no
// block the library holds but those it keeps for the process.
inline void reset() {
    ks_pac_cache_purge();
    ks_sym_key_prefix_purge(reinterpret_cast<const uint8_t *>(""), 0);
    ks_use_sw_ks = ks::seams.hw_present = 1;
    ks_is_standby = ksmodel::g_now = 0;
    ks::seams.clock = &ksmodel::driver_clock;
    ksh_set_recording(KSH_RECORD_DEFAULT_CAPACITY);  // the driver reads notifications and builder calls
    ksh_reset_recorders();
    ksh_showmsg_reset();
    if (ksmodel::library_blocks() != 0) fail("blocks held between runs");
}

// Up to 48 steps, each an operation of the mix (any operation when empty).
// The cheap checks run after every step, the deep ones after every Nth step
// and at the end: the input's last byte picks N from 1 to 64 (past 48, at the
// end only), so the fuzzer can have them run as often as it finds useful.
inline int run(const uint8_t *data, size_t size, const std::vector<ksmodel::Op> &mix) {
    reset();
    ksmodel::Source in(data, size);
    ksmodel::Driver driver{in, fail};
    driver.deep_every = 1 + static_cast<int>(in.pick_last(64));
    for (int i = 0; i < 48 && in.more(); ++i) driver.step(mix);
    driver.finish();
    reset();
    return 0;
}

}  // namespace fuzz

// No message or trace printing while fuzzing. The blocks fuzzed operations
// allocate come from the C library's heap: the sanitizer's allocator checks
// each of them (redzones, freed blocks held back), and a fuzzed table of large
// metadata may outgrow protected memory.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    return ksh_message_set_print(0), ksh_trace_set_print(0), ksh_alloc_set_protection(KSH_PROTECT_OFF, 0);
}
