/*
 * trim.cpp - giving the free insides of big page sets back to the system
 * and committing them again, with the threshold that learns from the
 * program how early to give them back (trim.h).
 */
#include "trim.h"

namespace {

/* The trim threshold (trim.h): one for the process, as what it learns is
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
           twice the block (trim.h). */
        uint32_t t = __atomic_load_n(&s_trimThreshold, __ATOMIC_RELAXED);
        uint32_t learnt = t >= kTrimMax / 2 ? (uint32_t)kTrimMax : t * 2;
        if (blockBytes >= kTrimMax / 2) learnt = kTrimMax;
        else if (learnt < blockBytes * 2) learnt = blockBytes * 2;
        __atomic_store_n(&s_trimThreshold, learnt, __ATOMIC_RELAXED);
    }
    return 1;
}
