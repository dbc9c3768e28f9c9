/*
 * validate_test.cpp - the whole-heap checks that every reliability program
 * leans on must see damage: each case breaks one invariant of a sound heap
 * by hand, expects Validate to name a fault, repairs it and expects a clean
 * result again. A checker that passes broken heaps would make every other
 * result of the suite worthless.
 */
#include <gtest/gtest.h>

#include "freeindex.h"
#include "vr_test.h"

namespace {

/* Breaks a word, checks that the heap notices, and puts the word back. */
template <typename Heap, typename T>
void ExpectNoticed(Heap &heap, T *where, T bad, const char *what)
{
    T saved = *where;
    *where = bad;
    const char *why = heap.Validate();
    *where = saved;
    EXPECT_NE(nullptr, why) << what << " went unnoticed";
    EXPECT_EQ(nullptr, heap.Validate()) << what << ": not sound after the repair";
}

TEST(WholeHeapCheck, SmallBlockDamageIsNoticed)
{
    VR_Heap heap(VR_HEAP_MULTITHREADED);
    uint8_t *a = (uint8_t *)heap.AllocMem(100), *b = (uint8_t *)heap.AllocMem(100), *c = (uint8_t *)heap.AllocMem(40);
    uint8_t *d = (uint8_t *)heap.AllocMem(100);
    ASSERT_TRUE(a && b && c && d);
    VR_Heap::FreeMem(b);
    VR_Heap::FreeMem(d);
    VR_Test::FlushThreadCache();   // b and d on the heap's free list, not in this thread's cache
    ASSERT_EQ(nullptr, heap.Validate());
    VR_SmallPageSet *ps = (VR_SmallPageSet *)PageSetOf(a);
    VR_BlockHeader *hb = SmallHeaderOf(b), *ha = SmallHeaderOf(a);
    ExpectNoticed(heap, &ps->usedCount, ps->usedCount + 1, "usedCount one too high");
    ExpectNoticed(heap, &ps->uncarved, ps->uncarved + kBlockAlignment, "carve point moved");
    ExpectNoticed(heap, &hb->blockFlags, (uint8_t)0, "a listed block marked in use");
    ExpectNoticed(heap, &ha->blockFlags, (uint8_t)kBlockFree, "an unlisted block marked free");
    ExpectNoticed(heap, &ha->sizeClass, (uint8_t)(ha->sizeClass + 1), "a block's class changed");
    VR_BlockHeader *first = VR_Test::FreeList(heap, hb->sizeClass);
    VR_BlockHeader *second = (VR_BlockHeader *)FreeLinkAt(first, first->nextFree);
    ASSERT_NE(nullptr, second);   // b and d at least
    ExpectNoticed(heap, &second->prevFree, ha, "a previous link to another block");
    static uint32_t elsewhere[4];
    ExpectNoticed(heap, &first->nextFree, (uint32_t)(uintptr_t)elsewhere, "a link written as a plain address");
    ExpectNoticed(heap, &VR_Test::FreeList(heap, hb->sizeClass), (VR_BlockHeader *)0, "a free block off its list");
    ExpectNoticed(heap, &ps->owner, (VR_Heap *)&DefaultHeap, "a page set naming another heap");
    VR_Heap::FreeMem(a);
    VR_Heap::FreeMem(c);
    EXPECT_EQ(nullptr, heap.Validate());
}

TEST(WholeHeapCheck, BigBlockDamageIsNoticed)
{
    VR_Heap heap(VR_HEAP_MULTITHREADED);
    uint8_t *a = (uint8_t *)heap.AllocMem(5000), *b = (uint8_t *)heap.AllocMem(7000);
    uint8_t *d = (uint8_t *)heap.AllocWithReserve(100000, 3000, 0);
    ASSERT_TRUE(a && b && d);
    ASSERT_EQ(nullptr, heap.Validate());
    VR_BigChunk *ca = (VR_BigChunk *)(a - kAltHeaderSize - kChunkHeader);
    uint32_t *trailer = (uint32_t *)((uint8_t *)ca + ca->sizeTag - 4);
    ExpectNoticed(heap, trailer, *trailer + 8, "a trailing tag that disagrees");
    ExpectNoticed(heap, &ca->sizeTag, ca->sizeTag | 1, "a chunk in use marked free");
    ExpectNoticed(heap, &AltHeaderOf(a)->heap, (VR_Heap *)&DefaultHeap, "a block naming another heap");
    ExpectNoticed(heap, &AltHeaderOf(b)->prev, (VR_AltBlock *)0, "a broken bigBlocks link");
    ExpectNoticed(heap, &VR_Test::DirectCount(heap), VR_Test::DirectCount(heap) + 1, "directCount off by one");
    VR_BigChunk *f = VR_Test::BigFreeChunks(heap);
    ASSERT_NE(nullptr, f);
    ExpectNoticed(heap, &VR_Test::BigFree(heap).chunkLists[ChunkListOf(f->sizeTag & ~1u)], (VR_BigChunk *)0,
                  "a free chunk off its list");
    VR_BigPageSet *ps = VR_Test::BigPageSets(heap);
    ExpectNoticed(heap, &ps->usedCount, ps->usedCount + 1, "usedCount of a big page set");
    VR_Heap::FreeMem(a);
    VR_Heap::FreeMem(b);
    VR_Heap::FreeMem(d);
    EXPECT_EQ(nullptr, heap.Validate());
}

TEST(WholeHeapCheck, OneSizeDamageIsNoticed)
{
    VR_HeapOneSize heap(24, VR_HEAP_MULTITHREADED);
    uint8_t *a = (uint8_t *)heap.Alloc(), *b = (uint8_t *)heap.Alloc(), *c = (uint8_t *)heap.Alloc();
    ASSERT_TRUE(a && b && c);
    VR_HeapOneSize::FreeMem(b);
    ASSERT_EQ(nullptr, heap.Validate());
    VR_OneSizePageSet *ps = (VR_OneSizePageSet *)PageSetOf(a);
    ExpectNoticed(heap, &ps->usedCount, ps->usedCount + 1, "usedCount one too high");
    ExpectNoticed(heap, &ps->freeOffset, ps->freeOffset + 4, "a free offset off a block boundary");
    ExpectNoticed(heap, (uint32_t *)b, FreeLinkAt((void *)(b - (uint8_t *)ps), (uint32_t)(a - (uint8_t *)ps)),
                  "a free list that loops into a live block");
    ExpectNoticed(heap, (uint32_t *)b, (uint32_t)(a - (uint8_t *)ps), "a link written as a plain offset");
    ExpectNoticed(heap, &VR_Test::FreePageSets(heap), (VR_OneSizePageSet *)0, "a page set with free blocks off the list");
    ExpectNoticed(heap, &ps->owner, (VR_HeapOneSize *)0, "a page set without its owner");
    VR_HeapOneSize::FreeMem(a);
    VR_HeapOneSize::FreeMem(c);
    EXPECT_EQ(nullptr, heap.Validate());
}

TEST(WholeHeapCheck, ReleasedMemoryStillListedIsNoticed)
{
    VR_Heap heap(VR_HEAP_MULTITHREADED);
    void *a = heap.AllocMem(100);
    ASSERT_NE(nullptr, a);
    /* The page set's region-map bit cleared while the heap still lists it. */
    uintptr_t base = (uintptr_t)PageSetOf(a);
    uint8_t *byte = &s_regionMap[base >> 19];
    ExpectNoticed(heap, byte, (uint8_t)(*byte & ~(1u << ((base >> 16) & 7))), "a page set outside library memory");
    VR_Heap::FreeMem(a);
}

} // namespace
