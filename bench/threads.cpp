/*
 * threads.cpp - thousands of short-lived threads (a thousand under Wine,
 * where starting one costs about a millisecond), N at a time, each of which
 * allocates a few dozen blocks (a few of them big), frees most of them
 * itself, frees the blocks its predecessor in the same place left behind,
 * and leaves some of its own for its successor. Whatever an allocator keeps
 * per thread must be given back when the thread ends, or memory grows with
 * the number of threads that ever ran.
 *
 * Cases: threads2 and threads4 (threads alive at a time). Each reports the
 * wall-clock time per thread (start, work, end), and, as case
 * <case>_growth, how much the memory the process holds (resident set on
 * Linux, committed private bytes on Windows) grew from the end of the first
 * quarter of the threads to the end of the last, in KB: near zero when
 * ending threads give everything back.
 */
#include <thread>

#include "bench.h"

using namespace vrb;

static const uint32_t kBlocks = 64;  /* allocated by each thread */
static const uint32_t kLeft = 8;     /* of those, left for the successor */

struct Place {
    void *left[kLeft]; /* the predecessor's blocks, or null */
    uint32_t bad = 0;
};

static uint32_t RandomSize(Rng &r) {
    uint32_t pick = r.Below(32);
    return pick == 0 ? 4096 + r.Below(28 * 1024) : 8 + r.Below(505);
}

static void Work(Place *place, uint32_t seed) {
    Rng r(seed);
    unsigned char *block[kBlocks];
    uint32_t size[kBlocks];
    for (uint32_t i = 0; i < kBlocks; ++i) {
        size[i] = RandomSize(r);
        block[i] = (unsigned char *)malloc(size[i]);
        if (!block[i]) {
            ++place->bad;
            size[i] = 0;
            continue;
        }
        memset(block[i], (int)(i + 1), size[i] < 64 ? size[i] : 64);
    }
    for (uint32_t i = 0; i < kLeft; ++i) {
        if (place->left[i]) {
            if (((uint32_t *)place->left[i])[1] != 0x5EEDF00Du)
                ++place->bad;
            free(place->left[i]);
        }
    }
    for (uint32_t i = kLeft; i < kBlocks; ++i) {
        if (size[i] && block[i][0] != (unsigned char)(i + 1))
            ++place->bad;
        free(block[i]);
    }
    for (uint32_t i = 0; i < kLeft; ++i) {
        if (block[i] && size[i] >= 8)
            ((uint32_t *)block[i])[1] = 0x5EEDF00Du;
        else if (block[i]) {
            free(block[i]);
            block[i] = 0;
        }
        place->left[i] = block[i];
    }
}

static void Run(const char *name, uint32_t alive) {
    const uint32_t total = Count(3000, 1000, 24);
    const uint32_t waves = total / alive;
    Place place[4];
    for (uint32_t k = 0; k < alive; ++k)
        memset(place[k].left, 0, sizeof place[k].left);
    std::thread t[4];
    uint64_t quarterKb = 0;
    double t0 = NowNs();
    for (uint32_t w = 0; w < waves; ++w) {
        for (uint32_t k = 0; k < alive; ++k)
            t[k] = std::thread(Work, &place[k], 1 + w * alive + k);
        for (uint32_t k = 0; k < alive; ++k)
            t[k].join();
        if (w + 1 == waves / 4)
            quarterKb = CurrentKb();
    }
    double t1 = NowNs();
    uint64_t endKb = CurrentKb();
    uint32_t bad = 0;
    for (uint32_t k = 0; k < alive; ++k) {
        for (uint32_t i = 0; i < kLeft; ++i)
            free(place[k].left[i]);
        bad += place[k].bad;
    }
    Check(bad == 0, "every block is given and keeps its bytes");
    Report(name, "ns_per_op", (t1 - t0) / ((double)waves * alive));
    char growth[48];
    snprintf(growth, sizeof growth, "%s_growth", name);
    Report(growth, "kb", endKb > quarterKb ? (double)(endKb - quarterKb) : 0.0);
}

int main(int argc, char **argv) {
    int status;
    if (!Start("threads", argc, argv, &status))
        return status;
    if (Want("threads2"))
        Run("threads2", 2);
    if (Want("threads4"))
        Run("threads4", 4);
    return Finish();
}
