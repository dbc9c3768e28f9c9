/*
 * heap.cpp (front) - what a heap's life asks of the thread cache: the order
 * of out-of-memory recovery, Clear and destruction (the blocks waiting in
 * caches go with the page sets), Validate (the caches' share checked
 * first), the free-bypass switch, and the services the layers above read.
 */
#include "front.h"
#include "stats.h"

int vr_front::RecoverUnlocked(VR_AHeap *heap)
{
    if (vr_cache::FlushCurrent()) return 1;
    return VR_Access::HandleOutOfMemory(*heap);
}

int VR_Access::Front::Recover(VR_Heap &heap)
{
    heap.Lock();
    int any = vr_cache::DrainLocked(&heap) | Big::GiveBackEmptyBig(heap);
    heap.Unlock();
    return any || vr_front::RecoverUnlocked(&heap);
}

int VR_Access::Front::RecoverMT(VR_Heap &heap)
{
    if (vr_cache::DrainLocked(&heap) | Big::GiveBackEmptyBig(heap)) return 1;
    heap.Unlock();
    if (!vr_front::RecoverUnlocked(&heap)) return 0;
    heap.Lock();
    return 1;
}

void VR_Heap::Clear()
{
    Lock();
    /* Blocks waiting in thread caches go with their page sets: no cache
       may hand them out or link them again. */
    vr_cache::UnbindAll(this, 0);
    vr_cache::ForgetBatches(this);
    VR_Access::Small::ClearLocked(*this);
    Unlock();
}

VR_Heap::~VR_Heap()
{
    /* A static heap keeps its memory: blocks of it may still be freed and
       reallocated after its destructor has run. */
    if (!(flags & VR_HEAP_STATIC)) {
        VR_Heap::Clear();
        vr_cache::FreeTransfer(this);
    }
}

const char *VR_Heap::Validate()
{
    Lock();
    uint32_t smallWaiting = 0, bigWaiting = 0;
    const char *problem = vr_cache::Validate(this, &smallWaiting, &bigWaiting);
    if (!problem) problem = VR_Access::Small::ValidateSmall(*this, smallWaiting);
    if (!problem) problem = VR_Access::Big::ValidateBig(*this, bigWaiting);
    Unlock();
    return problem;
}

void BypassFreeing(VR_AHeap *heap)
{
    if (heap) heap->bypassFree = 1;
    else VR_AHeap::s_globalBypassFree = 1;
    /* Frees from now on must reach the test of the switch, not a thread
       cache; blocks freed before stay freed. */
    vr_cache::UnbindAll(heap, 1);
}

void vr_front::UnbindCaches(VR_AHeap *heap, int keep)
{
    vr_cache::UnbindAll(heap, keep);
}

void vr_front::AdoptCachesAfterFork()
{
    vr_cache::AdoptAfterFork();
}

int vr_front::FlushThreadCache()
{
    return vr_cache::FlushCurrent();
}

unsigned long vr_front::GetStats(VR_Stats *stats, VR_HeapStats *heaps, unsigned long maxHeaps, int atExit)
{
    static const VR_CacheShare kCached = {vr_cache::Totals, vr_cache::OneSizeWaiting};
    return GetStatsAt(stats, heaps, maxHeaps, atExit, kCached);
}

VR_API unsigned long VR_GetStats(VR_Stats *stats, VR_HeapStats *heaps, unsigned long maxHeaps)
{
    return vr_front::GetStats(stats, heaps, maxHeaps, 0);
}
