/*
 * units.h - page sets carved from larger reservations.
 *
 * Every reservation costs the process a kernel mapping of its own (under
 * Wine as on Linux, where the kernel stops a process at vm.max_map_count of
 * them), a few system calls, and under Wine some address space lost to
 * aligning it. A 64 KB page set is the commonest reservation by far, so the
 * page services reserve page sets in units (the first kUnitsFirst of 1 MB,
 * later ones of 4 MB) and hand out one 64 KB slot of a unit at a time.
 *
 * What callers see does not change: a page set is 64 KB, aligned to 64 KB,
 * marked in the region map from ReservePageSet to ReleasePageSet, counted
 * as one reservation of its kind, and committed by the caller from its
 * base. A slot not handed out is not library memory as far as the region
 * map goes (no block can lie there, exactly as in address space never
 * reserved) and holds no committed page; the account (space.h) counts it
 * as reserved address space of the small page sets, and the address-space
 * map shows it as such. Page sets of every kind share the units: a slot
 * handed out for another kind is counted under that kind while in use.
 * Only the system's own answer differs: the reservation holding a page set
 * starts at its unit's base.
 *
 * Invariants (ValidatePageUnits):
 *  - a live unit is 16 or 64 regions from a 64 KB-aligned base, each
 *    naming the unit in the region-to-unit table; its free slots are
 *    counted as small page sets', a slot in use as its page set's kind;
 *  - a slot is in use exactly when its region is marked in the region map;
 *    a free slot has no committed page;
 *  - the units with a free slot are on one list, except the one kept empty
 *    unit; the kept unit has every slot free, and every other unit at
 *    least one slot in use.
 *
 * Bound: at most one unit with every slot free is kept, so that a heap that
 * gives back and takes again a page set at a unit's edge does not reserve
 * and release a unit each time; out-of-memory recovery gives it back to
 * the system first of all (DropEmptyUnit).
 *
 * When a 4 MB unit cannot be had, a 1 MB one is tried. Heaps that ask for
 * uncached pages, and requests made when no unit can be reserved any more,
 * get a page set of its own 64 KB reservation as before, so the last
 * pieces of the address space are still used.
 */
#ifndef VR_PAGES_UNITS_H
#define VR_PAGES_UNITS_H

#include <stdint.h>

#include "vorrel.h"

const uint32_t kUnitSlotsFirst = 16;  /* 1 MB */
const uint32_t kUnitSlotsLater = 64;  /* 4 MB */
const uint32_t kUnitsFirst = 8;       /* units of the first size while fewer are live */

/* A reserved, uncommitted, 64 KB-aligned page set of 64 KB, marked in the
   region map and counted under kind; null when no address space is left
   (or the test seam refuses it: taking a slot counts as a reservation). */
void *ReservePageSet(int nocache, int kind);

/* Gives back a page set from ReservePageSet (or the emergency reserve taken
   over as one) whose first committed bytes are committed: decommits them,
   clears its mark, and returns its slot to its unit. */
void ReleasePageSet(void *base, uint32_t committed);

/* For tests: the unit holding address a (its base and the mask of its free
   slots); 0 when a lies in no unit. */
int PageUnitOf(const void *a, uintptr_t *base, uint64_t *freeMask);

/* Gives the kept empty unit back to the system; 1 when there was one. For
   out-of-memory recovery. Takes the process lock. */
int DropEmptyUnit();

/* Null when every invariant above holds. Under the process lock. */
const char *ValidatePageUnits();

/* Sets or clears the region-map bits of [base, base + size). Under the
   process lock (pages.cpp). */
void MarkRegions(uintptr_t base, uint32_t size, int set);

#endif
