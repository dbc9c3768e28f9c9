/*
 * cache.h - the thread cache: blocks that a thread freed wait in bins of its
 * own, and its next allocations of the same class take them back, with no
 * lock and no atomic instruction. Only heaps with a lock use it: a heap
 * without one has one user at a time, so its small blocks come from and go
 * back to its own lists on a path just as short (nothing of such a heap
 * ever waits in a cache).
 *
 * A cache is bound to one heap at a time (the heap the thread allocates
 * from, usually its default heap). Blocks of other heaps are freed the
 * ordinary way, under their heap's lock. A thread that keeps allocating
 * from another heap rebinds after kRebindMisses such allocations in a row
 * (frees never move a cache): its waiting blocks go back to the old heap
 * first.
 *
 * What the heap sees. A block lent to a cache still counts as in use in
 * its page set (usedCount) and in the heap's counters, so no page set that
 * holds one is ever given back; its header says where it is:
 *
 *   small: seal = its link's check word, blockFlags kBlockFree | kBlockCached
 *   big:   seal = its link's check word, blockFlags kBlockAlt | kBlockFree | kBlockCached, still
 *          on the heap's bigBlocks list, its chunk still in use
 *
 * so ForEach, FindFirstThat, Realloc and a second free all see a freed
 * block, and Validate tells a cached block from a lost one. The first word
 * of a waiting block's data links the next block of its bin, and its seal
 * word the link's check word (see bins.h: a word the program writes into
 * a freed block is never followed).
 *
 * Fork. The child keeps only the forking thread; another thread may have
 * been half-way through a bin step, which takes no lock. Those steps change
 * a bin's room first when they put a block in and last when they take one
 * out (bins.h), so a bin whose count differs from its room names the class
 * of the one block in between, and AdoptAfterFork finds it by its header.
 *
 * Clear and destruction of a heap unbind every cache bound to it (under the
 * heap's lock and the cache registry's lock): the bins of such a cache are
 * forgotten, never read, when its thread next binds. A thread that ends
 * gives its waiting blocks back (the platform's thread-exit notification).
 *
 * Bounds, per thread: a small bin starts with room for 2 KB of blocks (4
 * to 64 of them) and doubles its room each time it runs empty or over, up
 * to 8 KB (8 to 256 blocks; while the heap's threads only free, its room
 * halves instead, down to a quarter of its first room, see "Giving back"): a thread that churns one class hard goes to
 * the heap's lock once per hundred blocks or so, one that uses it lightly
 * keeps little waiting. At most 416 KB in all small bins (320 KB where
 * blocks are 16-aligned).
 * Big blocks of up to kBigCacheLimit bytes wait in 25 bins of one block
 * class each (at most 64 KB or one block per bin), at most kBigCacheBytes
 * (1 MB) of chunks in all.
 *
 * Rounding. A big block waits for any request of its class, so it gets the
 * chunk of the class's largest request: four classes per power of two
 * cost about 8% of those blocks' bytes. In a heap of a few megabytes that
 * is nothing; in one that holds hundreds of megabytes of big blocks, near
 * the end of a 32-bit address space, it is the tens of megabytes the next
 * requests fail for. So a heap that holds kRoundBigBelow (512 MB) or more
 * in big blocks gives new ones chunks of their own size. Such a chunk
 * fits no class, so it goes back to the heap when freed (under its lock,
 * placed by the free-chunk index in constant time); chunks that were
 * rounded before still wait in bins, and rounding starts again once the
 * heap is below the mark.
 *
 * Between threads. A bin at its bound hands half of its blocks to the
 * heap's transfer table as one batch, and a thread whose bin ran empty
 * takes a whole batch: blocks freed by one thread and allocated by another
 * (producers and consumers, servers) cross with one short hold of the
 * heap's lock per batch, the blocks untouched. Batched blocks stay marked
 * as waiting. A table holds at most kBatchSlots batches per class (4 KB
 * each at most: 832 KB per heap, 640 KB where blocks are 16-aligned); when
 * it is full, blocks go back to the heap's lists one by one. Out-of-memory
 * recovery and a heap that no longer lends give them back; Clear and
 * destruction forget them with the page sets.
 *
 * Giving back. A waiting block counts as in use in its page set, so one
 * block in a bin keeps a whole 64 KB page set from going back: a program
 * that frees a million blocks in no particular order would leave its page
 * sets pinned by the few thousand blocks the bins and the table hold when
 * it stops. So the heap counts the full bins its threads meet (spills)
 * since a bin was last refilled from it. Past kFreeingSpills (32) of them
 * its threads are freeing, not allocating: a full bin then sends every
 * small bin of its thread home, not half of itself, the table's batches
 * go home too (nobody is taking them), and so do the thread's big bins,
 * and the bin's room halves, down to a quarter of its first room (1 to 16
 * blocks). While the heap counts as freeing, big blocks do not wait at
 * all: one chunk of a few kilobytes in a bin keeps a big page set of
 * megabytes. Once the rooms are down,
 * any class whose bin fills brings all the thread's small bins home, so
 * between two such calls only a few dozen blocks wait, and each call
 * returns that many under one hold of the lock. Those few blocks are
 * still enough to keep a page set each when the frees stop (a shuffled
 * free of a million blocks ended with ten page sets held by ten blocks).
 * So once the heap has less than kCloseBinsBelow (1 MB) of small blocks
 * in use, and less than an eighth of what it had when it began to count
 * as freeing (the transfer table keeps that figure), the full bin of a
 * freeing thread closes all its small bins (room 0): the thread's last
 * frees, at most that many bytes, each take the lock and go home, and
 * nothing of the thread waits when they stop. Threads that trade blocks
 * (a consumer frees what a producer allocates) hold their bytes in use
 * and do not get there; keyed on the 1 MB alone, a queue of two threads
 * sent a million of its frees through the lock.
 * Page sets emptied on the way went back as they emptied. The first
 * refill (a bin that runs empty, a batch taken) or big allocation resets
 * the count, and the bins double their room as before; a closed bin opens
 * at its first room at its first refill, or at its first free once the
 * heap is no longer freeing.
 * Counted in slow-path events, never in time: no clock, no thread.
 *
 * Lock order: heap lock -> cache registry lock -> process lock.
 *
 * The cache never decides when to refill or spill a bin: the front (the
 * heap's AllocMem and FreeMem) does, with the operations below.
 */
