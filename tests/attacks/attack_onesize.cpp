/*
 * attack_onesize.cpp - a fixed-size heap turns away what the general heap
 * turns away: a second free of a block, a pointer that is no block of it
 * (the stack, a malloc block, a general heap's block, the page set's own
 * header, a pointer inside a block) and two threads freeing the same blocks
 * at once. Each is tried on a heap with and without a lock; afterwards the
 * heap must be sound and hand out distinct blocks.
 *
 *   attack_onesize [--rounds N]
 */
#include "attack.h"

namespace {

enum { kSize = 48, kMany = 600 };

/* kMany blocks from h, none overlapping another nor the live block keep. */
void CheckDistinct(VR_HeapOneSize &h, const void *keep, const char *after)
{
    static void *p[kMany + 1];
    for (uint32_t i = 0; i < kMany; i++) {
        p[i] = h.AllocMem(kSize);
        ATTACK_CHECK(p[i] != 0, "%s: allocation %u failed", after, i);
    }
    uint32_t n = kMany;
    if (keep) p[n++] = (void *)keep;
    ATTACK_CHECK(AttackOverlaps(p, n, kSize) == 0, "%s: one block handed out twice", after);
    for (uint32_t i = 0; i < n; i++)
        if (p[i] != keep) VR_HeapOneSize::FreeMem(p[i]);
    const char *why = h.Validate();
    ATTACK_CHECK(why == 0, "%s: heap unsound: %s", after, why);
}

void Sequential(unsigned long flags)
{
    {
        VR_HeapOneSize h(kSize, flags);
        void *a = h.AllocMem(kSize);
        VR_HeapOneSize::FreeMem(a);
        VR_HeapOneSize::FreeMem(a);
        CheckDistinct(h, 0, "double free");
    }
    {
        VR_HeapOneSize h(kSize, flags);
        void *a = h.AllocMem(kSize), *b = h.AllocMem(kSize);
        /* Inside a live block, and between two blocks' starts. */
        VR_HeapOneSize::FreeMem((char *)a + 4);
        VR_HeapOneSize::FreeMem((char *)b + kSize / 2);
        /* The page set's header, and its uncut or uncommitted rest. */
        uintptr_t base = (uintptr_t)a & ~(uintptr_t)0xFFFF;
        VR_HeapOneSize::FreeMem((void *)(base + 8));
        VR_HeapOneSize::FreeMem((void *)(base + 0x8000));
        VR_HeapOneSize::FreeMem((void *)(base + 0xFFF8));
        CheckDistinct(h, a, "interior pointers");
        VR_HeapOneSize::FreeMem(b);
        VR_HeapOneSize::FreeMem(a);
    }
    {
        VR_HeapOneSize h(kSize, flags);
        void *a = h.AllocMem(kSize);
        char stack[64];
        memset(stack, 0, sizeof stack);
        VR_HeapOneSize::FreeMem(stack + 8);
        void *m = malloc(kSize);
        VR_HeapOneSize::FreeMem(m);
        VR_Heap g(flags);
        void *s = g.AllocMem(40), *big = g.AllocMem(5000);
        VR_HeapOneSize::FreeMem(s);
        VR_HeapOneSize::FreeMem(big);
        static char global[256];
        VR_HeapOneSize::FreeMem(global + 16);
        /* Another one-size heap's block, of another size. */
        VR_HeapOneSize other(kSize * 2, flags);
        void *o = other.AllocMem(kSize);
        VR_HeapOneSize::FreeMem((char *)o + kSize);
        CheckDistinct(h, a, "foreign pointers");
        ATTACK_CHECK(g.Validate() == 0 && other.Validate() == 0, "a foreign heap is unsound");
        memset(m, 1, kSize);
        free(m);
        g.FreeMem(s);
        g.FreeMem(big);
        VR_HeapOneSize::FreeMem(o);
        VR_HeapOneSize::FreeMem(a);
    }
}

/* Two threads free the same blocks at once, block by block; then every
   block the heap hands out must be distinct. Returns the overlaps seen. */
template <class Heap>
uint32_t Racing(Heap &h, uint32_t rounds, int bound)
{
    enum { kBlocks = 64 };
    static void *blocks[kBlocks];
    static void *after[4 * kBlocks];
    uint32_t overlaps = 0;
    for (uint32_t r = 0; r < rounds; r++) {
        for (void *&b : blocks) b = h.AllocMem(kSize);
        AttackStart start;
        auto freer = [&] {
            /* A thread that allocates from the heap frees into a bin of
               its own, without the heap's lock. */
            for (int i = 0; bound && i < 80; i++) {
                void *q[4];
                for (void *&p : q) p = h.AllocMem(kSize);
                for (void *p : q) Heap::FreeMem(p);
            }
            start.Wait(2);
            for (void *b : blocks) Heap::FreeMem(b);
        };
        std::thread t1(freer), t2(freer);
        t1.join();
        t2.join();
        for (void *&p : after) p = h.AllocMem(kSize);
        overlaps += AttackOverlaps(after, 4 * kBlocks, kSize);
        for (void *p : after) {
            ATTACK_CHECK(p && IsDynamicMemory(p), "racing frees: an allocation outside the library: %p", p);
        }
        /* Freed once each: what two callers were handed is one block. */
        std::sort(after, after + 4 * kBlocks);
        for (uint32_t i = 0; i < 4 * kBlocks; i++)
            if (i == 0 || after[i] != after[i - 1]) Heap::FreeMem(after[i]);
    }
    return overlaps;
}

} // namespace

int main(int argc, char **argv)
{
    uint32_t rounds = argc > 2 && !strcmp(argv[1], "--rounds") ? (uint32_t)atoi(argv[2]) : 200;
    Sequential(0);
    Sequential(VR_HEAP_MULTITHREADED);

    VR_HeapOneSize one(kSize, VR_HEAP_MULTITHREADED);
    VR_Heap general(VR_HEAP_MULTITHREADED);
    for (int bound = 0; bound < 2; bound++) {
        uint32_t oneOverlaps = Racing(one, rounds, bound), generalOverlaps = Racing(general, rounds, bound);
        printf("racing double frees, %u rounds of 64 blocks, %s: %u overlaps in the one-size heap, %u in the general heap\n",
               rounds, bound ? "into bins" : "under the lock", oneOverlaps, generalOverlaps);
        fflush(stdout);
        if (oneOverlaps == 0) ATTACK_CHECK(one.Validate() == 0, "one-size heap unsound after racing frees: %s", one.Validate());
        /* The window two racing frees into bins can both pass is a few
           instructions wide in either heap: what slips through must stay
           as rare as in the general heap. */
        ATTACK_CHECK(oneOverlaps <= 2 * generalOverlaps + rounds / 20, "racing double frees overlap in the one-size heap");
    }
    printf("attack_onesize: held\n");
    return 0;
}
