/*
 * units_test.cpp - page sets carved from units: every page set answers the
 * address tests as a reservation of its own would (marked while in use
 * only, counted under its kind, fresh pages when taken again), slots given
 * back are reused and an emptied unit goes back to the system, and when no
 * unit can be reserved the last 64 KB pieces still become page sets.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "os_memory.h"
#include "pages.h"
#include "space.h"
#include "system.h"
#include "validate.h"

namespace {

const uint32_t kGran = 0x10000;

uint32_t Reservations(int kind)
{
    VR_SpaceStats s[VR_SPACE_KINDS];
    SpaceTotals(s);
    return (uint32_t)s[kind].reservations;
}

int SlotIsFree(const void *p)
{
    uintptr_t base;
    uint64_t freeMask;
    if (!PageUnitOf(p, &base, &freeMask)) return -1;
    return (int)((freeMask >> (((uintptr_t)p - base) >> 16)) & 1);
}

/* Takes page sets until no unit has a free slot left (at least min). */
void TakeAllSlots(std::vector<void *> &held, size_t min)
{
    for (;;) {
        void *p = ReservePageSet(0, VR_SPACE_SMALL);
        ASSERT_NE(nullptr, p);
        held.push_back(p);
        uintptr_t base;
        uint64_t freeMask;
        ASSERT_TRUE(PageUnitOf(p, &base, &freeMask));
        /* Slot 0 of a unit with every other slot free: no other unit had a
           free slot, so the rest of this one is all there is. */
        uint64_t all = freeMask | 1;
        if (held.size() >= min && (uintptr_t)p == base && (all & (all + 1)) == 0 && all >= 0xFFFF) {
            for (int n = __builtin_popcountll(freeMask); n > 0; n--) held.push_back(ReservePageSet(0, VR_SPACE_SMALL));
            return;
        }
    }
}

void GiveBack(std::vector<void *> &held)
{
    for (void *p : held) ReleasePageSet(p, 0);
    held.clear();
}

} // namespace

