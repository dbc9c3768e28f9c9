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
#include "big.h"
#include "onesize.h"
#include "small.h"

enum {
    kBigCacheLimit = 65536,     /* largest big block size served from a cache */
    kBigClassCount = 25,        /* big block classes up to kBigCacheLimit */
    kBigCacheBytes = 1048576,   /* chunk bytes waiting in one thread's big bins */
    /* A heap's big-block bytes from which its blocks of up to kBigCacheLimit
       get chunks of their own size instead of their class's (cache.h,
       "Rounding"). */
    kRoundBigBelow = 512u << 20,
    kRebindMisses = 256,
    kBatchSlots = 4,            /* batches per class in a heap's transfer table */
    kOneSizeBinBytes = 4096,    /* the bytes a one-size bin holds, 4 to 128 blocks */
    kOneSizeBindMisses = 16,    /* slow allocations in a row before a one-size bin binds */
    /* Full bins met since the last refill that mark a heap's threads as
       freeing (cache.h, "Giving back"): a few rounds of every class a busy
       program uses, so that a program that allocates too never gets there. */
    kFreeingSpills = 32,
    /* A freeing thread's small bins close once the heap's small bytes in
       use are below this and below an eighth of what they were when the
       heap began to count as freeing (cache.h, "Giving back"). */
    kCloseBinsBelow = 1u << 20
};

