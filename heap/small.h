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

/*
 * The small-block half of VR_Heap: blocks of up to 1016 bytes in 52 size
 * classes, cut from 64 KB page sets (small.cpp; the checker check.cpp).
 * Functions named ...Locked expect the heap's lock to be held, or the heap
 * to have none.
 */
struct VR_Access::Small {
    static void InitHeap(VR_Heap &heap);
    /* Sets up a heap in static storage on its first use (once). */
    static void InitLazily(VR_Heap &heap);
    /* The common case of a heap without a lock: a small block from a free
       list or the committed rest of the newest page set, or null when the
       request needs more (the front's AllocMemSlow then serves it). */
    static void *AllocSmallUnlocked(VR_Heap &heap, unsigned long size);
    static inline void *AllocSmallBody(VR_Heap &heap, unsigned long size);   /* its body, inline in AllocMem */
    /* Frees a live small block of a heap without a lock; always complete. */
    static inline void FreeSmallUnlocked(VR_BlockHeader *h);
    /* The block of class k the heap can hand out without the system (from
       its free list, else cut from the newest page set's committed pages),
       counted in its page set; null when there is none (lock held). */
    static inline VR_BlockHeader *TakeSmallLocked(VR_Heap &heap, unsigned k);
    /* A block of class k whose pointer is a multiple of alignment: the
       head of the class's free list when it is on the boundary, else cut
       from the newest page set behind a free filler block; null when the
       page set has no room (lock held). */
    static VR_BlockHeader *TakeAlignedLocked(VR_Heap &heap, unsigned k, unsigned long alignment);
    /* Makes room for more blocks of class k (reuses an empty newest page
       set, commits a page or starts a page set); 0 when the system refused
       (lock held). */
    static int GrowSmallLocked(VR_Heap &heap);
    /* Marks a taken block live for a request of size bytes and counts it. */
    static inline void *HandOutSmall(VR_Heap &heap, VR_BlockHeader *h, unsigned k, unsigned long size);
    /* A block of class k lent to a thread cache: taken, marked as waiting
       and counted as handed out; null when none is ready (lock held). */
    static void *LendSmallLocked(VR_Heap &heap, unsigned k);
    /* The same for a block on the boundary (TakeAlignedLocked). */
    static void *LendAlignedLocked(VR_Heap &heap, unsigned k, unsigned long alignment);
    /* Marks a taken block h of class k as lent (null passes through). */
    static void *LendTakenLocked(VR_Heap &heap, VR_BlockHeader *h, unsigned k);
    /* A block waiting in a thread cache goes back to the heap (lock held). */
    static inline void ReturnSmallLocked(VR_Heap &heap, VR_BlockHeader *h);
    static void DetachPageSet(VR_SmallPageSet *p, int release);
    /* Cuts the rest of a full newest page set into free blocks. */
    static void CutTail(VR_Heap &heap, VR_SmallPageSet *p);
    static inline void PushFree(VR_Heap &heap, VR_BlockHeader *h, unsigned k);
    /* Everything of Clear but the thread caches (lock held). */
    static void ClearLocked(VR_Heap &heap);
    /* The small half of Validate; smallWaiting: the blocks of this heap
       that wait in thread caches. */
    static const char *ValidateSmall(VR_Heap &heap, unsigned long smallWaiting);
};

inline void VR_Access::Small::PushFree(VR_Heap &heap, VR_BlockHeader *h, unsigned k)
{
    VR_BlockHeader *old = heap.freeLists[k];
    heap.freeLists[k] = h;
    if (old) old->prevFree = h;
    SetNextFree(h, old);
}

inline VR_BlockHeader *VR_Access::Small::TakeSmallLocked(VR_Heap &heap, unsigned k)
{
    VR_BlockHeader *h = heap.freeLists[k];
    if (h) {
        VR_BlockHeader *next = NextFreeOf(h);
        if (__builtin_expect(!LinkIntact(h, next), 0)) {
            CountDroppedLink();
            next = 0;
        }
        heap.freeLists[k] = next;
        ((VR_SmallPageSet *)PageSetOf(h))->usedCount++;
        return h;
    }
    /* Only what is committed already: the system is asked by the caller,
       which may have to recover from its refusal. */
    VR_SmallPageSet *p = (VR_SmallPageSet *)heap.pageSets;
    uint32_t s = ClassSize(k);
    if (!p || s > p->uncarved) return 0;
    h = (VR_BlockHeader *)p->CarvePoint();
    p->uncarved -= s;
    p->usedCount++;
    h->sizeClass = (uint8_t)k;
    return h;
}

inline void *VR_Access::Small::HandOutSmall(VR_Heap &heap, VR_BlockHeader *h, unsigned k, unsigned long size)
{
    void *block = (uint8_t *)h + kHeaderBytes;
    h->seal = SealOf(block);
    /* Size, class (unchanged) and flags (live) in one store. */
    *(uint32_t *)&h->requestedSize = (uint32_t)size | (k << 16);
    heap.counters.smallBlocks[k]++;
    heap.counters.smallBytes += ClassSize(k);
    UpdatePeak(heap.counters);
    return block;
}

/* The common case of a heap without a lock, a block its lists have ready;
   null when the slow path must serve. */
inline void *VR_Access::Small::AllocSmallBody(VR_Heap &heap, unsigned long size)
{
    /* A heap in static storage used before its constructor ran starts on
       the slow path, which sets it up. */
    if (size > VR_Heap::kSmallLimit || !heap.initialized) return 0;
    unsigned k = SmallClassOf((uint32_t)size);
    VR_BlockHeader *h = TakeSmallLocked(heap, k);
    if (!h) return 0;
    void *block = HandOutSmall(heap, h, k, size);
    if (heap.flags & VR_HEAP_ZERO_INIT) memset(block, 0, size);
    return block;
}

/* A small block leaves the heap's use: back on its class's free list, and
   its page set given back when it was the last in use there. */
inline void VR_Access::Small::ReturnSmallLocked(VR_Heap &heap, VR_BlockHeader *h)
{
    VR_SmallPageSet *p = (VR_SmallPageSet *)PageSetOf(h);
    unsigned k = h->sizeClass;
    VR_ASSERT(k < VR_Heap::kSizeClassCount && p->usedCount > 0 && p->owner == &heap);
    PushFree(heap, h, k);
    h->blockFlags = kBlockFree;
    heap.counters.smallBlocks[k]--;
    heap.counters.smallBytes -= ClassSize(k);
    if (--p->usedCount == 0 && p != (VR_SmallPageSet *)heap.pageSets) DetachPageSet(p, 1);
}

inline void VR_Access::Small::FreeSmallUnlocked(VR_BlockHeader *h)
{
    VR_Heap *heap = ((VR_SmallPageSet *)PageSetOf(h))->owner;
    if (heap->bypassFree || VR_AHeap::s_globalBypassFree) return;
    ReturnSmallLocked(*heap, h);
}

#endif
