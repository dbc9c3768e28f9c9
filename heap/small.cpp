/*
 * small.cpp - construction of VR_Heap and its small-block half: requests of
 * up to 1016 bytes (1024 with the 8-byte header) in 52 size classes (40
 * where blocks are 16-aligned), one
 * free list per class, carved from 64 KB page sets that are committed one
 * page at a time. A free finds its page set by masking the address and its
 * heap through the page set's owner; a page set whose blocks are all free
 * is given back at once unless it is the heap's newest.
 */
#include <string.h>

#include "cache.h"

unsigned long VR_Heap::s_sizeClasses[VR_Heap::kSizeClassCount];
unsigned char VR_Heap::s_sizeClassOf[1025];
int VR_Heap::s_sizeClassesReady = 0;

namespace {

const uint32_t kMinBlock = 16;          /* header + the two free links */
const uint32_t kMaxBlock = 1024;        /* largest class, header included */
const uint32_t kHeaderBytes = 8;

} // namespace

VR_Heap::VR_Heap(long newFlags, const char *name) : VR_AHeap(name)
{
    /* 0 means a static heap that already serves blocks: keep its lists. */
    if (Init(newFlags, 0)) InitHeap();
}

void VR_Heap::InitHeap()
{
    if (!__atomic_load_n(&s_sizeClassesReady, __ATOMIC_ACQUIRE)) {
        VR_ProcessLockGuard guard;
        if (!s_sizeClassesReady) {
            /* Classes grow by about 5% (one alignment unit at least, kept a
               multiple of it), so a block wastes at most a twentieth of its
               size beyond the alignment. The division runs once per
               process. */
            for (int i = 0; i < kSizeClassCount; i++) s_sizeClasses[i] = 0;
            uint32_t s = kMinBlock;
            int i = 0;
            for (;;) {
                s_sizeClasses[i] = s;
                uint32_t step = AlignUp(s / 20);
                if (step < kBlockAlignment) step = kBlockAlignment;
                uint32_t next = s + step;
                if (next > kMaxBlock) {
                    if (s < kMaxBlock && i + 1 < kSizeClassCount) s_sizeClasses[i + 1] = kMaxBlock;
                    break;
                }
                if (++i == kSizeClassCount) break;
                s = next;
            }
            unsigned c = 0;
            for (uint32_t t = 0; t <= kMaxBlock; t++) {
                if (t > s_sizeClasses[c]) c++;
                s_sizeClassOf[t] = (unsigned char)c;
            }
            VR_Cache::InitTables();
            __atomic_store_n(&s_sizeClassesReady, 1, __ATOMIC_RELEASE);
        }
    }
    for (int k = 0; k < kSizeClassCount; k++) freeLists[k] = 0;
    bigBlocks = 0;
    bigPageSets = 0;
    bigFreeChunks = 0;
    directCount = 0;
    memset(&counters, 0, sizeof counters);
    transfer = 0;
}

/* A heap in static storage used before its constructor ran is set up by
   whichever entry comes first. The lists are set up before Init publishes
   the object as initialised, so a thread that sees it initialised finds a
   complete heap, and a later set-up never empties the lists under blocks
   already handed out. */
void VR_Heap::InitLazily()
{
    EnsureProcessLock();
    VR_ProcessLockGuard guard;
    if (!initialized) {
        InitHeap();
        Init(0, 1);
    }
}

void VR_Heap::PushFree(VR_BlockHeader *h, unsigned k)
{
    VR_BlockHeader *head = freeLists[k];
    h->nextFree = head;
    h->prevFree = 0;
    if (head) head->prevFree = h;
    freeLists[k] = h;
}

