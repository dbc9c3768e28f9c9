/*
 * cache_test.cpp - what callers can observe of the thread cache: freed
 * blocks never show, sizes are the last requested, Clear reaches other
 * threads' caches, ending threads give their blocks (and their records)
 * back, the bounds and
 * out-of-memory order, bad frees, the checker, heaps without a lock, and
 * frees from other threads without the heap's lock.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "os_lock.h"
#include "os_memory.h"
#include "pages.h"
#include "vr_test.h"

namespace {

#define EXPECT_VALID(h) EXPECT_EQ(nullptr, (h).Validate())

void Count(void *, void *context) { ++*(int *)context; }
int Walk(VR_Heap &h)
{
    int n = 0;
    h.ForEach(Count, &n);
    return n;
}

unsigned long Waiting(VR_Heap &h)
{
    unsigned long small[VR_Heap::kSizeClassCount], big = 0;
    vr_cache::Totals(&h, small, &big, 0);
    for (unsigned long n : small) big += n;
    return big;
}

/* Holds h's lock while another thread, told by step = 2, does its work and
   sets step = 3; expects it to finish within 10 s without the lock. */
void ExpectDoneWhileLocked(VR_AHeap &h, std::atomic<int> &step)
{
    vr_os::LockEnter(&VR_Test::Lock(h));
    step = 2;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (step != 3 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    EXPECT_EQ(3, step.load());
    vr_os::LockLeave(&VR_Test::Lock(h));
}

/* Runs fn on a thread of its own and waits for it. */
template <class F> void OnThread(F fn)
{
    std::thread t(fn);
    t.join();
}

TEST(ThreadCache, FreedBlocksNeverShowAndSizesAreTheLastRequested)
{
    VR_Heap h(VR_HEAP_MULTITHREADED);
    VR_Test::BindThreadCache(h);
    void *small = h.AllocMem(100), *big = h.AllocMem(5000);
    void *keep = h.AllocMem(40);
    ASSERT_TRUE(small && big && keep);
    VR_Heap::FreeMem(small);
    VR_Heap::FreeMem(big);
    EXPECT_GE(Waiting(h), 2u);                 // both wait in this thread's cache
    EXPECT_EQ(1, Walk(h));
    EXPECT_EQ(keep, h.FindFirstThat([](void *, void *) { return 1; }, 0));
    EXPECT_EQ(nullptr, h.Realloc(small, 50, 0));   // a freed block is no block
    EXPECT_VALID(h);

    void *again = h.AllocMem(97), *bigAgain = h.AllocMem(4500);   // same classes
    EXPECT_EQ(small, again);                   // taken back from the cache...
    EXPECT_EQ(big, bigAgain);
    EXPECT_EQ(97u, h.GetBlockSize(again));     // ...with the size asked now
    EXPECT_EQ(4500u, h.GetBlockSize(bigAgain));
    EXPECT_EQ(3, Walk(h));
    EXPECT_VALID(h);
}

TEST(ThreadCache, BadFreesStayHarmless)
{
    VR_Heap h(VR_HEAP_MULTITHREADED);
    VR_Test::BindThreadCache(h);
    uint8_t *a = (uint8_t *)h.AllocMem(64), *b = (uint8_t *)h.AllocMem(3000);
    unsigned long waiting = Waiting(h);
    VR_Heap::FreeMem(a);
    VR_Heap::FreeMem(a);                       // second free: no seal any more
    VR_Heap::FreeMem(b);
    VR_Heap::FreeMem(b);
    VR_Heap::FreeMem(b + 16);                  // interior pointers
    static int onStack;
    VR_Heap::FreeMem(&onStack);                // foreign
    EXPECT_EQ(waiting + 2, Waiting(h));        // a and b once each
    void *x = h.AllocMem(64), *y = h.AllocMem(64);
    EXPECT_NE(x, y);                           // a is handed out once only
    EXPECT_VALID(h);

    // Two threads freeing one big block at once: one of them frees it.
    std::vector<void *> seen;
    for (int round = 0; round < 200; round++) {
        void *p = h.AllocMem(2000 + round);
        std::atomic<int> go{0};
        std::thread t1([&] { while (!go) {} VR_Heap::FreeMem(p); });
        std::thread t2([&] { while (!go) {} VR_Heap::FreeMem(p); });
        go = 1;
        t1.join();
        t2.join();
    }
    EXPECT_VALID(h);
    void *c = h.AllocMem(2100), *d = h.AllocMem(2100);
    EXPECT_NE(c, d);
    EXPECT_VALID(h);
}

TEST(ThreadCache, ClearReachesOtherThreadsCaches)
{
    VR_Heap *h = new VR_Heap(VR_HEAP_MULTITHREADED);
    std::atomic<int> step{0};
    void *before = 0, *after = 0;
    std::thread t([&] {
        VR_Test::BindThreadCache(*h);          // the thread may have used malloc first
        void *p = h->AllocMem(200), *q = h->AllocMem(20000);
        before = p;
        VR_Heap::FreeMem(p);                   // waits in this thread's cache
        VR_Heap::FreeMem(q);
        step = 1;
        while (step != 2) std::this_thread::yield();
        after = h->AllocMem(200);              // must not come from the old page set's cache
        void *big = h->AllocMem(20000);
        VR_Heap::FreeMem(big);
        step = 3;
        while (step != 4) std::this_thread::yield();
    });
    while (step != 1) std::this_thread::yield();
    EXPECT_GE(Waiting(*h), 2u);
    h->Clear();
    EXPECT_FALSE(IsDynamicMemory(before));
    EXPECT_EQ(0u, Waiting(*h));
    step = 2;
    while (step != 3) std::this_thread::yield();
    EXPECT_TRUE(IsDynamicMemory(after));
    EXPECT_EQ(1, Walk(*h));
    EXPECT_VALID(*h);
    delete h;                                  // and destruction, with blocks waiting
    step = 4;
    t.join();
}

TEST(ThreadCache, EndingThreadsGiveTheirBlocksBack)
{
    VR_Heap h(VR_HEAP_MULTITHREADED);
    uint32_t regions = 0;
    unsigned long ownSpace = 0;   // the reservations of the library's own records
    VR_Stats stats;
    for (int i = 0; i < 300; i++) {
        OnThread([&h, i] {
            VR_Test::BindThreadCache(h);
            void *p[40];
            for (int k = 0; k < 40; k++) p[k] = h.AllocMem((unsigned long)(16 + (k * 37 + i) % 3000));
            for (int k = 0; k < 40; k++) VR_Heap::FreeMem(p[k]);
        });
        EXPECT_EQ(0u, Waiting(h));
        if (i == 10) {
            regions = (uint32_t)VR_Test::PageSetCount(h);
            VR_GetStats(&stats, 0, 0);
            ownSpace = stats.space[VR_SPACE_LIBRARY].reservations;
        }
    }
    EXPECT_EQ(0, Walk(h));
    EXPECT_LE((uint32_t)VR_Test::PageSetCount(h), regions + 1);
    // An ended thread's cache record is made again for the next thread.
    VR_GetStats(&stats, 0, 0);
    EXPECT_EQ(ownSpace, stats.space[VR_SPACE_LIBRARY].reservations);
    EXPECT_VALID(h);
}

TEST(ThreadCache, BoundedAndGivenBackBeforeAnyHandler)
{
    VR_Heap h(VR_HEAP_MULTITHREADED | VR_HEAP_NO_STD_NEW_HANDLER);
    VR_Test::BindThreadCache(h);
    static int s_handlerCalls;
    s_handlerCalls = 0;
    h.SetNewHandler([] { return ++s_handlerCalls, 0; });
    std::vector<void *> blocks;
    for (int i = 0; i < 5000; i++) blocks.push_back(h.AllocMem(24));
    for (int i = 0; i < 40; i++) blocks.push_back(h.AllocMem(40000));
    for (void *p : blocks) VR_Heap::FreeMem(p);
    unsigned long small[VR_Heap::kSizeClassCount], big, bigBytes;
    vr_cache::Totals(&h, small, &big, &bigBytes);
    EXPECT_LE(small[VR_Test::SizeClassOf(24 + 8)], 256u + kBatchSlots * 128u);   // the bin and the heap's batches
    EXPECT_LE(bigBytes, (unsigned long)kBigCacheBytes);
    // The frees closed the bins; allocating opens them again.
    VR_Heap::FreeMem(h.AllocMem(24));
    EXPECT_GT(Waiting(h), 0u);

    // Nothing more can be reserved or committed: the next request that the
    // cache cannot serve gives the waiting blocks back first, and is then
    // served without the heap's handler.
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFFu);
    VR_SetFault(vr_os::kFaultCommit, 1, 0xFFFFFFFFu);
    void *p = h.AllocMem(500);
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    VR_SetFault(vr_os::kFaultCommit, 0, 0);
    EXPECT_NE(nullptr, p);
    EXPECT_EQ(0, s_handlerCalls);
    EXPECT_VALID(h);
}

