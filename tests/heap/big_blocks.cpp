/*
 * big_blocks.cpp - big blocks: chunk layout in a fresh big page set, merging
 * on free, page sets of their own for huge requests, growth and shrinking in
 * place, moves, blocks reallocated through another heap, double frees,
 * refused memory and the invariant checker's reports.
 */
#include <gtest/gtest.h>

#include <string.h>

#include "big.h"
#include "freeindex.h"
#include "trim.h"
#include "layout.h"
#include "os_memory.h"
#include "pages.h"
#include "vr_test.h"

namespace {

#define EXPECT_VALID(h) EXPECT_EQ(nullptr, (h).Validate())

uint8_t *Base(VR_BigPageSet *ps) { return (uint8_t *)ps; }
VR_BigChunk *ChunkOf(void *block) { return (VR_BigChunk *)((uint8_t *)block - kAltHeaderSize - kChunkHeader); }

/* Where the first chunk's block lies: behind the big page set's header, the
   chunk's size tag and owner (and padding where blocks are 16-aligned) and
   the block's header. */
const uint32_t kFirstBigBlock = kBigPageSetHeader + kChunkHeader + kAltHeaderSize;
const uint32_t kSmallestChunk = kMinChunk;
/* What the first page of a fresh big page set holds in chunks. */
const uint32_t kFirstPageChunks = 4096 - kBigPageSetHeader;

/* The chunk a big block of size bytes takes: its header and data rounded
   to the alignment, then the tags, owner and padding, rounded again; never
   less than the smallest chunk. (With 8-byte alignment 1017 bytes take
   1112, 4120 take 4168, 9000 take 9048; with 16, 1120, 4192, 9072.) */
uint32_t ChunkFor(uint32_t size)
{
    uint32_t n = AlignUp(AlignUp(size + kAltHeaderSize) + kChunkOverhead);
    return n < kSmallestChunk ? kSmallestChunk : n;
}

/* What a block that grows in place keeps where its neighbours have the
   room: an eighth more than its chunk needs, rounded to the alignment. */
uint32_t RoomFor(uint32_t size)
{
    uint32_t n = ChunkFor(size);
    return n + AlignUp(n >> 3);
}
uint32_t TrailingTag(VR_BigChunk *c) { return *(uint32_t *)((uint8_t *)c + (c->sizeTag & ~1u) - 4); }

int FreeChunkCount(VR_Heap &h)
{
    return (int)VR_Test::BigFree(h).chunkCount;
}

int BigPageSetCount(VR_Heap &h)
{
    int n = 0;
    for (VR_PageSetBase *p = VR_Test::BigPageSets(h); p; p = p->next) n++;
    return n;
}

int s_handlerCalls;
int s_handlerAnswers;  // how many more calls answer "retry"
int CountingHandler()
{
    s_handlerCalls++;
    if (s_handlerAnswers > 0) {
        s_handlerAnswers--;
        return 1;
    }
    return 0;
}

/* Out-of-memory tests count handler calls: a reserve left by another test
   would be used up first, so give it back beforehand. */
void DropEmergencyReserve(VR_Heap &h)
{
    void (*callback)() = VR_Test::EmergencyCallback();
    VR_Test::EmergencyCallback() = 0;
    if (VR_Test::EmergencyReserve()) VR_Test::HandleOutOfMemory(h);
    VR_Test::EmergencyCallback() = callback;
}

void ExpectPattern(const void *p, uint32_t n, uint8_t v)
{
    EXPECT_TRUE(IsMemoryFilledWith(p, n, v));
}

} // namespace

