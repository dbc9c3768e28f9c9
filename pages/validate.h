/*
 * validate.h - invariant checks of the page services, for debug builds and
 * tests. Each returns null when everything holds, otherwise a short
 * description of the first broken invariant.
 */
#ifndef VR_PAGES_VALIDATE_H
#define VR_PAGES_VALIDATE_H

#include "vorrel.h"

/* Caches consistent; every marked region lies in a live, 64 KB-aligned
   reservation whose base region is marked too, or in a unit of page sets
   whose own invariants hold (units.h). Takes the process lock. */
const char *ValidateRegionMap();

/* The header of a virtual block agrees with itself and with the system:
   committed bytes cover the current size, lie within the reservation, and
   exactly those pages are committed. */
const char *ValidateVirtual(const void *block);

#endif
