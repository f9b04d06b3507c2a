// SPDX-License-Identifier: Apache-2.0
// Fault injection for libcrypto's own allocations (digest contexts and the
// providers' state), so the failure paths of the crypto code can be reached.
// Installed before main; unavailable when libcrypto allocated earlier.
#pragma once

#include <cstdint>

namespace kstest {

bool ossl_faults_available();
// The nth libcrypto allocation from now fails (1 = the next one); 0 turns it
// off.
void ossl_fail_nth(uint64_t n);
// Allocations failed on purpose since the process began.
uint64_t ossl_failed_allocations();

}  // namespace kstest
