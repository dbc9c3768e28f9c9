/*
 * services.cpp - what VR_Heap offers beside AllocMem and FreeMem: zeroing and
 * array allocation, direct blocks with a reservation of their own,
 * reallocation of all three kinds of block, block sizes, iteration over the
 * blocks in use, clearing and destruction.
 *
 * Reallocation keeps a block where it is whenever its kind allows: a small
 * block while its class holds the new size, a big block as far as its chunk
 * grows or shrinks in place, a direct block always, inside its reservation.
 */
#include <string.h>

#include "big.h"
#include "small.h"
#include "chunks.h"

namespace {

/* Header and data of a big or direct block of size bytes, rounded to the
   block alignment;
   0 when that passes 2^32. */
inline int AltRequestFor(uint32_t size, uint32_t *request)
{
    if (size > 0xFFFFFFFFu - kAltHeaderSize) return 0;
    return RoundUpChecked(size + kAltHeaderSize, kBlockAlignment, request);
}

/* Whether a virtual block's extent of request bytes (behind its 16-byte
   header) can be rounded to the unit m without wrapping. */
inline int VirtualExtentFits(uint32_t request, uint32_t m)
{
    uint32_t rounded;
    if (request > 0xFFFFFFFFu - sizeof(VR_VirtualHeader)) return 0;
    return RoundUpChecked(request + sizeof(VR_VirtualHeader), m, &rounded);
}

} // namespace

void *VR_Heap::Alloc(unsigned long size, int zero)
{
    void *p = AllocMem(size);
    if (p && zero && !(flags & VR_HEAP_ZERO_INIT)) memset(p, 0, size);
    return p;
}

void *VR_Heap::AllocArray(unsigned long count, unsigned long size, int zero)
{
    uint32_t n;
    if (__builtin_mul_overflow((uint32_t)count, (uint32_t)size, &n)) return 0;
    return Alloc(n, zero);
}

void *VR_Heap::AllocWithReserve(unsigned long reserve, unsigned long size, int zero)
{
    if (__builtin_expect(!__atomic_load_n(&initialized, __ATOMIC_ACQUIRE), 0)) VR_Access::Small::InitLazily(*this);

    uint32_t reserved, request;
    if (!AltRequestFor(reserve, &reserved) || !AltRequestFor(size, &request)) return 0;
    if (!VirtualExtentFits(reserved, s_granularity) || !VirtualExtentFits(request, s_pageSize)) return 0;

    uint8_t *v = (uint8_t *)AllocVirtualOfKind(reserved, request, VR_SPACE_DIRECT);
    if (!v) return 0;

    Lock();
    VR_Access::Big::InitAltBlock(*this, (VR_AltBlock *)v, size, 1);
    directCount++;
    counters.directBlocks++;
    counters.directBytes += ((VR_VirtualHeader *)(v - sizeof(VR_VirtualHeader)))->committedBytes;
    UpdatePeak(counters);
    Unlock();

    /* Fresh pages read as zero; the fill keeps the promise without relying
       on what the system does with them. */
    if (zero) memset(v + kAltHeaderSize, 0, size);
    return v + kAltHeaderSize;
}

void VR_Heap::Free(void *block)
{
    FreeMem(block);
}

int VR_Access::Big::ResizeDirect(VR_Heap &heap, VR_AltBlock *h, unsigned long request, int recover)
{
    if (!VirtualExtentFits(request, s_pageSize)) return 0;
    VR_VirtualHeader *v = (VR_VirtualHeader *)((uint8_t *)h - sizeof(VR_VirtualHeader));
    uint32_t committed = v->committedBytes;
    while (!ResizeVirtual(h, request, 0))
        if (!recover || !Front::Recover(heap)) return 0;
    heap.Lock();
    heap.counters.directBytes += v->committedBytes - committed;
    UpdatePeak(heap.counters);
    heap.Unlock();
    return 1;
}