TEST(BigBlocks, FirstBlockSplitsTheFirstChunk)
{
    VR_Heap h(VR_HEAP_NO_STD_NEW_HANDLER);
    void *s = h.AllocMem(1016);
    EXPECT_EQ(0, BlockFlagsOf(s) & kBlockAlt);

    uint8_t *p = (uint8_t *)h.AllocMem(1017);
    ASSERT_NE(nullptr, p);
    VR_BigPageSet *ps = VR_Test::BigPageSets(h);
    ASSERT_NE(nullptr, ps);
    uint8_t *base = Base(ps);
    EXPECT_EQ(0x100000, ps->regionEnd - base);
    EXPECT_EQ(4096, ps->commitEnd - base);
    EXPECT_EQ(base + kFirstBigBlock, p);
    EXPECT_EQ(0u, (uintptr_t)p % kBlockAlignment);
    EXPECT_EQ(1017u, h.GetBlockSize(p));
    EXPECT_EQ(1, p[-1]);
    EXPECT_EQ(0u, AltHeaderOf(p)->direct);
    EXPECT_EQ(1u, ps->usedCount);

    // 1017 bytes take the smallest chunk; the rest of the page stays free.
    VR_BigChunk *used = (VR_BigChunk *)(base + kBigPageSetHeader);
    EXPECT_EQ(kSmallestChunk, ChunkFor(1017));
    EXPECT_EQ(kSmallestChunk, used->sizeTag);
    EXPECT_EQ(kSmallestChunk, TrailingTag(used));
    VR_BigChunk *rest = (VR_BigChunk *)(base + kBigPageSetHeader + kSmallestChunk);
    EXPECT_EQ(VR_Test::BigFreeChunks(h), rest);
    EXPECT_EQ((kFirstPageChunks - kSmallestChunk) | 1, rest->sizeTag);
    EXPECT_EQ((kFirstPageChunks - kSmallestChunk) | 1, TrailingTag(rest));
    EXPECT_EQ(ps, rest->owner);
    EXPECT_TRUE(IsDynamicMemory(p));
    memset(p, 0x5A, 1017);
    EXPECT_VALID(h);

    // Freed, it merges back into one chunk; the big page set stays, being the
    // newest with only 4096 bytes committed.
    h.FreeMem(p);
    EXPECT_EQ(ps, VR_Test::BigPageSets(h));
    EXPECT_EQ(0u, ps->usedCount);
    EXPECT_EQ(used, VR_Test::BigFreeChunks(h));
    EXPECT_EQ(kFirstPageChunks | 1, used->sizeTag);
    EXPECT_EQ(1, FreeChunkCount(h));
    EXPECT_EQ(nullptr, VR_Test::BigBlocks(h));
    EXPECT_VALID(h);

    // The next big request is served from it without a system call.
    uint32_t reserves = VR_FaultCalls(vr_os::kFaultReserve), commits = VR_FaultCalls(vr_os::kFaultCommit);
    EXPECT_EQ(p, h.AllocMem(3000));
    EXPECT_EQ(reserves, VR_FaultCalls(vr_os::kFaultReserve));
    EXPECT_EQ(commits, VR_FaultCalls(vr_os::kFaultCommit));
    EXPECT_VALID(h);
}

TEST(BigBlocks, HugeRequestGetsItsOwnPageSetAndGivesItBack)
{
    VR_Heap h;
    uint8_t *older = (uint8_t *)h.AllocMem(5000);
    VR_BigPageSet *first = VR_Test::BigPageSets(h);
    uint8_t *p = (uint8_t *)h.AllocMem(5000000);
    ASSERT_NE(nullptr, p);
    VR_BigPageSet *ps = VR_Test::BigPageSets(h);
    ASSERT_NE(first, ps);
    EXPECT_EQ(5046272, ps->regionEnd - Base(ps));
    EXPECT_EQ(5001216, ps->commitEnd - Base(ps));
    EXPECT_EQ(Base(ps) + kFirstBigBlock, p);
    p[0] = 1;
    p[4999999] = 2;
    EXPECT_VALID(h);

    uint8_t *last = Base(ps) + 5046272 - 1;
    EXPECT_TRUE(IsDynamicMemory(last));
    h.FreeMem(p);
    // Given back at once: more is committed than a heap keeps empty.
    EXPECT_EQ(first, VR_Test::BigPageSets(h));
    EXPECT_FALSE(IsDynamicMemory(Base(ps)));
    EXPECT_FALSE(IsDynamicMemory(last));
    EXPECT_EQ(1, FreeChunkCount(h));
    EXPECT_VALID(h);

    // A second free of the released block is ignored.
    h.FreeMem(p);
    h.FreeMem(older);
    // The remaining page set is the newest again and small: it stays.
    EXPECT_EQ(first, VR_Test::BigPageSets(h));
    EXPECT_EQ(0u, first->usedCount);
    EXPECT_EQ(1, FreeChunkCount(h));
    EXPECT_VALID(h);
}

/* Emptied big page sets stay with their pages while they hold at most
   kKeepEmptyBig bytes in all: the next big blocks are cut from them,
   and the ones emptied earlier go back when a later one would pass the
   bound. */
