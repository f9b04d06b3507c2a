// Status code names: listed values by name, any other value in decimal in a
// 16-byte buffer of the calling thread.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>

#include "keystore/ks_types.h"

namespace {

TEST(StatusTest, ListedValuesHaveTheirNames) {
    // Written out independently of the list the library is built from.
    const char *names[35] = {"NOT_SUPPORTED", "SUCCESS", "UNKNOWN_FAILURE", "INVAL_ARGS", "NO_MEMORY",
                             "RECORD_NOT_FOUND", "NO_MORE_RECORDS", "KEYSTORE_FULL", "TIMEOUT", "BAD_KEY",
                             "CRYPTO_ERR", "KEY_LEN_NOT_SUPPORTED", "TRANSMISSION_ERR", "COMPACTION_ERR",
                             "BAD_EEPROM_CELL", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "FW_ALERT",
                             "BAD_FRAGMENT_LEN", "BAD_RESPONSE_FORMAT", "BAD_VERSION", "RPC_LIMIT", "RPC_ERR",
                             "ARGS_TOO_BIG", "STDBY_NOT_SUPPORTED", "HA_ERROR", "ISSU_XFORM_ERR", "HA_IPC_ERR",
                             "HA_MSG_ERR", "NO_KEYSTORE", "HA_CHK_FAIL"};
    for (int32_t v = 0; v < 35; ++v) EXPECT_STREQ(ks_err_str(v), names[v] ? names[v] : std::to_string(v).c_str());
    EXPECT_EQ(ks_get_errormsg(), nullptr);
}

TEST(StatusTest, OtherValuesShareOneBufferPerThread) {
    const char *buf = ks_err_str(15);
    for (int32_t v : {20, 35, -1, INT32_MAX, INT32_MIN}) {
        EXPECT_EQ(ks_err_str(v), buf);
        EXPECT_EQ(std::string(buf), std::to_string(v));
    }
    EXPECT_STREQ(ks_err_str(4), "NO_MEMORY");  // a name leaves the buffer alone
    EXPECT_STREQ(buf, "-2147483648");
    std::string other;
    std::thread([&] { other = ks_err_str(-99); }).join();
    EXPECT_EQ(other, "-99");
    EXPECT_STREQ(buf, "-2147483648");
}

}  // namespace
