/*
 * big.cpp - the big-block half of VR_Heap: requests of more than 1016 bytes.
 *
 * Owns the big page sets (reservations of at least 1 MB, committed from the
 * front), the boundary-tagged chunks that tile their committed part, the
 * heap's index of free chunks by size (freeindex.h), and the VR_AltBlock
 * headers that put every big and direct block on the heap's bigBlocks list.
 * The big path of FreeMem, in-place reallocation of a chunk, the big half
 * of Clear and the invariant checker of all of it live here.
 *
 * Every private operation below expects the heap's lock to be held (when
 * the heap has one) and never calls out-of-memory recovery itself: that is
 * the business of the public entry points, which leave the lock first.
 */
#include <string.h>

#include "chunks.h"

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

namespace {

/* The trim threshold (chunks.h): one for the process, as what it learns is
   how the program uses big blocks. Read and raised under whichever heap's
   lock; a raise lost to another heap's at the same moment costs nothing
   but an early trim. */
uint32_t s_trimThreshold = kTrimMin;

inline int Committed(uint64_t a) { return IsCommittedLibraryMemory((const void *)(uintptr_t)a); }

} // namespace

void TrimFreeChunk(VR_BigChunk *chunk, const void *from, const void *to)
{
    const uint64_t mask = kTrimRegion - 1;
    uint32_t threshold = __atomic_load_n(&s_trimThreshold, __ATOMIC_RELAXED);
    uint64_t c = (uintptr_t)chunk, size = ChunkSize(chunk);
    uint64_t lo = (c + sizeof(VR_BigChunk) + mask) & ~mask;
    uint64_t hi = (c + size - 4) & ~mask;
    if (hi <= lo || hi - lo < threshold) return;
    uint64_t a = ((uint64_t)(uintptr_t)from & ~mask), b = ((uint64_t)(uintptr_t)to + mask) & ~mask;
    a = a >= lo + kTrimRegion ? a - kTrimRegion : lo;
    b = b + kTrimRegion < hi ? b + kTrimRegion : hi;
    while (a < b) {
        if (!Committed(a)) {
            a += kTrimRegion;
            continue;
        }
        /* The whole run, also where it reaches past the window. */
        uint64_t s = a, e = a + kTrimRegion;
        while (s > lo && Committed(s - kTrimRegion)) s -= kTrimRegion;
        while (e < hi && Committed(e)) e += kTrimRegion;
        if (e - s >= threshold) DecommitPages((void *)(uintptr_t)s, (uint32_t)(e - s));
        a = e;
    }
}

int CommitInner(const void *from, const void *to, int nocache, uint32_t blockBytes)
{
    const uint64_t mask = kTrimRegion - 1;
    uint64_t end = (uintptr_t)to;
    int reused = 0;
    for (uint64_t a = (uintptr_t)from & ~mask; a < end;) {
        if (IsCommittedLibraryMemory((const void *)(uintptr_t)a)) {
            a += kTrimRegion;
            continue;
        }
        uint64_t e = a + kTrimRegion;
        while (e < end && !IsCommittedLibraryMemory((const void *)(uintptr_t)e)) e += kTrimRegion;
        if (!CommitPages((void *)(uintptr_t)a, (uint32_t)(e - a), nocache)) return 0;
        a = e;
        reused = 1;
    }
    if (reused) {
        /* Given back too early: the threshold doubles, and is at least
           twice the block (chunks.h). */
        uint32_t t = __atomic_load_n(&s_trimThreshold, __ATOMIC_RELAXED);
        uint32_t learnt = t >= kTrimMax / 2 ? (uint32_t)kTrimMax : t * 2;
        if (blockBytes >= kTrimMax / 2) learnt = kTrimMax;
        else if (learnt < blockBytes * 2) learnt = blockBytes * 2;
        __atomic_store_n(&s_trimThreshold, learnt, __ATOMIC_RELAXED);
    }
    return 1;
}

