// SPDX-License-Identifier: Apache-2.0
// Secret hygiene: the rows of tests/data/secret_hygiene.txt put secrets
// carrying a marker through every operation that uses them. The marker
// must never show in a captured trace argument, a rendered or printed
// trace, an error message, the show commands' output, or (as bytes) in the
// integer arguments of the traces taken in order; and every block the
// library releases must have been cleansed first.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "../model/ks_ops.h"
#include "ks_cleanse.h"
#include "ks_owner_tags.h"
#include "ks_test_util.h"

namespace {

// The marker as text, or as hex digits once every other character is dropped
// (which also finds a secret dumped byte by byte).
bool has_marker(const std::string &text) {
    const std::string marker = "Q7marker-SECRET-z";
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += static_cast<char>(std::tolower(c));
    const std::string hex = kstest::to_hex(kstest::bytes(marker).data(), marker.size());
    return text.find(marker) != std::string::npos || digits.find(hex) != std::string::npos;
}

class SecretHygieneTest : public kstest::KeystoreTest {};

TEST_F(SecretHygieneTest, MarkerNeverLeavesAndEveryReleaseIsCleansed) {
    FILE *printed = std::tmpfile();
    ksh_trace_set_print_stream(printed), ksh_message_set_print_stream(printed), ksh_trace_set_print(1);
    ksh_alloc_check_cleansed(1);
    for (const auto &row : ksops::read_rows(std::string(KS_TEST_DATA_DIR) + "/data/secret_hygiene.txt")) {
        SCOPED_TRACE(testing::PrintToString(row));
        ksh_reset_recorders();
        std::rewind(printed);
        const uint64_t uncleansed = ksh_alloc_uncleansed_frees();
        ksops::Call call({row.begin() + (row[0] == "setup"), row.end()});
        call.run();
        // Everything it showed: trace arguments (integers as bytes, in
        // order) and texts, printed traces and messages, show replies.
        std::string out(static_cast<size_t>(std::ftell(printed)), '\0'), bytes, text(1 << 16, '\0');
        std::rewind(printed);
        out.resize(std::fread(out.data(), 1, out.size(), printed));
        for (size_t i = 0; i < ksh_trace_count(); ++i) {
            const ksh_trace_record *r = ksh_trace_at(i);
            for (int a = 0; a < r->nargs; ++a) {
                if (r->args[a].kind == 's') out += std::string("\n") + r->args[a].s;
                if (r->args[a].kind == 'i') bytes += static_cast<char>(r->args[a].i);
            }
            if (ksh_trace_render(r, text.data(), text.size()) >= 0) out += "\n" + std::string(text.c_str());
        }
        for (auto render : {ksh_showmsg_render_table, ksh_showmsg_render_json})
            if (call.reply != nullptr && render(call.reply, text.data(), text.size()) > 0)
                out += "\n" + std::string(text.c_str());
        // Copies handed to the caller are the caller's to clear.
        ksh_alloc_check_cleansed(0), call.release(), ksh_alloc_check_cleansed(1);
        EXPECT_EQ(ksh_alloc_uncleansed_frees(), uncleansed)
            << "a block was released uncleansed, tag 0x" << std::hex << ksh_alloc_last_uncleansed_tag();
        EXPECT_FALSE(has_marker(out + "\n" + bytes)) << out;
    }
    ksh_alloc_check_cleansed(0);
    ksh_trace_set_print(0), ksh_trace_set_print_stream(nullptr), ksh_message_set_print_stream(nullptr);
    std::fclose(printed);
}

// A work buffer is the caller's static buffer while the size fits, all zeros
// again once out of scope; past it, an allocated block cleansed when freed.
TEST(WorkBufferTest, StaticBufferIsZeroAgainAndABlockIsCleansed) {
    uint8_t fixed[8] = {};
    const uint64_t uncleansed = ksh_alloc_uncleansed_frees();
    ksh_alloc_check_cleansed(1);
    for (uint64_t size : {8u, 9u}) {
        {
            const ks::StaticOrHeap buffer(fixed, size, ks::kTagTprfInput);
            ASSERT_NE(buffer.data(), nullptr);
            EXPECT_EQ(buffer.data() == fixed, size == 8);
            std::memset(buffer.data(), 0xA5, buffer.size());
        }
        EXPECT_EQ(std::count(fixed, std::end(fixed), 0), 8);
    }
    ksh_alloc_check_cleansed(0);
    EXPECT_EQ(ksh_alloc_uncleansed_frees(), uncleansed);
}

}  // namespace
