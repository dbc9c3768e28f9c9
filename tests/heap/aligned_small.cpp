/*
 * aligned_small.cpp - small aligned requests are small blocks: on the
 * boundary, of a class that is a multiple of the alignment, with the
 * caller's size; freed, reallocated, enumerated and checked like any other;
 * cut behind filler blocks that never overlap a neighbour; and taken again
 * from the free list or the thread's cache at the cost of a plain request.
 */
#include <gtest/gtest.h>

#include <string.h>

#include "heap_internal.h"
#include "vr_test.h"

namespace {

int IsSmall(const void *p) { return p && !(BlockFlagsOf(p) & kBlockAlt); }

void CountBlock(void *, void *n) { ++*(int *)n; }

} // namespace

TEST(AlignedSmall, OrdinaryBlocksOnTheBoundary)
{
    for (long flags : {0L, (long)VR_HEAP_MULTITHREADED}) {
        VR_Heap h(flags);
        const unsigned long alignments[] = {16, 32, 64, 128};
        const unsigned long sizes[] = {0, 1, 24, 64, 200, 500, 1000};
        uint8_t *blocks[4][7];
        // Plain blocks of odd classes in between leave the carve point
        // anywhere, so fillers are needed.
        void *plain[28];
        int n = 0;
        for (int a = 0; a < 4; a++) {
            for (int s = 0; s < 7; s++) {
                uint8_t *p = (uint8_t *)h.AllocAligned(alignments[a], sizes[s]);
                ASSERT_TRUE(IsSmall(p)) << alignments[a] << " " << sizes[s];
                EXPECT_EQ(0u, (uintptr_t)p % alignments[a]);
                EXPECT_EQ(sizes[s], h.GetBlockSize(p));
                EXPECT_EQ(0u, VR_Test::SizeClass(SmallHeaderOf(p)->sizeClass) % alignments[a]);
                memset(p, a * 7 + s + 1, sizes[s]);
                blocks[a][s] = p;
                plain[n++] = h.AllocMem(8 + 24 * s);
            }
        }
        EXPECT_EQ(nullptr, h.Validate());
        int seen = 0;
        h.ForEach(CountBlock, &seen);
        EXPECT_EQ(56, seen);
        for (int a = 0; a < 4; a++)
            for (int s = 0; s < 7; s++)
                EXPECT_TRUE(IsMemoryFilledWith(blocks[a][s], sizes[s], a * 7 + s + 1)) << a << " " << s;

        // realloc keeps the bytes; the grown block need not stay aligned.
        uint8_t *r = (uint8_t *)h.Realloc(blocks[2][4], 900, 0);
        ASSERT_NE(nullptr, r);
        EXPECT_TRUE(IsMemoryFilledWith(r, 200, 2 * 7 + 4 + 1));
        blocks[2][4] = r;
        for (int a = 0; a < 4; a++)
            for (int s = 0; s < 7; s++) h.FreeMem(blocks[a][s]);
        for (int i = 0; i < n; i++) h.FreeMem(plain[i]);
        EXPECT_EQ(nullptr, h.Validate());
        VR_Test::GiveBackWaiting(h);
        EXPECT_EQ(0u, VR_Test::Counters(h).smallBytes);
        EXPECT_EQ(nullptr, h.Validate());
    }
}

TEST(AlignedSmall, FreedBlockServesTheNextRequest)
{
    for (long flags : {0L, (long)VR_HEAP_MULTITHREADED}) {
        VR_Heap h(flags);
        void *p = h.AllocAligned(64, 200);
        ASSERT_TRUE(IsSmall(p));
        h.FreeMem(p);
        // Through the plain path: the free list's head or the thread's bin.
        EXPECT_EQ(p, h.AllocAligned(64, 200));
        EXPECT_EQ(nullptr, h.Validate());
        if (flags) {
            VR_Test::GiveBackWaiting(h);
            EXPECT_EQ(nullptr, h.Validate());
            continue;
        }
        // A block of the class off the boundary (cut behind a 48-byte one)
        // heads the free list: it is passed over and stays there.
        unsigned long cs = VR_Test::SizeClass(SmallHeaderOf(p)->sizeClass);
        h.AllocMem(40);
        void *odd = h.AllocMem(cs - 8);
        ASSERT_NE(0u, (uintptr_t)odd % 64);
        h.FreeMem(odd);
        void *r = h.AllocAligned(64, 200);
        EXPECT_TRUE(IsSmall(r) && (uintptr_t)r % 64 == 0);
        EXPECT_EQ(odd, h.AllocMem(cs - 8));
        EXPECT_EQ(nullptr, h.Validate());
        VR_Test::GiveBackWaiting(h);
        EXPECT_EQ(nullptr, h.Validate());
    }
}

