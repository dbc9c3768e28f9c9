/*
 * aheap_init.cpp - heap initialisation: static storage recognised (and
 * heaps on the stack or from new never taken for static), lazy
 * initialisation of a heap used before its constructor and the
 * re-initialisation its constructor then does, destruction and Clear of
 * static heaps, heap objects allocated from a heap, and concurrent use of
 * one multithreaded heap.
 */
#include <gtest/gtest.h>
#include <string.h>

#include <new>
#include <thread>
#include <vector>

#include "heap_internal.h"
#include "os_memory.h"
#include "vr_test.h"

namespace {

#define EXPECT_SOUND(heap) EXPECT_EQ(nullptr, (heap).Validate())

/* Zeroed static storage standing in for a global heap whose constructor
   has not run yet; each test uses its own. */
template <int N> VR_Heap &Unconstructed()
{
    alignas(VR_Heap) static unsigned char storage[sizeof(VR_Heap)];
    return *reinterpret_cast<VR_Heap *>(storage);
}

TEST(HeapInit, FlagsOfAFreshHeap)
{
    VR_Heap heap(VR_HEAP_MULTITHREADED | VR_HEAP_BYPASS_FREEING | VR_HEAP_NO_STD_NEW_HANDLER);
    EXPECT_EQ(1, VR_Test::Initialized(heap));
    EXPECT_EQ(1, heap.IsMultithreaded());
    EXPECT_NE(0, VR_Test::LockActive(heap));
    EXPECT_NE(0, VR_Test::BypassFree(heap));
    EXPECT_EQ(VR_HEAP_MULTITHREADED | VR_HEAP_BYPASS_FREEING | VR_HEAP_NO_STD_NEW_HANDLER,
              (unsigned long)VR_Test::Flags(heap));   // on the stack: never static
    EXPECT_EQ(nullptr, VR_Test::PageSets(heap));

    VR_Heap plain(0);
    EXPECT_EQ(0, plain.IsMultithreaded());
    EXPECT_EQ(0, VR_Test::LockActive(plain));
    EXPECT_EQ(0, VR_Test::BypassFree(plain));
}

TEST(HeapInit, ProcessHeapsAreStaticAndLocked)
{
    for (VR_Heap *h : {&HeapForHeaps, &DefaultHeap}) {
        EXPECT_EQ(1, VR_Test::Initialized(*h));
        EXPECT_TRUE(VR_Test::Flags(*h) & VR_HEAP_STATIC);
        EXPECT_EQ(1, h->IsMultithreaded());
        EXPECT_SOUND(*h);
    }
}

TEST(HeapInit, HeapsFromNewComeFromTheirHeapAndAreNotStatic)
{
    VR_Heap *h = new VR_Heap(VR_HEAP_MULTITHREADED);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ((VR_Heap *)&HeapForHeaps, ((VR_SmallPageSet *)PageSetOf(h))->owner);
    EXPECT_FALSE(VR_Test::Flags(*h) & VR_HEAP_STATIC);
    void *b = h->AllocMem(10);
    uint8_t *base = (uint8_t *)PageSetOf(b);
    EXPECT_SOUND(*h);
    delete h;   // not static: its page sets go back
    EXPECT_FALSE(IsDynamicMemory(base));
    EXPECT_SOUND(HeapForHeaps);

    VR_Heap owner(0);
    VR_Heap *inner = new (owner) VR_Heap(0);
    ASSERT_NE(nullptr, inner);
    EXPECT_EQ(&owner, ((VR_SmallPageSet *)PageSetOf(inner))->owner);
    EXPECT_FALSE(VR_Test::Flags(*inner) & VR_HEAP_STATIC);
    delete inner;
    EXPECT_EQ(0u, ((VR_SmallPageSet *)VR_Test::PageSets(owner))->usedCount);
    EXPECT_SOUND(owner);
}

TEST(HeapInit, NewYieldsNullWhenNoMemory)
{
    VR_Heap owner(VR_HEAP_NO_STD_NEW_HANDLER);
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFFu);
    VR_Heap *inner = new (owner) VR_Heap(0);
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    EXPECT_EQ(nullptr, inner);
    EXPECT_SOUND(owner);
}

TEST(HeapInit, LazyThenConstructedWithoutLockOrZeroing)
{
    VR_Heap &heap = Unconstructed<1>();
    uint8_t *early = (uint8_t *)heap.AllocMem(100);
    ASSERT_NE(nullptr, early);
    EXPECT_EQ(1, VR_Test::Initialized(heap));
    EXPECT_EQ((long)(VR_HEAP_MULTITHREADED | VR_HEAP_ZERO_INIT | VR_HEAP_STATIC), VR_Test::Flags(heap));
    EXPECT_NE(0, VR_Test::LockActive(heap));
    EXPECT_TRUE(IsMemoryFilledWith(early, 100, 0));
    memset(early, 0x77, 100);
    VR_PageSetBase *sets = VR_Test::PageSets(heap);

    ::new (&heap) VR_Heap(VR_HEAP_NO_STD_NEW_HANDLER | VR_HEAP_NOCACHE);
    EXPECT_EQ(0, heap.IsMultithreaded());
    EXPECT_EQ(0, VR_Test::LockActive(heap));
    EXPECT_EQ((long)VR_HEAP_STATIC, VR_Test::Flags(heap));   // the other bits are ignored
    EXPECT_EQ(sets, VR_Test::PageSets(heap));
    EXPECT_TRUE(IsMemoryFilledWith(early, 100, 0x77));
    EXPECT_SOUND(heap);

    // No longer zero-filling: a reused block keeps its bytes.
    VR_Heap::FreeMem(early);
    uint8_t *again = (uint8_t *)heap.AllocMem(100);
    EXPECT_EQ(early, again);
    EXPECT_EQ(0x77, again[50]);
    EXPECT_SOUND(heap);

    // Destroying a static heap keeps its blocks; it goes on without a lock.
    heap.~VR_Heap();
    EXPECT_EQ(sets, VR_Test::PageSets(heap));
    VR_Heap::FreeMem(again);
    EXPECT_NE(nullptr, heap.AllocMem(20));
    EXPECT_SOUND(heap);
    heap.VR_Heap::Clear();   // releases a static heap's page sets all the same
    EXPECT_EQ(nullptr, VR_Test::PageSets(heap));
    EXPECT_FALSE(IsDynamicMemory(sets));
}

