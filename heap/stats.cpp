/*
 * stats.cpp - VR_GetStats: the account of the address space (kept by the
 * page services), and for each live heap what it has handed out (the
 * counters it keeps under its lock) beside what its page sets hold (their
 * headers: usedCount, commitEnd, regionEnd). Nothing here visits a block,
 * so the cost grows with the number of page sets, not of blocks.
 *
 * Heaps are found through the registry. Its walkers hold the process lock,
 * which must not be held while a heap's lock is awaited, so each heap is
 * pinned under the process lock (its destructor then waits), the process
 * lock is left, and the heap is read under its own lock.
 *
 * At exit the report is made after the other threads may have been ended
 * while holding a lock (Windows ends them before the library's exit code
 * runs); there every heap's lock is only tried for a while, and a heap
 * whose lock stays taken is read through its counters only.
 */
#include <string.h>

#include "registry.h"
#include "space.h"
#include "stats.h"

namespace {

VR_LockStorage s_statsLock;     /* one walker at a time */
int s_statsLockReady = 0;

/* Tries the lock for a while; 1 when taken. */
int TryPatiently(VR_LockStorage *lock)
{
    for (uint32_t i = 0; i < 4000000; i++) {
        if (vr_os::LockTryEnter(lock)) return 1;
        __builtin_ia32_pause();
    }
    return 0;
}

int TryProcessLockPatiently()
{
    for (uint32_t i = 0; i < 4000000; i++) {
        if (ProcessLockTryEnter()) return 1;
        __builtin_ia32_pause();
    }
    return 0;
}

} // namespace

namespace {

    int LockHeap(VR_AHeap *h, int atExit)
    {
        if (!VR_Access::LockActive(*h)) return 0;
        if (atExit) return TryPatiently(&VR_Access::Lock(*h));
        vr_os::LockEnter(&VR_Access::Lock(*h));
        return 1;
    }

    /* walk: the page-set lists may be followed (the heap's lock is held,
       or nothing else can be changing them); otherwise they may be
       changing under the walk, page sets may be given back meanwhile, and
       only the counters inside the heap object are read. */
    void DescribeGeneral(VR_Heap *h, int walk, const VR_CacheShare &cached, VR_HeapStats *out)
    {
        VR_HeapCounters c = VR_Access::Counters(*h);
        uint32_t pageSets = 0, committed = 0, usedSmall = 0;
        uint32_t bigSets = 0, bigReserved = 0, bigCommitted = 0, usedBig = 0;
        if (walk) {
            for (VR_PageSetBase *p = VR_Access::PageSets(*h); p; p = p->next) {
                pageSets++;
                committed += (uint32_t)(p->commitEnd - p->Base());
                usedSmall += p->usedCount;
            }
            for (VR_PageSetBase *p = VR_Access::BigPageSets(*h); p; p = p->next) {
                bigSets++;
                bigReserved += (uint32_t)((uintptr_t)p->regionEnd - (uintptr_t)p);
                /* Less the free insides given back (trim.h). */
                bigCommitted += CommittedBytesIn(p, (uint32_t)((uintptr_t)p->commitEnd - (uintptr_t)p));
                usedBig += p->usedCount;
            }
        } else {
            for (int k = 0; k < VR_Heap::kSizeClassCount; k++) usedSmall += c.smallBlocks[k];
            usedBig = c.bigBlocks;
            out->countersOnly = 1;
        }
        /* What waits in thread caches for this heap: lent out by the
           heap, free for the program. */
        unsigned long cachedSmall[VR_Heap::kSizeClassCount] = {0};
        unsigned long cachedBigBlocks = 0, cachedBigBytes = 0, cachedSmallBlocks = 0, cachedSmallBytes = 0;
        cached.general(h, cachedSmall, &cachedBigBlocks, &cachedBigBytes);
        for (int k = 0; k < VR_Heap::kSizeClassCount; k++) {
            cachedSmallBlocks += cachedSmall[k];
            cachedSmallBytes += cachedSmall[k] * ClassSize(k);
        }

        out->oneSize = 0;
        out->pageSets = pageSets;
        out->pageSetCommittedBytes = committed;
        out->bigPageSets = bigSets;
        out->bigReservedBytes = bigReserved;
        out->bigCommittedBytes = bigCommitted;
        /* Block counts come from the page-set headers, which count every
           block out of the free lists; bytes and classes from the counters. */
        out->smallBlocks = usedSmall - cachedSmallBlocks;
        out->smallBytes = c.smallBytes - cachedSmallBytes;
        out->bigBlocks = usedBig - cachedBigBlocks;
        out->bigBytes = c.bigBytes - cachedBigBytes;
        out->directBlocks = walk ? VR_Access::DirectCount(*h) : c.directBlocks;
        out->directBytes = c.directBytes;
        out->cachedBlocks = cachedSmallBlocks + cachedBigBlocks;
        out->cachedBytes = cachedSmallBytes + cachedBigBytes;
        for (int k = 0; k < VR_Heap::kSizeClassCount; k++) out->classBlocks[k] = c.smallBlocks[k] - cachedSmall[k];
        uint32_t smallHeld = pageSets * kSmallFirstBlock + out->smallBytes;
        out->pageSetFreeBytes = committed > smallHeld ? committed - smallHeld : 0;
        uint32_t bigHeld = bigSets * kBigPageSetHeader + out->bigBytes;
        out->bigFreeBytes = bigCommitted > bigHeld ? bigCommitted - bigHeld : 0;
        out->blocksInUse = out->smallBlocks + out->bigBlocks + out->directBlocks;
        out->bytesInUse = out->smallBytes + out->bigBytes + out->directBytes;
        out->peakBytesInUse = c.peakBytes;
    }

