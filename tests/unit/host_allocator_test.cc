// The host platform's allocator: accounting, fault injection, wipe on free.
#include <gtest/gtest.h>

#include <cstring>

#include "keystore/platform/ks_platform.h"
#include "keystore_host/host.h"

namespace {

constexpr uint32_t kTag = 0x0460FF01;

TEST(HostAllocator, AccountsPerTagAndReleases) {
    uint64_t blocks = ksh_alloc_live_blocks(), bytes = ksh_alloc_live_bytes();
    void *a = tagged_calloc(kTag, 1, 10);
    void *b = tagged_calloc(kTag, 1, 6);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kTag), 2u);
    EXPECT_EQ(ksh_alloc_tag_live_bytes(kTag), 16u);
    EXPECT_EQ(ksh_alloc_live_blocks(), blocks + 2);
    EXPECT_EQ(ksh_alloc_live_bytes(), bytes + 16);
    tagged_free(a);
    tagged_free(b);
    tagged_free(nullptr);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kTag), 0u);
    EXPECT_EQ(ksh_alloc_live_blocks(), blocks);
}

TEST(HostAllocator, BlocksAreZeroFilledAndReallocKeepsContents) {
    auto *p = static_cast<uint8_t *>(tagged_calloc(kTag, 1, 8));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(p[i], 0);
    std::memcpy(p, "abcdefgh", 8);
    auto *q = static_cast<uint8_t *>(tagged_realloc(kTag + 1, p, 32));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(std::memcmp(q, "abcdefgh", 8), 0);
    for (int i = 8; i < 32; ++i) EXPECT_EQ(q[i], 0);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kTag), 0u);
    EXPECT_EQ(ksh_alloc_tag_live_bytes(kTag + 1), 32u);
    tagged_free(q);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kTag + 1), 0u);
}

TEST(HostAllocator, FailsTheNthCallFromNow) {
    ksh_alloc_fail_nth(2);
    void *a = tagged_calloc(kTag, 1, 4);
    void *b = tagged_calloc(kTag, 1, 4);
    void *c = tagged_calloc(kTag, 1, 4);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);  // only that one call fails
    tagged_free(a);
    tagged_free(c);
}

TEST(HostAllocator, FailsEveryCallOfATagUntilCleared) {
    ksh_alloc_fail_tag(kTag);
    EXPECT_EQ(tagged_calloc(kTag, 1, 4), nullptr);
    EXPECT_EQ(tagged_realloc(kTag, nullptr, 4), nullptr);
    void *other = tagged_calloc(kTag + 2, 1, 4);
    EXPECT_NE(other, nullptr);
    ksh_alloc_clear_faults();
    void *again = tagged_calloc(kTag, 1, 4);
    EXPECT_NE(again, nullptr);
    tagged_free(other);
    tagged_free(again);
}

TEST(HostAllocator, FailedReallocKeepsTheOldBlock) {
    auto *p = static_cast<uint8_t *>(tagged_calloc(kTag, 1, 4));
    ASSERT_NE(p, nullptr);
    p[0] = 7;
    ksh_alloc_fail_nth(1);
    EXPECT_EQ(tagged_realloc(kTag, p, 64), nullptr);
    EXPECT_EQ(p[0], 7);
    EXPECT_EQ(ksh_alloc_tag_live_blocks(kTag), 1u);
    tagged_free(p);
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
