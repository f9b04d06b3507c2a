// The host show builder on its own: element ownership, the error words it
// sets, fault injection, and one rendering each as a table and as JSON.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "keystore/platform/ks_platform.h"
#include "keystore_host/showmsg.h"

namespace {

class ShowBuilder : public ::testing::Test {
  protected:
    void SetUp() override {
        ksh_showmsg_reset();
        base_live_ = ksh_showmsg_live_elements();
        r_ = ksh_showmsg_reply_new();
        ctx_ = reinterpret_cast<uintptr_t>(r_);
        msg_ = showmsg_get_message(ctx_, 0, r_, &err_);
        ASSERT_EQ(0, err_);
    }
    void TearDown() override {
        ksh_showmsg_reply_free(r_);
        EXPECT_EQ(base_live_, ksh_showmsg_live_elements());
        ksh_showmsg_reset();
    }

    // A complete element: index, validity, type and value, then appended.
    void *add(uint16_t index, int32_t type, int32_t valid, const std::string &value) {
        void *e = showmsg_elem_create(ctx_, 0);
        showmsg_elem_set_index(ctx_, 0, e, index, &err_);
        showmsg_elem_set_type(ctx_, 0, e, type, &err_);
        showmsg_elem_set_valid(ctx_, 0, e, valid, &err_);
        void *v = showmsg_elem_get_value(ctx_, 0, e, &err_);
        vstring_assign(ctx_, 0, v, value.data(), static_cast<uint32_t>(value.size()), &err_);
        showmsg_list_append(ctx_, 0, msg_, e, &err_);
        EXPECT_EQ(0, err_);
        return e;
    }

