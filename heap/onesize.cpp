/*
 * onesize.cpp - VR_HeapOneSize, the heap of fixed-size blocks.
 *
 * Owns the one-size page sets: cutting blocks at the carve point of the
 * newest page set (committing one page at a time), each page set's free list
 * of offsets, the heap's list of page sets that hold a free block, giving an
 * empty page set back, and the checker of its lists. Blocks carry no header: a
 * free finds its page set by masking the address and the heap through the
 * page set's owner.
 */
#include <string.h>

#include "onesize.h"

const uint8_t kOneSizeNoMark = 0xFF;

namespace {

/* The block size for a request: at least 4 (a free block keeps its link in
   its first word), a multiple of 4. Requests within 3 of 2^32 cannot be
   rounded up without wrapping; they get the largest multiple of 4, which is
   just as unusable (see OneSizeRoom) and keeps blockSize aligned. */
inline uint32_t RoundBlockSize(uint32_t n)
{
    if (n <= 4) return 4;
    if (n > 0xFFFFFFFCu) return 0xFFFFFFFCu;
    return (n + 3) & ~3u;
}

} // namespace

VR_HeapOneSize::VR_HeapOneSize(unsigned long size, unsigned long flags_, const char *name)
    : VR_AHeap(name)
{
    /* A static heap that served allocations before this ran keeps its block
       size and its lists: Init returns 0 for it, and its blocks rely on the
       size they were cut with. */
    if (Init((long)flags_, 0, 1)) VR_Access::OneSize::InitHeapOneSize(*this, size);
}

void VR_Access::OneSize::InitHeapOneSize(VR_HeapOneSize &heap, unsigned long size)
{
    heap.freePageSets = 0;
    heap.blockSize = RoundBlockSize(size);
}

/* TakeBlock and ReturnBlock are part of the common case of a heap without
   a lock: inline in AllocMem and FreeMem, and called through TakeLocked and
   ReturnLocked from the thread cache's slow paths. */
void *VR_Access::OneSize::TakeLocked(VR_HeapOneSize &heap)
{
    return TakeBlock(heap);
}

void VR_Access::OneSize::ReturnLocked(VR_HeapOneSize &heap, void *block)
{
    ReturnBlock(heap, block);
}

int VR_Access::OneSize::GrowLocked(VR_HeapOneSize &heap)
{
    VR_OneSizePageSet *p = (VR_OneSizePageSet *)heap.pageSets;
    if (!p || p->commitEnd == p->regionEnd) {
        /* The newest page set is full (its leftover bytes stay uncut for
           good) or there is none: start a new one. */
        p = (VR_OneSizePageSet *)heap.AllocPageSet(kOneSizeHeaderSize, VR_SPACE_ONESIZE);
        if (!p) return 0;
        p->owner = &heap;
        p->freeOffset = 0;
        p->nextWithFree = 0;
        p->prevWithFree = 0;
        OneSizeSetGrid(p, heap.blockSize);
        /* The marks are committed with the header, and all 0 (an emergency
           reserve taken over holds old bytes). */
        uint8_t *first = p->Base() + p->firstBlock;
        if (first > p->commitEnd) {
            uint32_t more = (uint32_t)(first - p->commitEnd + s_pageSize - 1) & ~(s_pageSize - 1);
            if (!CommitPages(p->commitEnd, more, (heap.flags & VR_HEAP_NOCACHE) ? 1 : 0)) {
                UnlinkFrom(heap.pageSets, (VR_PageSetBase *)p, &VR_PageSetBase::next, &VR_PageSetBase::prev);
                ReleasePageSet(p, (uint32_t)(p->commitEnd - p->Base()));
                return 0;
            }
            p->commitEnd += more;
        }
        memset(OneSizeMarks(p), 0, p->firstBlock - kOneSizeHeaderSize);
        p->uncarved = (uint32_t)(p->commitEnd - first);
        return 1;
    }
    /* Memory follows use: one more page, and a block may straddle the
       boundary into it. */
    if (!CommitPages(p->commitEnd, s_pageSize, (heap.flags & VR_HEAP_NOCACHE) ? 1 : 0)) return 0;
    p->commitEnd += s_pageSize;
    p->uncarved += s_pageSize;
    return 1;
}