TEST(BigBlocks, EmptyPageSetsAreKeptUpToTheBound)
{
    const unsigned long size = kKeepEmptyBig / 3 + 65536;   // two fit the bound, three do not
    VR_Heap h;
    void *a = h.AllocMem(size), *b = h.AllocMem(size);
    VR_BigPageSet *pa = (VR_BigPageSet *)PageSetOf((uint8_t *)a - kFirstBigBlock);
    VR_BigPageSet *pb = (VR_BigPageSet *)PageSetOf((uint8_t *)b - kFirstBigBlock);
    ASSERT_NE(pa, pb);
    h.FreeMem(a);
    h.FreeMem(b);                               // both kept
    EXPECT_TRUE(IsDynamicMemory(pa) && IsDynamicMemory(pb));
    EXPECT_EQ(2, FreeChunkCount(h));
    // The kept page sets serve again (nothing reserved); a third comes.
    void *x = h.AllocMem(size), *y = h.AllocMem(size), *c = h.AllocMem(size);
    void *px = PageSetOf((uint8_t *)x - kFirstBigBlock), *py = PageSetOf((uint8_t *)y - kFirstBigBlock);
    EXPECT_TRUE((px == pa && py == pb) || (px == pb && py == pa));
    EXPECT_VALID(h);
    h.FreeMem(x);
    h.FreeMem(y);
    h.FreeMem(c);                               // kept; an earlier one goes back
    EXPECT_TRUE(IsDynamicMemory((uint8_t *)c - kFirstBigBlock));
    EXPECT_NE(IsDynamicMemory(pa), IsDynamicMemory(pb));
    EXPECT_EQ(2, FreeChunkCount(h));
    EXPECT_VALID(h);

    // Out of memory, the kept page sets go back before any handler runs.
    static int s_calls;
    s_calls = 0;
    h.SetNewHandler([] { return ++s_calls, 0; });
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFF);
    EXPECT_EQ(nullptr, h.AllocMem(3 * size));
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    EXPECT_EQ(1, s_calls);
    EXPECT_FALSE(IsDynamicMemory((uint8_t *)c - kFirstBigBlock) || IsDynamicMemory(pa) || IsDynamicMemory(pb));
    EXPECT_EQ(0, FreeChunkCount(h));
    EXPECT_VALID(h);
}

TEST(BigBlocks, FreeMergesWithBothNeighbours)
{
    VR_Heap h;
    // 3000-byte blocks take whole pages: the newest page set grows by a
    // page for each, its last chunk being in use.
    uint8_t *b[4];
    for (int i = 0; i < 4; i++) {
        b[i] = (uint8_t *)h.AllocMem(3000);
        ASSERT_NE(nullptr, b[i]);
        memset(b[i], 0x10 + i, 3000);
    }
    VR_BigPageSet *ps = VR_Test::BigPageSets(h);
    EXPECT_EQ(1, BigPageSetCount(h));
    EXPECT_EQ(16384, ps->commitEnd - Base(ps));
    for (int i = 1; i < 4; i++) EXPECT_EQ(b[i - 1] + (i == 1 ? 4064 : 4096), b[i]);
    EXPECT_EQ(nullptr, VR_Test::BigFreeChunks(h));

    h.FreeMem(b[0]);
    h.FreeMem(b[2]);
    EXPECT_EQ(2, FreeChunkCount(h));
    EXPECT_VALID(h);
    h.FreeMem(b[1]);
    VR_BigChunk *merged = VR_Test::BigFreeChunks(h);
    EXPECT_EQ((VR_BigChunk *)(Base(ps) + 32), merged);
    EXPECT_EQ((4064u + 4096 + 4096) | 1, merged->sizeTag);
    EXPECT_EQ(merged->sizeTag, TrailingTag(merged));
    EXPECT_EQ(1, FreeChunkCount(h));
    EXPECT_EQ(1u, ps->usedCount);
    ExpectPattern(b[3], 3000, 0x13);
    EXPECT_VALID(h);

    // First fit takes the merged chunk and splits it.
    uint8_t *again = (uint8_t *)h.AllocMem(5000);
    EXPECT_EQ(b[0], again);
    EXPECT_EQ(2, (int)ps->usedCount);
    EXPECT_VALID(h);
}

TEST(BigBlocks, NewestPageSetGrowsItsFreeLastChunk)
{
    VR_Heap h;
    uint8_t *a = (uint8_t *)h.AllocMem(1017);  // leaves the rest of the first page free
    VR_BigPageSet *ps = VR_Test::BigPageSets(h);
    uint8_t *b = (uint8_t *)h.AllocMem(6000);
    EXPECT_EQ(1, BigPageSetCount(h));
    EXPECT_EQ(a + kSmallestChunk, b);          // the free last chunk grew
    EXPECT_EQ(4096 + 4096, ps->commitEnd - Base(ps));  // by the pages it lacked
    EXPECT_VALID(h);

    // A refused commit while growing moves on to a new big page set.
    h.FreeMem(a);
    VR_SetFault(vr_os::kFaultCommit, 1, 1);
    uint8_t *c = (uint8_t *)h.AllocMem(20000);
    VR_SetFault(vr_os::kFaultCommit, 0, 0);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(2, BigPageSetCount(h));
    EXPECT_EQ(4096 + 4096, ps->commitEnd - Base(ps));
    EXPECT_VALID(h);
}

