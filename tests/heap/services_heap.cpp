/*
 * services_heap.cpp - the general heap's services: zeroing and array
 * allocation, reallocation of small blocks, direct blocks and their growth
 * inside their reservation, iteration order, clearing and destruction.
 */
#include <gtest/gtest.h>

#include <string.h>
#include <vector>

#include "layout.h"
#include "os_memory.h"
#include "pages.h"
#include "vr_test.h"

namespace {

#define EXPECT_VALID(h) EXPECT_EQ(nullptr, (h).Validate())

int s_oomCalls;
int RefusingHandler()
{
    s_oomCalls++;
    return 0;
}

void DropEmergencyReserve(VR_Heap &h)
{
    void (*callback)() = VR_Test::EmergencyCallback();
    VR_Test::EmergencyCallback() = 0;
    if (VR_Test::EmergencyReserve()) VR_Test::HandleOutOfMemory(h);
    VR_Test::EmergencyCallback() = callback;
}

void Collect(void *block, void *context)
{
    ((std::vector<void *> *)context)->push_back(block);
}

int s_predicateCalls;
int Never(void *, void *)
{
    s_predicateCalls++;
    return 0;
}

VR_Heap *s_sizedHeap;
int SizeIs(void *block, void *context)
{
    return s_sizedHeap->GetBlockSize(block) == *(unsigned long *)context;
}

} // namespace

TEST(HeapServices, ZeroedAllocationsOverReusedBlocks)
{
    VR_Heap h;
    uint8_t *p = (uint8_t *)h.AllocMem(10);
    memset(p, 0xFF, 16);
    h.FreeMem(p);
    uint8_t *q = (uint8_t *)h.Alloc(10, 1);
    ASSERT_EQ(p, q);  // same class (24 or 32 bytes), reused
    EXPECT_TRUE(IsMemoryFilledWith(q, 10, 0));
    EXPECT_EQ(0xFF, q[10]);  // only the request is zeroed

    uint8_t *r = (uint8_t *)h.AllocMem(15);
    memset(r, 0xFF, 15);
    h.FreeMem(r);
    uint8_t *s = (uint8_t *)h.AllocArray(3, 5, 1);
    ASSERT_EQ(r, s);
    EXPECT_EQ(15u, h.GetBlockSize(s));
    EXPECT_TRUE(IsMemoryFilledWith(s, 15, 0));

    uint8_t *b = (uint8_t *)h.AllocMem(5000);
    memset(b, 0xAA, 5000);
    h.FreeMem(b);
    uint8_t *c = (uint8_t *)h.AllocArray(100, 40, 1);
    ASSERT_EQ(b, c);
    EXPECT_TRUE(IsMemoryFilledWith(c, 4000, 0));
    EXPECT_NE(nullptr, h.AllocArray(0, 7, 1));
    EXPECT_VALID(h);
}

TEST(HeapServices, SmallBlockReallocation)
{
    VR_Heap h;
    uint8_t *p = (uint8_t *)h.AllocMem(100);
    for (int i = 0; i < 100; i++) p[i] = (uint8_t)i;
    EXPECT_EQ(p, h.Realloc(p, 104, 0));  // 104 + 8 still fits class 112
    EXPECT_EQ(104u, h.GetBlockSize(p));
    uint8_t *q = (uint8_t *)h.Realloc(p, 105, 0);
    ASSERT_NE(nullptr, q);
    EXPECT_NE(p, q);
    // The next class up: 120 bytes, or 128 where classes step by 16 here.
    EXPECT_EQ(AlignUp(105 + 8), VR_Test::SizeClass(SmallHeaderOf(q)->sizeClass));
    for (int i = 0; i < 100; i++) ASSERT_EQ(i, q[i]);
    EXPECT_EQ(kBlockFree, p[-1] & kBlockFree);  // the old block went back
    EXPECT_EQ(q, h.Realloc(q, 0, 0));
    EXPECT_EQ(0u, h.GetBlockSize(q));
    EXPECT_VALID(h);

    // Growing past the small limit makes it a big block.
    uint8_t *b = (uint8_t *)h.Realloc(q, 1017, 0);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(1, b[-1]);
    EXPECT_EQ(1017u, h.GetBlockSize(b));
    EXPECT_VALID(h);

    // A small block moved through another heap lands in that heap.
    VR_Heap other;
    uint8_t *s = (uint8_t *)h.AllocMem(20);
    memcpy(s, "twenty bytes of text", 20);
    uint8_t *t = (uint8_t *)other.Realloc(s, 500, 0);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(&other, ((VR_SmallPageSet *)PageSetOf(t))->owner);
    EXPECT_EQ(0, memcmp(t, "twenty bytes of text", 20));
    EXPECT_VALID(h);
    EXPECT_VALID(other);

    EXPECT_EQ(nullptr, h.Realloc(nullptr, 10, 0));
    EXPECT_EQ(0u, h.GetBlockSize(nullptr));
}

