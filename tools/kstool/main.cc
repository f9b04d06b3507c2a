// SPDX-License-Identifier: Apache-2.0
// kstool's runner: options, the ways of reading commands (arguments, a
// script file, standard input from a pipe or a terminal), line splitting and
// table lookup.
//
// Commands that come from arguments, a script or a pipe are a script: the
// first failing command ends the run (exit code 1, or 2 for a mistake in the
// command) unless --continue is given, which goes on and exits with the worst
// code at the end; a failure in a script or a pipe names its line. A terminal
// session reports failures and goes on.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "keystore/ks_modes.h"
#include "keystore_host/host.h"
#include "kstool.h"

namespace kstool {
namespace {

// Exit codes: 0 every command succeeded, 1 a command failed with a status,
// 2 bad usage (of kstool or of a command) or an unreadable script.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kToolUsage[] =
    "usage: kstool [--trace] [--continue] [COMMAND [ARGS...] [; COMMAND ...]]\n"
    "       kstool [--trace] [--continue] --script FILE\n"
    "       kstool --version | --help\n"
    "  With no command and no script, commands are read from standard input: a\n"
    "  terminal session goes on after a failing command, piped input stops there.\n"
    "  --script FILE  run the commands of FILE, one per line ('#' lines are headings)\n"
    "  --continue     go on after a failing command (exit code 1 or 2 at the end)\n"
    "  --trace        print the library's traces after each command\n"
    "  --version      print kstool's version and the loaded library's\n"
    "Type 'help' for the commands.\n";

// The row whose words begin the line and are the most in number, or null.
const Command *find_command(const std::vector<std::string> &words, size_t &nwords) {
    const Command *best = nullptr;
    nwords = 0;
    for (size_t i = 0; i < kCommandCount; ++i) {
        std::vector<std::string> w = words_of(kCommands[i].name);
        if (w.size() > words.size() || w.size() <= nwords) continue;
        bool match = true;
        for (size_t k = 0; k < w.size() && match; ++k) match = (w[k] == words[k]);
        if (match) {
            best = &kCommands[i];
            nwords = w.size();
        }
    }
    return best;
}

// Looks an option up in a row's option list: 0 unknown, 1 flag, 2 takes a
// value, 3 takes a secret value.
int option_kind(const Command &c, const std::string &name) {
    for (const std::string &o : words_of(c.options)) {
        std::string base = o.substr(0, o.find('='));
        if (base != name) continue;
        if (o.find('=') == std::string::npos) return 1;
        return o.back() == '*' ? 3 : 2;
    }
    return 0;
}

// Splits the arguments after the command words into positional arguments and
// options; "--" ends the options.
bool split_args(const Command &c, const std::vector<std::string> &words, size_t first, Args &args) {
    bool options_done = false;
    for (size_t i = first; i < words.size(); ++i) {
        const std::string &w = words[i];
        if (!options_done && w == "--") {
            options_done = true;
            continue;
        }
        if (!options_done && w.size() > 2 && w.compare(0, 2, "--") == 0) {
            std::string name = w.substr(2);
            int kind = option_kind(c, name);
            if (kind == 0) {
                usage_error("unknown option " + shown(w) + "; usage: " + usage_line(c));
                return false;
            }
            if (args.has(name.c_str())) {
                usage_error("option " + shown(w) + " given twice");
                return false;
            }
            std::string value;
            if (kind >= 2) {
                if (i + 1 >= words.size()) {
                    usage_error("option --" + name + " needs a value; usage: " + usage_line(c));
                    return false;
                }
                value = words[++i];
            }
            args.opts.emplace_back(name, value);
            continue;
        }
        args.pos.push_back(w);
    }
    int n = static_cast<int>(args.pos.size());
    if (n < c.min_args || n > c.max_args) {
        usage_error("usage: " + usage_line(c));
        return false;
    }
    return true;
}

// The command as it is echoed: secret arguments and secret option values are
// replaced by a placeholder, so that no stored value reaches the output.
std::string echo_line(const Command *c, size_t nwords, const std::vector<std::string> &words) {
    std::vector<std::string> echoed;
    int pos_index = 0;
    bool options_done = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &w = words[i];
        echoed.push_back(shown(w));
        if (c == nullptr || i < nwords) continue;
        if (!options_done && w == "--") {
            options_done = true;
        } else if (!options_done && w.size() > 2 && w.compare(0, 2, "--") == 0) {
            int kind = option_kind(*c, w.substr(2));
            if (kind >= 2 && i + 1 < words.size()) {
                ++i;
                echoed.push_back(kind == 3 ? "<secret>" : shown(words[i]));
            }
        } else {
            if (pos_index < 32 && (c->secret_args >> pos_index) & 1u) echoed.back() = "<secret>";
            ++pos_index;
        }
    }
    std::string s;
    for (const std::string &w : echoed) s += (s.empty() ? "" : " ") + w;
    return s;
}

// Whether any command of a line has an argument echo_line masks.
bool holds_secret(const std::vector<std::string> &words) {
    std::vector<std::string> cur;
    for (size_t i = 0; i <= words.size(); ++i) {
        if (i < words.size() && words[i] != ";") {
            cur.push_back(words[i]);
            continue;
        }
        size_t nwords = 0;
        const Command *c = find_command(cur, nwords);
        if (c != nullptr && echo_line(c, nwords, cur) != echo_line(nullptr, 0, cur)) return true;
        cur.clear();
    }
    return false;
}

enum class LineResult { kOk, kFailed, kUsage, kQuit };

// "a, b or c".
std::string one_of(const std::vector<std::string> &items) {
    std::string s;
    for (size_t i = 0; i < items.size(); ++i) s += (i == 0 ? "" : i + 1 == items.size() ? " or " : ", ") + items[i];
    return s;
}

// The second words of the commands whose first word is `family` ("hmac":
// md5, sha1), in table order; none when it is no family's name.
std::vector<std::string> subcommands(const std::string &family) {
    std::vector<std::string> subs;
    for (size_t i = 0; i < kCommandCount; ++i) {
        std::vector<std::string> w = words_of(kCommands[i].name);
        if (w.size() > 1 && w[0] == family) subs.push_back(w[1]);
    }
    return subs;
}

// A command no row knows, as a message names it: only the words that could
// name a command ("help" and a topic, a family and a subcommand, one word),
// then "...": what follows may hold a value the row would have hidden.
std::string unknown_line(const std::vector<std::string> &words) {
    const size_t n = words[0] == "help" ? 3 : subcommands(words[0]).empty() ? 1 : 2;
    const std::vector<std::string> named(words.begin(), words.begin() + std::min(n, words.size()));
    return echo_line(nullptr, 0, named) + (words.size() > n ? " ..." : "");
}

// Whether the computed results since the software keystore last served
// requests have been warned of.
bool g_stub_result_warned = false;

// The hardware contract's stubs report success and compute nothing: the
// first result a command prints from them is marked as not a real one, and
// the rest of that stretch goes without (the switch itself is warned of too).
void check_real_result(const Command &c, Outcome o) {
    if (ks_are_we_using_sw_emulation() != 0) {
        g_stub_result_warned = false;
        return;
    }
    if (o != Outcome::kOk || !c.computed || g_stub_result_warned) return;
    g_stub_result_warned = true;
    warning(
        "not a real result: the hardware contract's stubs compute nothing\n"
        "  (warned once until 'mode emulation on')");
}

LineResult run_words(const std::vector<std::string> &words, bool echo) {
    if (words.empty()) return LineResult::kOk;
    size_t nwords = 0;
    const Command *c = find_command(words, nwords);
    if (echo) std::printf("> %s\n", echo_line(c, nwords, words).c_str());
    if (words[0] == "help") {
        const std::vector<std::string> topic(words.begin() + 1, words.end());
        if (print_help(topic)) return LineResult::kOk;
        usage_error("no command '" + unknown_line(topic) + "'; type 'help' for the list");
        return LineResult::kUsage;
    }
    if (words[0] == "quit" || words[0] == "exit") return LineResult::kQuit;
    // A family's name alone, or with a word that is none of its subcommands
    // ("mode" alone is a command of its own, which takes no argument).
    const bool stray_word =
        c != nullptr && nwords == 1 && c->max_args == 0 && words.size() > 1 && words[1].compare(0, 2, "--") != 0;
    if (c == nullptr || stray_word) {
        std::vector<std::string> subs = subcommands(words[0]);
        if (!subs.empty()) {
            usage_error((words.size() == 1 ? "incomplete command '" + words[0]
                                           : "unknown command '" + words[0] + " " + shown(words[1])) +
                        "'; " + words[0] + " takes " + one_of(subs) + " (help " + words[0] + ")");
            return LineResult::kUsage;
        }
    }
    if (c == nullptr) {
        usage_error("unknown command '" + shown(words[0]) + "'; type 'help' for the list");
        return LineResult::kUsage;
    }
    Args args;
    if (!split_args(*c, words, nwords, args)) return LineResult::kUsage;
    forget_captured();  // what came before this command is not its output
    Outcome o = c->handler(args);
    print_pac_events();
    std::vector<RenderedTrace> traces = take_traces();
    if (g_print_traces) print_traces(traces);
    check_real_result(*c, o);
    std::fflush(stdout);
    switch (o) {
        case Outcome::kOk: return LineResult::kOk;
        case Outcome::kFailed: return LineResult::kFailed;
        case Outcome::kUsage: return LineResult::kUsage;
    }
    return LineResult::kOk;
}

// Splits a line into words: blanks separate them, double quotes group them
// (with \" and \\ inside), and an unquoted '#' at the start of a word begins
// a comment that runs to the end of the line. Returns false on an unclosed
// quote.
bool split_line(const std::string &line, std::vector<std::string> &words) {
    words.clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= line.size() || line[i] == '#') break;
        std::string w;
        bool in_quotes = false;
        while (i < line.size()) {
            char ch = line[i];
            if (in_quotes) {
                if (ch == '\\' && i + 1 < line.size()) {
                    w += line[i + 1];
                    i += 2;
                    continue;
                }
                if (ch == '"')
                    in_quotes = false;
                else
                    w += ch;
                ++i;
                continue;
            }
            if (ch == ' ' || ch == '\t' || ch == '\r') break;
            if (ch == '"')
                in_quotes = true;
            else
                w += ch;
            ++i;
        }
        if (in_quotes) return false;
        words.push_back(w);
    }
    return true;
}

