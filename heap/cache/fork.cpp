/*
 * fork.cpp (cache) - a forked child takes back what the threads that did
 * not come along left in their caches: their bins go back to the heaps,
 * their records away, and the one block such a thread was moving into or
 * out of a bin is found by its header.
 */
#include "cache.h"
#include "lists.h"
#include "records.h"
#include "onesize.h"
#include "registry.h"

namespace {

/* Whether the forking thread held heap's lock before the fork (it holds it
   once more since): it forked inside the heap, from a signal handler, and
   will go on there; the heap is left as it is. */
int HeldBeforeFork(VR_AHeap *heap)
{
    VR_LockStorage *lock = VR_HeapLocks::Of(heap);
    return lock && ((const vr_os::VR_LockWord *)lock)->count > 1;
}

/* p when it can be read, else null: a vanished thread's list is walked
   without trusting it. */
void *Readable(void *p)
{
    return ((uintptr_t)p & 3) == 0 && IsCommittedLibraryMemory(p) ? p : 0;
}

/* The next block of a list, or null where the list ends or its link leads
   nowhere that can be read (a block written after its free). */
void *NextReadable(const void *p)
{
    return Readable(SealedLinks::At(p));
}

int InList(void *head, const void *p, uint32_t bound)
{
    for (head = Readable(head); head && bound; head = NextReadable(head), bound--)
        if (head == p) return 1;
    return 0;
}

/* How many blocks a bin's list holds, up to bound + 1. */
uint32_t ListLength(void *head, uint32_t bound)
{
    uint32_t n = 0;
    for (head = Readable(head); head && n <= bound; head = NextReadable(head)) n++;
    return n;
}

int BinHalfWay(const VR_CacheBin *b)
{
    return ListLength(b->head, b->capacity) != (uint32_t)(b->capacity - b->room);
}

/* A heap with blocks half-way into or out of a vanished thread's bins: the
   small classes and big classes concerned, as bit sets. */
struct VR_InTransit {
    VR_Heap *heap;
    uint64_t small;
    uint32_t big;
};
static_assert(VR_Heap::kSizeClassCount <= 64 && kBigClassCount <= 32, "class sets fit their words");

int BigWaitsIn(VR_Heap *heap, void *p)
{
    if (!IsCommittedLibraryMemory(p) || ((uintptr_t)p & 7)) return 0;
    VR_AltBlock *h = AltHeaderOf(p);
    return IsCommittedLibraryMemory(h) && h->heap == heap && !h->direct &&
           h->blockFlags == (kBlockAlt | kBlockFree | kBlockCached);
}

/* Gives back what a vanished thread's bins hold for heap; the classes
   whose bins did not hold what their room says are added to t. */
void GiveBackBins(VR_ThreadCache *c, VR_Heap *heap, VR_InTransit *t)
{
    for (unsigned k = 0; k < VR_Heap::kSizeClassCount; k++) {
        VR_CacheBin *b = &c->small[k];
        uint32_t n = 0;
        void *p = b->head;
        for (; p && n < b->capacity && !CheckWaitingSmall(heap, p, k); n++) {
            void *after = SealedLinks::At(p);
            VR_Access::Small::ReturnSmallLocked(*heap, SmallHeaderOf(p));
            p = after;
        }
        if (p || n != (uint32_t)(b->capacity - b->room)) t->small |= 1ull << k;
    }
    for (unsigned j = 0; j < kBigClassCount; j++) {
        VR_CacheBin *b = &c->big[j];
        uint32_t n = 0;
        void *p = b->head;
        for (; p && n < b->capacity && BigWaitsIn(heap, p); n++) {
            void *after = SealedLinks::At(p);
            VR_Access::Big::ReturnBigLocked(*heap, AltHeaderOf(p));
            p = after;
        }
        if (p || n != (uint32_t)(b->capacity - b->room)) t->big |= 1u << j;
    }
}

/* Gives back the blocks of heap that a vanished thread was moving into or
   out of a bin of the classes in t, told by their headers. own is the
   forking thread's cache when it is bound to heap: a class in which it
   was half-way itself is left alone (it goes on when the child returns to
   it), and the blocks on its lists are its own. */
void GiveBackInTransit(const VR_InTransit &t, VR_ThreadCache *own)
{
    VR_Heap *heap = t.heap;
    uint64_t small = t.small;
    uint32_t big = t.big;
    if (own) {
        for (unsigned k = 0; k < VR_Heap::kSizeClassCount; k++)
            if (BinHalfWay(&own->small[k])) small &= ~(1ull << k);
        for (unsigned j = 0; j < kBigClassCount; j++)
            if (BinHalfWay(&own->big[j])) big &= ~(1u << j);
    }
    const uint32_t kMaxFound = 64;
    void *found[kMaxFound];
    uint32_t n = 0;
    for (VR_PageSetBase *ps = small ? VR_Access::PageSets(*heap) : 0; ps; ps = ps->next) {
        uint8_t *a = ps->Base() + kSmallFirstBlock, *carve = ps->CarvePoint();
        while (a < carve) {
            VR_BlockHeader *b = (VR_BlockHeader *)a;
            unsigned k = b->sizeClass;
            if (k >= VR_Heap::kSizeClassCount || !ClassSize(k)) break;
            void *p = a + kHeaderBytes;
            int waiting = b->blockFlags == (kBlockFree | kBlockCached);
            if (((small >> k) & 1) && n < kMaxFound &&
                ((b->blockFlags == 0 && (b->seal & 1) == 0) ||
                 (waiting && ((b->seal & 1) || !own || !InList(own->small[k].head, p, own->small[k].capacity)))))
                found[n++] = p;
            a += ClassSize(k);
        }
    }
    for (uint32_t f = 0; f < n; f++) VR_Access::Small::ReturnSmallLocked(*heap, SmallHeaderOf(found[f]));

    n = 0;
    for (VR_AltBlock *h = big ? VR_Access::BigBlocks(*heap) : 0; h && n < kMaxFound; h = h->next) {
        void *p = (uint8_t *)h + kAltHeaderSize;
        if (h->direct || h->size <= VR_Heap::kSmallLimit || h->size > kBigCacheLimit) continue;
        unsigned j = BigClassOf(h->size);
        if (!((big >> j) & 1)) continue;
        int waiting = h->blockFlags == (kBlockAlt | kBlockFree | kBlockCached);
        if ((h->blockFlags == kBlockAlt && h->seal != SealOf(p)) ||
            (waiting && ((h->seal & 1) || !own || !InList(own->big[j].head, p, own->big[j].capacity))))
            found[n++] = h;
    }
    for (uint32_t f = 0; f < n; f++) {
        VR_AltBlock *h = (VR_AltBlock *)found[f];
        h->blockFlags = kBlockAlt | kBlockFree | kBlockCached;
        VR_Access::Big::ReturnBigLocked(*heap, h);
    }
}

} // namespace