const char *VR_Access::OneSize::ValidateLists(VR_HeapOneSize &heap)
{
    /* No heap can hold more page sets than the address space has 64 KB
       regions; a longer walk means a cycle. */
    const uint32_t kMaxPageSets = 65536;
    const char *err = 0;
    if (heap.initialized && (heap.blockSize < 4 || (heap.blockSize & 3)))
        err = "one-size: blockSize below 4 or not a multiple of 4";
    uint32_t withFree = 0, walked = 0;
    VR_PageSetBase *prev = 0;
    for (VR_PageSetBase *b = heap.pageSets; b && !err; prev = b, b = b->next) {
        VR_OneSizePageSet *p = (VR_OneSizePageSet *)b;
        uint8_t *base = p->Base();
        if (++walked > kMaxPageSets) { err = "one-size: page-set list has a cycle"; break; }
        if (p->prev != prev) { err = "one-size: page-set prev link broken"; break; }
        if (p->owner != &heap) { err = "one-size: page set owned by another heap"; break; }
        if (PageSetOf(base) != b || p->regionEnd != base + s_granularity) {
            err = "one-size: page set not one aligned granularity unit";
            break;
        }
        VR_OneSizePageSet grid;
        OneSizeSetGrid(&grid, heap.blockSize);
        uint32_t first = p->firstBlock;
        if (p->gridInverse != grid.gridInverse || p->gridShift != grid.gridShift || first != grid.firstBlock) {
            err = "one-size: grid or first block not the block size's";
            break;
        }
        if (p->commitEnd < base + first || p->commitEnd > p->regionEnd ||
            p->uncarved > (uint32_t)(p->commitEnd - base) - first) {
            err = "one-size: commit end or carve point out of the page set";
            break;
        }
        uint32_t carved = (uint32_t)(p->CarvePoint() - base) - first;
        if (carved % heap.blockSize) { err = "one-size: carve point not on a block boundary"; break; }
        uint32_t cut = carved / heap.blockSize;
        const uint8_t *marks = OneSizeMarks(p);
        uint32_t live = 0;
        for (uint32_t i = 0; i < first - kOneSizeHeaderSize; i++) {
            if (marks[i] > kOneSizeWaiting || (marks[i] && i >= cut)) { err = "one-size: mark of no block"; break; }
            live += marks[i] != kOneSizeFree;
            if (i < cut && OneSizeIndexOf(p, first + i * heap.blockSize) != i) { err = "one-size: grid misses a block"; break; }
        }
        if (err) break;
        if (live > p->usedCount) { err = "one-size: more blocks marked than in use"; break; }
        uint32_t freeCount = 0;
        /* Each offset is looked at before the block it names is read. */
        for (uint32_t off = p->freeOffset; off; off = OneSizeLink(off, *(uint32_t *)(base + off))) {
            if (off < first || off - first >= carved) {
                err = "one-size: free-list offset outside the cut blocks";
                break;
            }
            if ((off - first) % heap.blockSize) {
                err = "one-size: free-list offset not on a block boundary";
                break;
            }
            if (marks[(off - first) / heap.blockSize]) { err = "one-size: free block marked as in use"; break; }
            if (++freeCount > cut) { err = "one-size: free list has a cycle"; break; }
        }
        if (err) break;
        if ((uint64_t)p->usedCount + freeCount != cut) {
            err = DroppedFreeLinks() ? "one-size: blocks cut != usedCount + free blocks (lost behind a dropped link?)"
                                     : "one-size: blocks cut != usedCount + free blocks";
            break;
        }
        if (p->freeOffset) withFree++;
    }
    /* freePageSets holds exactly the page sets with a free block. */
    uint32_t listed = 0;
    VR_OneSizePageSet *fprev = 0;
    for (VR_OneSizePageSet *p = heap.freePageSets; p && !err; fprev = p, p = p->nextWithFree) {
        if (++listed > withFree) { err = "one-size: freePageSets holds a page set without free blocks"; break; }
        if (p->prevWithFree != fprev) { err = "one-size: freePageSets prev link broken"; break; }
        if (p->owner != &heap) { err = "one-size: freePageSets holds another heap's page set"; break; }
        if (!p->freeOffset) { err = "one-size: page set without free blocks on freePageSets"; break; }
    }
    if (!err && listed != withFree) err = "one-size: page set with free blocks missing from freePageSets";
    return err;
}
