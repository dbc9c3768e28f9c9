/*
 * memory_test.cpp - the memory side of the platform contract, checked on
 * whichever backend this target builds: alignment of reservations, the
 * reserved/committed states as the system reports them, decommit giving
 * pages back, release by base and the stack test. The locks and the fault
 * seam are exercised through the page services' tests.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <string.h>
#include <thread>
#include <vector>

#include "os_memory.h"

namespace {

const uint32_t kGran = 0x10000;

uint32_t Page()
{
    uint32_t page, gran;
    vr_os::QuerySystemInfo(&page, &gran);
    return page;
}

vr_os::RegionInfo Query(const void *p)
{
    vr_os::RegionInfo info;
    memset(&info, 0xCD, sizeof info);
    EXPECT_EQ(1, vr_os::QueryRegion(p, &info));
    return info;
}

int s_staticVariable;

} // namespace

TEST(PlatformMemory, SystemInfo)
{
    uint32_t page = 0, gran = 0;
    vr_os::QuerySystemInfo(&page, &gran);
    EXPECT_EQ(0x10000u, gran);
    ASSERT_NE(0u, page);
    EXPECT_EQ(0u, page & (page - 1));
}

TEST(PlatformMemory, ReserveCommitDecommitRelease)
{
    const uint32_t page = Page();
    EXPECT_EQ(nullptr, vr_os::Reserve(0, 0));

    uint8_t *base = (uint8_t *)vr_os::Reserve(4 * kGran + 1, 0);
    ASSERT_NE(nullptr, base);
    EXPECT_EQ(0u, (uintptr_t)base % kGran);

    vr_os::RegionInfo info = Query(base + kGran);
    EXPECT_EQ((uintptr_t)base, info.allocationBase);
    EXPECT_EQ(0, info.committed);
    EXPECT_EQ(0, info.nocache);
    /* The last, partial region is part of the reservation too. */
    EXPECT_EQ((uintptr_t)base, Query(base + 4 * kGran).allocationBase);

    ASSERT_EQ(1, vr_os::Commit(base + page + 1, 2 * page, 0));  /* covers pages 1..3 */
    info = Query(base + page);
    EXPECT_EQ(1, info.committed);
    EXPECT_EQ((uintptr_t)(base + page), info.regionBase);
    EXPECT_EQ(3 * page, info.regionSize);
    info = Query(base + 2 * page + 5);
    EXPECT_EQ((uintptr_t)(base + 2 * page), info.regionBase);
    EXPECT_EQ(2 * page, info.regionSize);
    EXPECT_EQ(0, Query(base).committed);
    info = Query(base + 4 * page);
    EXPECT_EQ(0, info.committed);
    EXPECT_EQ((uintptr_t)base, info.allocationBase);

    memset(base + page, 0x5A, 3 * page);
    vr_os::Decommit(base + 2 * page, page);
    EXPECT_EQ(0, Query(base + 2 * page).committed);
    EXPECT_EQ(1, Query(base + page).committed);
    EXPECT_EQ(0x5A, base[page]);
    /* Committed again, the page has lost its contents. */
    ASSERT_EQ(1, vr_os::Commit(base + 2 * page, page, 0));
    for (uint32_t i = 0; i < page; i++) ASSERT_EQ(0, base[2 * page + i]) << i;
    EXPECT_EQ(0x5A, base[3 * page]);

    vr_os::Release(base + kGran);  /* not a base: ignored */
    EXPECT_EQ((uintptr_t)base, Query(base).allocationBase);
    vr_os::Release(base);
    EXPECT_NE((uintptr_t)base, Query(base).allocationBase);
    EXPECT_EQ(0, Query(base).committed);
}

TEST(PlatformMemory, CommitOutsideAReservationFails)
{
    uint8_t *base = (uint8_t *)vr_os::Reserve(kGran, 0);
    ASSERT_NE(nullptr, base);
    EXPECT_EQ(0, vr_os::Commit(base, 2 * kGran, 0));  /* runs past the end */
    EXPECT_EQ(0, Query(base).committed);
    EXPECT_EQ(0, vr_os::Commit(base, 0, 0));
    vr_os::Release(base);
    EXPECT_EQ(0, vr_os::Commit(base, Page(), 0));      /* released */
}

