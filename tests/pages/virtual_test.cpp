/*
 * virtual_test.cpp - direct page blocks, virtual blocks and
 * IsMemoryFilledWith: growth and shrinking in place, zero-filling, failures
 * that leave the block and the region map unchanged, sizes near 2^32, and
 * the 16-bytes-a-step comparison at every alignment and every position.
 */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include "os_memory.h"
#include "pages.h"
#include "system.h"
#include "validate.h"

namespace {

const uint32_t kGran = 0x10000;
const uint32_t kMB = 0x100000;

VR_VirtualHeader *Header(void *block)
{
    return (VR_VirtualHeader *)((uint8_t *)block - 16);
}

struct MapSnapshot {
    uint8_t bits[sizeof s_regionMap];
    MapSnapshot() { memcpy(bits, s_regionMap, sizeof bits); }
    bool Unchanged() const { return memcmp(bits, s_regionMap, sizeof bits) == 0; }
};

} // namespace

TEST(VirtualBlock, AllocResizeFree)
{
    MapSnapshot snap;
    uint8_t *v = (uint8_t *)AllocVirtual(kMB, 100, 1);
    ASSERT_NE(nullptr, v);
    const uint32_t page = s_pageSize;
    EXPECT_EQ(16u, (uintptr_t)v & 0xFFFF);
    EXPECT_EQ(kMB + kGran, Header(v)->reservedBytes);
    EXPECT_EQ(page, Header(v)->committedBytes);
    EXPECT_EQ(100u, Header(v)->currentSize);
    EXPECT_TRUE(IsMemoryFilledWith(v, 100, 0));
    EXPECT_NE(0, IsDynamicMemory(v));
    EXPECT_NE(0, IsDynamicMemory(v + kMB));  /* reserved, not committed */
    EXPECT_EQ(nullptr, ValidateVirtual(v));
    EXPECT_EQ(nullptr, ValidateRegionMap());

    /* Within the committed page: only the size changes, and the grown part
       is zero-filled when asked even though it held old bytes. */
    memset(v, 0xEE, page - 16);
    EXPECT_EQ(v, ResizeVirtual(v, 300, 1));
    EXPECT_EQ(page, Header(v)->committedBytes);
    EXPECT_EQ(300u, Header(v)->currentSize);
    EXPECT_TRUE(IsMemoryFilledWith(v, 100, 0xEE));
    EXPECT_TRUE(IsMemoryFilledWith(v + 100, 200, 0));
    EXPECT_EQ(0xEE, v[300]);  /* beyond the new size: untouched */
    EXPECT_EQ(v, ResizeVirtual(v, 400, 0));
    EXPECT_EQ(0xEE, v[350]);

    /* Growth within the reservation commits pages at the end. */
    EXPECT_EQ(v, ResizeVirtual(v, 500000, 1));
    EXPECT_EQ(nullptr, ValidateVirtual(v));
    EXPECT_TRUE(IsMemoryFilledWith(v + 400, 500000 - 400, 0));
    memset(v, 0x33, 500000);

    /* Beyond the reservation: refused, block unchanged. */
    EXPECT_EQ(nullptr, ResizeVirtual(v, kMB + kGran - 15, 1));
    EXPECT_EQ(500000u, Header(v)->currentSize);
    EXPECT_EQ(nullptr, ValidateVirtual(v));
    /* Exactly the whole reservation fits. */
    EXPECT_EQ(v, ResizeVirtual(v, kMB + kGran - 16, 0));
    v[kMB + kGran - 17] = 9;
    EXPECT_EQ(nullptr, ValidateVirtual(v));

    /* Shrinking to 0 keeps the header page; decommitted pages come back
       zeroed when the block grows again. */
    EXPECT_EQ(v, ResizeVirtual(v, 0, 0));
    EXPECT_EQ(page, Header(v)->committedBytes);
    EXPECT_EQ(0u, Header(v)->currentSize);
    EXPECT_EQ(kMB + kGran, Header(v)->reservedBytes);
    EXPECT_EQ(nullptr, ValidateVirtual(v));
    EXPECT_EQ(v, ResizeVirtual(v, 200000, 0));
    EXPECT_TRUE(IsMemoryFilledWith(v + page, 200000 - page, 0));
    EXPECT_TRUE(IsMemoryFilledWith(v, page - 16, 0x33));  /* the kept page kept its bytes */

    FreeVirtual(v);
    EXPECT_TRUE(snap.Unchanged());
    EXPECT_EQ(nullptr, ValidateRegionMap());
}

