/*
 * c_api.cpp - the C interface of vorrel.h: functions with C names over the
 * C++ API, for programs written in C.
 *
 * What it owns: the C names, the C library's conventions where they differ
 * from the C++ API's (realloc of null allocates, realloc to nothing frees),
 * and the answer to a null heap (the calling thread's default heap).
 * What it may call: the public API of vorrel.h only; the library's inner
 * headers are not in reach of this room.
 */
#include "vorrel.h"

namespace {

inline VR_Heap &HeapOf(vr_heap *heap)
{
    return heap ? *(VR_Heap *)heap : VR_Heap::Default();
}

inline int IsProcessHeap(const VR_Heap *h)
{
    return h == &DefaultHeap || h == &HeapForHeaps;
}

} // namespace

extern "C" {

VR_API const char *vr_version(void)
{
    return VORREL_VERSION;
}

VR_API vr_heap *vr_heap_create(unsigned long flags, const char *name)
{
    /* VR_HEAP_STATIC is the library's own mark of a heap in static storage. */
    return (vr_heap *)new VR_Heap((long)(flags & ~(unsigned long)VR_HEAP_STATIC), name);
}

VR_API void vr_heap_destroy(vr_heap *heap)
{
    VR_Heap *h = (VR_Heap *)heap;
    /* The process heaps live as long as the process. */
    if (h && !IsProcessHeap(h)) delete h;
}

VR_API void vr_heap_clear(vr_heap *heap)
{
    VR_Heap *h = (VR_Heap *)heap;
    if (h && !IsProcessHeap(h)) h->Clear();
}

VR_API vr_heap *vr_default_heap(void)
{
    return (vr_heap *)&VR_Heap::Default();
}

VR_API void *vr_heap_malloc(vr_heap *heap, size_t size)
{
    return HeapOf(heap).AllocMem(size);
}

VR_API void *vr_heap_calloc(vr_heap *heap, size_t count, size_t size)
{
    return HeapOf(heap).AllocArray(count, size, 1);
}

VR_API void *vr_heap_realloc(vr_heap *heap, void *block, size_t size)
{
    if (!block) return HeapOf(heap).AllocMem(size);
    if (!size) {
        VRHookFree(block);
        return 0;
    }
    return HeapOf(heap).Realloc(block, size, 0);
}

VR_API void *vr_heap_aligned_alloc(vr_heap *heap, size_t alignment, size_t size)
{
    return HeapOf(heap).AllocAligned(alignment, size);
}

/* The runtime's free: null and blocks that are not the library's are let
   be. */
VR_API void vr_free(void *block)
{
    VRHookFree(block);
}

VR_API size_t vr_usable_size(const void *block)
{
    return VRGetBlockSize((void *)block);
}

VR_API const char *vr_heap_validate(vr_heap *heap)
{
    return HeapOf(heap).Validate();
}

VR_API unsigned long vr_get_stats(VR_Stats *stats, VR_HeapStats *heaps, unsigned long max_heaps)
{
    return VR_GetStats(stats, heaps, max_heaps);
}

VR_API unsigned long vr_format_stats(char *buf, unsigned long size)
{
    return VR_FormatStats(buf, size);
}

VR_API int vr_write_map(const char *path)
{
    return VR_WriteAddressSpaceMap(path);
}

} // extern "C"