TEST(PlatformMemory, ReserveAndCommitIsZeroedAndWritable)
{
    const uint32_t page = Page();
    uint8_t *p = (uint8_t *)vr_os::ReserveAndCommit(3 * page, 0);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0u, (uintptr_t)p % kGran);
    for (uint32_t i = 0; i < 3 * page; i++) ASSERT_EQ(0, p[i]);
    memset(p, 1, 3 * page);
    vr_os::RegionInfo info = Query(p);
    EXPECT_EQ(1, info.committed);
    EXPECT_EQ(3 * page, info.regionSize);
    EXPECT_EQ((uintptr_t)p, info.allocationBase);
    vr_os::Release(p);
    EXPECT_EQ(0, Query(p).committed);
}

TEST(PlatformMemory, NoCacheIsReported)
{
    const uint32_t page = Page();
    uint8_t *base = (uint8_t *)vr_os::Reserve(kGran, 1);
    ASSERT_NE(nullptr, base);
    EXPECT_EQ(1, Query(base).nocache);
    ASSERT_EQ(1, vr_os::Commit(base, page, 1));
    vr_os::RegionInfo info = Query(base);
    EXPECT_EQ(1, info.committed);
    EXPECT_EQ(1, info.nocache);
    base[0] = 7;  /* uncached pages are still ordinary read-write memory */
    EXPECT_EQ(7, base[0]);
    vr_os::Release(base);

    uint8_t *direct = (uint8_t *)vr_os::ReserveAndCommit(page, 1);
    ASSERT_NE(nullptr, direct);
    EXPECT_EQ(1, Query(direct).nocache);
    vr_os::Release(direct);
}

TEST(PlatformMemory, ForeignAddressesAreDescribed)
{
    int local = 0;
    vr_os::RegionInfo info = Query(&local);
    EXPECT_EQ(1, info.committed);
    EXPECT_NE(0u, info.allocationBase);
    EXPECT_LE(info.allocationBase, (uintptr_t)&local);
    EXPECT_GT(info.regionBase + info.regionSize, (uintptr_t)&local);

    info = Query(&s_staticVariable);
    EXPECT_EQ(1, info.committed);
    EXPECT_GT(info.regionBase + info.regionSize, (uintptr_t)&s_staticVariable);
}

TEST(PlatformMemory, ThreadStack)
{
    int local = 0;
    EXPECT_EQ(1, vr_os::IsOnThreadStack(&local));
    EXPECT_EQ(0, vr_os::IsOnThreadStack(&s_staticVariable));
    EXPECT_EQ(0, vr_os::IsOnThreadStack(nullptr));

    uint8_t *base = (uint8_t *)vr_os::ReserveAndCommit(kGran, 0);
    ASSERT_NE(nullptr, base);
    EXPECT_EQ(0, vr_os::IsOnThreadStack(base));

    std::atomic<int *> theirs{nullptr};
    std::atomic<int> seenMine{-1}, seenOwn{-1};
    std::atomic<bool> done{false};
    std::thread t([&] {
        int other = 0;
        theirs = &other;
        seenOwn = vr_os::IsOnThreadStack(&other);
        seenMine = vr_os::IsOnThreadStack(&local);
        while (!done) std::this_thread::yield();
    });
    while (!theirs || seenMine < 0) std::this_thread::yield();
    EXPECT_EQ(0, vr_os::IsOnThreadStack(theirs.load()));
    done = true;
    t.join();
    EXPECT_EQ(1, seenOwn.load());
    EXPECT_EQ(0, seenMine.load());
    vr_os::Release(base);
}

/* Reservations made and released from several threads at once stay aligned,
   distinct and correctly described (the POSIX backend keeps shared tables). */
TEST(PlatformMemory, ConcurrentReservations)
{
    const uint32_t page = Page();
    std::atomic<int> failures{0};
    auto work = [&](int seed) {
        void *mine[16];
        for (int round = 0; round < 50; round++) {
            for (int i = 0; i < 16; i++) {
                uint32_t size = (uint32_t)((seed + i + round) % 5 + 1) * kGran - (i & 1);
                uint8_t *p = (uint8_t *)vr_os::Reserve(size, 0);
                mine[i] = p;
                if (!p || (uintptr_t)p % kGran) { failures++; continue; }
                if (!vr_os::Commit(p, page, 0)) { failures++; continue; }
                p[0] = (uint8_t)i;
            }
            for (int i = 0; i < 16; i++) {
                uint8_t *p = (uint8_t *)mine[i];
                if (!p) continue;
                vr_os::RegionInfo info;
                if (!vr_os::QueryRegion(p + page, &info) || info.allocationBase != (uintptr_t)p ||
                    info.committed || p[0] != (uint8_t)i)
                    failures++;
                vr_os::Release(p);
            }
        }
    };
    std::thread a(work, 1), b(work, 2), c(work, 3);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(0, failures.load());
}
