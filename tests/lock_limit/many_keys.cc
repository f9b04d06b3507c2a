// SPDX-License-Identifier: Apache-2.0
// A full keystore under whatever lock limit the process has: stores 2000
// secrets and uses each with HMAC-SHA-1 and AES-128, every call succeeding.
// After every store, the kernel's count of the process's locked memory
// (VmLck) must be what the host's region says it locked; it reports how far
// the steps that hold blocks in use went beyond the bytes in use rounded up
// to the step (free gaps between blocks). With --all-locked, nothing in use
// may be left unlocked (a limit that holds the whole keystore).
//   ks_many_keys [--all-locked]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "keystore/keystore.h"
#include "keystore_host/host.h"

namespace {

size_t vm_locked() {
    std::ifstream in("/proc/self/status");
    std::string word;
    size_t kib = 0;
    while (in >> word && word != "VmLck:") {
    }
    in >> kib;
    return kib << 10;
}

}  // namespace

int main(int argc, char **argv) {
    const bool all_locked = argc > 1 && std::strcmp(argv[1], "--all-locked") == 0;
    ksh_platform_start();
    ksh_protection_info info;
    size_t most = 0, gaps = 0;
    for (int k = 0; k < KS_MAX_KEYS; ++k) {
        char name[16];
        std::snprintf(name, sizeof name, "key-%04d", k);
        uint8_t value[16], data[32] = {static_cast<uint8_t>(k)}, out[32];
        std::memset(value, k + 1, sizeof value);
        const int32_t st[] = {ks_store_secret_and_metadata(name, nullptr, value, sizeof value, nullptr, 0),
                              ks_hmac_sha1(name, data, sizeof data, out), ks_aes_encrypt(name, data, out, sizeof data)};
        ksh_alloc_protection_info(&info);
        const size_t vm = vm_locked(), steps = (info.locked + info.unlocked) / info.step;
        most = vm > most ? vm : most;
        if (steps > (info.used + info.step - 1) / info.step + gaps)
            gaps = steps - (info.used + info.step - 1) / info.step;
        for (int32_t s : st)
            if (s != KS_SUCCESS) return std::fprintf(stderr, "key %d: %s\n", k, ks_err_str(s)), 1;
        if (vm != info.locked || (all_locked && info.unlocked != 0))
            return std::fprintf(stderr, "key %d: VmLck %zu, locked %zu, unlocked %zu, in use %zu\n", k, vm, info.locked,
                                info.unlocked, info.used),
                   1;
    }
    std::printf(
        "%d keys stored, each used with HMAC-SHA-1 and AES; in use %zu KiB; VmLck at most %zu KiB, "
        "%zu KiB at the end; unlocked %zu KiB; steps of %zu KiB, at most %zu beyond the bytes in use\n",
        KS_MAX_KEYS, info.used >> 10, most >> 10, info.locked >> 10, info.unlocked >> 10, info.step >> 10, gaps);
    return 0;
}