TEST(ThreadCache, ValidateChecksWaitingBlocks)
{
    VR_Heap h(VR_HEAP_MULTITHREADED);
    VR_Test::BindThreadCache(h);
    void *a = h.AllocMem(300), *b = h.AllocMem(3000);
    VR_Heap::FreeMem(a);
    VR_Heap::FreeMem(b);
    EXPECT_VALID(h);
    uint8_t &flags = ((uint8_t *)a)[-1];
    flags = kBlockFree;                        // looks free, but is on no free list
    EXPECT_NE(nullptr, h.Validate());
    flags = kBlockFree | kBlockCached;
    EXPECT_VALID(h);
    uint8_t &bigFlags = ((uint8_t *)b)[-1];
    bigFlags = kBlockAlt;                      // a waiting block posing as live
    EXPECT_NE(nullptr, h.Validate());
    bigFlags = kBlockAlt | kBlockFree | kBlockCached;
    void *link = *(void **)a;
    *(void **)a = b;                           // a bin linked into another class
    EXPECT_NE(nullptr, h.Validate());
    *(void **)a = link;
    EXPECT_VALID(h);
}

/* Blocks one thread frees in bulk reach another thread's allocations as
   whole batches: counted, checked, taken whole, and forgotten by Clear. */
TEST(ThreadCache, BatchesCrossBetweenThreads)
{
    VR_Heap h(VR_HEAP_MULTITHREADED);
    VR_Test::BindThreadCache(h);
    std::vector<void *> blocks;
    for (int i = 0; i < 2000; i++) blocks.push_back(h.AllocMem(24));
    VR_Test::FlushThreadCache();               // this thread's bin is empty
    OnThread([&] {
        VR_Test::BindThreadCache(h);
        for (void *p : blocks) VR_Heap::FreeMem(p);
    });
    unsigned long batched = Waiting(h);        // the freeing thread has ended: only batches wait
    EXPECT_GT(batched, 0u);
    EXPECT_LE(batched, kBatchSlots * 128u);
    EXPECT_VALID(h);
    VR_Test::BindThreadCache(h);
    unsigned long before = Waiting(h);
    void *p = h.AllocMem(20);                  // a whole batch comes to this thread's bin
    EXPECT_NE(blocks.end(), std::find(blocks.begin(), blocks.end(), p));
    EXPECT_EQ(before - 1, Waiting(h));
    EXPECT_VALID(h);
    // Damage in a batch shows: find a batched block (waiting, not in this
    // thread's bin) by its flags.
    void *batchedBlock = 0;
    for (void *q : blocks)
        if (q != p && ((uint8_t *)q)[-1] == (kBlockFree | kBlockCached)) batchedBlock = q;
    ASSERT_NE(nullptr, batchedBlock);
    ((uint8_t *)batchedBlock)[-1] = kBlockFree;
    EXPECT_NE(nullptr, h.Validate());
    ((uint8_t *)batchedBlock)[-1] = kBlockFree | kBlockCached;
    h.Clear();
    EXPECT_EQ(0u, Waiting(h));
    EXPECT_VALID(h);
}

