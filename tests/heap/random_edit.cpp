/*
 * random_edit.cpp - seeded random block editing on a zero-filling general
 * heap against a byte-vector model. Blocks wander between small and big as
 * they grow and shrink; some calls name ranges outside the block or sizes
 * past 2^32 and must be refused with the block unchanged; some insert from
 * the block itself. After every step the edited block's size and contents
 * match the model and the heap's invariants hold; every few steps all blocks
 * are compared. VORREL_SEED overrides the seed.
 */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <random>
#include <vector>

#include "layout.h"
#include "vr_test.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct Slot {
    void *block = nullptr;
    Bytes model;
};

uint32_t SeedFromEnvironment(uint32_t fallback)
{
    const char *s = getenv("VORREL_SEED");
    return s ? (uint32_t)strtoul(s, 0, 0) : fallback;
}

class Editor {
public:
    explicit Editor(uint32_t seed) : rng(seed), heap(VR_HEAP_ZERO_INIT | VR_HEAP_NO_STD_NEW_HANDLER) {}

    uint32_t Below(uint32_t n) { return n ? rng() % n : 0; }

    /* Mostly small sizes, some around the small/big boundary, a few large. */
    uint32_t SomeSize()
    {
        switch (rng() % 10) {
        case 0: return 1000 + Below(40);
        case 1: return Below(6000);
        case 2: return Below(4) == 0 ? Below(70000) : Below(3000);
        default: return Below(200);
        }
    }

    Bytes Random(uint32_t n)
    {
        Bytes b(n);
        for (auto &x : b) x = (uint8_t)rng();
        return b;
    }

    /* A count past 2^32 for a block of n bytes, or 0 when there is none. */
    uint32_t Wrapping(uint32_t n) { return n ? 0xFFFFFFFFu - n + 1 + Below(n) : 0; }

    void Step(Slot &s, std::vector<Slot> &all);
    void Free(Slot &s)
    {
        VR_Heap::Free(s.block);
        s.block = nullptr;
        s.model.clear();
    }

    std::mt19937 rng;
    VR_Heap heap;
    const char *expectNull = nullptr; /* why the last call had to fail */
};

