// The host show builder on its own: element ownership, the error words it
// sets, fault injection and hooks, and rendering.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

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
        EXPECT_NE(nullptr, e);
        showmsg_elem_set_index(ctx_, 0, e, index, &err_);
        EXPECT_EQ(0, err_);
        showmsg_elem_set_type(ctx_, 0, e, type, &err_);
        EXPECT_EQ(0, err_);
        showmsg_elem_set_valid(ctx_, 0, e, valid, &err_);
        EXPECT_EQ(0, err_);
        void *v = showmsg_elem_get_value(ctx_, 0, e, &err_);
        vstring_assign(ctx_, 0, v, value.data(), static_cast<uint32_t>(value.size()), &err_);
        EXPECT_EQ(0, err_);
        showmsg_list_append(ctx_, 0, msg_, e, &err_);
        EXPECT_EQ(0, err_);
        return e;
    }

    static std::string table(const ksh_showmsg_reply *r) {
        char buf[1024];
        int n = ksh_showmsg_render_table(r, buf, sizeof buf);
        EXPECT_LT(n, static_cast<int>(sizeof buf));
        return buf;
    }
    static std::string json(const ksh_showmsg_reply *r) {
        char buf[1024];
        int n = ksh_showmsg_render_json(r, buf, sizeof buf);
        EXPECT_LT(n, static_cast<int>(sizeof buf));
        return buf;
    }

    uint64_t base_live_ = 0;
    ksh_showmsg_reply *r_ = nullptr;
    uintptr_t ctx_ = 0;
    void *msg_ = nullptr;
    int32_t err_ = -1;
};

TEST_F(ShowBuilder, AppendedElementsBelongToTheMessageOthersToTheReply) {
    void *a = add(0, 0, 1, "a");
    void *kept = showmsg_elem_create(ctx_, 0);
    void *gone = showmsg_elem_create(ctx_, 0);
    ASSERT_NE(nullptr, kept);
    ASSERT_NE(nullptr, gone);
    EXPECT_EQ(base_live_ + 3, ksh_showmsg_live_elements());
    EXPECT_EQ(1u, ksh_showmsg_elem_count(r_));
    EXPECT_EQ(2u, ksh_showmsg_unattached_count(r_));

    showmsg_elem_destroy(ctx_, 0, gone);
    EXPECT_EQ(1u, ksh_showmsg_unattached_count(r_));
    ksh_showmsg_elem_view v;
    ASSERT_TRUE(ksh_showmsg_unattached_at(r_, 0, &v));
    EXPECT_EQ(2u, v.id);  // creation numbers: a is 1, kept 2, gone 3

    // Destroying an appended element takes it out of the list.
    showmsg_elem_destroy(ctx_, 0, a);
    EXPECT_EQ(0u, ksh_showmsg_elem_count(r_));
    EXPECT_EQ(base_live_ + 1, ksh_showmsg_live_elements());

    // A second reply's elements are released with that reply only.
    ksh_showmsg_reply *other = ksh_showmsg_reply_new();
    ASSERT_NE(nullptr, showmsg_elem_create(reinterpret_cast<uintptr_t>(other), 0));
    EXPECT_EQ(base_live_ + 2, ksh_showmsg_live_elements());
    ksh_showmsg_reply_free(other);
    EXPECT_EQ(base_live_ + 1, ksh_showmsg_live_elements());
    // The fixture checks that freeing r_ releases the kept element.
}