/* The big path of FreeMem: the caller has ruled out null and the global
   bypass, checked the seal and seen bit 0 of the flag byte. */
void VR_Heap::FreeBigMem(void *block)
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
    if (__atomic_exchange_n(&h->seal, 0u, __ATOMIC_ACQ_REL) != SealOf(block)) {
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
        heap->ReleaseBigBlock(h);
    }
    heap->Unlock();
}

void VR_Heap::ReturnBigLocked(VR_AltBlock *h)
{
    VR_ASSERT(h->heap == this && !h->direct && h->blockFlags == (kBlockAlt | kBlockFree | kBlockCached));
    UnlinkAlt(bigBlocks, h);
    ReleaseBigBlock(h);
}

void VR_Heap::InitAltBlock(VR_AltBlock *header, unsigned long size, int direct)
{
    header->heap = this;
    header->seal = SealOf((uint8_t *)header + kAltHeaderSize);
    header->zero30 = 0;
    header->blockFlags = kBlockAlt;
    header->zero28 = 0;
    header->size = size;
    header->prev = 0;
    header->next = bigBlocks;
    if (bigBlocks) bigBlocks->prev = header;
    bigBlocks = header;
    header->direct = direct;
}

VR_BigPageSet *VR_Heap::AllocBigPageSet(unsigned long chunkSize)
{
    uint32_t commit, reserve;
    if (chunkSize > 0xFFFFFFFFu - kBigPageSetHeader) return 0;
    if (!RoundUpChecked(chunkSize + kBigPageSetHeader, s_pageSize, &commit)) return 0;
    /* The reservation grows with what the heap has in big blocks (an
       eighth of it, up to 32 MB): a heap with a few big blocks keeps to
       1 MB sets, and one whose big blocks fill the address space gets sets
       large enough that their free ends and insides merge instead of
       staying apart in sets too small for the next request. */
    uint32_t least = counters.bigBytes / 8;
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

    int nocache = flags & VR_HEAP_NOCACHE;
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
    ps->next = bigPageSets;
    if (bigPageSets) bigPageSets->prev = ps;
    bigPageSets = ps;
    ps->usedCount = 0;
    ps->commitEnd = BytesAfter(base, commit);
    ps->regionEnd = BytesAfter(base, reserve);
    ps->zeroTag = 0;
    IndexRoom(bigFree, ps);

    VR_BigChunk *first = (VR_BigChunk *)(base + kBigPageSetHeader);
    first->owner = ps;
    SetTags(first, (commit - kBigPageSetHeader) | 1);
    IndexChunk(bigFree, first);
    return ps;
}

VR_BigChunk *VR_Heap::GrowBigPageSet(VR_BigPageSet *ps, unsigned long need)
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
    if (!CommitPages(old, amount, flags & VR_HEAP_NOCACHE)) return 0;
    UnindexRoom(bigFree, ps);
    ps->commitEnd = BytesAfter(old, amount);
    IndexRoom(bigFree, ps);
    VR_BigChunk *chunk;
    if (t & 1) {
        /* The last chunk is free: it absorbs the new pages. */
        chunk = (VR_BigChunk *)BytesBefore(old, t & ~1u);
        UnindexChunk(bigFree, chunk);
        SetTags(chunk, ((t & ~1u) + amount) | 1);
    } else {
        chunk = (VR_BigChunk *)old;
        chunk->owner = ps;
        SetTags(chunk, amount | 1);
    }
    IndexChunk(bigFree, chunk);
    return chunk;
}