/* A program that frees many small blocks in no order leaves no page set
   pinned by the blocks that wait when it stops: the bins shrink and the
   batches go home while the heap's threads only free, and the big bins go
   home with them (a few chunks of 1-64 KB spread over its big page sets
   would keep megabytes). */
TEST(ThreadCache, ShuffledFreeLeavesNoPageSetPinned)
{
    VR_Heap h(VR_HEAP_MULTITHREADED);
    VR_Test::BindThreadCache(h);
    std::vector<void *> blocks;
    uint32_t x = 777;
    for (int i = 0; i < 100000; i++) {
        x = x * 1103515245u + 12345u;
        uint32_t size = 8 + (x >> 16) % 201;
        blocks.push_back(h.AllocMem(size));
        ASSERT_NE(nullptr, blocks.back());
        if (i % 50 == 0) {
            blocks.push_back(h.AllocMem(1024 + (x >> 8) % 40000));
            ASSERT_NE(nullptr, blocks.back());
        }
    }
    auto bigReserved = [&] {
        uint32_t n = 0;
        for (VR_BigPageSet *p = VR_Test::BigPageSets(h); p; p = (VR_BigPageSet *)p->next)
            n += (uint32_t)(p->regionEnd - p->Base());
        return n;
    };
    EXPECT_GT(bigReserved(), 16u << 20);
    auto committed = [&] {
        uint32_t n = 0;
        for (VR_PageSetBase *p = VR_Test::PageSets(h); p; p = p->next) n += (uint32_t)(p->commitEnd - p->Base());
        return n;
    };
    EXPECT_GT(committed(), 100u * 65536);
    std::shuffle(blocks.begin(), blocks.end(), std::mt19937(1));
    for (void *p : blocks) VR_Heap::FreeMem(p);
    // The last frees closed the bins: nothing waits, and no page set is
    // kept but the newest, which a heap keeps.
    EXPECT_EQ(0u, Waiting(h));
    EXPECT_LE(committed(), 65536u);
    // Only emptied big page sets within the kept bound (4 MB) stay.
    EXPECT_LE(bigReserved(), 4u << 20);
    EXPECT_VALID(h);

    // Allocating again brings the bins back to their size.
    VR_Test::BindThreadCache(h);
    for (int i = 0; i < 1000; i++) blocks[i] = h.AllocMem(24);
    for (int i = 0; i < 1000; i++) VR_Heap::FreeMem(blocks[i]);
    EXPECT_GE(Waiting(h), 128u);
    EXPECT_VALID(h);
}