TEST_F(ShowBuilder, UnknownObjectsAreErrorsNotCrashes) {
    void *e = showmsg_elem_create(ctx_, 0);
    showmsg_list_append(ctx_, 0, msg_, e, &err_);
    ASSERT_EQ(0, err_);

    struct Case {
        const char *what;
        std::function<void()> call;
        int32_t want;
    };
    int dummy = 0;
    void *destroyed = showmsg_elem_create(ctx_, 0);
    showmsg_elem_destroy(ctx_, 0, destroyed);
    const Case cases[] = {
        {"append twice", [&] { showmsg_list_append(ctx_, 0, msg_, e, &err_); }, KSH_SHOWMSG_EAPPENDED},
        {"append destroyed", [&] { showmsg_list_append(ctx_, 0, msg_, destroyed, &err_); }, KSH_SHOWMSG_EBADOBJ},
        {"set index destroyed", [&] { showmsg_elem_set_index(ctx_, 0, destroyed, 1, &err_); }, KSH_SHOWMSG_EBADOBJ},
        {"foreign message", [&] { showmsg_set_is_empty(ctx_, 0, &dummy, 1, &err_); }, KSH_SHOWMSG_EBADOBJ},
        {"foreign value field", [&] { vstring_assign(ctx_, 0, &dummy, "x", 1, &err_); }, KSH_SHOWMSG_EBADOBJ},
        {"foreign reply", [&] { showmsg_get_message(ctx_, 0, &dummy, &err_); }, KSH_SHOWMSG_EBADOBJ},
        {"valid call after errors", [&] { showmsg_set_is_empty(ctx_, 0, msg_, 1, &err_); }, 0},
    };
    for (const Case &c : cases) {
        err_ = -1;
        c.call();
        EXPECT_EQ(c.want, err_) << c.what;
    }
    EXPECT_EQ(nullptr, showmsg_elem_create(0, 0)) << "no reply named by ctx0";
    EXPECT_EQ(1u, ksh_showmsg_elem_count(r_));
    showmsg_elem_destroy(ctx_, 0, destroyed);  // ignored
}

TEST_F(ShowBuilder, FaultsHitTheChosenCallWithTheChosenWordAndChangeNothing) {
    void *e = showmsg_elem_create(ctx_, 0);
    ksh_showmsg_fail(KSH_SHOWMSG_ELEM_SET_INDEX, 2, 0x1234);
    showmsg_elem_set_index(ctx_, 0, e, 5, &err_);
    EXPECT_EQ(0, err_);
    showmsg_elem_set_index(ctx_, 0, e, 6, &err_);
    EXPECT_EQ(0x1234, err_);
    showmsg_elem_set_index(ctx_, 0, e, 7, &err_);
    EXPECT_EQ(0, err_) << "a fault hits once";

    ksh_showmsg_fail(KSH_SHOWMSG_VSTRING_ASSIGN, 1, -9);
    void *v = showmsg_elem_get_value(ctx_, 0, e, &err_);
    vstring_assign(ctx_, 0, v, "abc", 3, &err_);
    EXPECT_EQ(-9, err_);

    ksh_showmsg_fail(KSH_SHOWMSG_LIST_APPEND, 1, 3);
    showmsg_list_append(ctx_, 0, msg_, e, &err_);
    EXPECT_EQ(3, err_);
    EXPECT_EQ(0u, ksh_showmsg_elem_count(r_));

    ksh_showmsg_elem_view view;
    ASSERT_TRUE(ksh_showmsg_unattached_at(r_, 0, &view));
    EXPECT_EQ(7, view.index);
    EXPECT_FALSE(view.value_set);

    ksh_showmsg_fail(KSH_SHOWMSG_ELEM_CREATE, 1, 1);
    EXPECT_EQ(nullptr, showmsg_elem_create(ctx_, 0));
    ksh_showmsg_fail(KSH_SHOWMSG_GET_MESSAGE, 1, 44);
    EXPECT_EQ(nullptr, showmsg_get_message(ctx_, 0, r_, &err_));
    EXPECT_EQ(44, err_);

    // Disarmed faults do not fire.
    ksh_showmsg_fail(KSH_SHOWMSG_SET_USE_SW_KS, 1, 5);
    ksh_showmsg_fail(KSH_SHOWMSG_SET_USE_SW_KS, 0, 5);
    showmsg_set_use_sw_ks(ctx_, 0, msg_, 1, &err_);
    EXPECT_EQ(0, err_);

    size_t injected = 0;
    for (size_t i = 0; i < ksh_showmsg_call_count(); ++i) injected += ksh_showmsg_call_at(i)->injected;
    EXPECT_EQ(5u, injected);
}

struct HookLog {
    std::vector<std::pair<ksh_showmsg_op, uint32_t>> seen;
};

void record_hook(void *ctx, ksh_showmsg_op op, uint32_t call_no) {
    static_cast<HookLog *>(ctx)->seen.emplace_back(op, call_no);
}

