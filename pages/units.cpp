/*
 * units.cpp - page sets carved from units of 1 MB and 4 MB (see units.h).
 *
 * The units live in a static pool, found from any address of theirs through
 * a table with one entry per 64 KB region, so that giving a page set back
 * needs no search. Every list and table here is written under the process
 * lock; the system calls that reserve a unit and decommit a slot are made
 * outside it.
 */
#include <stddef.h>

#include "units.h"
#include "os_assert.h"
#include "os_memory.h"
#include "pages.h"
#include "space.h"
#include "system.h"

namespace {

const uint32_t kSlotBytes = 0x10000;
/* Units fit the 4 GB address space this many times at most; 0 is none. */
const uint32_t kMaxUnits = 0x100000000ull / (kUnitSlotsFirst * kSlotBytes);

/* One unit. Invariant: base is 64 KB-aligned and nonzero while the unit is
   live; it has slots slots (kUnitSlotsFirst or kUnitSlotsLater); freeMask
   has bit i set when slot i (base + i * 64 KB) is free; next/prev link the
   units that have a free slot (0 ends). */
struct VR_PageUnit {
    uint64_t freeMask;
    uint32_t base;
    uint16_t next;
    uint16_t prev;
    uint8_t slots;
    uint8_t listed;   /* 1 while on the list of units with a free slot */
    uint16_t unused1;
    uint32_t unused2;
};
static_assert(sizeof(VR_PageUnit) == 24, "a unit record is 24 bytes");
static_assert(offsetof(VR_PageUnit, base) == 8, "unit record layout");
static_assert(offsetof(VR_PageUnit, slots) == 16, "unit record layout");
static_assert(kUnitSlotsLater <= 64, "the free mask has 64 bits");

/* The kind a unit and its free slots are counted under; a slot handed out
   for another kind is counted under that kind while in use. */
const int kUnitKind = VR_SPACE_SMALL;

VR_PageUnit s_units[kMaxUnits + 1];
uint16_t s_unitOfRegion[65536];       /* unit index of each region of a live unit */
uint16_t s_withFree;                  /* units with a free slot */
uint16_t s_poolFree;                  /* records not in use, linked by next */
uint32_t s_poolUsed = 1;              /* records ever handed out (0 is none) */
uint16_t s_emptyUnit;                 /* the one unit kept with every slot free */
uint32_t s_liveUnits;

inline uint64_t AllFree(const VR_PageUnit &u)
{
    return u.slots >= 64 ? ~0ull : (1ull << u.slots) - 1;
}

inline uint32_t UnitBytes(const VR_PageUnit &u)
{
    return u.slots * kSlotBytes;
}

void Link(uint16_t i)
{
    VR_PageUnit &u = s_units[i];
    uint16_t &head = s_withFree;
    u.prev = 0;
    u.next = head;
    if (head) s_units[head].prev = i;
    head = i;
    u.listed = 1;
}

void Unlink(uint16_t i)
{
    VR_PageUnit &u = s_units[i];
    if (u.next) s_units[u.next].prev = u.prev;
    if (u.prev) s_units[u.prev].next = u.next;
    else s_withFree = u.next;
    u.next = u.prev = 0;
    u.listed = 0;
}

uint16_t NewRecord()
{
    uint16_t i = s_poolFree;
    if (i) {
        s_poolFree = s_units[i].next;
        return i;
    }
    return s_poolUsed <= kMaxUnits ? (uint16_t)s_poolUsed++ : 0;
}

/* Hands out slot s of unit i as a page set of kind. Under the process
   lock. */
void *TakeSlot(uint16_t i, uint32_t s, int kind)
{
    VR_PageUnit &u = s_units[i];
    u.freeMask &= ~(1ull << s);
    if (!u.freeMask) Unlink(i);
    uintptr_t base = (uintptr_t)u.base + s * kSlotBytes;
    MarkRegions(base, kSlotBytes, 1);
    if (kind != kUnitKind) SpaceRetag((const void *)base, kSlotBytes, 0, kind, 0);
    SpaceCountReservation(kind, 1);
    return (void *)base;
}

/* Releases unit i to the system. Under the process lock, so that its table
   entries and tags are gone before the range can be reserved again. */
int ReleaseUnit(uint16_t i)
{
    VR_PageUnit &u = s_units[i];
    uintptr_t base = u.base;
    if (!vr_os::Release((void *)base)) return 0;
    SpaceReleased(base, 0, UnitBytes(u), 0);
    for (uint32_t r = 0; r < u.slots; r++) s_unitOfRegion[(base >> 16) + r] = 0;
    u.base = 0;
    s_liveUnits--;
    u.next = s_poolFree;
    s_poolFree = i;
    return 1;
}

} // namespace

