/*
 * bind.cpp - binding a thread's cache to a heap and letting go of it:
 * making the cache on first need, rebinding after many allocations from
 * another heap, giving waiting blocks back (when the thread rebinds or
 * ends, when memory runs out), unbinding at Clear, destruction and bypass;
 * the same for the one-size bin; and a big block put into its bin.
 */
#include "cache.h"
#include "records.h"
#include "onesize.h"

namespace {

/* A heap's transfer table, made on the first need of a thread cache
   (outside the heap's lock). */
void MakeTransfer(VR_TransferTable **slot)
{
    VR_TransferTable *t = NewTransferTable();
    if (!t) return;
    VR_TransferTable *none = 0;
    if (!__atomic_compare_exchange_n(slot, &none, t, 0, __ATOMIC_RELEASE, __ATOMIC_RELAXED))
        DeleteTransferTable(t);
}

int HasWaiting(const VR_ThreadCache *c)
{
    for (int k = 0; k < VR_Heap::kSizeClassCount; k++)
        if (c->small[k].head) return 1;
    for (int j = 0; j < kBigClassCount; j++)
        if (c->big[j].head) return 1;
    return 0;
}

/* Whether the thread's caches may be used for a heap with these switches. */
inline int Lends(VR_AHeap *heap)
{
    return VR_Access::LockActive(*heap) && !VR_Access::BypassFree(*heap) && !VR_Access::GlobalBypassFree();
}

/* The one way a cache lets go of a heap: under heap's lock, the blocks go
   back with give unless a Clear came first (checked again under the lock:
   it has released them with their page sets), then unbind runs under the
   registry lock. */
template <class StillBound, class Give, class Unbind>
void GiveBackUnder(VR_AHeap *heap, StillBound stillBound, Give give, Unbind unbind)
{
    VR_Access::LockHeap(*heap);
    int live;
    {
        VR_CacheLockGuard guard;
        live = stillBound();
    }
    if (live) give();
    {
        VR_CacheLockGuard guard;
        unbind();
    }
    VR_Access::UnlockHeap(*heap);
}

/* The calling thread's cache, made on first need, when heap lends blocks
   to caches; null when it does not or the thread has ended. */
VR_ThreadCache *LiveCacheFor(VR_AHeap *heap)
{
    if (!Lends(heap)) return 0;
    VR_ThreadCache *c = vr_cache::Current();
    if (!c) c = CreateCache();
    return c && !c->dead ? c : 0;
}

} // namespace

void GiveBackBigLocked(VR_Heap *heap, VR_ThreadCache *c)
{
    /* Emptied, and what a racing double free left beyond the room is
       forgotten, so that bigBytes (0) holds for them. */
    for (int j = 0; j < kBigClassCount; j++) {
        BinGiveBack(&c->big[j], c->big[j].capacity, [&](void *p) {
            if (BigWaits(p)) VR_Access::Big::ReturnBigLocked(*heap, AltHeaderOf(p));
        });
        BinReset(&c->big[j], kBins.bigCapacity[j]);
    }
    c->bigBytes = 0;
}

void FlushAll(VR_ThreadCache *c)
{
    VR_Heap *heap = __atomic_load_n(&c->pending, __ATOMIC_RELAXED);
    if (!heap) heap = __atomic_load_n(&c->heap, __ATOMIC_RELAXED);
    if (!heap) return;
    GiveBackUnder(
        heap, [&] { return c->heap == heap || c->pending == heap; },
        [&] {
            for (int k = 0; k < VR_Heap::kSizeClassCount; k++)
                BinGiveBack(&c->small[k], c->small[k].capacity,
                            [&](void *p) {
                                if (SmallWaits(p)) VR_Access::Small::ReturnSmallLocked(*heap, SmallHeaderOf(p));
                            });
            GiveBackBigLocked(heap, c);
        },
        [&] {
            ResetBins(c);
            __atomic_store_n(&c->heap, (VR_Heap *)0, __ATOMIC_RELAXED);
            __atomic_store_n(&c->pending, (VR_Heap *)0, __ATOMIC_RELAXED);
        });
}

void FlushOneSize(VR_ThreadCache *c)
{
    VR_HeapOneSize *heap = __atomic_load_n(&c->oneSize.heap, __ATOMIC_RELAXED);
    if (!heap) return;
    VR_CacheBin *b = &c->oneSize.bin;
    GiveBackUnder(
        heap, [&] { return c->oneSize.heap == heap; },
        [&] {
            BinGiveBack<OneSizeLinks>(b, b->capacity, [&](void *p) {
                if (OneSizeTakeWaiting(p)) VR_Access::OneSize::ReturnLocked(*heap, p);
            });
        },
        [&] {
            b->head = 0;
            __atomic_store_n(&c->oneSize.heap, (VR_HeapOneSize *)0, __ATOMIC_RELAXED);
        });
}