TEST(BigBlocks, GrowsInPlaceAndSplitsTheSurplus)
{
    VR_Heap h;
    uint8_t *p = (uint8_t *)h.AllocMem(3000);  // the whole first page's chunk, ending at commitEnd
    VR_BigPageSet *ps = VR_Test::BigPageSets(h);
    EXPECT_EQ(kFirstPageChunks, ChunkOf(p)->sizeTag);
    memset(p, 0x77, 3000);
    // A little more chunk (4168 or 4192 bytes, 4696 or 4720 with the
    // eighth kept for growth): one page committed, the rest split off.
    uint8_t *q = (uint8_t *)h.Realloc(p, 4120, 0);
    EXPECT_EQ(p, q);
    EXPECT_EQ(4120u, h.GetBlockSize(q));
    EXPECT_EQ(8192, ps->commitEnd - Base(ps));
    EXPECT_EQ(RoomFor(4120), ChunkOf(q)->sizeTag);
    VR_BigChunk *tail = (VR_BigChunk *)(Base(ps) + kBigPageSetHeader + RoomFor(4120));
    EXPECT_EQ(VR_Test::BigFreeChunks(h), tail);
    EXPECT_EQ((8192 - kBigPageSetHeader - RoomFor(4120)) | 1, tail->sizeTag);
    ExpectPattern(q, 3000, 0x77);
    EXPECT_VALID(h);

    // Growth into the free neighbour, without committing: the chunk and its
    // eighth (7936 or 7968 bytes) fit in what is committed.
    q = (uint8_t *)h.Realloc(q, 7000, 0);
    EXPECT_EQ(p, q);
    EXPECT_EQ(8192, ps->commitEnd - Base(ps));
    // The rest (224 or 192 bytes) is below the smallest chunk and stays inside.
    EXPECT_LT(8192 - kBigPageSetHeader - RoomFor(7000), kSmallestChunk);
    EXPECT_EQ(8192 - kBigPageSetHeader, ChunkOf(q)->sizeTag);
    EXPECT_EQ(nullptr, VR_Test::BigFreeChunks(h));
    ExpectPattern(q, 3000, 0x77);
    EXPECT_VALID(h);
}

TEST(BigBlocks, AbsorbsTheFreeLastChunkAndCommitsBehindIt)
{
    VR_Heap h;
    uint8_t *p = (uint8_t *)h.AllocMem(1017);  // the smallest chunk in use, the rest free up to commitEnd
    VR_BigPageSet *ps = VR_Test::BigPageSets(h);
    memset(p, 0x33, 1017);
    uint8_t *q = (uint8_t *)h.Realloc(p, 9000, 0);
    EXPECT_EQ(p, q);
    // The chunk needs 9048 or 9072 bytes and keeps an eighth more (10184 or
    // 10208): the first page's chunks in place, the rest rounded up to two
    // pages, and what lies behind the kept room split off.
    EXPECT_EQ(4096 + 8192, ps->commitEnd - Base(ps));
    EXPECT_EQ(RoomFor(9000), ChunkOf(q)->sizeTag);
    EXPECT_EQ(1, FreeChunkCount(h));
    EXPECT_EQ((kFirstPageChunks + 8192 - RoomFor(9000)) | 1, VR_Test::BigFreeChunks(h)->sizeTag);
    ExpectPattern(q, 1017, 0x33);
    EXPECT_VALID(h);
}

TEST(BigBlocks, ShrinkSplitsOnlyFromTheMinimumChunkOn)
{
    VR_Heap h;
    // Three pages: a chunk of 10048 (or 10064) bytes in use, 2208 (or 2192) free behind.
    uint8_t *p = (uint8_t *)h.AllocMem(10000);
    VR_BigPageSet *ps = VR_Test::BigPageSets(h);
    const uint32_t behind = 3 * 4096 - kBigPageSetHeader - ChunkFor(10000);
    EXPECT_EQ(ChunkFor(10000), ChunkOf(p)->sizeTag);
    EXPECT_EQ(1, FreeChunkCount(h));
    EXPECT_EQ(behind | 1, VR_Test::BigFreeChunks(h)->sizeTag);
    memset(p, 0x44, 10000);

    // Losing 1000 (or 992) bytes of chunk: below the minimum, the chunk stays.
    EXPECT_LT(ChunkFor(10000) - ChunkFor(9000), kSmallestChunk);
    EXPECT_EQ(p, h.Realloc(p, 9000, 0));
    EXPECT_EQ(ChunkFor(10000), ChunkOf(p)->sizeTag);
    EXPECT_EQ(9000u, h.GetBlockSize(p));
    EXPECT_EQ(1, FreeChunkCount(h));
    EXPECT_VALID(h);

    // Losing 2000: the tail becomes free and merges with the chunk behind.
    EXPECT_EQ(p, h.Realloc(p, 8000, 0));
    EXPECT_EQ(ChunkFor(8000), ChunkOf(p)->sizeTag);
    EXPECT_EQ(1, FreeChunkCount(h));
    VR_BigChunk *tail = VR_Test::BigFreeChunks(h);
    EXPECT_EQ((VR_BigChunk *)(Base(ps) + kBigPageSetHeader + ChunkFor(8000)), tail);
    EXPECT_EQ((ChunkFor(10000) - ChunkFor(8000) + behind) | 1, tail->sizeTag);
    ExpectPattern(p, 8000, 0x44);
    EXPECT_VALID(h);

    // Shrunk to a few bytes, a big block stays big.
    EXPECT_EQ(p, h.Realloc(p, 10, 0));
    EXPECT_EQ(10u, h.GetBlockSize(p));
    EXPECT_EQ(1, p[-1]);
    EXPECT_EQ(kSmallestChunk, ChunkOf(p)->sizeTag);
    EXPECT_VALID(h);
}

