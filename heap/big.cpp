/*
 * big.cpp - the big-block half of VR_Heap: requests of more than 1016 bytes.
 *
 * The boundary-tagged chunks that tile the committed part of the big page
 * sets (chunks.h; the page sets themselves are bigsets.cpp), the heap's
 * index of free chunks by size (freeindex.h), and the VR_AltBlock headers
 * that put every big and direct block on the heap's bigBlocks list. The
 * big path of FreeMem and in-place reallocation of a chunk live here; the
 * free insides going back to the system are trim.cpp, the invariant
 * checker bigcheck.cpp.
 *
 * Every private operation below expects the heap's lock to be held (when
 * the heap has one) and never calls out-of-memory recovery itself: that is
 * the business of the public entry points, which leave the lock first.
 */
#include <string.h>

#include "big.h"
#include "trim.h"

/* 0 when the block, or the reservation a big page set of its own would
   need, passes 2^32: such a block can never be served, and the arithmetic
   must not wrap around to a small chunk. */
int BigSizesFor(uint32_t size, uint32_t *request, uint32_t *need)
{
    uint32_t r, reservation;
    if (size > 0xFFFFFFFFu - kAltHeaderSize) return 0;
    if (!RoundUpChecked(size + kAltHeaderSize, kBlockAlignment, &r)) return 0;
    if (r > 0xFFFFFFFFu - kChunkOverhead - (kBlockAlignment - 1) - kBigPageSetHeader) return 0;
    uint32_t n = ChunkSizeFor(r);
    if (!RoundUpChecked(n + kBigPageSetHeader, s_granularity, &reservation)) return 0;
    *request = r;
    *need = n;
    return 1;
}

/* The big path of FreeMem: the caller has ruled out null and the global
   bypass, checked the seal and seen bit 0 of the flag byte. */
void VR_Access::Big::FreeBigMem(void *block)
{
    VR_AltBlock *h = AltHeaderOf(block);
    /* A header that was freed already (or left behind by a move) carries
       the free bit; a second free of it changes nothing. */
    if (h->blockFlags & kBlockFree) return;
    VR_Heap *heap = h->heap;
    if (heap->bypassFree) return;
    /* Two threads freeing the block at once both get past the test above:
       the one that takes the seal frees it, the other returns. Without
       this, both would link the chunk as free, or release the direct
       block's reservation twice. The seal is taken under the heap's lock,
       so that a fork never finds a block unsealed but not yet freed. */
    heap->Lock();
    /* A direct block's pages go back to the system with its free, under
       this lock: the other free of the block may have given them back
       while this one waited for the lock, so the commit table is asked
       again (it is cleared before the pages go) before the seal is read. */
    if (!IsCommittedLibraryMemory(&h->seal) ||
        __atomic_exchange_n(&h->seal, 0u, __ATOMIC_ACQ_REL) != SealOf(block)) {
        heap->Unlock();
        return;
    }
    UnlinkAlt(heap->bigBlocks, h);
    if (h->direct) {
        h->blockFlags = kBlockAlt | kBlockFree;
        VR_VirtualHeader *v = (VR_VirtualHeader *)((uint8_t *)h - sizeof(VR_VirtualHeader));
        heap->counters.directBlocks--;
        heap->counters.directBytes -= v->committedBytes;
        ReleasePages(v, v->committedBytes, v->reservedBytes);
        heap->directCount--;
    } else {
        ReleaseBigBlock(*heap, h);
    }
    heap->Unlock();
}

void VR_Access::Big::ReturnBigLocked(VR_Heap &heap, VR_AltBlock *h)
{
    VR_ASSERT(h->heap == &heap && !h->direct && h->blockFlags == (kBlockAlt | kBlockFree | kBlockCached));
    UnlinkAlt(heap.bigBlocks, h);
    ReleaseBigBlock(heap, h);
}

void VR_Access::Big::InitAltBlock(VR_Heap &heap, VR_AltBlock *header, unsigned long size, int direct)
{
    header->heap = &heap;
    header->seal = SealOf((uint8_t *)header + kAltHeaderSize);
    header->zero30 = 0;
    header->blockFlags = kBlockAlt;
    header->zero28 = 0;
    header->size = size;
    header->prev = 0;
    header->next = heap.bigBlocks;
    if (heap.bigBlocks) heap.bigBlocks->prev = header;
    heap.bigBlocks = header;
    header->direct = direct;
}

