// Shared test fixture: every test starts with an empty keystore on the
// software backend, clean recorders and no injected faults, and ends with no
// block leaked by the library.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "keystore_host/host.h"

namespace kstest {

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

std::vector<uint8_t> bytes(const std::string &s);
std::vector<uint8_t> from_hex(const std::string &hex);
std::string to_hex(const uint8_t *p, size_t n);

}  // namespace kstest