void *VR_Heap::AllocBigBlock(unsigned long request)
{
    uint32_t need = ChunkSizeFor(request);

    /* A free chunk that fits, from the index; else a big page set that can
       commit the chunk behind its last one; else a new big page set. Each
       step is a few bit scans and list heads, whatever the number of free
       chunks or page sets. Only when even a new reservation fails are the
       lists of the request's own size searched to the end: the address
       space is nearly gone, and a chunk that fits anywhere is worth the
       walk. */
    VR_BigChunk *chunk = FindChunk(bigFree, need, kIndexWalk);
    if (!chunk) {
        VR_BigPageSet *ps = FindRoom(bigFree, need, kIndexWalk);
        if (ps) chunk = GrowBigPageSet(ps, need);
    }
    if (!chunk) {
        VR_BigPageSet *ps = AllocBigPageSet(need);
        if (ps) {
            chunk = (VR_BigChunk *)((uint8_t *)ps + kBigPageSetHeader);
        } else {
            chunk = FindChunk(bigFree, need, kIndexWalkAll);
            if (!chunk && (ps = FindRoom(bigFree, need, kIndexWalkAll)) != 0) chunk = GrowBigPageSet(ps, need);
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
        !CommitInner(chunk, BytesAfter(chunk, reach), flags & VR_HEAP_NOCACHE, need))
        return 0;
    UnindexChunk(bigFree, chunk);
    if (rest >= kMinChunk) {
        VR_BigChunk *tail = (VR_BigChunk *)BytesAfter(chunk, need);
        tail->owner = chunk->owner;
        SetTags(tail, rest | 1);
        IndexChunk(bigFree, tail);
        size = need;
    }
    SetTags(chunk, size);
    chunk->owner->usedCount++;
    counters.bigBlocks++;
    counters.bigBytes += size;
    UpdatePeak();
    return HeaderOfChunk(chunk);
}

void *VR_Heap::ReallocBigBlock(void *header, unsigned long request)
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

    counters.bigBytes -= n;
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
                    (!MayHoldHoles(ChunkSize(next)) || CommitInner(next, reach, flags & VR_HEAP_NOCACHE, keep))) {
                    UnindexChunk(bigFree, next);
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
            if (CommitPages(ps->commitEnd, amount, flags & VR_HEAP_NOCACHE)) {
                UnindexRoom(bigFree, ps);
                ps->commitEnd = BytesAfter(ps->commitEnd, amount);
                IndexRoom(bigFree, ps);
                SetTags(chunk, cur + amount);
            }
        }
    }

    if (need > ChunkSize(chunk)) {
        counters.bigBytes += ChunkSize(chunk);
        void *moved = AllocBigBlock(request + (keep - need));
        if (!moved && keep != need) moved = AllocBigBlock(request);
        if (!moved) return 0;
        /* Header and the caller's bytes; what lies beyond the recorded size
           was never the caller's and is not worth copying. */
        uint32_t copy = kAltHeaderSize + ((VR_AltBlock *)header)->size;
        if (copy > n - kChunkOverhead) copy = n - kChunkOverhead;
        memcpy(moved, header, copy);
        /* The seal is bound to the address: the copy gets its own, and the
           old header loses its seal in ReleaseBigBlock. */
        ((VR_AltBlock *)moved)->seal = SealOf((uint8_t *)moved + kAltHeaderSize);
        ReleaseBigBlock(header);
        return moved;
    }

    uint32_t size = ChunkSize(chunk);
    uint32_t surplus = size > keep ? size - keep : 0;
    if (surplus < kMinChunk) {
        counters.bigBytes += size;
        UpdatePeak();
        return header;
    }
    counters.bigBytes += keep;
    SplitTail(chunk, keep, bigFree);
    return header;
}

