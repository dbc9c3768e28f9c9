/*
 * pages.h - page services and the region map.
 *
 * The only place where the library asks the system for address space. Every
 * reservation made through ReservePages is marked in s_regionMap, one bit per
 * 64 KB of the 4 GB address space, so that any code can tell library memory
 * from foreign memory with one shift, one mask and one byte load.
 */
#ifndef VR_PAGES_H
#define VR_PAGES_H

#include <stdint.h>

#include "units.h"
#include "vorrel.h"

extern uint8_t s_regionMap[8192];   /* bit (a>>16)&7 of byte a>>19 */

/* Reserves size bytes (granularity-aligned) and marks them in the region
   map. Null, with the map unchanged, when the system refuses or when size
   rounded to the granularity would pass 2^32. kind (VR_SPACE_...) says what
   the reservation is for; the statistics and the address-space map count
   it under that kind. */
void *ReservePages(uint32_t size, int nocache, int kind = VR_SPACE_LIBRARY);
/* Commits [address, address + size) of a live reservation; the address on
   success, null on failure. Never touches the region map. */
void *CommitPages(void *address, uint32_t size, int nocache);
void DecommitPages(void *address, uint32_t size);
/* Decommits committedSize bytes (when nonzero), releases the reservation and
   clears the map bits of reservedSize bytes from base. */
void ReleasePages(void *base, uint32_t committedSize, uint32_t reservedSize);

#if defined(VORREL_BUILD)
extern uint8_t s_regionMapLocal[8192];  /* s_regionMap, reached directly */
#define VR_REGION_MAP s_regionMapLocal
#else
#define VR_REGION_MAP s_regionMap
#endif

/* The region-map test, without the lock. */
inline int IsLibraryMemory(const void *p)
{
    uintptr_t a = (uintptr_t)p;
    return VR_REGION_MAP[a >> 19] & (1u << ((a >> 16) & 7));
}

/* How far each 64 KB region of library memory is committed: the number of
   4 KB steps from the region's start that are committed, 0 to 16 (0 for
   every region outside library memory). Every reservation of the library
   is committed as one stretch from its base, grown and shrunk at its end,
   so within a region the committed pages are always a prefix. Kept by the
   page services as they commit, decommit and release; read without a lock
   (whoever reads a block's header got the block after its pages were
   committed). */
#if defined(_WIN32)
extern uint8_t s_committedSteps[65536];
#else
/* Hidden, so that position-independent code indexes it off the base
   register in one instruction. */
extern uint8_t s_committedSteps[65536] __attribute__((visibility("hidden")));
#endif
const uint32_t kCommitStep = 4096;     /* the unit of s_committedSteps */
const uint32_t kStepsPerRegion = 16;

/* Whether the byte at p is committed library memory and can be read: a
   pointer into a reservation's uncommitted tail is library memory all the
   same, and reading it faults. One byte load, like the region-map test. */
inline int IsCommittedLibraryMemory(const void *p)
{
    uintptr_t a = (uintptr_t)p;
    return ((a >> 12) & 15) < s_committedSteps[a >> 16];
}

/* The committed bytes of [base, base + size) as the commit table has them,
   in whole 4 KB steps: what a reservation that has decommitted pieces
   inside its committed part (the free insides of big page sets) still
   holds. base is 4 KB-aligned and size a multiple of 4 KB. */
uint32_t CommittedBytesIn(const void *base, uint32_t size);

/* The 16 bytes at the base of a virtual block's reservation; the caller's
   pointer is base + 16. */
struct VR_VirtualHeader {
    uint32_t currentSize;     /* size last given to AllocVirtual/ResizeVirtual */
    uint32_t reservedBytes;   /* whole reservation, header included */
    uint32_t committedBytes;  /* committed from the base, header included */
    uint32_t unused;          /* never written */
};
static_assert(sizeof(VR_VirtualHeader) == 16, "virtual header is 16 bytes");

/* AllocVirtual with the kind its reservation is counted under (a heap's
   direct blocks are virtual blocks inside). */
void *AllocVirtualOfKind(unsigned long reserveSize, unsigned long size, int kind);
#endif
