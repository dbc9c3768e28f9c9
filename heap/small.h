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
 * key (layout.h), and back through prevFree. Whatever writes a block's
 * nextFree writes its check word into the seal word in front of it
 * (SetNextFree), and a link is followed only while the two match
 * (LinkIntact): two loads, an xor and a compare when a block is taken,
 * wherever the next block lies. A program that writes through a pointer
 * it freed reaches the link but not the check word, so what it wrote is
 * never followed: the link is dropped and counted, the list ends at the
 * block that held it (which is handed out: its own address came from an
 * intact link), and the blocks behind it stay free, off every list, until
 * their page set is given back or carved again (Validate reports them as
 * missing from the free lists).
 *
 * prevFree is not followed to hand out memory, only to unlink a block in
 * place when its page set goes (DetachPageSet), and there only after the
 * block it names is seen to be a free block of the heap whose intact link
 * leads back: a forged one is ignored. The first block's prevFree is not
 * kept (freeLists[k] names the first block), so taking a block writes
 * nothing into the block behind it.
 */
inline VR_BlockHeader *NextFreeOf(const VR_BlockHeader *h)
{
    return (VR_BlockHeader *)(uintptr_t)MangledLink(h, h->nextFree);
}

inline void SetNextFree(VR_BlockHeader *h, const VR_BlockHeader *next)
{
    h->nextFree = MangledLink(h, (uint32_t)(uintptr_t)next);
    h->seal = FreeCheckOf(next);
}

inline int LinkIntact(const VR_BlockHeader *h, const VR_BlockHeader *next) { return h->seal == FreeCheckOf(next); }

/* Whether b is a free block of class k of heap with an intact link, with
   everything looked at before it is read: for a block outside the page
   set `known` (which the caller has in hand), that it is 8-aligned in
   committed library memory (its page set's header is committed too: every
   page set is committed from its base) in a page set of heap; then that it
   lies in the carved part of its page set (a page set carved again from
   its start keeps old words above the carve point), and its flags, class
   and check word. For unlinking in place and for the checker. */
int FreeBlockOf(const VR_Heap *heap, const VR_BlockHeader *b, unsigned k, const VR_SmallPageSet *known);

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
        VR_BlockHeader *next = NextFreeOf(h);
        if (__builtin_expect(!LinkIntact(h, next), 0)) {
            CountDroppedLink();
            next = 0;
        }
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
