/*
 * stats.h - the statistics walk, for the process layer's report at exit.
 */
#ifndef VR_HEAP_STATS_H
#define VR_HEAP_STATS_H

#include "vorrel.h"

/* VR_GetStats; with atExit set, locks are only tried for a while and a
   heap whose lock stays taken is read as it stands (at exit the threads
   that could hold it may be gone). */
unsigned long GetStatsAt(VR_Stats *stats, VR_HeapStats *heaps, unsigned long maxHeaps, int atExit);

#endif
