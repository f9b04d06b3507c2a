// SPDX-License-Identifier: Apache-2.0
// Hostile input at every front operation: the rows of
// tests/data/hostile_input.txt (null pointers, empty and over-long names,
// lengths at and around each limit), each run with the standby flag off and
// on. A refused or invalid call must return its exact status, leave the key
// table, the PAC cache, the live blocks and every output as they were and
// trace nothing; a valid boundary must give its documented status.
#include <gtest/gtest.h>

#include "../model/ks_model.h"
#include "../model/ks_ops.h"
#include "ks_test_util.h"

namespace {

const std::string kRows = std::string(KS_TEST_DATA_DIR) + "/data/hostile_input.txt";

class HostileInputTest : public kstest::KeystoreTest {};

TEST_F(HostileInputTest, EveryFrontOperationRefusesBadInputAndHandlesItsLimits) {
    std::vector<std::vector<std::string>> setup;
    for (const auto &row : ksops::read_rows(kRows)) {
        if (row[0] == "setup") setup.emplace_back(row.begin() + 1, row.end());
        if (row[0] == "setup" || row[0] == "skip") continue;
        const std::string &on_standby = row[0], &effect = row[2];
        for (int standby : {0, 1}) {
            SCOPED_TRACE(testing::PrintToString(row) + (standby ? " on a standby" : ""));
            kstest::reset_keystore();
            for (const auto &s : setup) ASSERT_EQ(ksops::Call(s).run(), KS_SUCCESS) << s[0];
            ksh_reset_recorders();
            ksops::Call call({row.begin() + 3, row.end()});
            const ksmodel::Keystore before = ksmodel::observe();
            const uint64_t blocks = ksmodel::library_blocks();
            ks_is_standby = standby;
            const int64_t st = call.run();
            ks_is_standby = 0;
            call.release();
            const bool refused = standby && on_standby != "-";
            const int64_t want = !refused            ? ksops::status_of(row[1])
                                 : on_standby == "R" ? int64_t{KS_STDBY_NOT_SUPPORTED}
                                                     : ksops::status_of(on_standby);
            EXPECT_EQ(st, want);
            EXPECT_TRUE(call.guards_intact()) << "an output got more bytes than the operation writes";
            EXPECT_TRUE(want == KS_SUCCESS || call.untouched()) << "a failed call wrote an output";
            const bool kept = refused || effect != "*";
            const bool silent = (refused && on_standby == "R") || (want == KS_INVAL_ARGS && effect != "T");
            EXPECT_TRUE(!kept || ksmodel::observe() == before) << "the keystore changed";
            EXPECT_EQ(kept ? ksmodel::library_blocks() : blocks, blocks);
            EXPECT_EQ(silent ? ksh_trace_count() : 0u, 0u) << "a refusal or an argument fault was traced";
            EXPECT_TRUE(refused || effect != "T" || want != KS_INVAL_ARGS || ksh_trace_count() != 0)
                << "the argument fault was not traced";
        }
    }
}

// Every exported name has rows, or is listed as not a front operation, so
// that a new front operation cannot skip the table.
TEST(HostileInputCoverage, EveryFrontOperationHasRows) {
    std::set<std::string> listed;
    for (const auto &row : ksops::read_rows(kRows)) {
        if (row[0] == "skip")
            listed.insert(row.begin() + 1, row.end());
        else
            listed.insert(row[row[0] == "setup" ? 1 : 3]);
    }
    EXPECT_EQ(ksops::uncovered(listed), std::vector<std::string>{}) << "no hostile-input rows";
}

}  // namespace
