/*
 * heap_internal.h - what the heap sources share beyond the formats: the lock
 * helpers of VR_AHeap, the size classes, the one access type and what the
 * front defines for the heaps (VR_Access::Front).
 */
#ifndef VR_HEAP_INTERNAL_H
#define VR_HEAP_INTERNAL_H

#include "access.h"
#include "classes.h"
#include "layout.h"
#include "os_assert.h"
#include "os_lock.h"

/* p moved forward or back by n bytes, computed on the address. Big page
   sets and blocks may span 2 GB and more, and pointer arithmetic with such
   offsets is undefined on a 32-bit system (the offset counts as negative). */
inline uint8_t *BytesAfter(const void *p, uint32_t n) { return (uint8_t *)((uintptr_t)p + n); }
inline uint8_t *BytesBefore(const void *p, uint32_t n) { return (uint8_t *)((uintptr_t)p - n); }

/* VR_AHeap::initialized of a static heap whose destructor has run (1 while
   it is in service, 0 before Init). */
const int kHeapDestroyed = 2;

/* The recovery lock (aheap.cpp), created on first call: out-of-memory
   recovery runs under it, and fork takes it first of all the locks. */
VR_LockStorage *RecoveryLock();

/* Request (header and data, aligned) and chunk size of a big block of size
   bytes; 0 when no chunk can ever hold it. */
int BigSizesFor(uint32_t size, uint32_t *request, uint32_t *need);

inline void VR_AHeap::Lock()
{
    if (lockActive) vr_os::LockEnter(&lock);
}

inline void VR_AHeap::Unlock()
{
    if (lockActive) vr_os::LockLeave(&lock);
}

/* Raises peakBytes to what the heap hands out now (lock held). */
inline void UpdatePeak(VR_HeapCounters &counters)
{
    unsigned long total = counters.smallBytes + counters.bigBytes + counters.directBytes;
    if (total > counters.peakBytes) counters.peakBytes = total;
}

/*
 * What the front (heap/front/) defines for a general heap: the slow paths
 * of AllocMem and FreeMem and out-of-memory recovery, which know the
 * thread cache. The heaps' own entry points call them, the thread cache
 * never appearing in their files.
 */
struct VR_Access::Front {
    static void *AllocMemSlow(VR_Heap &heap, unsigned long size);
    static void FreeMemSlow(void *block);
    /* A live block of class k, aligned, for a request of size bytes, when
       the thread's cache had none. */
    static void *AllocAlignedSmall(VR_Heap &heap, unsigned k, unsigned long alignment, unsigned long size);
    /* The big path of AllocMem. */
    static void *AllocBigMem(VR_Heap &heap, unsigned long size);
    /* Out-of-memory recovery of a general heap: the blocks waiting for
       reuse and its empty big page sets go back first, then
       HandleOutOfMemory. Recover holds no lock on entry or exit; RecoverMT
       is called with the lock held and returns with it held when the
       request is to be retried (1), without it otherwise. */
    static int Recover(VR_Heap &heap);
    static int RecoverMT(VR_Heap &heap);
};

inline void VR_Access::LockHeap(VR_AHeap &h) { h.Lock(); }
inline void VR_Access::UnlockHeap(VR_AHeap &h) { h.Unlock(); }

#endif
