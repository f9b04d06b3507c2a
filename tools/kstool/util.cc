// Values, output and trace capture shared by every command.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
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

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool parse_value(const std::string &text, Bytes &out) {
    out.clear();
    if (text.compare(0, 4, "hex:") != 0) {
        out.assign(text.begin(), text.end());
        return true;
    }
    int high = -1;
    for (size_t i = 4; i < text.size(); ++i) {
        char c = text[i];
        if (c == ':' || c == '-' || c == '_') continue;
        int d = hex_digit(c);
        if (d < 0) {
            usage_error("bad hex digit '" + std::string(1, c) + "' in a hex: value");
            return false;
        }
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | d));
            high = -1;
        }
    }
    if (high >= 0) {
        usage_error("a hex: value needs an even number of digits");
        return false;
    }
    return true;
}

bool parse_secret_value(const std::string &text, Bytes &out) {
    if (text != "-") return parse_value(text, out);
    // Read from standard input; on a terminal without echo, so that the value
    // is not shown while it is typed.
    bool tty = isatty(STDIN_FILENO) != 0;
    struct termios saved {};
    if (tty && tcgetattr(STDIN_FILENO, &saved) == 0) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        std::fprintf(stderr, "value: ");
    } else {
        tty = false;
    }
    std::string line;
    bool got = false;
    if (tty) {
        // Byte by byte from the terminal, so that nothing typed after the
        // value is taken from the line editor.
        char c = 0;
        while (read(STDIN_FILENO, &c, 1) == 1) {
            got = true;
            if (c == '\n') break;
            line += c;
        }
    } else {
        got = static_cast<bool>(std::getline(std::cin, line));
    }
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fprintf(stderr, "\n");
    }
    if (!got) {
        usage_error("no value on standard input");
        return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    bool ok = parse_value(line, out);
    std::fill(line.begin(), line.end(), '\0');
    return ok;
}

bool parse_number(const std::string &text, uint64_t max, uint64_t &out) {
    if (text.empty()) return false;
    int base = 10;
    size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    uint64_t v = 0;
    for (; i < text.size(); ++i) {
        int d = hex_digit(text[i]);
        if (d < 0 || d >= base) return false;
        if (v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    out = v;
    return true;
}

bool parse_switch(const std::string &text, int &out) {
    if (text == "on" || text == "yes" || text == "1") {
        out = 1;
        return true;
    }
    if (text == "off" || text == "no" || text == "0") {
        out = 0;
        return true;
    }
    return false;
}

bool parse_fixed(const std::string &what, const std::string &text, size_t n, Bytes &out) {
    if (!parse_value(text, out)) return false;
    if (out.size() != n) {
        usage_error(what + " must be " + std::to_string(n) + " bytes (got " + std::to_string(out.size()) + ")");
        return false;
    }
    return true;
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