/* Big blocks get the chunk of their class, so they can wait in bins, only
   while the heap holds less than kRoundBigBelow in big blocks; beyond it
   they get chunks of their own size, and rounding comes back below it. */
TEST(ThreadCache, LargeHeapsGiveBigBlocksTheirOwnSize)
{
    VR_Heap h(VR_HEAP_MULTITHREADED);
    VR_Test::BindThreadCache(h);
    // Just above a class boundary: the class's chunk is 8 KB more.
    const uint32_t size = 49153;
    const unsigned j = BigClassOf(size);
    auto chunkOf = [](void *p) { return ChunkTagOfHeader(AltHeaderOf(p)); };
    void *rounded = h.AllocMem(size);
    ASSERT_NE(nullptr, rounded);
    EXPECT_TRUE(ChunkFitsClass(chunkOf(rounded), j));

    std::vector<void *> held;
    while (VR_Test::Counters(h).bigBytes < kRoundBigBelow) {
        held.push_back(h.AllocMem(1u << 20));
        ASSERT_NE(nullptr, held.back());
    }
    void *own = h.AllocMem(size);
    ASSERT_NE(nullptr, own);
    // Its own size, and a rest too small to split off at most.
    EXPECT_LT(chunkOf(own) - ChunkSizeFor(AlignUp(size + kAltHeaderSize)), (uint32_t)kMinChunk);
    EXPECT_LT(chunkOf(own), kBins.bigChunk[j]);
    // A chunk of its own size goes back to the heap; a rounded one waits.
    unsigned long waiting = Waiting(h);
    VR_Heap::FreeMem(own);
    EXPECT_EQ(waiting, Waiting(h));
    VR_Heap::FreeMem(rounded);
    EXPECT_EQ(waiting + 1, Waiting(h));
    EXPECT_VALID(h);

    // Below the mark again, blocks are rounded again.
    VR_Heap::FreeMem(held.back());
    held.pop_back();
    VR_Test::BindThreadCache(h);
    void *again = h.AllocMem(size);
    ASSERT_NE(nullptr, again);
    EXPECT_TRUE(ChunkFitsClass(chunkOf(again), j));
    VR_Heap::FreeMem(again);
    for (void *p : held) VR_Heap::FreeMem(p);
    EXPECT_VALID(h);
}

