// SPDX-License-Identifier: Apache-2.0
// Output and trace capture shared by every command.
#include <cstdio>
#include <string>
#include <vector>

#include "keystore/ks_types.h"
#include "keystore_host/host.h"
#include "kstool.h"

namespace kstool {

bool g_print_traces = false;

namespace {

struct PacEvent {
    bool added;
    std::vector<uint8_t> aid;
};

std::vector<RenderedTrace> g_traces;
std::vector<PacEvent> g_pac_events;

void capture_trace(void *, const ksh_trace_record *r) {
    char buf[2048];
    RenderedTrace t{r->table, r->index, {}};
    if (ksh_trace_render(r, buf, sizeof buf) >= 0) {
        t.text = buf;
    } else {
        t.text = "trace table " + std::to_string(r->table) + " message " + std::to_string(r->index);
    }
    g_traces.push_back(std::move(t));
}

void pac_added(void *, const uint8_t *aid, uint32_t len) { g_pac_events.push_back({true, {aid, aid + len}}); }
void pac_removed(void *, const uint8_t *aid, uint32_t len) { g_pac_events.push_back({false, {aid, aid + len}}); }

}  // namespace

bool Args::has(const char *name) const { return opt(name) != nullptr; }

const std::string *Args::opt(const char *name) const {
    for (const auto &o : opts)
        if (o.first == name) return &o.second;
    return nullptr;
}

std::string hex(const uint8_t *p, size_t n, bool upper) {
    static const char lo[] = "0123456789abcdef";
    static const char up[] = "0123456789ABCDEF";
    const char *d = upper ? up : lo;
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

std::string hex_and_text(const uint8_t *p, size_t n) {
    std::string s = hex(p, n);
    bool printable = n > 0;
    for (size_t i = 0; i < n && printable; ++i) printable = p[i] >= 0x20 && p[i] <= 0x7E;
    if (printable) s += " (" + std::string(reinterpret_cast<const char *>(p), n) + ")";
    return s;
}

void print_pac_events() {
    std::vector<PacEvent> events;
    events.swap(g_pac_events);
    for (const PacEvent &e : events)
        out(e.added ? "pac added" : "pac removed", hex_and_text(e.aid.data(), e.aid.size()));
}

void out(const std::string &label, const std::string &value) { std::printf("%s: %s\n", label.c_str(), value.c_str()); }

void ok() { std::printf("ok\n"); }

Outcome check(int32_t status) {
    if (status == KS_SUCCESS) return Outcome::kOk;
    std::fflush(stdout);
    std::fprintf(stderr, "failed: %s (%d)\n", ks_err_str(status), static_cast<int>(status));
    std::fflush(stderr);
    return Outcome::kFailed;
}

Outcome check_ok(int32_t status) {
    const Outcome o = check(status);
    if (o == Outcome::kOk) ok();
    return o;
}

Outcome check_yes_no(int32_t status, const char *label, const int32_t &answer) {
    const Outcome o = check(status);
    if (o == Outcome::kOk) out(label, answer != 0 ? "yes" : "no");
    return o;
}

Outcome usage_error(const std::string &message) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    return Outcome::kUsage;
}

void warning(const std::string &text) { usage_error("warning: " + text); }

std::string shown(const std::string &word) {
    constexpr size_t kMax = 256;
    const std::string w = word.substr(0, kMax);
    bool plain = !w.empty();
    for (char ch : w)
        if (ch == ' ' || ch == '\t' || ch == '"' || ch == '\\' || ch == '#' || ch == ';') plain = false;
    std::string s = plain ? w : "\"";
    if (!plain) {
        for (char ch : w) {
            if (ch == '"' || ch == '\\') s += '\\';
            s += ch;
        }
        s += '"';
    }
    if (word.size() > kMax) s += "...[" + std::to_string(word.size()) + " bytes]";
    return s;
}

void start_capture() {
    ksh_trace_set_hook(capture_trace, nullptr);
    ksh_set_pac_handlers(pac_added, pac_removed, nullptr);
}

void forget_captured() {
    std::vector<RenderedTrace>().swap(g_traces);
    std::vector<PacEvent>().swap(g_pac_events);
}

std::vector<RenderedTrace> take_traces() {
    std::vector<RenderedTrace> v;
    v.swap(g_traces);
    return v;
}

void print_traces(const std::vector<RenderedTrace> &traces) {
    // One line per trace: the text's own line breaks become blanks, and the
    // breaks it begins or ends with are dropped.
    for (const RenderedTrace &t : traces) {
        std::string s = t.text;
        for (char &c : s)
            if (c == '\n') c = ' ';
        size_t a = s.find_first_not_of(' ');
        size_t b = s.find_last_not_of(' ');
        s = a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
        std::printf("trace: %s\n", s.c_str());
    }
}

}  // namespace kstool
