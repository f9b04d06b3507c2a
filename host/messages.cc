// SPDX-License-Identifier: Apache-2.0
// Error-message facility: prints each message on one line, honouring a
// message's throttle record (at most one line per interval, counting the
// calls it held back), and records it while recording is on.
//
// The facility's state per definition lives in the library's writable data
// the definition points to: the per-message word counts every call, and a
// throttle record keeps, after its interval, the time of the last printed
// line and the number of calls held back since. The host only remembers which
// definitions it has seen, so that a reset can put those words back to zero.
#include <cstdio>
#include <ctime>

#include "keystore/platform/ks_platform.h"
#include "keystore/platform/ks_platform_records.h"
#include "keystore_host/host.h"
#include "recorder.h"

namespace {

constinit ksh::Ring<const void *> g_messages;
constinit uint64_t g_suppressed = 0;
constinit int g_print = 1;
constinit FILE *g_stream = nullptr;  // null: stderr
constinit ksh_clock_fn g_clock = nullptr;

// Definitions seen since the last clear.
constexpr size_t kMaxDefinitions = 64;
constinit const ks_message_definition *g_seen[kMaxDefinitions] = {};
constinit size_t g_seen_count = 0;

uint64_t now_ms() {
    if (g_clock != nullptr) return g_clock();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Remembers m; true when it had not been seen since the last clear.
bool first_sight(const ks_message_definition *m) {
    for (size_t i = 0; i < g_seen_count; ++i)
        if (g_seen[i] == m) return false;
    if (g_seen_count < kMaxDefinitions) g_seen[g_seen_count++] = m;
    return true;
}

// The throttle record's words the facility keeps: [1] low 32 bits of the time
// of the last printed line, [2] calls held back since. The record lives in the
// library's writable data; the definition only reads it through a const view.
uint32_t *throttle_words(const ks_message_definition *m) { return const_cast<uint32_t *>(m->throttle); }

}  // namespace

extern "C" {

void sys_message_emit(const void *message_definition) {
    const auto *m = static_cast<const ks_message_definition *>(message_definition);
    if (m == nullptr) return;
    bool first = first_sight(m);
    if (m->word != nullptr) ++*m->word;
    uint32_t held = 0;
    if (m->throttle != nullptr && m->throttle[0] != 0) {
        uint32_t *t = throttle_words(m);
        uint32_t now = static_cast<uint32_t>(now_ms());
        if (!first && static_cast<uint32_t>(now - t[1]) < t[0]) {
            ++t[2];
            ++g_suppressed;
            return;
        }
        held = first ? 0 : t[2];
        t[1] = now;
        t[2] = 0;
    }
    if (const void **slot = g_messages.add()) *slot = m;
    if (!g_print) return;
    FILE *out = g_stream != nullptr ? g_stream : stderr;
    std::fprintf(out, "%%%s-%u-%s: %s", m->facility, (m->flags >> 16) & 0xFu, m->mnemonic, m->format);
    if (held != 0) std::fprintf(out, " (%u held back)", held);
    std::fputc('\n', out);
    std::fflush(out);
}

size_t ksh_message_count(void) { return g_messages.size(); }
const void *ksh_message_at(size_t i) {
    const void **m = g_messages.at(i);
    return m != nullptr ? *m : nullptr;
}
uint64_t ksh_message_dropped(void) { return g_messages.dropped(); }
uint64_t ksh_message_suppressed(void) { return g_suppressed; }

uint64_t ksh_message_held_back(const void *definition) {
    const auto *m = static_cast<const ks_message_definition *>(definition);
    if (m == nullptr || m->throttle == nullptr) return 0;
    for (size_t i = 0; i < g_seen_count; ++i)
        if (g_seen[i] == m) return m->throttle[2];
    return 0;
}

void ksh_message_clear(void) {
    g_messages.clear();
    g_suppressed = 0;
    for (size_t i = 0; i < g_seen_count; ++i) {
        const ks_message_definition *m = g_seen[i];
        if (m->word != nullptr) *m->word = 0;
        if (m->throttle != nullptr) {
            uint32_t *t = throttle_words(m);
            t[1] = 0;
            t[2] = 0;
        }
        g_seen[i] = nullptr;
    }
    g_seen_count = 0;
}

void ksh_message_set_print(int on) { g_print = on; }
void ksh_message_set_print_stream(FILE *stream) { g_stream = stream; }
void ksh_message_set_clock(ksh_clock_fn now_ms) { g_clock = now_ms; }

}  // extern "C"
