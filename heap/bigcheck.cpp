/*
 * bigcheck.cpp - the invariant checker of the big half of VR_Heap: its
 * big page sets, the chunks that tile them, the index of the free ones,
 * and the headers of big and direct blocks on bigBlocks.
 */
#include "big.h"
#include "trim.h"

const char *VR_Access::Big::ValidateBig(VR_Heap &heap, unsigned long bigWaiting)
{
    /* Bounds on list lengths, so that a cycle is reported, not looped on:
       every big page set reserves at least 1 MB, every header needs at
       least a minimal chunk of the 4 GB address space. */
    const uint32_t kMaxPageSets = 4096;
    const uint32_t kMaxHeaders = 0xFFFFFFFFu / kMinChunk;

    uint32_t freeChunks = 0, usedChunks = 0, pageSetCount = 0, cachedChunks = 0, keptBytes = 0;
    VR_BigPageSet *prevPs = 0;
    for (VR_BigPageSet *ps = heap.bigPageSets; ps; prevPs = ps, ps = (VR_BigPageSet *)ps->next) {
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
               chunk (trim.h). */
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
                if (!ChunkIndexed(heap.bigFree, chunk)) return "free big chunk not linked on the list of its size";
                freeChunks++;
                prevFree = 1;
            } else {
                VR_AltBlock *h = (VR_AltBlock *)HeaderOfChunk(chunk);
                if (h->heap != &heap || h->direct != 0) return "big chunk in use with a bad header";
                if (h->blockFlags == (kBlockAlt | kBlockFree | kBlockCached)) {
                    if (h->seal & 1) return "big block waiting in a thread cache still sealed";
                    cachedChunks++;
                } else if (h->blockFlags != kBlockAlt) {
                    return "big chunk in use with a bad header";
                } else if (h->seal != SealOf((uint8_t *)h + kAltHeaderSize)) {
                    return "big block: seal broken";
                }
                if (h->prev ? h->prev->next != h : heap.bigBlocks != h) return "big block not linked on bigBlocks";
                used++;
                prevFree = 0;
            }
            c = BytesAfter(c, size);
        }
        if (c != ps->commitEnd) return "big chunks do not tile their page set";
        if (used != ps->usedCount) return "big page set: usedCount differs from chunks in use";
        if (!used) {
            int listed = 0;
            for (VR_BigPageSet *q : heap.bigFree.keptEmpty) listed += q == ps;
            if (listed != 1) return "empty big page set not remembered once among the kept ones";
            keptBytes += Span(ps->regionEnd, ps);
        }
        usedChunks += used;
    }

    if (const char *problem = CheckFreeIndex(heap.bigFree, heap.bigPageSets, freeChunks)) return problem;
    if (keptBytes > kKeepEmptyBig) return "empty big page sets kept beyond the bound";
    for (VR_BigPageSet *q : heap.bigFree.keptEmpty) {
        VR_BigPageSet *ps = heap.bigPageSets;
        while (ps && ps != q) ps = (VR_BigPageSet *)ps->next;
        if (q && !ps) return "a kept empty big page set is not the heap's";
    }

    uint32_t directs = 0, headers = 0;
    VR_AltBlock *prevH = 0;
    for (VR_AltBlock *h = heap.bigBlocks; h; prevH = h, h = h->next) {
        if (++headers > kMaxHeaders) return "bigBlocks does not end";
        if (h->prev != prevH) return "bigBlocks: broken prev link";
        if (h->heap != &heap) return "bigBlocks: header names another heap";
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
    if (directs != heap.directCount) return "directCount differs from the direct blocks on bigBlocks";
    if (headers - directs != usedChunks) return "big blocks on bigBlocks differ from chunks in use";
    if (cachedChunks != bigWaiting) return "big blocks marked waiting differ from those in thread caches";
    if (heap.counters.bigBlocks != usedChunks) return "counters: bigBlocks differs from chunks in use";
    if (heap.counters.directBlocks != directs) return "counters: directBlocks differs from the direct blocks";
    return 0;
}
