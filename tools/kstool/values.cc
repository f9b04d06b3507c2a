// SPDX-License-Identifier: Apache-2.0
// Parsing and checking argument values. A mistake is reported by the
// argument's name and its limit before the library is called, so that a
// script sees exit code 2 and a message it can act on rather than the
// library's INVAL_ARGS.
#include <algorithm>
#include <cstdint>
#include <string>

#include "keystore/ks_types.h"
#include "kstool.h"

namespace kstool {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string bytes(size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

// "WHAT must be ... (got n)", naming the limit the way the checks apply it.
bool size_error(const char *what, size_t min, size_t max, size_t step, size_t got) {
    std::string limit;
    if (step > 1)
        limit = "a multiple of " + std::to_string(step) + " bytes from " + std::to_string(min) + " to " +
                std::to_string(max);
    else if (min == max)
        limit = bytes(min);
    else if (max >= UINT32_MAX)
        limit = "at least " + bytes(min);
    else
        limit = std::to_string(min) + " to " + bytes(max);
    usage_error(std::string(what) + " must be " + limit + " (got " + std::to_string(got) + ")");
    return false;
}

}  // namespace

bool parse_value(const char *what, const std::string &text, Bytes &out) {
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
            // The position, not the character: the value may be a secret.
            std::fill(out.begin(), out.end(), 0);
            usage_error(std::string(what) + " is not hex: character " + std::to_string(i + 1) + " of " +
                        std::to_string(text.size()) + " is not a hex digit");
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
        std::fill(out.begin(), out.end(), 0);
        usage_error(std::string(what) + " needs an even number of hex digits");
        return false;
    }
    return true;
}

bool parse_sized(const char *what, const std::string &text, size_t min, size_t max, size_t step, Bytes &out) {
    if (!parse_value(what, text, out)) return false;
    if (out.size() >= min && out.size() <= max && (step <= 1 || out.size() % step == 0)) return true;
    size_t got = out.size();
    std::fill(out.begin(), out.end(), 0);
    return size_error(what, min, max, step, got);
}

bool parse_secret_value(const char *what, const std::string &text, size_t min, size_t max, Bytes &out) {
    if (text != "-") return parse_sized(what, text, min, max, 1, out);
    std::string line;
    if (!read_secret_line(line)) {
        usage_error(std::string(what) + (take_interrupt() ? " was not read: interrupted"
                                                          : " is \"-\" but standard input has no line left"));
        return false;
    }
    bool ok = parse_sized(what, line, min, max, 1, out);
    std::fill(line.begin(), line.end(), '\0');
    return ok;
}

bool check_name(const char *what, const std::string &text, bool may_be_empty) {
    size_t min = may_be_empty ? 0 : 1;
    // A name is a C string: what follows an embedded NUL would not count.
    if (text.size() >= min && text.size() <= KS_NAME_MAX && text.find('\0') == std::string::npos) return true;
    return size_error(what, min, KS_NAME_MAX, 1, text.size());
}

bool parse_aid(const char *what, const std::string &text, Bytes &aid) {
    return parse_sized(what, text, 1, KS_AID_MAX, 1, aid);
}

bool to_number(const std::string &text, uint64_t max, uint64_t &out) {
    int base = 10;
    size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) return false;
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

bool parse_number(const char *what, const std::string &text, uint64_t min, uint64_t max, uint64_t &out) {
    if (to_number(text, max, out) && out >= min) return true;
    usage_error(std::string(what) + " must be a number from " + std::to_string(min) + " to " + std::to_string(max));
    return false;
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

}  // namespace kstool
