// Show commands: the text listing and the structured message, compared with
// golden transcripts under tests/show/ (set KS_UPDATE_GOLDEN=1 to rewrite them
// after a deliberate change, then review the diff).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
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
    // Sets the trace and builder hooks, for scenarios that change the mode
    // while a command runs; the text and structured forms differ in when.
    std::function<void()> text_hooks;
    std::function<void()> struct_hooks;
};

void sw_off_after_first_index(void *, const ksh_trace_record *r) {
    if (r->index == KS_TR_SW_SHOW_INDEX && r->nargs == 1 && r->args[0].i == 0) ks_use_sw_ks = 0;
}

void sw_off_at_first_assign(void *, ksh_showmsg_op op, uint32_t call_no) {
    if (op == KSH_SHOWMSG_VSTRING_ASSIGN && call_no == 1) ks_use_sw_ks = 0;
}

void two_secrets() {
    store(0x01, bytes("ab"));
    store(0x01, bytes("cd"));
}

const Scenario kScenarios[] = {
    {"empty", [] {}, {}, {}},
    {"two_secrets", two_secrets, {}, {}},
    {"pacs", [] {
         store(0x02, {0x0A, 0xFF});
         store(0x02, {0x01, 0xAB});
     }, {}, {}},
    {"types", [] {
         store(0x03, bytes("t3"));
         store(0x51, bytes("wdc"));
         store(0x04, bytes("t4"));
         store(0x07, bytes("t7"));
         store(0x52, bytes("r"));
         store(0x53, bytes("s"));
     }, {}, {}},
    {"hw_present", [] {
         two_secrets();
         ks_use_sw_ks = 0;
     }, {}, {}},
    {"hw_absent", [] {
         two_secrets();
         ks_use_sw_ks = 0;
         ks::hw_present_answer = 0;
     }, {}, {}},
    {"fetch_fails_first", [] {
         two_secrets();
         ksh_alloc_fail_tag(kHandleCopyTag);
     }, {}, {}},
    {"fetch_fails_second", [] {
         two_secrets();
         ksh_alloc_fail_nth(2);  // the second handle copy: the commands allocate nothing else
     }, {}, {}},
    {"mode_turns_hw_present", two_secrets, [] { ksh_trace_set_hook(sw_off_after_first_index, nullptr); },
     [] { ksh_showmsg_set_hook(sw_off_at_first_assign, nullptr); }},
    {"mode_turns_hw_absent", [] {
         two_secrets();
         ks::hw_present_answer = 0;
     }, [] { ksh_trace_set_hook(sw_off_after_first_index, nullptr); },
     [] { ksh_showmsg_set_hook(sw_off_at_first_assign, nullptr); }},
};

class ShowGolden : public ShowTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(ShowGolden, TextListing) {
    const Scenario &s = GetParam();
    s.setup();
    if (s.text_hooks) s.text_hooks();
    ks_show_command();
    expect_golden(std::string("text_") + s.name, trace_lines());
}

TEST_P(ShowGolden, StructuredMessage) {
    const Scenario &s = GetParam();
    s.setup();
    if (s.struct_hooks) s.struct_hooks();
    run_struct();
    expect_golden(std::string("struct_") + s.name, struct_transcript(reply_));
}