    void DescribeOneSize(VR_HeapOneSize *h, int walk, const VR_CacheShare &cached, VR_HeapStats *out)
    {
        uint32_t pageSets = 0, committed = 0, used = 0, headers = 0;
        out->countersOnly = !walk;
        for (VR_PageSetBase *p = walk ? VR_Access::PageSets(*h) : 0; p; p = p->next) {
            pageSets++;
            committed += (uint32_t)(p->commitEnd - p->Base());
            used += p->usedCount;
            /* The header and the blocks' marks. */
            headers += ((VR_OneSizePageSet *)p)->firstBlock;
        }
        /* Blocks waiting in threads' bins count as used in their page sets;
           for the caller they are free. */
        uint32_t waiting = cached.oneSize(h);
        used = used > waiting ? used - waiting : 0;
        out->cachedBlocks = waiting;
        out->cachedBytes = waiting * (uint32_t)VR_Access::BlockSize(*h);
        out->oneSize = 1;
        out->pageSets = pageSets;
        out->pageSetCommittedBytes = committed;
        out->smallBlocks = used;
        out->smallBytes = used * (uint32_t)VR_Access::BlockSize(*h);
        uint32_t held = headers + out->smallBytes;
        out->pageSetFreeBytes = committed > held ? committed - held : 0;
        out->blocksInUse = used;
        out->bytesInUse = out->smallBytes;
    }

    void Describe(VR_AHeap *heap, int oneSize, int atExit, const VR_CacheShare &cached, VR_HeapStats *out)
    {
        int locked = LockHeap(heap, atExit);
        /* At exit DefaultHeap without a lock is walked too: InitVorrel
           declared it used by the main thread, which is the one exiting. */
        int walk = locked || (atExit && !VR_Access::LockActive(*heap) && heap == &DefaultHeap);
        if (oneSize) DescribeOneSize(static_cast<VR_HeapOneSize *>(heap), walk, cached, out);
        else DescribeGeneral(static_cast<VR_Heap *>(heap), walk, cached, out);
        if (locked) vr_os::LockLeave(&VR_Access::Lock(*heap));
    }

} // namespace

