/*
 * small.cpp - the small-block half of VR_Heap: requests of
 * up to 1016 bytes (1024 with the 8-byte header) in 52 size classes (40
 * where blocks are 16-aligned), one
 * free list per class, carved from 64 KB page sets that are committed one
 * page at a time. A free finds its page set by masking the address and its
 * heap through the page set's owner; a page set whose blocks are all free
 * is given back at once unless it is the heap's newest.
 */
#include "lists.h"
#include "big.h"
#include "small.h"

int FreeBlockOf(const VR_Heap *heap, const VR_BlockHeader *b, unsigned k, const VR_SmallPageSet *known)
{
    VR_SmallPageSet *p = (VR_SmallPageSet *)PageSetOf(b);
    if (((uintptr_t)b & 7) || (p != known && (!IsCommittedLibraryMemory(b) || p->owner != heap))) return 0;
    /* Below the carve point everything is committed. */
    if ((const uint8_t *)b < p->Base() + kSmallFirstBlock || (const uint8_t *)b + kMinBlock > p->CarvePoint()) return 0;
    return b->sizeClass == k && b->blockFlags == kBlockFree && LinkIntact(b, NextFreeOf(b));
}

namespace {

/* x, a free block of class k in page set p whose blocks are all free,
   taken off its list when it is on it: when it is the first, or the block
   its prevFree names is a free block of the heap that links to it. A
   block lost behind a dropped link is on no list and stays as it is. The
   link to the block behind is kept only when it is intact and that block
   is a free block of the class that names x as its prevFree; otherwise the
   list ends where x was. */
void UnlinkFree(const VR_Heap *heap, VR_BlockHeader *&head, VR_BlockHeader *x, unsigned k, const VR_SmallPageSet *p)
{
    VR_BlockHeader *before = 0;
    if (head != x) {
        before = x->prevFree;
        if (!before || before == x || !FreeBlockOf(heap, before, k, p) || NextFreeOf(before) != x) return;
    }
    VR_BlockHeader *next = NextFreeOf(x);
    if (next && !(next != x && LinkIntact(x, next) && FreeBlockOf(heap, next, k, p) && next->prevFree == x)) {
        CountDroppedLink();
        next = 0;
    }
    if (before)
        SetNextFree(before, next);
    else
        head = next;
    if (next) next->prevFree = before;
}

} // namespace

void VR_Access::Small::InitHeap(VR_Heap &heap)
{
    for (int k = 0; k < VR_Heap::kSizeClassCount; k++) heap.freeLists[k] = 0;
    heap.bigBlocks = 0;
    heap.bigPageSets = 0;
    memset(&heap.bigFree, 0, sizeof heap.bigFree);
    heap.directCount = 0;
    memset(&heap.counters, 0, sizeof heap.counters);
    heap.transfer = 0;
}

/* A heap in static storage used before its constructor ran is set up by
   whichever entry comes first. The lists are set up before Init publishes
   the object as initialised, so a thread that sees it initialised finds a
   complete heap, and a later set-up never empties the lists under blocks
   already handed out. */
void VR_Access::Small::InitLazily(VR_Heap &heap)
{
    EnsureProcessLock();
    VR_ProcessLockGuard guard;
    if (!heap.initialized) {
        InitHeap(heap);
        heap.Init(0, 1);
    }
}

void VR_Access::Small::CutTail(VR_Heap &heap, VR_SmallPageSet *p)
{
    /* Called only when a request of at most 1024 bytes did not fit, so the
       rest is below 1024 and every piece is of a smaller class. The last 0
       or 8 bytes are too small for any block and stay unused. */
    while (p->uncarved >= kMinBlock) {
        uint32_t r = p->uncarved;
        VR_ASSERT(r < kMaxBlock);
        unsigned k = r >= kMaxBlock ? VR_Heap::kSizeClassCount - 1 : kClasses.of[r];
        if (ClassSize(k) != r) k--;
        uint32_t piece = ClassSize(k);
        VR_BlockHeader *b = (VR_BlockHeader *)(p->commitEnd - r);
        p->uncarved = r - piece;
        PushFree(heap, b, k);
        b->sizeClass = (uint8_t)k;
        b->blockFlags = kBlockFree;
        b->requestedSize = (uint16_t)piece;
    }
}

void VR_Access::Small::DetachPageSet(VR_SmallPageSet *p, int release)
{
    VR_Heap *heap = p->owner;
    VR_ASSERT(p->usedCount == 0);   /* every block is free: on its list, or lost behind a dropped link */
    uint8_t *a = p->Base() + kSmallFirstBlock;
    uint8_t *end = p->CarvePoint();
    while (a < end) {
        VR_BlockHeader *b = (VR_BlockHeader *)a;
        unsigned k = b->sizeClass;
        UnlinkFree(heap, heap->freeLists[k], b, k, p);
        a += ClassSize(k);
    }
    if (release) {
        UnlinkFrom(heap->pageSets, (VR_PageSetBase *)p, &VR_PageSetBase::next, &VR_PageSetBase::prev);
        ReleasePageSet(p, (uint32_t)(p->commitEnd - p->Base()));
    }
}