TEST(VirtualBlock, SizesNearTheTopOfTheAddressSpace)
{
    MapSnapshot snap;
    EXPECT_EQ(nullptr, AllocVirtual(0xFFFFFFFFu, 0, 0));
    EXPECT_EQ(nullptr, AllocVirtual(0xFFFFFFF0u, 0, 0));
    EXPECT_EQ(nullptr, AllocVirtual(0xFFFEFFF1u, 0, 0));  /* + 16 rounds past 2^32 */
    EXPECT_EQ(nullptr, AllocVirtual(kGran, 0xFFFFFFFFu, 0));
    EXPECT_EQ(nullptr, AllocVirtual(kGran - 16, kGran - 15, 0));  /* one byte beyond the reservation */
    void *whole = AllocVirtual(kGran - 16, kGran - 16, 0);           /* exactly fills it */
    ASSERT_NE(nullptr, whole);
    FreeVirtual(whole);
    EXPECT_TRUE(snap.Unchanged());

    uint8_t *v = (uint8_t *)AllocVirtual(kGran, 10, 0);
    ASSERT_NE(nullptr, v);
    MapSnapshot marked;
    /* Above 2^31 a signed comparison would take these for negative sizes
       that fit; they must be refused. */
    EXPECT_EQ(nullptr, ResizeVirtual(v, 0x80000000u, 1));
    EXPECT_EQ(nullptr, ResizeVirtual(v, 0xFFFFFFF0u, 1));
    EXPECT_EQ(nullptr, ResizeVirtual(v, 0xFFFFFFFFu, 1));
    EXPECT_EQ(10u, Header(v)->currentSize);
    EXPECT_EQ(s_pageSize, Header(v)->committedBytes);
    EXPECT_EQ(nullptr, ValidateVirtual(v));
    EXPECT_TRUE(marked.Unchanged());
    FreeVirtual(v);
    EXPECT_TRUE(snap.Unchanged());
}

TEST(VirtualBlock, InjectedFailures)
{
    MapSnapshot snap;
    VR_SetFault(vr_os::kFaultReserve, 1, 1);
    EXPECT_EQ(nullptr, AllocVirtual(kMB, 100, 1));
    EXPECT_TRUE(snap.Unchanged());

    /* A failed commit gives the reservation back and unmarks it. */
    VR_SetFault(vr_os::kFaultCommit, 1, 1);
    EXPECT_EQ(nullptr, AllocVirtual(kMB, 100, 1));
    EXPECT_TRUE(snap.Unchanged());
    EXPECT_EQ(nullptr, ValidateRegionMap());

    uint8_t *v = (uint8_t *)AllocVirtual(kMB, 100, 0);
    ASSERT_NE(nullptr, v);
    MapSnapshot marked;
    VR_SetFault(vr_os::kFaultCommit, 1, 1);
    EXPECT_EQ(nullptr, ResizeVirtual(v, 300000, 1));
    EXPECT_EQ(100u, Header(v)->currentSize);
    EXPECT_EQ(s_pageSize, Header(v)->committedBytes);
    EXPECT_EQ(nullptr, ValidateVirtual(v));
    EXPECT_TRUE(marked.Unchanged());
    EXPECT_EQ(v, ResizeVirtual(v, 300000, 1));  /* the plan is spent */
    EXPECT_EQ(nullptr, ValidateVirtual(v));
    FreeVirtual(v);
    EXPECT_TRUE(snap.Unchanged());

    VR_SetFault(vr_os::kFaultReserve, 1, 1);
    EXPECT_EQ(nullptr, AllocDirectMemoryPages(100, 0));
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    VR_SetFault(vr_os::kFaultCommit, 0, 0);
}

