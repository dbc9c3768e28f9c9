/*
 * registry.cpp - the table of live heaps (see registry.h), and the other
 * locks that fork must hold. The heap table starts in static storage and
 * moves to a reservation of its own, replaced by one twice as large
 * whenever it fills; removal moves the last entry into the hole, so the table stays
 * dense and a walk is one pass over an array. An entry is the heap's
 * address with bit 0 set for a one-size heap (heap objects are aligned to
 * at least 4).
 */
#include <string.h>

#include "registry.h"
#include "os_thread.h"

namespace {

uintptr_t *s_heaps = 0;      /* s_heapCount live entries, room for s_capacity */
uint32_t s_heapCount = 0;
uint32_t s_capacity = 0;
uint32_t s_version = 0;      /* bumped by every change of either list */
/* The thread that froze the list (ThreadIdentity), 0 while it is not. */
uintptr_t s_frozenBy = 0;
VR_AHeap *volatile s_pinned = 0;  /* the heap a statistics walker is reading, or null */

const uintptr_t kOneSizeBit = 1;

struct VR_HeapName {
    VR_AHeap *heap;
    const char *name;
};
VR_HeapName s_names[kMaxNamedHeaps];

void ForgetNameLocked(VR_AHeap *heap)
{
    for (VR_HeapName &n : s_names)
        if (n.heap == heap) n.heap = 0;
}

VR_LockStorage *s_forkLocks[kMaxForkLocks];
uint32_t s_forkLockCount = 0;

/* The first heaps fit here, so a process with only its two process heaps
   reserves no pages for the table. */
const uint32_t kInlineHeaps = 16;
uintptr_t s_inlineHeaps[kInlineHeaps];

/* Doubles the table; 0 when the system refuses (the heap then stays off
   the list, which only costs it its place in process-wide walks). */
int GrowTable()
{
    if (!s_heaps) {
        s_heaps = s_inlineHeaps;
        s_capacity = kInlineHeaps;
        return 1;
    }
    if (s_pageSize == 0) LoadSystemInfo();
    uint32_t oldBytes = s_capacity * (uint32_t)sizeof(uintptr_t);
    uint32_t bytes = s_heaps == s_inlineHeaps ? s_granularity : oldBytes * 2;
    if (bytes < oldBytes) return 0;
    uintptr_t *table = (uintptr_t *)ReservePages(bytes, 0);
    if (!table) return 0;
    if (!CommitPages(table, bytes, 0)) {
        ReleasePages(table, 0, bytes);
        return 0;
    }
    memcpy(table, s_heaps, s_heapCount * sizeof(uintptr_t));
    if (s_heaps != s_inlineHeaps) ReleasePages(s_heaps, oldBytes, oldBytes);
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

void NameHeap(VR_AHeap *heap, const char *name)
{
    VR_ProcessLockGuard guard;
    ForgetNameLocked(heap);
    if (!name) return;
    for (VR_HeapName &n : s_names) {
        if (!n.heap) {
            n.heap = heap;
            n.name = name;
            return;
        }
    }
}

const char *HeapName(VR_AHeap *heap)
{
    for (const VR_HeapName &n : s_names)
        if (n.heap == heap) return n.name;
    return 0;
}

void RegisterHeap(VR_AHeap *heap, int oneSize)
{
    VR_ProcessLockGuard guard;
    uint32_t at;
    if (!IndexOf(heap, &at) && (s_heapCount < s_capacity || GrowTable())) {
        s_heaps[s_heapCount++] = (uintptr_t)heap | (oneSize ? kOneSizeBit : 0);
        s_version++;
    }
}

void UnregisterHeap(VR_AHeap *heap)
{
    for (;;) {
        {
            VR_ProcessLockGuard guard;
            if ((!s_frozenBy || s_frozenBy == vr_os::ThreadIdentity()) && s_pinned != heap) {
                uint32_t at;
                if (IndexOf(heap, &at)) {
                    s_heaps[at] = s_heaps[--s_heapCount];
                    s_version++;
                }
                ForgetNameLocked(heap);
                return;
            }
        }
        /* A fork is under way on another thread: it holds or is taking
           every heap's lock, and lets go as soon as the fork is done. Or a
           statistics walker reads this heap's page-set headers: a short
           stretch. */
        __builtin_ia32_pause();
    }
}

uint32_t HeapListVersion()
{
    return s_version;
}

void FreezeHeapList(int frozen)
{
    s_frozenBy = frozen ? vr_os::ThreadIdentity() : 0;
}

int RegisterForkLock(VR_LockStorage *lock)
{
    VR_ProcessLockGuard guard;
    for (uint32_t i = 0; i < s_forkLockCount; i++)
        if (s_forkLocks[i] == lock) return 1;
    if (s_forkLockCount == kMaxForkLocks) return 0;
    s_forkLocks[s_forkLockCount++] = lock;
    s_version++;
    return 1;
}

uint32_t ForkLockCount()
{
    return s_forkLockCount;
}

VR_LockStorage *ForkLockAt(uint32_t index)
{
    return index < s_forkLockCount ? s_forkLocks[index] : 0;
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