TEST(BigBlocks, MoveKeepsTheBlocksPlaceInTheList)
{
    VR_Heap h;
    uint8_t *a = (uint8_t *)h.AllocMem(3000);
    uint8_t *b = (uint8_t *)h.AllocMem(3000);
    uint8_t *c = (uint8_t *)h.AllocMem(3000);
    memset(b, 0x5B, 3000);
    // b is boxed in by blocks in use: growing it moves it.
    uint8_t *m = (uint8_t *)h.Realloc(b, 20000, 0);
    ASSERT_NE(nullptr, m);
    EXPECT_NE(b, m);
    ExpectPattern(m, 3000, 0x5B);
    EXPECT_EQ(20000u, h.GetBlockSize(m));
    EXPECT_EQ(1, m[-1]);
    // The old header is marked freed, so freeing the old pointer is ignored.
    EXPECT_EQ(kBlockAlt | kBlockFree, b[-1]);
    h.FreeMem(b);
    EXPECT_VALID(h);

    VR_AltBlock *l = VR_Test::BigBlocks(h);
    ASSERT_NE(nullptr, l);
    EXPECT_EQ(AltHeaderOf(c), l);
    EXPECT_EQ(AltHeaderOf(m), l->next);
    EXPECT_EQ(AltHeaderOf(a), l->next->next);
    EXPECT_EQ(nullptr, l->next->next->next);

    // Moving the head of the list keeps it the head.
    uint8_t *c2 = (uint8_t *)h.Realloc(c, 40000, 0);
    EXPECT_EQ(AltHeaderOf(c2), VR_Test::BigBlocks(h));
    EXPECT_EQ(nullptr, AltHeaderOf(c2)->prev);
    EXPECT_VALID(h);
}

TEST(BigBlocks, BlockOfOneHeapReallocatedThroughAnother)
{
    VR_Heap a, b;
    uint8_t *x = (uint8_t *)a.AllocMem(3000);
    uint8_t *y = (uint8_t *)a.AllocMem(3000);  // keeps x from growing in place
    memset(x, 0x61, 3000);
    uint8_t *z = (uint8_t *)b.Realloc(x, 50000, 0);
    ASSERT_NE(nullptr, z);
    EXPECT_NE(x, z);
    EXPECT_EQ(&a, AltHeaderOf(z)->heap);
    ExpectPattern(z, 3000, 0x61);
    EXPECT_EQ(nullptr, VR_Test::BigBlocks(b));
    EXPECT_EQ(nullptr, VR_Test::BigPageSets(b));
    EXPECT_EQ(nullptr, VR_Test::BigFreeChunks(b));
    EXPECT_EQ(AltHeaderOf(z), VR_Test::BigBlocks(a)->next);
    // Shrinking through the other heap stays in place, in the owner.
    EXPECT_EQ(z, b.Realloc(z, 2000, 0));
    EXPECT_VALID(a);
    EXPECT_VALID(b);
    b.FreeMem(z);
    a.FreeMem(y);
    EXPECT_EQ(nullptr, VR_Test::BigBlocks(a));
    EXPECT_VALID(a);
}

TEST(BigBlocks, DoubleFreesAreIgnored)
{
    VR_Heap h;
    uint8_t *keep = (uint8_t *)h.AllocMem(1017);
    uint8_t *p = (uint8_t *)h.AllocMem(1017);
    uint8_t *q = (uint8_t *)h.AllocMem(1017);
    h.FreeMem(p);
    EXPECT_EQ(kBlockAlt | kBlockFree, p[-1]);
    VR_BigChunk *head = VR_Test::BigFreeChunks(h);
    uint32_t used = VR_Test::BigPageSets(h)->usedCount;
    h.FreeMem(p);
    h.Free(p);
    EXPECT_EQ(head, VR_Test::BigFreeChunks(h));
    EXPECT_EQ(used, VR_Test::BigPageSets(h)->usedCount);
    EXPECT_EQ(nullptr, h.Realloc(p, 5000, 0));  // not a live block either
    EXPECT_VALID(h);

    // Freed once the block is absorbed by a neighbour's merge, still ignored.
    h.FreeMem(q);
    h.FreeMem(p);
    h.FreeMem(q);
    EXPECT_EQ(1u, VR_Test::BigPageSets(h)->usedCount);
    EXPECT_VALID(h);

    uint8_t *d = (uint8_t *)h.AllocWithReserve(0, 100, 0);
    ASSERT_NE(nullptr, d);
    h.FreeMem(d);
    EXPECT_EQ(0u, VR_Test::DirectCount(h));
    h.FreeMem(d);
    EXPECT_EQ(0u, VR_Test::DirectCount(h));
    EXPECT_EQ(AltHeaderOf(keep), VR_Test::BigBlocks(h));
    EXPECT_VALID(h);
}

