// SPDX-License-Identifier: Apache-2.0
#include "ks_test_util.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "ks_mschap_core.h"
#include "ks_pac_internal.h"
#include "ks_trace_tables.h"

namespace kstest {
namespace {

std::string trace_line(const ksh_trace_record *r) {
    int module = 0;
    while (module < 31 && trace_module_ids[module] != r->module_id) ++module;
    std::string s = "  " + std::to_string(r->table) + "." + std::to_string(r->index) + " m" + std::to_string(module) +
                    (r->level == KS_TRACE_LEVEL_DEBUG   ? " debug"
                     : r->level == KS_TRACE_LEVEL_ERROR ? " error"
                                                        : " " + std::to_string(r->level));
    char text[512];
    bool address = false;
    for (int k = 0; k < r->nargs; ++k) address |= r->args[k].kind == 'p';
    if (!address && ksh_trace_render(r, text, sizeof text) >= 0) {
        s += " \"";
        for (const char *c = text; *c != '\0'; ++c) s += *c == '\n' ? std::string("\\n") : std::string(1, *c);
        return s + "\"\n";
    }
    for (int k = 0; k < r->nargs; ++k) {  // addresses differ from run to run
        const ksh_trace_arg &a = r->args[k];
        s += a.kind == 'p'   ? (a.p ? " <ptr>" : " <null>")
             : a.kind == 's' ? " \"" + std::string(a.s) + "\""
                             : " " + std::to_string(a.i);
    }
    return s + "\n";
}

}  // namespace

void reset_keystore() {
    // Empty the key table; its slot array stays, as it does in the library.
    ks_sym_key_prefix_purge(ksmodel::ptr_of({}), 0);
    ks_use_sw_ks = 1;
    ks_is_standby = ks_rf_disabled = ks_use_zav_ha = ks_initialized = 0;
    ks::seams = ks::Seams{};
    ks::nt_password_hash_release();
    ks_pac_cache_purge();
    // Key file names at their load values, and a board that is not of the
    // boot-flash family.
    std::strcpy(ks_sw_sym_key_fname, "/flash/private-KS1");
    std::strcpy(ks_sw_rsa_key_fname, "/flash/private-KS2");
    ksh_set_hw_models(0);
    ksh_set_board_subtype(0);
    ksh_set_recording(KSH_RECORD_DEFAULT_CAPACITY);  // the tests read what the library traced
    ksh_reset_recorders();
    ksh_trace_set_hook(nullptr, nullptr);
    ksh_showmsg_reset();
}

void KeystoreTest::SetUp() {
    reset_keystore();
    baseline_blocks_ = ksmodel::library_blocks();
}

void KeystoreTest::TearDown() {
    ksh_alloc_clear_faults();
    reset_keystore();
    if (const uint64_t live = ksmodel::library_blocks(); live != baseline_blocks_) {
        ksh_alloc_leak_report(stderr);
        ADD_FAILURE() << "live blocks after the test: " << live << ", before: " << baseline_blocks_;
    }
}

std::string to_hex(const uint8_t *p, size_t n) {
    std::string s(2 * n, '0');
    for (size_t i = 0; i < 2 * n; ++i) s[i] = "0123456789abcdef"[i % 2 != 0 ? p[i / 2] & 15 : p[i / 2] >> 4];
    return s;
}

std::string drain() {
    std::string s;
    for (size_t i = 0; i < ksh_trace_count(); ++i) s += trace_line(ksh_trace_at(i));
    for (size_t i = 0; i < ksh_message_count(); ++i)
        s += std::string("  message ") + static_cast<const ks_message_definition *>(ksh_message_at(i))->mnemonic + "\n";
    if (ksh_message_suppressed() != 0) s += "  messages held back: " + std::to_string(ksh_message_suppressed()) + "\n";
    for (size_t i = 0; i < ksh_pac_event_count(); ++i) {
        const ksh_pac_event *e = ksh_pac_event_at(i);
        s += std::string(e->added ? "  pac added " : "  pac deleted ") + to_hex(e->aid, e->aid_len) + "\n";
    }
    ksh_trace_clear(), ksh_message_clear(), ksh_pac_events_clear();
    return s;
}

std::string step(const std::string &label, int32_t status) { return step(label + ": " + ks_err_str(status)); }
std::string step(const std::string &label) { return label + "\n" + drain(); }

std::string state() {
    auto name = [](const uint8_t *p, size_t n) {
        const bool text = n != 0 && std::all_of(p, p + n, [](uint8_t c) { return c > 0x20 && c < 0x7F; });
        return text ? std::string(reinterpret_cast<const char *>(p), n) : "#" + to_hex(p, n);
    };
    std::string s = "  keys:";
    for (int32_t i = 0; i < ks_num_sym_keys; ++i)
        s += " " + std::to_string(ks_sym_keys[i]->data[0]) + ":" +
             name(ks_sym_keys[i]->data + 1, ks_sym_keys[i]->handle_len - 1);
    s += "\n  cache:";
    for (const pac_cache_entry *e : ksmodel::queued())
        s += " " + name(e->aid, e->aid_len) + (e->derived ? "+tprf" : "") + (e->mack ? "+mack" : "") +
             (e->kek ? "+kek" : "");
    return s + "\n";
}

void expect_golden(const std::string &path, const std::string &actual) {
    const std::string file = std::string(KS_TEST_DATA_DIR) + "/" + path;
    if (const char *update = std::getenv("KS_UPDATE_GOLDEN"); update != nullptr && update[0] == '1') {
        std::ofstream(file, std::ios::binary) << actual;
        return;
    }
    std::ifstream in(file, std::ios::binary);
    std::stringstream expected;
    expected << in.rdbuf();
    EXPECT_TRUE(in.good() && expected.str() == actual) << "golden file " << file << " differs; the output:\n" << actual;
}

}  // namespace kstest
