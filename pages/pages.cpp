/*
 * pages.cpp - page services and the region map.
 *
 * Every reservation the heaps make goes through ReservePages, which marks one
 * bit per 64 KB region in s_regionMap, and is given back through
 * ReleasePages, which clears them again; ownership tests elsewhere are then
 * one byte load. The map is written only under the process lock (system.cpp).
 * The two exported address tests live here too.
 */
#include "pages.h"
#include "os_memory.h"
#include "space.h"
#include "system.h"

uint8_t s_regionMap[8192];
/* The same map under a name that stays inside the library, so that the
   library's own tests of it need no indirection through the global offset
   table (position-independent code reaches exported data only that way). */
extern uint8_t s_regionMapLocal[8192] __attribute__((alias("s_regionMap")));

uint8_t s_committedSteps[65536];

namespace {

const uint32_t kRegionBits = 16;  /* the map's bit index always uses 64 KB */

/* Sets or clears the map bit of base, base + granularity, ... up to and
   including base + size - 1. The caller holds the process lock. */
void MarkRange(uintptr_t base, uint32_t size, int set)
{
    if (size == 0) return;
    uint32_t step = s_granularity ? s_granularity : 1u << kRegionBits;
    /* 64-bit so that a range touching the top of 4 GB ends the loop instead
       of wrapping round to the bottom. */
    uint64_t last = (uint64_t)base + size - 1;
    if (last > 0xFFFFFFFFull) last = 0xFFFFFFFFull;
    for (uint64_t a = base; a <= last; a += step) {
        uint8_t bit = (uint8_t)(1u << ((a >> kRegionBits) & 7));
        uint8_t &byte = s_regionMap[a >> 19];
        byte = set ? (uint8_t)(byte | bit) : (uint8_t)(byte & ~bit);
    }
}


/* Records that [a, end) is now committed (grow) or no longer is (shrink).
   A region's prefix grows only by a stretch that joins it, which is how
   every reservation grows; pages committed past a gap are left out, and
   so are treated as not readable, never the other way round. */
void RecordCommit(uint64_t a, uint64_t end, int grow)
{
    if (end > 0x100000000ull) end = 0x100000000ull;
    for (uint64_t region = a & ~0xFFFFull; region < end; region += 0x10000) {
        uint8_t *steps = &s_committedSteps[region >> 16];
        uint32_t have = __atomic_load_n(steps, __ATOMIC_RELAXED), now;
        if (grow) {
            if (a > region + have * kCommitStep) continue;
            uint64_t top = end - region;
            now = top >= 0x10000 ? kStepsPerRegion : (uint32_t)((top + kCommitStep - 1) / kCommitStep);
            if (now < have) now = have;
        } else {
            now = a <= region ? 0 : (uint32_t)((a - region) / kCommitStep);
            if (now > have) now = have;
        }
        __atomic_store_n(steps, (uint8_t)now, __ATOMIC_RELEASE);
    }
}

} // namespace

void *ReservePages(uint32_t size, int nocache, int kind)
{
    /* The information is needed for the overflow check below, so it is read
       before the reservation rather than after it. */
    if (__atomic_load_n(&s_pageSize, __ATOMIC_ACQUIRE) == 0) LoadSystemInfo();
    uint32_t rounded;
    if (!RoundUpChecked(size, s_granularity, &rounded)) return 0;
    void *base = vr_os::Reserve(size, nocache);
    if (!base) return 0;
    ProcessLockEnter();
    MarkRange((uintptr_t)base, size, 1);
    SpaceReserved((uintptr_t)base, size, kind);
    ProcessLockLeave();
    return base;
}

void *CommitPages(void *address, uint32_t size, int nocache)
{
    /* A null address would make the system pick one: a fresh block nobody
       records, reported as success. */
    if (!address || (uintptr_t)address + size < (uintptr_t)address) return 0;
    if (!vr_os::Commit(address, size, nocache)) return 0;
    SpaceCommitted(address, size);
    RecordCommit((uintptr_t)address, (uint64_t)(uintptr_t)address + size, 1);
    return address;
}

void DecommitPages(void *address, uint32_t size)
{
    if (!address) return;
    /* Recorded first: from now on nobody may read these pages. */
    RecordCommit((uintptr_t)address, (uint64_t)(uintptr_t)address + size, 0);
    vr_os::Decommit(address, size);
    SpaceDecommitted(address, size);
}

void ReleasePages(void *base, uint32_t committedSize, uint32_t reservedSize)
{
    if (__atomic_load_n(&s_pageSize, __ATOMIC_ACQUIRE) == 0) LoadSystemInfo();
    /* Only a reservation's base can be released. When the system refuses,
       the map stays as it is: clearing it would disown memory that is still
       reserved, and its blocks would then pass for foreign ones. */
    if (!base || ((uintptr_t)base & (s_granularity - 1))) return;
    /* Releasing gives the committed pages back with the rest, so they are
       not decommitted one step earlier: that would only cost a system call,
       and for a base the system then refuses it would destroy live data. */
    /* The committed size is still what the statistics count as released. */
    /* Released and unmarked under one hold of the lock: once released, the
       range may come straight back to another thread's ReservePages, and
       its marks must not be cleared by this late release. That thread
       marks under the same lock, so it waits until this clearing is done. */
    /* The commit table is cleared before the system is asked, as
       DecommitPages does: a reader that looks at the table before it reads
       (a free of a block that another thread is giving back at this
       moment, a racing double free of a direct block) then finds nothing
       to read while the system takes the pages away, not pages that are
       about to fault. Should the system refuse, the pages stay reserved
       and unread: memory the library no longer uses either way. */
    ProcessLockEnter();
    RecordCommit((uintptr_t)base, (uint64_t)(uintptr_t)base + reservedSize, 0);
    if (vr_os::Release(base)) {
        SpaceReleased((uintptr_t)base, committedSize, reservedSize);
        MarkRange((uintptr_t)base, reservedSize, 0);
    }
    ProcessLockLeave();
}

uint32_t CommittedBytesIn(const void *base, uint32_t size)
{
    uint64_t a = (uintptr_t)base, end = a + size, total = 0;
    if (end > 0x100000000ull) end = 0x100000000ull;
    while (a < end) {
        uint64_t region = a & ~0xFFFFull, next = region + 0x10000;
        uint64_t top = region + (uint64_t)__atomic_load_n(&s_committedSteps[region >> 16], __ATOMIC_RELAXED) * kCommitStep;
        uint64_t stop = next < end ? next : end;
        if (top > stop) top = stop;
        if (top > a) total += top - a;
        a = stop;
    }
    return (uint32_t)total;
}

void MarkRegions(uintptr_t base, uint32_t size, int set)
{
    MarkRange(base, size, set);
}

VR_API int IsDynamicMemory(void const *p)
{
    uintptr_t a = (uintptr_t)p;
    ProcessLockEnter();
    int bit = s_regionMap[a >> 19] & (1u << ((a >> 16) & 7));
    ProcessLockLeave();
    return (int)(int8_t)(uint8_t)bit;
}

VR_API int IsStackMemory(void const *p)
{
    return vr_os::IsOnThreadStack(p);
}
