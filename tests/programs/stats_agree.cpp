/*
 * stats_agree.cpp - the statistics against the heaps' own account of
 * themselves: heaps are filled with small, big, direct, one-size and
 * virtual blocks, then emptied, and at each step VR_GetStats must agree
 * with what ForEach visits and with the region map and the system's view
 * of the library's reservations. The address-space snapshot must show the
 * same reservations by kind, and bad output paths must fail cleanly.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "os_memory.h"
#include "space.h"
#include "onesize.h"
#include "vr_test.h"

static int s_failures = 0;
#define CHECK(c)                                                                 \
    do {                                                                         \
        if (!(c)) {                                                              \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c); \
            s_failures++;                                                        \
        }                                                                        \
    } while (0)
#define CHECK_EQ(a, b)                                                                          \
    do {                                                                                        \
        unsigned long va = (unsigned long)(a), vb = (unsigned long)(b);                         \
        if (va != vb) {                                                                         \
            fprintf(stderr, "%s:%d: %s == %lu, %s == %lu\n", __FILE__, __LINE__, #a, va, #b, vb); \
            s_failures++;                                                                       \
        }                                                                                       \
    } while (0)

namespace {

/* What ForEach sees in a general heap, in the statistics' terms. */
struct Visit {
    unsigned long blocks = 0, smallBlocks = 0, smallBytes = 0, bigBlocks = 0, bigBytes = 0;
    unsigned long directBlocks = 0, directBytes = 0;
    unsigned long classBlocks[52] = {0};
};

void CountBlock(void *block, void *context)
{
    Visit &v = *(Visit *)context;
    v.blocks++;
    const uint8_t *p = (const uint8_t *)block;
    if (!(p[-1] & 1)) {
        const VR_BlockHeader *h = SmallHeaderOf(block);
        v.smallBlocks++;
        v.smallBytes += VR_Test::SizeClass(h->sizeClass);
        v.classBlocks[h->sizeClass]++;
    } else if (AltHeaderOf(block)->direct) {
        const VR_VirtualHeader *vh = (const VR_VirtualHeader *)((const uint8_t *)AltHeaderOf(block) - 16);
        v.directBlocks++;
        v.directBytes += vh->committedBytes;
    } else {
        /* The chunk's size tag opens the chunk, kChunkHeader bytes in front
           of the alt header. */
        v.bigBlocks++;
        v.bigBytes += *(const uint32_t *)((const uint8_t *)AltHeaderOf(block) - kChunkHeader) & ~1u;
    }
}

const VR_HeapStats *Find(const std::vector<VR_HeapStats> &all, unsigned long n, const void *heap)
{
    for (unsigned long i = 0; i < n; i++)
        if (all[i].heap == heap) return &all[i];
    return 0;
}

/* The general heap's statistics agree with ForEach. */
void CheckAgainstForEach(VR_Heap &heap, const char *when)
{
    Visit v;
    heap.ForEach(CountBlock, &v);
    std::vector<VR_HeapStats> all(64);
    unsigned long n = VR_GetStats(0, all.data(), all.size());
    const VR_HeapStats *s = Find(all, n, &heap);
    CHECK(s != 0);
    if (!s) return;
    fprintf(stderr, "  %s: %lu blocks (%lu small, %lu big, %lu direct), %lu bytes in use\n", when, s->blocksInUse,
            s->smallBlocks, s->bigBlocks, s->directBlocks, s->bytesInUse);
    CHECK_EQ(s->blocksInUse, v.blocks);
    CHECK_EQ(s->smallBlocks, v.smallBlocks);
    CHECK_EQ(s->smallBytes, v.smallBytes);
    CHECK_EQ(s->bigBlocks, v.bigBlocks);
    CHECK_EQ(s->bigBytes, v.bigBytes);
    CHECK_EQ(s->directBlocks, v.directBlocks);
    CHECK_EQ(s->directBytes, v.directBytes);
    CHECK_EQ(s->bytesInUse, v.smallBytes + v.bigBytes + v.directBytes);
    for (int k = 0; k < 52; k++) CHECK_EQ(s->classBlocks[k], v.classBlocks[k]);
    CHECK(s->peakBytesInUse >= s->bytesInUse);
    /* Whatever the page sets hold is in use, free, or a header. */
    CHECK_EQ(s->pageSetCommittedBytes, s->pageSetFreeBytes + s->smallBytes + s->pageSets * kSmallFirstBlock);
    CHECK(s->bigCommittedBytes <= s->bigReservedBytes);
}

/* The address-space totals agree with the region map and with what the
   system says is committed inside the library's reservations. */
