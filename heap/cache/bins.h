/*
 * bins.h - the records of the thread cache: a thread's bins, its one-size
 * bin, a heap's transfer table; the bounds of the bins, fixed when the
 * library is compiled; and the operations that move a block into or out
 * of a bin, the only code that writes one.
 */
#ifndef VR_CACHE_BINS_H
#define VR_CACHE_BINS_H

#include "chunks.h"
#include "heap_internal.h"
#include "small.h"

enum {
    kBigCacheLimit = 65536,     /* largest big block size served from a cache */
    kBigClassCount = 25,        /* big block classes up to kBigCacheLimit */
    kBigCacheBytes = 1048576,   /* chunk bytes waiting in one thread's big bins */
    kRebindMisses = 256,
    kBatchSlots = 4,            /* batches per class in a heap's transfer table */
    kOneSizeBinBytes = 4096,    /* the bytes a one-size bin holds, 4 to 128 blocks */
    kOneSizeBindMisses = 16,    /* slow allocations in a row before a one-size bin binds */
    /* Full bins met since the last refill that mark a heap's threads as
       freeing (cache.h, "Giving back"): a few rounds of every class a busy
       program uses, so that a program that allocates too never gets there. */
    kFreeingSpills = 32
};

/* Blocks linked through their first word, newest first. Invariant:
   capacity - room blocks on the list, room <= capacity. */
struct VR_CacheBin {
    void *head;         /* caller pointer of the newest waiting block; null when empty */
    uint16_t room;      /* blocks the bin still takes */
    uint16_t capacity;  /* the bin's room when empty; grows up to its class's bound */
};

/* The bin of one VR_HeapOneSize with a lock: its blocks (headerless, as
   all of that heap's) count as used in their page sets. heap is written
   under the cache registry's lock (and the heap's, for binding and
   unbinding); the rest is the owner's. Invariant, when bound: the bin
   holds blocks of heap only. */
struct VR_OneSizeBin {
    VR_HeapOneSize *heap;
    VR_CacheBin bin;
    VR_HeapOneSize *candidate;  /* the unbound heap of the last slow allocations */
    uint32_t misses;            /* how many of them in a row */
};

/*
 * Invariants, for a bound cache: every block on small[k] is a small block
 * of class k of `heap` flagged kBlockFree | kBlockCached with seal 0, and
 * capacity lies between 1 and its class's bound; every
 * block on big[j] is a big block of `heap` so flagged, in a chunk for
 * which ChunkFitsClass(j) holds, and bigBytes is the sum of those chunks.
 * An unbound cache's bins mean nothing and are reset when it binds.
 *
 * heap and pending are written only under the cache registry's lock (and,
 * for binding and unbinding, the heap's lock), by the owner or by a thread
 * that clears, destroys or bypasses the heap; the owner reads them without
 * a lock. Everything else is the owner's alone.
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

static_assert(offsetof(VR_ThreadCache, oneSize) == 36 && sizeof(VR_OneSizeBin) == 20 &&
                  offsetof(VR_OneSizeBin, bin) == 4 && offsetof(VR_ThreadCache, small) == 56 &&
                  sizeof(VR_CacheBin) == 8 && offsetof(VR_CacheBin, capacity) == offsetof(VR_CacheBin, room) + 2 &&
                  sizeof(VR_ThreadCache) == 56 + 8 * (VR_Heap::kSizeClassCount + kBigClassCount),
              "thread cache: nine words, the one-size bin, then the bins");

/*
 * The bounds. A small bin starts with room for 2 KB of blocks (4 to 64 of
 * them) and grows up to 8 KB (8 to 256: the room is a 16-bit count). Big
 * classes: four per power of two from 1017 bytes up to kBigCacheLimit,
 * each bin holding 64 KB of blocks or one block.
 */
struct VR_BinBounds {
    uint32_t smallFirst[VR_Heap::kSizeClassCount];   /* a small bin's first capacity */
    uint32_t smallMax[VR_Heap::kSizeClassCount];     /* and its bound */
    uint32_t bigSize[kBigClassCount];                /* largest request of each big class */
    uint32_t bigCapacity[kBigClassCount];
    uint32_t bigChunk[kBigClassCount];               /* the chunk of each big class */
};

constexpr uint32_t Clamp(uint32_t n, uint32_t lo, uint32_t hi) { return n < lo ? lo : n > hi ? hi : n; }

