// SPDX-License-Identifier: Apache-2.0
#include "host/trace_text/render.h"

#include <cstdio>
#include <cstring>

namespace ksh {
namespace {

// Appends one conversion, formatted by the C library from a format holding
// that conversion alone, so widths, flags and precisions behave exactly as
// printf's.
template <typename T>
void append_formatted(std::string &out, const std::string &format, T value) {
    char small[128];
    int n = std::snprintf(small, sizeof small, format.c_str(), value);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));  // %c of 0 yields a NUL byte, kept
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), format.c_str(), value);
    out.append(big.data(), static_cast<size_t>(n));
}

bool is_flag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool render_message(const CatalogMessage &message, const ksh_trace_record &record, std::string &out) {
    out.clear();
    const std::string &t = message.text;
    size_t i = (!t.empty() && t[0] == ' ') ? 1 : 0;
    int next = 0;
    while (i < t.size()) {
        char c = t[i];
        if (c != '%') {
            out.push_back(c);
            ++i;
            continue;
        }
        // Parse %[flags][width][.precision][length]conversion.
        size_t j = i + 1;
        while (j < t.size() && is_flag(t[j])) ++j;
        if (j < t.size() && t[j] == '*') return false;
        while (j < t.size() && is_digit(t[j])) ++j;
        if (j < t.size() && t[j] == '.') {
            ++j;
            if (j < t.size() && t[j] == '*') return false;
            while (j < t.size() && is_digit(t[j])) ++j;
        }
        size_t len_start = j;
        while (j < t.size() && (t[j] == 'h' || t[j] == 'l' || t[j] == 'z' || t[j] == 'j' || t[j] == 't')) ++j;
        std::string length = t.substr(len_start, j - len_start);
        if (j >= t.size()) {  // a lone '%' at the end stays as written
            out.append(t, i, std::string::npos);
            break;
        }
        char conv = t[j];
        // The format handed to the C library: the conversion without its
        // length modifier, since arguments were captured as 32-bit integers.
        std::string one = t.substr(i, len_start - i) + conv;
        if (conv == '%') {
            out.push_back('%');
            i = j + 1;
            continue;
        }
        if (conv == 'n') return false;
        if (std::strchr("diouxXcsp", conv) == nullptr) {  // not a conversion: copied as written
            out.append(t, i, j + 1 - i);
            i = j + 1;
            continue;
        }
        if (next >= record.nargs) return false;
        const ksh_trace_arg &a = record.args[next++];
        switch (conv) {
            case 's':
                if (a.kind != 's') return false;
                append_formatted(out, one, a.s != nullptr ? a.s : "(null)");
                break;
            case 'p':
                if (a.kind != 'p') return false;
                append_formatted(out, one, a.p);
                break;
            case 'd':
            case 'i':
            case 'c': {
                if (a.kind != 'i') return false;
                int v = a.i;
                if (conv != 'c' && length == "hh") v = static_cast<signed char>(v);
                if (conv != 'c' && length == "h") v = static_cast<short>(v);
                append_formatted(out, one, v);
                break;
            }
            default: {  // o u x X
                if (a.kind != 'i') return false;
                unsigned v = static_cast<unsigned>(a.i);
                if (length == "hh") v = static_cast<unsigned char>(v);
                if (length == "h") v = static_cast<unsigned short>(v);
                append_formatted(out, one, v);
                break;
            }
        }
        i = j + 1;
    }
    return true;
}

std::string trace_line(const Catalog *catalog, const ksh_trace_record &record) {
    const CatalogMessage *m = catalog != nullptr ? catalog->find(record.table, record.index) : nullptr;
    std::string text;
    if (m != nullptr && render_message(*m, record, text)) return text + "\n";
    char line[160];
    std::snprintf(line, sizeof line, "trace table %d message %u module 0x%X level 0x%X: no text\n", record.table,
                  record.index, static_cast<unsigned>(record.module_id), record.level);
    return line;
}

}  // namespace ksh
