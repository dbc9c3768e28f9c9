/*
 * queue.cpp - blocks exchanged through queues: N producer threads allocate
 * batches of blocks of random small sizes and post each batch to one of N
 * consumer threads in turn, which free them. Every free is a cross-thread
 * free, and each consumer frees blocks of every producer.
 *
 * Cases: threads2 (one producer, one consumer) and threads4 (two of each).
 * Reports throughput (one operation being one malloc or one free).
 */
#include <thread>

#include "bench.h"
#include "mailbox.h"

using namespace vrb;

static const uint32_t kBatch = 100;
/* A producer whose consumer is this far behind waits, so the live set stays
   bounded whatever the scheduling, and the peak memory shows what the
   allocator holds rather than how far a producer got ahead. */
static const uint32_t kMaxPending = 8 * 1024;

struct Consumer {
    Mailbox box;
    uint64_t freed = 0;
    uint32_t bad = 0;
};

struct Shared {
    Consumer *consumers;
    uint32_t pairs;
    std::atomic<uint32_t> producing;
};

static void Produce(Shared *s, uint32_t self, uint32_t batches, uint64_t *made, uint32_t *bad) {
    Rng r(9001 + self);
    for (uint32_t b = 0; b < batches; ++b) {
        void *first = 0, *last = 0;
        uint32_t n = 0;
        for (uint32_t i = 0; i < kBatch; ++i) {
            void *p = malloc(16 + r.Below(241));
            if (!p) {
                ++*bad;
                continue;
            }
            ((uint32_t *)p)[1] = 0x5EEDF00Du;
            *(void **)p = first;
            first = p;
            if (!last)
                last = p;
            ++n;
        }
        Consumer *to = &s->consumers[(self + b) % s->pairs];
        if (first)
            to->box.Post(first, last, n);
        *made += n;
        while (to->box.pending.load(std::memory_order_relaxed) > kMaxPending)
            std::this_thread::yield();
    }
    s->producing.fetch_sub(1, std::memory_order_release);
}

/* Frees until every producer has finished and the queue is empty. */
static void Consume(Shared *s, Consumer *c) {
    for (;;) {
        void *got = c->box.TakeAll();
        if (!got) {
            if (s->producing.load(std::memory_order_acquire) == 0) {
                got = c->box.TakeAll();
                if (!got)
                    break;
            } else {
                std::this_thread::yield();
                continue;
            }
        }
        uint32_t n = FreeChain(got, &c->bad);
        c->freed += n;
        c->box.pending.fetch_sub(n, std::memory_order_relaxed);
    }
}

static void Run(const char *name, uint32_t pairs) {
    const uint32_t batches = Count(20000, 200) / pairs;
    Consumer consumers[2];
    Shared s;
    s.consumers = consumers;
    s.pairs = pairs;
    s.producing.store(pairs);
    std::thread cons[2], prod[2];
    uint64_t made[2] = {0, 0};
    uint32_t badP[2] = {0, 0};
    double t0 = NowNs();
    for (uint32_t k = 0; k < pairs; ++k)
        cons[k] = std::thread(Consume, &s, &consumers[k]);
    for (uint32_t k = 0; k < pairs; ++k)
        prod[k] = std::thread(Produce, &s, k, batches, &made[k], &badP[k]);
    for (uint32_t k = 0; k < pairs; ++k)
        prod[k].join();
    for (uint32_t k = 0; k < pairs; ++k)
        cons[k].join();
    double t1 = NowNs();
    uint64_t allMade = 0, allFreed = 0;
    uint32_t bad = 0;
    for (uint32_t k = 0; k < pairs; ++k) {
        allMade += made[k];
        allFreed += consumers[k].freed;
        bad += badP[k] + consumers[k].bad;
    }
    Check(bad == 0, "every block is allocated and arrives intact");
    Check(allMade == allFreed && allMade == (uint64_t)pairs * batches * kBatch, "every block is freed once");
    Report(name, "ops_per_s", (double)(allMade + allFreed) / ((t1 - t0) * 1e-9));
}

int main(int argc, char **argv) {
    int status;
    if (!Start("queue", argc, argv, &status))
        return status;
    if (Want("threads2"))
        Run("threads2", 1);
    if (Want("threads4"))
        Run("threads4", 2);
    return Finish();
}
