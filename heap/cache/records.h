/*
 * records.h - what the thread cache's sources share: the registry
 * of every cache record under its lock, and the pages the records and the
 * transfer tables are made from.
 */
#ifndef VR_CACHE_RECORDS_H
#define VR_CACHE_RECORDS_H

#include "bins.h"

/* Every cache record, live or not yet given back; under the registry lock. */
extern VR_ThreadCache *s_caches;

/* The registry lock, made on first use. Lock order: heap lock -> registry
   lock -> process lock. */
void CacheLockEnter();
void CacheLockLeave();

struct VR_CacheLockGuard {
    VR_CacheLockGuard() { CacheLockEnter(); }
    ~VR_CacheLockGuard() { CacheLockLeave(); }
    VR_CacheLockGuard(const VR_CacheLockGuard &) = delete;
    VR_CacheLockGuard &operator=(const VR_CacheLockGuard &) = delete;
};

/* In a forked child: whether the registry lock exists and the forking
   thread held it only for the fork (not also inside the registry's work,
   which a signal handler's fork may have interrupted). */
int RegistryFreeBeforeFork();

/* The record of a cache already off the registry, given back for reuse. */
void GiveCacheRecord(VR_ThreadCache *c);

/* What must hold for a small block p of heap waiting in a bin or batch of
   class k; null when it does. */
const char *CheckWaitingSmall(VR_Heap *heap, void *p, unsigned k);

/* The calling thread's cache, made and registered (null when no memory
   could be had; a thread that has ended gets the record of dead threads). */
VR_ThreadCache *CreateCache();

/* A heap's transfer table, all zero, or null; and its giving back. */
VR_TransferTable *NewTransferTable();
void DeleteTransferTable(VR_TransferTable *t);

/* Empties every bin of c. */
void ResetBins(VR_ThreadCache *c);

/* Gives c's blocks back to its heap (or the heap its blocks are pending
   for) and unbinds it; then the same for its one-size bin. */
void FlushAll(VR_ThreadCache *c);
void FlushOneSize(VR_ThreadCache *c);
/* Under heap's lock: the chunks waiting in c's big bins go back to heap
   (c is bound to it). */
void GiveBackBigLocked(VR_Heap *heap, VR_ThreadCache *c);

#endif
