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

inline void *VR_HeapOneSize::TakeBlock()
{
    VR_OneSizePageSet *h = freePageSets;
    if (h) {
        /* The block freed last, from the page set that most recently gained
           a free block. */
        uint8_t *block = h->Base() + h->freeOffset;
        h->usedCount++;
        h->freeOffset = *(uint32_t *)block;
        if (h->freeOffset == 0) {
            VR_OneSizePageSet *n = h->nextWithFree;
            freePageSets = n;
            if (n) n->prevWithFree = 0;
            h->nextWithFree = 0;
        }
        return block;
    }
    VR_OneSizePageSet *p = (VR_OneSizePageSet *)pageSets;
    if (!p || blockSize > p->uncarved) return 0;
    uint8_t *block = p->CarvePoint();
    p->uncarved -= blockSize;
    p->usedCount++;
    return block;
}

inline void VR_HeapOneSize::ReturnBlock(void *block)
{
    VR_OneSizePageSet *p = OneSizePageSetOf(block);
    VR_ASSERT(p->usedCount != 0 && p->owner == this);
    VR_ASSERT((uint8_t *)block >= p->Base() + kOneSizeHeaderSize && (uint8_t *)block < p->CarvePoint());
    VR_ASSERT(((uint32_t)((uint8_t *)block - p->Base()) - kOneSizeHeaderSize) % blockSize == 0);
    p->usedCount--;
    VR_OneSizePageSet *f = freePageSets;
    if (p->usedCount == 0 && f && (f != p || p->nextWithFree)) {
        /* Another page set has free blocks to hand out, so this empty one
           is not needed for reuse: give it back. */
        UnlinkFrom(pageSets, (VR_PageSetBase *)p, &VR_PageSetBase::next, &VR_PageSetBase::prev);
        if (p->freeOffset) UnlinkFrom(freePageSets, p, &VR_OneSizePageSet::nextWithFree, &VR_OneSizePageSet::prevWithFree);
        ReleasePageSet(p, (uint32_t)(p->commitEnd - p->Base()));
    } else {
        *(uint32_t *)block = p->freeOffset;
        if (p->freeOffset == 0) {
            /* On the front of freePageSets, whose head f was read above. */
            p->prevWithFree = 0;
            p->nextWithFree = f;
            if (f) f->prevWithFree = p;
            freePageSets = p;
        }
        p->freeOffset = (uint32_t)((uint8_t *)block - p->Base());
    }
}

#endif
