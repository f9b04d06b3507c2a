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
    const char *name;     // one or more words: "secret store"
    const char *usage;    // the arguments after the name
    const char *help;     // one line
    int min_args;         // positional arguments
    int max_args;
    const char *options;  // "purge= meta= json": '=' takes a value, '*' after it marks a secret value
    uint32_t secret_args; // bit i: positional argument i is a secret value
    Handler handler;
};

// The command table and its size.
extern const Command kCommands[];
extern const size_t kCommandCount;

// ---- Values -----------------------------------------------------------------

// A value given as text or as "hex:..." (hex digits, optionally separated by
// ':', '-' or '_'). Prints a usage error and returns false on bad hex.
bool parse_value(const std::string &text, Bytes &out);
// A secret value: as parse_value, or "-" to read it from standard input (a
// line, without echo on a terminal).
bool parse_secret_value(const std::string &text, Bytes &out);
// A decimal or 0x-prefixed unsigned number no greater than max.
bool parse_number(const std::string &text, uint64_t max, uint64_t &out);
// on/off, yes/no, 1/0.
bool parse_switch(const std::string &text, int &out);
// A value that must have exactly n bytes (challenges, responses, IVs).
bool parse_fixed(const std::string &what, const std::string &text, size_t n, Bytes &out);

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
// Prints a usage problem on standard error and returns Outcome::kUsage.
Outcome usage_error(const std::string &message);

// ---- Traces -----------------------------------------------------------------

// Rendered text of the traces recorded since the last call, and forgets them.
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
