/*
 * bigsets.cpp - the big page sets of VR_Heap: reserved (at least 1 MB,
 * more as the heap's big blocks grow), committed from the front as chunks
 * need them, and given back when empty (kept a while first; see
 * ReleaseBigBlock in big.cpp). The big half of Clear is here too.
 *
 * Every operation below expects the heap's lock to be held (when the heap
 * has one).
 */
#include <string.h>

#include "big.h"
#include "chunks.h"

VR_BigPageSet *VR_Access::Big::AllocBigPageSet(VR_Heap &heap, unsigned long chunkSize)
{
    uint32_t commit, reserve;
    if (chunkSize > 0xFFFFFFFFu - kBigPageSetHeader) return 0;
    if (!RoundUpChecked(chunkSize + kBigPageSetHeader, s_pageSize, &commit)) return 0;
    /* The reservation grows with what the heap has in big blocks (an
       eighth of it, up to 32 MB): a heap with a few big blocks keeps to
       1 MB sets, and one whose big blocks fill the address space gets sets
       large enough that their free ends and insides merge instead of
       staying apart in sets too small for the next request. */
    uint32_t least = heap.counters.bigBytes / 8;
    if (least > 0x2000000u) least = 0x2000000u;
    if (least < (uint32_t)kBigReserveMin) least = kBigReserveMin;
    /* Above the least, a power of two and one reservation unit more:
       blocks are most often a power of two in size, and the set's header
       and each chunk's tags take a few bytes beyond them, so a set of
       exactly 32 MB would hold 31 blocks of 1 MB and leave a megabyte
       behind them that no such block fits (3% of the address space, in a
       program that fills it with them). */
    if (least > (uint32_t)kBigReserveMin) least = (1u << FloorLog2(least)) + (uint32_t)s_granularity;
    if (!RoundUpChecked(commit > least ? commit : least, s_granularity, &reserve))
        return 0;

    int nocache = heap.flags & VR_HEAP_NOCACHE;
    uint8_t *base = (uint8_t *)ReservePages(reserve, nocache, VR_SPACE_BIG);
    if (!base) {
        /* Near the end of the address space a large set may no longer
           fit where a small one still does. */
        uint32_t small;
        if (!RoundUpChecked(commit > kBigReserveMin ? commit : (uint32_t)kBigReserveMin, s_granularity, &small) ||
            small >= reserve)
            return 0;
        reserve = small;
        base = (uint8_t *)ReservePages(reserve, nocache, VR_SPACE_BIG);
        if (!base) return 0;
    }
    if (!CommitPages(base, commit, nocache)) {
        ReleasePages(base, 0, reserve);
        return 0;
    }

    VR_BigPageSet *ps = (VR_BigPageSet *)base;
    ps->prev = 0;
    ps->next = heap.bigPageSets;
    if (heap.bigPageSets) heap.bigPageSets->prev = ps;
    heap.bigPageSets = ps;
    ps->usedCount = 0;
    ps->commitEnd = BytesAfter(base, commit);
    ps->regionEnd = BytesAfter(base, reserve);
    ps->zeroTag = 0;
    IndexRoom(heap.bigFree, ps);

    VR_BigChunk *first = (VR_BigChunk *)(base + kBigPageSetHeader);
    first->owner = ps;
    SetTags(first, (commit - kBigPageSetHeader) | 1);
    IndexChunk(heap.bigFree, first);
    return ps;
}

