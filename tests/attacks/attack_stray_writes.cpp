/*
 * attack_stray_writes.cpp - writes through freed pointers never make an
 * allocation fail while memory is there: each round frees a run of blocks,
 * writes a few zero or chosen bytes into each (where a freed block's link
 * lies, and just behind it), and allocates the run again. Every request
 * must be served, by a block of the library, and the blocks must be
 * distinct. malloc, and a heap of the program's own with and without a
 * lock.
 */
#include <errno.h>

#include "attack.h"

namespace {

enum { kRun = 48, kRounds = 40 };

template <class Alloc, class Free>
void Run(const char *who, Alloc alloc, Free free_, uint32_t size)
{
    static void *b[kRun];
    for (uint32_t round = 0; round < kRounds; round++) {
        for (void *&p : b) {
            p = alloc(size);
            ATTACK_CHECK(p != 0, "%s: first allocation of %u failed", who, size);
        }
        for (void *p : b) free_(p);
        uint32_t at = (round & 1) ? 4 : 0;
        uint32_t word = (round & 2) ? 0x41414141u : 0;
        for (void *p : b) memcpy((char *)p + at, &word, 4);
        for (uint32_t i = 0; i < kRun; i++) {
            errno = 0;
            b[i] = alloc(size);
            ATTACK_CHECK(b[i] != 0, "%s: round %u, allocation %u of %u bytes failed (errno %d) after writes into freed blocks",
                         who, round, i, size, errno);
            ATTACK_CHECK(IsDynamicMemory(b[i]), "%s: block outside the library", who);
        }
        ATTACK_CHECK(AttackOverlaps(b, kRun, size) == 0, "%s: one block handed out twice", who);
        for (void *p : b) free_(p);
    }
}

} // namespace

int main()
{
    for (uint32_t size : {16u, 100u, 1000u, 3000u, 40000u}) {
        Run("malloc", [](uint32_t n) { return malloc(n); }, [](void *p) { free(p); }, size);
        for (long flags : {0L, (long)VR_HEAP_MULTITHREADED}) {
            VR_Heap h(flags);
            Run(flags ? "locked heap" : "heap", [&](uint32_t n) { return h.AllocMem(n); },
                [](void *p) { VR_Heap::FreeMem(p); }, size);
        }
    }
    printf("attack_stray_writes: held\n");
    return 0;
}
