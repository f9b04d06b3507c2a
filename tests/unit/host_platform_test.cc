// The host platform's services the library relies on beyond what its own
// tests exercise: the queue's unlink, the seeded random stream and the
// assertion handler.
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

// Unlinking the head, a middle element or the tail (the queue stays usable
// at its tail), and refusing a wrong predecessor.
TEST(HostQueue, FifoOrderAndUnlink) {
    const struct {
        int remove, pred;  // indexes; -1: no predecessor
        std::vector<int> left;
    } cases[] = {{0, -1, {1, 2, 4}}, {1, 0, {0, 2, 4}}, {2, 1, {0, 1, 4}}, {2, 0, {0, 1, 2, 4}}, {1, -1, {0, 1, 2, 4}}};
    for (const auto &c : cases) {
        ks_queue_header q{};
        Element e[4] = {{nullptr, 0}, {nullptr, 1}, {nullptr, 2}, {nullptr, 4}};
        for (int i = 0; i < 3; ++i) fifo_enqueue(&q, &e[i]);
        void *got = fifo_unlink(&q, &e[c.remove], c.pred < 0 ? nullptr : &e[c.pred]);
        EXPECT_EQ(got, c.left.size() == 3 ? &e[c.remove] : nullptr) << c.remove;
        fifo_enqueue(&q, &e[3]);
        EXPECT_EQ(queue_values(q), c.left) << c.remove;
    }
    ks_queue_header q{};
    EXPECT_EQ(fifo_dequeue(&q), nullptr);
}

TEST(HostRandom, SeededStreamRepeatsAndKernelStreamVaries) {
    uint8_t a[40], b[40];
    ksh_random_set_seed(42);
    platform_random_fill(a, sizeof a);
    ksh_random_set_seed(42);
    platform_random_fill(b, sizeof b);
    EXPECT_EQ(std::memcmp(a, b, sizeof a), 0);
    ksh_random_set_seed(0);
    platform_random_fill(b, sizeof b);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
}

TEST(HostAssertDeathTest, PrintsExpressionPathAndLineThenAborts) {
    EXPECT_DEATH(platform_assert("p != ((void*)0)", "keystore/src/ks_sw_keystore", 12),
                 "assertion failed: p != \\(\\(void\\*\\)0\\) at keystore/src/ks_sw_keystore:12");
}

}  // namespace
