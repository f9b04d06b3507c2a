// Show commands: the text listing and the structured message, compared with
// golden transcripts under tests/show/ (set KS_UPDATE_GOLDEN=1 to rewrite them
// after a deliberate change, then review the diff).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "keystore/ks_modes.h"
#include "keystore/ks_show.h"
#include "keystore/ks_sw_keystore.h"
#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"
#include "keystore_host/showmsg.h"
#include "ks_hw_seam.h"
#include "ks_test_util.h"
#include "ks_trace_tables.h"
#include "ks_vectors.h"

namespace {

using kstest::bytes;

constexpr uint32_t kHandleCopyTag = 0x046000A1;
constexpr uint32_t kLevelDebug = 0x7000000;

// Message names of the software keystore's table, by index, read from the
// trace list the library is built from.
const std::vector<std::string> &sw_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        std::ifstream in(std::string(KS_TEST_DATA_DIR) + "/../keystore/src/traces/sw.msgs");
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#' || line.rfind("table ", 0) == 0) continue;
            v.push_back(line.substr(0, line.find(' ')));
        }
        return v;
    }();
    return names;
}

// A record's text as the platform renders it, newlines shown as \n. Records
// with an address argument are not rendered (the address differs from run to
// run); their arguments are on the line already.
std::string rendered(const ksh_trace_record *r) {
    for (int k = 0; k < r->nargs; ++k)
        if (r->args[k].kind == 'p') return "";
    char buf[512];
    int n = ksh_trace_render(r, buf, sizeof buf);
    EXPECT_GE(n, 0) << "trace " << r->index << " has no text";
    std::string out = "  \"";
    for (int i = 0; i < n; ++i) out += buf[i] == '\n' ? std::string("\\n") : std::string(1, buf[i]);
    return out + '"';
}

// The captured traces, one line each: table, index, name, arguments and the
// rendered text. Every show trace must be a debug trace of the software
// keystore's module.
std::string trace_lines() {
    std::ostringstream out;
    for (size_t i = 0; i < ksh_trace_count(); ++i) {
        const ksh_trace_record *r = ksh_trace_at(i);
        EXPECT_EQ(r->table, KS_TRACE_TABLE_SW) << "trace " << i;
        EXPECT_EQ(r->module_id, trace_module_ids[3]) << "trace " << i;
        EXPECT_EQ(r->level, kLevelDebug) << "trace " << i;
        out << "SW " << r->index << ' ' << (r->index < sw_names().size() ? sw_names()[r->index] : "?");
        for (int k = 0; k < r->nargs; ++k) {
            const ksh_trace_arg &a = r->args[k];
            if (a.kind == 'i') out << ' ' << a.i;
            else if (a.kind == 's') out << " \"" << a.s << '"';
            else out << (a.p ? " <ptr>" : " <null>");  // addresses differ from run to run
        }
        out << rendered(r) << '\n';
    }
    return out.str();
}

std::string call_lines() {
    std::ostringstream out;
    for (size_t i = 0; i < ksh_showmsg_call_count(); ++i) {
        const ksh_showmsg_call *c = ksh_showmsg_call_at(i);
        out << ksh_showmsg_op_name(c->op);
        if (c->elem_id) out << " #" << c->elem_id;
        if (c->has_arg) out << ' ' << c->arg;
        if (c->has_err) out << " -> " << c->err;
        if (c->injected) out << " (injected)";
        out << '\n';
    }
    return out.str();
}

std::string view_line(const ksh_showmsg_elem_view &v) {
    auto f = [](int set, int32_t value) { return set ? std::to_string(value) : std::string("-"); };
    std::string s = "#" + std::to_string(v.id) + " index=" + f(v.index_set, v.index) + " type=" + f(v.type_set, v.type) +
                    " valid=" + f(v.valid_set, v.valid) + " value=";
    if (!v.value_set) return s + "-";
    s += '"';
    for (uint32_t i = 0; i < v.value_len; ++i) s += v.value[i] == '\n' ? std::string("\\n") : std::string(1, char(v.value[i]));
    return s + '"';
}

std::string render(int (*fn)(const ksh_showmsg_reply *, char *, size_t), const ksh_showmsg_reply *r) {
    int n = fn(r, nullptr, 0);
    std::string s(static_cast<size_t>(n) + 1, '\0');
    fn(r, s.data(), s.size());
    s.resize(static_cast<size_t>(n));
    return s;
}