void VR_Heap::CutTail(VR_SmallPageSet *p)
{
    /* Called only when a request of at most 1024 bytes did not fit, so the
       rest is below 1024 and every piece is of a smaller class. The last 0
       or 8 bytes are too small for any block and stay unused. */
    while (p->uncarved >= kMinBlock) {
        uint32_t r = p->uncarved;
        VR_ASSERT(r < kMaxBlock);
        unsigned k = r >= kMaxBlock ? kSizeClassCount - 1 : s_sizeClassOf[r];
        if (s_sizeClasses[k] != r) k--;
        uint32_t piece = (uint32_t)s_sizeClasses[k];
        VR_BlockHeader *b = (VR_BlockHeader *)(p->commitEnd - r);
        p->uncarved = r - piece;
        PushFree(b, k);
        /* Free blocks carry no seal; the word may hold old data. */
        b->seal = 0;
        b->sizeClass = (uint8_t)k;
        b->blockFlags = kBlockFree;
        b->requestedSize = (uint16_t)piece;
    }
}

void VR_Heap::DetachPageSet(VR_SmallPageSet *p, int release)
{
    VR_Heap *heap = p->owner;
    VR_ASSERT(p->usedCount == 0);   /* every block is on a free list */
    uint8_t *a = p->Base() + kSmallFirstBlock;
    uint8_t *end = p->CarvePoint();
    while (a < end) {
        VR_BlockHeader *b = (VR_BlockHeader *)a;
        unsigned k = b->sizeClass;
        if (b->nextFree) b->nextFree->prevFree = b->prevFree;
        if (b->prevFree) b->prevFree->nextFree = b->nextFree;
        else heap->freeLists[k] = b->nextFree;
        a += s_sizeClasses[k];
    }
    if (release) {
        if (p->next) p->next->prev = p->prev;
        if (p->prev) p->prev->next = p->next;
        else heap->pageSets = p->next;
        ReleasePageSet(p, (uint32_t)(p->commitEnd - p->Base()));
    }
}

void VR_Heap::UpdatePeak()
{
    unsigned long total = counters.smallBytes + counters.bigBytes + counters.directBytes;
    if (total > counters.peakBytes) counters.peakBytes = total;
}

inline VR_BlockHeader *VR_Heap::TakeSmallLocked(unsigned k)
{
    VR_BlockHeader *h = freeLists[k];
    if (h) {
        VR_BlockHeader *next = h->nextFree;
        freeLists[k] = next;
        if (next) next->prevFree = 0;
        ((VR_SmallPageSet *)PageSetOf(h))->usedCount++;
        return h;
    }
    /* Only what is committed already: the system is asked by the caller,
       which may have to recover from its refusal. */
    VR_SmallPageSet *p = (VR_SmallPageSet *)pageSets;
    uint32_t s = (uint32_t)s_sizeClasses[k];
    if (!p || s > p->uncarved) return 0;
    h = (VR_BlockHeader *)p->CarvePoint();
    p->uncarved -= s;
    p->usedCount++;
    h->sizeClass = (uint8_t)k;
    return h;
}

inline void *VR_Heap::HandOutSmall(VR_BlockHeader *h, unsigned k, unsigned long size)
{
    void *block = (uint8_t *)h + kHeaderBytes;
    h->seal = SealOf(block);
    /* Size, class (unchanged) and flags (live) in one store. */
    *(uint32_t *)&h->requestedSize = (uint32_t)size | (k << 16);
    counters.smallBlocks[k]++;
    counters.smallBytes += s_sizeClasses[k];
    UpdatePeak();
    return block;
}

/* The common cases, a block waiting in the calling thread's cache or, for
   a heap without a lock, a block its lists have ready, are inline or
   reached with one call; everything else takes the slow path. */
inline void *VR_Heap::AllocSmallBody(unsigned long size)
{
    /* A heap in static storage used before its constructor ran starts on
       the slow path, which sets it up. */
    if (size > kSmallLimit || !initialized) return 0;
    unsigned k = s_cacheClassOf[size + kHeaderBytes];
    VR_BlockHeader *h = TakeSmallLocked(k);
    if (!h) return 0;
    void *block = HandOutSmall(h, k, size);
    if (flags & VR_HEAP_ZERO_INIT) memset(block, 0, size);
    return block;
}

