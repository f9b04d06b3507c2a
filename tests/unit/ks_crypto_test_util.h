// Helpers of the cryptographic service tests: byte patterns, storing secrets
// by name, a reference of the swapped AES chaining step, and failing every
// allocation of an operation in turn.
#pragma once

#include <gtest/gtest.h>
#include <openssl/aes.h>

#include <cstdint>
#include <string>
#include <vector>

#include "keystore/ks_sw_keystore.h"
#include "keystore/ks_types.h"
#include "keystore_host/host.h"

namespace kstest {

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed * 3 + 11 * i);
    return b;
}

inline std::vector<uint8_t> secret_handle(const std::string &name) {
    std::vector<uint8_t> h{KS_KEY_TYPE_SECRET};
    h.insert(h.end(), name.begin(), name.end());
    return h;
}

// Stores value under key type 1 and the name.
inline void store_secret(const std::string &name, const std::vector<uint8_t> &value) {
    std::vector<uint8_t> h = secret_handle(name);
    ASSERT_EQ(ks_sw_store_sym_key(h.data(), static_cast<uint32_t>(h.size()), nullptr, 0, value.data(),
                                  static_cast<uint32_t>(value.size()), nullptr, 0),
              KS_SUCCESS);
}

// Address of a stored secret's value bytes in its key-table entry.
inline const uint8_t *stored_value(const std::string &name) {
    std::vector<uint8_t> h = secret_handle(name);
    int32_t i = ks_sym_key_find(h.data(), static_cast<uint32_t>(h.size()));
    return i < 0 ? nullptr : ks_sym_keys[i]->data + ks_sym_keys[i]->value_off;
}

// One chained step written out plainly: swap(AES(swap(block XOR chain))),
// where swap reverses each 4-byte group.
inline std::vector<uint8_t> swapped_aes_step(const std::vector<uint8_t> &key, const uint8_t *block,
                                             const uint8_t *chain) {
    AES_KEY k;
    AES_set_encrypt_key(key.data(), static_cast<int>(key.size() * 8), &k);
    uint8_t t[16], e[16];
    std::vector<uint8_t> out(16);
    for (int i = 0; i < 16; ++i) t[(i & ~3) + 3 - (i & 3)] = block[i] ^ chain[i];
    AES_encrypt(t, e, &k);
    for (int i = 0; i < 16; ++i) out[i] = e[(i & ~3) + 3 - (i & 3)];
    return out;
}

// Runs op with its 1st, 2nd, ... allocation failing until a run completes
// without an injected failure. Every failed run must answer KS_NO_MEMORY
// (op itself checks that it wrote nothing). Returns the number of
// allocations the operation makes.
template <typename Op>
int fail_each_allocation(Op op) {
    for (int n = 1; n < 64; ++n) {
        uint64_t failed_before = ksh_alloc_failed_calls();
        ksh_alloc_fail_nth(static_cast<uint64_t>(n));
        int32_t status = op();
        ksh_alloc_clear_faults();
        if (ksh_alloc_failed_calls() == failed_before) {
            EXPECT_EQ(status, KS_SUCCESS) << "run without a failure";
            return n - 1;
        }
        EXPECT_EQ(status, KS_NO_MEMORY) << "allocation " << n << " failed";
    }
    ADD_FAILURE() << "operation never completed";
    return -1;
}

}  // namespace kstest
