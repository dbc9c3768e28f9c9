/*
 * check.cpp - the general heap's invariant checker. Validate walks every
 * page set and free list of the small half, then lets the big half check
 * its own structures, and names the first broken invariant it finds. It is
 * meant for tests and debug builds: linear in the heap's size.
 */
#include "small.h"

namespace {

/* No 4 GB process holds more page sets than 64 KB units; a longer walk
   means a cycle in the links. */
const uint32_t kMaxPageSets = 65536;

} // namespace

const char *VR_Access::Small::ValidateSmall(VR_Heap &heap, unsigned long smallWaiting)
{
    uint32_t freeInPageSets = 0, waiting = 0;
    uint32_t count = 0;
    unsigned long classBlocks[VR_Heap::kSizeClassCount] = {};
    unsigned long classBytes = 0;
    VR_PageSetBase *prev = 0;
    for (VR_PageSetBase *ps = heap.pageSets; ps; prev = ps, ps = ps->next) {
        if (++count > kMaxPageSets) return "page-set list does not end";
        VR_SmallPageSet *p = (VR_SmallPageSet *)ps;
        uint8_t *base = p->Base();
        if (((uintptr_t)base & ~s_granularityMask) != 0) return "page set not aligned to the granularity";
        if (!IsLibraryMemory(base)) return "page set outside library memory";
        if (p->prev != (VR_SmallPageSet *)prev) return "page-set prev link broken";
        if (p->owner != &heap) return "page set owned by another heap";
        if (p->regionEnd != base + s_granularity) return "page-set regionEnd is not base + granularity";
        if (p->commitEnd > p->regionEnd || p->commitEnd < base + kSmallHeaderSize)
            return "page-set commitEnd outside its reservation";
        if ((uint32_t)(p->commitEnd - base) % s_pageSize != 0) return "page-set commitEnd not on a page boundary";
        if (p->uncarved > (uint32_t)(p->commitEnd - base) - kSmallFirstBlock)
            return "carve point below the first block";
        if (ps != heap.pageSets && p->usedCount == 0) return "older page set kept with no block in use";

        uint8_t *carve = p->CarvePoint();
        uint8_t *a = base + kSmallFirstBlock;
        uint32_t used = 0;
        while (a < carve) {
            VR_BlockHeader *b = (VR_BlockHeader *)a;
            if (b->sizeClass >= VR_Heap::kSizeClassCount) return "block with an invalid size class";
            if (b->blockFlags == (kBlockFree | kBlockCached)) {
                /* Lent to a thread cache: in use as far as the page set
                   and the counters go. */
                if (b->seal & 1) return "small block waiting in a thread cache still sealed";
                waiting++;
                used++;
                classBlocks[b->sizeClass]++;
                classBytes += ClassSize(b->sizeClass);
            } else if (b->blockFlags & ~(uint8_t)kBlockFree) {
                return "small block with stray flag bits";
            } else if (b->blockFlags & kBlockFree) {
                if (b->seal != FreeCheckOf(NextFreeOf(b))) return "free small block: link and check word differ";
                freeInPageSets++;
            } else {
                if (b->seal != SealOf(a + 8)) return "small block: seal broken";
                used++;
                classBlocks[b->sizeClass]++;
                classBytes += ClassSize(b->sizeClass);
            }
            a += ClassSize(b->sizeClass);
        }
        if (a != carve) return "blocks do not tile up to the carve point";
        if (used != p->usedCount) return "usedCount differs from the blocks in use";
    }

    /* The links are decoded as the heap decodes them, and each block is
       looked at before anything in it is read: a link a program forged
       by writing into a freed block is named, never followed. */
    uint32_t freeOnLists = 0;
    for (int k = 0; k < VR_Heap::kSizeClassCount; k++) {
        VR_BlockHeader *before = 0;
        for (VR_BlockHeader *b = heap.freeLists[k]; b; before = b, b = NextFreeOf(b)) {
            if (++freeOnLists > freeInPageSets) return "more blocks on free lists than free in page sets";
            VR_SmallPageSet *p = (VR_SmallPageSet *)PageSetOf(b);
            if (((uintptr_t)b & 7) || !IsCommittedLibraryMemory(b))
                return "free-list link leading outside committed library memory";
            if (p->owner != &heap) return "free-list block in another heap's page set";
            uint8_t *a = (uint8_t *)b;
            if (a < p->Base() + kSmallFirstBlock || a + kMinBlock > p->CarvePoint() ||
                ((uintptr_t)a & (kBlockAlignment - 1)) != kBlockAlignment - 8)
                return "free-list block outside the carved blocks";
            if (!(b->blockFlags & kBlockFree)) return "free-list block not marked free";
            if (b->sizeClass != k) return "free-list block of another class";
            if (before && b->prevFree != before) return "free-list prev link broken";
            /* The link is looked at before it is followed. */
            if (!LinkIntact(b, NextFreeOf(b))) return "free-list link overwritten (it differs from its check word)";
        }
    }
    if (freeOnLists != freeInPageSets)
        return DroppedFreeLinks() ? "free blocks missing from the free lists (lost behind a dropped link?)"
                                  : "free blocks missing from the free lists";
    if (waiting != smallWaiting) return "small blocks marked waiting differ from those in thread caches";
    for (int k = 0; k < VR_Heap::kSizeClassCount; k++)
        if (classBlocks[k] != heap.counters.smallBlocks[k])
            return "counters: small blocks of a class differ from the page sets";
    if (classBytes != heap.counters.smallBytes) return "counters: smallBytes differs from the page sets";
    return 0;
}
