/*
 * block_format.cpp - reading a checked block's header (the format in
 * checking.h) and the lines of a finding that describe the block: what
 * the blocks of the heap and those of the page mode share.
 */
#include "block_format.h"
#include "system.h"

namespace vr_check {

VR_PageRecord *s_pageRecords;

/* The guard bytes after a block: a page block's reach to the end of its
   page (the page after is inaccessible), fewer than its alignment. */
uint32_t BackGuardOf(VR_CheckHeader *h)
{
    if (!IsPageRecord(h)) return kBackGuard;
    uintptr_t end = (uintptr_t)UserOf(h) + h->size;
    return (uint32_t)(((end + s_pageSize - 1) & ~(uintptr_t)(s_pageSize - 1)) - end);
}

/* The header of a block of the heap (as ForEach hands it out), or null
   when it holds none (a block given back, waiting for reuse). */
VR_CheckHeader *HeaderOfBlock(void *block)
{
    VR_CheckHeader *h = (VR_CheckHeader *)block;
    if (h->magic == kPadMagic) h = (VR_CheckHeader *)((uint8_t *)block + ((uint32_t *)block)[1]);
    return h->magic == (kHeaderMagic ^ (uint32_t)(uintptr_t)UserOf(h)) ? h : 0;
}

void BlockLine(VR_CheckText &t, const char *kind, VR_CheckHeader *h)
{
    t.Str("vorrel-check: ");
    t.Str(kind);
    t.Str(" block ");
    t.Hex((uintptr_t)UserOf(h));
    t.Str(" size ");
    t.Num(h->size);
}

void AllocatedAt(VR_CheckText &t, VR_CheckHeader *h, int kind)
{
    t.Str("  allocated by ");
    t.Str(KindName(kind));
    t.Str(" at:\n");
    t.Stack(h->allocStack);
}

void FreedAt(VR_CheckText &t, VR_CheckHeader *h)
{
    t.Str("  freed at:\n");
    t.Stack(h->freeStack);
}

} // namespace vr_check