// Through a heap with a lock, whose aligned requests come from the thread's
// bins: every bin is first given a plain block of its class that lies off
// the boundary, newest, so that an aligned request that took the bin's
// head without looking would be caught; the block keeps waiting. What comes out is an ordinary block of a class that is a
// multiple of the alignment, measured, enumerated, reallocated and freed
// like any other, and the bins and lists it goes back to stay sound.
TEST(AlignedSmall, CachedBlocksOnTheBoundary)
{
    VR_Heap h(VR_HEAP_MULTITHREADED);
    VR_Test::BindThreadCache(h);
    const unsigned long alignments[] = {16, 32, 64, 128, kSmallAlignMax};
    const unsigned long sizes[] = {0, 24, 64, 200, 1000};
    void *live[5][5][8];
    int live_count = 0;
    for (int a = 0; a < 5; a++) {
        for (int s = 0; s < 5; s++) {
            const unsigned long al = alignments[a], n = sizes[s];
            void *first = h.AllocAligned(al, n);
            ASSERT_TRUE(IsSmall(first));
            unsigned long cs = VR_Test::SizeClass(SmallHeaderOf(first)->sizeClass);
            // A plain block of the class off the boundary, newest in its bin.
            void *odd = 0, *plain[64];
            int np = 0;
            while (!odd && np < 64) {
                void *q = h.AllocMem(cs - 8);
                if ((uintptr_t)q % al) odd = q;
                else plain[np++] = q;
            }
            h.FreeMem(first);
            if (odd) h.FreeMem(odd);
            for (int i = 0; i < 8; i++) {
                uint8_t *p = (uint8_t *)h.AllocAligned(al, n);
                ASSERT_TRUE(IsSmall(p));
                EXPECT_EQ(0u, (uintptr_t)p % al) << al << " " << n;
                EXPECT_NE((void *)odd, (void *)p);
                EXPECT_EQ(n, h.GetBlockSize(p));
                EXPECT_EQ(cs, VR_Test::SizeClass(SmallHeaderOf(p)->sizeClass));
                EXPECT_EQ(0u, cs % al);
                memset(p, 0x30 + i, n);
                live[a][s][i] = p;
                live_count++;
            }
            // Passed over, still waiting.
            if (odd) EXPECT_EQ(kBlockFree | kBlockCached, BlockFlagsOf(odd));
            for (int i = 0; i < np; i++) h.FreeMem(plain[i]);
        }
    }
    EXPECT_EQ(nullptr, h.Validate());
    int seen = 0;
    h.ForEach(CountBlock, &seen);
    EXPECT_EQ(live_count, seen);
    for (int a = 0; a < 5; a++)
        for (int s = 0; s < 5; s++)
            for (int i = 0; i < 8; i++) {
                uint8_t *p = (uint8_t *)live[a][s][i];
                EXPECT_TRUE(IsMemoryFilledWith(p, sizes[s], 0x30 + i));
                // Shrunk in place, then freed: the block is of its class.
                if (i == 0 && sizes[s]) {
                    EXPECT_EQ(p, h.Realloc(p, sizes[s] / 2, 0));
                    EXPECT_EQ(sizes[s] / 2, h.GetBlockSize(p));
                }
                h.FreeMem(p);
            }
    EXPECT_EQ(nullptr, h.Validate());
    VR_Test::GiveBackWaiting(h);
    EXPECT_EQ(0u, VR_Test::Counters(h).smallBytes);
    EXPECT_EQ(nullptr, h.Validate());
}

TEST(AlignedSmall, LargerAlignmentsAndSizesStayBig)
{
    VR_Heap h;
    void *a = h.AllocAligned(2 * kSmallAlignMax, 100);
    void *b = h.AllocAligned(64, 1017);
    EXPECT_FALSE(IsSmall(a));
    EXPECT_FALSE(IsSmall(b));
    EXPECT_EQ(0u, (uintptr_t)a % (2 * kSmallAlignMax));
    EXPECT_EQ(0u, (uintptr_t)b % 64);
    h.FreeMem(a);
    h.FreeMem(b);
    EXPECT_EQ(nullptr, h.Validate());
}