TEST(PageUnits, PageSetsAreCarvedReusedAndGivenBack)
{
    uint32_t small = Reservations(VR_SPACE_SMALL), oneSize = Reservations(VR_SPACE_ONESIZE);
    std::vector<uint8_t *> sets;
    for (int i = 0; i < 40; i++) {
        uint8_t *p = (uint8_t *)ReservePageSet(0, i % 4 ? VR_SPACE_SMALL : VR_SPACE_ONESIZE);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(0u, (uintptr_t)p & (kGran - 1));
        EXPECT_TRUE(IsDynamicMemory(p));
        EXPECT_TRUE(IsDynamicMemory(p + kGran - 1));
        EXPECT_EQ(0, SlotIsFree(p));
        EXPECT_EQ(i % 4 ? VR_SPACE_SMALL : VR_SPACE_ONESIZE, SpaceKindOf((uintptr_t)p));
        ASSERT_NE(nullptr, CommitPages(p, 2 * s_pageSize, 0));
        memset(p, 0xA5, 2 * s_pageSize);
        sets.push_back(p);
    }
    EXPECT_EQ(small + 30, Reservations(VR_SPACE_SMALL));
    EXPECT_EQ(oneSize + 10, Reservations(VR_SPACE_ONESIZE));
    EXPECT_EQ(nullptr, ValidateRegionMap());

    /* A page set given back is no library memory, its slot is free and
       decommitted, and counted as small page sets' again. */
    uint8_t *middle = sets[20];
    ReleasePageSet(middle, 2 * s_pageSize);
    EXPECT_FALSE(IsDynamicMemory(middle));
    EXPECT_EQ(1, SlotIsFree(middle));
    EXPECT_EQ(VR_SPACE_SMALL, SpaceKindOf((uintptr_t)middle));
    EXPECT_EQ(oneSize + 9, Reservations(VR_SPACE_ONESIZE));
    vr_os::RegionInfo info;
    ASSERT_EQ(1, vr_os::QueryRegion(middle, &info));
    EXPECT_EQ(0, info.committed);
    EXPECT_EQ(nullptr, ValidateRegionMap());

    /* The slot is taken again before anything new is reserved, and its
       pages come back zero. */
    uint32_t reserves = VR_FaultCalls(vr_os::kFaultReserve);
    uint8_t *again = (uint8_t *)ReservePageSet(0, VR_SPACE_SMALL);
    EXPECT_EQ(middle, again);
    EXPECT_EQ(reserves + 1, VR_FaultCalls(vr_os::kFaultReserve));
    ASSERT_NE(nullptr, CommitPages(again, s_pageSize, 0));
    EXPECT_EQ(0, again[0] | again[s_pageSize - 1]);
    sets[20] = again;

    /* A taken slot that the seam refuses leaves everything as it was. */
    ReleasePageSet(again, s_pageSize);
    uint32_t marked = Reservations(VR_SPACE_SMALL);
    VR_SetFault(vr_os::kFaultReserve, 1, 1);
    EXPECT_EQ(nullptr, ReservePageSet(0, VR_SPACE_SMALL));
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    EXPECT_EQ(1, SlotIsFree(again));
    EXPECT_EQ(marked, Reservations(VR_SPACE_SMALL));
    sets[20] = (uint8_t *)ReservePageSet(0, VR_SPACE_SMALL);

    /* Every page set given back: at most one of their units stays, empty. */
    for (uint8_t *p : sets) ReleasePageSet(p, sets[20] == p ? 0 : 2 * s_pageSize);
    int kept = 0;
    for (uint8_t *p : sets) {
        EXPECT_FALSE(IsDynamicMemory(p));
        uintptr_t base;
        uint64_t freeMask;
        if (PageUnitOf(p, &base, &freeMask) && (uintptr_t)p == base) kept++;
    }
    EXPECT_LE(kept, 1);
    EXPECT_EQ(small, Reservations(VR_SPACE_SMALL));
    EXPECT_EQ(oneSize, Reservations(VR_SPACE_ONESIZE));
    EXPECT_EQ(nullptr, ValidateRegionMap());
}

TEST(PageUnits, LastPiecesOfAddressSpaceStillBecomePageSets)
{
    /* Enough page sets that more than kUnitsFirst units are live whatever
       their sizes (so the next would be of the larger size), and no free
       slot left anywhere. */
    std::vector<void *> held;
    TakeAllSlots(held, kUnitsFirst * kUnitSlotsLater + 1);
    if (HasFatalFailure()) return;
    EXPECT_EQ(nullptr, ValidateRegionMap());

    /* Neither size of unit can be had: a reservation of 64 KB serves. */
    VR_SetFault(vr_os::kFaultReserve, 1, 2);
    void *single = ReservePageSet(0, VR_SPACE_SMALL);
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    ASSERT_NE(nullptr, single);
    uintptr_t base;
    uint64_t freeMask;
    EXPECT_FALSE(PageUnitOf(single, &base, &freeMask));
    EXPECT_TRUE(IsDynamicMemory(single));
    vr_os::RegionInfo info;
    ASSERT_EQ(1, vr_os::QueryRegion(single, &info));
    EXPECT_EQ((uintptr_t)single, info.allocationBase);

    /* Nothing at all: null, and the map is as it was. */
    uint8_t before[sizeof s_regionMap];
    memcpy(before, s_regionMap, sizeof before);
    VR_SetFault(vr_os::kFaultReserve, 1, 3);
    EXPECT_EQ(nullptr, ReservePageSet(0, VR_SPACE_SMALL));
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    EXPECT_EQ(0, memcmp(before, s_regionMap, sizeof before));

    ReleasePageSet(single, 0);
    EXPECT_FALSE(IsDynamicMemory(single));
    GiveBack(held);
    EXPECT_EQ(nullptr, ValidateRegionMap());
}
