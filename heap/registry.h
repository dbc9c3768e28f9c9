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
 * needed under the lock instead, or pin the heap (below).
 */
#ifndef VR_HEAP_REGISTRY_H
#define VR_HEAP_REGISTRY_H

#include "heap_internal.h"

/* Adds a heap (once; a second call changes nothing). oneSize: the heap is
   a VR_HeapOneSize rather than a VR_Heap. */
void RegisterHeap(VR_AHeap *heap, int oneSize);
/* Removes a heap; one not on the list is ignored. Waits while the heap is
   pinned. */
void UnregisterHeap(VR_AHeap *heap);

/* The caller holds the process lock for these and for the whole walk. */
VR_API uint32_t HeapCount();
VR_API VR_AHeap *HeapAt(uint32_t index);
/* 1 when the heap at index is a VR_HeapOneSize. */
int HeapIsOneSize(uint32_t index);

/*
 * Pinning: a heap that is pinned stays alive (its destructor waits in
 * UnregisterHeap) after the process lock is left, so its own lock can be
 * taken in the right order. One heap is pinned at a time, by one walker at
 * a time (the caller serialises walkers). PinHeap is called under the
 * process lock and returns 0 when the heap is no longer registered;
 * UnpinHeap takes the lock itself.
 */
int PinHeap(VR_AHeap *heap);
void UnpinHeap();

#endif