void VR_Heap::ReleaseBigBlock(void *header)
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
    counters.bigBlocks--;
    counters.bigBytes -= size;
    VR_ASSERT(*TrailingTag(chunk, size) == chunk->sizeTag);

    uint32_t t = ((uint32_t *)chunk)[-1] & ~1u;
    if (t) {
        VR_BigChunk *prev = (VR_BigChunk *)BytesBefore(chunk, t);
        if (prev->sizeTag & 1) {
            UnindexChunk(bigFree, prev);
            size += t;
            chunk = prev;
        }
    }
    uint8_t *end = BytesAfter(chunk, size);
    if (end != ps->commitEnd) {
        VR_BigChunk *next = (VR_BigChunk *)end;
        if (next->sizeTag & 1) {
            UnindexChunk(bigFree, next);
            size += ChunkSize(next);
        }
    }
    SetTags(chunk, size | 1);
    IndexChunk(bigFree, chunk);

    if (--ps->usedCount) {
        /* Other blocks keep the page set: a large free inside goes back
           to the system now (chunks.h). */
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
        ReleaseBigPageSet(ps, chunk);
        return;
    }
    /* The kept ones are remembered in bigFree.keptEmpty (each reserves
       1 MB or more, so four at most): entries used again since are dropped
       here, and ps comes last. */
    VR_BigPageSet *kept[kKeptEmptyMax + 1];
    uint32_t n = 0, total = reserved;
    for (VR_BigPageSet *q : bigFree.keptEmpty)
        if (q && q != ps && q->usedCount == 0) {
            kept[n++] = q;
            total += Span(q->regionEnd, q);
        }
    kept[n++] = ps;
    uint32_t first = 0;
    while (total > kKeepEmptyBig) {
        VR_BigPageSet *q = kept[first++];
        total -= Span(q->regionEnd, q);
        ReleaseBigPageSet(q, (VR_BigChunk *)((uint8_t *)q + kBigPageSetHeader));
    }
    VR_ASSERT(n - first <= kKeptEmptyMax);
    for (uint32_t i = 0; i < kKeptEmptyMax; i++) bigFree.keptEmpty[i] = first + i < n ? kept[first + i] : 0;
}

int VR_Heap::GiveBackEmptyBig()
{
    int any = 0;
    for (VR_BigPageSet *q = bigPageSets; q;) {
        VR_BigPageSet *next = (VR_BigPageSet *)q->next;
        if (q->usedCount == 0) {
            ReleaseBigPageSet(q, (VR_BigChunk *)((uint8_t *)q + kBigPageSetHeader));
            any = 1;
        }
        q = next;
    }
    return any;
}

void VR_Heap::ReleaseBigPageSet(VR_BigPageSet *ps, VR_BigChunk *chunk)
{
    /* Its one free chunk spans it all. */
    VR_ASSERT(ps->usedCount == 0 && (uint8_t *)chunk == (uint8_t *)ps + kBigPageSetHeader &&
              ChunkEnd(chunk) == ps->commitEnd);
    UnindexChunk(bigFree, chunk);
    UnindexRoom(bigFree, ps);
    for (VR_BigPageSet *&q : bigFree.keptEmpty)
        if (q == ps) q = 0;
    if (ps->next) ps->next->prev = ps->prev;
    if (ps->prev)
        ps->prev->next = ps->next;
    else
        bigPageSets = (VR_BigPageSet *)ps->next;
    ReleasePages(ps, CommittedBytesIn(ps, Span(ps->commitEnd, ps)), Span(ps->regionEnd, ps));
}

void VR_Heap::ReleaseBig()
{
    /* Direct blocks one by one, also when frees into the heap are bypassed:
       their reservations would otherwise outlive the heap that owns them. */
    for (VR_AltBlock *h = bigBlocks; h;) {
        VR_AltBlock *next = h->next;
        if (h->direct) {
            h->blockFlags = kBlockAlt | kBlockFree;
            VR_VirtualHeader *v = (VR_VirtualHeader *)((uint8_t *)h - sizeof(VR_VirtualHeader));
            ReleasePages(v, v->committedBytes, v->reservedBytes);
        }
        h = next;
    }
    /* Big blocks go with their page sets. */
    while (bigPageSets) {
        VR_BigPageSet *next = (VR_BigPageSet *)bigPageSets->next;
        ReleasePages(bigPageSets, CommittedBytesIn(bigPageSets, Span(bigPageSets->commitEnd, bigPageSets)),
                     Span(bigPageSets->regionEnd, bigPageSets));
        bigPageSets = next;
    }
    bigBlocks = 0;
    memset(&bigFree, 0, sizeof bigFree);
    directCount = 0;
    counters.bigBlocks = counters.bigBytes = 0;
    counters.directBlocks = counters.directBytes = 0;
}

