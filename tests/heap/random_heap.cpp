/*
 * random_heap.cpp - a seeded random workout of two general heaps against a
 * model: small, big and direct blocks are allocated, freed (sometimes twice)
 * and reallocated through either heap, every block carries a pattern derived
 * from its id, and after every step both heaps must pass their invariant
 * checks. The seed is fixed and printed with any failure.
 */
#include <gtest/gtest.h>

#include <string.h>

#include "layout.h"
#include "pages.h"
#include "vr_test.h"

namespace {

const uint32_t kSeed = 0x5EED2024u;
const uint32_t kSteps = 200000;
const int kSlots = 160;

struct Rng {
    uint32_t s;
    uint32_t Next()
    {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
    uint32_t Below(uint32_t n) { return Next() % n; }
};

enum Kind { kSmall, kBig, kDirect };

struct Slot {
    uint8_t *p;
    uint32_t size;
    uint32_t id;
    Kind kind;
    VR_Heap *owner;
    uint32_t capacity;  // direct blocks: the largest size their reservation holds
};

uint8_t FillByte(uint32_t id) { return (uint8_t)(id % 255 + 1); }

/* The block's bytes: a byte derived from the id throughout, with the id at
   the front and its complement at the end when there is room. */
void Fill(uint8_t *p, uint32_t size, uint32_t id)
{
    memset(p, FillByte(id), size);
    if (size >= 8) {
        uint32_t tail = ~id;
        memcpy(p, &id, 4);
        memcpy(p + size - 4, &tail, 4);
    }
}

/* Whether the first upto bytes of a block filled by Fill(size, id) are
   intact. */
bool Intact(const uint8_t *p, uint32_t size, uint32_t id, uint32_t upto)
{
    if (size < 8) return IsMemoryFilledWith(p, upto, FillByte(id));
    if (memcmp(p, &id, upto < 4 ? upto : 4) != 0) return false;
    uint32_t midEnd = upto < size - 4 ? upto : size - 4;
    if (midEnd > 4 && !IsMemoryFilledWith(p + 4, midEnd - 4, FillByte(id))) return false;
    if (upto > size - 4) {
        uint32_t tail = ~id;
        uint32_t n = upto - (size - 4);
        if (memcmp(p + size - 4, &tail, n) != 0) return false;
    }
    return true;
}

VR_Heap *OwnerOf(const uint8_t *p)
{
    if (BlockFlagsOf(p) & kBlockAlt) return AltHeaderOf(p)->heap;
    return ((VR_SmallPageSet *)PageSetOf(p))->owner;
}

/* The largest size a direct block made with this reserve can grow to. */
uint32_t DirectCapacity(uint32_t reserve)
{
    uint32_t r = (reserve + 32 + 7) & ~7u;
    uint32_t reserved = (r + 16 + 0xFFFF) & ~0xFFFFu;
    return reserved - 48;
}

uint32_t PickSize(Rng &rng, Kind from)
{
    uint32_t r = rng.Below(100);
    if (from == kSmall && r < 80) return rng.Below(1017);
    if (r < 45) return rng.Below(1017);
    if (r < 99) return 1017 + rng.Below(40000);
    return 200000 + rng.Below(800000);
}

void CountBlock(void *, void *context) { ++*(int *)context; }

} // namespace

TEST(RandomHeap, ModelledWorkoutOfTwoHeaps)
{
    VR_Heap a(VR_HEAP_NO_STD_NEW_HANDLER);
    VR_Heap b(VR_HEAP_NO_STD_NEW_HANDLER | VR_HEAP_ZERO_INIT | VR_HEAP_MULTITHREADED);
    VR_Heap *heaps[2] = {&a, &b};
    // Growth beyond a direct block's reservation ends in recovery: without a
    // reserve, handler or standard handler it fails at once.
    if (VR_Test::EmergencyReserve()) {
        void (*callback)() = VR_Test::EmergencyCallback();
        VR_Test::EmergencyCallback() = 0;
        VR_Test::HandleOutOfMemory(a);
        VR_Test::EmergencyCallback() = callback;
    }

    Slot slots[kSlots];
    memset(slots, 0, sizeof slots);
    Rng rng = {kSeed};
    uint32_t nextId = 1;

    for (uint32_t step = 0; step < kSteps; step++) {
        Slot &s = slots[rng.Below(kSlots)];
        VR_Heap *via = heaps[rng.Below(2)];
        int zero = rng.Below(2);
        bool expectZero = zero || via == &b;

        if (!s.p) {
            uint32_t r = rng.Below(100);
            if (r < 6) {
                uint32_t size = rng.Below(20000);
                uint32_t reserve = rng.Below(2) ? size + rng.Below(200000) : rng.Below(size + 1);
                s.p = (uint8_t *)via->AllocWithReserve(reserve, size, zero);
                s.kind = kDirect;
                s.size = size;
                s.capacity = DirectCapacity(reserve);
                expectZero = zero;
            } else {
                s.size = PickSize(rng, kSmall);
                if (r < 60)
                    s.p = (uint8_t *)via->AllocMem(s.size);
                else if (r < 85)
                    s.p = (uint8_t *)via->Alloc(s.size, zero);
                else {
                    uint32_t count = 1 + rng.Below(4), each = s.size / count;
                    s.size = count * each;
                    s.p = (uint8_t *)via->AllocArray(count, each, zero);
                }
                s.kind = s.size > 1016 ? kBig : kSmall;
                if (r < 60) expectZero = via == &b;
            }
            ASSERT_NE(nullptr, s.p) << "seed " << kSeed << " step " << step;
            ASSERT_EQ(0u, (uintptr_t)s.p & 7) << "seed " << kSeed << " step " << step;
            if (expectZero) ASSERT_TRUE(IsMemoryFilledWith(s.p, s.size, 0)) << "seed " << kSeed << " step " << step;
            s.owner = via;
            s.id = nextId++;
            Fill(s.p, s.size, s.id);
        } else {
            ASSERT_EQ(s.size, via->GetBlockSize(s.p)) << "seed " << kSeed << " step " << step;
            ASSERT_EQ(s.owner, OwnerOf(s.p)) << "seed " << kSeed << " step " << step;
            ASSERT_TRUE(Intact(s.p, s.size, s.id, s.size)) << "seed " << kSeed << " step " << step;
            if (rng.Below(10) < 4) {
                VR_Heap::FreeMem(s.p);
                if (rng.Below(8) == 0) VR_Heap::Free(s.p);  // a second free is ignored
                s.p = 0;
            } else {
                uint32_t size = s.kind == kDirect ? rng.Below(s.capacity + s.capacity / 8 + 1) : PickSize(rng, s.kind);
                uint8_t *q = (uint8_t *)via->Realloc(s.p, size, zero);
                if (s.kind == kDirect && size > s.capacity) {
                    ASSERT_EQ(nullptr, q) << "seed " << kSeed << " step " << step;
                    ASSERT_EQ(s.size, via->GetBlockSize(s.p)) << "seed " << kSeed << " step " << step;
                    ASSERT_TRUE(Intact(s.p, s.size, s.id, s.size)) << "seed " << kSeed << " step " << step;
                } else {
                    ASSERT_NE(nullptr, q) << "seed " << kSeed << " step " << step;
                    if (s.kind == kDirect) ASSERT_EQ(s.p, q) << "seed " << kSeed << " step " << step;
                    uint32_t kept = size < s.size ? size : s.size;
                    ASSERT_TRUE(Intact(q, s.size, s.id, kept)) << "seed " << kSeed << " step " << step;
                    if (size > s.size && expectZero)
                        ASSERT_TRUE(IsMemoryFilledWith(q + s.size, size - s.size, 0))
                            << "seed " << kSeed << " step " << step;
                    // A small block that had to move is now a block of the
                    // heap it was reallocated through; big and direct blocks
                    // stay with their owner.
                    if (s.kind == kSmall && q != s.p) {
                        s.owner = via;
                        s.kind = size > 1016 ? kBig : kSmall;
                    }
                    s.p = q;
                    s.size = size;
                    ASSERT_EQ(s.owner, OwnerOf(q)) << "seed " << kSeed << " step " << step;
                    Fill(q, size, s.id);
                }
            }
        }

        ASSERT_EQ(nullptr, a.Validate()) << "seed " << kSeed << " step " << step;
        ASSERT_EQ(nullptr, b.Validate()) << "seed " << kSeed << " step " << step;

        if (step % 40000 == 39999) {
            // The heap's blocks in use are exactly the model's, then Clear
            // takes all of them out of library memory.
            VR_Heap *h = heaps[(step / 40000) & 1];
            int modelled = 0, walked = 0;
            for (Slot &t : slots)
                if (t.p && t.owner == h) modelled++;
            h->ForEach(CountBlock, &walked);
            ASSERT_EQ(modelled, walked) << "seed " << kSeed << " step " << step;
            h->Clear();
            for (Slot &t : slots) {
                if (t.p && t.owner == h) {
                    ASSERT_FALSE(IsDynamicMemory(t.p)) << "seed " << kSeed << " step " << step;
                    t.p = 0;
                }
            }
            ASSERT_EQ(nullptr, h->Validate()) << "seed " << kSeed << " step " << step;
        }
    }

    for (Slot &t : slots)
        if (t.p) VR_Heap::FreeMem(t.p);
    VR_Test::FlushThreadCache();
    for (VR_Heap *h : heaps) {
        EXPECT_EQ(nullptr, h->Validate());
        EXPECT_EQ(nullptr, VR_Test::BigBlocks(*h));
        EXPECT_EQ(0u, VR_Test::DirectCount(*h));
        int walked = 0;
        h->ForEach(CountBlock, &walked);
        EXPECT_EQ(0, walked);
    }
}
