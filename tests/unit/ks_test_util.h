// SPDX-License-Identifier: Apache-2.0
// Shared test fixture (and, included here once, the headers the tests use):
// every test starts with an empty keystore on the
// software backend, clean recorders and no injected faults, and ends with no
// block leaked by the library. Also the golden transcripts: what a scenario
// did, written as text and compared with a file under tests/.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "../model/ks_model.h"
#include "keystore/keystore.h"
#include "keystore/platform/ks_platform.h"
#include "keystore/platform/ks_platform_records.h"
#include "keystore_host/host.h"
#include "keystore_host/showmsg.h"
#include "ks_owner_tags.h"
#include "ks_seams.h"

namespace kstest {

using ksmodel::Bytes;
using ksmodel::cat;

// Empties the key table and the PAC cache and resets the mode flags to what
// start-up leaves (software keystore, not standby).
void reset_keystore();

class KeystoreTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Live blocks at the start of the test, after the reset.
    uint64_t baseline_blocks_ = 0;
};

inline Bytes bytes(const std::string &s) { return {s.begin(), s.end()}; }
using ksmodel::n32;
std::string to_hex(const uint8_t *p, size_t n);
inline std::string to_hex(const Bytes &b) { return to_hex(b.data(), b.size()); }
// Its arguments written one after the other, as a stream writes them.
template <typename... T>
std::string S(const T &...parts) {
    std::ostringstream out;
    (out << ... << parts);
    return out.str();
}

// Everything the host recorded since the last call, one line each, and
// clears those recorders: traces (table.index, module entry, level, the
// rendered text, or the arguments when one is an address), error messages
// and PAC notifications.
std::string drain();
// "label: STATUS_NAME" (or the label alone) on a line, then drain().
std::string step(const std::string &label, int32_t status);
std::string step(const std::string &label);
// The key table (type:name, names shown as text when printable, else hex)
// and the PAC cache (A-IDs in queue order, with the derived records each
// holds), two lines.
std::string state();
// Compares actual with the file tests/<path> byte for byte; with
// KS_UPDATE_GOLDEN=1 in the environment, rewrites the file instead (review
// the diff after a deliberate change).
void expect_golden(const std::string &path, const std::string &actual);

}  // namespace kstest