const char *VR_Heap::ValidateBig(unsigned long bigWaiting)
{
    /* Bounds on list lengths, so that a cycle is reported, not looped on:
       every big page set reserves at least 1 MB, every header needs at
       least a minimal chunk of the 4 GB address space. */
    const uint32_t kMaxPageSets = 4096;
    const uint32_t kMaxHeaders = 0xFFFFFFFFu / kMinChunk;

    uint32_t freeChunks = 0, usedChunks = 0, pageSetCount = 0, cachedChunks = 0, keptBytes = 0;
    VR_BigPageSet *prevPs = 0;
    for (VR_BigPageSet *ps = bigPageSets; ps; prevPs = ps, ps = (VR_BigPageSet *)ps->next) {
        if (++pageSetCount > kMaxPageSets) return "bigPageSets does not end";
        if ((VR_BigPageSet *)ps->prev != prevPs) return "bigPageSets: broken prev link";
        uint8_t *base = ps->Base();
        if ((uintptr_t)base & ~s_granularityMask) return "big page set not aligned to the granularity";
        if (ps->zeroTag != 0) return "big page set: word at 28 not zero";
        if (ps->commitEnd <= base + kBigPageSetHeader || ps->commitEnd > ps->regionEnd)
            return "big page set: commitEnd outside the reservation";
        if (((uintptr_t)ps->commitEnd | (uintptr_t)ps->regionEnd) & (s_pageSize - 1))
            return "big page set: commitEnd or regionEnd not page aligned";
        if (!IsLibraryMemory(base)) return "big page set not marked in the region map";

        uint32_t used = 0;
        int prevFree = 0;
        uint8_t *c = base + kBigPageSetHeader;
        while (c < ps->commitEnd) {
            VR_BigChunk *chunk = (VR_BigChunk *)c;
            uint32_t tag = chunk->sizeTag, size = tag & ~1u;
            if (size < kMinChunk || (size & (kBlockAlignment - 1)))
                return "big chunk: size below the smallest chunk or not a multiple of the alignment";
            if (size > Span(ps->commitEnd, c)) return "big chunk passes commitEnd";
            if (*TrailingTag(chunk, size) != tag) return "big chunk: trailing tag differs from sizeTag";
            if (chunk->owner != ps) return "big chunk: wrong owner";
            /* Committed all through, but for the inner regions of a free
               chunk (chunks.h). */
            {
                const uintptr_t mask = kTrimRegion - 1;
                uintptr_t from = (uintptr_t)c, to = from + size;
                uintptr_t lo = (from + sizeof(VR_BigChunk) + mask) & ~mask, hi = (to - 4) & ~mask;
                if (!(tag & 1) || hi <= lo) lo = hi = to;
                uintptr_t a = from & ~(uintptr_t)(kCommitStep - 1), b = (to + kCommitStep - 1) & ~(uintptr_t)(kCommitStep - 1);
                if (b > (uintptr_t)ps->commitEnd) b = (uintptr_t)ps->commitEnd;
                if (lo > b) lo = hi = b;
                if (CommittedBytesIn((void *)a, (uint32_t)(lo - a)) != lo - a ||
                    CommittedBytesIn((void *)hi, (uint32_t)(b - hi)) != b - hi)
                    return "big chunk: pages decommitted outside the inside of a free chunk";
            }
            if (tag & 1) {
                if (prevFree) return "two free big chunks adjacent";
                if (!ChunkIndexed(bigFree, chunk)) return "free big chunk not linked on the list of its size";
                freeChunks++;
                prevFree = 1;
            } else {
                VR_AltBlock *h = (VR_AltBlock *)HeaderOfChunk(chunk);
                if (h->heap != this || h->direct != 0) return "big chunk in use with a bad header";
                if (h->blockFlags == (kBlockAlt | kBlockFree | kBlockCached)) {
                    if (h->seal & 1) return "big block waiting in a thread cache still sealed";
                    cachedChunks++;
                } else if (h->blockFlags != kBlockAlt) {
                    return "big chunk in use with a bad header";
                } else if (h->seal != SealOf((uint8_t *)h + kAltHeaderSize)) {
                    return "big block: seal broken";
                }
                if (h->prev ? h->prev->next != h : bigBlocks != h) return "big block not linked on bigBlocks";
                used++;
                prevFree = 0;
            }
            c = BytesAfter(c, size);
        }
        if (c != ps->commitEnd) return "big chunks do not tile their page set";
        if (used != ps->usedCount) return "big page set: usedCount differs from chunks in use";
        if (!used) {
            int listed = 0;
            for (VR_BigPageSet *q : bigFree.keptEmpty) listed += q == ps;
            if (listed != 1) return "empty big page set not remembered once among the kept ones";
            keptBytes += Span(ps->regionEnd, ps);
        }
        usedChunks += used;
    }

    if (const char *problem = CheckFreeIndex(bigFree, bigPageSets, freeChunks)) return problem;
    if (keptBytes > kKeepEmptyBig) return "empty big page sets kept beyond the bound";
    for (VR_BigPageSet *q : bigFree.keptEmpty) {
        VR_BigPageSet *ps = bigPageSets;
        while (ps && ps != q) ps = (VR_BigPageSet *)ps->next;
        if (q && !ps) return "a kept empty big page set is not the heap's";
    }

    uint32_t directs = 0, headers = 0;
    VR_AltBlock *prevH = 0;
    for (VR_AltBlock *h = bigBlocks; h; prevH = h, h = h->next) {
        if (++headers > kMaxHeaders) return "bigBlocks does not end";
        if (h->prev != prevH) return "bigBlocks: broken prev link";
        if (h->heap != this) return "bigBlocks: header names another heap";
        if (h->blockFlags == (kBlockAlt | kBlockFree | kBlockCached) && h->direct == 0) {
            if (h->seal & 1) return "bigBlocks: waiting block still sealed";
        } else {
            if (h->blockFlags != kBlockAlt) return "bigBlocks: flag byte not 1";
            if (h->seal != SealOf((uint8_t *)h + kAltHeaderSize)) return "bigBlocks: seal broken";
        }
        if (h->direct == 1) {
            VR_VirtualHeader *v = (VR_VirtualHeader *)((uint8_t *)h - sizeof(VR_VirtualHeader));
            if ((uintptr_t)v & ~s_granularityMask) return "direct block not at its reservation's base";
            if (v->committedBytes > v->reservedBytes || v->currentSize + sizeof(VR_VirtualHeader) > v->committedBytes)
                return "direct block: virtual header inconsistent";
            directs++;
        } else if (h->direct == 0) {
            if (ChunkOfHeader(h)->sizeTag & 1) return "bigBlocks: header in a free chunk";
        } else {
            return "bigBlocks: direct flag neither 0 nor 1";
        }
    }
    if (directs != directCount) return "directCount differs from the direct blocks on bigBlocks";
    if (headers - directs != usedChunks) return "big blocks on bigBlocks differ from chunks in use";
    if (cachedChunks != bigWaiting) return "big blocks marked waiting differ from those in thread caches";
    if (counters.bigBlocks != usedChunks) return "counters: bigBlocks differs from chunks in use";
    if (counters.directBlocks != directs) return "counters: directBlocks differs from the direct blocks";
    return 0;
}
