/*
 * trim.h - the free insides of big page sets going back to the system,
 * and coming back when a block needs them again. Every big-block source
 * that frees or cuts a chunk calls in here; the chunk format itself is
 * chunks.h. Each expects the heap's lock to be held.
 */
#ifndef VR_HEAP_TRIM_H
#define VR_HEAP_TRIM_H

#include "chunks.h"

/*
 * The free inside of a big page set goes back to the system. The inner
 * regions of a free chunk are the whole 64 KB regions of the commit table
 * that lie after the region holding its head (size tag, owner, links) and
 * before the one holding its trailing tag. When a block is freed (or cut
 * down) beside a free chunk's inside, every run of committed inner regions
 * it touches goes back when it comes to the trim threshold; regions go
 * back whole runs at a time, and are committed again, region by region,
 * when a block is cut from them or a chunk in use grows over them.
 *
 * The threshold starts at kTrimMin and learns from the program: each
 * time a block is cut from (or grows over) regions that went back, they
 * went back too early, and the threshold doubles (and is at least twice
 * the block's chunk), up to kTrimMax. So a 30 MB block freed beside a
 * small block that lives on gives its pages back at once, always; a
 * program that frees buffers of a few MB and makes them again pays the
 * commits and page faults a few times, not at every round; and a small
 * block freed and made again at the edge of a large free inside leaves its
 * region committed (its run is short) instead of costing two system calls
 * each time. What a free chunk keeps committed is below the threshold per
 * run.
 *
 * Whole regions, because the commit table (pages.h) counts a committed
 * prefix per region: a region is then either all committed or not at all,
 * the table stays exact, and a stale pointer into a decommitted region
 * (a second free of a block merged into the free chunk) fails the seal
 * test's commit check instead of reading the page. Everything the heap
 * reads or writes of a free chunk -- both tags, its links -- lies in its
 * first and last region, which stay committed.
 *
 * Invariant (ValidateBig): every region of a big page set below commitEnd
 * is committed, except inner regions of free chunks, which may be either.
 */
enum {
    kTrimRegion = 0x10000,  /* the commit table's region: the unit decommitted */
    kTrimMin = 0x100000,    /* the trim threshold at first: 1 MB */
    kTrimMax = 0x1000000    /* the highest it learns: 16 MB */
};

/* Decommits each run of committed inner regions of the free chunk that
   reaches into [from - kTrimRegion, to + kTrimRegion) and comes to the
   trim threshold: the caller names the part of the chunk that was not
   free a moment ago (the regions of tags that have just become inner lie
   next to it), so the rest, trimmed when it became free, is not searched
   again. */
void TrimFreeChunk(VR_BigChunk *chunk, const void *from, const void *to);

/* Commits every decommitted region that [from, to) touches, for a block
   whose chunk will be blockBytes; the range lies in one free chunk, or in
   one and the chunk in use in front. When anything had to be committed,
   the trim threshold doubles, to at least twice blockBytes (up to
   kTrimMax). 0 when
   the system refuses (what was committed stays so: committed inner
   regions are allowed). */
int CommitInner(const void *from, const void *to, int nocache, uint32_t blockBytes);

/* Whether a free chunk of size bytes can hold a decommitted region at all
   (a chunk cut from the front of a trimmed one keeps its holes, so any
   chunk with an inner region may): the test that keeps CommitInner off
   the path of every smaller chunk. */
inline int MayHoldHoles(uint32_t size) { return size > kTrimRegion; }

/* Cuts a chunk in use down to keep bytes: the rest, merged with the free
   chunk behind it when there is one, goes into the index as one free
   chunk. The caller has seen that the rest is at least kMinChunk. */
inline void SplitTail(VR_BigChunk *chunk, uint32_t keep, VR_FreeIndex &index)
{
    VR_BigPageSet *ps = chunk->owner;
    uint32_t rest = ChunkSize(chunk) - keep;
    VR_BigChunk *tail = (VR_BigChunk *)BytesAfter(chunk, keep);
    uint8_t *tailEnd = BytesAfter(tail, rest);
    if (tailEnd != ps->commitEnd) {
        VR_BigChunk *next = (VR_BigChunk *)tailEnd;
        if (next->sizeTag & 1) {
            UnindexChunk(index, next);
            rest += ChunkSize(next);
        }
    }
    tail->owner = ps;
    SetTags(tail, rest | 1);
    IndexChunk(index, tail);
    SetTags(chunk, keep);
    /* The cut-off part was in use, so committed; the free chunk behind it
       was trimmed when it became free. A cut-off of less than a region (a
       block that grows or shrinks by steps) adds too little to look. */
    if (rest > kTrimMin && Span(tailEnd, tail) >= kTrimRegion) TrimFreeChunk(tail, tail, tailEnd);
}

#endif
