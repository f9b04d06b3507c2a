// SPDX-License-Identifier: Apache-2.0
// kstool: an operator's shell over the keystore's C interface.
//
// Every command is one row of the command table (commands.cc): its words,
// its usage line, a one-line help text, the bounds of its positional
// arguments, the options it takes, which arguments hold secrets (never
// echoed), and its handler. The runner (main.cc) splits lines into words,
// finds the row, checks the arguments against it and calls the handler.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kstool {

using Bytes = std::vector<uint8_t>;

// What a handler reports back to the runner.
enum class Outcome {
    kOk,      // the command did what it was asked
    kFailed,  // the library answered with a failing status (already printed)
    kUsage,   // the arguments do not fit the command (message already printed)
};

// A command's arguments after the command words: positional arguments in
// order, and the options given (each at most once).
struct Args {
    std::vector<std::string> pos;
    std::vector<std::pair<std::string, std::string>> opts;  // name without "--", value ("" for a flag)

    bool has(const char *name) const;
    // The option's value, or null when it was not given.
    const std::string *opt(const char *name) const;
};

using Handler = Outcome (*)(const Args &);

struct Command {
    const char *name;   // one or more words: "secret store"
    const char *usage;  // the arguments after the name
    const char *help;   // one line
    int min_args;       // positional arguments
    int max_args;
    const char *options;   // "purge= meta= json": '=' takes a value, '*' after it marks a secret value
    uint32_t secret_args;  // bit i: positional argument i is a secret value
    Handler handler;
    // The keystore computes what it prints (a digest, a cipher text, random
    // bytes...), which the hardware contract's stubs do not.
    bool computed = false;
};

// The command table and its size.
extern const Command kCommands[];
extern const size_t kCommandCount;

// ---- Input (input.cc) ---------------------------------------------------------

// Lines of commands or values read from a file descriptor through a buffer
// kstool owns: every line kstool reads comes through here.
class LineReader {
  public:
    explicit LineReader(int fd);
    ~LineReader();
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    // The next line, without its newline and a trailing carriage return;
    // false at the end of the input (a last line without a newline counts),
    // on a read error, and, once catch_interrupts() has run, when Ctrl-C
    // comes while it waits (take_interrupt() then says so; the input goes on).
    bool next(std::string &line);
    int fd() const { return fd_; }
    // The errno of the read that failed, or 0.
    int error() const { return error_; }
    // How many lines next() has returned, values read as "-" included.
    unsigned lines() const { return lines_; }

  private:
    static constexpr size_t kSize = 4096;
    int fd_;
    // Protected memory when the platform has it, else spare_; bytes are wiped
    // as their lines are taken.
    char *buf_;
    size_t start_ = 0;
    size_t end_ = 0;
    bool eof_ = false;
    int error_ = 0;
    unsigned lines_ = 0;
    char spare_[kSize];
};

// Standard input, shared by the command reader and "-" values.
LineReader &stdin_lines();
bool stdin_is_terminal();
// An interactive command line: with the prompt "kstool> " (and line editing
// when kstool was built with readline). False at the end of the input.
bool read_interactive_line(std::string &line);
// A value given as "-": the next line of standard input, not echoed on a
// terminal.
bool read_secret_line(std::string &line);
// Keeps a command line for recall at the terminal (with line editing).
void remember_line(const std::string &line);
// From now on Ctrl-C does not end the process: it cancels the line being
// typed at the prompt, or the "-" value being read (an interactive session).
void catch_interrupts();
// Whether Ctrl-C came since the last call.
bool take_interrupt();

// ---- Hygiene (hygiene.cc) -------------------------------------------------------
//
// Every heap block kstool frees is wiped first (kstool replaces operator new
// and delete).

// Wipes a string's whole buffer and empties it.
void wipe(std::string &s);
// Wipes the stack below the caller's frame, where the frames of a finished
// command held their locals.
void wipe_stack_below();

// ---- Values (values.cc) ---------------------------------------------------------
//
// Every parser takes the argument's name as the usage line writes it (NAME,
// DATA, ...) and, on a mistake, prints a usage error naming it and its limit
// and returns false: kstool refuses such an argument before the library sees
// it.

// A value given as text or as "hex:..." (hex digits, optionally separated by
// ':', '-' or '_'). A bad digit is reported by its position, never shown.
bool parse_value(const char *what, const std::string &text, Bytes &out);
// A value of min to max bytes; with step > 1 also a multiple of step.
bool parse_sized(const char *what, const std::string &text, size_t min, size_t max, size_t step, Bytes &out);
// A value that must have exactly n bytes (challenges, responses, IVs).
inline bool parse_fixed(const char *what, const std::string &text, size_t n, Bytes &out) {
    return parse_sized(what, text, n, n, 1, out);
}
// A secret value of min to max bytes: as parse_sized, or "-" to read it from
// standard input (a line, without echo on a terminal).
bool parse_secret_value(const char *what, const std::string &text, size_t min, size_t max, Bytes &out);
// The name of a stored secret: 1 to 31 bytes (0 to 31 when it may be empty).
bool check_name(const char *what, const std::string &text, bool may_be_empty = false);
// An A-ID: a value of 1 to 31 bytes.
bool parse_aid(const char *what, const std::string &text, Bytes &aid);
// A decimal or 0x-prefixed number no greater than max; false, with nothing
// printed, for anything else.
bool to_number(const std::string &text, uint64_t max, uint64_t &out);
// As to_number, from min to max, with a usage error naming the argument.
bool parse_number(const char *what, const std::string &text, uint64_t min, uint64_t max, uint64_t &out);
// on/off, yes/no, 1/0.
bool parse_switch(const std::string &text, int &out);

