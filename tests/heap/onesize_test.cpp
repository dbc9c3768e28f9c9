/*
 * onesize_test.cpp - the one-size heap: block size, cutting and committing,
 * free lists and their page-set order, giving page sets back, zero-filling,
 * bypassing, refusals, out-of-memory retry and lazy initialisation.
 */
#include <gtest/gtest.h>

#include <new>
#include <string.h>
#include <thread>
#include <vector>

#include "layout.h"
#include "os_memory.h"
#include "pages.h"
#include "system.h"
#include "vr_test.h"

namespace {

VR_OneSizePageSet *PS(const void *p) { return (VR_OneSizePageSet *)PageSetOf(p); }

int PageSetCount(VR_HeapOneSize &h)
{
    int n = 0;
    for (VR_PageSetBase *p = VR_Test::PageSets(h); p; p = p->next) n++;
    return n;
}

int FreeListLength(VR_HeapOneSize &h)
{
    int n = 0;
    for (VR_OneSizePageSet *p = VR_Test::FreePageSets(h); p; p = p->nextWithFree) n++;
    return n;
}

#define EXPECT_VALID(h) EXPECT_EQ(nullptr, (h).Validate())

} // namespace

TEST(OneSize, BlockSizeRounding)
{
    for (unsigned long n = 0; n <= 4; n++) {
        VR_HeapOneSize h(n);
        EXPECT_EQ(4u, VR_Test::BlockSize(h)) << n;
    }
    VR_HeapOneSize h5(5), h4096(4096), h4097(4097), hMax(0xFFFFFFFFu);
    EXPECT_EQ(8u, VR_Test::BlockSize(h5));
    EXPECT_EQ(4096u, VR_Test::BlockSize(h4096));
    EXPECT_EQ(4100u, VR_Test::BlockSize(h4097));
    // Rounding must not wrap to a tiny size.
    EXPECT_EQ(0u, VR_Test::BlockSize(hMax) & 3);
    EXPECT_GT(VR_Test::BlockSize(hMax), 65496u);
}

TEST(OneSize, FirstPageThenStraddlingBlock)
{
    VR_HeapOneSize h(40);
    uint8_t *first = (uint8_t *)h.Alloc();
    ASSERT_NE(nullptr, first);
    VR_OneSizePageSet *p = PS(first);
    EXPECT_EQ(p->Base() + p->firstBlock, first);
    EXPECT_EQ(p->Base() + s_pageSize, p->commitEnd);
    EXPECT_EQ(h.Validate(), nullptr);
    EXPECT_EQ(&h, p->owner);

    const uint32_t perPage = (s_pageSize - p->firstBlock) / 40;
    std::vector<uint8_t *> blocks{first};
    for (uint32_t i = 1; i < perPage; i++) blocks.push_back((uint8_t *)h.Alloc());
    EXPECT_EQ(p->Base() + s_pageSize, p->commitEnd) << "blocks of the first page need no second page";
    // Behind the header, one mark per block of the page set: 1600 bytes.
    if (s_pageSize == 4096) EXPECT_EQ(61u, perPage);

    uint8_t *straddle = (uint8_t *)h.Alloc();
    EXPECT_EQ(first + perPage * 40, straddle);
    EXPECT_EQ(p->Base() + 2 * s_pageSize, p->commitEnd);
    EXPECT_LT(straddle, p->Base() + s_pageSize);
    memset(straddle, 0x5A, 40); // both pages are writable
    EXPECT_EQ(perPage + 1, p->usedCount);
    EXPECT_EQ(1, PageSetCount(h));
    EXPECT_VALID(h);
}

