/*
 * paircount.cpp - N pairs of malloc(64) and free, in a function of their
 * own, for an instruction count under callgrind (bench/callgrind-pair): the
 * count is collected inside PairLoop only, and the script subtracts the
 * count of N pairs from that of 2N, which leaves what N pairs cost with
 * the first calls' set-up taken out. The loop's own increment, compare and
 * branch (about four instructions a pair) are part of the figure.
 *
 * Usage: bench_paircount N [--align A] [--expect ALLOC]; with --align the
 * pairs are aligned_alloc(A, 64) and free. Not linked with the library:
 * run it with the allocator preloaded, so the calls go through the same
 * entry points as any program's.
 */
#include "bench.h"

#if defined(_WIN32)
#  include <malloc.h>
#endif

using namespace vrb;

/* With --align A the pairs are aligned_alloc(A, 64) and free instead
   (_aligned_malloc and _aligned_free on Windows). */
static size_t g_align;

extern "C" __attribute__((noinline)) void PairLoop(uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
#if defined(_WIN32)
        void *p = g_align ? _aligned_malloc(64, g_align) : malloc(64);
        Escape(p);
        if (g_align)
            _aligned_free(p);
        else
            free(p);
#else
        void *p = g_align ? aligned_alloc(g_align, 64) : malloc(64);
        Escape(p);
        free(p);
#endif
    }
}

int main(int argc, char **argv) {
    if (argc < 2 || atoi(argv[1]) <= 0) {
        fprintf(stderr, "usage: bench_paircount N [--align A] [--expect ALLOC]\n");
        return 2;
    }
    uint32_t n = (uint32_t)atoi(argv[1]);
    int first = 1;
    if (argc > 3 && !strcmp(argv[2], "--align")) {
        g_align = (size_t)atoi(argv[3]);
        first = 3;
    }
    int status;
    /* The count (and --align) takes argv[0]'s place, so Start sees only
       the options. */
    if (!Start("paircount", argc - first, argv + first, &status))
        return status;
    PairLoop(n);
    return Finish();
}