    uint64_t base_live_ = 0;
    ksh_showmsg_reply *r_ = nullptr;
    uintptr_t ctx_ = 0;
    void *msg_ = nullptr;
    int32_t err_ = -1;
};

TEST_F(ShowBuilder, AppendedElementsBelongToTheMessageOthersToTheReply) {
    void *a = add(0, 0, 1, "a");
    ASSERT_NE(nullptr, showmsg_elem_create(ctx_, 0));
    void *gone = showmsg_elem_create(ctx_, 0);
    EXPECT_EQ(base_live_ + 3, ksh_showmsg_live_elements());
    EXPECT_EQ(2u, ksh_showmsg_unattached_count(r_));
    showmsg_elem_destroy(ctx_, 0, gone);
    EXPECT_EQ(1u, ksh_showmsg_unattached_count(r_));
    // Destroying an appended element takes it out of the list.
    showmsg_elem_destroy(ctx_, 0, a);
    EXPECT_EQ(0u, ksh_showmsg_elem_count(r_));
    // A second reply's elements are released with that reply only; the
    // fixture checks that freeing r_ releases the unattached one.
    ksh_showmsg_reply *other = ksh_showmsg_reply_new();
    ASSERT_NE(nullptr, showmsg_elem_create(reinterpret_cast<uintptr_t>(other), 0));
    ksh_showmsg_reply_free(other);
    EXPECT_EQ(base_live_ + 1, ksh_showmsg_live_elements());
}

TEST_F(ShowBuilder, UnknownObjectsAreErrorsNotCrashes) {
    void *e = showmsg_elem_create(ctx_, 0);
    showmsg_list_append(ctx_, 0, msg_, e, &err_);
    int dummy = 0;
    void *destroyed = showmsg_elem_create(ctx_, 0);
    showmsg_elem_destroy(ctx_, 0, destroyed);
    const std::pair<std::function<void()>, int32_t> cases[] = {
        {[&] { showmsg_list_append(ctx_, 0, msg_, e, &err_); }, KSH_SHOWMSG_EAPPENDED},
        {[&] { showmsg_list_append(ctx_, 0, msg_, destroyed, &err_); }, KSH_SHOWMSG_EBADOBJ},
        {[&] { showmsg_elem_set_index(ctx_, 0, destroyed, 1, &err_); }, KSH_SHOWMSG_EBADOBJ},
        {[&] { showmsg_set_is_empty(ctx_, 0, &dummy, 1, &err_); }, KSH_SHOWMSG_EBADOBJ},
        {[&] { vstring_assign(ctx_, 0, &dummy, "x", 1, &err_); }, KSH_SHOWMSG_EBADOBJ},
        {[&] { showmsg_get_message(ctx_, 0, &dummy, &err_); }, KSH_SHOWMSG_EBADOBJ},
        {[&] { showmsg_set_is_empty(ctx_, 0, msg_, 1, &err_); }, 0},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        err_ = -1;
        cases[i].first();
        EXPECT_EQ(cases[i].second, err_) << "case " << i;
    }
    EXPECT_EQ(nullptr, showmsg_elem_create(0, 0)) << "no reply named by ctx0";
}

TEST_F(ShowBuilder, FaultsHitTheChosenCallWithTheChosenWordAndChangeNothing) {
    void *e = showmsg_elem_create(ctx_, 0);
    ksh_showmsg_fail(KSH_SHOWMSG_ELEM_SET_INDEX, 2, 0x1234);
    for (int32_t want : {0, 0x1234, 0}) {
        showmsg_elem_set_index(ctx_, 0, e, 7, &err_);
        EXPECT_EQ(want, err_) << "a fault hits the chosen call, once";
    }
    ksh_showmsg_fail(KSH_SHOWMSG_LIST_APPEND, 1, 3);
    showmsg_list_append(ctx_, 0, msg_, e, &err_);
    EXPECT_EQ(3, err_);
    EXPECT_EQ(0u, ksh_showmsg_elem_count(r_));
    ksh_showmsg_fail(KSH_SHOWMSG_ELEM_CREATE, 1, 1);
    EXPECT_EQ(nullptr, showmsg_elem_create(ctx_, 0));
    ksh_showmsg_fail(KSH_SHOWMSG_GET_MESSAGE, 1, 44);
    EXPECT_EQ(nullptr, showmsg_get_message(ctx_, 0, r_, &err_));
    EXPECT_EQ(44, err_);
    // A disarmed fault does not fire.
    ksh_showmsg_fail(KSH_SHOWMSG_SET_USE_SW_KS, 1, 5);
    ksh_showmsg_fail(KSH_SHOWMSG_SET_USE_SW_KS, 0, 5);
    showmsg_set_use_sw_ks(ctx_, 0, msg_, 1, &err_);
    EXPECT_EQ(0, err_);
}

TEST_F(ShowBuilder, RendersAsAlignedTableAndAsJson) {
    showmsg_set_use_sw_ks(ctx_, 0, msg_, 1, &err_);
    add(12345, 1, 1, "0AFF");
    add(3, 0, 1, std::string("q\"\n", 3));
    showmsg_list_append(ctx_, 0, msg_, showmsg_elem_create(ctx_, 0), &err_);
    char buf[1024];
    ASSERT_LT(ksh_showmsg_render_table(r_, buf, sizeof buf), 1024);
    EXPECT_EQ(std::string("ks_use_sw_ks  1\n"
                          "ks_is_hw_ks   -\n"
                          "ks_is_empty   -\n"
                          "index  ks_type  ks_is_valid  ks_val\n"
                          "-----  -------  -----------  ------\n"
                          "12345  1        1            0AFF\n"
                          "3      0        1            q\"\\x0A\n"
                          "-      -        -            -\n"),
              buf);
    ASSERT_LT(ksh_showmsg_render_json(r_, buf, sizeof buf), 1024);
    EXPECT_EQ(std::string("{\"ks_use_sw_ks\":1,\"ks_is_hw_ks\":null,\"ks_is_empty\":null,\"keystore_elem_list\":["
                          "{\"index\":12345,\"ks_type\":1,\"ks_is_valid\":1,\"ks_val\":\"0AFF\"},"
                          "{\"index\":3,\"ks_type\":0,\"ks_is_valid\":1,\"ks_val\":\"q\\\"\\n\"},"
                          "{\"index\":null,\"ks_type\":null,\"ks_is_valid\":null,\"ks_val\":null}]}"),
              buf);
}

}  // namespace