void *VR_Heap::AllocSmallUnlocked(unsigned long size)
{
    return AllocSmallBody(size);
}

void *VR_Heap::AllocMem(unsigned long size)
{
    VR_ThreadCache *c = VR_Cache::Current();
    void *p;
    if (__builtin_expect(c != 0 && __atomic_load_n(&c->heap, __ATOMIC_RELAXED) == this, 1)) {
        p = VR_Cache::FromBins(c, (uint32_t)size);
    } else if (!lockActive) {
        /* Remembered for the hooks (see VR_Cache::AllocForHook). */
        if (c && !c->dead) c->unlocked = this;
        p = AllocSmallBody(size);
    } else {
        p = 0;
    }
    if (__builtin_expect(p != 0, 1)) return p;
    return AllocMemSlow(size);
}

void *VR_Heap::AllocMemSlow(unsigned long size)
{
    if (__builtin_expect(!__atomic_load_n(&initialized, __ATOMIC_ACQUIRE), 0)) InitLazily();

    /* size > 1016 also covers sizes whose size + 8 would wrap. */
    if (size > kSmallLimit) return AllocBigMem(size);
    uint32_t total = (uint32_t)size + kHeaderBytes;
    if (total < kMinBlock) total = kMinBlock;
    unsigned c = s_sizeClassOf[total];

    /* The thread's cache, made or rebound outside the lock: rebinding
       gives blocks back to another heap under that heap's lock. */
    VR_ThreadCache *cache = lockActive ? VR_Cache::Prepare(this, 1) : 0;

    VR_BlockHeader *h;
    Lock();
    if (cache) {
        /* A batch that another thread's cache gave back fills the bin
           whole, and the request is served from it. */
        if (VR_Cache::BindLocked(cache, this) && VR_Cache::TakeBatchLocked(this, cache, c)) {
            Unlock();
            return VR_Cache::FromBins(cache, (uint32_t)size);
        }
    } else if (transfer && (!lockActive || bypassFree || s_globalBypassFree)) {
        /* No thread cache takes batches any more (the heap lost its lock,
           or frees bypass it): they come back to the lists. */
        VR_Cache::DrainLocked(this);
    }
    /* After a recovery the lock was left, so every retry starts over from
       the free list: another thread may have freed a block of this class
       or made a new page set meanwhile. */
    while (!(h = TakeSmallLocked(c))) {
        VR_SmallPageSet *p = (VR_SmallPageSet *)pageSets;
        uint32_t committed = p ? (uint32_t)(p->commitEnd - p->Base()) - kSmallFirstBlock : 0;
        if (p && p->usedCount == 0 && p->uncarved < committed) {
            /* Every block of the newest page set is free: carve it again
               from the start before committing more (its pages stay
               committed, and a request can be served even when the system
               has nothing more to give). */
            DetachPageSet(p, 0);
            p->uncarved = committed;
            continue;
        }
        if (p && p->commitEnd < p->regionEnd) {
            if (CommitPages(p->commitEnd, s_pageSize, (flags & VR_HEAP_NOCACHE) ? 1 : 0)) {
                p->commitEnd += s_pageSize;
                p->uncarved += s_pageSize;
            } else if (!RecoverMT()) {
                return 0;
            }
            continue;
        }
        if (p) CutTail(p);
        VR_SmallPageSet *fresh = (VR_SmallPageSet *)AllocPageSet(kSmallFirstBlock);
        if (fresh) fresh->owner = this;
        else if (!RecoverMT()) return 0;
    }
    void *block = HandOutSmall(h, c, size);
    /* The thread's next blocks of this class come without the lock. */
    if (cache && VR_Cache::BindLocked(cache, this)) {
        VR_Cache::GrowBin(&cache->small[c], c);
        RefillLocked(cache, c, cache->small[c].capacity / 2);
    }
    Unlock();

    if (flags & VR_HEAP_ZERO_INIT) memset(block, 0, size);
    return block;
}