TEST(OneSize, FullPageSetLeavesItsTailAndStartsAnother)
{
    VR_HeapOneSize h(1000);
    std::vector<uint8_t *> blocks;
    for (int i = 0; i < 65; i++) blocks.push_back((uint8_t *)h.Alloc());
    VR_OneSizePageSet *p = PS(blocks[0]);
    for (int i = 0; i < 65; i++) ASSERT_EQ(p->Base() + p->firstBlock + 1000 * i, blocks[i]);
    uint8_t *next = (uint8_t *)h.Alloc();
    ASSERT_NE(nullptr, next);
    EXPECT_NE(p, PS(next));
    EXPECT_EQ(PS(next)->Base() + PS(next)->firstBlock, next);
    EXPECT_EQ(p->regionEnd, p->commitEnd);
    EXPECT_EQ(416u, p->uncarved) << "the tail of a full page set is never cut";
    EXPECT_EQ(2, PageSetCount(h));
    EXPECT_EQ((VR_PageSetBase *)PS(next), VR_Test::PageSets(h)) << "newest page set heads the list";
    EXPECT_VALID(h);
}

TEST(OneSize, LargestBlockFillsOnePageSet)
{
    VR_HeapOneSize h(65480);
    uint8_t *a = (uint8_t *)h.Alloc(), *b = (uint8_t *)h.Alloc();
    ASSERT_TRUE(a && b);
    EXPECT_NE(PS(a), PS(b));
    memset(a, 1, 65480);
    EXPECT_EQ(0u, PS(a)->uncarved);
    EXPECT_VALID(h);
}

TEST(OneSize, OversizeBlockSizeRefusedAtOnce)
{
    static int s_calls;
    s_calls = 0;
    uint32_t reserves = VR_FaultCalls(vr_os::kFaultReserve);
    for (unsigned long size : {65481ul, 65500ul, 100000ul, 0xFFFFFFFFul}) {
        VR_HeapOneSize h(size);
        // A handler that always promises memory would make a retrying
        // allocation loop for ever.
        h.SetNewHandler([]() { s_calls++; return 1; });
        EXPECT_EQ(nullptr, h.Alloc()) << size;
        EXPECT_EQ(nullptr, h.AllocMem(4)) << size;
        EXPECT_EQ(nullptr, VR_Test::PageSets(h));
        EXPECT_VALID(h);
    }
    EXPECT_EQ(0, s_calls);
    EXPECT_EQ(reserves, VR_FaultCalls(vr_os::kFaultReserve));
}

TEST(OneSize, RequestSizeOtherThanBlockSize)
{
    VR_HeapOneSize h(40, VR_HEAP_ZERO_INIT);
    uint8_t *a = (uint8_t *)h.Alloc();
    memset(a, 0xEE, 40);
    // Larger than a block: refused, nothing cut.
    uint32_t uncarved = PS(a)->uncarved;
    EXPECT_EQ(nullptr, h.AllocMem(41));
    EXPECT_EQ(nullptr, h.AllocMem(0xFFFFFFFFu));
    EXPECT_EQ(uncarved, PS(a)->uncarved);
    // Smaller: a whole block, the next one still a block further on, and
    // only the requested bytes zeroed.
    uint8_t *b = (uint8_t *)h.AllocMem(8);
    ASSERT_EQ(a + 40, b);
    memset(b, 0xEE, 40);
    uint8_t *c = (uint8_t *)h.AllocMem(0);
    EXPECT_EQ(b + 40, c);
    h.FreeMem(b);
    memset(b + 4, 0xEE, 36);
    EXPECT_EQ(b, h.AllocMem(12));
    for (int i = 0; i < 12; i++) EXPECT_EQ(0, b[i]);
    for (int i = 12; i < 40; i++) EXPECT_EQ(0xEE, b[i]);
    EXPECT_VALID(h);
}

TEST(OneSize, FreedBlocksComeBackLastFirst)
{
    VR_HeapOneSize h(24);
    void *a = h.Alloc(), *b = h.Alloc(), *c = h.Alloc();
    h.Free(a);
    h.Free(c);
    EXPECT_VALID(h);
    EXPECT_EQ(1, FreeListLength(h));
    EXPECT_EQ(c, h.Alloc());
    EXPECT_EQ(a, h.Alloc());
    EXPECT_EQ(nullptr, VR_Test::FreePageSets(h));
    EXPECT_EQ((uint8_t *)c + 24, h.Alloc()) << "then cutting resumes";
    EXPECT_EQ(4u, PS(b)->usedCount);
    h.FreeMem(nullptr);
    EXPECT_VALID(h);
}

