// SPDX-License-Identifier: Apache-2.0
// Fault injection for libcrypto's own allocations (digest contexts and the
// providers' state), so the failure paths of the crypto code can be reached.
// Installed before main; unavailable when libcrypto allocated earlier.
#pragma once

#include <cstdint>
#include <functional>

namespace kstest {

bool ossl_faults_available();
// Runs `call` with its nth libcrypto allocation failing (1 = the first);
// answers whether it got that far (made at least n allocations).
bool ossl_fail_at(uint64_t n, const std::function<void()> &call);

}  // namespace kstest