void *VR_Access::Small::AllocSmallUnlocked(VR_Heap &heap, unsigned long size)
{
    return AllocSmallBody(heap, size);
}

int VR_Access::Small::GrowSmallLocked(VR_Heap &heap)
{
    VR_SmallPageSet *p = (VR_SmallPageSet *)heap.pageSets;
    uint32_t committed = p ? (uint32_t)(p->commitEnd - p->Base()) - kSmallFirstBlock : 0;
    if (p && p->usedCount == 0 && p->uncarved < committed) {
        /* Every block of the newest page set is free: carve it again from
           the start before committing more (its pages stay committed, and
           a request can be served even when the system has nothing more
           to give). */
        DetachPageSet(p, 0);
        p->uncarved = committed;
        return 1;
    }
    if (p && p->commitEnd < p->regionEnd) {
        if (!CommitPages(p->commitEnd, s_pageSize, (heap.flags & VR_HEAP_NOCACHE) ? 1 : 0)) return 0;
        p->commitEnd += s_pageSize;
        p->uncarved += s_pageSize;
        return 1;
    }
    if (p) CutTail(heap, p);
    VR_SmallPageSet *fresh = (VR_SmallPageSet *)heap.AllocPageSet(kSmallFirstBlock);
    if (!fresh) return 0;
    fresh->owner = &heap;
    return 1;
}

void *VR_Access::Small::LendSmallLocked(VR_Heap &heap, unsigned k)
{
    return LendTakenLocked(heap, TakeSmallLocked(heap, k), k);
}

void *VR_Access::Small::LendAlignedLocked(VR_Heap &heap, unsigned k, unsigned long alignment)
{
    return LendTakenLocked(heap, TakeAlignedLocked(heap, k, alignment), k);
}

void *VR_Access::Small::LendTakenLocked(VR_Heap &heap, VR_BlockHeader *h, unsigned k)
{
    if (!h) return 0;
    uint32_t s = ClassSize(k);
    h->requestedSize = (uint16_t)s;
    h->seal = 0;
    h->blockFlags = kBlockFree | kBlockCached;
    heap.counters.smallBlocks[k]++;
    heap.counters.smallBytes += s;
    UpdatePeak(heap.counters);
    return (uint8_t *)h + kHeaderBytes;
}

void VR_Access::Small::ClearLocked(VR_Heap &heap)
{
    Big::ReleaseBig(heap);
    for (int i = 0; i < VR_Heap::kSizeClassCount; i++) {
        heap.freeLists[i] = 0;
        heap.counters.smallBlocks[i] = 0;
    }
    heap.counters.smallBytes = 0;
    heap.ReleasePageSets();
}

VR_BlockHeader *VR_Access::Small::TakeAlignedLocked(VR_Heap &heap, unsigned k, unsigned long alignment)
{
    VR_BlockHeader *h = heap.freeLists[k];
    if (h && !(((uintptr_t)h + kHeaderBytes) & (alignment - 1))) return TakeSmallLocked(heap, k);

    /* Cut from the newest page set, after a free block of the size that
       brings the next pointer onto the boundary (every such size is a
       class: the class table checks it for every alignment). Blocks
       of class k cut one after another need no more of these, since the
       class size is a multiple of the alignment. */
    VR_SmallPageSet *p = (VR_SmallPageSet *)heap.pageSets;
    if (!p) return 0;
    uint32_t s = ClassSize(k);
    uint32_t pad = (uint32_t)(-((uintptr_t)p->CarvePoint() + kHeaderBytes)) & (alignment - 1);
    if (pad && pad < kMinBlock) pad += alignment;
    if (pad + s > p->uncarved) return 0;
    if (pad) {
        unsigned pk = kClasses.of[pad];
        VR_ASSERT(kClasses.size[pk] == pad);
        VR_BlockHeader *b = (VR_BlockHeader *)p->CarvePoint();
        p->uncarved -= pad;
        PushFree(heap, b, pk);
        b->sizeClass = (uint8_t)pk;
        b->blockFlags = kBlockFree;
        b->requestedSize = (uint16_t)pad;
    }
    h = (VR_BlockHeader *)p->CarvePoint();
    p->uncarved -= s;
    p->usedCount++;
    h->sizeClass = (uint8_t)k;
    return h;
}
