/*
 * prodcons.cpp - one thread allocates, another frees: every free is a
 * cross-thread free, and the two threads contend for whatever the allocator
 * shares between them. Reports throughput (mallocs plus frees per second).
 */
#include <thread>

#include "bench.h"
#include "mailbox.h"

using namespace vrb;

static const uint32_t kBatch = 32;
/* The producer waits when this many blocks are not yet freed: the live set
   (a few MB at most) stays the same whatever the scheduling, so the peak
   memory shows what the allocator holds. */
static const uint32_t kMaxPending = 8 * 1024;

static void Produce(Mailbox *box, uint32_t batches, uint64_t *made, uint32_t *bad) {
    Rng r(4242);
    for (uint32_t b = 0; b < batches; ++b) {
        void *first = 0, *last = 0;
        uint32_t n = 0;
        for (uint32_t i = 0; i < kBatch; ++i) {
            void *p = malloc(8 + r.Below(505));
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
        if (first)
            box->Post(first, last, n);
        *made += n;
        while (box->pending.load(std::memory_order_relaxed) > kMaxPending)
            std::this_thread::yield();
    }
}

/* Frees until the producer has finished and the mailbox is empty. */
static void Consume(Mailbox *box, std::atomic<int> *done, uint64_t *freed, uint32_t *bad) {
    for (;;) {
        void *got = box->TakeAll();
        if (!got) {
            if (done->load(std::memory_order_acquire)) {
                got = box->TakeAll();
                if (!got)
                    break;
            } else {
                std::this_thread::yield();
                continue;
            }
        }
        uint32_t n = FreeChain(got, bad);
        *freed += n;
        box->pending.fetch_sub(n, std::memory_order_relaxed);
    }
}

int main(int argc, char **argv) {
    int status;
    if (!Start("prodcons", argc, argv, &status))
        return status;
    if (!Want("threads2"))
        return 0;
    uint32_t batches = Count(50000, 300);
    Mailbox box;
    std::atomic<int> done{0};
    uint32_t badP = 0, badC = 0;
    uint64_t made = 0, freed = 0;
    double t0 = NowNs();
    std::thread consumer(Consume, &box, &done, &freed, &badC);
    std::thread producer(Produce, &box, batches, &made, &badP);
    producer.join();
    done.store(1, std::memory_order_release);
    consumer.join();
    double t1 = NowNs();
    Check(badP == 0 && badC == 0, "every block is allocated and arrives intact");
    Check(made == freed && made == (uint64_t)batches * kBatch, "every block is freed once");
    Report("threads2", "ops_per_s", (double)(made + freed) / ((t1 - t0) * 1e-9));
    return Finish();
}
