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

/*
 * The free lists. Each class's list runs from freeLists[k] through the
 * blocks' nextFree links, stored mangled with the header's own address as
 * key (layout.h), and back through prevFree. A decoded link is followed
 * when it is null, or when the next block lies in the same 64 KB page set
 * as the block that links it and at the same alignment: then the two
 * addresses differ only in bits 0xFFFF & ~(kBlockAlignment - 1), and the
 * test of the stored word xor the secret against kNearLinkMask is one
 * instruction. Any other link must pass the full test of a free block of
 * the class in one of the heap's small page sets (FreeBlockOf); one that
 * fails is dropped: the list ends at the block that held it (which was
 * checked when it became the first), and the blocks behind it stay marked
 * free, off every list, until their page set is given back or carved
 * again (Validate reports them as missing from the free lists).
 *
 * prevFree is not followed to hand out memory, only to unlink a block in
 * place when its page set goes (DetachPageSet), and there only after the
 * block it names is seen to be a free block of the heap whose nextFree
 * decodes back to the block: a forged one is ignored. The first block's
 * prevFree is not kept (freeLists[k] names the first block), so taking a
 * block writes nothing into the block behind it.
 */
const uint32_t kNearLinkMask = 0xFFFF0000u | (kBlockAlignment - 1);

inline VR_BlockHeader *NextFreeOf(const VR_BlockHeader *h)
{
    return (VR_BlockHeader *)(uintptr_t)MangledLink(h, h->nextFree);
}

inline void SetNextFree(VR_BlockHeader *h, const VR_BlockHeader *next)
{
    h->nextFree = MangledLink(h, (uint32_t)(uintptr_t)next);
}

/* Whether b is a free block of class k of heap: at a block's alignment in
   the carved part of a small page set of heap (whose header is read only
   once it is known to be committed), flagged free and of class k. The
   page set `known` is taken as sound without a look at its header (the
   caller has it in hand), any other is checked. */
int FreeBlockOf(const VR_Heap *heap, const VR_BlockHeader *b, unsigned k, const VR_SmallPageSet *known);

/* The far case of a link decoded while a block of class k is taken: next
   when it is a free block of the class of heap, else null (the link is
   dropped and counted). */
VR_BlockHeader *FarFreeLink(const VR_Heap *heap, VR_BlockHeader *next, unsigned k);

inline void VR_Heap::PushFree(VR_BlockHeader *h, unsigned k)
{
    VR_BlockHeader *old = freeLists[k];
    freeLists[k] = h;
    if (old) old->prevFree = h;
    SetNextFree(h, old);
}

inline VR_BlockHeader *VR_Heap::TakeSmallLocked(unsigned k)
{
    VR_BlockHeader *h = freeLists[k];
    if (h) {
        /* The next block's address xor h's. */
        uint32_t delta = h->nextFree ^ s_linkSecret;
        VR_BlockHeader *next = (VR_BlockHeader *)(uintptr_t)(delta ^ (uint32_t)(uintptr_t)h);
        if (__builtin_expect((delta & kNearLinkMask) != 0, 0) && next) next = FarFreeLink(this, next, k);
        freeLists[k] = next;
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
