// Secret hygiene: the rows of tests/data/secret_hygiene.txt put secrets
// carrying a marker through every operation that uses them. The marker
// must never show in a captured trace argument, a rendered or printed
// trace, an error message, the show commands' output, or (as bytes) in the
// integer arguments of the traces taken in order; and every block the
// library releases must have been cleansed first.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>

#include "../model/ks_ops.h"
#include "ks_test_util.h"

namespace {

const std::string kMarker = "Q7marker-SECRET-z";

// The marker as text, or as hex digits once every other character is dropped
// (which also finds a secret dumped byte by byte).
bool has_marker(const std::string &text) {
    std::string digits, hex;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += static_cast<char>(std::tolower(c));
    for (unsigned char c : kMarker) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
    return text.find(kMarker) != std::string::npos || digits.find(hex) != std::string::npos;
}

std::string slurp(FILE *f) {
    std::string s(static_cast<size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    s.resize(std::fread(s.data(), 1, s.size(), f));
    std::rewind(f);
    return s;
}

// Everything the last call showed: trace arguments and texts, the integer
// arguments as bytes, printed traces and messages.
std::string shown(FILE *printed) {
    std::string all, int_bytes;
    char text[4096];
    for (size_t i = 0; i < ksh_trace_count(); ++i) {
        const ksh_trace_record *r = ksh_trace_at(i);
        for (int a = 0; a < r->nargs; ++a) {
            if (r->args[a].kind == 's') all += std::string(r->args[a].s) + "\n";
            if (r->args[a].kind == 'i') int_bytes += static_cast<char>(r->args[a].i & 0xFF);
        }
        if (ksh_trace_render(r, text, sizeof text) >= 0) all += std::string(text) + "\n";
    }
    return all + "\n" + int_bytes + "\n" + slurp(printed);
}

class SecretHygieneTest : public kstest::KeystoreTest {};

TEST_F(SecretHygieneTest, MarkerNeverLeavesAndEveryReleaseIsCleansed) {
    EXPECT_TRUE(has_marker("x " + kMarker) && has_marker("51 37 6D 61 72 6B 65 72 2D 53 45 43 52 45 54 2D 7A"));
    FILE *printed = std::tmpfile();
    ksh_trace_set_print_stream(printed);
    ksh_trace_set_print(1);
    ksh_message_set_print_stream(printed);
    ksh_alloc_check_cleansed(1);
    for (const auto &row : ksops::read_rows(std::string(KS_TEST_DATA_DIR) + "/data/secret_hygiene.txt")) {
        SCOPED_TRACE(testing::PrintToString(row));
        ksh_reset_recorders();
        const uint64_t uncleansed = ksh_alloc_uncleansed_frees();
        ksops::Call call({row.begin() + (row[0] == "setup"), row.end()});
        call.run();
        std::string out = shown(printed);
        if (call.reply != nullptr) {
            std::string text(1 << 16, '\0');
            for (auto render : {ksh_showmsg_render_table, ksh_showmsg_render_json})
                out += text.substr(0, static_cast<size_t>(std::max(0, render(call.reply, text.data(), text.size()))));
        }
        // Copies handed to the caller are the caller's to clear.
        ksh_alloc_check_cleansed(0);
        call.release();
        ksh_alloc_check_cleansed(1);
        EXPECT_EQ(ksh_alloc_uncleansed_frees(), uncleansed)
            << "a block was released uncleansed, tag 0x" << std::hex << ksh_alloc_last_uncleansed_tag();
        EXPECT_FALSE(has_marker(out)) << out;
    }
    ksh_alloc_check_cleansed(0);
    ksh_trace_set_print(0);
    ksh_trace_set_print_stream(nullptr);
    ksh_message_set_print_stream(nullptr);
    std::fclose(printed);
}

}  // namespace
