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
#include "space.h"

inline VR_OneSizePageSet *OneSizePageSetOf(const void *block)
{
    return (VR_OneSizePageSet *)PageSetOf(block);
}

/* The largest block a page set holds: everything behind the header and
   the one mark it needs, 8-aligned. */
inline uint32_t OneSizeRoom() { return s_granularity - ((kOneSizeHeaderSize + 1 + 7) & ~7u); }

/* A one-size page set's marks (layout.h): one byte per block, which says
   where the block is. */
enum {
    kOneSizeFree = 0,       /* on its page set's free list, or not cut yet */
    kOneSizeLive = 1,       /* the program's */
    kOneSizeWaiting = 2     /* in a thread's one-size bin */
};
inline uint8_t *OneSizeMarks(VR_OneSizePageSet *p) { return p->Base() + kOneSizeHeaderSize; }

/* The index of the block at offset in p: exact when offset is a block's,
   otherwise a number not below firstBlock - kOneSizeHeaderSize (an
   offset in front of the first block wraps to a large number too). The
   multiply by the inverse of the odd part divides exactly whatever
   divides; the rotation moves the low bits of an offset that is not a
   multiple of the power of two to the top. */
inline uint32_t OneSizeIndexOf(const VR_OneSizePageSet *p, uint32_t offset)
{
    uint32_t x = (offset - p->firstBlock) * p->gridInverse;
    unsigned s = p->gridShift;
    return (x >> s) | (x << (32 - s));
}

/* What OneSizeMarkOf answers for a pointer that is no block's start: a
   mark of no state, never written. */
extern const uint8_t kOneSizeNoMark;

/* The mark of block, a pointer into a one-size page set of the library
   with its header committed; kOneSizeNoMark when block is no block's
   start there. Every block a list or a bin yields is asked this before
   its mark is touched: a link that a write through a freed pointer or a
   racing double free left behind may decode to any offset in the page
   set. A caller writes a mark only after it has seen the state it
   expects there. */
inline uint8_t *OneSizeMarkOf(const void *block)
{
    VR_OneSizePageSet *p = OneSizePageSetOf(block);
    uint32_t i = OneSizeIndexOf(p, (uint32_t)(uintptr_t)block & 0xFFFF);
    return i < (uint32_t)p->firstBlock - kOneSizeHeaderSize ? OneSizeMarks(p) + i : (uint8_t *)&kOneSizeNoMark;
}

/* The grid of a page set for blocks of size bytes (a multiple of 4 up to
   OneSizeRoom): its inverse and shift, and the first block's offset
   behind as many marks as blocks fit. */
inline void OneSizeSetGrid(VR_OneSizePageSet *p, uint32_t size)
{
    unsigned s = (unsigned)__builtin_ctz(size);
    uint32_t odd = size >> s, inv = odd;
    /* Newton's iteration: each step doubles the bits of the inverse that
       are right (an odd number is its own inverse mod 8). */
    for (int i = 0; i < 4; i++) inv *= 2 - odd * inv;
    uint32_t blocks = (s_granularity - kOneSizeHeaderSize - 7) / (size + 1);
    uint32_t first = (kOneSizeHeaderSize + blocks + 7) & ~7u;
    while ((s_granularity - first) / size > first - kOneSizeHeaderSize) first += 8;
    p->gridInverse = inv;
    p->gridShift = (uint8_t)s;
    p->firstBlock = (uint16_t)first;
}

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
inline int OneSizeLinkFollows(const VR_OneSizePageSet *p, uint32_t offset)
{
    uint32_t first = p->firstBlock;
    return offset - first < 0x10000u - first;
}

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
        if (next && __builtin_expect(!OneSizeLinkFollows(h, next), 0)) {
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
    VR_ASSERT((uint8_t *)block >= p->Base() + p->firstBlock && (uint8_t *)block < p->CarvePoint());
    VR_ASSERT(((uint32_t)((uint8_t *)block - p->Base()) - p->firstBlock) % heap.blockSize == 0);
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

/* Whether a block taken off a one-size bin goes back to its page set's
   list (its mark then says so): only while its mark says it waits: two threads that freed it at once may both
   have binned it, and it goes back once (the other bin's copy meanwhile
   may have been handed out, and is left to its caller). */
inline int OneSizeTakeWaiting(void *block)
{
    uint8_t *mark = OneSizeMarkOf(block);
    if (*mark != kOneSizeWaiting) return 0;
    *mark = kOneSizeFree;
    return 1;
}

#endif
