/*
 * onesize.h - the parts of VR_HeapOneSize that the common case of a heap
 * without a lock runs inline in AllocMem and FreeMem: a block taken from
 * the heap's lists, a block put back. The heap's lock is held, or the heap
 * has none.
 */
#ifndef VR_HEAP_ONESIZE_H
#define VR_HEAP_ONESIZE_H

#include "heap_internal.h"
#include "lists.h"

inline VR_OneSizePageSet *OneSizePageSetOf(const void *block)
{
    return (VR_OneSizePageSet *)PageSetOf(block);
}

/* Bytes of a page set that blocks may use: everything after the header. */
inline uint32_t OneSizeRoom() { return s_granularity - kOneSizeHeaderSize; }

/*
 * A free block's link, as layout.h stores it: the next free block's offset
 * in the page set, xor the block's own offset, xor the link secret. The
 * key is the offset rather than the address because the offset is in a
 * register on both paths, and because with it a word of zeros (or any
 * small number) written into a freed block decodes to a number with the
 * secret's top bit set, which is never followed. A decoded offset is
 * followed only when it lies past the header and inside the page set's
 * 64 KB, one compare; 0 ends the list, and anything else is dropped: the
 * list ends there, the page set leaves freePageSets, and the blocks behind
 * the link are lost to reuse (Validate: blocks cut != usedCount + free
 * blocks) until the page set is given back.
 */
inline uint32_t OneSizeLink(uint32_t ownOffset, uint32_t nextOffset) { return nextOffset ^ LinkKeyOf(ownOffset); }
inline int OneSizeLinkFollows(uint32_t offset) { return offset - kOneSizeHeaderSize < 0x10000u - kOneSizeHeaderSize; }

/*
 * The heap's own functions (onesize.cpp). Functions named ...Locked expect
 * the heap's lock to be held, or the heap to have none.
 */
struct VR_Access::OneSize {
    static void InitHeapOneSize(VR_HeapOneSize &heap, unsigned long blockSize);
    /* A block the heap can hand out without the system (a free one, else
       one cut from the committed pages of the newest page set), counted as
       used; null when there is none (lock held). */
    static void *TakeLocked(VR_HeapOneSize &heap);
    /* A used block back on its page set's list; an empty page set is given
       back when another page set has free blocks (lock held). */
    static void ReturnLocked(VR_HeapOneSize &heap, void *block);
    /* Their bodies, inline in AllocMem and FreeMem. */
    static inline void *TakeBlock(VR_HeapOneSize &heap);
    static inline void ReturnBlock(VR_HeapOneSize &heap, void *block);
    /* Makes room for more blocks (a new page set or one more page); 0 when
       the system refused (lock held). */
    static int GrowLocked(VR_HeapOneSize &heap);
    /* The heap's own lists checked (lock held); null when sound. */
    static const char *ValidateLists(VR_HeapOneSize &heap);
};

inline void *VR_Access::OneSize::TakeBlock(VR_HeapOneSize &heap)
{
    VR_OneSizePageSet *h = heap.freePageSets;
    if (h) {
        /* The block freed last, from the page set that most recently gained
           a free block. */
        uint32_t offset = h->freeOffset;
        uint8_t *block = h->Base() + offset;
        h->usedCount++;
        uint32_t next = OneSizeLink(offset, *(uint32_t *)block);
        if (next && __builtin_expect(!OneSizeLinkFollows(next), 0)) {
            CountDroppedLink();
            next = 0;
        }
        h->freeOffset = next;
        if (next == 0) {
            /* The list ends here: at its end, or at a link that failed. */
            VR_OneSizePageSet *n = h->nextWithFree;
            heap.freePageSets = n;
            if (n) n->prevWithFree = 0;
            h->nextWithFree = 0;
        }
        /* A block inside a page set is never null: the callers' test of
           the result falls away here. */
        if (!block) __builtin_unreachable();
        return block;
    }
    VR_OneSizePageSet *p = (VR_OneSizePageSet *)heap.pageSets;
    if (!p || heap.blockSize > p->uncarved) return 0;
    uint8_t *block = p->CarvePoint();
    p->uncarved -= heap.blockSize;
    p->usedCount++;
    return block;
}

inline void VR_Access::OneSize::ReturnBlock(VR_HeapOneSize &heap, void *block)
{
    VR_OneSizePageSet *p = OneSizePageSetOf(block);
    VR_ASSERT(p->usedCount != 0 && p->owner == &heap);
    VR_ASSERT((uint8_t *)block >= p->Base() + kOneSizeHeaderSize && (uint8_t *)block < p->CarvePoint());
    VR_ASSERT(((uint32_t)((uint8_t *)block - p->Base()) - kOneSizeHeaderSize) % heap.blockSize == 0);
    VR_OneSizePageSet *f = heap.freePageSets;
    if (--p->usedCount == 0 && f && (f != p || p->nextWithFree)) {
        /* Another page set has free blocks to hand out, so this empty one
           is not needed for reuse: give it back. */
        UnlinkFrom(heap.pageSets, (VR_PageSetBase *)p, &VR_PageSetBase::next, &VR_PageSetBase::prev);
        if (p->freeOffset)
            UnlinkFrom(heap.freePageSets, p, &VR_OneSizePageSet::nextWithFree, &VR_OneSizePageSet::prevWithFree);
        ReleasePageSet(p, (uint32_t)(p->commitEnd - p->Base()));
    } else {
        /* The page set is the block's 64 KB region: its offset is the low
           half of its address. */
        uint32_t offset = (uint32_t)(uintptr_t)block & 0xFFFF, first = p->freeOffset;
        *(uint32_t *)block = OneSizeLink(offset, first);
        if (first == 0) {
            /* On the front of freePageSets, whose head f was read above. */
            p->prevWithFree = 0;
            p->nextWithFree = f;
            if (f) f->prevWithFree = p;
            heap.freePageSets = p;
        }
        p->freeOffset = offset;
    }
}

#endif