constexpr VR_BinBounds MakeBinBounds()
{
    VR_BinBounds t = {};
    for (int k = 0; k < VR_Heap::kSizeClassCount; k++) {
        uint32_t size = kClasses.size[k];
        t.smallFirst[k] = Clamp(size ? 2048 / size : 0, 4, 64);
        t.smallMax[k] = Clamp(size ? 8192 / size : 0, 8, 256);
    }
    for (unsigned j = 0; j < kBigClassCount; j++) {
        unsigned index = j + 31, e = (index >> 2) + 2;
        uint32_t size = (uint32_t)(4 + (index & 3) + 1) << (e - 2);
        t.bigSize[j] = size;
        t.bigChunk[j] = ChunkSizeFor(AlignUp(size + kAltHeaderSize));
        t.bigCapacity[j] = 65536 / size ? 65536 / size : 1;
    }
    return t;
}

inline constexpr VR_BinBounds kBins = MakeBinBounds();

static_assert(kBins.bigSize[0] > VR_Heap::kSmallLimit && kBins.bigSize[0] == 1024,
              "the first big class takes the requests just above the small blocks");
static_assert(kBins.bigSize[kBigClassCount - 1] == kBigCacheLimit, "the last big class ends at the cache's limit");

/* The class of a big request of 1017..kBigCacheLimit bytes: four classes
   per power of two, found with one bit scan (no division). */
inline unsigned BigClassOf(uint32_t size)
{
    uint32_t u = size - 1;
    unsigned e = 31 - (unsigned)__builtin_clz(u);
    return ((e - 2) << 2) + ((u >> (e - 2)) & 3) - 31;
}

/* Whether a chunk in use (its size tag) can wait in the bin of big class
   j: it holds any block of the class, and what it holds beyond is a rest
   that was too small to split off. */
inline int ChunkFitsClass(uint32_t sizeTag, unsigned j) { return sizeTag - kBins.bigChunk[j] < (uint32_t)kMinChunk; }

/*
 * The links. A waiting block's first word links the next block of its bin
 * or batch, stored mangled: the next block's address xor the word's own
 * address xor a secret of the process. The program may still write into a
 * block it freed (a racing double free hands one block to two threads),
 * but a word it writes there decodes to an address nobody chose, and a
 * decoded link that is not 8-aligned or leads outside committed library
 * memory is dropped, never followed: the bin is cut there and its blocks
 * behind are lost to reuse. What a racing double free of a small block
 * can still do is hand the block, and blocks linked behind it, to two
 * callers.
 */
/* The secret is the heaps' (layout.h); made before the first page set
   and again, at no cost, before the first cache. */
inline void SetLink(void *slot, void *next)
{
    *(uint32_t *)slot = MangledLink(slot, (uint32_t)(uintptr_t)next);
}

inline void *LinkAt(const void *slot)
{
    return (void *)(uintptr_t)MangledLink(slot, *(const uint32_t *)slot);
}

/* Whether a decoded link may be followed (null ends a list). */
inline int LinkOk(const void *next)
{
    return next == 0 || (((uintptr_t)next & 3) == 0 && IsLibraryMemory(next));
}

/*
 * The order of a bin's steps. A bin's room changes first when a block goes
 * in and last when one comes out, with the block's header written in
 * between; the compiler keeps that order (no other thread reads a bin
 * while its owner runs). So a bin whose list holds one block fewer than
 * its room says was stopped half-way through one step, on the block it
 * names by its class: a forked child, which keeps only the forking thread,
 * finds that block by its header (see AdoptAfterFork).
 */

/* Whether a bin's head may not be followed: null (the table says nothing
   is committed at address 0), not 8-aligned as every block is, or outside
   the 64 KB regions of library memory that have pages committed (the
   commit table: one byte load). One branch for all of it, and few
   registers, so that the pop keeps its own. */
inline int LinkBad(const void *p)
{
    uint32_t u = (uint32_t)(uintptr_t)p;
    return __builtin_expect((u & 7) != 0, 0) || __builtin_expect(s_committedSteps[u >> 16] == 0, 0);
}

