/*
 * pages_test.cpp - page services and the region map: marking and clearing,
 * the two exported address tests, the process lock, sizes whose rounding
 * would pass 2^32, and reservation and commit failures injected through the
 * fault seam, each of which must leave the map exactly as it was.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <stdlib.h>
#include <string.h>
#include <thread>

#include "os_memory.h"
#include "pages.h"
#include "system.h"
#include "validate.h"

namespace {

const uint32_t kGran = 0x10000;

uint32_t CountMapBits()
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < sizeof s_regionMap; i++) n += __builtin_popcount(s_regionMap[i]);
    return n;
}

struct MapSnapshot {
    uint8_t bits[sizeof s_regionMap];
    MapSnapshot() { memcpy(bits, s_regionMap, sizeof bits); }
    bool Unchanged() const { return memcmp(bits, s_regionMap, sizeof bits) == 0; }
};

int s_staticVariable;

} // namespace

TEST(RegionMap, ReservationMarksItsRegionsAndReleaseClearsThem)
{
    void *warm = ReservePages(kGran, 0);  /* loads the system information */
    ASSERT_NE(nullptr, warm);
    ReleasePages(warm, 0, kGran);
    EXPECT_EQ(0x10000u, s_granularity);
    EXPECT_EQ(0xFFFF0000u, s_granularityMask);

    uint32_t before = CountMapBits();
    const uint32_t size = 0x100000 + 1;
    uint8_t *base = (uint8_t *)ReservePages(size, 0);
    ASSERT_NE(nullptr, base);
    EXPECT_EQ(0u, (uintptr_t)base & 0xFFFF);
    EXPECT_EQ(before + 17, CountMapBits());
    for (uint32_t r = 0; r < 17; r++) EXPECT_TRUE(IsLibraryMemory(base + r * kGran)) << r;
    EXPECT_EQ(nullptr, ValidateRegionMap());

    /* Reserving commits nothing; committing leaves the map alone. */
    vr_os::RegionInfo info;
    ASSERT_EQ(1, vr_os::QueryRegion(base, &info));
    EXPECT_EQ(0, info.committed);
    MapSnapshot marked;
    ASSERT_EQ(base + kGran, CommitPages(base + kGran, 3 * s_pageSize, 0));
    base[kGran] = 1;
    EXPECT_TRUE(marked.Unchanged());

    ReleasePages(base, 0, size);
    EXPECT_EQ(before, CountMapBits());
    for (uint32_t r = 0; r < 17; r++) EXPECT_FALSE(IsLibraryMemory(base + r * kGran)) << r;
    EXPECT_EQ(nullptr, ValidateRegionMap());
}

TEST(RegionMap, BadRequestsChangeNothing)
{
    MapSnapshot snap;
    EXPECT_EQ(nullptr, ReservePages(0, 0));
    /* Rounded to 64 KB these would pass 2^32. */
    EXPECT_EQ(nullptr, ReservePages(0xFFFFFFFFu, 0));
    EXPECT_EQ(nullptr, ReservePages(0xFFFF0001u, 1));
    EXPECT_EQ(nullptr, CommitPages(nullptr, s_pageSize, 0));
    EXPECT_TRUE(snap.Unchanged());

    uint8_t *base = (uint8_t *)ReservePages(2 * kGran, 0);
    ASSERT_NE(nullptr, base);
    MapSnapshot marked;
    EXPECT_EQ(nullptr, CommitPages(base, 3 * kGran, 0));          /* past the end */
    EXPECT_EQ(nullptr, CommitPages(base + kGran, 0xFFFFFFFFu, 0)); /* wraps */
    ReleasePages(base + kGran, 0, kGran);  /* not a base: nothing happens */
    ReleasePages(nullptr, 0, 4 * kGran);
    EXPECT_TRUE(marked.Unchanged());
    vr_os::RegionInfo info;
    ASSERT_EQ(1, vr_os::QueryRegion(base + kGran, &info));
    EXPECT_EQ((uintptr_t)base, info.allocationBase);
    ReleasePages(base, 0, 2 * kGran);
    EXPECT_TRUE(snap.Unchanged());
    EXPECT_EQ(nullptr, ValidateRegionMap());
}

