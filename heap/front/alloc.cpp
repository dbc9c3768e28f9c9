/*
 * alloc.cpp (front) - AllocMem and FreeMem of VR_Heap. The common cases, a
 * block waiting in the calling thread's cache or, for a heap without a
 * lock, a block its lists have ready, are inline or reached with one call;
 * everything else takes the slow paths below, which refill a bin that ran
 * empty and spill one that ran over.
 */
#include "front.h"
#include "small.h"

VR_Heap::VR_Heap(long newFlags, const char *name) : VR_AHeap(name)
{
    /* 0 means a static heap that already serves blocks: keep its lists.
       Caches copied its switches when they bound: they bind again. */
    if (Init(newFlags, 0))
        VR_Access::Small::InitHeap(*this);
    else
        vr_cache::UnbindAll(this, 1);
}

void *VR_Heap::AllocMem(unsigned long size)
{
    VR_ThreadCache *c = vr_cache::Current();
    void *p;
    if (__builtin_expect(vr_cache::IsBound(c, this), 1)) {
        p = vr_cache::FromBins(c, (uint32_t)size);
    } else if (!lockActive) {
        /* Remembered for the hooks (see vr_front::AllocForHook). */
        if (c && !c->dead) c->unlocked = this;
        p = VR_Access::Small::AllocSmallBody(*this, size);
    } else {
        p = 0;
    }
    if (__builtin_expect(p != 0, 1)) return p;
    return VR_Access::Front::AllocMemSlow(*this, size);
}

void *vr_front::AllocAfterHookMiss(VR_Heap &heap, unsigned long size)
{
    /* The hook served from the bins when the cache was bound to heap, and
       from the lists of a heap without a lock when it knew the heap; only
       a heap it did not know is tried here (and so becomes known). */
    VR_ThreadCache *c = vr_cache::Current();
    if (!VR_Access::LockActive(heap) && !vr_cache::IsBound(c, &heap) && !(c && c->unlocked == &heap)) {
        if (c && !c->dead) c->unlocked = &heap;
        if (void *p = VR_Access::Small::AllocSmallUnlocked(heap, size)) return p;
    }
    return VR_Access::Front::AllocMemSlow(heap, size);
}

void *VR_Access::Front::AllocMemSlow(VR_Heap &heap, unsigned long size)
{
    if (__builtin_expect(!__atomic_load_n(&heap.initialized, __ATOMIC_ACQUIRE), 0)) Small::InitLazily(heap);

    /* size > 1016 also covers sizes whose size + 8 would wrap. */
    if (size > VR_Heap::kSmallLimit) return AllocBigMem(heap, size);
    unsigned k = SmallClassOf((uint32_t)size);

    /* The thread's cache, made or rebound outside the lock: rebinding
       gives blocks back to another heap under that heap's lock. */
    VR_ThreadCache *cache = heap.lockActive ? vr_cache::Prepare(&heap, 1) : 0;

    VR_BlockHeader *h;
    heap.Lock();
    if (cache) {
        /* A batch that another thread's cache gave back fills the bin
           whole, and the request is served from it. */
        if (vr_cache::BindLocked(cache, &heap) && vr_cache::TakeBatchLocked(&heap, cache, k)) {
            heap.spills = 0;
            /* A batch whose first link a write into a freed block broke
               is cut when it is taken (its blocks are lost to reuse): the
               request is then served from the lists, as if there had been
               no batch. */
            if (void *p = vr_cache::FromBins(cache, (uint32_t)size)) {
                heap.Unlock();
                return p;
            }
        }
    } else if (heap.transfer && (!heap.lockActive || heap.bypassFree || VR_AHeap::s_globalBypassFree)) {
        /* No thread cache takes batches any more (the heap lost its lock,
           or frees bypass it): they come back to the lists. */
        vr_cache::DrainLocked(&heap);
    }
    /* After a recovery the lock was left, so every retry starts over from
       the free list: another thread may have freed a block of this class
       or made a new page set meanwhile. */
    while (!(h = Small::TakeSmallLocked(heap, k)))
        if (!Small::GrowSmallLocked(heap) && !RecoverMT(heap)) return 0;
    void *block = Small::HandOutSmall(heap, h, k, size);
    /* The thread's next blocks of this class come without the lock: a bin
       that ran empty grows, and half of it is filled. */
    if (cache && vr_cache::BindLocked(cache, &heap)) {
        VR_CacheBin *b = &cache->small[k];
        heap.spills = 0;  /* the heap's threads allocate: their bins are worth keeping */
        BinOpenOrGrow(b, k);
        BinFill(b, b->capacity / 2, [&] { return Small::LendSmallLocked(heap, k); });
    }
    heap.Unlock();

    if (heap.flags & VR_HEAP_ZERO_INIT) memset(block, 0, size);
    return block;
}

void *VR_Heap::AllocAligned(unsigned long alignment, unsigned long size)
{
    if (alignment == 0 || (alignment & (alignment - 1))) return 0;
    if (alignment <= kBlockAlignment) return AllocMem(size);
    if (size > kSmallLimit || alignment > kSmallAlignMax)
        return VR_Access::Big::AllocAlignedBig(*this, alignment, size);
    /* A block on the boundary waiting in the thread's cache, as the hooks
       try it. */
    if (void *p = vr_front::AllocAlignedForHook(this, (uint32_t)size, (uint32_t)alignment)) return p;
    unsigned k = AlignedClassOf((uint32_t)size, (uint32_t)alignment);
    return VR_Access::Front::AllocAlignedSmall(*this, k, alignment, size);
}

