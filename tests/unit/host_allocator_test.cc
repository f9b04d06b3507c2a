// The host platform's allocator, on which the leak, fault and wipe checks of
// every other test rest: accounting, fault injection, wipe on free.
#include <gtest/gtest.h>

#include <cstring>

#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"

namespace {

constexpr uint32_t kTag = 0x0460FF01;

TEST(HostAllocator, AccountsPerTagAndKeepsContentsOnRealloc) {
    uint64_t blocks = ksh_alloc_live_blocks();
    auto *p = static_cast<uint8_t *>(tagged_calloc(kTag, 1, 8));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(ksh_alloc_tag_live_bytes(kTag), 8u);
    std::memcpy(p, "abcdefgh", 8);
    auto *q = static_cast<uint8_t *>(tagged_realloc(kTag + 1, p, 32));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(std::memcmp(q, "abcdefgh\0\0\0\0", 12), 0);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kTag), 0u);
    EXPECT_EQ(ksh_alloc_tag_live_bytes(kTag + 1), 32u);
    EXPECT_EQ(ksh_alloc_live_blocks(), blocks + 1);
    ksh_alloc_fail_nth(1);  // a failed realloc keeps the old block
    EXPECT_EQ(tagged_realloc(kTag, q, 64), nullptr);
    EXPECT_EQ(q[0], 'a');
    tagged_free(q);
    tagged_free(nullptr);
    EXPECT_EQ(ksh_alloc_live_blocks(), blocks);
}

TEST(HostAllocator, FailsTheNthCallOrEveryCallOfATag) {
    ksh_alloc_fail_nth(2);
    void *a = tagged_calloc(kTag, 1, 4), *b = tagged_calloc(kTag, 1, 4), *c = tagged_calloc(kTag, 1, 4);
    EXPECT_TRUE(a != nullptr && b == nullptr && c != nullptr);  // only that one call fails
    ksh_alloc_fail_tag(kTag);
    EXPECT_EQ(tagged_calloc(kTag, 1, 4), nullptr);
    EXPECT_EQ(tagged_realloc(kTag, nullptr, 4), nullptr);
    void *other = tagged_calloc(kTag + 2, 1, 4);
    EXPECT_NE(other, nullptr);
    ksh_alloc_clear_faults();
    void *again = tagged_calloc(kTag, 1, 4);
    EXPECT_NE(again, nullptr);
    for (void *p : {a, c, other, again}) tagged_free(p);
}

TEST(HostAllocator, CountsBlocksReleasedWithoutCleansing) {
    ksh_alloc_check_cleansed(1);
    uint64_t before = ksh_alloc_uncleansed_frees();
    auto *clean = static_cast<uint8_t *>(tagged_calloc(kTag, 1, 16));
    auto *dirty = static_cast<uint8_t *>(tagged_calloc(kTag + 3, 1, 16));
    dirty[5] = 1;
    tagged_free(clean);
    EXPECT_EQ(ksh_alloc_uncleansed_frees(), before);
    tagged_free(dirty);
    EXPECT_EQ(ksh_alloc_uncleansed_frees(), before + 1);
    EXPECT_EQ(ksh_alloc_last_uncleansed_tag(), kTag + 3);
    ksh_alloc_check_cleansed(0);
}

}  // namespace