VR_BigChunk *VR_Access::Big::GrowBigPageSet(VR_Heap &heap, VR_BigPageSet *ps, unsigned long need)
{
    /* Only the pages the chunk lacks beyond a free chunk at the end, which
       it absorbs: committing the whole of need each time would leave the
       page's rest free behind every chunk cut this way, and those rests
       add up (a set of 32 MB filled with blocks of 1 MB kept 60 KB of them
       committed and free, and the 964 KB left behind them held no more
       block). */
    uint8_t *old = ps->commitEnd;
    uint32_t t = ((uint32_t *)old)[-1];
    uint32_t tail = (t & 1) ? t & ~1u : 0;
    uint32_t lack = need > tail ? (uint32_t)need - tail : 0;
    uint32_t amount = (lack + s_pageSize - 1) & ~(s_pageSize - 1);
    if (!amount) amount = s_pageSize;
    if (!CommitPages(old, amount, heap.flags & VR_HEAP_NOCACHE)) return 0;
    UnindexRoom(heap.bigFree, ps);
    ps->commitEnd = BytesAfter(old, amount);
    IndexRoom(heap.bigFree, ps);
    VR_BigChunk *chunk;
    if (t & 1) {
        /* The last chunk is free: it absorbs the new pages. */
        chunk = (VR_BigChunk *)BytesBefore(old, t & ~1u);
        UnindexChunk(heap.bigFree, chunk);
        SetTags(chunk, ((t & ~1u) + amount) | 1);
    } else {
        chunk = (VR_BigChunk *)old;
        chunk->owner = ps;
        SetTags(chunk, amount | 1);
    }
    IndexChunk(heap.bigFree, chunk);
    return chunk;
}

int VR_Access::Big::GiveBackEmptyBig(VR_Heap &heap)
{
    int any = 0;
    for (VR_BigPageSet *q = heap.bigPageSets; q;) {
        VR_BigPageSet *next = (VR_BigPageSet *)q->next;
        if (q->usedCount == 0) {
            ReleaseBigPageSet(heap, q, (VR_BigChunk *)((uint8_t *)q + kBigPageSetHeader));
            any = 1;
        }
        q = next;
    }
    return any;
}

void VR_Access::Big::ReleaseBigPageSet(VR_Heap &heap, VR_BigPageSet *ps, VR_BigChunk *chunk)
{
    /* Its one free chunk spans it all. */
    VR_ASSERT(ps->usedCount == 0 && (uint8_t *)chunk == (uint8_t *)ps + kBigPageSetHeader &&
              ChunkEnd(chunk) == ps->commitEnd);
    UnindexChunk(heap.bigFree, chunk);
    UnindexRoom(heap.bigFree, ps);
    for (VR_BigPageSet *&q : heap.bigFree.keptEmpty)
        if (q == ps) q = 0;
    if (ps->next) ps->next->prev = ps->prev;
    if (ps->prev)
        ps->prev->next = ps->next;
    else
        heap.bigPageSets = (VR_BigPageSet *)ps->next;
    ReleasePages(ps, CommittedBytesIn(ps, Span(ps->commitEnd, ps)), Span(ps->regionEnd, ps));
}

void VR_Access::Big::ReleaseBig(VR_Heap &heap)
{
    /* Direct blocks one by one, also when frees into the heap are bypassed:
       their reservations would otherwise outlive the heap that owns them. */
    for (VR_AltBlock *h = heap.bigBlocks; h;) {
        VR_AltBlock *next = h->next;
        if (h->direct) {
            h->blockFlags = kBlockAlt | kBlockFree;
            VR_VirtualHeader *v = (VR_VirtualHeader *)((uint8_t *)h - sizeof(VR_VirtualHeader));
            ReleasePages(v, v->committedBytes, v->reservedBytes);
        }
        h = next;
    }
    /* Big blocks go with their page sets. */
    while (heap.bigPageSets) {
        VR_BigPageSet *next = (VR_BigPageSet *)heap.bigPageSets->next;
        ReleasePages(heap.bigPageSets,
                     CommittedBytesIn(heap.bigPageSets, Span(heap.bigPageSets->commitEnd, heap.bigPageSets)),
                     Span(heap.bigPageSets->regionEnd, heap.bigPageSets));
        heap.bigPageSets = next;
    }
    heap.bigBlocks = 0;
    memset(&heap.bigFree, 0, sizeof heap.bigFree);
    heap.directCount = 0;
    heap.counters.bigBlocks = heap.counters.bigBytes = 0;
    heap.counters.directBlocks = heap.counters.directBytes = 0;
}
