// Output and trace capture shared by every command.
#include <cstdio>
#include <string>

#include "keystore/ks_types.h"
#include "keystore_host/host.h"
#include "kstool.h"

namespace kstool {

bool g_print_traces = false;

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
    size_t n = ksh_pac_event_count();
    for (size_t i = 0; i < n; ++i) {
        const ksh_pac_event *e = ksh_pac_event_at(i);
        if (e == nullptr) continue;
        size_t len = e->aid_len < sizeof e->aid ? e->aid_len : sizeof e->aid;
        out(e->added ? "pac added" : "pac removed", hex_and_text(e->aid, len));
    }
    ksh_pac_events_clear();
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

Outcome usage_error(const std::string &message) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    return Outcome::kUsage;
}

std::vector<RenderedTrace> take_traces() {
    std::vector<RenderedTrace> v;
    size_t n = ksh_trace_count();
    for (size_t i = 0; i < n; ++i) {
        const ksh_trace_record *r = ksh_trace_at(i);
        if (r == nullptr) continue;
        char buf[2048];
        RenderedTrace t{r->table, r->index, {}};
        if (ksh_trace_render(r, buf, sizeof buf) >= 0) {
            t.text = buf;
        } else {
            t.text = "trace table " + std::to_string(r->table) + " message " + std::to_string(r->index);
        }
        v.push_back(std::move(t));
    }
    ksh_trace_clear();
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