void *VR_Heap::Realloc(void *block, unsigned long size, int zero)
{
    /* Null, blocks already freed and pointers that are not a block's (no
       seal in front) are not live blocks: nothing to resize, and touching
       them would corrupt the lists or the block they lie in. */
    if (!block || !IsLibraryMemory(block) || !IsSealedBlock(block)) return 0;
    if (BlockFlagsOf(block) & kBlockFree) return 0;
    if (flags & VR_HEAP_ZERO_INIT) zero = 1;

    if (!(BlockFlagsOf(block) & kBlockAlt)) {
        VR_BlockHeader *h = SmallHeaderOf(block);
        uint32_t old = h->requestedSize;
        if (size <= ClassSize(h->sizeClass) - 8) {
            if (size > old && zero) memset((uint8_t *)block + old, 0, size - old);
            h->requestedSize = (uint16_t)size;
            return block;
        }
        uint8_t *n = (uint8_t *)AllocMem(size);
        if (!n) return 0;
        memcpy(n, block, old);
        if (zero) memset(n + old, 0, size - old);
        FreeMem(block);
        return n;
    }

    VR_AltBlock *h = AltHeaderOf(block);
    uint32_t old = h->size;
    uint32_t request;
    if (!AltRequestFor(size, &request)) return 0;
    VR_Heap *o = h->heap;

    if (h->direct) {
        /* The grown bytes are zeroed below, exactly over the caller's range. */
        if (!VR_Access::Big::ResizeDirect(*o, h, request, 1)) return 0;
    } else {
        /* Chunk and reservation sizes must not wrap either. */
        if (request > 0xFFFFFFFFu - kChunkOverhead - (kBlockAlignment - 1) - kBigPageSetHeader) return 0;
        uint32_t need = AlignUp(request + kChunkOverhead), reservation;
        if (!RoundUpChecked(need + kBigPageSetHeader, s_granularity, &reservation)) return 0;

        o->Lock();
        void *q = VR_Access::Big::ReallocBigBlock(*o, h, request);
        while (!q) {
            if (!VR_Access::Front::RecoverMT(*o)) return 0;
            q = VR_Access::Big::ReallocBigBlock(*o, h, request);
        }
        if (q != h) {
            /* The copied header still holds the old links: the block keeps
               its place on bigBlocks. */
            VR_AltBlock *m = (VR_AltBlock *)q;
            if (m->next) m->next->prev = m;
            if (m->prev)
                m->prev->next = m;
            else
                o->bigBlocks = m;
            h = m;
        }
        o->Unlock();
    }

    uint8_t *data = (uint8_t *)h + kAltHeaderSize;
    if (size > old && zero) memset(BytesAfter(data, old), 0, size - old);
    h->size = size;
    return data;
}

unsigned long VR_Heap::GetBlockSize(const void *block) const
{
    /* Only a live block's start has a size: in front of any other pointer
       lies no header to read it from. */
    if (!IsLiveBlock(block)) return 0;
    if (BlockFlagsOf(block) & kBlockAlt) return AltHeaderOf(block)->size;
    return SmallHeaderOf(block)->requestedSize;
}

void VR_Heap::ForEach(void (*fn)(void *block, void *context), void *context)
{
    for (VR_PageSetBase *p = pageSets; p;) {
        uint8_t *b = p->Base() + kSmallFirstBlock;
        while (b < p->CarvePoint()) {
            VR_BlockHeader *h = (VR_BlockHeader *)b;
            if (!(h->blockFlags & kBlockFree)) fn(b + 8, context);
            b += ClassSize(h->sizeClass);
        }
        p = p->next;
    }
    for (VR_AltBlock *h = bigBlocks; h;) {
        /* A block waiting in a thread cache was freed by its caller. */
        if (!(h->blockFlags & kBlockFree)) fn((uint8_t *)h + kAltHeaderSize, context);
        h = h->next;
    }
}

void *VR_Heap::FindFirstThat(int (*fn)(void *block, void *context), void *context)
{
    for (VR_PageSetBase *p = pageSets; p;) {
        uint8_t *b = p->Base() + kSmallFirstBlock;
        while (b < p->CarvePoint()) {
            VR_BlockHeader *h = (VR_BlockHeader *)b;
            if (!(h->blockFlags & kBlockFree) && fn(b + 8, context)) return b + 8;
            b += ClassSize(h->sizeClass);
        }
        p = p->next;
    }
    for (VR_AltBlock *h = bigBlocks; h;) {
        if (!(h->blockFlags & kBlockFree) && fn((uint8_t *)h + kAltHeaderSize, context))
            return (uint8_t *)h + kAltHeaderSize;
        h = h->next;
    }
    return 0;
}