/* Committed bytes of a big page set below its commitEnd. */
uint32_t Committed(VR_BigPageSet *ps) { return CommittedBytesIn(ps, (uint32_t)(ps->commitEnd - Base(ps))); }
int SystemSaysCommitted(const void *p)
{
    vr_os::RegionInfo info;
    return vr_os::QueryRegion(p, &info) && info.committed;
}

/* Large free chunks inside a page set that small blocks keep give their
   inside back; blocks cut from it, or grown over it, get it committed
   again, and a second free of a block whose header went back is ignored.
   The sizes pass the highest trim threshold (kTrimMax), whatever other
   tests taught it. */
TEST(BigBlocks, FreeInsideOfALargeChunkGoesBack)
{
    const uint32_t MB = 1 << 20;
    static_assert(kTrimMax <= 16 * MB, "the sizes below pass the trim threshold");
    VR_Heap h;
    uint8_t *a = (uint8_t *)h.AllocMem(48 * MB);
    ASSERT_NE(nullptr, a);
    VR_BigPageSet *ps = ChunkOf(a)->owner;
    // Shrunk: the cut-off rest goes back at once.
    ASSERT_EQ(a, h.Realloc(a, 24 * MB, 0));
    EXPECT_LT(Committed(ps), 25 * MB);
    uint8_t *b = (uint8_t *)h.AllocMem(20 * MB);
    uint8_t *keep = (uint8_t *)h.AllocMem(2000);
    ASSERT_TRUE(b && keep);
    ASSERT_EQ(ps, ChunkOf(b)->owner);
    ASSERT_EQ(ps, ChunkOf(keep)->owner);
    memset(b, 0xB5, 20 * MB);  // committed again, or this faults
    EXPECT_GE(Committed(ps), 44 * MB);
    EXPECT_VALID(h);

    h.FreeMem(a);
    h.FreeMem(b);
    EXPECT_LT(Committed(ps), 1 * MB) << "a 2000-byte block pins no more than its neighbourhood";
    EXPECT_FALSE(SystemSaysCommitted(b));
    EXPECT_FALSE(SystemSaysCommitted(a + 5 * MB));
    EXPECT_VALID(h);
    // b's header lies in a region given back: its seal cannot be read, the
    // free is ignored (and so is a's, whose header stayed readable).
    h.FreeMem(b);
    h.FreeMem(a);
    EXPECT_EQ(1u, ps->usedCount);
    EXPECT_EQ(nullptr, h.Realloc(b, 100, 0));
    EXPECT_VALID(h);

    // Cut from the front again, then grown in place over the given-back part.
    uint8_t *c = (uint8_t *)h.AllocMem(3 * MB);  // no other free chunk is as big
    ASSERT_EQ(a, c);
    memset(c, 1, 3 * MB);
    ASSERT_EQ(c, h.Realloc(c, 30 * MB, 0));
    memset(c, 2, 30 * MB);
    EXPECT_GE(Committed(ps), 30 * MB);
    EXPECT_VALID(h);
    ASSERT_EQ(c, h.Realloc(c, 2 * MB, 0));
    EXPECT_LT(Committed(ps), 3 * MB);
    ASSERT_EQ(c, VR_Test::Big::ExpandInPlace(c, 9 * MB));
    memset(c, 3, 9 * MB);
    EXPECT_VALID(h);
    h.FreeMem(c);
    h.FreeMem(keep);
    for (VR_PageSetBase *p = VR_Test::BigPageSets(h); p; p = p->next)
        EXPECT_NE((VR_PageSetBase *)ps, p) << "emptied, and bigger than what a heap keeps";
    EXPECT_VALID(h);
}

TEST(BigBlocks, BypassedFreeKeepsTheBlock)
{
    VR_Heap h;
    uint8_t *p = (uint8_t *)h.AllocMem(5000);
    BypassFreeing(&h);
    h.FreeMem(p);
    EXPECT_EQ(AltHeaderOf(p), VR_Test::BigBlocks(h));
    EXPECT_EQ(1u, VR_Test::BigPageSets(h)->usedCount);
    EXPECT_EQ(1, p[-1]);
    EXPECT_VALID(h);
}

TEST(BigBlocks, ZeroInitCoversAReusedChunk)
{
    VR_Heap h(VR_HEAP_ZERO_INIT);
    uint8_t *p = (uint8_t *)h.AllocMem(6000);
    memset(p, 0xEE, 6000);
    h.FreeMem(p);
    uint8_t *q = (uint8_t *)h.AllocMem(5000);
    EXPECT_EQ(p, q);
    ExpectPattern(q, 5000, 0);
}