TEST(HeapServices, ZeroInitHeapZeroesGrownBytes)
{
    VR_Heap h(VR_HEAP_ZERO_INIT);
    uint8_t *p = (uint8_t *)h.AllocMem(50);
    memset(p, 0xCD, 56);  // the whole 64-byte class past the header
    EXPECT_EQ(p, h.Realloc(p, 56, 0));
    EXPECT_TRUE(IsMemoryFilledWith(p, 50, 0xCD));
    EXPECT_TRUE(IsMemoryFilledWith(p + 50, 6, 0));

    uint8_t *b = (uint8_t *)h.AllocMem(10000);
    memset(b, 0xCD, 10000);
    EXPECT_EQ(b, h.Realloc(b, 9000, 0));
    memset(b, 0xCD, 10000);  // the chunk still holds these bytes
    EXPECT_EQ(b, h.Realloc(b, 10000, 0));
    EXPECT_TRUE(IsMemoryFilledWith(b, 9000, 0xCD));
    EXPECT_TRUE(IsMemoryFilledWith(b + 9000, 1000, 0));

    VR_Heap plain;
    uint8_t *d = (uint8_t *)plain.AllocWithReserve(100000, 100, 0);
    memset(d, 0xCD, 4000);
    EXPECT_EQ(d, plain.Realloc(d, 200, 0));
    EXPECT_EQ(d, plain.Realloc(d, 30000, 1));
    EXPECT_TRUE(IsMemoryFilledWith(d, 200, 0xCD));
    EXPECT_TRUE(IsMemoryFilledWith(d + 200, 30000 - 200, 0));
    EXPECT_VALID(h);
    EXPECT_VALID(plain);
}

TEST(HeapServices, DirectBlockGrowsInsideItsReservation)
{
    VR_Heap h(VR_HEAP_NO_STD_NEW_HANDLER);
    DropEmergencyReserve(h);
    h.SetNewHandler(RefusingHandler);
    uint8_t *p = (uint8_t *)h.AllocWithReserve(0, 100, 0);
    ASSERT_NE(nullptr, p);
    uint8_t *base = (uint8_t *)PageSetOf(p);
    EXPECT_EQ(base + 48, p);
    VR_VirtualHeader *v = (VR_VirtualHeader *)base;
    EXPECT_EQ(65536u, v->reservedBytes);
    EXPECT_EQ(4096u, v->committedBytes);
    EXPECT_EQ(100u, h.GetBlockSize(p));
    EXPECT_EQ(1u, AltHeaderOf(p)->direct);
    EXPECT_EQ(1, p[-1]);
    EXPECT_TRUE(IsDynamicMemory(p));
    EXPECT_EQ(1u, VR_Test::DirectCount(h));
    EXPECT_EQ(AltHeaderOf(p), VR_Test::BigBlocks(h));
    memset(p, 0x21, 100);
    EXPECT_VALID(h);

    EXPECT_EQ(p, h.Realloc(p, 65488, 0));
    EXPECT_EQ(65536u, v->committedBytes);
    EXPECT_EQ(65488u, h.GetBlockSize(p));
    s_oomCalls = 0;
    EXPECT_EQ(nullptr, h.Realloc(p, 65489, 0));
    EXPECT_EQ(1, s_oomCalls);
    EXPECT_EQ(65488u, h.GetBlockSize(p));
    EXPECT_TRUE(IsMemoryFilledWith(p, 100, 0x21));
    // Shrinking gives pages back and keeps the address.
    EXPECT_EQ(p, h.Realloc(p, 10, 0));
    EXPECT_EQ(4096u, v->committedBytes);
    EXPECT_VALID(h);

    uint8_t *q = (uint8_t *)h.AllocWithReserve(0x100000, 100, 1);
    ASSERT_NE(nullptr, q);
    v = (VR_VirtualHeader *)(q - 48);
    EXPECT_EQ(1114112u, v->reservedBytes);
    EXPECT_TRUE(IsMemoryFilledWith(q, 100, 0));
    EXPECT_EQ(q, h.Realloc(q, 1114064, 1));
    EXPECT_EQ(nullptr, h.Realloc(q, 1114065, 1));
    EXPECT_EQ(2u, VR_Test::DirectCount(h));
    EXPECT_VALID(h);

    h.FreeMem(p);
    EXPECT_FALSE(IsDynamicMemory(p));
    EXPECT_EQ(1u, VR_Test::DirectCount(h));
    EXPECT_EQ(AltHeaderOf(q), VR_Test::BigBlocks(h));
    EXPECT_VALID(h);

    // A refused reservation fails at once, without recovery.
    s_oomCalls = 0;
    VR_SetFault(vr_os::kFaultReserve, 1, 1);
    EXPECT_EQ(nullptr, h.AllocWithReserve(0, 100, 0));
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    EXPECT_EQ(0, s_oomCalls);
    EXPECT_EQ(1u, VR_Test::DirectCount(h));
    EXPECT_VALID(h);
}

