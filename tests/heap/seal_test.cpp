/*
 * seal_test.cpp - the address-bound seal in front of every live block:
 * frees and reallocations of interior, stale, forged and copied pointers
 * are turned away without touching any block, moved big blocks carry a
 * seal of their new address, and the checker notices a broken seal.
 */
#include <gtest/gtest.h>

#include <string.h>

#include "layout.h"
#include "pages.h"
#include "vr_test.h"

namespace {

#define EXPECT_VALID(h) EXPECT_EQ(nullptr, (h).Validate())

void Fill(void *p, uint32_t n, uint8_t v) { memset(p, v, n); }

/* Whether all n bytes at p still hold v. */
bool Holds(const void *p, uint32_t n, uint8_t v)
{
    for (uint32_t i = 0; i < n; i++)
        if (((const uint8_t *)p)[i] != v) return false;
    return true;
}

TEST(Seal, SmallInteriorPointersAreIgnored)
{
    VR_Heap h(0);
    uint8_t *before = (uint8_t *)h.AllocMem(200);
    uint8_t *s = (uint8_t *)h.AllocMem(200);
    uint8_t *after = (uint8_t *)h.AllocMem(200);
    ASSERT_TRUE(before && s && after);
    Fill(before, 200, 0xA1);
    Fill(after, 200, 0xA3);
    /* Bytes that look like a live small header in front of s + 104: flag
       byte 0 and a plausible class. */
    memset(s, 0, 200);
    s[102] = 3;
    const uint32_t offsets[] = {1, 4, 8, 16, 96, 104, 192};
    for (uint32_t off : offsets) {
        VR_Heap::FreeMem(s + off);
        EXPECT_EQ(nullptr, h.Realloc(s + off, 50, 0)) << off;
        EXPECT_VALID(h);
    }
    EXPECT_EQ(200u, h.GetBlockSize(s));
    EXPECT_TRUE(Holds(before, 200, 0xA1) && Holds(after, 200, 0xA3));
    /* Nothing was put on a free list: new blocks land outside s. */
    for (int i = 0; i < 8; i++) {
        uint8_t *n = (uint8_t *)h.AllocMem(8);
        ASSERT_TRUE(n);
        EXPECT_TRUE(n + 8 <= s - 8 || n - 8 >= s + 200);
    }

    /* Pointers into the page set's own header, where no block can lie. */
    uint8_t *base = (uint8_t *)PageSetOf(s);
    VR_Heap::FreeMem(base + 8);
    VR_Heap::FreeMem(base + 16);
    VR_Heap::FreeMem(base + 32);
    EXPECT_VALID(h);
    VR_Heap::FreeMem(s);
    EXPECT_VALID(h);
}

TEST(Seal, BigAndDirectInteriorPointersAreIgnored)
{
    VR_Heap h(0);
    uint8_t *big = (uint8_t *)h.AllocMem(20000);
    uint8_t *next = (uint8_t *)h.AllocMem(3000);
    uint8_t *direct = (uint8_t *)h.AllocWithReserve(0, 9000, 0);
    ASSERT_TRUE(big && next && direct);
    /* Flag bytes with bit 0 set all through: every interior pointer looks
       like a big block to the flag test alone. */
    Fill(big, 20000, 0x11);
    Fill(next, 3000, 0x13);
    Fill(direct, 9000, 0x21);
    const uint32_t offsets[] = {8, 24, 32, 33, 40, 4096, 8000};
    for (uint32_t off : offsets) {
        VR_Heap::FreeMem(big + off);
        VR_Heap::FreeMem(direct + off);
        EXPECT_EQ(nullptr, h.Realloc(big + off, 100, 0)) << off;
        EXPECT_EQ(nullptr, h.Realloc(direct + off, 100, 0)) << off;
        EXPECT_VALID(h);
    }
    EXPECT_EQ(20000u, h.GetBlockSize(big));
    EXPECT_EQ(9000u, h.GetBlockSize(direct));
    EXPECT_TRUE(Holds(big, 20000, 0x11) && Holds(next, 3000, 0x13) && Holds(direct, 9000, 0x21));

    /* Into the headers of the big page set and of the direct reservation. */
    VR_Heap::FreeMem((uint8_t *)VR_Test::BigPageSets(h) + 16);
    VR_Heap::FreeMem((uint8_t *)PageSetOf(direct) + 24);
    EXPECT_VALID(h);

    VR_Heap::FreeMem(big);
    VR_Heap::FreeMem(direct);
    VR_Heap::FreeMem(next);
    EXPECT_VALID(h);
    EXPECT_EQ(nullptr, VR_Test::BigBlocks(h));
}

TEST(Seal, BigBlockAtTheStartOfALaterUnitIsFreed)
{
    /* The first chunk's data starts at base + 72 (80 where blocks are
       16-aligned); a first block shrunk to 65416 bytes (65392) keeps a
       chunk of 65464 (65456) and gives the rest back as a free chunk, so
       the second block's pointer lies at base + 65536 and its seal in the
       unit before. */
    const uint32_t firstChunk = 65536 - (kBigPageSetHeader + kChunkHeader + kAltHeaderSize);
    const uint32_t firstSize = firstChunk - AlignUp(kChunkOverhead) - kAltHeaderSize;
    VR_Heap h(0);
    uint8_t *first = (uint8_t *)h.AllocMem(100000);
    ASSERT_TRUE(first);
    ASSERT_EQ(first, h.Realloc(first, firstSize, 0));
    ASSERT_EQ(firstChunk, *(uint32_t *)((uint8_t *)VR_Test::BigPageSets(h) + kBigPageSetHeader));
    uint8_t *second = (uint8_t *)h.AllocMem(5000);
    ASSERT_TRUE(second);
    ASSERT_EQ(0u, (uintptr_t)second & 0xFFFF);
    ASSERT_EQ((uint8_t *)VR_Test::BigPageSets(h) + 65536, second);
    Fill(second, 5000, 0x11);
    VR_Heap::FreeMem(second + 8);
    VR_Heap::FreeMem(second + 16);
    EXPECT_VALID(h);
    EXPECT_EQ(nullptr, h.Realloc(second + 32, 10, 0));
    uint8_t *grown = (uint8_t *)h.Realloc(second, 6000, 0);
    ASSERT_EQ(second, grown);
    VR_Heap::FreeMem(second);
    EXPECT_VALID(h);
    EXPECT_EQ(1u, VR_Test::BigPageSets(h)->usedCount);
    VR_Heap::FreeMem(first);
    EXPECT_VALID(h);
}

TEST(Seal, FreeBlocksCarryNoSeal)
{
    VR_Heap h(0);
    uint8_t *s = (uint8_t *)h.AllocMem(200);
    uint8_t *keep = (uint8_t *)h.AllocMem(200);
    uint8_t *big = (uint8_t *)h.AllocMem(5000);
    uint8_t *bigKeep = (uint8_t *)h.AllocMem(5000);
    ASSERT_TRUE(s && keep && big && bigKeep);
    Fill(keep, 200, 0x5A);
    Fill(bigKeep, 5000, 0x5B);
    VR_Heap::FreeMem(s);
    VR_Heap::FreeMem(big);
    /* A free small block's seal word holds the check word of its link,
       never a seal. */
    EXPECT_NE(SealOf(s), SealWordOf(s));
    EXPECT_EQ(0u, SealWordOf(s) & 1);
    EXPECT_EQ(0u, SealWordOf(big));
    /* Interior of a free block, then the free blocks themselves again. */
    VR_Heap::FreeMem(s + 16);
    VR_Heap::FreeMem(s + 64);
    VR_Heap::FreeMem(big + 1024);
    VR_Heap::FreeMem(s);
    VR_Heap::FreeMem(big);
    EXPECT_EQ(nullptr, h.Realloc(s, 100, 0));
    EXPECT_EQ(nullptr, h.Realloc(big, 9000, 0));
    EXPECT_VALID(h);
    EXPECT_TRUE(Holds(keep, 200, 0x5A) && Holds(bigKeep, 5000, 0x5B));
    /* A block of the same class comes back from the free list, sealed. */
    uint8_t *again = (uint8_t *)h.AllocMem(200);
    EXPECT_EQ(s, again);
    EXPECT_EQ(SealOf(again), SealWordOf(again));
    VR_Heap::FreeMem(again);
    VR_Heap::FreeMem(keep);
    VR_Heap::FreeMem(bigKeep);
    EXPECT_VALID(h);
}

TEST(Seal, CopiedHeadersDoNotPassForBlocks)
{
    VR_Heap h(0);
    uint8_t *a = (uint8_t *)h.AllocMem(200);
    uint8_t *b = (uint8_t *)h.AllocMem(200);
    uint8_t *big = (uint8_t *)h.AllocMem(6000);
    uint8_t *holder = (uint8_t *)h.AllocMem(6000);
    ASSERT_TRUE(a && b && big && holder);
    Fill(holder, 6000, 0x77);
    /* a's 8 header bytes into b's data, in front of a spot aligned as a
       block would be, and big's 32 header bytes into holder's data: every
       field but the seal's address matches a live block. */
    uint8_t *fake = b + 80;
    ASSERT_EQ(0u, (uintptr_t)fake % kBlockAlignment);
    memcpy(fake - 8, a - 8, 8);
    memcpy(holder + 1024, big - kAltHeaderSize, kAltHeaderSize);
    VR_Heap::FreeMem(fake);
    VR_Heap::FreeMem(holder + 1024 + kAltHeaderSize);
    EXPECT_EQ(nullptr, h.Realloc(fake, 20, 0));
    EXPECT_EQ(nullptr, h.Realloc(holder + 1024 + kAltHeaderSize, 20000, 0));
    EXPECT_VALID(h);
    EXPECT_EQ(0, memcmp(fake - 8, a - 8, 8));
    EXPECT_TRUE(Holds(holder + 2000, 4000, 0x77));
    for (uint8_t *p : {a, b, big, holder}) VR_Heap::FreeMem(p);
    EXPECT_VALID(h);
}

TEST(Seal, MovedBigBlockIsSealedAtItsNewPlace)
{
    VR_Heap h(0);
    uint8_t *big = (uint8_t *)h.AllocMem(5000);
    uint8_t *wall = (uint8_t *)h.AllocMem(5000);  // keeps big from growing in place
    ASSERT_TRUE(big && wall);
    Fill(big, 5000, 0x42);
    uint8_t *moved = (uint8_t *)h.Realloc(big, 50000, 0);
    ASSERT_TRUE(moved);
    ASSERT_NE(big, moved);
    EXPECT_EQ(SealOf(moved), SealWordOf(moved));
    EXPECT_TRUE(Holds(moved, 5000, 0x42));
    EXPECT_VALID(h);
    /* The old pointer is stale: its header lost the seal. */
    VR_Heap::FreeMem(big);
    EXPECT_EQ(nullptr, h.Realloc(big, 10, 0));
    EXPECT_VALID(h);
    EXPECT_EQ(50000u, h.GetBlockSize(moved));
    VR_Heap::FreeMem(moved);
    VR_Heap::FreeMem(wall);
    EXPECT_VALID(h);
}

TEST(Seal, CheckerReportsABrokenSeal)
{
    VR_Heap h(0);
    uint8_t *s = (uint8_t *)h.AllocMem(100);
    uint8_t *big = (uint8_t *)h.AllocMem(5000);
    uint8_t *direct = (uint8_t *)h.AllocWithReserve(0, 100, 0);
    ASSERT_TRUE(s && big && direct);
    for (uint8_t *p : {s, big, direct}) {
        uint32_t saved = SealWordOf(p);
        SealWordOf(p) = saved ^ 0x100;
        EXPECT_NE(nullptr, h.Validate());
        /* A block whose seal is broken is not freed either. */
        VR_Heap::FreeMem(p);
        SealWordOf(p) = saved;
        EXPECT_VALID(h);
    }
    VR_Heap::FreeMem(s);
    /* A free small block that still carries its seal. */
    uint32_t check = SealWordOf(s);
    SealWordOf(s) = SealOf(s);
    EXPECT_NE(nullptr, h.Validate());
    SealWordOf(s) = check;
    EXPECT_VALID(h);
    VR_Heap::FreeMem(big);
    VR_Heap::FreeMem(direct);
    EXPECT_VALID(h);
}

} // namespace
