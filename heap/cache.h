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
 *   small: seal 0, blockFlags kBlockFree | kBlockCached
 *   big:   seal 0, blockFlags kBlockAlt | kBlockFree | kBlockCached, still
 *          on the heap's bigBlocks list, its chunk still in use
 *
 * so ForEach, FindFirstThat, Realloc and a second free all see a freed
 * block, and Validate tells a cached block from a lost one. The first word
 * of a waiting block's data links the next block of its bin.
 *
 * Clear and destruction of a heap unbind every cache bound to it (under the
 * heap's lock and the cache registry's lock): the bins of such a cache are
 * forgotten, never read, when its thread next binds. A thread that ends
 * gives its waiting blocks back (the platform's thread-exit notification).
 *
 * Fork. The child keeps only the forking thread; another thread may have
 * been half-way through a bin step, which takes no lock. Those steps change
 * a bin's room first when they put a block in and last when they take one
 * out, so a bin whose count differs from its room names the class of the
 * one block in between, and AdoptAfterFork finds it by its header.
 *
 * Bounds, per thread: a small bin starts with room for 2 KB of blocks (4
 * to 64 of them) and doubles its room each time it runs empty or over, up
 * to 8 KB (8 to 256 blocks): a thread that churns one class hard goes to
 * the heap's lock once per hundred blocks or so, one that uses it lightly
 * keeps little waiting. At most 416 KB in all small bins (320 KB where
 * blocks are 16-aligned).
 * Big blocks of up to kBigCacheLimit bytes wait in 25 bins of one block
 * class each (at most 64 KB or one block per bin), at most kBigCacheBytes
 * (1 MB) of chunks in all.
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
 * Lock order: heap lock -> cache registry lock -> process lock.
 */
#ifndef VR_HEAP_CACHE_H
#define VR_HEAP_CACHE_H

#include <string.h>

#include "heap_internal.h"
#include "os_thread.h"

enum {
    kBlockCached = 4,           /* blockFlags bit 2: waiting in a thread cache */
    kBigCacheLimit = 65536,     /* largest big block size served from a cache */
    kBigClassCount = 25,        /* big block classes up to kBigCacheLimit */
    kBigCacheBytes = 1048576,   /* chunk bytes waiting in one thread's big bins */
    kRebindMisses = 256,
    kBatchSlots = 4,            /* batches per class in a heap's transfer table */
    kOneSizeBinBytes = 4096,    /* the bytes a one-size bin holds, 4 to 128 blocks */
    kOneSizeBindMisses = 16     /* slow allocations in a row before a one-size bin binds */
};

struct VR_CacheBin {
    void *head;         /* caller pointer of the newest waiting block; null when empty */
    uint16_t room;      /* blocks the bin still takes; capacity - room are waiting */
    uint16_t capacity;  /* the bin's room when empty; grows up to its class's bound */
};

/* The bin of one VR_HeapOneSize with a lock: its blocks (headerless, as
   all of that heap's) count as used in their page sets, and the first word
   of each links the next. heap is written under the cache registry's lock
   (and the heap's, for binding and unbinding); the rest is the owner's.
   Invariant, when bound: capacity - room blocks of heap on the list. */
struct VR_OneSizeBin {
    VR_HeapOneSize *heap;
    void *head;
    uint16_t room;
    uint16_t capacity;
    VR_HeapOneSize *candidate;  /* the unbound heap of the last slow allocations */
    uint32_t misses;            /* how many of them in a row */
};

/*
 * Invariants, for a bound cache: every block on small[k] is a small block
 * of class k of `heap` flagged as above, capacity - room of them, with
 * capacity between the class's first capacity and its bound; every
 * block on big[j] is a big block of `heap` in a chunk for which
 * ChunkFitsClass(j) holds, and bigBytes is the sum of those chunks. An unbound
 * cache's bins mean nothing and are reset when it binds.
 */
struct VR_ThreadCache {
    VR_Heap *heap;              /* bound heap or null */
    VR_Heap *pending;           /* unbound while its blocks were still the heap's:
                                   they go back to it on the owner's next slow call */
    uint32_t zeroInit;          /* the bound heap zero-fills (copied at binding) */
    uint32_t bigBytes;          /* chunk bytes waiting in big bins */
    uint32_t misses;            /* allocations from another heap since the last slow call for this one */
    uint32_t dead;              /* 1 for the record of threads that have ended */
    VR_ThreadCache *next;       /* cache registry, under its lock */
    VR_ThreadCache *prev;
    VR_Heap *unlocked;          /* a heap without a lock that this thread's AllocMem
                                   has read: the hooks may serve from it inline */
    VR_OneSizeBin oneSize;      /* blocks of one locked VR_HeapOneSize */
    VR_CacheBin small[VR_Heap::kSizeClassCount];
    VR_CacheBin big[kBigClassCount];
};

/* A batch of blocks of one class, linked as in a bin. */
struct VR_CacheBatch {
    void *head;
    uint32_t count;
};

/* A heap's transfer table, under the heap's lock. Invariant: batches
   [0, used[k]) of class k each hold count blocks of class k of the heap,
   marked as waiting; batchCount is the sum of used[]. */
struct VR_TransferTable {
    uint32_t batchCount;
    uint32_t used[VR_Heap::kSizeClassCount];
    VR_CacheBatch batch[VR_Heap::kSizeClassCount][kBatchSlots];
};

/* heap and pending are written only under the cache registry's lock (and,
   for binding and unbinding, the heap's lock), by the owner or by a thread
   that clears, destroys or bypasses the heap; the owner reads them without
   a lock. Everything else is the owner's alone. */
static_assert(offsetof(VR_ThreadCache, oneSize) == 36 && sizeof(VR_OneSizeBin) == 20 &&
                  offsetof(VR_OneSizeBin, capacity) == offsetof(VR_OneSizeBin, room) + 2 &&
                  offsetof(VR_ThreadCache, small) == 56 && sizeof(VR_CacheBin) == 8 &&
                  offsetof(VR_CacheBin, capacity) == offsetof(VR_CacheBin, room) + 2 &&
                  sizeof(VR_ThreadCache) == 56 + 8 * (VR_Heap::kSizeClassCount + kBigClassCount),
              "thread cache: nine words, the one-size bin, then the bins");

/* VR_Heap's class table for the sizes of small requests plus their header,
   in a copy that stays inside the library (reached without the global
   offset table). */
extern uint8_t s_cacheClassOf[1025];

struct VR_API VR_Cache {
    static uint32_t s_smallCapacity[VR_Heap::kSizeClassCount]; /* a bin's first capacity */
    static uint32_t s_smallMax[VR_Heap::kSizeClassCount];      /* and its bound */
    static uint32_t s_bigClassSize[kBigClassCount];   /* largest request of each big class */
    static uint32_t s_bigCapacity[kBigClassCount];
    static uint32_t s_bigChunk[kBigClassCount];       /* the chunk size of each big class */

    static VR_ThreadCache *Current() { return (VR_ThreadCache *)vr_os::ThreadSlotGet(vr_os::kSlotCache); }

    /* The class of a big request of 1017..kBigCacheLimit bytes: four classes
       per power of two, found with one bit scan (no division). */
    static unsigned BigClassOf(uint32_t size)
    {
        uint32_t u = size - 1;
        unsigned e = 31 - (unsigned)__builtin_clz(u);
        return ((e - 2) << 2) + ((u >> (e - 2)) & 3) - 31;
    }
    /* Whether a chunk in use (its size tag) can wait in the bin of big
       class j: it holds any block of the class, and what it holds beyond
       is a rest that was too small to split off. */
    static int ChunkFitsClass(uint32_t sizeTag, unsigned j)
    {
        return sizeTag - s_bigChunk[j] < (uint32_t)kMinChunk;
    }

    /* The common case of AllocMem: a block of the class from the calling
       thread's cache bound to heap or, for a heap without a lock, from the
       heap's own lists; null when the slow path must serve. */
    static void *Alloc(VR_Heap *heap, uint32_t size)
    {
        VR_ThreadCache *c = Current();
        if (__builtin_expect(c != 0 && __atomic_load_n(&c->heap, __ATOMIC_RELAXED) == heap, 1))
            return FromBins(c, size);
        if (heap->lockActive) return 0;
        if (c && !c->dead) c->unlocked = heap;
        return heap->AllocSmallUnlocked(size);
    }

    /* The same for malloc and operator new, whose heap (the thread's
       default) may be any pointer the program set: it is read here only
       when AllocMem has read it before (a fault in a heap that cannot be
       read belongs to the hook's guarded slow path). */
    static void *AllocForHook(VR_Heap *heap, uint32_t size)
    {
        VR_ThreadCache *c = Current();
        if (__builtin_expect(c != 0 && __atomic_load_n(&c->heap, __ATOMIC_RELAXED) == heap, 1))
            return FromBins(c, size);
        if (!c || c->unlocked != heap || heap->lockActive) return 0;
        return heap->AllocSmallUnlocked(size);
    }

    /* A block for size bytes from the bins of c, or null. */
    static void *FromBins(VR_ThreadCache *c, uint32_t size)
    {
        void *p;
        if (__builtin_expect(size <= VR_Heap::kSmallLimit, 1)) {
            unsigned k = s_cacheClassOf[size + 8];
            VR_CacheBin *b = &c->small[k];
            p = b->head;
            if (__builtin_expect(!p, 0)) return 0;
            b->head = *(void **)p;
            VR_BlockHeader *h = SmallHeaderOf(p);
            h->seal = SealOf(p);
            /* Size, class (unchanged) and flags (live) in one store. */
            *(uint32_t *)&h->requestedSize = size | (k << 16);
            /* The room last (see AdoptAfterFork). */
            __atomic_signal_fence(__ATOMIC_SEQ_CST);
            b->room++;
        } else {
            if (size > kBigCacheLimit) return 0;
            unsigned j = BigClassOf(size);
            VR_CacheBin *b = &c->big[j];
            p = b->head;
            if (!p) return 0;
            b->head = *(void **)p;
            VR_AltBlock *h = AltHeaderOf(p);
            c->bigBytes -= ChunkTagOfHeader(h);
            h->seal = SealOf(p);
            h->size = size;
            h->blockFlags = kBlockAlt;
            __atomic_signal_fence(__ATOMIC_SEQ_CST);
            b->room++;
        }
        if (c->zeroInit) memset(p, 0, size);
        return p;
    }

    /* The common case of FreeMem, for a block in library memory that
       carries its seal: 1 when the block now waits in the calling thread's
       cache, went straight back to a heap without a lock (or was already
       freed), 0 when the caller must free it the ordinary way. */
    static int Free(void *block)
    {
        uint8_t f = BlockFlagsOf(block);
        if (__builtin_expect(f == 0, 1)) {
            VR_BlockHeader *h = SmallHeaderOf(block);
            VR_Heap *owner = ((VR_SmallPageSet *)PageSetOf(h))->owner;
            VR_ThreadCache *c = Current();
            if (__builtin_expect(!c || owner != __atomic_load_n(&c->heap, __ATOMIC_RELAXED), 0)) {
                /* A heap without a lock has one user at a time: its own
                   lists are as cheap as a bin, and nothing waits. */
                if (owner->lockActive) return 0;
                VR_Heap::FreeSmallUnlocked(h);
                return 1;
            }
            VR_CacheBin *b = &c->small[h->sizeClass];
            if (__builtin_expect(!b->room, 0)) return 0;
            /* The room first (see AdoptAfterFork). */
            b->room--;
            __atomic_signal_fence(__ATOMIC_SEQ_CST);
            h->seal = 0;
            h->blockFlags = kBlockFree | kBlockCached;
            *(void **)block = b->head;
            b->head = block;
            return 1;
        }
        if (f == kBlockAlt) {
            VR_ThreadCache *c = Current();
            return c ? FreeBig(c, block) : 0;
        }
        return 0;
    }

    static int FreeBig(VR_ThreadCache *c, void *block);

    /* The common cases of a VR_HeapOneSize with a lock: a block from the
       calling thread's bin bound to heap (null when there is none), and a
       block put there (0 when the bin is not heap's or is full). */
    static void *OneSizeAlloc(VR_HeapOneSize *heap)
    {
        VR_ThreadCache *c = Current();
        if (!c || __atomic_load_n(&c->oneSize.heap, __ATOMIC_RELAXED) != heap) return 0;
        void *p = c->oneSize.head;
        if (!p) return 0;
        c->oneSize.head = *(void **)p;
        c->oneSize.room++;
        return p;
    }
    static int OneSizeFree(VR_HeapOneSize *heap, void *block)
    {
        VR_ThreadCache *c = Current();
        if (!c || __atomic_load_n(&c->oneSize.heap, __ATOMIC_RELAXED) != heap || !c->oneSize.room) return 0;
        *(void **)block = c->oneSize.head;
        c->oneSize.head = block;
        c->oneSize.room--;
        return 1;
    }
    /* Slow paths of a VR_HeapOneSize with a lock. PrepareOneSize (no lock
       held) returns the calling thread's cache when its one-size bin is or
       may now be bound to heap (giving another heap's blocks back first),
       else null; under heap's lock, RefillOneSizeLocked binds it and fills
       half of the bin, and SpillOneSizeLocked gives half of a full bin
       back (0 when c's bin is not heap's). */
    static VR_ThreadCache *PrepareOneSize(VR_HeapOneSize *heap);
    static void RefillOneSizeLocked(VR_ThreadCache *c, VR_HeapOneSize *heap);
    static int SpillOneSizeLocked(VR_HeapOneSize *heap);
    /* Gives c's one-size bin back to its heap and unbinds it. */
    static void FlushOneSize(VR_ThreadCache *c);
    /* Under heap's lock, for Clear and destruction: every bin bound to heap
       is unbound and forgotten. */
    static void ForgetOneSizeLocked(VR_HeapOneSize *heap);
    /* Under heap's lock: checks the bins bound to heap. */
    static const char *ValidateOneSize(VR_HeapOneSize *heap);
    /* Blocks waiting in the bins bound to heap (a snapshot). */
    static uint32_t OneSizeWaiting(VR_HeapOneSize *heap);

    /* A bin that ran empty or over doubles its room, up to its bound: the
       next refill or spill then moves twice as many blocks at once. */
    static void GrowBin(VR_CacheBin *b, unsigned k)
    {
        uint32_t cap = b->capacity, grown = cap * 2;
        if (grown > s_smallMax[k]) grown = s_smallMax[k];
        if (grown <= cap) return;
        b->room = (uint16_t)(b->room + (grown - cap));
        b->capacity = (uint16_t)grown;
    }
    /* Blocks waiting in a bin, from one read of its room and the capacity
       that follows it (a thread other than the owner may ask). */
    static uint32_t WaitingIn(const uint16_t *roomThenCapacity)
    {
        uint32_t word = __atomic_load_n((const uint32_t *)roomThenCapacity, __ATOMIC_RELAXED);
        uint32_t room = word & 0xFFFF, cap = word >> 16;
        return room <= cap ? cap - room : 0;
    }

    /* All of FreeMem that needs no lock: 1 when nothing more is to be done
       (the pointer is no live block of the library's, or the block now
       waits in the thread's cache), 0 when it must be freed the ordinary
       way. */
    static int FreeFast(void *block)
    {
        /* Anything outside committed library memory (null too) was not
           handed out here (the seal test asks the commit table, which says
           no for foreign memory as the region map would); an interior or
           garbage pointer into library memory carries no seal, and nothing
           in front of it is trusted then. */
        if (!IsSealedBlock(block)) return 1;
        return Free(block);
    }

    /* Slow-path services. */
    /* The calling thread's cache when it is (or may now become) bound to
       heap: creates it on first need and, for an allocation, rebinds it
       after kRebindMisses allocations in a row from another heap, giving
       the blocks of the old heap back (frees never move a cache: a thread
       that frees other heaps' blocks keeps serving its own). Null when the
       cache is not to be used for heap now. Call without holding any
       heap's lock; bind with BindLocked under heap's lock afterwards. */
    static VR_ThreadCache *Prepare(VR_Heap *heap, int allocating);
    /* Under heap's lock: binds c to heap when it is unbound. 1 when c is
       bound to heap afterwards. */
    static int BindLocked(VR_ThreadCache *c, VR_Heap *heap);
    /* Gives every waiting block of the calling thread back to its heap and
       unbinds its cache; 1 when any block was waiting. Holds no lock on
       entry. */
    static int FlushCurrent();
    /* Unbinds every cache bound to heap (any heap when null). With keep,
       their waiting blocks stay the heap's and go back to it when each
       cache's thread next needs its cache (flags changed, frees bypassed);
       without, they are forgotten (the heap is cleared or destroyed, and
       its lock is held). */
    static void UnbindAll(VR_AHeap *heap, int keep);
    /* Under heap's lock: checks the caches bound to heap, and counts the
       blocks waiting in them. */
    static const char *Validate(VR_Heap *heap, uint32_t *smallWaiting, uint32_t *bigWaiting);
    /* One-time set-up of the tables (with the size classes). */
    static void InitTables();
    /* Under heap's lock: moves count blocks of the full bin b of class k
       into a batch of heap's transfer table; 0 when the table has no room
       (the bin is unchanged). */
    static int PutBatchLocked(VR_Heap *heap, VR_CacheBin *b, unsigned k, uint32_t count);
    /* Under heap's lock: fills c's empty bin of class k with a batch; 0
       when there is none. */
    static int TakeBatchLocked(VR_Heap *heap, VR_ThreadCache *c, unsigned k);
    /* Under heap's lock: every batched block goes back to the heap's lists;
       1 when there was any. */
    static int DrainLocked(VR_Heap *heap);
    /* Under heap's lock, for Clear: the batches are forgotten (their page
       sets go with the rest). */
    static void ForgetBatches(VR_Heap *heap);
    /* Adds the blocks batched in heap's table to smallBlocks (per class;
       read without the lock, a snapshot). */
    static void CountBatches(VR_Heap *heap, unsigned long *smallBlocks);
    /* Gives the table of a heap that goes away back. */
    static void FreeTransfer(VR_Heap *heap);
    /* Called for a thread that ends, with its cache. */
    static void ThreadExit(void *value);
    /* In the child of a fork, which has only the forking thread: the caches
       of the threads that did not come along give their blocks back to
       their heaps and go away, and the block each such thread had half
       taken from or put into a bin (a bin whose count differs from its
       room tells of one) is found and given back too. Called before the
       child's locks are reset, while the forking thread still holds every
       heap's lock and the registry's. */
    static void AdoptAfterFork();
    /* Gives the blocks of c back to its heap and unbinds it. */
    static void FlushAll(VR_ThreadCache *c);
};

/* What waits in the thread caches for heap (read without stopping their
   threads, so a figure for a heap in use is only a snapshot). Any pointer
   may be null. */
VR_API void CacheTotals(VR_Heap *heap, unsigned long *smallBlocks, unsigned long *bigBlocks,
                        unsigned long *bigBytes);

#endif