// Everything a structured run leaves: traces, builder calls, the message and
// the elements the builder still holds unattached.
std::string struct_transcript(const ksh_showmsg_reply *r) {
    std::string s = "# traces\n" + trace_lines() + "# builder calls\n" + call_lines() + "# message\n" +
                     render(ksh_showmsg_render_table, r) + render(ksh_showmsg_render_json, r) + "\n# unattached\n";
    for (size_t i = 0; i < ksh_showmsg_unattached_count(r); ++i) {
        ksh_showmsg_elem_view v;
        ksh_showmsg_unattached_at(r, i, &v);
        s += view_line(v) + "\n";
    }
    return s;
}

void expect_golden(const std::string &name, const std::string &actual) {
    std::string path = std::string(KS_TEST_DATA_DIR) + "/show/" + name + ".exp";
    const char *update = std::getenv("KS_UPDATE_GOLDEN");
    if (update != nullptr && update[0] == '1') {
        std::ofstream(path, std::ios::binary) << actual;
        return;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in.good()) << "missing golden file " << path;
    std::stringstream expected;
    expected << in.rdbuf();
    EXPECT_EQ(expected.str(), actual) << "golden file " << path;
}

void store(uint8_t type, const std::vector<uint8_t> &name) {
    std::vector<uint8_t> h{type};
    h.insert(h.end(), name.begin(), name.end());
    const uint8_t value[] = {0x5A, 0x5A, 0x5A, 0x5A};
    ASSERT_EQ(KS_SUCCESS, ks_sw_store_sym_key(h.data(), static_cast<uint32_t>(h.size()), nullptr, 0, value,
                                              sizeof value, nullptr, 0));
}

class ShowTest : public kstest::KeystoreTest {
  protected:
    void SetUp() override {
        KeystoreTest::SetUp();
        reply_ = ksh_showmsg_reply_new();
    }
    void TearDown() override {
        ksh_showmsg_reply_free(reply_);
        EXPECT_EQ(0u, ksh_showmsg_live_elements());
        KeystoreTest::TearDown();
    }
    // Runs the structured command with the reply as context; returns the
    // error word it was left with.
    int32_t run_struct() {
        int32_t err = -1;
        qel_ks_show_command(reinterpret_cast<uintptr_t>(reply_), 0x5eed, reply_, &err);
        return err;
    }
    // Clears the recorders between two runs in one test.
    static void clear_records() {
        ksh_trace_clear();
        ksh_showmsg_reset();
    }
    ksh_showmsg_reply *reply_ = nullptr;
};

// ---- Golden scenarios, each run through both commands -------------------------

struct Scenario {
    const char *name;
    std::function<void()> setup;  // fills the keystore and sets modes and faults
    // The mode turns off while a command runs: after the first index line of
    // the text form, at the first value assignment of the structured form.
    bool mode_turns;
};

void sw_off_after_first_index(void *, const ksh_trace_record *r) {
    if (r->index == KS_TR_SW_SHOW_INDEX && r->nargs == 1 && r->args[0].i == 0) ks_use_sw_ks = 0;
}

void sw_off_at_first_assign(void *, ksh_showmsg_op op, uint32_t call_no) {
    if (op == KSH_SHOWMSG_VSTRING_ASSIGN && call_no == 1) ks_use_sw_ks = 0;
}

void two_secrets() { store(0x01, bytes("ab")), store(0x01, bytes("cd")); }

const Scenario kScenarios[] = {
    {"empty", [] {}, false},
    {"two_secrets", two_secrets, false},
    {"pacs", [] { store(0x02, {0x0A, 0xFF}), store(0x02, {0x01, 0xAB}); }, false},
    {"types", [] {
         for (auto [type, name] : {std::pair<uint8_t, const char *>{0x03, "t3"}, {0x51, "wdc"}, {0x04, "t4"},
                                   {0x07, "t7"}, {0x52, "r"}, {0x53, "s"}})
             store(type, bytes(name));
     }, false},
    {"hw_present", [] { two_secrets(), ks_use_sw_ks = 0; }, false},
    {"hw_absent", [] { two_secrets(), ks_use_sw_ks = 0, ks::hw_present_answer = 0; }, false},
    {"fetch_fails_first", [] { two_secrets(), ksh_alloc_fail_tag(kHandleCopyTag); }, false},
    // The second handle copy: the commands allocate nothing else.
    {"fetch_fails_second", [] { two_secrets(), ksh_alloc_fail_nth(2); }, false},
    {"mode_turns_hw_present", two_secrets, true},
    {"mode_turns_hw_absent", [] { two_secrets(), ks::hw_present_answer = 0; }, true},
};