namespace vr_cache {

VR_ThreadCache *Prepare(VR_Heap *heap, int allocating)
{
    VR_ThreadCache *c = LiveCacheFor(heap);
    if (!c) return 0;
    if (c->pending) FlushAll(c);
    VR_Heap *bound = c->heap;
    if (bound == heap) {
        c->misses = 0;
    } else if (bound) {
        if (!allocating || ++c->misses < kRebindMisses) return 0;
        FlushAll(c);
    }
    /* The cache is or will be bound to heap: its bins trade batches there. */
    VR_TransferTable *&transfer = VR_Access::Transfer(*heap);
    if (!__atomic_load_n(&transfer, __ATOMIC_ACQUIRE)) MakeTransfer(&transfer);
    return c;
}

int BindLocked(VR_ThreadCache *c, VR_Heap *heap)
{
    if (c->heap == heap) return 1;
    if (c->heap || c->pending || VR_Access::BypassFree(*heap) || VR_Access::GlobalBypassFree()) return 0;
    ResetBins(c);
    c->misses = 0;
    c->zeroInit = (VR_Access::Flags(*heap) & VR_HEAP_ZERO_INIT) ? 1 : 0;
    VR_CacheLockGuard guard;
    __atomic_store_n(&c->heap, heap, __ATOMIC_RELAXED);
    return 1;
}

VR_ThreadCache *PrepareOneSize(VR_HeapOneSize *heap)
{
    VR_ThreadCache *c = LiveCacheFor(heap);
    if (!c) return 0;
    VR_HeapOneSize *bound = c->oneSize.heap;
    if (bound == heap) {
        c->oneSize.misses = 0;
        return c;
    }
    /* A heap this thread allocates from now and then is not worth a bin:
       only kOneSizeBindMisses slow allocations in a row from one heap
       bind it. */
    if (c->oneSize.candidate != heap) {
        c->oneSize.candidate = heap;
        c->oneSize.misses = 0;
    }
    if (++c->oneSize.misses < kOneSizeBindMisses) return 0;
    if (bound) FlushOneSize(c);
    return c;
}

int BindOneSizeLocked(VR_ThreadCache *c, VR_HeapOneSize *heap)
{
    VR_OneSizeBin *o = &c->oneSize;
    if (o->heap == heap) return 1;
    if (o->heap) return 0;
    uint32_t size = (uint32_t)VR_Access::BlockSize(*heap);
    uint32_t n = Clamp(size ? kOneSizeBinBytes / size : 0, 4, 128);
    BinReset(&o->bin, n);
    o->candidate = 0;
    o->misses = 0;
    VR_CacheLockGuard guard;
    __atomic_store_n(&o->heap, heap, __ATOMIC_RELAXED);
    return 1;
}

int FlushCurrent()
{
    VR_ThreadCache *c = Current();
    if (!c || c->dead) return 0;
    int waiting = 0;
    if (c->oneSize.heap) {
        waiting = c->oneSize.bin.head != 0;
        FlushOneSize(c);
    }
    if (!c->heap && !c->pending) return waiting;
    waiting |= HasWaiting(c);
    FlushAll(c);
    return waiting;
}

void UnbindAll(VR_AHeap *heap, int keep)
{
    if (heap) VR_Access::LockHeap(*heap);
    {
        VR_CacheLockGuard guard;
        for (VR_ThreadCache *c = s_caches; c; c = c->next) {
            if (keep) {
                VR_Heap *bound = c->heap;
                if (bound && (!heap || bound == heap) && !c->pending) {
                    __atomic_store_n(&c->pending, bound, __ATOMIC_RELAXED);
                    __atomic_store_n(&c->heap, (VR_Heap *)0, __ATOMIC_RELAXED);
                }
            } else {
                /* A heap that goes away is no heap the hooks may read. */
                if ((VR_AHeap *)c->unlocked == heap) __atomic_store_n(&c->unlocked, (VR_Heap *)0, __ATOMIC_RELAXED);
                if ((VR_AHeap *)c->heap == heap) __atomic_store_n(&c->heap, (VR_Heap *)0, __ATOMIC_RELAXED);
                if ((VR_AHeap *)c->pending == heap) __atomic_store_n(&c->pending, (VR_Heap *)0, __ATOMIC_RELAXED);
            }
        }
    }
    if (heap) VR_Access::UnlockHeap(*heap);
}

void ForgetOneSizeLocked(VR_HeapOneSize *heap)
{
    VR_CacheLockGuard guard;
    for (VR_ThreadCache *c = s_caches; c; c = c->next)
        if (c->oneSize.heap == heap) __atomic_store_n(&c->oneSize.heap, (VR_HeapOneSize *)0, __ATOMIC_RELAXED);
}

int ToBigBin(VR_ThreadCache *c, void *block)
{
    VR_AltBlock *h = AltHeaderOf(block);
    if (h->heap != __atomic_load_n(&c->heap, __ATOMIC_RELAXED) || h->direct) return 0;
    uint32_t size = h->size;
    if (size <= VR_Heap::kSmallLimit || size > kBigCacheLimit) return 0;
    unsigned j = BigClassOf(size);
    uint32_t chunk = ChunkTagOfHeader(h);
    /* Only a chunk that holds any block of the class and no more than a
       rest too small to split off: one that an in-place reallocation grew
       keeps the ordinary way. */
    if (!ChunkFitsClass(chunk, j)) return 0;
    VR_CacheBin *b = &c->big[j];
    if (!b->room || c->bigBytes + chunk > kBigCacheBytes) return 0;
    /* While the heap's threads only free, a chunk does not wait: one
       waiting chunk keeps a whole big page set from going back. */
    if (__atomic_load_n(&VR_Access::Spills(*h->heap), __ATOMIC_RELAXED) >= kFreeingSpills) return 0;
    /* The room first, as for small blocks (see AdoptAfterFork). */
    BinReserve(b);
    /* Two threads freeing the block at once: only the one that takes the
       seal goes on; the other's free is the ignored second one. */
    if (__atomic_exchange_n(&h->seal, 0u, __ATOMIC_ACQ_REL) != SealOf(block)) {
        BinUnreserve(b);
        return 1;
    }
    h->blockFlags = kBlockAlt | kBlockFree | kBlockCached;
    c->bigBytes += chunk;
    BinLink(b, block);
    return 1;
}

} // namespace vr_cache