// Commands separated by ";" words: each one is run in turn. Each command's
// words are taken out of `words` and wiped once it has run. A failing command
// of line `lineno` (0: not from a line) is named after its message.
LineResult run_sequence(std::vector<std::string> &words, bool echo, bool keep_going, unsigned lineno = 0) {
    std::vector<std::string> cur;
    LineResult worst = LineResult::kOk;
    for (size_t i = 0; i <= words.size(); ++i) {
        if (i < words.size() && words[i] != ";") {
            cur.push_back(std::move(words[i]));
            wipe(words[i]);
            continue;
        }
        LineResult r = run_words(cur, echo);
        if ((r == LineResult::kFailed || r == LineResult::kUsage) && lineno != 0) {
            size_t nwords = 0;
            const Command *c = find_command(cur, nwords);
            usage_error("  at line " + std::to_string(lineno) + ": " +
                        (c != nullptr ? echo_line(c, nwords, cur) : unknown_line(cur)));
        }
        for (std::string &w : cur) wipe(w);
        cur.clear();
        wipe_stack_below();
        if (r == LineResult::kQuit) return r;
        if (r == LineResult::kOk) continue;
        if (worst != LineResult::kUsage) worst = r;
        if (!keep_going) return r;
    }
    return worst;
}

int exit_code_of(LineResult r) {
    return r == LineResult::kUsage ? kExitUsage : r == LineResult::kFailed ? kExitFailed : 0;
}