void *ReservePageSet(int nocache, int kind)
{
    if (__atomic_load_n(&s_pageSize, __ATOMIC_ACQUIRE) == 0) LoadSystemInfo();
    if (kind < 0 || kind >= VR_SPACE_KINDS) kind = VR_SPACE_LIBRARY;
    /* Uncached pages are a property of the whole reservation on Windows:
       such page sets keep a reservation of their own. */
    if (nocache) return ReservePages(kSlotBytes, nocache, kind);

    {
        VR_ProcessLockGuard guard;
        uint16_t i = s_withFree;
        if (!i) i = s_emptyUnit;
        if (i) {
            /* To the tests, taking a slot is a reservation like any other. */
            if (vr_os::FaultHit(vr_os::kFaultReserve)) return 0;
            if (i == s_emptyUnit) {
                s_emptyUnit = 0;
                Link(i);
            }
            return TakeSlot(i, (uint32_t)__builtin_ctzll(s_units[i].freeMask), kind);
        }
    }

    /* The first units are small, so that a small program holds little
       address space it does not use; once it holds a few, larger units
       lose less of the address space to the system's own rounding and
       bookkeeping (under Wine a 4 MB reservation leaves about 3% more of
       a 2 GB process usable than a 1 MB one). */
    uint32_t slots = __atomic_load_n(&s_liveUnits, __ATOMIC_RELAXED) < kUnitsFirst ? kUnitSlotsFirst : kUnitSlotsLater;
    void *unit = vr_os::Reserve(slots * kSlotBytes, 0);
    if (!unit && slots != kUnitSlotsFirst) {
        slots = kUnitSlotsFirst;
        unit = vr_os::Reserve(slots * kSlotBytes, 0);
    }
    if (!unit) {
        /* No unit fits any more: the remaining pieces of 64 KB are still
           worth a page set each. */
        return ReservePages(kSlotBytes, 0, kind);
    }
    VR_ProcessLockGuard guard;
    uint16_t i = NewRecord();
    if (!i) {
        /* Cannot happen while 4 GB hold no more units than there are
           records; a page set of its own would still do. */
        vr_os::Release(unit);
        return ReservePages(kSlotBytes, 0, kind);
    }
    uintptr_t base = (uintptr_t)unit;
    VR_PageUnit &u = s_units[i];
    u.base = (uint32_t)base;
    u.slots = (uint8_t)slots;
    u.freeMask = AllFree(u);
    u.listed = 0;
    s_liveUnits++;
    for (uint32_t r = 0; r < slots; r++) s_unitOfRegion[(base >> 16) + r] = i;
    SpaceReserved(base, UnitBytes(u), kUnitKind, 0);
    Link(i);
    return TakeSlot(i, 0, kind);
}

