/*
 * small_blocks.cpp - the general heap's small blocks: size classes, carving
 * and page commits, tail cutting, recycling and release of page sets, zero
 * filling, and frees that must be ignored. Every test checks the heap's
 * invariants after its operations.
 */
#include <gtest/gtest.h>
#include <string.h>

#include "heap_internal.h"
#include "vr_test.h"

namespace {

uint8_t *BaseOf(void *p) { return (uint8_t *)PageSetOf(p); }
VR_SmallPageSet *SetOf(void *p) { return (VR_SmallPageSet *)PageSetOf(p); }

#define EXPECT_SOUND(heap) EXPECT_EQ(nullptr, (heap).Validate())

TEST(SmallBlocks, RequestSizesPickTheirClass)
{
    VR_Heap heap(VR_HEAP_MULTITHREADED);
    // Up to 176 bytes the classes step by the alignment: 108 bytes with the
    // header take the 112-byte class.
    const unsigned last = (unsigned)VR_Test::SizeClassesInUse() - 1;
    struct { unsigned long size; unsigned cls; } cases[] = {
        {0, 0}, {8, 0}, {9, 1}, {100, (112 - 16) / kBlockAlignment}, {1016, last}};
    for (auto &c : cases) {
        uint8_t *p = (uint8_t *)heap.AllocMem(c.size);
        ASSERT_NE(nullptr, p);
        VR_BlockHeader *h = SmallHeaderOf(p);
        EXPECT_EQ(c.cls, h->sizeClass) << c.size;
        EXPECT_EQ(c.size, h->requestedSize);
        EXPECT_EQ(0, h->blockFlags);
        EXPECT_EQ(0u, (uintptr_t)p & (kBlockAlignment - 1));
        EXPECT_SOUND(heap);
    }
    // Above 1016 bytes, and where size + 8 wraps, the request is not small.
    void *big = heap.AllocMem(1017);
    if (big) EXPECT_TRUE(BlockFlagsOf(big) & kBlockAlt);
    EXPECT_EQ(nullptr, heap.AllocMem(0xFFFFFFF8u));
    EXPECT_EQ(nullptr, heap.AllocMem(0xFFFFFFFFu));
    EXPECT_SOUND(heap);
}

TEST(SmallBlocks, FirstBlockAndLastFreedFirstReused)
{
    VR_Heap heap(0);
    uint8_t *a = (uint8_t *)heap.AllocMem(100);
    ASSERT_NE(nullptr, a);
    uint8_t *base = BaseOf(a);
    EXPECT_EQ(base + kSmallFirstBlock + 8, a);
    EXPECT_TRUE(IsDynamicMemory(base));
    VR_SmallPageSet *p = SetOf(a);
    EXPECT_EQ((VR_PageSetBase *)p, VR_Test::PageSets(heap));
    EXPECT_EQ(&heap, p->owner);
    EXPECT_EQ(base + s_pageSize, p->commitEnd);
    EXPECT_EQ(base + 65536, p->regionEnd);
    EXPECT_EQ(1u, p->usedCount);

    uint8_t *b = (uint8_t *)heap.AllocMem(104);
    uint8_t *c = (uint8_t *)heap.AllocMem(97);
    EXPECT_EQ(a + 112, b);
    EXPECT_EQ(b + 112, c);
    VR_Heap::FreeMem(b);
    VR_Heap::FreeMem(a);
    EXPECT_EQ(1u, p->usedCount);
    EXPECT_SOUND(heap);
    EXPECT_EQ(a, heap.AllocMem(100));
    EXPECT_EQ(b, heap.AllocMem(100));
    EXPECT_EQ(c + 112, heap.AllocMem(100));
    EXPECT_SOUND(heap);
}

TEST(SmallBlocks, BlocksStraddlePageBoundaries)
{
    VR_Heap heap(0);
    // 16 bytes and the header: 24-byte blocks where blocks are 8-aligned
    // (169 in a 4096-byte page), 32-byte ones where they are 16-aligned (126).
    const uint32_t size = AlignUp(16 + 8);
    const uint32_t perPage = (s_pageSize - kSmallFirstBlock) / size;
    uint8_t *first = (uint8_t *)heap.AllocMem(16);
    uint8_t *base = BaseOf(first);
    for (uint32_t i = 1; i < perPage; i++) ASSERT_EQ(first + size * i, heap.AllocMem(16));
    VR_SmallPageSet *p = SetOf(first);
    EXPECT_EQ(base + s_pageSize, p->commitEnd);
    EXPECT_EQ(s_pageSize - kSmallFirstBlock - size * perPage, p->uncarved);

    uint8_t *straddle = (uint8_t *)heap.AllocMem(16);
    EXPECT_EQ(base + kSmallFirstBlock + size * perPage + 8, straddle);
    EXPECT_EQ(base + 2 * s_pageSize, p->commitEnd);
    memset(straddle, 0x5A, 16);   // both pages are writable
    EXPECT_EQ(1, SmallHeaderOf(straddle)->sizeClass);
    EXPECT_SOUND(heap);
}

TEST(SmallBlocks, FullPageSetTailBecomesFreePieces)
{
    VR_Heap heap(0);
    uint8_t *first = (uint8_t *)heap.AllocMem(1016);
    uint8_t *base = BaseOf(first);
    for (int i = 1; i < 63; i++) ASSERT_EQ(first + 1024 * i, heap.AllocMem(1016));
    VR_SmallPageSet *p = SetOf(first);
    // 992 bytes are left (984 where the first block lies 8 bytes further in).
    const uint32_t tail = 65536 - kSmallFirstBlock - 63 * 1024;
    EXPECT_EQ(tail, p->uncarved);
    EXPECT_EQ(p->regionEnd, p->commitEnd);

    uint8_t *next = (uint8_t *)heap.AllocMem(1016);
    uint8_t *newBase = BaseOf(next);
    EXPECT_NE(base, newBase);
    EXPECT_EQ(newBase + kSmallFirstBlock + 8, next);
    EXPECT_EQ((VR_PageSetBase *)newBase, VR_Test::PageSets(heap));
    EXPECT_EQ((VR_PageSetBase *)p, VR_Test::PageSets(heap)->next);

    // The tail is cut into the largest class that fits it, then a 16-byte
    // piece; the 0 or 8 bytes left at the end fit no block.
    const uint32_t pieceSize = kBlockAlignment == 8 ? 976 : 960;
    const unsigned pieceClass = VR_Test::SizeClassOf(pieceSize);
    ASSERT_EQ(pieceSize, VR_Test::SizeClass(pieceClass));
    ASSERT_GT(VR_Test::SizeClass(pieceClass + 1), tail);
    EXPECT_EQ(tail, pieceSize + 16 + (kBlockAlignment - 8));
    VR_BlockHeader *piece = VR_Test::FreeList(heap, pieceClass);
    VR_BlockHeader *piece16 = VR_Test::FreeList(heap, 0);
    EXPECT_EQ((VR_BlockHeader *)(base + kSmallFirstBlock + 63 * 1024), piece);
    EXPECT_EQ((VR_BlockHeader *)(base + 65536 - (kBlockAlignment - 8) - 16), piece16);
    ASSERT_NE(nullptr, piece);
    ASSERT_NE(nullptr, piece16);
    EXPECT_EQ(kBlockFree, piece->blockFlags);
    EXPECT_EQ(pieceSize, piece->requestedSize);
    EXPECT_EQ(kBlockAlignment - 8, p->uncarved);
    EXPECT_EQ(63u, p->usedCount);
    EXPECT_SOUND(heap);

    // The pieces are handed out from their lists; the retired set is never carved again.
    EXPECT_EQ((uint8_t *)piece + 8, heap.AllocMem(pieceSize - 16));
    EXPECT_EQ((uint8_t *)piece16 + 8, heap.AllocMem(4));
    EXPECT_EQ(next + 1024, heap.AllocMem(40));
    EXPECT_SOUND(heap);
}

TEST(SmallBlocks, EmptyNewestPageSetIsRecycledWhole)
{
    VR_Heap heap(0);
    // 16-byte blocks fill the page set: 4094 of them, or 4093 and 8 bytes
    // that fit no block where the first block lies 8 bytes further in.
    const int n = (65536 - kSmallFirstBlock) / 16;
    static void *blocks[4094];
    for (int i = 0; i < n; i++) ASSERT_NE(nullptr, blocks[i] = heap.AllocMem(8));
    uint8_t *base = BaseOf(blocks[0]);
    VR_SmallPageSet *p = SetOf(blocks[0]);
    EXPECT_EQ(kBlockAlignment - 8, p->uncarved);
    EXPECT_EQ(base + 65536 - (kBlockAlignment - 8) - 8, blocks[n - 1]);
    for (int i = 0; i < n; i++) VR_Heap::FreeMem(blocks[i]);
    EXPECT_EQ(0u, p->usedCount);
    EXPECT_EQ((VR_PageSetBase *)p, VR_Test::PageSets(heap));   // the newest stays
    EXPECT_TRUE(IsDynamicMemory(base));
    EXPECT_SOUND(heap);

    uint8_t *other = (uint8_t *)heap.AllocMem(20);
    EXPECT_EQ(base + kSmallFirstBlock + 8, other);
    EXPECT_EQ(nullptr, VR_Test::FreeList(heap, 0));
    EXPECT_EQ(nullptr, p->next);
    EXPECT_EQ(65536u - kSmallFirstBlock - 32, p->uncarved);
    EXPECT_EQ(1u, p->usedCount);
    EXPECT_SOUND(heap);
}

TEST(SmallBlocks, OlderPageSetReleasedByItsLastFree)
{
    VR_Heap heap(0);
    // 63 blocks of the 1024-byte class fill a page set.
    static void *blocks[63];
    for (int i = 0; i < 63; i++) blocks[i] = heap.AllocMem(1016);
    uint8_t *oldBase = BaseOf(blocks[0]);
    void *keep = heap.AllocMem(1016);   // retires the first page set
    ASSERT_NE(oldBase, BaseOf(keep));
    for (int i = 0; i < 62; i++) VR_Heap::FreeMem(blocks[i]);
    EXPECT_TRUE(IsDynamicMemory(oldBase));
    EXPECT_SOUND(heap);
    VR_Heap::FreeMem(blocks[62]);
    EXPECT_FALSE(IsDynamicMemory(oldBase));
    EXPECT_FALSE(IsDynamicMemory(oldBase + 65535));
    EXPECT_EQ(nullptr, VR_Test::PageSets(heap)->next);
    for (int k = 0; k < VR_Heap::kSizeClassCount; k++) EXPECT_EQ(nullptr, VR_Test::FreeList(heap, k)) << k;
    EXPECT_SOUND(heap);

    // The newest page set stays even when it empties.
    VR_Heap::FreeMem(keep);
    EXPECT_TRUE(IsDynamicMemory(BaseOf(keep)));
    EXPECT_SOUND(heap);
}

TEST(SmallBlocks, ZeroInitCoversExactlyTheRequest)
{
    VR_Heap heap(VR_HEAP_ZERO_INIT);
    uint8_t *a = (uint8_t *)heap.AllocMem(104);
    EXPECT_TRUE(IsMemoryFilledWith(a, 104, 0));
    memset(a, 0xAB, 104);
    VR_Heap::FreeMem(a);
    uint8_t *b = (uint8_t *)heap.AllocMem(97);
    ASSERT_EQ(a, b);
    for (int i = 0; i < 97; i++) ASSERT_EQ(0, b[i]) << i;
    for (int i = 97; i < 104; i++) EXPECT_EQ(0xAB, b[i]) << i;
    EXPECT_SOUND(heap);
}

TEST(SmallBlocks, FreesThatMustBeIgnored)
{
    VR_Heap heap(VR_HEAP_MULTITHREADED);
    uint8_t *a = (uint8_t *)heap.AllocMem(50);
    uint8_t *b = (uint8_t *)heap.AllocMem(50);
    VR_SmallPageSet *p = SetOf(a);

    VR_Heap::FreeMem(nullptr);
    int local = 7;
    static int global = 9;
    VR_Heap::FreeMem(&local);
    VR_Heap::FreeMem(&global);
    EXPECT_EQ(7, local);
    EXPECT_EQ(9, global);
    EXPECT_EQ(2u, p->usedCount);

    // A second free of a small block changes nothing.
    VR_Heap::FreeMem(a);
    VR_Heap::FreeMem(a);
    EXPECT_EQ(1u, p->usedCount);
    EXPECT_EQ(SmallHeaderOf(a), VR_Test::FreeList(heap, VR_Test::SizeClassOf(50 + 8)));
    EXPECT_EQ(0u, FreeLinkAt(SmallHeaderOf(a), SmallHeaderOf(a)->nextFree));   // alone on its list
    EXPECT_SOUND(heap);
    EXPECT_EQ(a, heap.AllocMem(50));
    EXPECT_EQ(b + 64, heap.AllocMem(50));

    // Bypassed frees leave the block in use.
    BypassFreeing(&heap);
    VR_Heap::FreeMem(b);
    EXPECT_EQ(3u, p->usedCount);
    VR_Test::BypassFree(heap) = 0;
    VR_Test::GlobalBypassFree() = 1;
    VR_Heap::FreeMem(b);
    VR_Test::GlobalBypassFree() = 0;
    EXPECT_EQ(3u, p->usedCount);
    EXPECT_SOUND(heap);
}

/* Every block a general heap hands out is aligned as the platform's C
   runtime aligns its blocks (8 bytes on Windows, 16 on 32-bit Linux):
   small blocks of every class, also pieces of cut tails and reused blocks;
   big blocks split from chunks, in a page set of their own, grown, shrunk
   and moved; direct blocks; with and without a thread cache in front. */
TEST(SmallBlocks, EveryBlockHasTheBlockAlignment)
{
    auto aligned = [](const void *p) { return p && (uintptr_t)p % kBlockAlignment == 0; };
    VR_Heap plain(0), shared(VR_HEAP_MULTITHREADED);
    for (VR_Heap *h : {&plain, &shared}) {
        if (h == &shared) VR_Test::BindThreadCache(shared);
        // Every request size twice over: about 1 MB, so page sets fill up,
        // their tails are cut and the pieces handed out again.
        static void *small[2 * 1017];
        for (uint32_t i = 0; i < 2 * 1017; i++) {
            small[i] = h->AllocMem(i % 1017);
            ASSERT_TRUE(aligned(small[i])) << i % 1017;
        }
        for (int k = 0; k < VR_Test::SizeClassesInUse(); k++)
            for (VR_BlockHeader *b = VR_Test::FreeList(*h, k); b; b = (VR_BlockHeader *)FreeLinkAt(b, b->nextFree))
                ASSERT_TRUE(aligned((uint8_t *)b + 8)) << "free piece of class " << k;
        for (uint32_t i = 0; i < 2 * 1017; i += 3) VR_Heap::FreeMem(small[i]);
        for (uint32_t i = 0; i < 2 * 1017; i += 3) ASSERT_TRUE(aligned(small[i] = h->AllocMem(1016 - i % 1017)));

        static void *big[64];
        for (uint32_t i = 0; i < 64; i++) ASSERT_TRUE(aligned(big[i] = h->AllocMem(1017 + 997 * i))) << i;
        void *huge = h->AllocMem(2000000);
        ASSERT_TRUE(aligned(huge));
        for (uint32_t i = 0; i < 64; i += 2) VR_Heap::FreeMem(big[i]);
        for (uint32_t i = 0; i < 64; i += 2) ASSERT_TRUE(aligned(big[i] = h->AllocMem(1017 + 333 * i))) << i;
        for (uint32_t i = 0; i < 64; i += 3) {
            ASSERT_TRUE(aligned(big[i] = h->Realloc(big[i], 1100 + 2500 * i, 0))) << i;
            ASSERT_TRUE(aligned(big[i] = h->Realloc(big[i], 1017 + 50 * i, 0))) << i;
        }

        void *direct[4];
        const uint32_t sizes[4] = {0, 100, 5000, 70000};
        for (int i = 0; i < 4; i++) {
            ASSERT_TRUE(aligned(direct[i] = h->AllocWithReserve(sizes[i] + 100000, sizes[i], 0))) << i;
            ASSERT_TRUE(aligned(direct[i] = h->Realloc(direct[i], sizes[i] + 50000, 0))) << i;
        }

        // And every live block as the heap itself walks them.
        int misaligned = 0;
        h->ForEach([](void *p, void *n) { *(int *)n += (uintptr_t)p % kBlockAlignment != 0; }, &misaligned);
        EXPECT_EQ(0, misaligned);
        EXPECT_SOUND(*h);
        for (void *p : small) VR_Heap::FreeMem(p);
        for (void *p : big) VR_Heap::FreeMem(p);
        for (void *p : direct) VR_Heap::FreeMem(p);
        VR_Heap::FreeMem(huge);
        EXPECT_SOUND(*h);
    }
}

TEST(SmallBlocks, ValidateNamesABrokenInvariant)
{
    VR_Heap heap(0);
    uint8_t *a = (uint8_t *)heap.AllocMem(30);
    heap.AllocMem(30);
    VR_SmallPageSet *p = SetOf(a);
    p->usedCount++;
    EXPECT_NE(nullptr, heap.Validate());
    p->usedCount--;
    SmallHeaderOf(a)->blockFlags = kBlockFree;   // marked free but on no list
    EXPECT_NE(nullptr, heap.Validate());
    SmallHeaderOf(a)->blockFlags = 0;
    EXPECT_SOUND(heap);
}

} // namespace
