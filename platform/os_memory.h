/*
 * os_memory.h - address space from the system.
 *
 * The contract is Windows' virtual-memory model, which the POSIX backend
 * emulates:
 *
 *  - Address space is reserved in units of the allocation granularity (64 KB)
 *    and every reservation starts on a multiple of it. Reserved pages are
 *    inaccessible until committed; committed pages read as zero when first
 *    touched; decommitted pages give their memory back to the system.
 *  - A reservation is released whole, by its base.
 *  - Nothing here allocates from the C runtime, and nothing takes a lock of
 *    the library's, so every function may be called under any lock and from
 *    inside the runtime hooks.
 *
 * The fault seam (FaultPlan) lets tests make the n-th reservation or commit
 * fail, so that every out-of-memory path can be driven; when no plan is set
 * it costs one load and one test per system call.
 *
 * None of this is exported from the product library: the platform tests
 * reach it through the test build of the same objects.
 */
#ifndef VR_OS_MEMORY_H
#define VR_OS_MEMORY_H

#include <stddef.h>
#include <stdint.h>

#include "vorrel.h"

namespace vr_os {

/* Page size and allocation granularity, as the system reports them.
   Post: both nonzero powers of two; granularity == 65536 on every
   supported system. */
void QuerySystemInfo(uint32_t *pageSize, uint32_t *granularity);

/* Reserves size bytes anywhere, aligned to the granularity, committing
   nothing. nocache asks for uncached pages where the system has them.
   Returns the base, or null when size is 0 or the system refuses. */
void *Reserve(uint32_t size, int nocache);

/* Reserves and commits size bytes in one step (direct page blocks).
   Null on failure. Not recorded in the region map by the caller. */
void *ReserveAndCommit(uint32_t size, int nocache);

/* Commits the pages covering [address, address + size) inside a live
   reservation. Returns 1 on success, 0 on failure (nothing committed). */
int Commit(void *address, uint32_t size, int nocache);

/* Decommits the pages covering [address, address + size): their contents
   are gone and their memory is given back; the range stays reserved. */
void Decommit(void *address, uint32_t size);

/* Releases the whole reservation that starts at base (from Reserve or
   ReserveAndCommit). Anything else is ignored. Returns 1 when a reservation
   was released, 0 when the system refused. */
int Release(void *base);

/* What the system says of the memory around an address. */
struct RegionInfo {
    uintptr_t allocationBase; /* base of the reservation holding the address; 0 when free */
    uintptr_t regionBase;     /* the page holding the address (VirtualQuery's BaseAddress) */
    uint32_t regionSize;      /* bytes from regionBase to the end of the run of pages of
                                 equal state and protection that holds the address */
    int committed;            /* 1 when the pages are committed */
    int nocache;              /* 1 when the pages are uncached */
};
/* Returns 1 and fills *info, or 0 when the system cannot describe p. */
int QueryRegion(const void *p, RegionInfo *info);

/* 1 when p lies in the reservation that holds the calling thread's stack. */
int IsOnThreadStack(const void *p);

/* What the system says of each of the 65536 regions of 64 KB in the 4 GB
   address space: 0 when nothing in it is reserved, 1 reserved with nothing
   committed (or mapped inaccessible), 2 with committed or mapped pages,
   3 not available to the program at all. Allocates nothing. */
void QueryAddressSpace(uint8_t *states);

/* Test seam: makes calls fail. */
enum FaultKind { kFaultReserve = 0, kFaultCommit = 1, kFaultKinds = 2 };
/* For the backends: counts a call of the kind; 1 when the plan makes it fail. */
int FaultHit(int kind);

} // namespace vr_os

extern "C" {
/* From the nth call of the kind on (1 = the next one), count calls fail
   (0xFFFFFFFF: all of them); nth 0 removes the plan. */
void VR_SetFault(int kind, uint32_t nth, uint32_t count);
/* Calls of the kind made so far (successful or failed). */
uint32_t VR_FaultCalls(int kind);
}

#endif
