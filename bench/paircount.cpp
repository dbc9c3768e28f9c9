/*
 * paircount.cpp - N pairs of malloc(64) and free, in a function of their
 * own, for an instruction count under callgrind (bench/callgrind-pair): the
 * count is collected inside PairLoop only, and the script subtracts the
 * count of N pairs from that of 2N, which leaves what N pairs cost with
 * the first calls' set-up taken out. The loop's own increment, compare and
 * branch (about four instructions a pair) are part of the figure.
 *
 * Usage: bench_paircount N [--expect ALLOC]. Not linked with the library:
 * run it with the allocator preloaded, so the calls go through the same
 * entry points as any program's.
 */
#include "bench.h"

using namespace vrb;

extern "C" __attribute__((noinline)) void PairLoop(uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        void *p = malloc(64);
        Escape(p);
        free(p);
    }
}

int main(int argc, char **argv) {
    if (argc < 2 || atoi(argv[1]) <= 0) {
        fprintf(stderr, "usage: bench_paircount N [--expect ALLOC]\n");
        return 2;
    }
    uint32_t n = (uint32_t)atoi(argv[1]);
    int status;
    /* The count takes argv[0]'s place, so Start sees only the options. */
    if (!Start("paircount", argc - 1, argv + 1, &status))
        return status;
    PairLoop(n);
    return Finish();
}
