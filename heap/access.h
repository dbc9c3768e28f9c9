/*
 * access.h - VR_Access, the one door of the library's own code (the thread
 * cache, the front that joins it to the heaps, statistics, the process
 * integration, the tests) into the private parts of the public heap
 * classes. The public header names it as its only friend, so the classes
 * show callers nothing of how the library is built; everything here is a
 * field or a call, no logic of its own.
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
    static void *LendSmallLocked(VR_Heap &h, unsigned k) { return h.LendSmallLocked(k); }
    static void ReturnSmallLocked(VR_Heap &h, VR_BlockHeader *b);   /* small.h */
    static void ReturnBigLocked(VR_Heap &h, VR_AltBlock *b) { h.ReturnBigLocked(b); }
    static void *AllocSmallUnlocked(VR_Heap &h, unsigned long size) { return h.AllocSmallUnlocked(size); }
    static void FreeSmallUnlocked(VR_BlockHeader *b);                /* small.h */
    static void *AllocMemSlow(VR_Heap &h, unsigned long size) { return h.AllocMemSlow(size); }
    static void FreeMemSlow(void *block) { VR_Heap::FreeMemSlow(block); }
    static void *ExpandInPlace(void *block, unsigned long size) { return VR_Heap::ExpandInPlace(block, size); }

    /* One-size heaps. */
    static unsigned long &BlockSize(VR_HeapOneSize &h) { return h.blockSize; }
    static VR_OneSizePageSet *&FreePageSets(VR_HeapOneSize &h) { return h.freePageSets; }
    static void *TakeLocked(VR_HeapOneSize &h) { return h.TakeLocked(); }
    static void ReturnLocked(VR_HeapOneSize &h, void *block) { h.ReturnLocked(block); }

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