TEST(OneSize, PageSetsReusedInOrderOfLastGainingAFreeBlock)
{
    VR_HeapOneSize h(1000);
    std::vector<void *> set[3];
    for (auto &s : set)
        for (int i = 0; i < 65; i++) s.push_back(h.Alloc());
    void *extra = h.Alloc(); // a fourth page set, being cut
    ASSERT_EQ(4, PageSetCount(h));

    h.Free(set[0][3]);
    h.Free(set[1][7]);
    h.Free(set[2][9]);
    h.Free(set[0][4]); // A already had a free block: it keeps its place
    EXPECT_VALID(h);
    EXPECT_EQ(3, FreeListLength(h));
    EXPECT_EQ(set[2][9], h.Alloc());
    EXPECT_EQ(set[1][7], h.Alloc());
    EXPECT_EQ(set[0][4], h.Alloc());
    EXPECT_VALID(h);
    h.Free(set[1][0]); // B regains a free block and goes in front of A
    EXPECT_EQ(set[1][0], h.Alloc());
    EXPECT_EQ(set[0][3], h.Alloc());
    EXPECT_EQ((uint8_t *)extra + 1000, h.Alloc());
    EXPECT_VALID(h);
}

TEST(OneSize, EmptyPageSetReleasedOnlyWhileAnotherHasFreeBlocks)
{
    VR_HeapOneSize h(1000);
    std::vector<void *> a, b;
    for (int i = 0; i < 65; i++) a.push_back(h.Alloc());
    for (int i = 0; i < 3; i++) b.push_back(h.Alloc());
    VR_OneSizePageSet *pa = PS(a[0]), *pb = PS(b[0]);

    // No other page set has free blocks: the emptied one stays, alone on
    // the list of page sets with free blocks.
    for (void *p : b) h.Free(p);
    EXPECT_EQ(2, PageSetCount(h));
    EXPECT_EQ(pb, VR_Test::FreePageSets(h));
    EXPECT_EQ(nullptr, pb->nextWithFree);
    EXPECT_EQ(0u, pb->usedCount);
    EXPECT_VALID(h);

    // Now B holds free blocks: emptying A gives A back.
    for (void *p : a) h.Free(p);
    EXPECT_EQ(1, PageSetCount(h));
    EXPECT_EQ((VR_PageSetBase *)pb, VR_Test::PageSets(h));
    EXPECT_EQ(pb, VR_Test::FreePageSets(h));
    EXPECT_FALSE(IsLibraryMemory(pa));
    EXPECT_VALID(h);

    // The newest page set goes too when an older one has free blocks.
    std::vector<void *> c;
    for (int i = 0; i < 70; i++) c.push_back(h.Alloc());
    ASSERT_EQ(2, PageSetCount(h));
    VR_OneSizePageSet *pc = PS(c.back());
    ASSERT_NE(pb, pc);
    h.Free(c[0]); // B (older) gets a free block
    for (int i = 65; i < 70; i++) h.Free(c[i]);
    EXPECT_EQ(1, PageSetCount(h));
    EXPECT_EQ((VR_PageSetBase *)pb, VR_Test::PageSets(h));
    EXPECT_VALID(h);
    // Cutting resumes in a new page set once B's free block is used.
    EXPECT_EQ(c[0], h.Alloc());
    void *n = h.Alloc();
    EXPECT_EQ(PS(n)->Base() + PS(n)->firstBlock, n);
    EXPECT_VALID(h);
}

TEST(OneSize, ZeroInitCoversTheFreeListLink)
{
    VR_HeapOneSize h(32, VR_HEAP_ZERO_INIT);
    uint8_t *a = (uint8_t *)h.Alloc(), *b = (uint8_t *)h.Alloc();
    for (int i = 0; i < 32; i++) ASSERT_EQ(0, a[i]);
    memset(a, 0xAB, 32);
    memset(b, 0xCD, 32);
    h.Free(a);
    h.Free(b); // b's first word now links to a
    ASSERT_NE(0u, *(uint32_t *)b);
    EXPECT_EQ(b, h.Alloc());
    for (int i = 0; i < 32; i++) EXPECT_EQ(0, b[i]) << i;
    EXPECT_EQ(a, h.Alloc());
    for (int i = 0; i < 32; i++) EXPECT_EQ(0, a[i]) << i;
    EXPECT_VALID(h);
}