class ShowGolden : public ShowTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(ShowGolden, TextListing) {
    GetParam().setup();
    if (GetParam().mode_turns) ksh_trace_set_hook(sw_off_after_first_index, nullptr);
    ks_show_command();
    expect_golden(std::string("text_") + GetParam().name, trace_lines());
}

TEST_P(ShowGolden, StructuredMessage) {
    GetParam().setup();
    if (GetParam().mode_turns) ksh_showmsg_set_hook(sw_off_at_first_assign, nullptr);
    run_struct();
    expect_golden(std::string("struct_") + GetParam().name, struct_transcript(reply_));
}

INSTANTIATE_TEST_SUITE_P(Show, ShowGolden, ::testing::ValuesIn(kScenarios),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Builder failures: each stops as its golden transcript shows ------------

const std::map<std::string, std::function<void()>> kSetups = {
    {"empty", [] {}},
    {"one_secret", [] { store(0x01, bytes("ab")); }},
    {"two_secrets", two_secrets},
    {"one_pac", [] { store(0x02, {0x01, 0xAB}); }},
    {"one_unknown", [] { store(0x07, bytes("x")); }},
    {"hw_mode", [] { ks_use_sw_ks = 0; }},
    {"first_fetch_fails", [] { store(0x01, bytes("ab")), ksh_alloc_fail_tag(kHandleCopyTag); }},
};

class ShowBuilderFailure : public ShowTest, public ::testing::WithParamInterface<kstest::DataRow> {};

// The transcript holds the failure trace with its word, the calls up to the
// failure (and the destroy of the element in hand) and the message.
TEST_P(ShowBuilderFailure, StopsAtTheFailure) {
    const kstest::DataRow &row = GetParam();
    int op = 0;
    while (op < KSH_SHOWMSG_OP_COUNT && row[2] != ksh_showmsg_op_name(ksh_showmsg_op(op))) ++op;
    ASSERT_LT(op, KSH_SHOWMSG_OP_COUNT) << row[2];
    kSetups.at(row[1])();
    ksh_showmsg_fail(ksh_showmsg_op(op), uint32_t(std::stoul(row[3])), 0x77);
    // Creation reports failure by a null element and leaves the word alone.
    EXPECT_EQ(op == KSH_SHOWMSG_ELEM_CREATE ? 0 : 0x77, run_struct());
    expect_golden("fail_" + row[0], struct_transcript(reply_));
}

INSTANTIATE_TEST_SUITE_P(Show, ShowBuilderFailure, ::testing::ValuesIn(kstest::read_rows("show_builder_failures.txt")),
                         [](const auto &info) { return info.param[0]; });

// ---- Properties the golden scenarios do not pin down ----------------------------

// The text form shows every A-ID byte; the structured form cuts an A-ID longer
// than 127 bytes to 254 hex characters. Indexes past 255 keep counting in both.
TEST_F(ShowTest, LongAidAndIndexesPast255) {
    std::vector<uint8_t> aid(199, 0xC3);
    for (int i = 0; i < 299; ++i) store(0x01, bytes("k" + std::to_string(i)));
    store(0x02, aid);
    ks_show_command();
    size_t aid_bytes = 0;
    int last_index = -1;
    for (size_t i = 0; i < ksh_trace_count(); ++i) {
        const ksh_trace_record *r = ksh_trace_at(i);
        if (r->index == KS_TR_SW_SHOW_AID_BYTE) aid_bytes += r->args[0].i == 0xC3;
        if (r->index == KS_TR_SW_SHOW_INDEX) last_index = r->args[0].i;
    }
    EXPECT_EQ(aid.size(), aid_bytes);
    EXPECT_EQ(299, last_index);

    clear_records();
    EXPECT_EQ(0, run_struct());
    ASSERT_EQ(300u, ksh_showmsg_elem_count(reply_));
    ksh_showmsg_elem_view v;
    ksh_showmsg_elem_at(reply_, 299, &v);
    EXPECT_EQ(299, v.index);
    ASSERT_EQ(254u, v.value_len);
    for (size_t i = 0; i < 254; ++i) ASSERT_EQ(i % 2 ? '3' : 'C', v.value[i]) << i;
    EXPECT_EQ(0u, ksh_alloc_tag_live_blocks(kHandleCopyTag));
    // The context words reach every builder call unchanged.
    for (size_t i = 0; i < ksh_showmsg_call_count(); ++i)
        ASSERT_TRUE(ksh_showmsg_call_at(i)->ctx0 == reinterpret_cast<uintptr_t>(reply_) &&
                    ksh_showmsg_call_at(i)->ctx1 == 0x5eedu) << i;
}

}  // namespace
