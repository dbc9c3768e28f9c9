/*
 * pairs.cpp - the cost of one malloc followed at once by its free, for one
 * size at a time from 8 bytes to 64 KB: the allocator's fastest path (a pop
 * and a push on one size class) and, for the big sizes, its big-block path.
 */
#include "bench.h"

using namespace vrb;

static const uint32_t kSizes[] = {8, 16, 32, 64, 128, 256, 512, 1024, 4096, 16384, 65536};

int main(int argc, char **argv) {
    int status;
    if (!Start("pairs", argc, argv, &status))
        return status;
    if (!Want("sizes"))
        return 0;
    for (uint32_t size : kSizes) {
        /* Warm-up: the first block of a size makes the allocator's page set
           or bin, which is not what is measured. */
        void *w = malloc(size);
        Check(w != 0, "warm-up block");
        free(w);

        /* Chunks of rounds until the pass has used enough CPU time for the
           coarsest process clock (Wine's counts in 10 ms steps) to be
           precise to a few percent. */
        const uint32_t chunk = Count(100000, 2000);
        const double minNs = g_opt.smoke ? 0 : (MinCpuNs() > 2.5e8 ? MinCpuNs() : 2.5e8);
        uint32_t rounds = 0;
        double t0 = CpuNs(), t1;
        do {
            for (uint32_t i = 0; i < chunk; ++i) {
                char *p = (char *)malloc(size);
                Escape(p);
                p[0] = (char)i;
                p[size - 1] = (char)i;
                free(p);
            }
            rounds += chunk;
            t1 = CpuNs();
        } while (t1 - t0 < minNs);

        /* The same path once more with the data checked. */
        unsigned char *p = (unsigned char *)malloc(size);
        Check(p != 0, "block of the measured size");
        if (p) {
            memset(p, 0xA5, size);
            Check(p[0] == 0xA5 && p[size - 1] == 0xA5, "block keeps its bytes");
            free(p);
        }

        char name[32];
        snprintf(name, sizeof name, "%u", (unsigned)size);
        Report(name, "ns_per_op", (t1 - t0) / rounds);
    }
    return Finish();
}