std::string hex(const uint8_t *p, size_t n, bool upper = true);
inline std::string hex(const Bytes &b, bool upper = true) { return hex(b.data(), b.size(), upper); }

// Hex, followed by the text in parentheses when every byte is printable.
std::string hex_and_text(const uint8_t *p, size_t n);

// ---- Output -----------------------------------------------------------------

// Prints "label: value" on standard output.
void out(const std::string &label, const std::string &value);
// Prints the PAC notifications the host received since the last call
// ("pac added: ..." / "pac removed: ..."), and forgets them.
void print_pac_events();
// Prints "ok".
void ok();
// Reports a failing status ("failed: NAME (n)") on standard error and
// returns Outcome::kFailed; returns Outcome::kOk for KS_SUCCESS.
Outcome check(int32_t status);
// check(status), then "ok" on standard output when it succeeded.
Outcome check_ok(int32_t status);
// check(status), then "LABEL: yes|no" from *answer when it succeeded (answer
// is read after the call that set it).
Outcome check_yes_no(int32_t status, const char *label, const int32_t &answer);
// Prints a usage problem on standard error and returns Outcome::kUsage.
Outcome usage_error(const std::string &message);
// Prints "warning: TEXT" on standard error.
void warning(const std::string &text);
// A word of the user's as echoes and messages show it: in double quotes when
// it would not read back as one word, and cut after 256 bytes, the rest
// given as "...[N bytes]" (the whole size).
std::string shown(const std::string &word);

// ---- The table's texts (help.cc) ------------------------------------------------

// The words of a command name ("secret store" -> "secret", "store").
std::vector<std::string> words_of(const char *name);
// The command's name and its arguments, as help prints it.
std::string usage_line(const Command &c);
// help [TOPIC]: every command whose words begin with the topic, within 80
// columns; false, with nothing printed, when there is none.
bool print_help(const std::vector<std::string> &topic);
// The command list as man(7) source, for kstool's manual page.
void print_roff_commands();
// kstool's version and the version of the keystore library it loaded, read
// from the library's own file name.
void print_version();

// ---- Traces -----------------------------------------------------------------

// Starts capturing what the library reports, through the platform's trace
// hook and PAC handlers: the traces and PAC events of one command, until they
// are taken or forgotten, so a long session keeps nothing of earlier ones.
void start_capture();
// Forgets the traces and PAC events captured so far.
void forget_captured();
// Rendered text of the traces captured since the last call, and forgets them.
// Each text is as the catalogue renders it, newlines included.
struct RenderedTrace {
    int table;
    uint32_t index;
    std::string text;
};
std::vector<RenderedTrace> take_traces();
// Prints traces as "trace: TEXT" lines, one per trace.
void print_traces(const std::vector<RenderedTrace> &traces);
// Whether --trace was given.
extern bool g_print_traces;

// ---- Handlers (one per command row) -------------------------------------------

// Secrets, metadata and random numbers (cmd_secret.cc).
Outcome cmd_secret_store(const Args &);
Outcome cmd_secret_exists(const Args &);
Outcome cmd_secret_list(const Args &);
Outcome cmd_secret_next(const Args &);
Outcome cmd_secret_rename(const Args &);
Outcome cmd_secret_clear(const Args &);
Outcome cmd_secret_ha_check(const Args &);
Outcome cmd_meta_add(const Args &);
Outcome cmd_meta_clear(const Args &);
Outcome cmd_meta_show(const Args &);
Outcome cmd_random(const Args &);

// HMACs, keyed digests, block ciphers, MS-CHAPv2, MPPE (cmd_crypto.cc).
Outcome cmd_hmac_md5(const Args &);
Outcome cmd_hmac_sha1(const Args &);
Outcome cmd_hash_md5(const Args &);
Outcome cmd_hash_sha1(const Args &);
Outcome cmd_aes(const Args &);
Outcome cmd_aes_cbc(const Args &);
Outcome cmd_des(const Args &);
Outcome cmd_3des(const Args &);
Outcome cmd_mschap_nt_response(const Args &);
Outcome cmd_mschap_auth_response(const Args &);
Outcome cmd_mschap_new_password_block(const Args &);
Outcome cmd_mschap_old_hash_block(const Args &);
Outcome cmd_mppe_master_key(const Args &);

// PACs (cmd_pac.cc).
Outcome cmd_pac_store(const Args &);
Outcome cmd_pac_store_tlv(const Args &);
Outcome cmd_pac_exists(const Args &);
Outcome cmd_pac_list(const Args &);
Outcome cmd_pac_next(const Args &);
Outcome cmd_pac_opaque(const Args &);
Outcome cmd_pac_info(const Args &);
Outcome cmd_pac_tprf(const Args &);
Outcome cmd_pac_shared_key(const Args &);
Outcome cmd_pac_valid(const Args &);
Outcome cmd_pac_expiry(const Args &);
Outcome cmd_pac_clear(const Args &);
Outcome cmd_pac_clear_old(const Args &);
Outcome cmd_pac_clear_all(const Args &);
Outcome cmd_pac_cache_purge(const Args &);

// Modes (cmd_modes.cc) and show (cmd_show.cc).
Outcome cmd_mode(const Args &);
Outcome cmd_mode_standby(const Args &);
Outcome cmd_mode_emulation(const Args &);
Outcome cmd_mode_redundancy(const Args &);
Outcome cmd_show(const Args &);

}  // namespace kstool
