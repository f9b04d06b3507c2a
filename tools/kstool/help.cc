// SPDX-License-Identifier: Apache-2.0
// The command table's texts: help, and the command list of the manual page
// (generated at build time from this table, so the two never disagree).
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "kstool.h"

namespace kstool {

std::vector<std::string> words_of(const char *name) {
    std::vector<std::string> w;
    std::string cur;
    for (const char *p = name; *p; ++p) {
        if (*p == ' ') {
            if (!cur.empty()) w.push_back(cur);
            cur.clear();
        } else {
            cur += *p;
        }
    }
    if (!cur.empty()) w.push_back(cur);
    return w;
}

std::string usage_line(const Command &c) {
    std::string s = c.name;
    if (c.usage[0] != '\0') s += std::string(" ") + c.usage;
    return s;
}

namespace {

// Prints text in lines of at most 80 columns, broken between words: the first
// line indented by `first` blanks, the others by `rest` (a word too long for
// any line stands alone on one).
void print_wrapped(const std::string &text, size_t first, size_t rest) {
    constexpr size_t kWidth = 80;
    std::string line(first, ' ');
    size_t indent = first;
    for (const std::string &word : words_of(text.c_str())) {
        if (line.size() > indent && line.size() + 1 + word.size() > kWidth) {
            std::printf("%s\n", line.c_str());
            line.assign(indent = rest, ' ');
        }
        line += (line.size() > indent ? " " : "") + word;
    }
    std::printf("%s\n", line.c_str());
}

}  // namespace

bool print_help(const std::vector<std::string> &topic) {
    // Every command whose words begin with the topic ("help pac" lists the
    // PAC commands, "help" all of them).
    std::vector<const Command *> found;
    for (size_t i = 0; i < kCommandCount; ++i) {
        std::vector<std::string> w = words_of(kCommands[i].name);
        if (w.size() < topic.size()) continue;
        bool match = true;
        for (size_t k = 0; k < topic.size() && match; ++k) match = (w[k] == topic[k]);
        if (match) found.push_back(&kCommands[i]);
    }
    if (found.empty() && !topic.empty()) return false;
    if (topic.empty()) std::printf("Commands (values are text or hex:..., outputs are hex):\n");
    for (const Command *c : found) {
        print_wrapped(usage_line(*c), 2, 8);
        print_wrapped(c->help, 6, 6);
    }
    if (topic.empty()) {
        std::printf("  help [COMMAND]\n      this list, or the commands that begin with COMMAND\n");
        std::printf("  quit\n      leave (interactive)\n");
    }
    return true;
}

namespace {

// Text for man(7): backslashes escaped, a '-' that begins a word (options,
// "-" values) as a minus sign, and no line beginning with a control character.
std::string roff(const std::string &text) {
    std::string s;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\')
            s += "\\e";
        else if (c == '-' && (i == 0 || text[i - 1] == ' ' || text[i - 1] == '-' || text[i - 1] == '/' ||
                              text[i - 1] == '[' || text[i - 1] == '('))
            s += "\\-";
        else
            s += c;
    }
    if (!s.empty() && (s[0] == '.' || s[0] == '\'')) s.insert(0, "\\&");
    return s;
}

// A command's arguments in the manual's typefaces: options and keywords
// bold, placeholders (upper-case words) italic, punctuation roman.
std::string roff_usage(const std::string &text) {
    std::string s;
    size_t i = 0;
    while (i < text.size()) {
        size_t j = i;
        while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) || text[j] == '_' ||
                                   text[j] == '-' || text[j] == '+'))
            ++j;
        if (j == i) {
            s += text[i++];
            continue;
        }
        std::string word = text.substr(i, j - i);
        bool placeholder = std::isupper(static_cast<unsigned char>(word[0]));
        s += (placeholder ? "\\fI" : "\\fB") + roff(word) + "\\fR";
        i = j;
    }
    return s;
}

}  // namespace

void print_roff_commands() {
    for (size_t i = 0; i < kCommandCount; ++i) {
        const Command &c = kCommands[i];
        std::string line = "\\fB" + roff(c.name) + "\\fR";
        if (c.usage[0] != '\0') line += " " + roff_usage(c.usage);
        std::printf(".TP\n%s\n%s\n", line.c_str(), roff(c.help).c_str());
    }
}

}  // namespace kstool