TEST(RegionMap, InjectedFailuresLeaveTheMapAsItWas)
{
    MapSnapshot snap;
    VR_SetFault(vr_os::kFaultReserve, 1, 1);
    EXPECT_EQ(nullptr, ReservePages(kGran, 0));
    EXPECT_TRUE(snap.Unchanged());
    void *ok = ReservePages(kGran, 0);
    ASSERT_NE(nullptr, ok);

    VR_SetFault(vr_os::kFaultCommit, 1, 1);
    MapSnapshot marked;
    EXPECT_EQ(nullptr, CommitPages(ok, s_pageSize, 0));
    EXPECT_TRUE(marked.Unchanged());
    vr_os::RegionInfo info;
    ASSERT_EQ(1, vr_os::QueryRegion(ok, &info));
    EXPECT_EQ(0, info.committed);
    EXPECT_EQ(ok, CommitPages(ok, s_pageSize, 0));
    ReleasePages(ok, s_pageSize, kGran);
    EXPECT_TRUE(snap.Unchanged());
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    VR_SetFault(vr_os::kFaultCommit, 0, 0);
}

TEST(AddressTests, IsDynamicMemory)
{
    uint8_t *base = (uint8_t *)ReservePages(8 * kGran, 0);
    ASSERT_NE(nullptr, base);
    ASSERT_EQ(base, CommitPages(base, s_pageSize, 0));
    /* Eight regions take every bit position once; the value is the bit's
       mask sign-extended from 8 bits, so bit 7 reads negative. */
    int negatives = 0;
    for (uint32_t r = 0; r < 8; r++) {
        uint8_t *a = base + r * kGran + 123;
        int expected = (int)(int8_t)(uint8_t)(1u << (((uintptr_t)a >> 16) & 7));
        EXPECT_EQ(expected, IsDynamicMemory(a)) << r;
        negatives += IsDynamicMemory(a) < 0;
    }
    EXPECT_EQ(1, negatives);
    EXPECT_NE(0, IsDynamicMemory(base + 8 * kGran - 1));  /* reserved, not committed */

    /* malloc is served by the library once it is loaded, so foreign memory
       comes straight from the system here. */
    int local = 0;
    void *foreign = vr_os::ReserveAndCommit(kGran, 0);
    ASSERT_NE(nullptr, foreign);
    EXPECT_EQ(0, IsDynamicMemory(&local));
    EXPECT_EQ(0, IsDynamicMemory(&s_staticVariable));
    EXPECT_EQ(0, IsDynamicMemory(foreign));
    EXPECT_EQ(0, IsDynamicMemory(nullptr));
    vr_os::Release(foreign);

    ReleasePages(base, s_pageSize, 8 * kGran);
    EXPECT_EQ(0, IsDynamicMemory(base));
}

TEST(AddressTests, IsStackMemory)
{
    int local = 0;
    EXPECT_EQ(1, IsStackMemory(&local));
    EXPECT_EQ(0, IsStackMemory(&s_staticVariable));
    void *v = AllocVirtual(kGran, 64, 0);
    ASSERT_NE(nullptr, v);
    EXPECT_EQ(0, IsStackMemory(v));
    FreeVirtual(v);
    /* Another thread's stack is covered by the platform tests. */
}

/* Threads that mark and clear the map at once keep every live reservation
   marked: a range one thread releases often comes straight back to another,
   whose marks the late clearing must not take away. */
TEST(ProcessLock, ConcurrentMarkingKeepsTheMapExact)
{
    std::atomic<int> failures{0};
    auto work = [&](uint32_t regions) {
        const int kHeld = 4;
        uint8_t *held[kHeld] = {};
        for (int i = 0; i < 3000; i++) {
            int slot = i % kHeld;
            if (held[slot]) {
                for (int k = 0; k < kHeld; k++)
                    for (uint32_t r = 0; held[k] && r < regions; r++)
                        if (!IsLibraryMemory(held[k] + r * kGran)) failures++;
                ReleasePages(held[slot], 0, regions * kGran);
            }
            held[slot] = (uint8_t *)ReservePages(regions * kGran, 0);
            if (!held[slot]) failures++;
        }
        for (int k = 0; k < kHeld; k++)
            if (held[k]) ReleasePages(held[k], 0, regions * kGran);
    };
    std::thread a(work, 1), b(work, 1), c(work, 2);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(0, failures.load());
    /* Starting the threads may itself have reserved page sets, so the map is
       checked for consistency rather than compared. */
    EXPECT_EQ(nullptr, ValidateRegionMap());

    /* Recursive, and shared by every thread. */
    long counter = 0;
    auto bump = [&] {
        for (int i = 0; i < 20000; i++) {
            VR_ProcessLockGuard outer;
            ProcessLockEnter();
            counter++;
            ProcessLockLeave();
        }
    };
    std::thread d(bump), e(bump);
    d.join();
    e.join();
    EXPECT_EQ(40000, counter);
    EXPECT_EQ(nullptr, ValidateRegionMap());
}
