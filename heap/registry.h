/*
 * registry.h - every heap of the process that Init has set up and whose
 * destructor has not run, so that process-wide work (locking every heap
 * around fork, statistics) can reach them all.
 *
 * The table lives in pages of its own, so nothing here allocates from a
 * heap, and it is guarded by the process lock: registration happens where
 * heaps are set up, which may already hold that lock (a static heap set up
 * on first use). Walkers hold the process lock too, so they must not take
 * a heap's lock meanwhile (lock order is heap -> process); copy what is
 * needed under the lock instead.
 */
#ifndef VR_HEAP_REGISTRY_H
#define VR_HEAP_REGISTRY_H

#include "heap_internal.h"

/* Adds a heap (once; a second call changes nothing). */
void RegisterHeap(VR_AHeap *heap);
/* Removes a heap; one not on the list is ignored. */
void UnregisterHeap(VR_AHeap *heap);

/* The caller holds the process lock for both and for the whole walk. */
VR_API uint32_t HeapCount();
VR_API VR_AHeap *HeapAt(uint32_t index);

#endif
