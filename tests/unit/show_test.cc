// SPDX-License-Identifier: Apache-2.0
// The show commands against golden transcripts under tests/show: the text
// listing (its traces) and the structured message (traces, builder calls,
// the message as a table and as JSON, elements left unattached), over the
// scenarios of tests/data/show_scenarios.txt, builder failures included.

#include "ks_trace_tables.h"
#include "ks_vectors.h"

namespace kstest {
namespace {

void setup(const std::string &items) {
    std::stringstream in(items);
    for (std::string item; std::getline(in, item, ',');) {
        if (item == "sw-off" || item == "hw-absent")
            (item == "sw-off" ? ks_use_sw_ks : ks::seams.hw_present) = 0;
        else if (item == "fail-fetch" || item == "fail-2nd")
            item == "fail-2nd" ? ksh_alloc_fail_nth(2) : ksh_alloc_fail_tag(ks::kTagHandleCopy);
        else if (item != "-" && item != "turns") {
            const Bytes h = cat({uint8_t(std::stoul(item, nullptr, 16))}, value(item.substr(item.find(':') + 1)));
            ASSERT_EQ(ks_sw_store_sym_key(h.data(), n32(h), nullptr, 0, bytes("ZZZZ").data(), 4, nullptr, 0),
                      KS_SUCCESS);
        }
    }
}

std::string render(int (*fn)(const ksh_showmsg_reply *, char *, size_t), const ksh_showmsg_reply *r) {
    std::string s(size_t(fn(r, nullptr, 0)) + 1, '\0');
    s.resize(size_t(fn(r, s.data(), s.size())));
    return s;
}

std::string structured(ksh_showmsg_reply *r) {
    int32_t err = -1;
    qel_ks_show_command(reinterpret_cast<uintptr_t>(r), 0x5eed, r, &err);
    std::string s = "# error word " + std::to_string(err) + "\n# traces\n" + drain() + "# builder calls\n";
    for (size_t i = 0; i < ksh_showmsg_call_count(); ++i) {
        const ksh_showmsg_call *c = ksh_showmsg_call_at(i);
        EXPECT_TRUE(c->ctx0 == reinterpret_cast<uintptr_t>(r) && c->ctx1 == 0x5eed)
            << "the context words pass unchanged";
        s += S(ksh_showmsg_op_name(c->op), c->elem_id ? " #" + std::to_string(c->elem_id) : "",
               c->has_arg ? S(" ", c->arg) : "", c->has_err ? S(" -> ", c->err) : "", c->injected ? " (injected)" : "",
               "\n");
    }
    s += "# message\n" + render(ksh_showmsg_render_table, r) + render(ksh_showmsg_render_json, r) + "\n# unattached\n";
    for (size_t i = 0; i < ksh_showmsg_unattached_count(r); ++i) {
        ksh_showmsg_elem_view v;
        ksh_showmsg_unattached_at(r, i, &v);
        auto f = [](int set, int32_t value) { return set ? std::to_string(value) : std::string("-"); };
        std::string value =
            v.value_set ? "\"" + std::string(reinterpret_cast<const char *>(v.value), v.value_len) + "\"" : "-";
        for (size_t at; (at = value.find('\n')) != std::string::npos;) value.replace(at, 1, "\\n");
        s += S("#", v.id, " index=", f(v.index_set, v.index), " type=", f(v.type_set, v.type),
               " valid=", f(v.valid_set, v.valid), " value=", value, "\n");
    }
    return s;
}

class ShowTest : public KeystoreTest {};

TEST_F(ShowTest, GoldenScenarios) {
    for (const DataRow &row : read_rows("show_scenarios.txt")) {
        SCOPED_TRACE(row[0]);
        reset_keystore();
        setup(row[2]);
        const bool turns = row[2].find("turns") != std::string::npos;
        if (row[1] == "text") {
            if (turns)
                ksh_trace_set_hook(
                    [](void *, const ksh_trace_record *t) {
                        if (t->index == KS_TR_SW_SHOW_INDEX && t->args[0].i == 0) ks_use_sw_ks = 0;
                    },
                    nullptr);
            ks_show_command();
            expect_golden("show/" + row[0] + ".exp", drain());
            continue;
        }
        int op = 0;
        while (row.size() > 3 && op < KSH_SHOWMSG_OP_COUNT && row[3] != ksh_showmsg_op_name(ksh_showmsg_op(op))) ++op;
        if (row.size() > 3) ksh_showmsg_fail(ksh_showmsg_op(op), uint32_t(std::stoul(row[4])), 0x77);
        if (turns)
            ksh_showmsg_set_hook(
                [](void *, ksh_showmsg_op op, uint32_t n) {
                    if (op == KSH_SHOWMSG_VSTRING_ASSIGN && n == 1) ks_use_sw_ks = 0;
                },
                nullptr);
        ksh_showmsg_reply *reply = ksh_showmsg_reply_new();
        expect_golden("show/" + row[0] + ".exp", structured(reply));
        ksh_showmsg_reply_free(reply), ksh_showmsg_set_hook(nullptr, nullptr);
        EXPECT_EQ(ksh_showmsg_live_elements(), 0u);
    }
}

}  // namespace
}  // namespace kstest
