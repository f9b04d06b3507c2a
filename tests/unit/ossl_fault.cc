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
bool ossl_fail_at(uint64_t n, const std::function<void()> &call) {
    const uint64_t before = failed;
    countdown = n, call(), countdown = 0;
    return failed != before;
}

}  // namespace kstest
