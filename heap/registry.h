/*
 * registry.h - every heap of the process that Init has set up and whose
 * destructor has not run, so that process-wide work (locking every heap
 * around fork, statistics) can reach them all.
 *
 * The table lives in static storage and then in pages of its own, so
 * nothing here allocates from a heap, and it is guarded by the process lock: registration happens where
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

/* Names a heap for the statistics report (VR_Heap(flags, name)); a null
   name forgets it, as UnregisterHeap does. The name is kept as given. Only
   the first kMaxNamedHeaps named heaps alive at once keep their names. */
enum { kMaxNamedHeaps = 64 };
void NameHeap(VR_AHeap *heap, const char *name);
/* The heap's name, or null (the caller holds the process lock). */
const char *HeapName(VR_AHeap *heap);

/* The caller holds the process lock for these and for the whole walk. */
uint32_t HeapCount();
VR_AHeap *HeapAt(uint32_t index);
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

/* Changes with every registration and removal (of heaps and of fork
   locks), so a walker that left the process lock can tell whether the
   list it copied still holds. The caller holds the process lock. */
uint32_t HeapListVersion();

/* While frozen (set and cleared under the process lock by the thread that
   forks), UnregisterHeap on any other thread waits: the forking thread is
   about to take the lock inside that heap, so the heap must not go away. */
void FreezeHeapList(int frozen);

/*
 * Other locks of the library that fork must hold: taken after every heap's
 * lock and before the process lock, in the order of registration, so each
 * must come after the heap locks and before the process lock in the lock
 * order too. A lock registers once, for the life of the process, and must
 * stay valid (static storage); 0 when the table is full.
 */
enum { kMaxForkLocks = 8 };
int RegisterForkLock(VR_LockStorage *lock);
/* The caller holds the process lock for both. */
uint32_t ForkLockCount();
VR_LockStorage *ForkLockAt(uint32_t index);

/* A heap's own lock, for the fork code only (the heaps' lock fields are
   otherwise their own business). */
struct VR_HeapLocks {
    /* The heap's lock, or null when the heap runs without one. */
    static VR_LockStorage *Of(VR_AHeap *heap) { return VR_Access::LockActive(*heap) ? &VR_Access::Lock(*heap) : 0; }
};

#endif