void ReleasePageSet(void *base, uint32_t committed)
{
    uintptr_t b = (uintptr_t)base;
    if (!b || (b & (kSlotBytes - 1))) return;
    /* The slot is in use, so its unit cannot go away meanwhile. */
    uint16_t i = __atomic_load_n(&s_unitOfRegion[b >> 16], __ATOMIC_RELAXED);
    if (!i) {
        ReleasePages(base, committed, kSlotBytes);
        return;
    }
    /* Decommitted before the slot is free: whoever takes it next commits
       it afresh and must find it zero. */
    if (committed) DecommitPages(base, committed);

    VR_ProcessLockGuard guard;
    VR_PageUnit &u = s_units[i];
    uint32_t s = (uint32_t)(b - u.base) / kSlotBytes;
    VR_ASSERT(!(u.freeMask & (1ull << s)));
    MarkRegions(b, kSlotBytes, 0);
    int kind = SpaceKindOf(b);
    SpaceCountReservation(kind, -1);
    if (kind != kUnitKind) SpaceRetag(base, kSlotBytes, 0, kUnitKind, 0);
    u.freeMask |= 1ull << s;
    if (u.freeMask != AllFree(u)) {
        if (!u.listed) Link(i);
        return;
    }
    Unlink(i);
    if (!s_emptyUnit) {
        s_emptyUnit = i;
        return;
    }
    /* A unit the system will not take back stays available for slots. */
    if (!ReleaseUnit(i)) Link(i);
}

int DropEmptyUnit()
{
    VR_ProcessLockGuard guard;
    uint16_t i = s_emptyUnit;
    if (!i) return 0;
    s_emptyUnit = 0;
    if (ReleaseUnit(i)) return 1;
    Link(i);
    return 0;
}

int PageUnitOf(const void *a, uintptr_t *base, uint64_t *freeMask)
{
    VR_ProcessLockGuard guard;
    uint16_t i = s_unitOfRegion[(uintptr_t)a >> 16];
    if (!i) return 0;
    *base = s_units[i].base;
    *freeMask = s_units[i].freeMask;
    return 1;
}

const char *ValidatePageUnits()
{
    VR_ProcessLockGuard guard;
    uint32_t live = 0, listed = 0, regions = 0;
    for (uint32_t i = 1; i < s_poolUsed; i++) {
        const VR_PageUnit &u = s_units[i];
        if (!u.base) continue;
        live++;
        if (u.base & (kSlotBytes - 1)) return "unit: base not 64 KB-aligned";
        if (u.slots != kUnitSlotsFirst && u.slots != kUnitSlotsLater) return "unit: neither size of unit";
        if (u.freeMask & ~AllFree(u)) return "unit: a free bit beyond its slots";
        if (i == s_emptyUnit ? u.freeMask != AllFree(u) || u.listed : u.listed != (u.freeMask != 0))
            return "unit: on the list while full, or off it with a free slot";
        regions += u.slots;
        for (uint32_t s = 0; s < u.slots; s++) {
            uintptr_t a = (uintptr_t)u.base + s * kSlotBytes;
            if (s_unitOfRegion[a >> 16] != i) return "unit: a region does not name its unit";
            int freeSlot = (int)((u.freeMask >> s) & 1);
            if (freeSlot ? SpaceKindOf(a) != kUnitKind : SpaceKindOf(a) < 0)
                return "unit: a free slot not counted as small page sets', or a slot in use of no kind";
            if ((IsLibraryMemory((const void *)a) == 0) != freeSlot) return "unit: slot in use not marked, or free slot marked";
            vr_os::RegionInfo info;
            if (!vr_os::QueryRegion((const void *)a, &info) || info.allocationBase != u.base)
                return "unit: a slot does not lie in the unit's reservation";
            if (freeSlot && info.committed) return "unit: a free slot holds committed pages";
        }
    }
    uint16_t prev = 0;
    for (uint16_t i = s_withFree; i; prev = i, i = s_units[i].next) {
        if (++listed > live) return "unit list: a cycle";
        if (!s_units[i].base || s_units[i].prev != prev || !s_units[i].listed) return "unit list: a broken link";
    }
    if (live != s_liveUnits) return "units: live count wrong";
    for (uint32_t r = 0; r < 65536; r++)
        if (s_unitOfRegion[r]) regions--;
    if (regions) return "unit table: regions of no live unit";
    return 0;
}
