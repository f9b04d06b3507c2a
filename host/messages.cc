// Error-message facility: records each message and prints it on one line,
// honouring a message's throttle record (at most one line per interval).
#include <cstdio>
#include <ctime>

#include "keystore/platform/ks_platform.h"
#include "keystore/platform/ks_platform_records.h"
#include "keystore_host/host.h"

namespace {

constexpr size_t kMax = 4096;
constinit const void *g_messages[kMax] = {};
constinit size_t g_count = 0;
constinit uint64_t g_suppressed = 0;
constinit int g_print = 1;

uint64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Per-definition time of the last emitted line, keyed by the definition's own
// word (the facility's per-message word).
struct Last {
    const void *def;
    uint64_t at_ms;
    uint64_t held;
};
constinit Last g_last[32] = {};

Last *last_for(const void *def) {
    for (auto &l : g_last) {
        if (l.def == def) return &l;
        if (l.def == nullptr) {
            l.def = def;
            return &l;
        }
    }
    return nullptr;
}

}  // namespace

extern "C" {

void sys_message_emit(const void *message_definition) {
    const auto *m = static_cast<const ks_message_definition *>(message_definition);
    if (m == nullptr) return;
    if (m->throttle != nullptr && m->throttle[0] != 0) {
        Last *l = last_for(m);
        uint64_t t = now_ms();
        if (l != nullptr && l->at_ms != 0 && t - l->at_ms < m->throttle[0]) {
            ++l->held;
            ++g_suppressed;
            return;
        }
        if (l != nullptr) {
            if (l->held != 0 && g_print)
                std::fprintf(stderr, "%%%s-%u-%s: %llu similar message(s) held back\n", m->facility,
                             (m->flags >> 16) & 0xFu, m->mnemonic, static_cast<unsigned long long>(l->held));
            l->held = 0;
            l->at_ms = t == 0 ? 1 : t;
        }
    }
    if (g_count < kMax) g_messages[g_count++] = m;
    if (m->word) ++*m->word;
    if (g_print)
        std::fprintf(stderr, "%%%s-%u-%s: %s\n", m->facility, (m->flags >> 16) & 0xFu, m->mnemonic, m->format);
}

size_t ksh_message_count(void) { return g_count; }
const void *ksh_message_at(size_t i) { return i < g_count ? g_messages[i] : nullptr; }
uint64_t ksh_message_suppressed(void) { return g_suppressed; }
void ksh_message_clear(void) {
    g_count = 0;
    for (auto &l : g_last) l = Last{};
}
void ksh_message_set_print(int on) { g_print = on; }

}  // extern "C"