TEST_F(ShowBuilder, HookSeesEveryCallBeforeItsFault) {
    HookLog log;
    ksh_showmsg_set_hook(record_hook, &log);
    ksh_showmsg_fail(KSH_SHOWMSG_ELEM_CREATE, 2, 1);
    void *e = showmsg_elem_create(ctx_, 0);
    EXPECT_EQ(nullptr, showmsg_elem_create(ctx_, 0));
    showmsg_elem_destroy(ctx_, 0, e);
    using P = std::pair<ksh_showmsg_op, uint32_t>;
    std::vector<P> want = {P{KSH_SHOWMSG_ELEM_CREATE, 1}, P{KSH_SHOWMSG_ELEM_CREATE, 2},
                           P{KSH_SHOWMSG_ELEM_DESTROY, 1}};
    EXPECT_EQ(want, log.seen);
    ksh_showmsg_set_hook(nullptr, nullptr);
}

TEST_F(ShowBuilder, TableIsAlignedAndShowsUnsetFields) {
    showmsg_set_use_sw_ks(ctx_, 0, msg_, 1, &err_);
    showmsg_set_is_hw_ks(ctx_, 0, msg_, 0, &err_);
    add(0, 0, 1, "a");
    add(12345, 1, 1, "0AFF");
    void *bare = showmsg_elem_create(ctx_, 0);
    showmsg_elem_set_valid(ctx_, 0, bare, 0, &err_);
    showmsg_list_append(ctx_, 0, msg_, bare, &err_);
    add(2, 7, 0, std::string("x\n\x01", 3));
    EXPECT_EQ(
        "ks_use_sw_ks  1\n"
        "ks_is_hw_ks   0\n"
        "ks_is_empty   -\n"
        "index  ks_type  ks_is_valid  ks_val\n"
        "-----  -------  -----------  ---------\n"
        "0      0        1            a\n"
        "12345  1        1            0AFF\n"
        "-      -        0            -\n"
        "2      7        0            x\\x0A\\x01\n",
        table(r_));
}

TEST_F(ShowBuilder, JsonEscapesAndNulls) {
    showmsg_set_is_empty(ctx_, 0, msg_, 1, &err_);
    add(3, 0, 1, std::string("q\"b\\\n\xff", 6));
    void *bare = showmsg_elem_create(ctx_, 0);
    showmsg_list_append(ctx_, 0, msg_, bare, &err_);
    EXPECT_EQ(
        "{\"ks_use_sw_ks\":null,\"ks_is_hw_ks\":null,\"ks_is_empty\":1,\"keystore_elem_list\":["
        "{\"index\":3,\"ks_type\":0,\"ks_is_valid\":1,\"ks_val\":\"q\\\"b\\\\\\n\\u00FF\"},"
        "{\"index\":null,\"ks_type\":null,\"ks_is_valid\":null,\"ks_val\":null}]}",
        json(r_));
}

TEST_F(ShowBuilder, RenderingCutsLikeSnprintf) {
    add(0, 0, 1, "abcdef");
    std::string full = json(r_);
    char small[8];
    std::memset(small, 'z', sizeof small);
    EXPECT_EQ(static_cast<int>(full.size()), ksh_showmsg_render_json(r_, small, sizeof small));
    EXPECT_EQ(full.substr(0, 7), std::string(small));
    EXPECT_EQ(static_cast<int>(table(r_).size()), ksh_showmsg_render_table(r_, nullptr, 0));
}

TEST_F(ShowBuilder, AssignCopiesTheBytes) {
    void *e = showmsg_elem_create(ctx_, 0);
    void *v = showmsg_elem_get_value(ctx_, 0, e, &err_);
    char src[] = "name";
    vstring_assign(ctx_, 0, v, src, 4, &err_);
    std::memset(src, 0, sizeof src);
    ksh_showmsg_elem_view view;
    ASSERT_TRUE(ksh_showmsg_unattached_at(r_, 0, &view));
    ASSERT_TRUE(view.value_set);
    EXPECT_EQ("name", std::string(reinterpret_cast<const char *>(view.value), view.value_len));
    vstring_assign(ctx_, 0, v, nullptr, 0, &err_);  // an empty value is still a value
    ASSERT_TRUE(ksh_showmsg_unattached_at(r_, 0, &view));
    EXPECT_TRUE(view.value_set);
    EXPECT_EQ(0u, view.value_len);
}

}  // namespace
