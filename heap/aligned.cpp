/*
 * aligned.cpp - blocks whose pointer is aligned beyond what every block
 * has (kBlockAlignment), for the aligned allocation entry points.
 *
 * Small requests with an alignment of up to kSmallAlignMax are small
 * blocks of a class whose size is a multiple of the alignment (the smallest
 * such class that holds the request): first whatever a plain request of
 * that class would get, the thread's cache included, kept when it happens
 * to lie on the boundary, as a block freed by an earlier aligned request
 * of the class does; else a block cut from the newest page set behind a
 * free filler block that brings it onto the boundary (blocks of the class
 * cut after it need no filler). A filler is an ordinary free block of its
 * class, on its free list. The block is then an ordinary small block of
 * its class, with the caller's size recorded.
 *
 * Bigger alignments and sizes are big blocks, which FreeMem, Realloc,
 * GetBlockSize, ForEach and Validate treat like any other: a chunk is taken with room
 * for the block, the alignment and a minimal free chunk in front; the front
 * is split off as a free chunk so that the pointer (chunk + kChunkHeader +
 * 32) falls on the boundary, and a surplus behind the block goes back as
 * well. Chunks start and end on multiples of kBlockAlignment, and so does
 * the front piece, since any bigger alignment is a multiple of it.
 */
#include <string.h>

#include "chunks.h"

namespace {

/* The largest alignment served by small blocks. Every filler size it can
   need (a multiple of kBlockAlignment below it, or that plus the
   alignment where it is below the smallest block) is a size class on both
   targets up to here; the table below checks it all the same. */
const uint32_t kSmallAlignMax = 128;
const uint32_t kAlignRows = 4;      /* 16, 32, 64, 128 */
const uint8_t kNoClass = 0xFF;

/* s_alignedClass[row][k]: the smallest class from k on whose size is a
   multiple of 16 << row, or kNoClass. Built once from the class table. */
uint8_t s_alignedClass[kAlignRows][VR_Heap::kSizeClassCount];
int s_alignedReady;

inline uint32_t AlignRow(uint32_t alignment) { return (uint32_t)__builtin_ctz(alignment) - 4; }

} // namespace

/* The class for a small block of size bytes aligned to alignment (above
   kBlockAlignment, at most kSmallAlignMax), or -1 when none serves. */
int VR_Heap::AlignedClassFor(unsigned long size, unsigned long alignment)
{
    if (!__atomic_load_n(&s_alignedReady, __ATOMIC_ACQUIRE)) {
        VR_ProcessLockGuard guard;
        if (!s_alignedReady) {
            for (uint32_t row = 0; row < kAlignRows; row++) {
                uint32_t a = 16u << row;
                /* Every filler this alignment can need must be a class. */
                int fillers = a > kBlockAlignment;
                for (uint32_t pad = kBlockAlignment; fillers && pad < a; pad += kBlockAlignment) {
                    uint32_t f = pad < 16 ? pad + a : pad;
                    if (f > 1024 || kClasses.size[kClasses.of[f]] != f) fillers = 0;
                }
                uint8_t next = kNoClass;
                for (int k = kSizeClassCount - 1; k >= 0; k--) {
                    uint32_t cs = kClasses.size[k];
                    if (fillers && cs && cs % a == 0) next = (uint8_t)k;
                    s_alignedClass[row][k] = next;
                }
            }
            __atomic_store_n(&s_alignedReady, 1, __ATOMIC_RELEASE);
        }
    }
    if (size > kSmallLimit || alignment > kSmallAlignMax) return -1;
    uint32_t total = (uint32_t)size + 8 < 16 ? 16 : (uint32_t)size + 8;
    uint8_t k = s_alignedClass[AlignRow((uint32_t)alignment)][kClasses.of[total]];
    return k == kNoClass ? -1 : k;
}

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

void *VR_Heap::AllocAligned(unsigned long alignment, unsigned long size)
{
    if (alignment == 0 || (alignment & (alignment - 1))) return 0;
    if (alignment <= kBlockAlignment) return AllocMem(size);

    if (__builtin_expect(!__atomic_load_n(&initialized, __ATOMIC_ACQUIRE), 0)) InitLazily();

    /* The table read inline once it is built: this is the path of every
       small aligned request. */
    int k = -1;
    if (size <= kSmallLimit && alignment <= kSmallAlignMax) {
        if (__builtin_expect(__atomic_load_n(&s_alignedReady, __ATOMIC_ACQUIRE), 1)) {
            uint8_t c = s_alignedClass[AlignRow((uint32_t)alignment)][kClasses.of[size + 8 < 16 ? 16 : size + 8]];
            k = c == kNoClass ? -1 : c;
        } else {
            k = AlignedClassFor(size, alignment);
        }
    }
    if (k >= 0) {
        /* What a plain request of the class gets, when it lies on the
           boundary; its header then records the caller's size. */
        uint32_t cs = kClasses.size[k];
        void *p = AllocMem(cs - 8);
        if (!p) return 0;
        if (!((uintptr_t)p & (alignment - 1))) {
            SmallHeaderOf(p)->requestedSize = (uint16_t)size;
            return p;
        }
        void *q = AllocAlignedSmall((unsigned)k, alignment, size);
        FreeMem(p);
        return q;
    }

    uint32_t need, take;
    if (!AlignedSizesFor((uint32_t)size, (uint32_t)alignment, &need, &take)) return 0;

    Lock();
    void *header = AllocBigBlock(take);
    while (!header) {
        if (!RecoverMT()) return 0;
        header = AllocBigBlock(take);
    }
    /* AllocBigBlock counted the whole chunk as handed out; what goes back
       in front and behind is not. */
    uint32_t taken = ChunkTagOfHeader((VR_AltBlock *)header);
    header = AlignChunk(bigFree, header, (uint32_t)alignment, need);
    counters.bigBytes -= taken - ChunkTagOfHeader((VR_AltBlock *)header);
    InitAltBlock((VR_AltBlock *)header, size, 0);
    Unlock();

    uint8_t *block = (uint8_t *)header + kAltHeaderSize;
    if (flags & VR_HEAP_ZERO_INIT) memset(block, 0, size);
    return block;
}
