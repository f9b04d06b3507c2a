// The host platform's services the library relies on beyond what its own
// tests exercise: the queue's unlink, the seeded random stream, the
// assertion handler, and the recorders' bounded rings.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "keystore/platform/ks_platform.h"
#include "keystore/platform/ks_platform_records.h"
#include "keystore_host/host.h"
#include "keystore_host/showmsg.h"

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

// Each recorder, driven by record number k and read back as the k it kept.
struct Recorder {
    const char *name;
    void (*make)(int k);
    size_t (*count)();
    int (*at)(size_t i);
    uint64_t (*dropped)();
    void (*clear)();
};

ks_message_definition g_defs[8] = {};

const Recorder kRecorders[] = {
    {"traces", [](int k) { trace_emit(nullptr, static_cast<uint32_t>(k), 0, 0); }, ksh_trace_count,
     [](size_t i) { return static_cast<int>(ksh_trace_at(i)->index); }, ksh_trace_dropped, ksh_trace_clear},
    {"messages", [](int k) { sys_message_emit(&g_defs[k]); }, ksh_message_count,
     [](size_t i) { return static_cast<int>(static_cast<const ks_message_definition *>(ksh_message_at(i)) - g_defs); },
     ksh_message_dropped, ksh_message_clear},
    {"builder calls", [](int k) { showmsg_elem_create(0, static_cast<uintptr_t>(k)); }, ksh_showmsg_call_count,
     [](size_t i) { return static_cast<int>(ksh_showmsg_call_at(i)->ctx1); }, ksh_showmsg_calls_dropped,
     ksh_showmsg_reset},
    {"pac events", [](int k) { const uint8_t aid = static_cast<uint8_t>(k); notify_pac_added(&aid, 1); },
     ksh_pac_event_count, [](size_t i) { return static_cast<int>(ksh_pac_event_at(i)->aid[0]); },
     ksh_pac_events_dropped, ksh_pac_events_clear},
};

// A full ring drops its oldest records and counts them; a smaller capacity
// drops down to it; capacity 0 keeps nothing more; a clear forgets the count.
TEST(HostRecording, RingsKeepTheNewestUpToTheirCapacity) {
    ksh_message_set_print(0);
    for (const Recorder &r : kRecorders) {
        SCOPED_TRACE(r.name);
        ksh_set_recording(3);
        r.clear();
        for (int k = 0; k < 5; ++k) r.make(k);
        std::vector<int> kept;
        for (size_t i = 0; i < r.count(); ++i) kept.push_back(r.at(i));
        EXPECT_EQ(kept, (std::vector<int>{2, 3, 4}));
        EXPECT_EQ(r.dropped(), 2u);
        ksh_set_recording(1);
        EXPECT_EQ(r.count() == 1 ? r.at(0) : -1, 4);
        EXPECT_EQ(r.dropped(), 4u);
        ksh_set_recording(0);
        r.make(5);
        EXPECT_EQ(r.count(), 0u);
        r.clear();
        EXPECT_EQ(r.dropped(), 0u);
    }
    ksh_message_clear();
    ksh_message_set_print(1);
}

// With recording off, printing, the hook and the PAC handlers still see
// everything.
TEST(HostRecording, OffKeepsNothingButOutputStillRuns) {
    ksh_set_recording(0);
    FILE *printed = std::tmpfile();
    ASSERT_NE(printed, nullptr);
    ksh_trace_set_print_stream(printed);
    ksh_trace_set_print(1);
    int hooked = 0, notified = 0;
    ksh_trace_set_hook([](void *n, const ksh_trace_record *) { ++*static_cast<int *>(n); }, &hooked);
    ksh_set_pac_handlers([](void *n, const uint8_t *, uint32_t) { ++*static_cast<int *>(n); }, nullptr, &notified);
    trace_emit(nullptr, 7, 0, 0);
    const uint8_t aid = 1;
    notify_pac_added(&aid, 1);
    ksh_trace_set_print(0);
    ksh_trace_set_print_stream(nullptr);
    ksh_trace_set_hook(nullptr, nullptr);
    ksh_set_pac_handlers(nullptr, nullptr, nullptr);
    EXPECT_GT(std::ftell(printed), 0);
    std::fclose(printed);
    EXPECT_EQ(hooked + notified, 2);
    EXPECT_EQ(ksh_trace_count() + ksh_pac_event_count(), 0u);
}

}  // namespace
