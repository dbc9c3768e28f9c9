/*
 * random_onesize.cpp - seeded random allocation and freeing across several
 * one-size heaps of different block sizes and flags, checked against a model
 * of the live blocks: every block handed out lies on a block boundary of one
 * of its heap's page sets, comes zeroed where the heap zero-fills, and keeps
 * its contents until it is freed; the heap's invariants hold after every
 * step. Phases of mostly allocating and mostly freeing make page sets fill,
 * empty and be given back. VORREL_SEED overrides the seed.
 */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <memory>
#include <random>
#include <vector>

#include "layout.h"
#include "vr_test.h"

namespace {

struct LiveBlock {
    uint8_t *p;
    int heap;
    uint8_t tag;
};

uint32_t SeedFromEnvironment(uint32_t fallback)
{
    const char *s = getenv("VORREL_SEED");
    return s ? (uint32_t)strtoul(s, 0, 0) : fallback;
}

/* Where a block must lie: inside a page set of its heap, on a block
   boundary below the carve point. Returns null when it does. */
const char *Placement(VR_HeapOneSize &h, const uint8_t *p)
{
    VR_OneSizePageSet *ps = (VR_OneSizePageSet *)PageSetOf(p);
    uint32_t bs = VR_Test::BlockSize(h);
    if (ps->owner != &h) return "block in another heap's page set";
    uint32_t off = (uint32_t)(p - ps->Base());
    if (off < kOneSizeHeaderSize || (off - kOneSizeHeaderSize) % bs) return "block off a block boundary";
    if (p + bs > ps->CarvePoint()) return "block beyond the carve point";
    return 0;
}

/* Index of the first byte of [p, p + n) that is not value; n when none. */
uint32_t FirstOtherThan(const uint8_t *p, uint8_t value, uint32_t n)
{
    uint32_t k = 0;
    while (k < n && p[k] == value) k++;
    return k;
}

} // namespace

TEST(RandomOneSize, ModelledAllocAndFree)
{
    const uint32_t seed = SeedFromEnvironment(0x5eed0001u);
    const int kSteps = 300000;
    const size_t kMaxLive = 3000;
    struct Config {
        unsigned long size;
        unsigned long flags;
    } configs[] = {
        {4, 0}, {12, VR_HEAP_ZERO_INIT}, {40, VR_HEAP_MULTITHREADED}, {100, 0},
        {1000, VR_HEAP_ZERO_INIT}, {4096, 0}, {21000, VR_HEAP_ZERO_INIT},
    };
    const int kHeaps = sizeof(configs) / sizeof(configs[0]);
    std::vector<std::unique_ptr<VR_HeapOneSize>> heaps;
    for (auto &c : configs) heaps.emplace_back(new VR_HeapOneSize(c.size, c.flags));

    std::mt19937 rng(seed);
    std::vector<LiveBlock> live;
    int allocPercent = 70;

    for (int step = 0; step < kSteps; step++) {
        if (step % 7000 == 0) allocPercent = (allocPercent == 70) ? 30 : 70;
        int action = (int)(rng() % 1000);
        int touched;
        if (action == 0) {
            // Rarely, a whole heap is cleared.
            touched = (int)(rng() % kHeaps);
            heaps[touched]->Clear();
            for (size_t i = 0; i < live.size();)
                if (live[i].heap == touched) { live[i] = live.back(); live.pop_back(); }
                else i++;
        } else if (live.empty() || (action % 100 < allocPercent && live.size() < kMaxLive)) {
            touched = (int)(rng() % kHeaps);
            VR_HeapOneSize &h = *heaps[touched];
            uint32_t bs = VR_Test::BlockSize(h);
            uint32_t request = rng() % 4 ? bs : (uint32_t)(rng() % (bs + 1));
            uint8_t *p = (uint8_t *)(request == bs && rng() % 2 ? h.Alloc() : h.AllocMem(request));
            ASSERT_NE(nullptr, p) << "seed " << seed << " step " << step;
            const char *where = Placement(h, p);
            ASSERT_EQ(nullptr, where) << "seed " << seed << " step " << step;
            if (configs[touched].flags & VR_HEAP_ZERO_INIT)
                ASSERT_EQ(request, FirstOtherThan(p, 0, request)) << "seed " << seed << " step " << step << ": not zeroed";
            uint8_t tag = (uint8_t)(rng() % 255 + 1);
            memset(p, tag, bs);
            live.push_back({p, touched, tag});
        } else {
            size_t i = rng() % live.size();
            LiveBlock b = live[i];
            touched = b.heap;
            uint32_t bs = VR_Test::BlockSize(*heaps[b.heap]);
            ASSERT_EQ(bs, FirstOtherThan(b.p, b.tag, bs)) << "seed " << seed << " step " << step << ": block overwritten";
            VR_HeapOneSize::FreeMem(b.p);
            live[i] = live.back();
            live.pop_back();
        }
        const char *err = heaps[touched]->Validate();
        ASSERT_EQ(nullptr, err) << "seed " << seed << " step " << step << " heap " << touched;
    }
    for (auto &b : live) VR_HeapOneSize::Free(b.p);
    for (auto &h : heaps) ASSERT_EQ(nullptr, h->Validate()) << "seed " << seed;
}
