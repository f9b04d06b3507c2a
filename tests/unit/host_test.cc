// The host platform's own behaviour, on which the other tests' checks rest:
// the allocator's accounting, fault injection and wipe check, and the queue
// (the show builder's calls, faults, renderings and element ownership are in
// the show goldens, the message facility in the platform test, the seeded
// random stream in the kstool transcripts, the assertion's text in the death
// tests).

#include "ks_test_util.h"

namespace kstest {
namespace {

TEST(HostPlatform, Allocator) {
    constexpr uint32_t kTag = 0x0460FF01;
    const uint64_t blocks = ksh_alloc_live_blocks();
    auto *q =
        static_cast<uint8_t *>(tagged_realloc(kTag + 1, std::memcpy(tagged_calloc(kTag, 1, 8), "abcdefgh", 8), 32));
    EXPECT_TRUE(std::memcmp(q, "abcdefgh\0\0\0\0", 12) == 0) << "the contents move, the new bytes are zero";
    EXPECT_EQ(S(ksh_alloc_tag_live_blocks(kTag), " ", ksh_alloc_tag_live_bytes(kTag + 1)), "0 32");
    ksh_alloc_fail_nth(2);  // that call only; a failed realloc keeps the old block
    void *a = tagged_calloc(kTag, 1, 4), *b = tagged_realloc(kTag, q, 64), *c = tagged_calloc(kTag, 1, 4);
    EXPECT_TRUE(a != nullptr && b == nullptr && c != nullptr && q[0] == 'a');
    ksh_alloc_fail_tag(kTag);
    EXPECT_TRUE(tagged_calloc(kTag, 1, 4) == nullptr && tagged_realloc(kTag, nullptr, 4) == nullptr);
    void *other = tagged_calloc(kTag + 2, 1, 4);
    ksh_alloc_clear_faults();
    ksh_alloc_check_cleansed(1);
    const uint64_t uncleansed = ksh_alloc_uncleansed_frees();
    static_cast<uint8_t *>(c)[3] = 1;
    for (void *block : {a, other, c, static_cast<void *>(q), static_cast<void *>(nullptr)}) tagged_free(block);
    ksh_alloc_check_cleansed(0);
    EXPECT_EQ(S(ksh_alloc_uncleansed_frees() - uncleansed, " ", ksh_alloc_last_uncleansed_tag() == kTag + 1), "2 1");
    EXPECT_EQ(ksh_alloc_live_blocks(), blocks);
}

// Unlinking the head, a middle element or the tail (the queue stays usable
// at its tail), and refusing a wrong predecessor.
TEST(HostPlatform, Queue) {
    struct Element {
        Element *link;
        int value;
    };
    for (auto [remove, pred, left] :
         {std::tuple{0, -1, "124"}, {1, 0, "024"}, {2, 1, "014"}, {2, 0, "0124"}, {1, -1, "0124"}}) {
        ks_queue_header q{};
        Element e[4] = {{nullptr, 0}, {nullptr, 1}, {nullptr, 2}, {nullptr, 4}};
        for (int i = 0; i < 3; ++i) fifo_enqueue(&q, &e[i]);
        void *got = fifo_unlink(&q, &e[remove], pred < 0 ? nullptr : &e[pred]);
        fifo_enqueue(&q, &e[3]);
        std::string values;
        for (void *x; (x = fifo_dequeue(&q)) != nullptr;) values += std::to_string(static_cast<Element *>(x)->value);
        EXPECT_TRUE(values == left && got == (values.size() == 3 ? &e[remove] : nullptr)) << values;
    }
}

}  // namespace
}  // namespace kstest
