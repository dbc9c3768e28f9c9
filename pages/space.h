/*
 * space.h - the library's own account of the address space it holds: for
 * every kind of reservation (VR_SPACE_...) how many there are, how much is
 * reserved and committed, and the peaks; and for every 64 KB region which
 * kind of library reservation covers it. The page services keep it as they
 * reserve, commit, decommit and release, so reading it never walks memory.
 *
 * Invariants: for each kind, reservedBytes == the sum of the sizes (rounded
 * to the granularity) of its live reservations, and the regions tagged with
 * the kind are exactly those reservations' regions (a unit of page sets is
 * one reservation here, free slots included; reservations counts its page
 * sets, units.h); committedBytes == the
 * committed pages inside them, as long as callers commit only pages that
 * are not committed yet and report the committed size when they release
 * (every caller in the library does).
 */
#ifndef VR_PAGES_SPACE_H
#define VR_PAGES_SPACE_H

#include <stdint.h>

#include "vorrel.h"

/* Region codes of the address-space map: what a 64 KB region holds. */
enum VR_RegionCode {
    kRegionFree = 0,        /* nothing reserved */
    kRegionReserved = 1,    /* reserved by someone else, nothing committed */
    kRegionCommitted = 2,   /* someone else's, some pages committed */
    kRegionUnavailable = 3, /* the system's part, not the program's to use */
    kRegionLibrary = 4,     /* library kinds follow: kRegionLibrary + VR_SPACE_... */
    kRegionCodes = kRegionLibrary + VR_SPACE_KINDS
};

/* For the page services. Called under the process lock. reservations is
   what the range adds to (or takes from) its kind's count of reservations:
   a unit of page sets counts none of its own, its page sets one each as
   they are handed out and given back (SpaceCountReservation). */
void SpaceReserved(uintptr_t base, uint32_t size, int kind, int reservations = 1);
void SpaceReleased(uintptr_t base, uint32_t committed, uint32_t reserved, int reservations = 1);
void SpaceCountReservation(int kind, int delta);
/* Without the lock: the counters are atomic. */
void SpaceCommitted(const void *address, uint32_t size);
void SpaceDecommitted(const void *address, uint32_t size);

/* Moves a live reservation to another kind (the emergency reserve taken
   over as a page set, an empty unit of page sets handed to another kind),
   with the reservations it counts as. Under the process lock. */
void SpaceRetag(const void *base, uint32_t reserved, uint32_t committed, int kind, int reservations = 1);

/* The kind of library reservation covering the region of address a, or -1. */
int SpaceKindOf(uintptr_t a);

/* Kind + 1 of the library reservation covering each 64 KB region, 0 for
   none (a free slot of a unit of page sets counts as the unit's kind).
   Written under the process lock; read without it by SpaceKindOf and by
   IsRegionOfKind, which a free asks with one load. */
#if defined(_WIN32)
extern uint8_t s_regionKind[65536];
#else
extern uint8_t s_regionKind[65536] __attribute__((visibility("hidden")));
#endif
inline int IsRegionOfKind(const void *p, int kind) { return s_regionKind[(uintptr_t)p >> 16] == kind + 1; }

/* Calls watcher when the committed total of all kinds first reaches first
   bytes, and again each time it has grown a sixteenth (at least 1 MB) past
   the total of the last call: a commit pays one compare for the watch. The
   watcher runs on the committing thread, possibly under a heap's lock or
   the process lock, so it must not allocate nor take those locks; while it
   runs, other threads' commits do not call it. A null watcher ends the
   watch. */
void SpaceWatchPeak(void (*watcher)(uint32_t committed), uint32_t first);

/* The committed total of all kinds now. */
uint32_t SpaceCommittedTotal();

/* The highest committed total of all kinds together so far. */
uint32_t SpacePeakCommitted();

/* Copies the counters of every kind. */
void SpaceTotals(VR_SpaceStats out[VR_SPACE_KINDS]);

/* Fills codes[65536] with each region's VR_RegionCode and finds the largest
   run of free regions (*freeFirst, *freeCount in regions; 0 when none).
   Allocates nothing; takes the process lock only when lock is nonzero. */
void SpaceMap(uint8_t *codes, uint32_t *freeFirst, uint32_t *freeCount, int lock);

#endif