TEST(BigBlocks, RefusedMemoryRetriesThenFailsCleanly)
{
    VR_Heap h(VR_HEAP_NO_STD_NEW_HANDLER);
    DropEmergencyReserve(h);
    h.SetNewHandler(CountingHandler);
    uint8_t *small = (uint8_t *)h.AllocMem(100);
    (void)small;

    s_handlerCalls = 0;
    s_handlerAnswers = 2;
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFF);
    EXPECT_EQ(nullptr, h.AllocMem(5000));
    EXPECT_EQ(3, s_handlerCalls);
    EXPECT_EQ(nullptr, VR_Test::BigPageSets(h));
    EXPECT_EQ(nullptr, VR_Test::BigBlocks(h));
    EXPECT_EQ(nullptr, VR_Test::BigFreeChunks(h));
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    EXPECT_VALID(h);

    // A refused first commit gives the fresh reservation back.
    s_handlerCalls = 0;
    s_handlerAnswers = 1;
    VR_SetFault(vr_os::kFaultCommit, 1, 1);
    uint8_t *p = (uint8_t *)h.AllocMem(5000);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(1, s_handlerCalls);
    EXPECT_EQ(1, BigPageSetCount(h));
    EXPECT_VALID(h);

    // A move that cannot get memory leaves the block where and as it was.
    uint8_t *q = (uint8_t *)h.AllocMem(1017);  // right behind p
    (void)q;
    memset(p, 0x3C, 5000);
    s_handlerCalls = 0;
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFF);
    VR_SetFault(vr_os::kFaultCommit, 1, 0xFFFFFFFF);
    EXPECT_EQ(nullptr, h.Realloc(p, 3000000, 0));
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    VR_SetFault(vr_os::kFaultCommit, 0, 0);
    EXPECT_EQ(1, s_handlerCalls);
    EXPECT_EQ(5000u, h.GetBlockSize(p));
    ExpectPattern(p, 5000, 0x3C);
    EXPECT_VALID(h);
}

TEST(BigBlocks, ReservationsGrowWithTheHeapAndFallBackWhenRefused)
{
    // Blocks of 700 KB: a 1 MB page set holds one. Once the heap has
    // some in use, new page sets reserve an eighth of that, and hold more.
    const unsigned long size = 700 * 1024;
    VR_Heap h(VR_HEAP_NO_STD_NEW_HANDLER);
    DropEmergencyReserve(h);
    void *blocks[48];
    for (void *&b : blocks) ASSERT_NE(nullptr, b = h.AllocMem(size));
    EXPECT_LT(BigPageSetCount(h), 40);          // 48 with 1 MB sets
    EXPECT_VALID(h);

    // A large reservation refused, the least that holds the block comes,
    // with no handler called.
    h.SetNewHandler(CountingHandler);
    s_handlerCalls = 0;
    s_handlerAnswers = 0;
    int sets = BigPageSetCount(h);
    VR_SetFault(vr_os::kFaultReserve, 1, 1);
    void *more = h.AllocMem(3 * 1024 * 1024);   // more than any set has room for, less than a new one holds
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    ASSERT_NE(nullptr, more);
    EXPECT_EQ(0, s_handlerCalls);
    EXPECT_EQ(sets + 1, BigPageSetCount(h));
    EXPECT_VALID(h);
    h.FreeMem(more);
    for (void *b : blocks) h.FreeMem(b);
    EXPECT_VALID(h);
}