INSTANTIATE_TEST_SUITE_P(Show, ShowGolden, ::testing::ValuesIn(kScenarios),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Builder failures ---------------------------------------------------------

enum class Ends {
    kReturn,          // before the walk: returns at once, no counters trace
    kFinish,          // Finish without destroying (creation failed)
    kDestroyFinish,   // the element in hand is destroyed, then Finish
};

struct BuilderFailure {
    const char *name;
    void (*setup)();
    ksh_showmsg_op op;
    uint32_t nth;
    int trace;        // the failure's trace
    Ends ends;
    size_t appended;  // elements in the message afterwards
};

void one_secret() { store(0x01, bytes("ab")); }
void one_pac() { store(0x02, {0x01, 0xAB}); }
void one_unknown() { store(0x07, bytes("x")); }
void hw_mode() { ks_use_sw_ks = 0; }
void first_fetch_fails() {
    one_secret();
    ksh_alloc_fail_tag(kHandleCopyTag);
}

const BuilderFailure kBuilderFailures[] = {
    {"get_message", one_secret, KSH_SHOWMSG_GET_MESSAGE, 1, KS_TR_SW_QEL_GET_MESSAGE, Ends::kReturn, 0},
    {"set_use_sw_ks", one_secret, KSH_SHOWMSG_SET_USE_SW_KS, 1, KS_TR_SW_QEL_SET_USE_SW, Ends::kReturn, 0},
    {"set_is_hw_ks", hw_mode, KSH_SHOWMSG_SET_IS_HW_KS, 1, KS_TR_SW_QEL_SET_IS_HW, Ends::kReturn, 0},
    {"set_is_empty", [] {}, KSH_SHOWMSG_SET_IS_EMPTY, 1, KS_TR_SW_QEL_SET_IS_EMPTY, Ends::kFinish, 0},
    {"elem_create_first", one_secret, KSH_SHOWMSG_ELEM_CREATE, 1, KS_TR_SW_QEL_ELEM_CREATE, Ends::kFinish, 0},
    {"elem_create_after_last", one_secret, KSH_SHOWMSG_ELEM_CREATE, 2, KS_TR_SW_QEL_ELEM_CREATE, Ends::kFinish, 1},
    {"set_index_first", one_secret, KSH_SHOWMSG_ELEM_SET_INDEX, 1, KS_TR_SW_QEL_SET_INDEX, Ends::kDestroyFinish, 0},
    {"set_index_second", two_secrets, KSH_SHOWMSG_ELEM_SET_INDEX, 2, KS_TR_SW_QEL_SET_INDEX, Ends::kDestroyFinish,
     1},
    {"get_value", one_secret, KSH_SHOWMSG_ELEM_GET_VALUE, 1, KS_TR_SW_QEL_GET_VALUE, Ends::kDestroyFinish, 0},
    {"get_value_after_last", one_secret, KSH_SHOWMSG_ELEM_GET_VALUE, 2, KS_TR_SW_QEL_GET_VALUE,
     Ends::kDestroyFinish, 1},
    {"set_valid_record", one_secret, KSH_SHOWMSG_ELEM_SET_VALID, 1, KS_TR_SW_QEL_SET_VALID, Ends::kDestroyFinish, 0},
    {"set_type_secret", one_secret, KSH_SHOWMSG_ELEM_SET_TYPE, 1, KS_TR_SW_QEL_SET_TYPE_SECRET,
     Ends::kDestroyFinish, 0},
    {"assign_secret", one_secret, KSH_SHOWMSG_VSTRING_ASSIGN, 1, KS_TR_SW_QEL_ASSIGN_SECRET, Ends::kDestroyFinish,
     0},
    {"set_type_pac", one_pac, KSH_SHOWMSG_ELEM_SET_TYPE, 1, KS_TR_SW_QEL_SET_TYPE_PAC, Ends::kDestroyFinish, 0},
    {"assign_pac", one_pac, KSH_SHOWMSG_VSTRING_ASSIGN, 1, KS_TR_SW_QEL_ASSIGN_PAC, Ends::kDestroyFinish, 0},
    {"set_invalid_unknown", one_unknown, KSH_SHOWMSG_ELEM_SET_VALID, 2, KS_TR_SW_QEL_SET_INVALID_TYPE,
     Ends::kDestroyFinish, 0},
    {"assign_unknown", one_unknown, KSH_SHOWMSG_VSTRING_ASSIGN, 1, KS_TR_SW_QEL_ASSIGN_UNKNOWN, Ends::kDestroyFinish,
     0},
    {"set_invalid_error_hw", hw_mode, KSH_SHOWMSG_ELEM_SET_VALID, 1, KS_TR_SW_QEL_SET_INVALID_ERROR,
     Ends::kDestroyFinish, 0},
    {"set_invalid_error_fetch", first_fetch_fails, KSH_SHOWMSG_ELEM_SET_VALID, 1, KS_TR_SW_QEL_SET_INVALID_ERROR,
     Ends::kDestroyFinish, 0},
    {"assign_error", hw_mode, KSH_SHOWMSG_VSTRING_ASSIGN, 1, KS_TR_SW_QEL_ASSIGN_ERROR, Ends::kDestroyFinish, 0},
    {"append_first", two_secrets, KSH_SHOWMSG_LIST_APPEND, 1, KS_TR_SW_QEL_LIST_APPEND, Ends::kDestroyFinish, 0},
    {"append_second", two_secrets, KSH_SHOWMSG_LIST_APPEND, 2, KS_TR_SW_QEL_LIST_APPEND, Ends::kDestroyFinish, 1},
};

class ShowBuilderFailure : public ShowTest, public ::testing::WithParamInterface<BuilderFailure> {};

TEST_P(ShowBuilderFailure, StopsAtTheFailure) {
    const BuilderFailure &f = GetParam();
    constexpr int32_t kWord = 0x77;
    f.setup();
    ksh_showmsg_fail(f.op, f.nth, kWord);

    // Creation reports failure by a null element and leaves the word alone.
    EXPECT_EQ(f.op == KSH_SHOWMSG_ELEM_CREATE ? 0 : kWord, run_struct());

    // The failure's trace carries the error word (creation has none), and is
    // followed only by the counters trace when the walk had begun.
    size_t n = ksh_trace_count();
    size_t tail = f.ends == Ends::kReturn ? 1 : 2;
    ASSERT_GE(n, tail);
    const ksh_trace_record *failure = ksh_trace_at(n - tail);
    EXPECT_EQ(static_cast<uint32_t>(f.trace), failure->index);
    if (f.op != KSH_SHOWMSG_ELEM_CREATE) {
        ASSERT_EQ(1, failure->nargs);
        EXPECT_EQ(kWord, failure->args[0].i);
    }
    if (f.ends != Ends::kReturn) {
        EXPECT_EQ(KS_TR_SW_QEL_COUNTERS_HW, static_cast<int>(ksh_trace_at(n - 1)->index));
    }

    // Nothing is called after the failure except destroying the element in hand.
    size_t calls = ksh_showmsg_call_count();
    ASSERT_GE(calls, 1u);
    const ksh_showmsg_call *last = ksh_showmsg_call_at(calls - 1);
    if (f.ends == Ends::kDestroyFinish) {
        ASSERT_EQ(KSH_SHOWMSG_ELEM_DESTROY, last->op);
        ASSERT_GE(calls, 2u);
        EXPECT_TRUE(ksh_showmsg_call_at(calls - 2)->injected);
        EXPECT_NE(0u, last->elem_id);
    } else {
        EXPECT_TRUE(last->injected);
    }
    EXPECT_EQ(f.appended, ksh_showmsg_elem_count(reply_));

    expect_golden(std::string("fail_") + f.name, struct_transcript(reply_));
}

INSTANTIATE_TEST_SUITE_P(Show, ShowBuilderFailure, ::testing::ValuesIn(kBuilderFailures),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Properties the golden scenarios do not pin down ----------------------------

// The text form shows every A-ID byte; the structured form cuts an A-ID longer
// than 127 bytes to 254 hex characters.
TEST_F(ShowTest, LongAidIsCutInTheMessageButNotInTheText) {
    std::vector<uint8_t> aid(199);
    for (size_t i = 0; i < aid.size(); ++i) aid[i] = static_cast<uint8_t>(i * 7 + 1);
    store(0x02, aid);

    ks_show_command();
    size_t aid_bytes = 0;
    for (size_t i = 0; i < ksh_trace_count(); ++i) {
        const ksh_trace_record *r = ksh_trace_at(i);
        if (r->index == KS_TR_SW_SHOW_AID_BYTE) {
            ASSERT_LT(aid_bytes, aid.size());
            EXPECT_EQ(aid[aid_bytes], r->args[0].i);
            ++aid_bytes;
        }
    }
    EXPECT_EQ(aid.size(), aid_bytes);

    clear_records();
    EXPECT_EQ(0, run_struct());
    ksh_showmsg_elem_view v;
    ASSERT_TRUE(ksh_showmsg_elem_at(reply_, 0, &v));
    ASSERT_EQ(254u, v.value_len);
    char hex[3];
    for (size_t i = 0; i < 127; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", aid[i]);
        ASSERT_EQ(hex[0], v.value[2 * i]) << i;
        ASSERT_EQ(hex[1], v.value[2 * i + 1]) << i;
    }
}

// A walk past 255 records keeps counting: the index is a 16-bit number in both
// forms, and every handle copy is released (the fixture checks the blocks).
TEST_F(ShowTest, IndexesPast255) {
    for (int i = 0; i < 300; ++i) store(0x01, bytes("k" + std::to_string(i)));
    ks_show_command();
    int last_index = -1;
    for (size_t i = 0; i < ksh_trace_count(); ++i)
        if (ksh_trace_at(i)->index == KS_TR_SW_SHOW_INDEX) last_index = ksh_trace_at(i)->args[0].i;
    EXPECT_EQ(299, last_index);

    clear_records();
    EXPECT_EQ(0, run_struct());
    ASSERT_EQ(300u, ksh_showmsg_elem_count(reply_));
    ksh_showmsg_elem_view v;
    ksh_showmsg_elem_at(reply_, 299, &v);
    EXPECT_EQ(299, v.index);
    EXPECT_EQ(0u, ksh_alloc_tag_live_blocks(kHandleCopyTag));
}

// The context words reach every builder call unchanged.
TEST_F(ShowTest, ContextWordsReachEveryBuilderCall) {
    two_secrets();
    run_struct();
    ASSERT_GT(ksh_showmsg_call_count(), 0u);
    for (size_t i = 0; i < ksh_showmsg_call_count(); ++i) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(reply_), ksh_showmsg_call_at(i)->ctx0) << i;
        EXPECT_EQ(0x5eedu, ksh_showmsg_call_at(i)->ctx1) << i;
    }
}

}  // namespace
