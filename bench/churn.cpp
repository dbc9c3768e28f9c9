/*
 * churn.cpp - a live set of blocks of random sizes (mostly small, a tail of
 * big ones) in which a random block is freed and a new one allocated, over
 * and over, before the whole set is freed in random order. Two live-set
 * sizes: one that fits the caches, one of a few hundred thousand blocks.
 */
#include "bench.h"

using namespace vrb;

/* 90% 8..128 bytes, 9% 129..1024, 1% 1 KB..16 KB. */
static uint32_t RandomSize(Rng &r) {
    uint32_t pick = r.Below(100);
    if (pick < 90)
        return 8 + r.Below(121);
    if (pick < 99)
        return 129 + r.Below(896);
    return 1025 + r.Below(15 * 1024);
}

struct Slot {
    unsigned char *p;
    uint32_t size;
};

/* Each block carries its slot number at both ends, so a block handed out
   twice or overwritten by a neighbour is caught. */
static void Stamp(Slot &s, uint32_t i) {
    s.p[0] = (unsigned char)i;
    s.p[s.size - 1] = (unsigned char)(i >> 8);
}
static int StampOk(const Slot &s, uint32_t i) {
    return s.p[0] == (unsigned char)i && s.p[s.size - 1] == (unsigned char)(i >> 8);
}

static void Run(const char *name, uint32_t live, uint32_t ops) {
    Rng r(12345 + live);
    Slot *slots = (Slot *)malloc(sizeof(Slot) * live);
    Check(slots != 0, "slot table");
    if (!slots)
        return;
    double t0 = CpuNs();
    for (uint32_t i = 0; i < live; ++i) {
        slots[i].size = RandomSize(r);
        slots[i].p = (unsigned char *)malloc(slots[i].size);
        Stamp(slots[i], i);
    }
    uint32_t done = 0;
    for (uint32_t n = 0; n < ops || (n % 65536 != 0 || CpuNs() - t0 < MinCpuNs()); ++n, ++done) {
        uint32_t i = r.Below(live);
        if (!StampOk(slots[i], i))
            Check(0, "live block keeps its stamp");
        free(slots[i].p);
        slots[i].size = RandomSize(r);
        slots[i].p = (unsigned char *)malloc(slots[i].size);
        Stamp(slots[i], i);
    }
    /* Random order of the final frees: a shuffled index sequence. */
    uint32_t *order = (uint32_t *)malloc(sizeof(uint32_t) * live);
    for (uint32_t i = 0; i < live; ++i)
        order[i] = i;
    for (uint32_t i = live - 1; i > 0; --i) {
        uint32_t j = r.Below(i + 1);
        uint32_t t = order[i];
        order[i] = order[j];
        order[j] = t;
    }
    for (uint32_t k = 0; k < live; ++k) {
        uint32_t i = order[k];
        if (!StampOk(slots[i], i))
            Check(0, "live block keeps its stamp");
        free(slots[i].p);
    }
    double t1 = CpuNs();
    free(order);
    free(slots);
    /* One operation: one malloc and its free. */
    Report(name, "ns_per_op", (t1 - t0) / ((double)live + done));
}

int main(int argc, char **argv) {
    int status;
    if (!Start("churn", argc, argv, &status))
        return status;
    if (Want("live4k"))
        Run("live4k", Count(4096, 512), Count(6000000, 20000));
    if (Want("live200k"))
        Run("live200k", Count(200000, 2000), Count(3000000, 20000));
    return Finish();
}