TEST(OneSize, BypassFreeingOneHeapNotGlobally)
{
    VR_HeapOneSize h(16), other(16);
    void *a = h.Alloc(), *b = other.Alloc();
    BypassFreeing(nullptr);
    other.Free(b);
    VR_Test::GlobalBypassFree() = 0; // the switch is process-wide
    EXPECT_EQ(0u, PS(b)->usedCount) << "the global switch does not reach one-size heaps";
    EXPECT_EQ(b, other.Alloc());

    BypassFreeing(&h);
    h.Free(a);
    EXPECT_EQ(1u, PS(a)->usedCount);
    EXPECT_EQ(nullptr, VR_Test::FreePageSets(h));
    EXPECT_NE(a, h.Alloc());
    EXPECT_VALID(h);
    EXPECT_VALID(other);

    VR_HeapOneSize flagged(16, VR_HEAP_BYPASS_FREEING);
    void *c = flagged.Alloc();
    flagged.Free(c);
    EXPECT_EQ(1u, PS(c)->usedCount);
}

TEST(OneSize, ClearStartsAfresh)
{
    VR_HeapOneSize h(1000);
    std::vector<void *> v;
    for (int i = 0; i < 140; i++) v.push_back(h.Alloc());
    h.Free(v[5]);
    h.Clear();
    EXPECT_EQ(nullptr, VR_Test::PageSets(h));
    EXPECT_EQ(nullptr, VR_Test::FreePageSets(h));
    EXPECT_EQ(1000u, VR_Test::BlockSize(h));
    EXPECT_VALID(h);
    uint8_t *a = (uint8_t *)h.Alloc();
    EXPECT_EQ(PS(a)->Base() + PS(a)->firstBlock, a);
    EXPECT_EQ(1, PageSetCount(h));
    EXPECT_EQ(1u, PS(a)->usedCount);
    EXPECT_VALID(h);
}

TEST(OneSize, DestructorGivesPageSetsBack)
{
    void *block;
    {
        VR_HeapOneSize h(64);
        block = h.Alloc();
        ASSERT_TRUE(IsLibraryMemory(block));
    }
    EXPECT_FALSE(IsLibraryMemory(block));
}

TEST(OneSize, RetriesAfterRecoveryAndFailsCleanly)
{
    static int s_calls;
    s_calls = 0;
    VR_HeapOneSize h(40, VR_HEAP_NO_STD_NEW_HANDLER);
    // One more page cannot be committed at first; the handler frees nothing
    // but says "try again" once.
    std::vector<void *> v{h.Alloc()};
    const uint32_t perPage = (s_pageSize - PS(v[0])->firstBlock) / 40;
    for (uint32_t i = 1; i < perPage; i++) v.push_back(h.Alloc());
    h.SetNewHandler([]() { return s_calls++ == 0 ? 1 : 0; });
    // Recovery gives this thread's cached blocks back first; none are left.
    VR_Test::FlushThreadCache();
    VR_SetFault(vr_os::kFaultCommit, 1, 1);
    void *b = h.Alloc();
    VR_SetFault(vr_os::kFaultCommit, 0, 0);
    EXPECT_EQ(1, s_calls);
    EXPECT_EQ((uint8_t *)v.back() + 40, b);
    EXPECT_VALID(h);

    // A new page set cannot be had and the handler gives up: null, and the
    // heap is as it was.
    VR_HeapOneSize g(65000, VR_HEAP_NO_STD_NEW_HANDLER);
    void *first = g.Alloc();
    ASSERT_NE(nullptr, first);
    s_calls = 1;
    g.SetNewHandler([]() { s_calls++; return 0; });
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFFu);
    VR_SetFault(vr_os::kFaultCommit, 1, 0xFFFFFFFFu);
    void *none = g.Alloc();
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    VR_SetFault(vr_os::kFaultCommit, 0, 0);
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(2, s_calls);
    EXPECT_EQ(1, PageSetCount(g));
    EXPECT_VALID(g);
    EXPECT_NE(nullptr, g.Alloc());
    EXPECT_VALID(g);
}

