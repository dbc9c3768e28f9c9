/*
 * registry.cpp - the table of live heaps (see registry.h). The table lives
 * in a reservation of its own that is replaced by one twice as large when
 * it fills; removal moves the last entry into the hole, so the table stays
 * dense and a walk is one pass over an array.
 */
#include <string.h>

#include "registry.h"

namespace {

VR_AHeap **s_heaps = 0;      /* s_heapCount live entries, room for s_capacity */
uint32_t s_heapCount = 0;
uint32_t s_capacity = 0;

/* Doubles the table; 0 when the system refuses (the heap then stays off
   the list, which only costs it its place in process-wide walks). */
int GrowTable()
{
    if (s_pageSize == 0) LoadSystemInfo();
    uint32_t oldBytes = s_capacity * (uint32_t)sizeof(VR_AHeap *);
    uint32_t bytes = oldBytes ? oldBytes * 2 : s_granularity;
    if (bytes < oldBytes) return 0;
    VR_AHeap **table = (VR_AHeap **)ReservePages(bytes, 0);
    if (!table) return 0;
    if (!CommitPages(table, bytes, 0)) {
        ReleasePages(table, 0, bytes);
        return 0;
    }
    if (s_heaps) {
        memcpy(table, s_heaps, s_heapCount * sizeof(VR_AHeap *));
        ReleasePages(s_heaps, oldBytes, oldBytes);
    }
    s_heaps = table;
    s_capacity = bytes / (uint32_t)sizeof(VR_AHeap *);
    return 1;
}

int IndexOf(VR_AHeap *heap, uint32_t *index)
{
    for (uint32_t i = 0; i < s_heapCount; i++) {
        if (s_heaps[i] == heap) {
            *index = i;
            return 1;
        }
    }
    return 0;
}

} // namespace

uint32_t HeapCount()
{
    return s_heapCount;
}

VR_AHeap *HeapAt(uint32_t index)
{
    return index < s_heapCount ? s_heaps[index] : 0;
}

void RegisterHeap(VR_AHeap *heap)
{
    VR_ProcessLockGuard guard;
    uint32_t at;
    if (!IndexOf(heap, &at) && (s_heapCount < s_capacity || GrowTable())) s_heaps[s_heapCount++] = heap;
}

void UnregisterHeap(VR_AHeap *heap)
{
    VR_ProcessLockGuard guard;
    uint32_t at;
    if (IndexOf(heap, &at)) s_heaps[at] = s_heaps[--s_heapCount];
}