TEST(VirtualBlock, ForeignPointersAreRefused)
{
    int local = 0;
    void *foreign = malloc(64);  /* a small block of a heap, or the runtime's */
    uint8_t *reserved = (uint8_t *)ReservePages(kGran, 0);
    ASSERT_NE(nullptr, reserved);
    ASSERT_EQ(reserved, CommitPages(reserved, s_pageSize, 0));
    MapSnapshot snap;
    EXPECT_EQ(nullptr, ResizeVirtual(nullptr, 10, 0));
    EXPECT_EQ(nullptr, ResizeVirtual(&local, 10, 0));
    EXPECT_EQ(nullptr, ResizeVirtual(foreign, 10, 0));
    EXPECT_EQ(nullptr, ResizeVirtual(reserved + 32, 10, 0));  /* not at base + 16 */
    /* Library memory at base + 16 whose header is not a virtual block's. */
    EXPECT_EQ(nullptr, ResizeVirtual(reserved + 16, 10, 0));
    FreeVirtual(nullptr);
    FreeVirtual(&local);
    FreeVirtual(foreign);
    FreeVirtual(reserved + 16);
    EXPECT_TRUE(snap.Unchanged());
    free(foreign);
    ReleasePages(reserved, s_pageSize, kGran);
}

TEST(DirectPages, ZeroedPagesOutsideTheRegionMap)
{
    LoadSystemInfo();
    const uint32_t page = s_pageSize;
    MapSnapshot snap;
    uint8_t *p = (uint8_t *)AllocDirectMemoryPages(1, VR_HEAP_ZERO_INIT);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0u, (uintptr_t)p & 0xFFFF);
    EXPECT_TRUE(IsMemoryFilledWith(p, page, 0));
    EXPECT_EQ(0, IsDynamicMemory(p));
    EXPECT_TRUE(snap.Unchanged());
    vr_os::RegionInfo info;
    ASSERT_EQ(1, vr_os::QueryRegion(p, &info));
    EXPECT_EQ(1, info.committed);
    EXPECT_EQ(page, info.regionSize);  /* one page, rounded up from 1 byte */
    EXPECT_EQ(0, info.nocache);
    memset(p, 0xAA, page);
    FreeDirectMemoryPages(p);
    ASSERT_EQ(1, vr_os::QueryRegion(p, &info));
    EXPECT_EQ(0, info.committed);

    p = (uint8_t *)AllocDirectMemoryPages(page + 1, VR_HEAP_NOCACHE | 0x100);
    ASSERT_NE(nullptr, p);
    ASSERT_EQ(1, vr_os::QueryRegion(p, &info));
    EXPECT_EQ(2 * page, info.regionSize);
    EXPECT_EQ(1, info.nocache);
    FreeDirectMemoryPages(p);

    EXPECT_EQ(nullptr, AllocDirectMemoryPages(0, 0));
    EXPECT_EQ(nullptr, AllocDirectMemoryPages(-1, 0));
    EXPECT_EQ(nullptr, AllocDirectMemoryPages((long)0x80000000u, 0));
    FreeDirectMemoryPages(nullptr);
}

TEST(FilledWith, EveryLengthAlignmentAndPosition)
{
    alignas(16) uint8_t buf[96];
    const unsigned char value = 0xA5;
    memset(buf, value, sizeof buf);
    EXPECT_EQ(1, IsMemoryFilledWith(buf, 0, 0x00));
    EXPECT_EQ(1, IsMemoryFilledWith(nullptr, 0, value));
    EXPECT_EQ(0, IsMemoryFilledWith(nullptr, 5, value));

    const unsigned long lengths[] = {1, 15, 16, 17, 31, 32, 33, 48, 63, 64, 65};
    for (unsigned offset = 0; offset < 4; offset++) {
        uint8_t *p = buf + offset;
        for (unsigned long length : lengths) {
            EXPECT_EQ(1, IsMemoryFilledWith(p, length, value)) << offset << " " << length;
            EXPECT_EQ(0, IsMemoryFilledWith(p, length, (unsigned char)(value ^ 0x80)));
            /* A difference anywhere inside is found: in each of the four
               words of a group, and in the tail compared byte by byte. */
            for (unsigned long pos = 0; pos < length; pos++) {
                p[pos] = (uint8_t)(value ^ 1);
                EXPECT_EQ(0, IsMemoryFilledWith(p, length, value)) << offset << " " << length << " " << pos;
                p[pos] = value;
            }
            /* Just outside the range it does not matter. */
            p[length] = 0;
            if (offset) p[-1] = 0;
            EXPECT_EQ(1, IsMemoryFilledWith(p, length, value));
            p[length] = value;
            if (offset) p[-1] = value;
        }
    }
}
