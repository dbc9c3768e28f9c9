/*
 * block_format.h - what the files of the checking mode's blocks share:
 * the header's marks and guard bytes, the page mode's record of a block,
 * and the calls one file makes into another. They call downward only:
 *
 *   leaks.cpp         the walk at exit and the leaks
 *     guard_blocks.cpp  the blocks of the heap, their verification, the quarantine
 *       page_blocks.cpp   the page mode's records, reservations, quarantine, fault watch
 *         block_format.cpp  the header's reading and the lines that describe a block
 */
#ifndef VR_BLOCK_FORMAT_H
#define VR_BLOCK_FORMAT_H

#include <stddef.h>
#include <stdint.h>

#include "checking.h"

namespace vr_check {

const uint32_t kHeaderMagic = 0x4B435256;   /* "VRCK" */
const uint32_t kPadMagic = 0x44415056;      /* "VPAD" */
const uint32_t kStateLive = 0x4C000000;     /* + kind */
const uint32_t kStateFreed = 0x46000000;    /* + kind */
const uint8_t kFrontByte = 0xFA;
const uint8_t kBackByte = 0xFD;
const uint8_t kFreedByte = 0xDD;
const uint32_t kBackGuard = 16;
const uint32_t kHeaderSize = sizeof(VR_CheckHeader);
/* In a heap block's lead: live when the process forked (CheckForkedChild). */
const uint32_t kInheritedLead = 0x80000000u;

/* The page mode's record of a block: its header, and its reservation. */
struct VR_PageRecord {
    VR_CheckHeader header;  /* lead: the user address */
    uint32_t base;          /* the reservation */
    uint32_t span;          /* its size: the block's pages and the inaccessible page */
    uint32_t committed;     /* bytes committed from base; 0 once freed */
    uint32_t inherited;     /* 1: live when the process forked */
    uint32_t pad[4];
};
static_assert(sizeof(VR_PageRecord) == 64, "a record is found by shifting");
static_assert(offsetof(VR_PageRecord, header) == 0, "a record is its header");

const uint32_t kRegions = 65536;
/* By the region where a page block's reservation starts; null until the
   page mode starts. */
extern VR_PageRecord *s_pageRecords;

inline int IsPageRecord(const VR_CheckHeader *h)
{
    return (uintptr_t)h - (uintptr_t)s_pageRecords < kRegions * sizeof(VR_PageRecord);
}

inline int IsLive(uint32_t state)
{
    return state > kStateLive && state < kStateLive + kKindCount;
}

inline int IsFreed(uint32_t state)
{
    return state > kStateFreed && state < kStateFreed + kKindCount;
}

/* The family of a live or freed block, 0 when it is neither. */
inline int KindOf(uint32_t state)
{
    return IsLive(state) ? (int)(state - kStateLive) : IsFreed(state) ? (int)(state - kStateFreed) : 0;
}

inline uint8_t *UserOf(VR_CheckHeader *h)
{
    return IsPageRecord(h) ? (uint8_t *)(uintptr_t)h->lead : (uint8_t *)(h + 1);
}

/* block_format.cpp */
/* The header of a block of the heap (as ForEach hands it out), or null
   when it holds none. */
VR_CheckHeader *HeaderOfBlock(void *block);
/* The guard bytes after a block. */
uint32_t BackGuardOf(VR_CheckHeader *h);
/* The first words of a finding about a block, and its stacks. */
void BlockLine(VR_CheckText &t, const char *kind, VR_CheckHeader *h);
void AllocatedAt(VR_CheckText &t, VR_CheckHeader *h, int kind);
void FreedAt(VR_CheckText &t, VR_CheckHeader *h);

/* page_blocks.cpp */
VR_PageRecord *PageRecordAt(uintptr_t a);
void *PageAlloc(size_t size, uint32_t align, uint32_t offset, int kind, uint32_t stack);
/* A claimed page block into the page quarantine. */
void QuarantinePage(VR_PageRecord *r);
/* What is wrong with the page quarantine, or null; takes its lock. */
const char *ValidatePageQuarantine();
/* Releases every block of the page quarantine (their address space is
   wanted); how many there were. */
uint32_t FlushPageQuarantine();
/* The page mode's own tables (they name every page block), or 0 bytes
   when the mode is off. */
void PageTables(uintptr_t *start, uint32_t *bytes);

/* guard_blocks.cpp */
void VerifyGuards(VR_CheckHeader *h, int kind, const char *call, uint32_t stack);
void VerifyFreed(VR_CheckHeader *h, uint32_t stack);
/* The heap of the checked blocks. */
VR_Heap &CheckHeap();

} // namespace vr_check

#endif