void *VR_Access::Big::AllocBigBlock(VR_Heap &heap, unsigned long request)
{
    uint32_t need = ChunkSizeFor(request);

    /* A free chunk that fits, from the index; else a big page set that can
       commit the chunk behind its last one; else a new big page set. Each
       step is a few bit scans and list heads, whatever the number of free
       chunks or page sets. Only when even a new reservation fails are the
       lists of the request's own size searched to the end: the address
       space is nearly gone, and a chunk that fits anywhere is worth the
       walk. */
    VR_BigChunk *chunk = FindChunk(heap.bigFree, need, kIndexWalk);
    if (!chunk) {
        VR_BigPageSet *ps = FindRoom(heap.bigFree, need, kIndexWalk);
        if (ps) chunk = GrowBigPageSet(heap, ps, need);
    }
    if (!chunk) {
        VR_BigPageSet *ps = AllocBigPageSet(heap, need);
        if (ps) {
            chunk = (VR_BigChunk *)((uint8_t *)ps + kBigPageSetHeader);
        } else {
            chunk = FindChunk(heap.bigFree, need, kIndexWalkAll);
            if (!chunk && (ps = FindRoom(heap.bigFree, need, kIndexWalkAll)) != 0)
                chunk = GrowBigPageSet(heap, ps, need);
            if (!chunk) return 0;
        }
    }

    uint32_t size = ChunkSize(chunk);
    VR_ASSERT((chunk->sizeTag & 1) && size >= need);
    uint32_t rest = size - need;
    /* The block's regions, and the one where the rest's head goes, are
       committed again where the chunk's inside went back; the region of
       the chunk's head never did, so a block that ends in it needs no
       look. */
    uint32_t reach = rest >= kMinChunk ? need + (uint32_t)sizeof(VR_BigChunk) : size;
    if (MayHoldHoles(size) && (((uintptr_t)chunk ^ ((uintptr_t)chunk + reach - 1)) >= kTrimRegion) &&
        !CommitInner(chunk, BytesAfter(chunk, reach), heap.flags & VR_HEAP_NOCACHE, need))
        return 0;
    UnindexChunk(heap.bigFree, chunk);
    if (rest >= kMinChunk) {
        VR_BigChunk *tail = (VR_BigChunk *)BytesAfter(chunk, need);
        tail->owner = chunk->owner;
        SetTags(tail, rest | 1);
        IndexChunk(heap.bigFree, tail);
        size = need;
    }
    SetTags(chunk, size);
    chunk->owner->usedCount++;
    heap.counters.bigBlocks++;
    heap.counters.bigBytes += size;
    UpdatePeak(heap.counters);
    return HeaderOfChunk(chunk);
}

void *VR_Access::Big::ReallocBigBlock(VR_Heap &heap, void *header, unsigned long request)
{
    VR_BigChunk *chunk = ChunkOfHeader(header);
    VR_BigPageSet *ps = chunk->owner;
    uint32_t n = ChunkSize(chunk);
    VR_ASSERT(!(chunk->sizeTag & 1) && !((VR_AltBlock *)header)->direct);
    uint32_t need = ChunkSizeFor(request);
    /* A block that grows keeps an eighth more than it needs, where its
       neighbours have the room: one grown by many small steps (a buffer
       appended to) is then merged, committed and re-tagged about once per
       eighth of its size rather than at every step. A block that shrinks
       keeps only what it needs. */
    uint32_t keep = need;
    if (request > kAltHeaderSize + ((VR_AltBlock *)header)->size && need <= 0x40000000u) {
        uint32_t more = need + AlignUp(need >> 3);
        if (more > need) keep = more;
    }

    heap.counters.bigBytes -= n;
    if (need > n) {
        int commitMore = 0;
        if (ChunkEnd(chunk) == ps->commitEnd) {
            commitMore = Span(ps->regionEnd, ps->commitEnd) + n >= need;
        } else {
            VR_BigChunk *next = (VR_BigChunk *)ChunkEnd(chunk);
            if (next->sizeTag & 1) {
                uint32_t combined = n + ChunkSize(next);
                int nextIsLast = ChunkEnd(next) == ps->commitEnd;
                /* What the block will cover of next must be committed (up to
                   the head of the rest SplitTail leaves behind). */
                uint8_t *reach = BytesAfter(chunk, keep + sizeof(VR_BigChunk));
                if (keep > combined - sizeof(VR_BigChunk)) reach = ChunkEnd(next);
                if ((combined >= need ||
                     (nextIsLast && Span(ps->regionEnd, ps->commitEnd) + combined >= need)) &&
                    (!MayHoldHoles(ChunkSize(next)) || CommitInner(next, reach, heap.flags & VR_HEAP_NOCACHE, keep))) {
                    UnindexChunk(heap.bigFree, next);
                    SetTags(chunk, combined);
                    commitMore = nextIsLast && combined < keep;
                }
            }
        }
        if (commitMore) {
            /* Up to keep where the reservation has it, at least up to need
               (which it has: tested above). */
            uint32_t cur = ChunkSize(chunk);
            uint32_t room = Span(ps->regionEnd, ps->commitEnd);
            uint32_t target = keep - cur <= room ? keep : cur + room;
            uint32_t amount = (target - cur + s_pageSize - 1) & ~(s_pageSize - 1);
            if (amount > room) amount = room;
            if (CommitPages(ps->commitEnd, amount, heap.flags & VR_HEAP_NOCACHE)) {
                UnindexRoom(heap.bigFree, ps);
                ps->commitEnd = BytesAfter(ps->commitEnd, amount);
                IndexRoom(heap.bigFree, ps);
                SetTags(chunk, cur + amount);
            }
        }
    }

    if (need > ChunkSize(chunk)) {
        heap.counters.bigBytes += ChunkSize(chunk);
        void *moved = AllocBigBlock(heap, request + (keep - need));
        if (!moved && keep != need) moved = AllocBigBlock(heap, request);
        if (!moved) return 0;
        /* Header and the caller's bytes; what lies beyond the recorded size
           was never the caller's and is not worth copying. */
        uint32_t copy = kAltHeaderSize + ((VR_AltBlock *)header)->size;
        if (copy > n - kChunkOverhead) copy = n - kChunkOverhead;
        memcpy(moved, header, copy);
        /* The seal is bound to the address: the copy gets its own, and the
           old header loses its seal in ReleaseBigBlock. */
        ((VR_AltBlock *)moved)->seal = SealOf((uint8_t *)moved + kAltHeaderSize);
        ReleaseBigBlock(heap, header);
        return moved;
    }

    uint32_t size = ChunkSize(chunk);
    uint32_t surplus = size > keep ? size - keep : 0;
    if (surplus < kMinChunk) {
        heap.counters.bigBytes += size;
        UpdatePeak(heap.counters);
        return header;
    }
    heap.counters.bigBytes += keep;
    SplitTail(chunk, keep, heap.bigFree);
    return header;
}

