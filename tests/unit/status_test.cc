// Status code names: listed values by name (tests/data/status_names.txt), any
// other value in decimal in a 16-byte buffer of the calling thread.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>

#include "keystore/ks_types.h"
#include "ks_vectors.h"

namespace {

TEST(StatusTest, ListedValuesByNameOthersInOneBufferPerThread) {
    int32_t v = 0;
    for (const auto &row : kstest::read_rows("status_names.txt"))
        for (const std::string &name : row) {
            EXPECT_EQ(ks_err_str(v), name == "-" ? std::to_string(v) : name) << v;
            ++v;
        }
    EXPECT_EQ(v, 35);
    EXPECT_EQ(ks_get_errormsg(), nullptr);

    const char *buf = ks_err_str(15);
    for (int32_t x : {20, 35, -1, INT32_MAX, INT32_MIN}) {
        EXPECT_EQ(ks_err_str(x), buf);
        EXPECT_EQ(std::string(buf), std::to_string(x));
    }
    EXPECT_STREQ(ks_err_str(4), "NO_MEMORY");  // a name leaves the buffer alone
    std::string other;
    std::thread([&] { other = ks_err_str(-99); }).join();
    EXPECT_EQ(other, "-99");
    EXPECT_STREQ(buf, "-2147483648");
}

}  // namespace
