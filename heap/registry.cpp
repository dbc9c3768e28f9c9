/*
 * registry.cpp - the table of live heaps (see registry.h). The table lives
 * in a reservation of its own that is replaced by one twice as large when
 * it fills; removal moves the last entry into the hole, so the table stays
 * dense and a walk is one pass over an array. An entry is the heap's
 * address with bit 0 set for a one-size heap (heap objects are aligned to
 * at least 4).
 */
#include <string.h>

#include "registry.h"

namespace {

uintptr_t *s_heaps = 0;      /* s_heapCount live entries, room for s_capacity */
uint32_t s_heapCount = 0;
uint32_t s_capacity = 0;
VR_AHeap *volatile s_pinned = 0;  /* the heap a walker is looking at, or null */

const uintptr_t kOneSizeBit = 1;

/* Doubles the table; 0 when the system refuses (the heap then stays off
   the list, which only costs it its place in process-wide walks). */
int GrowTable()
{
    if (s_pageSize == 0) LoadSystemInfo();
    uint32_t oldBytes = s_capacity * (uint32_t)sizeof(uintptr_t);
    uint32_t bytes = oldBytes ? oldBytes * 2 : s_granularity;
    if (bytes < oldBytes) return 0;
    uintptr_t *table = (uintptr_t *)ReservePages(bytes, 0);
    if (!table) return 0;
    if (!CommitPages(table, bytes, 0)) {
        ReleasePages(table, 0, bytes);
        return 0;
    }
    if (s_heaps) {
        memcpy(table, s_heaps, s_heapCount * sizeof(uintptr_t));
        ReleasePages(s_heaps, oldBytes, oldBytes);
    }
    s_heaps = table;
    s_capacity = bytes / (uint32_t)sizeof(uintptr_t);
    return 1;
}

int IndexOf(VR_AHeap *heap, uint32_t *index)
{
    for (uint32_t i = 0; i < s_heapCount; i++) {
        if ((s_heaps[i] & ~kOneSizeBit) == (uintptr_t)heap) {
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
    return index < s_heapCount ? (VR_AHeap *)(s_heaps[index] & ~kOneSizeBit) : 0;
}

int HeapIsOneSize(uint32_t index)
{
    return index < s_heapCount ? (int)(s_heaps[index] & kOneSizeBit) : 0;
}

void RegisterHeap(VR_AHeap *heap, int oneSize)
{
    VR_ProcessLockGuard guard;
    uint32_t at;
    if (!IndexOf(heap, &at) && (s_heapCount < s_capacity || GrowTable()))
        s_heaps[s_heapCount++] = (uintptr_t)heap | (oneSize ? kOneSizeBit : 0);
}

void UnregisterHeap(VR_AHeap *heap)
{
    for (;;) {
        {
            VR_ProcessLockGuard guard;
            if (s_pinned != heap) {
                uint32_t at;
                if (IndexOf(heap, &at)) s_heaps[at] = s_heaps[--s_heapCount];
                return;
            }
        }
        /* A walker reads this heap's page-set headers: a short stretch. */
        __builtin_ia32_pause();
    }
}

int PinHeap(VR_AHeap *heap)
{
    uint32_t at;
    if (!IndexOf(heap, &at)) return 0;
    s_pinned = heap;
    return 1;
}

void UnpinHeap()
{
    VR_ProcessLockGuard guard;
    s_pinned = 0;
}
