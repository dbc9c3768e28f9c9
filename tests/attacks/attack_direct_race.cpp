/*
 * attack_direct_race.cpp - blocks with a reservation of their own
 * (AllocWithReserve) freed by several threads at once: the first free gives
 * the reservation back to the system while the others are still looking at
 * the block, so nothing of a free may read the block's header without
 * knowing it is still there. Big blocks of a chunk get the same treatment.
 * Afterwards the heap is sound and hands out distinct blocks.
 *
 *   attack_direct_race [--rounds N]
 */
#include "attack.h"

namespace {

enum { kBlocks = 32, kMaxThreads = 8 };

void Race(VR_Heap &h, uint32_t threads, uint32_t rounds, int direct)
{
    static void *blocks[kBlocks];
    for (uint32_t r = 0; r < rounds; r++) {
        for (void *&b : blocks) {
            b = direct ? h.AllocWithReserve(200000, 3000, 0) : h.AllocMem(3000);
            ATTACK_CHECK(b != 0, "allocation failed");
            memset(b, 0x5A, 3000);
        }
        AttackStart start;
        std::thread *pool[kMaxThreads];
        for (uint32_t t = 0; t < threads; t++)
            pool[t] = new std::thread([&] {
                start.Wait((int)threads);
                for (void *b : blocks) VR_Heap::FreeMem(b);
            });
        for (uint32_t t = 0; t < threads; t++) {
            pool[t]->join();
            delete pool[t];
        }
        const char *why = h.Validate();
        ATTACK_CHECK(why == 0, "%u threads, %s blocks: heap unsound: %s", threads, direct ? "direct" : "big", why);
    }
    static void *after[2 * kBlocks];
    for (void *&p : after) p = direct ? h.AllocWithReserve(200000, 3000, 0) : h.AllocMem(3000);
    for (void *p : after) ATTACK_CHECK(p && IsDynamicMemory(p), "an allocation failed or lies outside the library");
    ATTACK_CHECK(AttackOverlaps(after, 2 * kBlocks, 3000) == 0, "one block handed out twice");
    for (void *p : after) VR_Heap::FreeMem(p);
}

} // namespace

int main(int argc, char **argv)
{
    uint32_t rounds = argc > 2 && !strcmp(argv[1], "--rounds") ? (uint32_t)atoi(argv[2]) : 60;
    VR_Heap h(VR_HEAP_MULTITHREADED);
    for (uint32_t threads : {2u, 8u}) {
        Race(h, threads, rounds, 1);
        Race(h, threads, rounds / 4, 0);
    }
    printf("attack_direct_race: held\n");
    return 0;
}