void VR_Heap::RefillLocked(VR_ThreadCache *cache, unsigned k, unsigned long count)
{
    VR_CacheBin *b = &cache->small[k];
    uint32_t s = (uint32_t)s_sizeClasses[k];
    VR_BlockHeader *h;
    while (count && b->room && (h = TakeSmallLocked(k)) != 0) {
        h->requestedSize = (uint16_t)s;
        h->seal = 0;
        h->blockFlags = kBlockFree | kBlockCached;
        void *block = (uint8_t *)h + kHeaderBytes;
        *(void **)block = b->head;
        b->head = block;
        b->room--;
        count--;
        counters.smallBlocks[k]++;
        counters.smallBytes += s;
    }
    UpdatePeak();
}

/* A small block leaves the heap's use: back on its class's free list, and
   its page set given back when it was the last in use there. */
void VR_Heap::ReturnSmallLocked(VR_BlockHeader *h)
{
    VR_SmallPageSet *p = (VR_SmallPageSet *)PageSetOf(h);
    unsigned k = h->sizeClass;
    VR_ASSERT(k < kSizeClassCount && p->usedCount > 0 && p->owner == this);
    PushFree(h, k);
    h->seal = 0;
    h->blockFlags = kBlockFree;
    counters.smallBlocks[k]--;
    counters.smallBytes -= s_sizeClasses[k];
    if (--p->usedCount == 0 && p != (VR_SmallPageSet *)pageSets) DetachPageSet(p, 1);
}

/* The common case, a block put into the calling thread's cache, is inline;
   the checks before it turn away anything that is not a live block. */
void VR_Heap::FreeMem(void *block)
{
    if (__builtin_expect(VR_Cache::FreeFast(block), 1)) return;
    FreeMemSlow(block);
}

void VR_Heap::FreeSmallUnlocked(VR_BlockHeader *h)
{
    VR_Heap *heap = ((VR_SmallPageSet *)PageSetOf(h))->owner;
    if (heap->bypassFree || s_globalBypassFree) return;
    heap->ReturnSmallLocked(h);
}

void VR_Heap::FreeMemSlow(void *block)
{
    if (s_globalBypassFree) return;
    if (BlockFlagsOf(block) & kBlockAlt) {
        FreeBigMem(block);
        return;
    }
    VR_BlockHeader *h = SmallHeaderOf(block);
    VR_SmallPageSet *p = (VR_SmallPageSet *)PageSetOf(h);
    VR_Heap *heap = p->owner;
    if (heap->bypassFree) return;
    VR_ThreadCache *cache = heap->lockActive ? VR_Cache::Prepare(heap, 0) : 0;

    heap->Lock();
    /* Tested under the lock, so that two frees of one block cannot both
       link it: a block already free is left as it is. */
    if (h->blockFlags & kBlockFree) {
        heap->Unlock();
        return;
    }
    unsigned k = h->sizeClass;
    VR_ASSERT(k < kSizeClassCount && p->usedCount > 0);
    if (cache && VR_Cache::BindLocked(cache, heap)) {
        /* The bin is full (or just bound): it grows or, at its bound, half
           of it goes to the transfer table as a batch (or back to the
           heap's lists), and the block waits in the bin like any other. */
        VR_CacheBin *b = &cache->small[k];
        VR_Cache::GrowBin(b, k);
        uint32_t half = b->room ? 0 : b->capacity / 2;
        if (half && VR_Cache::PutBatchLocked(heap, b, k, half)) half = 0;
        while (half-- && b->head) {
            void *q = b->head;
            b->head = *(void **)q;
            b->room++;
            heap->ReturnSmallLocked(SmallHeaderOf(q));
        }
        if (b->room) {
            h->seal = 0;
            h->blockFlags = kBlockFree | kBlockCached;
            *(void **)block = b->head;
            b->head = block;
            b->room--;
            heap->Unlock();
            return;
        }
    }
    heap->ReturnSmallLocked(h);
    heap->Unlock();
}