// Commands read line by line from a script file or a pipe. In a script file
// '#' lines are printed as they stand (they are the script's headings), "#!"
// lines are not, blank lines are kept, and every command is echoed before its
// output; from a pipe only the commands' own output is printed. An input that
// cannot be read (a directory, an I/O error) ends the run with exit code 2.
int run_lines(LineReader &in, const char *name, bool echo, bool keep_going) {
    std::string line;
    LineResult worst = LineResult::kOk;
    while (in.next(line)) {
        const unsigned lineno = in.lines();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos) {
            if (echo) std::printf("\n");
            continue;
        }
        if (line[first] == '#') {
            if (!echo || line.compare(first, 2, "#!") == 0) continue;
            std::string text = line.substr(first);
            while (!text.empty() && text.back() == ' ') text.pop_back();
            std::printf("%s\n", text.c_str());
            continue;
        }
        std::vector<std::string> words;
        LineResult r = LineResult::kUsage;
        if (split_line(line, words))
            r = run_sequence(words, echo, keep_going, lineno);
        else
            usage_error("line " + std::to_string(lineno) + ": unclosed quote");
        wipe(line);
        if (r == LineResult::kQuit) break;
        if (r != LineResult::kOk && worst != LineResult::kUsage) worst = r;
        if (r != LineResult::kOk && !keep_going) break;
    }
    std::fflush(stdout);
    if (in.error() != 0) {
        std::fprintf(stderr, "kstool: cannot read %s: %s\n", name, std::strerror(in.error()));
        return kExitUsage;
    }
    return exit_code_of(worst);
}

