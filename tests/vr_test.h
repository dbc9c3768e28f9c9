/*
 * vr_test.h - the tests' window into the heaps' internals. VR_Test is a
 * friend of the heap classes; every accessor here only reads or writes a
 * field, so tests can check the formats and the lists directly.
 */
#ifndef VR_TEST_H
#define VR_TEST_H

#include "cache.h"
#include "vorrel.h"

struct VR_Test {
    static VR_PageSetBase *&PageSets(VR_AHeap &h) { return h.pageSets; }
    static int &BypassFree(VR_AHeap &h) { return h.bypassFree; }
    static long &Flags(VR_AHeap &h) { return h.flags; }
    static int &Initialized(VR_AHeap &h) { return h.initialized; }
    static int &LockActive(VR_AHeap &h) { return h.lockActive; }
    static int (*&NewHandler(VR_AHeap &h))() { return h.newHandler; }
    static int &GlobalBypassFree() { return VR_AHeap::s_globalBypassFree; }
    static void (*&EmergencyCallback())() { return VR_AHeap::s_fpEmergencyCallback; }
    static void *&EmergencyReserve() { return VR_AHeap::s_emergencyReserve; }
    static unsigned long &EmergencyReserveSize() { return VR_AHeap::s_emergencyReserveSize; }
    static int HandleOutOfMemory(VR_AHeap &h) { return h.HandleOutOfMemory(); }
    static VR_LockStorage &Lock(VR_AHeap &h) { return h.lock; }
    static int PageSetCount(VR_AHeap &h)
    {
        int n = 0;
        for (VR_PageSetBase *p = h.pageSets; p; p = p->next) n++;
        return n;
    }
    static int HandleOutOfMemoryMT(VR_AHeap &h) { return h.HandleOutOfMemoryMT(); }

    static VR_AltBlock *&BigBlocks(VR_Heap &h) { return h.bigBlocks; }
    static unsigned long &DirectCount(VR_Heap &h) { return h.directCount; }
    static VR_BlockHeader *&FreeList(VR_Heap &h, int k) { return h.freeLists[k]; }
    static VR_BigPageSet *&BigPageSets(VR_Heap &h) { return h.bigPageSets; }
    static VR_FreeIndex &BigFree(VR_Heap &h) { return h.bigFree; }
    /* The free big chunk on the lowest list of the index (the only one,
       where a test has made one); null when there is none. */
    static VR_BigChunk *BigFreeChunks(VR_Heap &h)
    {
        for (VR_BigChunk *c : h.bigFree.chunkLists)
            if (c) return c;
        return 0;
    }
    static VR_HeapCounters &Counters(VR_Heap &h) { return h.counters; }
    static unsigned long SizeClass(int k) { return VR_Heap::s_sizeClasses[k]; }
    static unsigned SizeClassOf(unsigned t) { return VR_Heap::s_sizeClassOf[t]; }
    /* How many classes the table holds: they step by the block alignment,
       so where that is 16 the entries behind the last class stay 0. */
    static int SizeClassesInUse()
    {
        int n = 0;
        while (n < VR_Heap::kSizeClassCount && VR_Heap::s_sizeClasses[n]) n++;
        return n;
    }

    /* Gives back what waits in the calling thread's cache, as recovery and
       thread exit do; for tests that count blocks or page sets exactly. */
    static int FlushThreadCache() { return VR_Cache::FlushCurrent(); }
    /* The calling thread's cache and the batches between caches of h go
       back to h's lists. */
    static void GiveBackWaiting(VR_Heap &h)
    {
        VR_Cache::FlushCurrent();
        h.Lock();
        VR_Cache::DrainLocked(&h);
        h.Unlock();
    }
    /* Binds the calling thread's cache to h at once (a thread rebinds by
       itself only after many calls for another heap). */
    static void BindThreadCache(VR_Heap &h)
    {
        VR_Cache::FlushCurrent();
        h.FreeMem(h.AllocMem(1));
    }

    static unsigned long &BlockSize(VR_HeapOneSize &h) { return h.blockSize; }
    static VR_OneSizePageSet *&FreePageSets(VR_HeapOneSize &h) { return h.freePageSets; }
};

#endif
