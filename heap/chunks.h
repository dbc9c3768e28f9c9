/*
 * chunks.h - the helpers of the boundary-tagged chunk format of layout.h,
 * shared by the sources that work on big page sets (big blocks, aligned
 * blocks, in-place resizing). Each expects the heap's lock to be held.
 */
#ifndef VR_HEAP_CHUNKS_H
#define VR_HEAP_CHUNKS_H

#include "freeindex.h"
#include "pages.h"

inline VR_BigChunk *ChunkOfHeader(void *header)
{
    return (VR_BigChunk *)((uint8_t *)header - kChunkHeader);
}

inline void *HeaderOfChunk(VR_BigChunk *chunk)
{
    return (uint8_t *)chunk + kChunkHeader;
}

inline uint32_t ChunkSize(const VR_BigChunk *chunk)
{
    return chunk->sizeTag & ~1u;
}

inline uint32_t *TrailingTag(VR_BigChunk *chunk, uint32_t size)
{
    return (uint32_t *)BytesAfter(chunk, size - 4);
}

/* Both tags of a chunk; the free bit goes into both, so the chunk behind
   can read it through the trailing tag. */
inline void SetTags(VR_BigChunk *chunk, uint32_t tag)
{
    chunk->sizeTag = tag;
    *TrailingTag(chunk, tag & ~1u) = tag;
}

/* Bytes from b up to a; addresses compared as unsigned 32-bit values, so
   spans of more than 2 GB stay exact. */
inline uint32_t Span(const void *a, const void *b)
{
    return (uint32_t)((uintptr_t)a - (uintptr_t)b);
}

inline uint8_t *ChunkEnd(VR_BigChunk *chunk)
{
    return BytesAfter(chunk, ChunkSize(chunk));
}

inline void UnlinkAlt(VR_AltBlock *&head, VR_AltBlock *h)
{
    if (h->next) h->next->prev = h->prev;
    if (h->prev)
        h->prev->next = h->next;
    else
        head = h->next;
}

/* The chunk that holds a block of request bytes (header and data): the
   request plus both tags and the owner word, at least kMinChunk. The
   request was validated by BigSizesFor, so nothing here wraps. */
constexpr inline uint32_t ChunkSizeFor(uint32_t request)
{
    uint32_t need = AlignUp(request + kChunkOverhead);
    return need < kMinChunk ? (uint32_t)kMinChunk : need;
}

#endif
