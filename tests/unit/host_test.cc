// The host platform's own behaviour, on which the other tests' checks rest:
// the allocator's accounting, fault injection and wipe check, the queue, and
// the show builder's error words (its calls, faults, renderings and element
// ownership are in the show goldens, the seeded random stream in the kstool
// transcripts, the assertion's text in the death tests).

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

// Calls naming an object the reply does not know, or an element already
// in the list, leave an error word and change nothing; a disarmed fault
// does not fire.
TEST(HostPlatform, ShowBuilderErrorWords) {
    ksh_showmsg_reply *r = ksh_showmsg_reply_new();
    const uintptr_t ctx = reinterpret_cast<uintptr_t>(r);
    int32_t err = -1, dummy = 0;
    void *msg = showmsg_get_message(ctx, 0, r, &err), *e = showmsg_elem_create(ctx, 0),
         *gone = showmsg_elem_create(ctx, 0);
    showmsg_list_append(ctx, 0, msg, e, &err);
    showmsg_elem_destroy(ctx, 0, gone);
    const std::pair<std::function<void()>, int32_t> calls[] = {
        {[&] { showmsg_list_append(ctx, 0, msg, e, &err); }, KSH_SHOWMSG_EAPPENDED},
        {[&] { showmsg_list_append(ctx, 0, msg, gone, &err); }, KSH_SHOWMSG_EBADOBJ},
        {[&] { showmsg_elem_set_index(ctx, 0, gone, 1, &err); }, KSH_SHOWMSG_EBADOBJ},
        {[&] { showmsg_set_is_empty(ctx, 0, &dummy, 1, &err); }, KSH_SHOWMSG_EBADOBJ},
        {[&] { vstring_assign(ctx, 0, &dummy, "x", 1, &err); }, KSH_SHOWMSG_EBADOBJ},
        {[&] { showmsg_get_message(ctx, 0, &dummy, &err); }, KSH_SHOWMSG_EBADOBJ},
        {[&] { ksh_showmsg_fail(KSH_SHOWMSG_SET_USE_SW_KS, 0, 5), showmsg_set_use_sw_ks(ctx, 0, msg, 1, &err); }, 0},
    };
    for (const auto &[call, word] : calls) EXPECT_EQ((err = -1, call(), err), word);
    EXPECT_EQ(S(ksh_showmsg_elem_count(r), ksh_showmsg_unattached_count(r), showmsg_elem_create(0, 0) == nullptr),
              "101");
    ksh_showmsg_reply_free(r);
}

}  // namespace
}  // namespace kstest
