// Status code names: every listed value by its name, every other value in
// decimal in a 16-byte buffer of the calling thread.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>

#include "keystore/ks_types.h"

namespace {

TEST(StatusTest, ListedValuesHaveTheirNames) {
    // Written out independently of the list the library is built from.
    const struct {
        int32_t value;
        const char *name;
    } names[] = {
        {0, "NOT_SUPPORTED"},     {1, "SUCCESS"},
        {2, "UNKNOWN_FAILURE"},   {3, "INVAL_ARGS"},
        {4, "NO_MEMORY"},         {5, "RECORD_NOT_FOUND"},
        {6, "NO_MORE_RECORDS"},   {7, "KEYSTORE_FULL"},
        {8, "TIMEOUT"},           {9, "BAD_KEY"},
        {10, "CRYPTO_ERR"},       {11, "KEY_LEN_NOT_SUPPORTED"},
        {12, "TRANSMISSION_ERR"}, {13, "COMPACTION_ERR"},
        {14, "BAD_EEPROM_CELL"},  {21, "FW_ALERT"},
        {22, "BAD_FRAGMENT_LEN"}, {23, "BAD_RESPONSE_FORMAT"},
        {24, "BAD_VERSION"},      {25, "RPC_LIMIT"},
        {26, "RPC_ERR"},          {27, "ARGS_TOO_BIG"},
        {28, "STDBY_NOT_SUPPORTED"}, {29, "HA_ERROR"},
        {30, "ISSU_XFORM_ERR"},   {31, "HA_IPC_ERR"},
        {32, "HA_MSG_ERR"},       {33, "NO_KEYSTORE"},
        {34, "HA_CHK_FAIL"},
    };
    for (const auto &n : names) EXPECT_STREQ(ks_err_str(n.value), n.name) << n.value;
    // The named constants carry the same values.
    EXPECT_EQ(KS_SUCCESS, 1);
    EXPECT_EQ(KS_NOT_SUPPORTED, 0);
    EXPECT_EQ(KS_NO_KEYSTORE, 33);
    EXPECT_EQ(KS_HA_CHK_FAIL, 34);
}

TEST(StatusTest, OtherValuesArePrintedInDecimalInOneBuffer) {
    const struct {
        int32_t value;
        const char *text;
    } cases[] = {
        {15, "15"}, {20, "20"}, {35, "35"}, {-1, "-1"}, {INT32_MAX, "2147483647"}, {INT32_MIN, "-2147483648"},
    };
    const char *first = ks_err_str(17);
    EXPECT_STREQ(first, "17");
    for (const auto &c : cases) {
        const char *text = ks_err_str(c.value);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(text, first) << "the same buffer every time";
        EXPECT_LT(std::strlen(text), 16u);
    }
    // A listed name does not disturb the buffer.
    ks_err_str(-7);
    EXPECT_STREQ(ks_err_str(4), "NO_MEMORY");
    EXPECT_STREQ(first, "-7");
}

TEST(StatusTest, EachThreadHasItsOwnBuffer) {
    const char *mine = ks_err_str(99);
    std::string other_text;
    const char *other = nullptr;
    std::thread t([&] {
        other = ks_err_str(-99);
        other_text = other;
    });
    t.join();
    EXPECT_NE(other, mine);
    EXPECT_EQ(other_text, "-99");
    EXPECT_STREQ(mine, "99");
}

TEST(StatusTest, ErrorMessageIsAlwaysNull) {
    EXPECT_EQ(ks_get_errormsg(), nullptr);
    ks_err_str(15);
    EXPECT_EQ(ks_get_errormsg(), nullptr);
}

}  // namespace
