/*
 * records.cpp - the records of the thread cache: every thread's
 * cache and every heap's transfer table are cut from pages of the cache's
 * own (so that no heap, and no lock of one, is needed to make them), kept
 * on a list of records given back for reuse, and the registry of all
 * caches, with the thread-exit notification that gives a cache back.
 */
#include "registry.h"
#include "cache.h"
#include "lists.h"
#include "records.h"

VR_ThreadCache *s_caches = 0;

void CutBin(VR_CacheBin *b)
{
    CountDroppedLink();
    b->head = 0;
    b->room = b->capacity;
}

namespace {

VR_LockStorage s_cacheLock;
int s_cacheLockReady = 0;
int s_exitHandlerSet = 0;

/* Records of one size, cut from 64 KB reservations committed a page at a
   time and never given back to the system: a process has few threads and
   heaps compared with its blocks, and records are reused. Under the
   registry lock. */
struct VR_RecordPool {
    uint32_t size;
    uint8_t *carve;     /* next record */
    uint8_t *committed; /* end of the committed pages */
    uint8_t *end;       /* end of the reservation */
    void *reuse;        /* records given back, linked through their first word */
};

VR_RecordPool s_cacheRecords = {sizeof(VR_ThreadCache), 0, 0, 0, 0};
VR_RecordPool s_tableRecords = {sizeof(VR_TransferTable), 0, 0, 0, 0};

void *TakeRecord(VR_RecordPool *pool)
{
    VR_CacheLockGuard guard;
    if (void *p = pool->reuse) {
        pool->reuse = *(void **)p;
        return p;
    }
    if (!s_pageSize) LoadSystemInfo();
    uint32_t size = AlignUp(pool->size);
    if (!pool->carve || (uint32_t)(pool->end - pool->carve) < size) {
        uint8_t *base = (uint8_t *)ReservePages(s_granularity, 0, VR_SPACE_LIBRARY);
        if (!base) return 0;
        pool->carve = pool->committed = base;
        pool->end = base + s_granularity;
    }
    while ((uint32_t)(pool->committed - pool->carve) < size) {
        if (!CommitPages(pool->committed, s_pageSize, 0)) return 0;
        pool->committed += s_pageSize;
    }
    void *p = pool->carve;
    pool->carve += size;
    return p;
}

void GiveRecord(VR_RecordPool *pool, void *p)
{
    VR_CacheLockGuard guard;
    *(void **)p = pool->reuse;
    pool->reuse = p;
}

/* The cache of threads that have ended: never bound, so every call of such
   a thread (a destructor running after ours, say) takes the ordinary way. */
VR_ThreadCache s_deadCache = {0, 0, 0, 0, 0, 1, 0, 0, 0, {}, {}, {}};

void ThreadExit(void *value)
{
    VR_ThreadCache *c = (VR_ThreadCache *)value;
    if (!c || c->dead) return;
    FlushOneSize(c);
    FlushAll(c);
    {
        VR_CacheLockGuard guard;
        UnlinkFrom(s_caches, c, &VR_ThreadCache::next, &VR_ThreadCache::prev);
    }
    /* Whatever this thread still does goes the ordinary way. */
    vr_os::ThreadSlotSet(&s_deadCache, vr_os::kSlotCache);
    GiveRecord(&s_cacheRecords, c);
}

} // namespace

void CacheLockEnter()
{
    if (!__atomic_load_n(&s_cacheLockReady, __ATOMIC_ACQUIRE)) {
        VR_ProcessLockGuard guard;
        if (!s_cacheLockReady) {
            vr_os::LockInit(&s_cacheLock);
            /* Fork holds it too, after the heap locks (the order here). */
            RegisterForkLock(&s_cacheLock);
            __atomic_store_n(&s_cacheLockReady, 1, __ATOMIC_RELEASE);
        }
    }
    vr_os::LockEnter(&s_cacheLock);
}

void CacheLockLeave()
{
    vr_os::LockLeave(&s_cacheLock);
}

int RegistryFreeBeforeFork()
{
    return s_cacheLockReady && ((const vr_os::VR_LockWord *)&s_cacheLock)->count <= 1;
}

void GiveCacheRecord(VR_ThreadCache *c)
{
    GiveRecord(&s_cacheRecords, c);
}

VR_ThreadCache *CreateCache()
{
    VR_ThreadCache *c = (VR_ThreadCache *)TakeRecord(&s_cacheRecords);
    if (!c) return 0;
    memset(c, 0, sizeof *c);
    {
        VR_CacheLockGuard guard;
        MakeLinkSecret();
        PushFrontOn(s_caches, c, &VR_ThreadCache::next, &VR_ThreadCache::prev);
        if (!s_exitHandlerSet) s_exitHandlerSet = vr_os::SetThreadExitHandler(ThreadExit) ? 1 : 2;
    }
    /* Stored before the system hears of it: should that allocate, the
       nested call finds the cache and uses it. */
    vr_os::ThreadSlotSet(c, vr_os::kSlotCache);
    return c;
}

VR_TransferTable *NewTransferTable()
{
    VR_TransferTable *t = (VR_TransferTable *)TakeRecord(&s_tableRecords);
    if (t) memset(t, 0, sizeof *t);
    return t;
}

void DeleteTransferTable(VR_TransferTable *t)
{
    GiveRecord(&s_tableRecords, t);
}

void ResetBins(VR_ThreadCache *c)
{
    for (int k = 0; k < VR_Heap::kSizeClassCount; k++) BinReset(&c->small[k], kBins.smallFirst[k]);
    for (int j = 0; j < kBigClassCount; j++) BinReset(&c->big[j], kBins.bigCapacity[j]);
    c->bigBytes = 0;
}