/* A small block of class k aligned beyond kBlockAlignment, after the
   thread's cache had none on the boundary: the same retry and recovery as
   AllocMemSlow. The bin of the class then gets blocks on the boundary
   (cut one after another, they need no filler between them), so the
   thread's next aligned requests of the class, and its plain ones, come
   without the lock. */
void *VR_Access::Front::AllocAlignedSmall(VR_Heap &heap, unsigned k, unsigned long alignment, unsigned long size)
{
    if (__builtin_expect(!__atomic_load_n(&heap.initialized, __ATOMIC_ACQUIRE), 0)) Small::InitLazily(heap);
    VR_ThreadCache *cache = heap.lockActive ? vr_cache::Prepare(&heap, 1) : 0;

    VR_BlockHeader *h;
    heap.Lock();
    while (!(h = Small::TakeAlignedLocked(heap, k, alignment)))
        if (!Small::GrowSmallLocked(heap) && !RecoverMT(heap)) return 0;
    void *block = Small::HandOutSmall(heap, h, k, size);
    if (cache && vr_cache::BindLocked(cache, &heap)) {
        /* A bin that ran empty grows, as in AllocMemSlow; one whose head
           lay off the boundary (a plain request's block) keeps its room. */
        VR_CacheBin *b = &cache->small[k];
        if (b->room == b->capacity) BinOpenOrGrow(b, k);
        BinFill(b, b->capacity / 2, [&] { return Small::LendAlignedLocked(heap, k, alignment); });
    }
    heap.Unlock();
    if (heap.flags & VR_HEAP_ZERO_INIT) memset(block, 0, size);
    return block;
}

void *VR_Access::Front::AllocBigMem(VR_Heap &heap, unsigned long size)
{
    /* A heap that lends blocks to thread caches gives blocks of up to
       kBigCacheLimit bytes the chunk of their class, so that any block of
       the class can wait in a cache for any request of it; not once the
       heap holds kRoundBigBelow bytes in big blocks, where the rounding
       would cost tens of megabytes of address space (cache.h, "Rounding").
       The count is read without the lock: a stale one only rounds one
       block more or one less. */
    uint32_t chunkFor = (uint32_t)size;
    VR_ThreadCache *cache = 0;
    if (heap.lockActive && size <= kBigCacheLimit) {
        if (__atomic_load_n(&heap.counters.bigBytes, __ATOMIC_RELAXED) < kRoundBigBelow)
            chunkFor = kBins.bigSize[BigClassOf((uint32_t)size)];
        cache = vr_cache::Prepare(&heap, 1);
    }
    uint32_t request, need;
    if (!BigSizesFor(chunkFor, &request, &need)) return 0;

    heap.Lock();
    void *p;
    while (!(p = Big::AllocBigBlock(heap, request)))
        if (!RecoverMT(heap)) return 0;
    Big::InitAltBlock(heap, (VR_AltBlock *)p, size, 0);
    /* The heap's threads allocate: their bins are worth keeping again. */
    if (cache && vr_cache::BindLocked(cache, &heap)) heap.spills = 0;
    heap.Unlock();

    /* A chunk used before holds old data; the block is the caller's alone
       by now, so the fill needs no lock. */
    if (heap.flags & VR_HEAP_ZERO_INIT) memset((uint8_t *)p + kAltHeaderSize, 0, size);
    return (uint8_t *)p + kAltHeaderSize;
}

/* The common case, a block put into the calling thread's cache, is inline;
   the checks before it turn away anything that is not a live block. */
void VR_Heap::FreeMem(void *block)
{
    if (__builtin_expect(vr_front::FreeFastWith(block, VR_Access::Small::FreeSmallUnlocked), 1)) return;
    VR_Access::Front::FreeMemSlow(block);
}

void vr_front::FreeUnlocked(VR_BlockHeader *h)
{
    VR_Access::Small::FreeSmallUnlocked(h);
}

void VR_Access::Front::FreeMemSlow(void *block)
{
    if (VR_AHeap::s_globalBypassFree) return;
    if (BlockFlagsOf(block) & kBlockAlt) {
        Big::FreeBigMem(block);
        return;
    }
    VR_BlockHeader *h = SmallHeaderOf(block);
    VR_SmallPageSet *p = (VR_SmallPageSet *)PageSetOf(h);
    VR_Heap *heap = p->owner;
    if (heap->bypassFree) return;
    VR_ThreadCache *cache = heap->lockActive ? vr_cache::Prepare(heap, 0) : 0;

    heap->Lock();
    /* Tested under the lock, so that two frees of one block cannot both
       link it: a block already free is left as it is. */
    if (h->blockFlags & kBlockFree) {
        heap->Unlock();
        return;
    }
    unsigned k = h->sizeClass;
    VR_ASSERT(k < VR_Heap::kSizeClassCount && p->usedCount > 0);
    if (cache && vr_cache::BindLocked(cache, heap)) {
        /* The bin is full (or just bound): it makes room (transfer.cpp),
           and the block waits in the bin like any other. */
        vr_cache::SpillLocked(heap, cache, k);
        if (vr_cache::ToSmallBin(cache, h)) {
            heap->Unlock();
            return;
        }
    }
    Small::ReturnSmallLocked(*heap, h);
    heap->Unlock();
}