#ifndef VR_CACHE_CACHE_H
#define VR_CACHE_CACHE_H

#include <string.h>

#include "bins.h"
#include "os_thread.h"

namespace vr_cache {

inline VR_ThreadCache *Current() { return (VR_ThreadCache *)vr_os::ThreadSlotGet(vr_os::kSlotCache); }

/* Whether c is bound to heap (c may be null). */
inline int IsBound(const VR_ThreadCache *c, const VR_Heap *heap)
{
    return c != 0 && __atomic_load_n(&c->heap, __ATOMIC_RELAXED) == heap;
}

/* The newest block of small bin b (of class k), live and sealed for size
   bytes (not zero-filled), or null when b is empty. */
inline void *TakeSmall(VR_CacheBin *b, unsigned k, uint32_t size)
{
    return BinTake(b, [&](void *q) {
        VR_BlockHeader *h = SmallHeaderOf(q);
        h->seal = SealOf(q);
        /* The size, the class (as cut) and the flags (live) in one store. */
        uint32_t word = size | (uint32_t)k << 16;
        memcpy(&h->requestedSize, &word, sizeof word);
    });
}

/* A block for size bytes from the bins of c, live and sealed, or null. */
inline void *FromBins(VR_ThreadCache *c, uint32_t size)
{
    void *p;
    if (__builtin_expect(size <= VR_Heap::kSmallLimit, 1)) {
        unsigned k = SmallClassOf(size);
        p = TakeSmall(&c->small[k], k, size);
        if (__builtin_expect(!p, 0)) return 0;
    } else {
        if (size > kBigCacheLimit) return 0;
        unsigned j = BigClassOf(size);
        p = BinTake(&c->big[j], [&](void *q) {
            VR_AltBlock *h = AltHeaderOf(q);
            c->bigBytes -= ChunkTagOfHeader(h);
            h->seal = SealOf(q);
            h->size = size;
            h->blockFlags = kBlockAlt;
        });
        if (!p) return 0;
    }
    if (c->zeroInit) memset(p, 0, size);
    return p;
}

/* A small block for size bytes (at most kSmallLimit) whose pointer is a
   multiple of alignment (a power of two up to kSmallAlignMax), from the
   bins of c, or null. It comes from the bin of the class AlignedClassOf
   names, when the newest block there lies on the boundary: blocks of that
   class freed by aligned requests always do, and the slow path fills the
   bin with such blocks (a block of it that a plain request had is passed
   over, not searched past). */
inline void *FromAlignedBin(VR_ThreadCache *c, uint32_t size, uint32_t alignment)
{
    unsigned k = AlignedClassOf(size, alignment);
    VR_CacheBin *b = &c->small[k];
    if ((uintptr_t)b->head & (alignment - 1)) return 0;
    void *p = TakeSmall(b, k, size);
    if (p && c->zeroInit) memset(p, 0, size);
    return p;
}

/* The live small block of header h (of the heap c is bound to) waits in
   its bin; 0 when the bin is full. */
inline int ToSmallBin(VR_ThreadCache *c, VR_BlockHeader *h)
{
    VR_CacheBin *b = &c->small[h->sizeClass];
    if (__builtin_expect(!b->room, 0)) return 0;
    BinReserve(b);
    h->blockFlags = kBlockFree | kBlockCached;
    /* The link and, over the seal, its check word. */
    BinLink(b, (uint8_t *)h + kHeaderBytes);
    return 1;
}

/* The same for a live big block: 1 when it waits in c's bin of its class
   (or another thread's free of it came first), 0 when it must be freed
   the ordinary way. */
int ToBigBin(VR_ThreadCache *c, void *block);

/* The one-size bin of c when it is bound to heap, else null. */
inline VR_CacheBin *OneSizeBinOf(VR_ThreadCache *c, const VR_HeapOneSize *heap)
{
    if (!c || __atomic_load_n(&c->oneSize.heap, __ATOMIC_RELAXED) != heap) return 0;
    return &c->oneSize.bin;
}

/* Making, binding and giving back (no heap lock held unless said). */

/* The calling thread's cache when it is (or may now become) bound to
   heap: creates it on first need and, for an allocation, rebinds it after
   kRebindMisses allocations in a row from another heap, giving the blocks
   of the old heap back (frees never move a cache: a thread that frees
   other heaps' blocks keeps serving its own). Null when the cache is not
   to be used for heap now. Bind with BindLocked under heap's lock after. */
VR_ThreadCache *Prepare(VR_Heap *heap, int allocating);
/* Under heap's lock: binds c to heap when it is unbound. 1 when c is
   bound to heap afterwards. */
int BindLocked(VR_ThreadCache *c, VR_Heap *heap);
/* The same for one-size heaps: PrepareOneSize answers the calling
   thread's cache when its one-size bin is or may now be bound to heap
   (after kOneSizeBindMisses slow allocations in a row from it, giving
   another heap's blocks back first); BindOneSizeLocked binds the bin, 1
   when it is heap's afterwards. */
VR_ThreadCache *PrepareOneSize(VR_HeapOneSize *heap);
int BindOneSizeLocked(VR_ThreadCache *c, VR_HeapOneSize *heap);
/* Gives every waiting block of the calling thread back to its heap and
   unbinds its cache; 1 when any block was waiting. */
int FlushCurrent();
/* Unbinds every cache bound to heap (any heap when null). With keep,
   their waiting blocks stay the heap's and go back to it when each
   cache's thread next needs its cache (flags changed, frees bypassed);
   without, they are forgotten (the heap is cleared or destroyed, and its
   lock is held). */
void UnbindAll(VR_AHeap *heap, int keep);
/* Under heap's lock, for Clear and destruction: every one-size bin bound
   to heap is unbound and forgotten. */
void ForgetOneSizeLocked(VR_HeapOneSize *heap);

/* The transfer table (under heap's lock unless said). */

/* Makes room in c's small bin of class k, which a freed block is about to
   enter and which is full (or was just bound): it grows; at its bound half
   of it becomes a batch (or goes back to the heap's lists); while the
   heap's threads only free, all of c's small bins go home and this one's
   room halves (see "Giving back" above). */
void SpillLocked(VR_Heap *heap, VR_ThreadCache *c, unsigned k);
/* Moves count blocks of the full bin b of class k into a batch of heap's
   table; 0 when the table has no room (the bin is unchanged). */
int PutBatchLocked(VR_Heap *heap, VR_CacheBin *b, unsigned k, uint32_t count);
/* Fills c's empty bin of class k with a batch; 0 when there is none. */
int TakeBatchLocked(VR_Heap *heap, VR_ThreadCache *c, unsigned k);
/* Every batched block goes back to the heap's lists; 1 when there was any. */
int DrainLocked(VR_Heap *heap);
/* For Clear: the batches are forgotten (their page sets go with the rest). */
void ForgetBatches(VR_Heap *heap);
/* Gives the table of a heap that goes away back (no lock). */
void FreeTransfer(VR_Heap *heap);

/* In the child of a fork, which has only the forking thread: the caches
   of the threads that did not come along give their blocks back to their
   heaps and go away, and the block each such thread had half taken from
   or put into a bin (a bin whose count differs from its room tells of one)
   is found and given back too. Called before the child's locks are reset,
   while the forking thread still holds every heap's lock and the
   registry's. */
void AdoptAfterFork();

/* Checks and totals. */

/* Under heap's lock: checks the caches bound to heap and its table, and
   counts the blocks waiting in them. */
const char *Validate(VR_Heap *heap, uint32_t *smallWaiting, uint32_t *bigWaiting);
/* Under heap's lock: checks the one-size bins bound to heap. */
const char *ValidateOneSize(VR_HeapOneSize *heap);
/* What waits for heap in the caches and its table (read without stopping
   their threads: a snapshot). Any pointer may be null. */
void Totals(VR_Heap *heap, unsigned long *smallBlocks, unsigned long *bigBlocks, unsigned long *bigBytes);
/* Blocks waiting in the one-size bins bound to heap (a snapshot). */
uint32_t OneSizeWaiting(VR_HeapOneSize *heap);

} // namespace vr_cache

#endif