TEST(HeapInit, LazyThenConstructedKeepingLockAndZeroing)
{
    VR_Heap &heap = Unconstructed<2>();
    void *early = heap.AllocMem(8);
    ::new (&heap) VR_Heap(VR_HEAP_MULTITHREADED | VR_HEAP_ZERO_INIT | VR_HEAP_BYPASS_FREEING);
    EXPECT_EQ(1, heap.IsMultithreaded());
    EXPECT_NE(0, VR_Test::LockActive(heap));
    EXPECT_TRUE(VR_Test::Flags(heap) & VR_HEAP_ZERO_INIT);
    EXPECT_NE(0, VR_Test::BypassFree(heap));
    VR_Heap::FreeMem(early);   // bypassed
    VR_Test::FlushThreadCache();   // blocks a refill lent to this thread go back
    EXPECT_EQ(1u, VR_Test::PageSets(heap)->usedCount);
    EXPECT_SOUND(heap);
    heap.Clear();
    heap.~VR_Heap();
    EXPECT_EQ(0, VR_Test::LockActive(heap));
}

TEST(HeapInit, ConstructedFirstIsInitialisedFromItsFlags)
{
    VR_Heap &heap = Unconstructed<3>();
    ::new (&heap) VR_Heap(VR_HEAP_ZERO_INIT);
    EXPECT_EQ((long)(VR_HEAP_ZERO_INIT | VR_HEAP_STATIC), VR_Test::Flags(heap));
    EXPECT_EQ(0, VR_Test::LockActive(heap));
    EXPECT_NE(nullptr, heap.AllocMem(1));
    EXPECT_SOUND(heap);
    heap.Clear();
    heap.~VR_Heap();
}

TEST(HeapInit, StaticHeapBuiltAgainInPlaceHasItsLockAndIsListed)
{
    VR_Heap &heap = Unconstructed<4>();
    ::new (&heap) VR_Heap(VR_HEAP_MULTITHREADED);
    void *kept = heap.AllocMem(300);
    heap.~VR_Heap();
    ::new (&heap) VR_Heap(VR_HEAP_MULTITHREADED);
    EXPECT_EQ(1, VR_Test::Initialized(heap));
    EXPECT_NE(0, VR_Test::LockActive(heap));
    VR_HeapStats listed[64];
    unsigned long n = VR_GetStats(nullptr, listed, 64), found = 0;
    for (unsigned long i = 0; i < n; i++) found += listed[i].heap == &heap;
    EXPECT_EQ(1u, found);

    // Two threads trade blocks through it: without its lock they corrupt it.
    static void *volatile slots[64];
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++) {
        threads.emplace_back([&heap, t] {
            uint32_t seed = 777u + t;
            for (int i = 0; i < 20000; i++) {
                seed = seed * 1103515245u + 12345u;
                void *p = heap.AllocMem((seed >> 8) % 3000);
                VR_Heap::FreeMem(__atomic_exchange_n(&slots[seed & 63], p, __ATOMIC_ACQ_REL));
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_SOUND(heap);
    for (void *volatile &p : slots) VR_Heap::FreeMem(p);
    VR_Heap::FreeMem(kept);   // a block of the old heap is one of the new
    EXPECT_SOUND(heap);
    heap.Clear();
    heap.~VR_Heap();
}

TEST(HeapInit, ConcurrentAllocationAndCrossThreadFrees)
{
    VR_Heap heap(VR_HEAP_MULTITHREADED);
    const int kThreads = 4, kRounds = 20000;
    // Each thread frees what its neighbour allocated, through a shared slot table.
    static void *volatile slots[kThreads][64];
    memset((void *)slots, 0, sizeof slots);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&heap, t] {
            uint32_t seed = 12345u + t;
            for (int i = 0; i < kRounds; i++) {
                seed = seed * 1103515245u + 12345u;
                unsigned long size = (seed >> 8) % 1017;
                uint8_t *p = (uint8_t *)heap.AllocMem(size);
                if (!p) continue;
                if (size) p[0] = p[size - 1] = (uint8_t)t;
                void *old = __atomic_exchange_n(&slots[(t + 1) % kThreads][seed & 63], (void *)p, __ATOMIC_ACQ_REL);
                VR_Heap::FreeMem(old);
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_SOUND(heap);
    for (int t = 0; t < kThreads; t++)
        for (int i = 0; i < 64; i++) VR_Heap::FreeMem(slots[t][i]);
    EXPECT_SOUND(heap);
    // Everything is free once this thread's cache and the batches between
    // caches are given back (the threads gave theirs back when they
    // ended): only the newest page set is left.
    VR_Test::GiveBackWaiting(heap);
    ASSERT_NE(nullptr, VR_Test::PageSets(heap));
    EXPECT_EQ(nullptr, VR_Test::PageSets(heap)->next);
    EXPECT_EQ(0u, VR_Test::PageSets(heap)->usedCount);
}

} // namespace
