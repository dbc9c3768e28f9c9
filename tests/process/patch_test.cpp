/*
 * patch_test.cpp - the arithmetic of the patch: which pages an entry's
 * jump (or _msize's six saved bytes) touches, and the jump's displacement.
 */
#include <gtest/gtest.h>

#include "process_internal.h"

TEST(PatchSpan, PagesTouchedByTheJump)
{
    const uint32_t p = 4096;
    uintptr_t first = 0;
    /* The five jump bytes: 1..4 bytes before a page's end reach the next
       page, 5 or more stay on one. */
    for (uint32_t before = 1; before <= 4; before++) {
        EXPECT_EQ(PatchSpan(0x10000 + p - before, p, kJumpLength, &first), 2 * p) << before;
        EXPECT_EQ(first, 0x10000u);
    }
    for (uint32_t before : {5u, 6u, 100u, p}) {
        EXPECT_EQ(PatchSpan(0x10000 + p - before, p, kJumpLength, &first), p) << before;
        EXPECT_EQ(first, 0x10000u);
    }
    /* _msize's six bytes: the bound moves by one. */
    EXPECT_EQ(PatchSpan(0x10000 + p - 5, p, kMsizeSavedLength, &first), 2 * p);
    EXPECT_EQ(PatchSpan(0x10000 + p - 6, p, kMsizeSavedLength, &first), p);
    /* Another page size, and the very top of the address space. */
    EXPECT_EQ(PatchSpan(0x20000 + 8190, 8192, kJumpLength, &first), 2 * 8192u);
    EXPECT_EQ(first, 0x20000u);
    EXPECT_EQ(PatchSpan(0xFFFFF000u, p, kJumpLength, &first), p);
    EXPECT_EQ(first, 0xFFFFF000u);
}

TEST(PatchSpan, JumpDisplacementWrapsBothWays)
{
    EXPECT_EQ(JumpDisplacement((void *)0x1000, (void *)0x2000), 0x1000u - 5);
    EXPECT_EQ((int32_t)JumpDisplacement((void *)0x2000, (void *)0x1000), -0x1000 - 5);
    /* rel32 wraps modulo 2^32 on a 32-bit processor: any target is
       reachable from any entry. */
    EXPECT_EQ(0x10u + 5 + JumpDisplacement((void *)0x10, (void *)0xFFFFFF00u), 0xFFFFFF00u);
    EXPECT_EQ(0xFFFFFF00u + 5 + JumpDisplacement((void *)0xFFFFFF00u, (void *)0x10), 0x10u);
}