void Editor::Step(Slot &s, std::vector<Slot> &all)
{
    expectNull = nullptr;
    if (!s.block) {
        uint32_t n = SomeSize();
        switch (rng() % 3) {
        case 0: {
            Bytes data = Random(n);
            s.block = heap.StoreData(data.data(), n);
            s.model = data;
            break;
        }
        case 1: {
            Bytes data = Random(n);
            data.push_back(0);
            for (auto &c : data) if (!c) c = 1;
            data.back() = 0;
            s.block = heap.StoreString((const char *)data.data(), rng() % 2 ? -1 : (long)n);
            s.model = data;
            break;
        }
        default: {
            Slot &from = all[rng() % all.size()];
            if (!from.block) return;
            s.block = heap.Clone(from.block);
            s.model = from.model;
        }
        }
        return;
    }

    void *b = s.block;
    const uint32_t n = (uint32_t)s.model.size();
    Bytes m = s.model;
    void *r = nullptr;
    const bool bad = rng() % 8 == 0;

    switch (rng() % 7) {
    case 0: { // Cut
        uint32_t off = Below(n + 1), cnt = Below(n - off + 1);
        if (bad) {
            if (rng() % 2) { cnt = n - off + 1 + Below(10); }
            else { off = n + 1 + Below(10); cnt = 1 + Below(5); }
            expectNull = "cut range outside the block";
        } else if (cnt) {
            m.erase(m.begin() + off, m.begin() + off + cnt);
        }
        r = heap.Cut(b, off, cnt);
        break;
    }
    case 1: { // Trim
        uint32_t start = Below(n + 1), len = Below(n - start + 1);
        if (bad && n) {
            start = 1 + Below(n);
            len = n - start + 1 + Below(100);
            expectNull = "trim range outside the block";
        } else if (rng() % 4 == 0 && n < 60000) {
            start = 0; // plain resize, possibly a growth
            len = Below(n + 3000);
            m.resize(len, 0);
        } else {
            m = Bytes(m.begin() + start, m.begin() + start + len);
        }
        r = heap.Trim(b, start, len);
        break;
    }
    case 2: { // ExpandBy
        uint32_t cnt = n < 60000 ? SomeSize() : 0;
        if (bad && n) {
            cnt = Wrapping(n);
            expectNull = "expansion past 2^32";
        } else {
            m.resize(n + cnt, 0);
        }
        r = heap.ExpandBy(b, cnt, (int)(rng() % 2));
        break;
    }
    default: { // Insert, Append, Prepend
        int form = (int)(rng() % 3);
        uint32_t off = form == 1 ? n : form == 2 ? 0 : Below(n + 1);
        uint32_t cnt = n < 60000 ? SomeSize() : 0;
        Bytes data;
        const void *src = nullptr;
        int kind = (int)(rng() % 4);
        if (kind == 0) {
            data.assign(cnt, 0); // a null source inserts zeros
        } else if (kind == 1 && n) {
            uint32_t so = Below(n);
            cnt = n < 60000 ? Below(n - so + 1) : 0;
            data.assign(m.begin() + so, m.begin() + so + cnt);
            src = (uint8_t *)b + so;
        } else {
            data = Random(cnt);
            src = data.data();
        }
        if (bad) {
            if (form == 0 && rng() % 2) {
                off = n + 1 + Below(10);
                cnt = cnt ? cnt : 1;
                expectNull = "insert offset beyond the block";
            } else if (n) {
                cnt = Wrapping(n);
                src = nullptr;
                expectNull = "insert past 2^32";
            }
        }
        if (!expectNull) m.insert(m.begin() + off, data.begin(), data.end());
        r = form == 1 ? heap.Append(b, src, cnt) : form == 2 ? heap.Prepend(b, src, cnt) : heap.Insert(b, off, src, cnt);
        break;
    }
    }

    if (expectNull) {
        EXPECT_EQ(nullptr, r) << expectNull;
        EXPECT_EQ(n, heap.GetBlockSize(b));
        EXPECT_TRUE(n == 0 || memcmp(b, s.model.data(), n) == 0) << "refused call changed the block";
        return;
    }
    ASSERT_NE(nullptr, r);
    if (m.size() <= n) EXPECT_EQ(b, r) << "a block that did not grow moved";
    s.block = r;
    s.model = m;
}

} // namespace

TEST(RandomEdit, ModelledEdits)
{
    const uint32_t seed = SeedFromEnvironment(0x5eed0003u);
    const int kSteps = 200000;
    Editor e(seed);
    std::vector<Slot> slots(12);
    for (int step = 0; step < kSteps; step++) {
        Slot &s = slots[e.rng() % slots.size()];
        if (s.block && e.rng() % 20 == 0) {
            e.Free(s);
        } else {
            e.Step(s, slots);
        }
        ASSERT_FALSE(::testing::Test::HasFailure()) << "seed " << seed << " step " << step;
        if (s.block) {
            ASSERT_EQ(s.model.size(), e.heap.GetBlockSize(s.block)) << "seed " << seed << " step " << step;
            ASSERT_TRUE(s.model.empty() || memcmp(s.block, s.model.data(), s.model.size()) == 0)
                << "seed " << seed << " step " << step;
        }
        ASSERT_EQ(nullptr, e.heap.Validate()) << "seed " << seed << " step " << step;
        if (step % 1000 == 999)
            for (auto &o : slots)
                ASSERT_TRUE(!o.block || (e.heap.GetBlockSize(o.block) == o.model.size() &&
                                         (o.model.empty() || !memcmp(o.block, o.model.data(), o.model.size()))))
                    << "seed " << seed << " step " << step << ": another block changed";
    }
    for (auto &o : slots)
        if (o.block) e.Free(o);
}