/* The body of VR_GetStats; atExit: locks are only tried (see above). */
unsigned long GetStatsAt(VR_Stats *stats, VR_HeapStats *heaps, unsigned long maxHeaps, int atExit,
                         const VR_CacheShare &cached)
{
    if (!heaps) maxHeaps = 0;
    if (!__atomic_load_n(&s_statsLockReady, __ATOMIC_ACQUIRE)) {
        VR_ProcessLockGuard guard;
        if (!s_statsLockReady) {
            vr_os::LockInit(&s_statsLock);
            __atomic_store_n(&s_statsLockReady, 1, __ATOMIC_RELEASE);
        }
    }
    int walker = atExit ? TryPatiently(&s_statsLock) : (vr_os::LockEnter(&s_statsLock), 1);

    /* The heaps to describe, DefaultHeap and HeapForHeaps first; each entry
       is checked again when it is pinned. */
    unsigned long wanted = 0, live = 0;
    int processLocked = atExit ? TryProcessLockPatiently() : (ProcessLockEnter(), 1);
    live = HeapCount();
    VR_AHeap *first[2] = {&DefaultHeap, &HeapForHeaps};
    for (int pass = 0; pass < 2; pass++) {
        for (uint32_t i = 0; i < HeapCount() && wanted < maxHeaps; i++) {
            VR_AHeap *h = HeapAt(i);
            int isProcessHeap = h == first[0] || h == first[1];
            if (pass == 0 ? !isProcessHeap : isProcessHeap) continue;
            memset(&heaps[wanted], 0, sizeof heaps[wanted]);
            heaps[wanted].heap = h;
            heaps[wanted].oneSize = HeapIsOneSize(i);
            heaps[wanted].name = h == first[0] ? "DefaultHeap" : h == first[1] ? "HeapForHeaps" : HeapName(h);
            wanted++;
        }
    }
    if (wanted >= 2 && heaps[0].heap == first[1] && heaps[1].heap == first[0]) {
        VR_HeapStats t = heaps[0];
        heaps[0] = heaps[1];
        heaps[1] = t;
    }
    if (processLocked) ProcessLockLeave();

    unsigned long done = 0;
    for (unsigned long i = 0; i < wanted; i++) {
        VR_AHeap *h = (VR_AHeap *)heaps[i].heap;
        int oneSize = heaps[i].oneSize;
        const char *name = heaps[i].name;
        if (atExit) {
            /* Nothing is torn down concurrently any more that matters:
               the heaps still registered stay readable. */
            int pl = TryProcessLockPatiently();
            uint32_t at;
            int found = 0;
            for (at = 0; at < HeapCount(); at++)
                if (HeapAt(at) == h) found = 1;
            if (pl) ProcessLockLeave();
            if (!found) continue;
        } else {
            ProcessLockEnter();
            int pinned = PinHeap(h);
            ProcessLockLeave();
            if (!pinned) continue;
        }
        VR_HeapStats *out = &heaps[done];
        if (out != &heaps[i]) memset(out, 0, sizeof *out);
        out->heap = h;
        out->name = name;
        Describe(h, oneSize, atExit, cached, out);
        if (!atExit) UnpinHeap();
        done++;
    }

    if (stats) {
        memset(stats, 0, sizeof *stats);
        SpaceTotals(stats->space);
        for (int k = 0; k < VR_SPACE_KINDS; k++) {
            stats->reservedBytes += stats->space[k].reservedBytes;
            stats->committedBytes += stats->space[k].committedBytes;
        }
        stats->peakCommittedBytes = SpacePeakCommitted();
        stats->heapCount = live;
        for (int k = 0; k < VR_Heap::kSizeClassCount; k++) stats->classSize[k] = ClassSize(k);
        for (unsigned long i = 0; i < done; i++)
            if (!heaps[i].oneSize)
                for (int k = 0; k < VR_Heap::kSizeClassCount; k++) stats->classBlocks[k] += heaps[i].classBlocks[k];
    }
    if (walker) vr_os::LockLeave(&s_statsLock);
    return done;
}
