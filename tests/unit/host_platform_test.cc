// The host platform's services other than the allocator: queues, randomness,
// HA role, hardware identity, PAC notifications and assertions.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "keystore/platform/ks_platform.h"
#include "keystore/platform/ks_platform_records.h"
#include "keystore_host/host.h"

namespace {

struct Element {
    Element *link;
    int value;
};

std::vector<int> queue_values(const ks_queue_header &q) {
    std::vector<int> out;
    for (auto *e = static_cast<Element *>(q.head); e != nullptr; e = e->link) out.push_back(e->value);
    return out;
}

TEST(HostQueue, ZeroFilledHeaderIsEmptyAndKeepsFifoOrder) {
    ks_queue_header q{};
    EXPECT_EQ(fifo_dequeue(&q), nullptr);
    Element a{nullptr, 1}, b{nullptr, 2}, c{nullptr, 3};
    fifo_enqueue(&q, &a);
    fifo_enqueue(&q, &b);
    fifo_enqueue(&q, &c);
    EXPECT_EQ(queue_values(q), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(fifo_dequeue(&q), &a);
    EXPECT_EQ(fifo_dequeue(&q), &b);
    fifo_enqueue(&q, &a);
    EXPECT_EQ(queue_values(q), (std::vector<int>{3, 1}));
}

TEST(HostQueue, UnlinkHeadMiddleAndTail) {
    struct Case {
        int remove;  // index of the element to unlink
        std::vector<int> left;
    };
    for (const Case &c : {Case{0, {2, 3}}, Case{1, {1, 3}}, Case{2, {1, 2}}}) {
        ks_queue_header q{};
        Element e[3] = {{nullptr, 1}, {nullptr, 2}, {nullptr, 3}};
        for (auto &x : e) fifo_enqueue(&q, &x);
        void *pred = c.remove == 0 ? nullptr : &e[c.remove - 1];
        EXPECT_EQ(fifo_unlink(&q, &e[c.remove], pred), &e[c.remove]);
        EXPECT_EQ(queue_values(q), c.left) << "removing index " << c.remove;
        // The queue stays usable at its tail after an unlink.
        Element d{nullptr, 4};
        fifo_enqueue(&q, &d);
        EXPECT_EQ(queue_values(q).back(), 4);
    }
}

TEST(HostQueue, UnlinkWithWrongPredecessorChangesNothing) {
    ks_queue_header q{};
    Element a{nullptr, 1}, b{nullptr, 2}, c{nullptr, 3};
    fifo_enqueue(&q, &a);
    fifo_enqueue(&q, &b);
    fifo_enqueue(&q, &c);
    EXPECT_EQ(fifo_unlink(&q, &c, &a), nullptr);
    EXPECT_EQ(fifo_unlink(&q, &b, nullptr), nullptr);
    EXPECT_EQ(queue_values(q), (std::vector<int>{1, 2, 3}));
}

TEST(HostRandom, SeededStreamRepeatsAndKernelStreamVaries) {
    uint8_t a[40], b[40];
    ksh_random_set_seed(42);
    platform_random_fill(a, sizeof a);
    ksh_random_set_seed(42);
    platform_random_fill(b, sizeof b);
    EXPECT_EQ(std::memcmp(a, b, sizeof a), 0);
    ksh_random_set_seed(43);
    platform_random_fill(b, sizeof b);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    ksh_random_set_seed(0);
    platform_random_fill(a, sizeof a);
    platform_random_fill(b, sizeof b);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
}

TEST(HostIdentity, ModelsSubtypeAndHaRoleAreSettable) {
    ksh_set_hw_models(1u << 4);
    ksh_hw_query_log_clear();
    EXPECT_EQ(hw_model_query(3), 0);
    EXPECT_EQ(hw_model_query(4), 1);
    uint32_t log[4] = {};
    EXPECT_EQ(ksh_hw_query_log(log, 4), 2u);
    EXPECT_EQ(log[0], 3u);
    EXPECT_EQ(log[1], 4u);
    ksh_set_board_subtype(50);
    EXPECT_EQ(hw_board_subtype(), 50);
    ksh_set_ha_active(0);
    EXPECT_EQ(ha_core_is_active(), 0);
    ksh_set_ha_active(1);
    EXPECT_EQ(ha_core_is_active(), 1);
    ksh_set_hw_models(0);
    ksh_set_board_subtype(0);
}

struct Seen {
    int added = 0, deleted = 0;
};

void on_added(void *ctx, const uint8_t *, uint32_t) { ++static_cast<Seen *>(ctx)->added; }
void on_deleted(void *ctx, const uint8_t *, uint32_t) { ++static_cast<Seen *>(ctx)->deleted; }

TEST(HostPacNotifications, RecordedAndPassedToTheHostsHandlers) {
    Seen seen;
    ksh_pac_events_clear();
    ksh_set_pac_handlers(on_added, on_deleted, &seen);
    const uint8_t aid[] = {0x0A, 0xFF};
    notify_pac_added(aid, sizeof aid);
    notify_pac_deleted(aid, 1);
    ksh_set_pac_handlers(nullptr, nullptr, nullptr);
    EXPECT_EQ(seen.added, 1);
    EXPECT_EQ(seen.deleted, 1);
    ASSERT_EQ(ksh_pac_event_count(), 2u);
    EXPECT_EQ(ksh_pac_event_at(0)->added, 1);
    EXPECT_EQ(ksh_pac_event_at(0)->aid_len, 2u);
    EXPECT_EQ(ksh_pac_event_at(0)->aid[1], 0xFF);
    EXPECT_EQ(ksh_pac_event_at(1)->added, 0);
    EXPECT_EQ(ksh_pac_event_at(1)->aid_len, 1u);
    ksh_pac_events_clear();
}

TEST(HostAssertDeathTest, PrintsExpressionPathAndLineThenAborts) {
    EXPECT_DEATH(platform_assert("p != ((void*)0)", "keystore/src/ks_sw_keystore", 12),
                 "assertion failed: p != \\(\\(void\\*\\)0\\) at keystore/src/ks_sw_keystore:12");
}

}  // namespace