void VR_Access::Big::ReleaseBigBlock(VR_Heap &heap, void *header)
{
    /* The flag byte lies inside the data area of the chunk, which the free
       chunk's links do not reach: it keeps marking the header as freed. */
    ((VR_AltBlock *)header)->blockFlags = kBlockAlt | kBlockFree;
    ((VR_AltBlock *)header)->seal = 0;

    VR_BigChunk *chunk = ChunkOfHeader(header);
    VR_BigPageSet *ps = chunk->owner;
    uint32_t size = ChunkSize(chunk);
    VR_ASSERT(!(chunk->sizeTag & 1) && ps->usedCount > 0);
    uint8_t *freedFrom = (uint8_t *)chunk, *freedTo = BytesAfter(chunk, size);
    heap.counters.bigBlocks--;
    heap.counters.bigBytes -= size;
    VR_ASSERT(*TrailingTag(chunk, size) == chunk->sizeTag);

    uint32_t t = ((uint32_t *)chunk)[-1] & ~1u;
    if (t) {
        VR_BigChunk *prev = (VR_BigChunk *)BytesBefore(chunk, t);
        if (prev->sizeTag & 1) {
            UnindexChunk(heap.bigFree, prev);
            size += t;
            chunk = prev;
        }
    }
    uint8_t *end = BytesAfter(chunk, size);
    if (end != ps->commitEnd) {
        VR_BigChunk *next = (VR_BigChunk *)end;
        if (next->sizeTag & 1) {
            UnindexChunk(heap.bigFree, next);
            size += ChunkSize(next);
        }
    }
    SetTags(chunk, size | 1);
    IndexChunk(heap.bigFree, chunk);

    if (--ps->usedCount) {
        /* Other blocks keep the page set: a large free inside goes back
           to the system now (trim.h). */
        if (size > kTrimMin) TrimFreeChunk(chunk, freedFrom, freedTo);
        return;
    }
    /* Empty: kept with its pages committed, so that a heap that frees big
       blocks and makes them again (a buffer grown over and over, a
       vector's doublings) finds its pages ready instead of reserving,
       committing and faulting them in each time. The heap's empty big page
       sets span at most kKeepEmptyBig bytes of address space: the ones
       emptied before go back first, and one bigger than that at once.
       Out-of-memory recovery gives them all back (GiveBackEmptyBig). */
    uint32_t reserved = Span(ps->regionEnd, ps);
    if (reserved > kKeepEmptyBig) {
        ReleaseBigPageSet(heap, ps, chunk);
        return;
    }
    /* The kept ones are remembered in bigFree.keptEmpty (each reserves
       1 MB or more, so four at most): entries used again since are dropped
       here, and ps comes last. */
    VR_BigPageSet *kept[kKeptEmptyMax + 1];
    uint32_t n = 0, total = reserved;
    for (VR_BigPageSet *q : heap.bigFree.keptEmpty)
        if (q && q != ps && q->usedCount == 0) {
            kept[n++] = q;
            total += Span(q->regionEnd, q);
        }
    kept[n++] = ps;
    uint32_t first = 0;
    while (total > kKeepEmptyBig) {
        VR_BigPageSet *q = kept[first++];
        total -= Span(q->regionEnd, q);
        ReleaseBigPageSet(heap, q, (VR_BigChunk *)((uint8_t *)q + kBigPageSetHeader));
    }
    VR_ASSERT(n - first <= kKeptEmptyMax);
    for (uint32_t i = 0; i < kKeptEmptyMax; i++) heap.bigFree.keptEmpty[i] = first + i < n ? kept[first + i] : 0;
}