// A terminal session: a prompt, line editing when available; failing
// commands are reported and the session goes on. Ctrl-C cancels the line
// being typed: the stored secrets live in this process.
int run_terminal() {
    catch_interrupts();
    std::printf("kstool: type 'help' for the commands, 'quit' to leave.\n");
    std::string line;
    while (read_interactive_line(line)) {
        std::vector<std::string> words;
        const bool split = split_line(line, words);
        // Lines with a secret (or a "-" standing for one) are not kept for recall.
        if (split && !holds_secret(words)) remember_line(line);
        wipe(line);
        if (!split) {
            usage_error("unclosed quote");
            continue;
        }
        if (run_sequence(words, false, true) == LineResult::kQuit) break;
    }
    std::printf("\n");
    return 0;
}

}  // namespace
}  // namespace kstool

using namespace kstool;

int main(int argc, char **argv) {
    const char *script = nullptr;
    bool keep_going = false;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--script") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kstool: --script needs a FILE\n%s", kToolUsage);
                return kExitUsage;
            }
            script = argv[++i];
        } else if (a == "--continue") {
            keep_going = true;
        } else if (a == "--trace") {
            g_print_traces = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kToolUsage, stdout);
            return 0;
        } else if (a == "--version") {
            print_version();
            return 0;
        } else if (a == "--roff-commands") {
            // Not listed: the build runs it for the manual page.
            print_roff_commands();
            return 0;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            std::fprintf(stderr, "kstool: unknown option %s\n%s", shown(a).c_str(), kToolUsage);
            return kExitUsage;
        } else {
            break;
        }
    }
    if (script != nullptr && i < argc) {
        std::fprintf(stderr, "kstool: give commands either as arguments or with --script\n");
        return kExitUsage;
    }
    int script_fd = -1;
    if (script != nullptr && (script_fd = open(script, O_RDONLY | O_CLOEXEC)) < 0) {
        std::fprintf(stderr, "kstool: cannot read %s: %s\n", script, std::strerror(errno));
        return kExitUsage;
    }

    // Start-up as on a device: the platform runs the library's registered
    // initialisation, which selects the software keystore.
    start_capture();
    ksh_platform_start();
    forget_captured();

    if (script_fd >= 0) {
        LineReader in(script_fd);
        return run_lines(in, script, true, keep_going);
    }
    if (i < argc) {
        // The arguments are copied, then wiped where the process received
        // them (they also show in /proc/PID/cmdline until then).
        std::vector<std::string> words(argv + i, argv + argc);
        for (int k = i; k < argc; ++k) explicit_bzero(argv[k], std::strlen(argv[k]));
        LineResult r = run_sequence(words, false, keep_going);
        return r == LineResult::kQuit ? 0 : exit_code_of(r);
    }
    if (stdin_is_terminal()) return run_terminal();
    return run_lines(stdin_lines(), "standard input", false, keep_going);
}
