/*
 * front.h - the front of the heaps: the one place where the thread cache
 * and the heaps (which know nothing of it) meet. AllocMem and FreeMem of
 * both kinds of heap, their slow paths, when a bin is refilled or spilled,
 * the order of out-of-memory recovery and the cache's side of Clear and
 * destruction are defined in this folder; this header gives the layers
 * above (the runtime hooks, statistics, the services of VR_Heap) what
 * they need of it.
 *
 * The hooks' entries are split in two: an inline part that serves a hit
 * in the calling thread's cache, and an out-of-line part that takes over
 * after a miss without testing the cache again.
 *
 * THE FAST PATH. malloc, operator new and VR_Heap::AllocMem, when the
 * calling thread's cache holds a block of the size class:
 *   AllocOr / AllocForHook  the thread's cache from its slot (one load),
 *                           bound to the heap? (one compare)
 *   vr_cache::FromBins      the class from the size (a table lookup), the
 *                           bin's head popped after its link is checked
 *                           against the check word in front of it
 *                           (cache.h, bins.h), the header set
 * free, operator delete and FreeMem of a small block of a bound heap:
 *   FreeFastWith            the commit table says committed library memory,
 *                           the seal word matches the pointer, the flag byte
 *                           says small, the owner from the page-set header,
 *                           the cache bound to it?
 *   vr_cache::ToSmallBin    room in the bin? the block linked in.
 * No lock, no atomic instruction, no division, no call out of line. What a
 * malloc(64)/free pair costs, instructions counted by callgrind
 * (bench/callgrind-pair): 109 through the hooks, entry stubs included
 * (glibc: 153); 108 through AllocMem/FreeMem of DefaultHeap; 157 on a
 * VR_Heap without a lock, which serves from its own lists; 96 and 94 for a
 * VR_HeapOneSize without and with a lock. Everything else (an empty or
 * full bin, a big block, a heap the cache is not bound to) leaves the path
 * at one test and goes out of line (VR_SLOW_PATH).
 */
#ifndef VR_FRONT_FRONT_H
#define VR_FRONT_FRONT_H

#include "cache/cache.h"
#include "os_compiler.h"

namespace vr_front {

/* AllocForHook when the thread's cache is not bound to heap: a heap
   without a lock serves from its own lists. Cold, so that the compiler
   lays the bound case out as the straight line and this one aside (the
   hit then takes no jump). */
__attribute__((cold)) inline void *AllocUnboundForHook(VR_ThreadCache *c, VR_Heap *heap, uint32_t size)
{
    if (!c || c->unlocked != heap || VR_Access::LockActive(*heap)) return 0;
    return VR_Access::Small::AllocSmallUnlocked(*heap, size);
}

/* malloc's and operator new's common case, for the thread's default heap
   (which may be any pointer the program set: it is read here only when
   AllocMem has read it before, since a fault in a heap that cannot be
   read belongs to the hook's guarded slow path). Null on a miss. */
VR_FAST_PATH void *AllocForHook(VR_Heap *heap, uint32_t size)
{
    VR_ThreadCache *c = vr_cache::Current();
    if (VR_LIKELY(vr_cache::IsBound(c, heap))) return vr_cache::FromBins(c, size);
    return AllocUnboundForHook(c, heap, size);
}

/* The fast path of every allocating entry point that serves the thread's
   default heap: a hit in its cache, else miss() (each entry's own slow
   half, which reports failure as that entry must). */
template <class Miss>
VR_FAST_PATH void *AllocOr(VR_Heap *heap, uint32_t size, Miss miss)
{
    void *p = AllocForHook(heap, size);
    if (VR_LIKELY(p != 0)) return p;
    return miss();
}

/* The same for an aligned request (alignment a power of two): a small
   block waiting in the thread's cache on the boundary, or null, when the
   out-of-line VR_Heap::AllocAligned serves. */
inline void *AllocAlignedForHook(VR_Heap *heap, uint32_t size, uint32_t alignment)
{
    if (VR_UNLIKELY((size > VR_Heap::kSmallLimit) | (alignment > kSmallAlignMax))) return 0;
    VR_ThreadCache *c = vr_cache::Current();
    if (VR_UNLIKELY(!vr_cache::IsBound(c, heap))) return 0;
    return vr_cache::FromAlignedBin(c, size, alignment);
}

/* What AllocMem does after AllocForHook missed for heap. */
void *AllocAfterHookMiss(VR_Heap &heap, unsigned long size);

/* A live small block of a heap without a lock, freed (out of line: the
   hooks keep a short frame). */
void FreeUnlocked(VR_BlockHeader *h);

/* All of FreeMem that needs no lock: 1 when nothing more is to be done
   (the pointer is no live block of the library's, or the block now waits
   in the thread's cache or went straight back to a heap without a lock
   through freeUnlocked), 0 when FreeAfterMiss must free it. */
template <class FreeUnlockedFn>
VR_FAST_PATH int FreeFastWith(void *block, FreeUnlockedFn freeUnlocked)
{
    /* Anything outside committed library memory (null too) was not
       handed out here (the seal test asks the commit table, which says no
       for foreign memory as the region map would); an interior or garbage
       pointer into library memory carries no seal, and nothing in front of
       it is trusted then. */
    if (!IsSealedBlock(block)) return 1;
    uint8_t f = BlockFlagsOf(block);
    if (VR_LIKELY(f == 0)) {
        VR_BlockHeader *h = SmallHeaderOf(block);
        VR_Heap *owner = ((VR_SmallPageSet *)PageSetOf(h))->owner;
        VR_ThreadCache *c = vr_cache::Current();
        if (VR_UNLIKELY(!vr_cache::IsBound(c, owner))) {
            /* A heap without a lock has one user at a time: its own lists
               are as cheap as a bin, and nothing waits. */
            if (VR_Access::LockActive(*owner)) return 0;
            freeUnlocked(h);
            return 1;
        }
        return vr_cache::ToSmallBin(c, h);
    }
    if (f == kBlockAlt) {
        VR_ThreadCache *c = vr_cache::Current();
        return c ? vr_cache::ToBigBin(c, block) : 0;
    }
    return 0;
}

VR_FAST_PATH int FreeFast(void *block) { return FreeFastWith(block, FreeUnlocked); }

/* The rest of FreeMem, after FreeFast answered 0. */
inline void FreeAfterMiss(void *block) { VR_Access::Front::FreeMemSlow(block); }

/* Out-of-memory recovery with no lock held, in its one order: what waits
   in the calling thread's cache comes back first (the retry may find its
   block there, or the page sets it frees), then the heap's recovery (the
   emergency reserve, the new handlers). 1 when the request is to be
   retried. A general heap first gives back, under its lock, its batches
   and empty big page sets (RecoverMT). */
int RecoverUnlocked(VR_AHeap *heap);

/* Unbinds the caches bound to heap (any heap when null); with keep their
   blocks stay the heap's (see vr_cache::UnbindAll). */
void UnbindCaches(VR_AHeap *heap, int keep);
/* In a forked child, before its locks are reset: what the threads that
   did not come along left in their thread caches goes back to the heaps
   (see vr_cache::AdoptAfterFork). */
void AdoptCachesAfterFork();
/* Gives back what waits in the calling thread's cache; 1 when anything
   did. */
int FlushThreadCache();
/* The statistics walk (heap/stats.h) with what waits in thread caches
   handed in; VR_GetStats is it without atExit. */
unsigned long GetStats(VR_Stats *stats, VR_HeapStats *heaps, unsigned long maxHeaps, int atExit);

} // namespace vr_front

#endif