namespace {
// All zero before construction, as a heap in static storage is.
alignas(VR_HeapOneSize) unsigned char s_lazyStorage[sizeof(VR_HeapOneSize)];
}

TEST(OneSize, LazyHeapKeepsItsBlockSizeWhenConstructed)
{
    VR_HeapOneSize &h = *(VR_HeapOneSize *)s_lazyStorage;
    uint8_t *a = (uint8_t *)h.AllocMem(22);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(24u, VR_Test::BlockSize(h));
    EXPECT_TRUE(VR_Test::Flags(h) & VR_HEAP_STATIC);
    EXPECT_TRUE(VR_Test::Flags(h) & VR_HEAP_ZERO_INIT);
    EXPECT_EQ(1, h.IsMultithreaded());
    for (int i = 0; i < 24; i++) EXPECT_EQ(0, a[i]);
    uint8_t *b = (uint8_t *)h.AllocMem(24);
    EXPECT_EQ(a + 24, b);
    h.Free(a);

    ::new (s_lazyStorage) VR_HeapOneSize(100);
    EXPECT_EQ(24u, VR_Test::BlockSize(h)) << "the size the blocks were cut with stays";
    EXPECT_EQ(PS(a), VR_Test::FreePageSets(h));
    EXPECT_EQ(0, h.IsMultithreaded());
    EXPECT_FALSE(VR_Test::Flags(h) & VR_HEAP_ZERO_INIT);
    EXPECT_EQ(a, h.Alloc());
    EXPECT_VALID(h);

    // A static heap keeps its memory when destroyed, and still frees.
    h.~VR_HeapOneSize();
    EXPECT_TRUE(IsLibraryMemory(b));
    h.Free(b);
    EXPECT_VALID(h);
    h.VR_HeapOneSize::Clear();
    EXPECT_FALSE(IsLibraryMemory(b));
}

TEST(OneSize, ValidateNamesBrokenInvariants)
{
    VR_HeapOneSize h(40);
    uint8_t *a = (uint8_t *)h.Alloc();
    h.Alloc();
    VR_OneSizePageSet *p = PS(a);
    p->usedCount++;
    EXPECT_NE(nullptr, h.Validate());
    p->usedCount--;
    p->freeOffset = 44; // not on a block boundary
    EXPECT_NE(nullptr, h.Validate());
    p->freeOffset = 0;
    VR_Test::FreePageSets(h) = p; // listed without a free block
    EXPECT_NE(nullptr, h.Validate());
    VR_Test::FreePageSets(h) = nullptr;
    EXPECT_VALID(h);
}

TEST(OneSize, ThreadsShareALockedHeap)
{
    VR_HeapOneSize h(48, VR_HEAP_MULTITHREADED);
    auto work = [&h](int seed) {
        std::vector<uint8_t *> live;
        for (int i = 0; i < 20000; i++) {
            if (live.size() < 300 && ((i * 7 + seed) % 5) < 3) {
                uint8_t *p = (uint8_t *)h.Alloc();
                if (!p) continue;
                memset(p, seed, 48);
                live.push_back(p);
            } else if (!live.empty()) {
                uint8_t *p = live[(i + seed) % live.size()];
                for (int k = 0; k < 48; k++)
                    if (p[k] != seed) { ADD_FAILURE() << "block shared between threads"; return; }
                h.Free(p);
                live[(i + seed) % live.size()] = live.back();
                live.pop_back();
            }
        }
        for (uint8_t *p : live) h.Free(p);
    };
    std::thread t1(work, 1), t2(work, 2);
    t1.join();
    t2.join();
    EXPECT_VALID(h);
}
