/*
 * access.h - VR_Access, the one door of the library's own code into the
 * private state of the public heap classes. The public header names it as
 * its only friend and declares no private function, so it shows callers
 * nothing of how the library is built.
 *
 * Two kinds of member: the fields below, for the thread cache, the front
 * that joins it to the heaps, statistics, the process integration and the
 * tests (a field or a call each, no logic of its own); and the heaps' own
 * functions, one nested type per floor, declared in that floor's header
 * and defined in its files. Being members, they reach the private state as
 * the lines here do: a function of a general heap takes it as VR_Heap
 * &heap, where a member function would have had this.
 */
#ifndef VR_HEAP_ACCESS_H
#define VR_HEAP_ACCESS_H

#include "layout.h"

struct VR_Access {
    /* Every heap. */
    static VR_PageSetBase *&PageSets(VR_AHeap &h) { return h.pageSets; }
    static int &BypassFree(VR_AHeap &h) { return h.bypassFree; }
    static long &Flags(VR_AHeap &h) { return h.flags; }
    static int &Initialized(VR_AHeap &h) { return h.initialized; }
    static int &LockActive(VR_AHeap &h) { return h.lockActive; }
    static VR_LockStorage &Lock(VR_AHeap &h) { return h.lock; }
    static int (*&NewHandler(VR_AHeap &h))() { return h.newHandler; }
    static int &GlobalBypassFree() { return VR_AHeap::s_globalBypassFree; }
    static void (*&EmergencyCallback())() { return VR_AHeap::s_fpEmergencyCallback; }
    static void *&EmergencyReserve() { return VR_AHeap::s_emergencyReserve; }
    static unsigned long &EmergencyReserveSize() { return VR_AHeap::s_emergencyReserveSize; }
    static void LockHeap(VR_AHeap &h);
    static void UnlockHeap(VR_AHeap &h);
    static int HandleOutOfMemory(VR_AHeap &h) { return h.HandleOutOfMemory(); }
    static int HandleOutOfMemoryMT(VR_AHeap &h) { return h.HandleOutOfMemoryMT(); }

    /* General heaps. */
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
    static VR_TransferTable *&Transfer(VR_Heap &h) { return h.transfer; }
    static unsigned long &Spills(VR_Heap &h) { return h.spills; }

    /* One-size heaps. */
    static unsigned long &BlockSize(VR_HeapOneSize &h) { return h.blockSize; }
    static VR_OneSizePageSet *&FreePageSets(VR_HeapOneSize &h) { return h.freePageSets; }

    /* The heaps' own functions, by floor. */
    struct Small;    /* small blocks of general heaps (small.h) */
    struct Big;      /* big and direct blocks of general heaps (big.h) */
    struct OneSize;  /* one-size heaps (onesize.h) */
    struct Front;    /* what the front defines for the heaps: their slow paths
                        and recovery, which know the thread cache (heap_internal.h) */

    /* The layouts the public header documents. */
    static void CheckLayouts();
};

inline void VR_Access::CheckLayouts()
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
    static_assert(offsetof(VR_AHeap, pageSets) == 4 && offsetof(VR_AHeap, bypassFree) == 8 &&
                      offsetof(VR_AHeap, flags) == 12 && offsetof(VR_AHeap, initialized) == 16 &&
                      offsetof(VR_AHeap, lockActive) == 20 && offsetof(VR_AHeap, lock) == 24 &&
                      offsetof(VR_AHeap, newHandler) == 48 && sizeof(VR_AHeap) == 52,
                  "VR_AHeap: the documented layout");
    static_assert(offsetof(VR_Heap, bigBlocks) == 52 && offsetof(VR_Heap, directCount) == 56 &&
                      offsetof(VR_Heap, freeLists) == 60 && offsetof(VR_Heap, bigPageSets) == 268 &&
                      offsetof(VR_Heap, spills) == 272 && offsetof(VR_Heap, counters) == 276 &&
                      offsetof(VR_Heap, transfer) == 508 && offsetof(VR_Heap, bigFree) == 512 &&
                      sizeof(VR_FreeIndex) == 476 && sizeof(VR_Heap) == 988,
                  "VR_Heap: the documented layout");
    static_assert(offsetof(VR_HeapOneSize, blockSize) == 52 && offsetof(VR_HeapOneSize, freePageSets) == 56 &&
                      sizeof(VR_HeapOneSize) == 60,
                  "VR_HeapOneSize: the documented layout");
#pragma GCC diagnostic pop
}

#endif