void vr_cache::AdoptAfterFork()
{
    /* A fork from a signal handler that interrupted the registry's work
       leaves it to the interrupted code. */
    if (!RegistryFreeBeforeFork()) return;
    VR_ThreadCache *mine = Current();
    const uint32_t kMaxHeaps = 16;
    VR_InTransit transit[kMaxHeaps];
    uint32_t heaps = 0;
    VR_ThreadCache *next;
    for (VR_ThreadCache *c = s_caches; c; c = next) {
        next = c->next;
        if (c == mine) continue;
        VR_Heap *heap = c->pending ? c->pending : c->heap;
        if (heap && !HeldBeforeFork(heap)) {
            VR_InTransit t = {heap, 0, 0};
            GiveBackBins(c, heap, &t);
            if (t.small | t.big) {
                uint32_t i = 0;
                while (i < heaps && transit[i].heap != heap) i++;
                if (i < kMaxHeaps) {
                    if (i == heaps) transit[heaps++] = {heap, 0, 0};
                    transit[i].small |= t.small;
                    transit[i].big |= t.big;
                }
            }
        }
        /* A one-size block half-way is one in use that nobody holds: it is
           lost, but its heap stays sound. */
        VR_HeapOneSize *oneSize = c->oneSize.heap;
        if (oneSize && !HeldBeforeFork(oneSize)) {
            void *p = c->oneSize.bin.head;
            for (uint32_t n = 0; p && n < c->oneSize.bin.capacity; n++) {
                if (!IsCommittedLibraryMemory(p) || ((VR_OneSizePageSet *)PageSetOf(p))->owner != oneSize) break;
                void *after = OneSizeLinks::At(p);
                if (OneSizeTakeWaiting(p)) VR_Access::OneSize::ReturnLocked(*oneSize, p);
                p = after;
            }
        }
        UnlinkFrom(s_caches, c, &VR_ThreadCache::next, &VR_ThreadCache::prev);
        GiveCacheRecord(c);
    }

    /* Batches go back to the lists first, so that the only blocks marked
       waiting that are not in transit are in the forking thread's own
       bins. */
    for (uint32_t i = 0; i < heaps; i++) {
        VR_Heap *heap = transit[i].heap;
        DrainLocked(heap);
        VR_ThreadCache *own =
            mine && !mine->dead && (mine->heap == heap || mine->pending == heap) ? mine : 0;
        GiveBackInTransit(transit[i], own);
    }
}
