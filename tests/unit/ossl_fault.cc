// SPDX-License-Identifier: Apache-2.0
#include "ossl_fault.h"

#include <cstdlib>

#include <openssl/crypto.h>

namespace kstest {
namespace {

uint64_t countdown = 0;
uint64_t failed = 0;

bool fail_now() {
    if (countdown == 0 || --countdown != 0) return false;
    ++failed;
    return true;
}

void *fault_malloc(size_t n, const char *, int) { return fail_now() ? nullptr : std::malloc(n); }
void *fault_realloc(void *p, size_t n, const char *, int) { return fail_now() ? nullptr : std::realloc(p, n); }
void fault_free(void *p, const char *, int) { std::free(p); }

const bool installed = CRYPTO_set_mem_functions(fault_malloc, fault_realloc, fault_free) == 1;

}  // namespace

bool ossl_faults_available() { return installed; }
void ossl_fail_nth(uint64_t n) { countdown = n; }
uint64_t ossl_failed_allocations() { return failed; }

}  // namespace kstest