TEST(HeapServices, ForEachAndFindFirstThatOrder)
{
    VR_Heap h;
    s_predicateCalls = 0;
    EXPECT_EQ(nullptr, h.FindFirstThat(Never, nullptr));
    EXPECT_EQ(0, s_predicateCalls);

    void *a = h.AllocMem(40);
    void *b = h.AllocMem(40);
    void *c = h.AllocMem(40);
    void *big = h.AllocMem(2000);
    void *direct = h.AllocWithReserve(0, 30, 0);
    void *newer = h.AllocMem(3000);
    h.FreeMem(b);

    std::vector<void *> seen;
    h.ForEach(Collect, &seen);
    std::vector<void *> expected = {a, c, newer, direct, big};
    EXPECT_EQ(expected, seen);

    EXPECT_EQ(nullptr, h.FindFirstThat(Never, nullptr));
    EXPECT_EQ(5, s_predicateCalls);
    s_sizedHeap = &h;
    unsigned long want = 40;
    EXPECT_EQ(a, h.FindFirstThat(SizeIs, &want));
    want = 2000;
    EXPECT_EQ(big, h.FindFirstThat(SizeIs, &want));
    want = 30;
    EXPECT_EQ(direct, h.FindFirstThat(SizeIs, &want));

    // A moved big block is visited where it was.
    void *moved = h.Realloc(big, 200000, 0);
    ASSERT_NE(big, moved);
    seen.clear();
    h.ForEach(Collect, &seen);
    expected = {a, c, newer, direct, moved};
    EXPECT_EQ(expected, seen);
    EXPECT_VALID(h);
}

TEST(HeapServices, ClearGivesEverythingBack)
{
    VR_Heap h;
    std::vector<void *> blocks;
    for (int i = 0; i < 50; i++) blocks.push_back(h.AllocMem(i * 37));
    blocks.push_back(h.AllocMem(5000));
    blocks.push_back(h.AllocMem(2000000));
    blocks.push_back(h.AllocWithReserve(0, 100, 0));
    blocks.push_back(h.AllocWithReserve(500000, 100, 0));
    for (void *p : blocks) ASSERT_TRUE(IsDynamicMemory(p));
    EXPECT_VALID(h);

    // Frees into the heap are bypassed, yet Clear releases the direct blocks.
    BypassFreeing(&h);
    h.Clear();
    for (void *p : blocks) EXPECT_FALSE(IsDynamicMemory(p)) << p;
    EXPECT_EQ(0u, VR_Test::DirectCount(h));
    EXPECT_EQ(nullptr, VR_Test::BigBlocks(h));
    EXPECT_EQ(nullptr, VR_Test::BigPageSets(h));
    EXPECT_EQ(nullptr, VR_Test::BigFreeChunks(h));
    EXPECT_EQ(nullptr, VR_Test::PageSets(h));
    for (int k = 0; k < VR_Heap::kSizeClassCount; k++) EXPECT_EQ(nullptr, VR_Test::FreeList(h, k));
    EXPECT_VALID(h);

    // The heap goes on serving.
    void *p = h.AllocMem(100);
    EXPECT_EQ((uint8_t *)VR_Test::PageSets(h) + kSmallFirstBlock + 8, p);
    EXPECT_NE(nullptr, h.AllocMem(5000));
    EXPECT_VALID(h);
}

TEST(HeapServices, DestructionOfAHeapGivesItsMemoryBack)
{
    std::vector<void *> blocks;
    {
        VR_Heap h;  // on the stack: not static
        blocks.push_back(h.AllocMem(10));
        blocks.push_back(h.AllocMem(50000));
        blocks.push_back(h.AllocWithReserve(0, 10, 0));
    }
    for (void *p : blocks) EXPECT_FALSE(IsDynamicMemory(p));

    VR_Heap *n = new VR_Heap;
    ASSERT_NE(nullptr, n);
    void *d = n->AllocWithReserve(0, 10, 0);
    void *b = n->AllocMem(5000);
    delete n;
    EXPECT_FALSE(IsDynamicMemory(d));
    EXPECT_FALSE(IsDynamicMemory(b));
}
