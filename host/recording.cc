// SPDX-License-Identifier: Apache-2.0
// The recording switch shared by every recorder: off unless the environment or
// a call turns it on, with one capacity for every ring.
#include <cstdlib>

#include "keystore_host/host.h"
#include "recorder.h"

namespace ksh {
namespace {

constinit bool g_set = false;  // by the environment or a call
constinit size_t g_capacity = 0;
constexpr size_t kMaxRings = 8;
constinit RingBase *g_rings[kMaxRings] = {};
constinit size_t g_ring_count = 0;

size_t from_environment() {
    const char *on = std::getenv("KSH_RECORD");
    if (on == nullptr || on[0] == '\0' || on[0] == '0') return 0;
    const char *cap = std::getenv("KSH_RECORD_CAPACITY");
    if (cap == nullptr || cap[0] == '\0') return KSH_RECORD_DEFAULT_CAPACITY;
    return static_cast<size_t>(std::strtoull(cap, nullptr, 0));
}

}  // namespace

size_t record_capacity() {
    if (!g_set) {
        g_set = true;
        g_capacity = from_environment();
    }
    return g_capacity;
}

void enroll(RingBase *ring) {
    if (g_ring_count < kMaxRings) g_rings[g_ring_count++] = ring;
}

}  // namespace ksh

extern "C" {

void ksh_set_recording(size_t capacity) {
    ksh::g_set = true;
    ksh::g_capacity = capacity;
    for (size_t i = 0; i < ksh::g_ring_count; ++i) ksh::g_rings[i]->trim(ksh::g_capacity);
}

size_t ksh_recording(void) { return ksh::record_capacity(); }

}  // extern "C"