/* A VR_HeapOneSize with a lock serves a thread that keeps using it from a
   bin: pairs complete while another thread holds the heap's lock, Clear
   forgets the bin, and a thread that ends gives its blocks back. */
TEST(ThreadCache, OneSizeHeapsWithALockServeFromABin)
{
    VR_HeapOneSize h(48, VR_HEAP_MULTITHREADED);
    std::atomic<int> step{0};
    std::thread t([&] {
        std::vector<void *> warm;
        for (int i = 0; i < 40; i++) warm.push_back(h.AllocMem(48));   // binds after a few slow calls
        for (void *p : warm) VR_HeapOneSize::FreeMem(p);
        step = 1;
        while (step != 2) std::this_thread::yield();
        for (int i = 0; i < 1000; i++) VR_HeapOneSize::FreeMem(h.AllocMem(40));
        step = 3;
        while (step != 4) std::this_thread::yield();
        void *p = h.AllocMem(48);                // after Clear: a fresh block
        *(uint32_t *)p = 7;
        VR_HeapOneSize::FreeMem(p);
    });
    while (step != 1) std::this_thread::yield();
    EXPECT_GT(vr_cache::OneSizeWaiting(&h), 0u);
    EXPECT_VALID(h);
    ExpectDoneWhileLocked(h, step);
    h.Clear();
    EXPECT_EQ(0u, vr_cache::OneSizeWaiting(&h));
    step = 4;
    t.join();
    EXPECT_EQ(0u, vr_cache::OneSizeWaiting(&h));   // the ended thread gave its bin back
    for (VR_PageSetBase *p = VR_Test::PageSets(h); p; p = p->next)
        EXPECT_EQ(0u, ((VR_OneSizePageSet *)p)->usedCount);   // nothing in use
    EXPECT_VALID(h);
}

/* A heap without a lock frees and allocates on the short path without any
   cache: every free goes straight back (the page set empties), second and
   bypassed frees stay ignored, and the counters and zero-fill hold. */
TEST(ThreadCache, HeapsWithoutALockLendNothing)
{
    VR_Heap other(VR_HEAP_MULTITHREADED), h(VR_HEAP_ZERO_INIT);
    VR_Test::BindThreadCache(other);           // the thread's cache belongs to another heap
    void *p = h.AllocMem(64);
    VR_SmallPageSet *ps = (VR_SmallPageSet *)PageSetOf(p);
    EXPECT_EQ(1u, ps->usedCount);
    memset(p, 0xAB, 64);
    VR_Heap::FreeMem(p);
    EXPECT_EQ(0u, ps->usedCount);              // straight back to the heap
    VR_Heap::FreeMem(p);                       // a second free changes nothing
    EXPECT_EQ(0u, ps->usedCount);
    void *q = h.AllocMem(60);
    EXPECT_EQ(p, q);                           // the same block, zero-filled, with its new size
    EXPECT_EQ(0, ((unsigned char *)q)[59]);
    EXPECT_EQ(60u, h.GetBlockSize(q));
    EXPECT_EQ(1, Walk(h));
    BypassFreeing(&h);
    VR_Heap::FreeMem(q);
    EXPECT_EQ(1u, ps->usedCount);              // frees bypassed on the short path too
    EXPECT_EQ(0u, Waiting(h));
    EXPECT_VALID(h);
}

