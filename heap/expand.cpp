/*
 * expand.cpp - resizing a block without ever moving it, the runtime's
 * _expand: a small block within its size class, a big block within its
 * chunk plus the free chunk or the reserved pages behind it, a direct block
 * within its reservation. Where the block cannot take the new size where it
 * lies the answer is null and nothing has changed, not even the heap's
 * lists; unlike Realloc this never moves a block and never runs
 * out-of-memory recovery (a caller of _expand has its own fallback).
 */
#include <string.h>

#include "big.h"
#include "small.h"
#include "trim.h"

int VR_Access::Big::ResizeChunkInPlace(VR_Heap &heap, void *header, unsigned long request)
{
    VR_BigChunk *chunk = ChunkOfHeader(header);
    VR_BigPageSet *ps = chunk->owner;
    uint32_t n = ChunkSize(chunk);
    uint32_t need = ChunkSizeFor(request);
    VR_ASSERT(!(chunk->sizeTag & 1) && *TrailingTag(chunk, n) == chunk->sizeTag);

    if (need > n) {
        uint8_t *end = ChunkEnd(chunk);
        VR_BigChunk *next = end != ps->commitEnd ? (VR_BigChunk *)end : 0;
        uint32_t reserved = Span(ps->regionEnd, ps->commitEnd);
        if (next && !(next->sizeTag & 1)) return 0;
        uint32_t nextSize = next ? ChunkSize(next) : 0;
        int nextIsLast = !next || ChunkEnd(next) == ps->commitEnd;
        /* What lies behind the chunk must be enough before anything moves:
           the free neighbour, and reserved pages when the neighbour (or the
           chunk itself) ends the committed part. */
        uint64_t reachable = (uint64_t)n + nextSize + (nextIsLast ? reserved : 0);
        if (reachable < need) return 0;
        /* What the block will cover of the free neighbour, up to the head
           of the rest cut off behind it, is committed first: a free chunk's
           inside may have gone back to the system (trim.h). */
        if (next && MayHoldHoles(nextSize)) {
            uint8_t *reach = n + nextSize < need + sizeof(VR_BigChunk) ? ChunkEnd(next)
                                                                         : BytesAfter(chunk, need + sizeof(VR_BigChunk));
            if (!CommitInner(next, reach, heap.flags & VR_HEAP_NOCACHE, need)) return 0;
        }
        uint32_t amount = 0;
        if (n + nextSize < need) {
            amount = (need - n - nextSize + s_pageSize - 1) & ~(s_pageSize - 1);
            if (amount > reserved) return 0;
            if (!CommitPages(ps->commitEnd, amount, heap.flags & VR_HEAP_NOCACHE)) return 0;
            UnindexRoom(heap.bigFree, ps);
            ps->commitEnd = BytesAfter(ps->commitEnd, amount);
            IndexRoom(heap.bigFree, ps);
        }
        if (next) UnindexChunk(heap.bigFree, next);
        SetTags(chunk, n + nextSize + amount);
    }
    /* The heap's counters hold the chunk bytes in use. */
    heap.counters.bigBytes -= n;

    /* Whatever the chunk holds beyond need goes back as a free chunk of
       its own, merged with a free neighbour, when it is big enough for
       one; a smaller rest stays in the chunk. */
    uint32_t size = ChunkSize(chunk);
    uint32_t surplus = size - need;
    if (surplus < kMinChunk) {
        heap.counters.bigBytes += size;
        UpdatePeak(heap.counters);
        return 1;
    }
    heap.counters.bigBytes += need;
    SplitTail(chunk, need, heap.bigFree);
    return 1;
}

void *VR_Access::Big::ExpandInPlace(void *block, unsigned long size)
{
    /* Only live blocks of a general heap: null, freed blocks and pointers
       without a seal are not resized, and nothing is written. */
    if (!block || !IsLibraryMemory(block) || !IsSealedBlock(block)) return 0;
    if (BlockFlagsOf(block) & kBlockFree) return 0;

    if (!(BlockFlagsOf(block) & kBlockAlt)) {
        VR_BlockHeader *h = SmallHeaderOf(block);
        if (size > ClassSize(h->sizeClass) - 8) return 0;
        VR_Heap *owner = ((VR_SmallPageSet *)PageSetOf(block))->owner;
        uint32_t old = h->requestedSize;
        /* Only the block's own caller writes its header, as in Realloc. */
        if (size > old && (owner->flags & VR_HEAP_ZERO_INIT)) memset((uint8_t *)block + old, 0, size - old);
        h->requestedSize = (uint16_t)size;
        return block;
    }

    VR_AltBlock *h = AltHeaderOf(block);
    VR_Heap *o = h->heap;
    uint32_t old = h->size;
    uint32_t request;
    if (size > 0xFFFFFFFFu - kAltHeaderSize || !RoundUpChecked(size + kAltHeaderSize, kBlockAlignment, &request)) return 0;

    if (h->direct) {
        /* A virtual block never moves: its reservation is the limit. */
        if (!ResizeDirect(*o, h, request, 0)) return 0;
    } else {
        /* Chunk sizes must not wrap: the same bound the big path sets. */
        if (request > 0xFFFFFFFFu - kChunkOverhead - (kBlockAlignment - 1) - kBigPageSetHeader) return 0;
        o->Lock();
        int fits = ResizeChunkInPlace(*o, h, request);
        o->Unlock();
        if (!fits) return 0;
    }
    if (size > old && (o->flags & VR_HEAP_ZERO_INIT)) memset(BytesAfter(block, old), 0, size - old);
    h->size = size;
    return block;
}