void CheckAgainstRegionMap(const char *when)
{
    VR_Stats st;
    VR_GetStats(&st, 0, 0);
    unsigned long marked = 0, committed = 0;
    unsigned long perKind[VR_SPACE_KINDS] = {0};
    for (uint32_t r = 0; r < 65536; r++) {
        uintptr_t a = (uintptr_t)r << 16;
        if (!IsLibraryMemory((const void *)a)) {
            /* Only a free slot of a unit of page sets is held unmarked. */
            uintptr_t unit;
            uint64_t freeSlots;
            int spare = PageUnitOf((const void *)a, &unit, &freeSlots) && ((freeSlots >> ((a - unit) >> 16)) & 1);
            if (!spare) {
                CHECK_EQ(SpaceKindOf(a) + 1, 0);
                continue;
            }
        }
        marked++;
        int kind = SpaceKindOf(a);
        CHECK(kind >= 0 && kind < VR_SPACE_KINDS);
        if (kind >= 0 && kind < VR_SPACE_KINDS) perKind[kind] += 0x10000;
        for (uintptr_t p = a; p < a + 0x10000;) {
            vr_os::RegionInfo info;
            if (!vr_os::QueryRegion((const void *)p, &info)) break;
            uintptr_t end = info.regionBase + info.regionSize;
            if (end > a + 0x10000 || end <= p) end = a + 0x10000;
            if (info.committed) committed += end - p;
            p = end;
        }
    }
    fprintf(stderr, "  %s: %lu regions marked, %lu bytes committed\n", when, marked, committed);
    CHECK_EQ(st.reservedBytes, marked * 0x10000);
    for (int k = 0; k < VR_SPACE_KINDS; k++) CHECK_EQ(st.space[k].reservedBytes, perKind[k]);
    CHECK_EQ(st.committedBytes, committed);
    CHECK(st.peakCommittedBytes >= st.committedBytes);
}

/* Reads a snapshot back: the 65536 codes and the largest free range. */
int ReadSnapshot(const char *path, std::vector<int> &codes, unsigned long *freeBase, unsigned long *freeCount)
{
    FILE *f = fopen(path, "r");
    if (!f) return 0;
    char line[1024];
    codes.clear();
    *freeCount = 0;
    while (fgets(line, sizeof line, f)) {
        if (line[0] == '#') {
            sscanf(line, "# largest-free %lx %lu", freeBase, freeCount);
            continue;
        }
        /* Letters a to f: a library region with nothing committed, kept
           apart (10 to 15) so that a region holding a live block, which is
           committed, must read as its kind's digit. */
        for (char *p = line; *p; p++)
            if (*p >= '0' && *p <= '9') codes.push_back(*p - '0');
            else if (*p >= 'a' && *p <= 'f') codes.push_back(*p - 'a' + 10);
    }
    fclose(f);
    return codes.size() == 65536;
}

} // namespace

