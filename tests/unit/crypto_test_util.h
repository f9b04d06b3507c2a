// Helpers of the crypto tests: an output buffer that shows whether it was
// written, and plain digests from the library's private context.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "ks_ossl.h"

namespace kstest {

struct Guarded {
    uint8_t b[24];
    Guarded() { std::memset(b, 0xA5, sizeof b); }
    std::vector<uint8_t> get(size_t n) const { return std::vector<uint8_t>(b, b + n); }
    bool untouched() const { return std::all_of(b, b + sizeof b, [](uint8_t x) { return x == 0xA5; }); }
};

inline std::vector<uint8_t> plain_digest(bool sha1, const std::vector<uint8_t> &in) {
    std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned n = 0;
    EVP_Digest(in.data(), in.size(), out.data(), &n, ks::ossl::md(sha1 ? ks::ossl::Md::kSha1 : ks::ossl::Md::kMd5),
               nullptr);
    out.resize(n);
    return out;
}

inline std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t> &b,
                                const std::vector<uint8_t> &c = {}) {
    a.insert(a.end(), b.begin(), b.end());
    a.insert(a.end(), c.begin(), c.end());
    return a;
}

}  // namespace kstest