/* Blocks linked through their first word, newest first. Invariant:
   capacity - room blocks on the list, room <= capacity. A small bin of
   capacity 0 is closed: every free of its class takes the slow path. */
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
 * of class k of `heap` flagged kBlockFree | kBlockCached whose seal word
 * holds its link's check word, and
 * capacity lies between 1 and its class's bound, or is 0 (closed); every
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
    uint32_t freeingFrom;       /* the heap's small bytes in use when its threads last began to count as freeing */
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
 * or batch. The program may still write into a block it freed (a racing
 * double free hands one block to two threads), so a link is never
 * followed on its own word:
 *
 * - Small and big blocks (SealedLinks): the link is stored as it is, and
 *   its check word, the link xor a secret of the process (s_binCheck), in
 *   the seal word in front of the block, out of reach of a write through
 *   the freed pointer. A pop follows the link only when the two agree, so
 *   the head of a bin is always a block that a push linked there, and the
 *   pop's chain of loads and stores (which a malloc/free pair that reuses
 *   one block waits on) holds no arithmetic: the check runs beside it. The
 *   check word is even and never 0 (bit 2 set, bit 0 clear), so it never
 *   passes for a live seal (odd), and it is of another secret than a heap
 *   list's check word (layout.h), so a block on a heap's list never passes
 *   for a waiting one.
 * - One-size blocks have no header (OneSizeLinks): the link is stored
 *   mangled (xor its own address xor the heaps' secret) and a head that is
 *   not 8-aligned or leads outside committed library memory (the commit
 *   table) is not followed.
 *
 * A link that fails its check cuts the bin there (its blocks behind are
 * lost to reuse). What a racing double free can still do is hand a block,
 * and blocks linked behind it, to two callers; never an address a program
 * chose.
 */

/* Whether a one-size bin's head may not be followed: null (the table says
   nothing is committed at address 0), not 8-aligned as every block is, or
   outside the 64 KB regions of library memory that have pages committed
   (the commit table: one byte load). One branch for all of it. */
inline int LinkBad(const void *p)
{
    uint32_t u = (uint32_t)(uintptr_t)p;
    return __builtin_expect((u & 7) != 0, 0) || __builtin_expect(s_committedSteps[u >> 16] == 0, 0);
}

/* The rare end of a pop whose link failed its check: the bin is cut
   (empty, its room back to its capacity). */
__attribute__((noinline, cold)) void CutBin(VR_CacheBin *b);

inline uint32_t BinCheckOf(uint32_t next) { return next ^ s_binCheck; }

struct SealedLinks {
    static void *At(const void *p) { return *(void *const *)p; }
    static void Set(void *p, void *next)
    {
        *(void **)p = next;
        SealWordOf(p) = BinCheckOf((uint32_t)(uintptr_t)next);
    }
    /* Whether p's link (read as next) may be followed. */
    static int Holds(const void *p, uint32_t next) { return SealWordOf(p) == BinCheckOf(next); }
    /* b's head, its link made the new head; null when b is empty or cut. */
    static void *Unlink(VR_CacheBin *b)
    {
        void *p = b->head;
        if (__builtin_expect(!p, 0)) return 0;
        uint32_t next = *(const uint32_t *)p;
        if (__builtin_expect(!Holds(p, next), 0)) {
            CutBin(b);
            return 0;
        }
        b->head = (void *)(uintptr_t)next;
        return p;
    }
};

struct OneSizeLinks {
    static void *At(const void *p) { return (void *)(uintptr_t)MangledLink(p, *(const uint32_t *)p); }
    static void Set(void *p, void *next) { *(uint32_t *)p = MangledLink(p, (uint32_t)(uintptr_t)next); }
    /* The same; the head is checked as it is about to be followed, beside
       the load and xor that decode the next link (not after them). */
    static void *Unlink(VR_CacheBin *b)
    {
        void *p = b->head;
        if (__builtin_expect(LinkBad(p), 0)) {
            if (p) CutBin(b);
            return 0;
        }
        /* Region 0 is never library memory: p is not null here. */
        if (!p) __builtin_unreachable();
        b->head = At(p);
        return p;
    }
};

/*
 * The order of a bin's steps. A bin's room changes first when a block goes
 * in and last when one comes out, with the block's header written in
 * between; the compiler keeps that order (no other thread reads a bin
 * while its owner runs). So a bin whose list holds one block fewer than
 * its room says was stopped half-way through one step, on the block it
 * names by its class: a forked child, which keeps only the forking thread,
 * finds that block by its header (see AdoptAfterFork).
 */

/* The newest block of b, taken off, and mark(p) run on it before the room
   changes; null when b is empty (or cut). No assertion on the room: a
   racing double free links one bin's blocks into another's, and such a bin
   holds more than it counts (Validate names it; nothing is unsafe). */
template <class Links = SealedLinks, class Mark>
inline void *BinTake(VR_CacheBin *b, Mark mark)
{
    void *p = Links::Unlink(b);
    if (__builtin_expect(!p, 0)) return 0;
    mark(p);
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    b->room++;
    return p;
}

template <class Links = SealedLinks>
inline void *BinPop(VR_CacheBin *b)
{
    return BinTake<Links>(b, [](void *) {});
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

template <class Links = SealedLinks>
inline void BinLink(VR_CacheBin *b, void *p)
{
    Links::Set(p, b->head);
    b->head = p;
}

/* p waits in b; the caller has seen room in it. */
template <class Links = SealedLinks>
inline void BinPush(VR_CacheBin *b, void *p)
{
    BinReserve(b);
    BinLink<Links>(b, p);
}

/* Whether a block taken off a bin or batch still waits: a racing double
   free may have linked it twice, or into a bin while it was handed out.
   Only a waiting block goes back to its heap, once. A waiting block's
   seal word holds its link's check word, which is even; a live seal is
   odd. */
inline int SmallWaits(const void *p)
{
    const VR_BlockHeader *h = SmallHeaderOf(p);
    return h->blockFlags == (kBlockFree | kBlockCached) && (h->seal & 1) == 0;
}
inline int BigWaits(const void *p)
{
    const VR_AltBlock *h = AltHeaderOf(p);
    return h->blockFlags == (kBlockAlt | kBlockFree | kBlockCached) && (h->seal & 1) == 0;
}

/* Up to n blocks of b handed to give, newest first. */
template <class Links = SealedLinks, class Give>
inline void BinGiveBack(VR_CacheBin *b, uint32_t n, Give give)
{
    void *p;
    while (n-- && (p = BinPop<Links>(b)) != 0) give(p);
}

/* Up to n blocks from take into b, as long as it has room, so that the
   first block taken is the first one popped. A heap hands out a fresh
   page set's blocks in rising address order, and a program that links
   what it allocates one after another (a list, a call chain) then walks
   its nodes in one direction through memory, which the processor's
   prefetcher follows; filled the other way, each refill reversed the
   direction and a walk of such a list ran several times slower. A refill
   moves at most half a bin, and a bin holds at most 256 blocks. */
enum { kBinFillMax = 128 };
template <class Links = SealedLinks, class Take>
inline void BinFill(VR_CacheBin *b, uint32_t n, Take take)
{
    void *taken[kBinFillMax];
    uint32_t m = 0;
    void *p;
    if (n > b->room) n = b->room;
    if (n > kBinFillMax) n = kBinFillMax;
    while (m < n && (p = take()) != 0) taken[m++] = p;
    while (m) BinPush<Links>(b, taken[--m]);
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

/* A small bin of class k that ran empty: a closed one opens at its first
   room, an open one grows. */
inline void BinOpenOrGrow(VR_CacheBin *b, unsigned k)
{
    if (!b->capacity)
        BinReset(b, kBins.smallFirst[k]);
    else
        BinGrow(b, kBins.smallMax[k]);
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