int main()
{
    /* Figures for a heap that does not exist yet, and the empty cases of
       the interface. */
    CHECK_EQ(VR_GetStats(0, 0, 5), 0);
    char tiny[8];
    unsigned long whole = VR_FormatStats(tiny, sizeof tiny);
    CHECK(whole > sizeof tiny);
    CHECK_EQ(strlen(tiny), sizeof tiny - 1);
    CHECK_EQ(VR_FormatStats(0, 0), whole);

    VR_Stats before;
    VR_GetStats(&before, 0, 0);
    CheckAgainstRegionMap("at start");

    VR_Heap *heap = new VR_Heap(VR_HEAP_MULTITHREADED);
    VR_HeapOneSize *oneSize = new VR_HeapOneSize(40, VR_HEAP_MULTITHREADED);
    CHECK(heap && oneSize);
    std::vector<void *> blocks, fixed;
    srand(14);
    for (int i = 0; i < 6000; i++) blocks.push_back(heap->AllocMem(1 + rand() % 1016));
    for (int i = 0; i < 40; i++) blocks.push_back(heap->AllocMem(1017 + rand() % 300000));
    for (int i = 0; i < 3; i++) blocks.push_back(heap->AllocWithReserve(1 << 20, 5000 + i * 70000, 0));
    for (int i = 0; i < 700; i++) fixed.push_back(oneSize->AllocMem(40));
    void *virt = AllocVirtual(3 << 20, 100000, 0);
    for (void *b : blocks) CHECK(b != 0);
    CHECK(virt != 0);

    CheckAgainstForEach(*heap, "filled");
    CheckAgainstRegionMap("filled");
    std::vector<VR_HeapStats> all(64);
    VR_Stats st;
    unsigned long n = VR_GetStats(&st, all.data(), all.size());
    CHECK(n >= 4);
    CHECK(n > 1 && all[0].heap == &DefaultHeap && all[1].heap == &HeapForHeaps);
    CHECK_EQ(st.heapCount, n);
    const VR_HeapStats *os = Find(all, n, oneSize);
    CHECK(os && os->oneSize);
    if (os) {
        CHECK_EQ(os->blocksInUse, 700);
        CHECK_EQ(os->bytesInUse, 700 * 40);
        /* Each page set's header and its blocks' marks are neither free nor in use. */
        VR_OneSizePageSet grid;
        OneSizeSetGrid(&grid, 40);
        CHECK_EQ(os->pageSetCommittedBytes, os->pageSetFreeBytes + os->bytesInUse + os->pageSets * grid.firstBlock);
    }
    CHECK(st.space[VR_SPACE_SMALL].reservations >= before.space[VR_SPACE_SMALL].reservations + 4);
    CHECK(st.space[VR_SPACE_BIG].reservedBytes > before.space[VR_SPACE_BIG].reservedBytes);
    CHECK_EQ(st.space[VR_SPACE_DIRECT].reservations, before.space[VR_SPACE_DIRECT].reservations + 3);
    CHECK_EQ(st.space[VR_SPACE_VIRTUAL].reservedBytes, before.space[VR_SPACE_VIRTUAL].reservedBytes + (3 << 20) + 0x10000);
    CHECK(st.space[VR_SPACE_ONESIZE].reservations >= 1);

    /* The snapshot shows each kind where the blocks are. */
    const char *snapshot = "stats_agree.map";
    CHECK(VR_WriteAddressSpaceMap(snapshot));
    std::vector<int> codes;
    unsigned long freeBase = 0, freeCount = 0;
    CHECK(ReadSnapshot(snapshot, codes, &freeBase, &freeCount));
    if (codes.size() == 65536) {
        CHECK_EQ(codes[(uintptr_t)blocks[0] >> 16], kRegionLibrary + VR_SPACE_SMALL);
        CHECK_EQ(codes[(uintptr_t)blocks[6000] >> 16], kRegionLibrary + VR_SPACE_BIG);
        CHECK_EQ(codes[(uintptr_t)blocks[6040] >> 16], kRegionLibrary + VR_SPACE_DIRECT);
        CHECK_EQ(codes[(uintptr_t)fixed[0] >> 16], kRegionLibrary + VR_SPACE_ONESIZE);
        CHECK_EQ(codes[(uintptr_t)virt >> 16], kRegionLibrary + VR_SPACE_VIRTUAL);
        int local = 0;
        CHECK(codes[(uintptr_t)&local >> 16] == kRegionCommitted);
        CHECK(freeCount > 0);
        for (unsigned long r = freeBase >> 16; r < (freeBase >> 16) + freeCount && r < 65536; r++)
            if (codes[r] != kRegionFree) {
                CHECK_EQ(codes[r], kRegionFree);
                break;
            }
    }
    remove(snapshot);
    CHECK_EQ(VR_WriteAddressSpaceMap("no-such-folder/deeper/map.txt"), 0);
    CHECK_EQ(VR_WriteAddressSpaceMap(""), 0);
    CHECK_EQ(VR_WriteAddressSpaceMap(0), 0);

    /* Emptied, in an order unlike the filling. */
    unsigned long peak = 0;
    {
        n = VR_GetStats(0, all.data(), all.size());
        const VR_HeapStats *s = Find(all, n, heap);
        if (s) peak = s->bytesInUse;
    }
    for (size_t i = 0; i < blocks.size(); i += 2) VR_Heap::FreeMem(blocks[i]);
    CheckAgainstForEach(*heap, "half emptied");
    for (size_t i = 1; i < blocks.size(); i += 2) VR_Heap::FreeMem(blocks[i]);
    for (void *b : fixed) VR_HeapOneSize::FreeMem(b);
    FreeVirtual(virt);
    CheckAgainstForEach(*heap, "emptied");
    CheckAgainstRegionMap("emptied");
    n = VR_GetStats(&st, all.data(), all.size());
    const VR_HeapStats *s = Find(all, n, heap);
    CHECK(s && s->blocksInUse == 0 && s->bytesInUse == 0 && s->peakBytesInUse >= peak);
    os = Find(all, n, oneSize);
    CHECK(os && os->blocksInUse == 0);

    /* A heap without a lock may change under a walk of its lists from
       another thread: only its counters are read. */
    {
        VR_Heap single(0);
        void *b = single.AllocMem(100);
        n = VR_GetStats(0, all.data(), all.size());
        const VR_HeapStats *ss = Find(all, n, &single);
        CHECK(ss && ss->countersOnly && ss->pageSets == 0);
        VR_Heap::FreeMem(b);
        s = Find(all, n, heap);
        CHECK(s && !s->countersOnly);
    }

    n = VR_GetStats(&st, all.data(), all.size());
    unsigned long heapsBefore = st.heapCount;
    delete heap;
    delete oneSize;
    n = VR_GetStats(&st, all.data(), all.size());
    CHECK_EQ(st.heapCount, heapsBefore - 2);
    CHECK(Find(all, n, heap) == 0);
    CheckAgainstRegionMap("heaps deleted");
    CHECK_EQ(st.space[VR_SPACE_DIRECT].reservations, before.space[VR_SPACE_DIRECT].reservations);
    CHECK_EQ(st.space[VR_SPACE_VIRTUAL].reservedBytes, before.space[VR_SPACE_VIRTUAL].reservedBytes);

    if (s_failures) fprintf(stderr, "%d checks failed\n", s_failures);
    return s_failures ? 1 : 0;
}
