/*
 * small.h - the parts of the small-block half of VR_Heap that the common
 * cases of AllocMem and FreeMem run inline: taking a block of a class from
 * the heap's lists and handing it out, and putting one back. The heap's
 * lock is held, or the heap has none.
 */
#ifndef VR_HEAP_SMALL_H
#define VR_HEAP_SMALL_H

#include <string.h>

#include "heap_internal.h"
#include "lists.h"

inline void VR_Heap::PushFree(VR_BlockHeader *h, unsigned k)
{
    PushFrontOn(freeLists[k], h, &VR_BlockHeader::nextFree, &VR_BlockHeader::prevFree);
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
    uint32_t s = ClassSize(k);
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
    counters.smallBytes += ClassSize(k);
    UpdatePeak();
    return block;
}

/* The common case of a heap without a lock, a block its lists have ready;
   null when the slow path must serve. */
inline void *VR_Heap::AllocSmallBody(unsigned long size)
{
    /* A heap in static storage used before its constructor ran starts on
       the slow path, which sets it up. */
    if (size > kSmallLimit || !initialized) return 0;
    unsigned k = SmallClassOf((uint32_t)size);
    VR_BlockHeader *h = TakeSmallLocked(k);
    if (!h) return 0;
    void *block = HandOutSmall(h, k, size);
    if (flags & VR_HEAP_ZERO_INIT) memset(block, 0, size);
    return block;
}

/* A small block leaves the heap's use: back on its class's free list, and
   its page set given back when it was the last in use there. */
inline void VR_Heap::ReturnSmallLocked(VR_BlockHeader *h)
{
    VR_SmallPageSet *p = (VR_SmallPageSet *)PageSetOf(h);
    unsigned k = h->sizeClass;
    VR_ASSERT(k < kSizeClassCount && p->usedCount > 0 && p->owner == this);
    PushFree(h, k);
    h->seal = 0;
    h->blockFlags = kBlockFree;
    counters.smallBlocks[k]--;
    counters.smallBytes -= ClassSize(k);
    if (--p->usedCount == 0 && p != (VR_SmallPageSet *)pageSets) DetachPageSet(p, 1);
}

inline void VR_Heap::FreeSmallUnlocked(VR_BlockHeader *h)
{
    VR_Heap *heap = ((VR_SmallPageSet *)PageSetOf(h))->owner;
    if (heap->bypassFree || s_globalBypassFree) return;
    heap->ReturnSmallLocked(h);
}

inline void VR_Access::ReturnSmallLocked(VR_Heap &h, VR_BlockHeader *b) { h.ReturnSmallLocked(b); }
inline void VR_Access::FreeSmallUnlocked(VR_BlockHeader *b) { VR_Heap::FreeSmallUnlocked(b); }

#endif
