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

#endif