TEST(BigBlocks, SizesNearTheTopNeverWrap)
{
    VR_Heap h(VR_HEAP_NO_STD_NEW_HANDLER);
    DropEmergencyReserve(h);
    h.SetNewHandler(CountingHandler);
    uint8_t *s = (uint8_t *)h.AllocMem(100);
    uint8_t *b = (uint8_t *)h.AllocMem(5000);
    uint8_t *d = (uint8_t *)h.AllocWithReserve(0, 100, 0);
    ASSERT_TRUE(s && b && d);
    VR_AltBlock *blocks = VR_Test::BigBlocks(h);
    VR_BigChunk *chunks = VR_Test::BigFreeChunks(h);

    s_handlerCalls = 0;
    s_handlerAnswers = 0;
    uint32_t reserves = VR_FaultCalls(vr_os::kFaultReserve);
    const unsigned long sizes[] = {0xFFFFFFFFul, 0xFFFFFFF8ul, 0xFFFFFFE0ul, 0xFFFFFFD1ul,
                                   0xFFFFFFD0ul, 0xFFFFFFC8ul, 0xFFFF0000ul - 16};
    for (unsigned long n : sizes) {
        EXPECT_EQ(nullptr, h.AllocMem(n)) << n;
        EXPECT_EQ(nullptr, h.Alloc(n, 1)) << n;
        EXPECT_EQ(nullptr, h.AllocWithReserve(n, 10, 0)) << n;
        EXPECT_EQ(nullptr, h.AllocWithReserve(0, n, 0)) << n;
        EXPECT_EQ(nullptr, h.Realloc(s, n, 0)) << n;
        EXPECT_EQ(nullptr, h.Realloc(b, n, 1)) << n;
        // A direct block that does not wrap is refused by its reservation,
        // which counts as exhausted memory; only wrapping sizes here.
        if (n > 0xFFFFFFC0ul) EXPECT_EQ(nullptr, h.Realloc(d, n, 0)) << n;
    }
    EXPECT_EQ(nullptr, h.AllocArray(0x10000, 0x10000, 0));
    EXPECT_EQ(nullptr, h.AllocArray(0xFFFFFFFF, 2, 1));
    EXPECT_EQ(nullptr, h.AllocArray(3, 0x55555556, 0));
    // Nothing was asked of the system and no recovery ran.
    EXPECT_EQ(reserves, VR_FaultCalls(vr_os::kFaultReserve));
    EXPECT_EQ(0, s_handlerCalls);

    EXPECT_EQ(100u, h.GetBlockSize(s));
    EXPECT_EQ(5000u, h.GetBlockSize(b));
    EXPECT_EQ(100u, h.GetBlockSize(d));
    EXPECT_EQ(blocks, VR_Test::BigBlocks(h));
    EXPECT_EQ(chunks, VR_Test::BigFreeChunks(h));
    EXPECT_VALID(h);
    // A product that fits is served.
    EXPECT_NE(nullptr, h.AllocArray(0x10000, 0x10, 1));
    EXPECT_VALID(h);
}

TEST(BigBlocks, ValidateNamesBrokenInvariants)
{
    VR_Heap h;
    uint8_t *a = (uint8_t *)h.AllocMem(1017);
    uint8_t *b = (uint8_t *)h.AllocMem(1017);
    uint8_t *d = (uint8_t *)h.AllocWithReserve(0, 10, 0);
    EXPECT_VALID(h);
    VR_BigChunk *ca = ChunkOf(a);

    ca->sizeTag += kBlockAlignment;
    EXPECT_NE(nullptr, h.Validate());
    ca->sizeTag -= kBlockAlignment;

    uint32_t *trail = (uint32_t *)((uint8_t *)ca + kSmallestChunk - 4);
    *trail ^= 1;
    EXPECT_NE(nullptr, h.Validate());
    *trail ^= 1;

    VR_Test::BigPageSets(h)->usedCount++;
    EXPECT_NE(nullptr, h.Validate());
    VR_Test::BigPageSets(h)->usedCount--;

    VR_Test::DirectCount(h)++;
    EXPECT_NE(nullptr, h.Validate());
    VR_Test::DirectCount(h)--;

    AltHeaderOf(b)->heap = nullptr;
    EXPECT_NE(nullptr, h.Validate());
    AltHeaderOf(b)->heap = &h;

    AltHeaderOf(d)->prev = AltHeaderOf(d);
    EXPECT_NE(nullptr, h.Validate());
    AltHeaderOf(d)->prev = nullptr;

    // A free chunk off its list, on another list, and a list's bit lost.
    VR_FreeIndex &ix = VR_Test::BigFree(h);
    VR_BigChunk *f = VR_Test::BigFreeChunks(h);
    uint32_t k = ChunkListOf(f->sizeTag & ~1u);
    ix.chunkLists[k] = nullptr;
    EXPECT_NE(nullptr, h.Validate());
    ix.chunkLists[k + 1] = f;
    EXPECT_NE(nullptr, h.Validate());
    ix.chunkLists[k + 1] = nullptr;
    ix.chunkLists[k] = f;
    ix.chunkWords[k >> 5] ^= 1u << (k & 31);
    EXPECT_NE(nullptr, h.Validate());
    ix.chunkWords[k >> 5] ^= 1u << (k & 31);
    ix.chunkCount++;
    EXPECT_NE(nullptr, h.Validate());
    ix.chunkCount--;
    // The chunk indexed last naming a chunk in use.
    VR_BigChunk *recent = ix.recent;
    ix.recent = ca;
    EXPECT_NE(nullptr, h.Validate());
    ix.recent = recent;
    // A page set with room off its room list.
    VR_BigPageSet *ps = VR_Test::BigPageSets(h);
    uint32_t r = RoomListOf(RoomOf(ps));
    ix.roomLists[r] = nullptr;
    EXPECT_NE(nullptr, h.Validate());
    ix.roomLists[r] = ps;
    EXPECT_VALID(h);

    // A chunk in use marked free in one of its tags.
    ca->sizeTag |= 1;
    EXPECT_NE(nullptr, h.Validate());
    ca->sizeTag &= ~1u;
    EXPECT_VALID(h);
}
