/*
 * larson.cpp - a server in the style of Larson and Krishnan's benchmark: each
 * of N threads owns an array of slots holding blocks of random sizes, and
 * over and over frees the block of a random slot and puts a new block of a
 * random size in its place. After a round the thread hands its slot array on
 * to a thread it starts, and ends: the new thread frees blocks its
 * predecessor allocated, as a server's short-lived worker threads free what
 * earlier ones built. The slot arrays start filled by the main thread.
 *
 * Cases: threads2/threads4 with blocks of 8..1000 bytes, threads2_8k/
 * threads4_8k with blocks of 8..8192 bytes. Reports throughput (operations
 * per second, one operation being one malloc or one free).
 */
#include <atomic>
#include <thread>

#include "bench.h"

using namespace vrb;

static const uint32_t kSlots = 1000;     /* slots per thread lineage */
static const uint32_t kMaxGenerations = 64;

struct Lineage {
    unsigned char *block[kSlots];
    uint32_t size[kSlots];
    uint32_t id = 0;
    uint32_t maxSize = 0;
    uint32_t opsPerRound = 0;
    uint32_t rounds = 0;
    Rng rng{1};
    uint64_t pairs = 0; /* one free and one malloc */
    uint32_t bad = 0;
};

/* Every thread started is parked here until the main thread joins it, so
   no thread is left running (or detached) when the timing ends. */
struct Handles {
    std::thread thread[4 * kMaxGenerations];
    std::atomic<int> ready[4 * kMaxGenerations];
    std::atomic<uint32_t> next{0};
};

static Handles *s_handles;

/* The slot's number and the lineage's at the block's start, one byte of it
   at its end: a block handed out twice or overwritten is caught. */
static void Stamp(Lineage *l, uint32_t i) {
    uint32_t tag = (l->id << 16) | i;
    memcpy(l->block[i], &tag, 4);
    l->block[i][l->size[i] - 1] = (unsigned char)i;
}
static int StampOk(const Lineage *l, uint32_t i) {
    uint32_t tag;
    memcpy(&tag, l->block[i], 4);
    return tag == ((l->id << 16) | i) && l->block[i][l->size[i] - 1] == (unsigned char)i;
}

static uint32_t RandomSize(Lineage *l) { return 8 + l->rng.Below(l->maxSize - 7); }

static void Park(std::thread t) {
    uint32_t k = s_handles->next.fetch_add(1, std::memory_order_relaxed);
    s_handles->thread[k] = std::move(t);
    s_handles->ready[k].store(1, std::memory_order_release);
}

static void Round(Lineage *l, uint32_t round) {
    for (uint32_t n = 0; n < l->opsPerRound; ++n) {
        uint32_t i = l->rng.Below(kSlots);
        if (!StampOk(l, i))
            ++l->bad;
        free(l->block[i]);
        l->size[i] = RandomSize(l);
        l->block[i] = (unsigned char *)malloc(l->size[i]);
        if (!l->block[i]) {
            /* The other lineages would wait for this one forever. */
            fprintf(stderr, "larson: malloc(%u) failed\n", (unsigned)l->size[i]);
            exit(1);
        }
        Stamp(l, i);
    }
    l->pairs += l->opsPerRound;
    if (round + 1 < l->rounds)
        Park(std::thread(Round, l, round + 1));
}

static void Run(const char *name, uint32_t threads, uint32_t maxSize, uint32_t totalPairs) {
    /* The same total work for every thread count. */
    const uint32_t rounds = Count(20, 3);
    Lineage *lines = new Lineage[threads];
    Handles handles;
    for (uint32_t k = 0; k < 4 * kMaxGenerations; ++k)
        handles.ready[k].store(0);
    s_handles = &handles;
    for (uint32_t t = 0; t < threads; ++t) {
        Lineage *l = &lines[t];
        l->id = t + 1;
        l->maxSize = maxSize;
        l->rounds = rounds;
        l->opsPerRound = totalPairs / threads / rounds;
        l->rng = Rng(4141 + 7 * t);
        for (uint32_t i = 0; i < kSlots; ++i) {
            l->size[i] = RandomSize(l);
            l->block[i] = (unsigned char *)malloc(l->size[i]);
            if (!l->block[i]) {
                fprintf(stderr, "larson: malloc(%u) failed\n", (unsigned)l->size[i]);
                exit(1);
            }
            Stamp(l, i);
        }
    }
    double t0 = NowNs();
    for (uint32_t t = 0; t < threads; ++t)
        Park(std::thread(Round, &lines[t], 0u));
    for (uint32_t k = 0; k < threads * rounds; ++k) {
        while (!handles.ready[k].load(std::memory_order_acquire))
            std::this_thread::yield();
        handles.thread[k].join();
    }
    double t1 = NowNs();
    uint64_t pairs = 0;
    uint32_t bad = 0;
    for (uint32_t t = 0; t < threads; ++t) {
        Lineage *l = &lines[t];
        for (uint32_t i = 0; i < kSlots; ++i) {
            if (!StampOk(l, i))
                ++bad;
            free(l->block[i]);
        }
        pairs += l->pairs;
        bad += l->bad;
    }
    delete[] lines;
    Check(bad == 0, "every block keeps its stamp");
    Check(handles.next.load() == threads * rounds, "every round ran in a thread of its own");
    Report(name, "ops_per_s", 2.0 * pairs / ((t1 - t0) * 1e-9));
}

int main(int argc, char **argv) {
    int status;
    if (!Start("larson", argc, argv, &status))
        return status;
    /* Fewer pairs with big blocks: each of those costs more. */
    if (Want("threads2"))
        Run("threads2", 2, 1000, Count(5000000, 1000000, 6000));
    if (Want("threads4"))
        Run("threads4", 4, 1000, Count(5000000, 1000000, 6000));
    if (Want("threads2_8k"))
        Run("threads2_8k", 2, 8192, Count(2000000, 500000, 6000));
    if (Want("threads4_8k"))
        Run("threads4_8k", 4, 8192, Count(2000000, 500000, 6000));
    return Finish();
}