TEST(ThreadCache, FreesFromAnotherThreadTakeNoLock)
{
    VR_Heap h(VR_HEAP_MULTITHREADED);
    void *mine[8];
    for (void *&p : mine) p = h.AllocMem(48);
    std::atomic<int> step{0};
    std::thread t([&] {
        VR_Test::BindThreadCache(h);
        step = 1;
        while (step != 2) std::this_thread::yield();
        for (void *p : mine) VR_Heap::FreeMem(p);
        step = 3;
    });
    while (step != 1) std::this_thread::yield();
    ExpectDoneWhileLocked(h, step);
    t.join();
    EXPECT_EQ(0, Walk(h));
    EXPECT_VALID(h);
}

/* A word written into a block that waits in a bin is never followed: the
   pop finds the link and its check word in front of the block differ, and
   cuts the bin there, for small and big blocks alike; Validate names the
   block before that. */
TEST(ThreadCache, WordsWrittenIntoWaitingBlocksAreNeverFollowed)
{
    static char outside[256];
    for (unsigned long size : {64ul, 4096ul}) {
        VR_Heap h(VR_HEAP_MULTITHREADED);
        VR_Test::BindThreadCache(h);
        void *a = h.AllocMem(size), *b = h.AllocMem(size);
        VR_Heap::FreeMem(a);
        VR_Heap::FreeMem(b);                    // the bin: b, then a
        *(void **)b = outside + 64;             // a use after free
        EXPECT_NE(nullptr, h.Validate()) << size;
        uint32_t dropped = DroppedFreeLinks();
        for (int i = 0; i < 3; i++) {
            void *p = h.AllocMem(size);
            EXPECT_TRUE(IsLibraryMemory(p)) << size;
            EXPECT_NE(b, p) << size;            // b's link failed: the bin was cut before it
        }
        EXPECT_EQ(dropped + 1, DroppedFreeLinks()) << size;
    }
}

/* A program that frees one small block from two threads at once may get
   the block twice, but never an address it wrote into a block: a link
   in a bin that does not match its check word is dropped. */
TEST(ThreadCache, RacingDoubleFreesNeverHandOutForeignAddresses)
{
    static char outside[256];
    VR_Heap h(VR_HEAP_MULTITHREADED);
    const int kRounds = 5000;
    void *volatile shared = nullptr;
    std::atomic<int> go{0}, arrived{0}, done{0}, foreign{0};
    auto racer = [&] {
        VR_Test::BindThreadCache(h);
        for (int r = 1; r <= kRounds; r++) {
            while (go.load() != r) std::this_thread::yield();
            void *p = shared;
            arrived++;
            while (arrived.load() < 2 * r) {}
            VR_Heap::FreeMem(p);               // both threads at once
            void *a = h.AllocMem(40);
            *(void **)a = outside;              // a data word where a link may be read
            for (int k = 0; k < 3; k++)
                if (!IsLibraryMemory(h.AllocMem(40))) foreign++;
            done++;
        }
    };
    std::thread t0(racer), t1(racer);
    for (int r = 1; r <= kRounds; r++) {
        shared = h.AllocMem(40);
        go = r;
        while (done.load() < 2 * r) std::this_thread::yield();
    }
    t0.join();
    t1.join();
    EXPECT_EQ(0, foreign.load());
}

} // namespace
