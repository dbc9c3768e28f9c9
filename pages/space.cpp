/*
 * space.cpp - the account of the address space the library holds (see
 * space.h): one kind byte per 64 KB region and, per kind, counters of
 * reservations and of reserved and committed bytes with their peaks.
 *
 * Reservations and releases are counted under the process lock, where the
 * page services mark the region map anyway. Commits and decommits happen
 * under a heap's lock only, so their counters are atomic adds; the kind of
 * the pages is read from the region's kind byte, which was written before
 * the reservation's address left ReservePages.
 */
#include <string.h>

#include "space.h"
#include "os_memory.h"
#include "system.h"

uint8_t s_regionKind[65536];

namespace {

const uint32_t kRegions = 65536;

struct VR_SpaceCounters {
    uint32_t reservations;
    uint32_t reserved;
    uint32_t committed;
    uint32_t peakReserved;
    uint32_t peakCommitted;
};
VR_SpaceCounters s_space[VR_SPACE_KINDS];
uint32_t s_committedAll;
uint32_t s_peakCommittedAll;

/* The watch on the committed total (SpaceWatchPeak): the total at which
   the watcher is called next, all ones while nobody watches, so a commit
   pays one compare for it; and who is being called now. */
uint32_t s_peakWatchAt = 0xFFFFFFFFu;
void (*s_peakWatcher)(uint32_t);
int s_peakWatchBusy;

void RaisePeak(uint32_t *peak, uint32_t value)
{
    uint32_t old = __atomic_load_n(peak, __ATOMIC_RELAXED);
    while (value > old &&
           !__atomic_compare_exchange_n(peak, &old, value, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}

/* Bytes of the whole pages covering [a, a + size). */
uint32_t PageSpan(uintptr_t a, uint32_t size)
{
    uint32_t page = s_pageSize ? s_pageSize : 4096;
    uint64_t first = a & ~(uint64_t)(page - 1);
    uint64_t end = ((uint64_t)a + size + page - 1) & ~(uint64_t)(page - 1);
    return (uint32_t)(end - first);
}

void TagRegions(uintptr_t base, uint32_t size, uint8_t tag)
{
    uint64_t end = (uint64_t)base + size;
    for (uint64_t a = base; a < end && a <= 0xFFFFFFFFull; a += 0x10000) s_regionKind[a >> 16] = tag;
}

/* The committed total reached the watch mark: the watcher is called once,
   by one thread (a commit racing with it does not wait, it was counted in
   the total already), and the mark moves a sixteenth higher (at least
   1 MB), so a whole run calls it at most about 150 times. */
void PeakReached(uint32_t all)
{
    if (__atomic_exchange_n(&s_peakWatchBusy, 1, __ATOMIC_ACQUIRE)) return;
    if (all >= __atomic_load_n(&s_peakWatchAt, __ATOMIC_RELAXED)) {
        uint32_t margin = all / 16 > 0x100000 ? all / 16 : 0x100000;
        uint32_t next = all + margin < all ? 0xFFFFFFFFu : all + margin;
        __atomic_store_n(&s_peakWatchAt, next, __ATOMIC_RELAXED);
        void (*watcher)(uint32_t) = __atomic_load_n(&s_peakWatcher, __ATOMIC_ACQUIRE);
        if (watcher) watcher(all);
    }
    __atomic_store_n(&s_peakWatchBusy, 0, __ATOMIC_RELEASE);
}

void AddCommitted(int kind, uint32_t bytes)
{
    uint32_t now = __atomic_add_fetch(&s_space[kind].committed, bytes, __ATOMIC_RELAXED);
    RaisePeak(&s_space[kind].peakCommitted, now);
    uint32_t all = __atomic_add_fetch(&s_committedAll, bytes, __ATOMIC_RELAXED);
    RaisePeak(&s_peakCommittedAll, all);
    if (all >= __atomic_load_n(&s_peakWatchAt, __ATOMIC_RELAXED)) PeakReached(all);
}

void SubCommitted(int kind, uint32_t bytes)
{
    __atomic_sub_fetch(&s_space[kind].committed, bytes, __ATOMIC_RELAXED);
    __atomic_sub_fetch(&s_committedAll, bytes, __ATOMIC_RELAXED);
}

} // namespace

void SpaceReserved(uintptr_t base, uint32_t size, int kind, int reservations)
{
    if (kind < 0 || kind >= VR_SPACE_KINDS) kind = VR_SPACE_LIBRARY;
    uint32_t rounded;
    if (!RoundUpChecked(size, 0x10000, &rounded)) rounded = 0u - (uint32_t)base;
    TagRegions(base, rounded, (uint8_t)(kind + 1));
    VR_SpaceCounters &c = s_space[kind];
    c.reservations += reservations;
    RaisePeak(&c.peakReserved, __atomic_add_fetch(&c.reserved, rounded, __ATOMIC_RELAXED));
}

void SpaceReleased(uintptr_t base, uint32_t committed, uint32_t reserved, int reservations)
{
    int kind = SpaceKindOf(base);
    if (kind < 0) return;
    uint32_t rounded;
    if (!RoundUpChecked(reserved, 0x10000, &rounded)) rounded = 0u - (uint32_t)base;
    TagRegions(base, rounded, 0);
    VR_SpaceCounters &c = s_space[kind];
    c.reservations -= reservations;
    __atomic_sub_fetch(&c.reserved, rounded, __ATOMIC_RELAXED);
    if (committed) SubCommitted(kind, PageSpan(base, committed));
}

void SpaceCountReservation(int kind, int delta)
{
    if (kind >= 0 && kind < VR_SPACE_KINDS) s_space[kind].reservations += delta;
}

void SpaceCommitted(const void *address, uint32_t size)
{
    int kind = SpaceKindOf((uintptr_t)address);
    if (kind >= 0 && size) AddCommitted(kind, PageSpan((uintptr_t)address, size));
}

void SpaceDecommitted(const void *address, uint32_t size)
{
    int kind = SpaceKindOf((uintptr_t)address);
    if (kind >= 0 && size) SubCommitted(kind, PageSpan((uintptr_t)address, size));
}

void SpaceRetag(const void *base, uint32_t reserved, uint32_t committed, int kind, int reservations)
{
    int old = SpaceKindOf((uintptr_t)base);
    if (old < 0 || old == kind || kind < 0 || kind >= VR_SPACE_KINDS) return;
    uint32_t rounded;
    if (!RoundUpChecked(reserved, 0x10000, &rounded)) return;
    uint32_t bytes = committed ? PageSpan((uintptr_t)base, committed) : 0;
    s_space[old].reservations -= reservations;
    __atomic_sub_fetch(&s_space[old].reserved, rounded, __ATOMIC_RELAXED);
    SubCommitted(old, bytes);
    TagRegions((uintptr_t)base, rounded, (uint8_t)(kind + 1));
    s_space[kind].reservations += reservations;
    uint32_t now = __atomic_add_fetch(&s_space[kind].reserved, rounded, __ATOMIC_RELAXED);
    RaisePeak(&s_space[kind].peakReserved, now);
    AddCommitted(kind, bytes);
}

int SpaceKindOf(uintptr_t a)
{
    return (int)__atomic_load_n(&s_regionKind[a >> 16], __ATOMIC_RELAXED) - 1;
}

void SpaceTotals(VR_SpaceStats out[VR_SPACE_KINDS])
{
    for (int k = 0; k < VR_SPACE_KINDS; k++) {
        out[k].reservations = __atomic_load_n(&s_space[k].reservations, __ATOMIC_RELAXED);
        out[k].reservedBytes = __atomic_load_n(&s_space[k].reserved, __ATOMIC_RELAXED);
        out[k].committedBytes = __atomic_load_n(&s_space[k].committed, __ATOMIC_RELAXED);
        out[k].peakReservedBytes = __atomic_load_n(&s_space[k].peakReserved, __ATOMIC_RELAXED);
        out[k].peakCommittedBytes = __atomic_load_n(&s_space[k].peakCommitted, __ATOMIC_RELAXED);
    }
}

void SpaceWatchPeak(void (*watcher)(uint32_t committed), uint32_t first)
{
    __atomic_store_n(&s_peakWatcher, watcher, __ATOMIC_RELEASE);
    __atomic_store_n(&s_peakWatchAt, watcher ? first : 0xFFFFFFFFu, __ATOMIC_RELAXED);
}

uint32_t SpaceCommittedTotal()
{
    return __atomic_load_n(&s_committedAll, __ATOMIC_RELAXED);
}

uint32_t SpacePeakCommitted()
{
    return __atomic_load_n(&s_peakCommittedAll, __ATOMIC_RELAXED);
}

void SpaceMap(uint8_t *codes, uint32_t *freeFirst, uint32_t *freeCount, int lock)
{
    /* What the system says first, then the library's kinds over it: the
       library knows its own reservations better (a page set's reserved tail
       is still the page set's). */
    vr_os::QueryAddressSpace(codes);
    if (lock) ProcessLockEnter();
    for (uint32_t r = 0; r < kRegions; r++) {
        uint8_t k = s_regionKind[r];
        if (k) codes[r] = (uint8_t)(kRegionLibrary + k - 1);
    }
    if (lock) ProcessLockLeave();
    uint32_t bestFirst = 0, bestCount = 0;
    for (uint32_t r = 0; r < kRegions;) {
        if (codes[r] != kRegionFree) {
            r++;
            continue;
        }
        uint32_t first = r;
        while (r < kRegions && codes[r] == kRegionFree) r++;
        if (r - first > bestCount) {
            bestCount = r - first;
            bestFirst = first;
        }
    }
    *freeFirst = bestFirst;
    *freeCount = bestCount;
}
