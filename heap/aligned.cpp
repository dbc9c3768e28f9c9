/*
 * aligned.cpp - blocks whose pointer is aligned beyond what every block
 * has (kBlockAlignment), for the aligned allocation entry points.
 *
 * Small requests with an alignment of up to kSmallAlignMax are small
 * blocks of the class AlignedClassOf names (a multiple of the alignment);
 * the front (front/alloc.cpp) serves them from the thread's cache when a
 * block there lies on the boundary, else through TakeAlignedLocked: the
 * head of the class's free list when it lies on the boundary, else a block
 * cut from the newest page set behind a free filler block that brings it
 * onto the boundary (blocks of the class cut after it need no filler). A
 * filler is an ordinary free block of its class, on its free list. The
 * block is then an ordinary small block of its class, with the caller's
 * size recorded.
 *
 * Bigger alignments and sizes are big blocks (below), which FreeMem,
 * Realloc, GetBlockSize, ForEach and Validate treat like any other: a chunk
 * is taken with room for the block, the alignment and a minimal free chunk
 * in front; the front is split off as a free chunk so that the pointer
 * (chunk + kChunkHeader + 32) falls on the boundary, and a surplus behind
 * the block goes back as well. Chunks start and end on multiples of
 * kBlockAlignment, and so does the front piece, since any bigger alignment
 * is a multiple of it.
 */
#include <string.h>

#include "big.h"
#include "small.h"
#include "trim.h"

namespace {

/* Sizes of an aligned block of size bytes: *need, the chunk it ends up in,
   and *take, the chunk to ask AllocBigBlock for (its request, which
   ChunkSizeFor turns into need + slack exactly). 0 when any of them, or
   the big page set that would hold it, passes 2^32. */
int AlignedSizesFor(uint32_t size, uint32_t alignment, uint32_t *need, uint32_t *take)
{
    uint32_t request, reservation;
    if (size > 0xFFFFFFFFu - kAltHeaderSize - kBlockAlignment) return 0;
    if (!RoundUpChecked(size + kAltHeaderSize, kBlockAlignment, &request)) return 0;
    if (request > 0xFFFFFFFFu - kChunkOverhead - kBlockAlignment) return 0;
    uint32_t n = ChunkSizeFor(request);
    /* The front piece is a whole free chunk and then up to alignment -
       kBlockAlignment bytes more to reach the boundary. */
    uint32_t slack = kMinChunk + alignment - kBlockAlignment;
    if (alignment > 0xFFFFFFFFu - kMinChunk || n > 0xFFFFFFFFu - slack - kBigPageSetHeader) return 0;
    if (!RoundUpChecked(n + slack + kBigPageSetHeader, s_granularity, &reservation)) return 0;
    *need = n;
    *take = n + slack - kChunkOverhead;
    return 1;
}

/* Turns the chunk in use at header (at least need + slack bytes) into a
   free chunk in front, when the pointer is not aligned already, the block's
   chunk of at least need bytes with its pointer on the boundary, and a free
   chunk behind when the surplus makes one. Returns the block's header. */
void *AlignChunk(VR_FreeIndex &index, void *header, uint32_t alignment, uint32_t need)
{
    VR_BigChunk *chunk = (VR_BigChunk *)((uint8_t *)header - kChunkHeader);
    VR_BigPageSet *ps = chunk->owner;
    uint32_t size = ChunkSize(chunk);
    uintptr_t ptr = (uintptr_t)chunk + kChunkHeader + kAltHeaderSize;

    if (ptr & (alignment - 1)) {
        /* The chunk was free a moment ago, so the one in front of it is in
           use (no two free chunks are adjacent): the front piece needs no
           merging. */
        VR_ASSERT(!(((uint32_t *)chunk)[-1] & 1));
        uintptr_t aligned = (ptr + kMinChunk + alignment - 1) & ~(uintptr_t)(alignment - 1);
        uint32_t front = (uint32_t)(aligned - ptr);
        VR_ASSERT(front >= kMinChunk && !(front & (kBlockAlignment - 1)) && size - front >= need);
        VR_BigChunk *lead = chunk;
        SetTags(lead, front | 1);
        IndexChunk(index, lead);
        chunk = (VR_BigChunk *)BytesAfter(lead, front);
        chunk->owner = ps;
        size -= front;
        SetTags(chunk, size);
    }

    if (size - need >= kMinChunk) SplitTail(chunk, need, index);
    return (uint8_t *)chunk + kChunkHeader;
}

} // namespace

void *VR_Access::Big::AllocAlignedBig(VR_Heap &heap, unsigned long alignment, unsigned long size)
{
    if (__builtin_expect(!__atomic_load_n(&heap.initialized, __ATOMIC_ACQUIRE), 0)) Small::InitLazily(heap);

    uint32_t need, take;
    if (!AlignedSizesFor((uint32_t)size, (uint32_t)alignment, &need, &take)) return 0;

    heap.Lock();
    void *header = AllocBigBlock(heap, take);
    while (!header) {
        if (!Front::RecoverMT(heap)) return 0;
        header = AllocBigBlock(heap, take);
    }
    /* AllocBigBlock counted the whole chunk as handed out; what goes back
       in front and behind is not. */
    uint32_t taken = ChunkTagOfHeader((VR_AltBlock *)header);
    header = AlignChunk(heap.bigFree, header, (uint32_t)alignment, need);
    heap.counters.bigBytes -= taken - ChunkTagOfHeader((VR_AltBlock *)header);
    InitAltBlock(heap, (VR_AltBlock *)header, size, 0);
    heap.Unlock();

    uint8_t *block = (uint8_t *)header + kAltHeaderSize;
    if (heap.flags & VR_HEAP_ZERO_INIT) memset(block, 0, size);
    return block;
}
