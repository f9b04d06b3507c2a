// SPDX-License-Identifier: Apache-2.0
// show: the keystore listing, as the text show command's traces or as the
// structured message built through the host's show-message builder.
#include <cstdio>
#include <string>

#include "keystore/ks_show.h"
#include "keystore_host/showmsg.h"
#include "kstool.h"

namespace kstool {

namespace {

// The text listing comes as traces of the software keystore's table (2): a
// record's row is its index trace followed by fragments (type column, one
// trace per name character or A-ID byte, a final newline character, or the
// unknown-type text) that continue the same line.
constexpr int kSwTable = 2;
constexpr uint32_t kFirstRowFragment = 31;
constexpr uint32_t kLastRowFragment = 37;
const char kTag[] = "KS-SW: ";

// The trace text without its leading newline and module tag.
std::string untagged(const std::string &text) {
    std::string s = text;
    if (!s.empty() && s[0] == '\n') s.erase(0, 1);
    if (s.compare(0, sizeof kTag - 1, kTag) == 0) s.erase(0, sizeof kTag - 1);
    return s;
}

void print_lines(const std::string &text) {
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            // Trailing blanks of the fixed-width columns are not kept.
            while (!line.empty() && line.back() == ' ') line.pop_back();
            std::printf("%s\n", line.c_str());
            line.clear();
        } else {
            line += c;
        }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (!line.empty()) std::printf("%s\n", line.c_str());
}

Outcome show_text() {
    take_traces();
    ks_show_command();
    std::vector<RenderedTrace> traces = take_traces();
    std::string text;
    for (const RenderedTrace &t : traces) {
        bool fragment = t.table == kSwTable && t.index >= kFirstRowFragment && t.index <= kLastRowFragment;
        if (!fragment && !text.empty() && text.back() != '\n') text += '\n';
        text += untagged(t.text);
    }
    print_lines(text);
    return Outcome::kOk;
}

Outcome show_structured(bool json) {
    ksh_showmsg_reply *reply = ksh_showmsg_reply_new();
    if (reply == nullptr) return usage_error("out of memory");
    int32_t err = 0;
    qel_ks_show_command(reinterpret_cast<uintptr_t>(reply), 0, reply, &err);
    // The structured command reports its progress in traces; --trace shows
    // them, the listing itself is the message.
    std::vector<RenderedTrace> traces = take_traces();
    if (g_print_traces) print_traces(traces);
    int n = json ? ksh_showmsg_render_json(reply, nullptr, 0) : ksh_showmsg_render_table(reply, nullptr, 0);
    std::string text(static_cast<size_t>(n > 0 ? n : 0) + 1, '\0');
    if (json)
        ksh_showmsg_render_json(reply, text.data(), text.size());
    else
        ksh_showmsg_render_table(reply, text.data(), text.size());
    text.resize(static_cast<size_t>(n > 0 ? n : 0));
    ksh_showmsg_reply_free(reply);
    print_lines(text);
    if (err != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "show: the builder reported error %d\n", static_cast<int>(err));
    }
    return Outcome::kOk;
}

}  // namespace

Outcome cmd_show(const Args &a) {
    if (a.has("json") && a.has("table")) return usage_error("usage: show [--json | --table]");
    if (a.has("json")) return show_structured(true);
    if (a.has("table")) return show_structured(false);
    return show_text();
}

}  // namespace kstool
