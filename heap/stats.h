/*
 * stats.h - the statistics walk, for the process layer's report at exit.
 */
#ifndef VR_HEAP_STATS_H
#define VR_HEAP_STATS_H

#include <stdint.h>

#include "vorrel.h"

/* What waits in thread caches for a heap, which the heaps themselves do
   not know: handed in by the front (the one place that joins the heaps and
   the cache), and read for each heap while it is described. */
struct VR_CacheShare {
    void (*general)(VR_Heap *heap, unsigned long *smallBlocks, unsigned long *bigBlocks, unsigned long *bigBytes);
    uint32_t (*oneSize)(VR_HeapOneSize *heap);
};

/* VR_GetStats (vr_front::GetStats hands in the cache's share); with atExit
   set, locks are only tried for a while and a heap whose lock stays taken
   is read as it stands (at exit the threads that could hold it may be
   gone). */
unsigned long GetStatsAt(VR_Stats *stats, VR_HeapStats *heaps, unsigned long maxHeaps, int atExit,
                         const VR_CacheShare &cached);

#endif
