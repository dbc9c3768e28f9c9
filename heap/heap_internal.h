/*
 * heap_internal.h - what the heap sources share beyond the formats: the lock
 * helpers of VR_AHeap and the size-class tables.
 */
#ifndef VR_HEAP_INTERNAL_H
#define VR_HEAP_INTERNAL_H

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

/* The chunk size of a big block of size bytes; 0 when none can hold it. */
uint32_t BigChunkSizeFor(uint32_t size);

inline void VR_AHeap::Lock()
{
    if (lockActive) vr_os::LockEnter(&lock);
}

inline void VR_AHeap::Unlock()
{
    if (lockActive) vr_os::LockLeave(&lock);
}

#endif