/* The newest block of b, taken off, and mark(p) run on it before the room
   changes; null when b is empty. A link is checked when it is about to be
   followed, as the head of the bin, not when it is decoded into the head:
   the head is known before the block's word is read, so the check runs
   beside the load and the xor that decodes the next link, not after them
   (a malloc/free pair that reuses one block waits on that chain). Every
   head is tested against the commit table, not only those that leave the
   last block's 64 KB region, because blocks of one bin come from many page
   sets in any order and a branch on "same region" would go either way at
   random (a mispredicted branch costs more than a byte load that the pops
   of a thread keep in the first-level cache). The test fails only on an
   empty bin or a forged link; a forged one cuts the bin (its blocks behind
   are lost to reuse). No assertion on the room either: a racing double
   free links one bin's blocks into another's, and such a bin holds more
   than it counts (Validate names it; nothing is unsafe). */

/* The rare end of BinTake: a head that is not null failed the test; the
   bin is cut (empty, its room back to its capacity). */
__attribute__((noinline, cold)) void CutBin(VR_CacheBin *b);

template <class Mark>
inline void *BinTake(VR_CacheBin *b, Mark mark)
{
    void *p = b->head;
    if (__builtin_expect(LinkBad(p), 0)) {
        if (p) CutBin(b);
        return 0;
    }
    /* Region 0 is never library memory: p is not null here. */
    if (!p) __builtin_unreachable();
    b->head = LinkAt(p);
    mark(p);
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    b->room++;
    return p;
}

inline void *BinPop(VR_CacheBin *b)
{
    return BinTake(b, [](void *) {});
}

/* The two halves of putting a block into b, which the caller has seen
   room in: the room taken (undone by BinUnreserve when the block does not
   come after all), then the block linked. */
inline void BinReserve(VR_CacheBin *b)
{
    VR_ASSERT(b->room != 0);
    /* Apart from the test of the room: one decrement in memory. */
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    b->room--;
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
}

inline void BinUnreserve(VR_CacheBin *b)
{
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    b->room++;
}

inline void BinLink(VR_CacheBin *b, void *p)
{
    SetLink(p, b->head);
    b->head = p;
}

/* p waits in b; the caller has seen room in it. */
inline void BinPush(VR_CacheBin *b, void *p)
{
    BinReserve(b);
    BinLink(b, p);
}

/* Whether a block taken off a bin or batch still waits: a racing double
   free may have linked it twice, or into a bin while it was handed out.
   Only a waiting block goes back to its heap, once. */
inline int SmallWaits(const void *p)
{
    const VR_BlockHeader *h = SmallHeaderOf(p);
    return h->blockFlags == (kBlockFree | kBlockCached) && h->seal == 0;
}
inline int BigWaits(const void *p)
{
    const VR_AltBlock *h = AltHeaderOf(p);
    return h->blockFlags == (kBlockAlt | kBlockFree | kBlockCached) && h->seal == 0;
}

/* Up to n blocks of b handed to give, newest first. */
template <class Give>
inline void BinGiveBack(VR_CacheBin *b, uint32_t n, Give give)
{
    void *p;
    while (n-- && (p = BinPop(b)) != 0) give(p);
}

/* Up to n blocks from take into b, as long as it has room. */
template <class Take>
inline void BinFill(VR_CacheBin *b, uint32_t n, Take take)
{
    void *p;
    while (n-- && b->room && (p = take()) != 0) BinPush(b, p);
}

/* An empty bin with room for capacity blocks. */
inline void BinReset(VR_CacheBin *b, uint32_t capacity)
{
    b->head = 0;
    b->room = b->capacity = (uint16_t)capacity;
}

/* A bin that ran empty or over doubles its room, up to bound: the next
   refill or spill then moves twice as many blocks at once. */
inline void BinGrow(VR_CacheBin *b, uint32_t bound)
{
    uint32_t cap = b->capacity, grown = cap * 2;
    if (grown > bound) grown = bound;
    if (grown <= cap) return;
    b->room = (uint16_t)(b->room + (grown - cap));
    b->capacity = (uint16_t)grown;
}

/* Blocks waiting in a bin, from one read of its room and the capacity
   that follows it (a thread other than the owner may ask). */
inline uint32_t BinWaiting(const VR_CacheBin *b)
{
    uint32_t word = __atomic_load_n((const uint32_t *)&b->room, __ATOMIC_RELAXED);
    uint32_t room = word & 0xFFFF, cap = word >> 16;
    return room <= cap ? cap - room : 0;
}

#endif
