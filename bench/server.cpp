/*
 * server.cpp - several threads, each allocating requests of random small
 * sizes and handing them in batches to the next thread, which frees them:
 * most frees are cross-thread frees, as in a server whose worker threads
 * pass buffers along a pipeline. Reports throughput (operations per second,
 * one operation being one malloc or one free).
 */
#include <thread>

#include "bench.h"
#include "mailbox.h"

using namespace vrb;

static const uint32_t kThreads = 4;
static const uint32_t kBatch = 64;
/* A thread that is this far ahead of its receiver waits, so the live set
   stays bounded whatever the scheduling. Small enough (a few MB at most)
   that the peak memory shows what the allocator holds, not how far a
   thread got ahead on a busy machine. */
static const uint32_t kMaxPending = 8 * 1024;

struct Worker {
    Mailbox inbox;
    uint32_t freed = 0;
    uint32_t bad = 0;
};

/* Threads still allocating. A thread that has finished its own batches goes
   on freeing what it receives until every thread has finished, so the one
   before it never runs ahead without bound. */
static std::atomic<uint32_t> s_producing{0};

/* Frees what the previous thread sent; returns how many blocks. */
static uint32_t Drain(Worker *self) {
    uint32_t n = FreeChain(self->inbox.TakeAll(), &self->bad);
    self->freed += n;
    self->inbox.pending.fetch_sub(n, std::memory_order_relaxed);
    return n;
}

static void Work(Worker *self, Worker *next, uint32_t batches, uint32_t seed) {
    Rng r(seed);
    for (uint32_t b = 0; b < batches; ++b) {
        void *first = 0, *last = 0;
        for (uint32_t i = 0; i < kBatch; ++i) {
            uint32_t size = 8 + r.Below(r.Below(8) == 0 ? 1017 : 249);
            void *p = malloc(size);
            if (!p) {
                ++self->bad;
                continue;
            }
            ((uint32_t *)p)[1] = 0x5EEDF00Du;
            *(void **)p = first;
            first = p;
            if (!last)
                last = p;
        }
        if (first)
            next->inbox.Post(first, last, kBatch);
        /* Some own work: free what the previous thread sent. */
        Drain(self);
        while (next->inbox.pending.load(std::memory_order_relaxed) > kMaxPending) {
            Drain(self);
            std::this_thread::yield();
        }
    }
    s_producing.fetch_sub(1, std::memory_order_acq_rel);
    while (s_producing.load(std::memory_order_acquire) != 0)
        if (!Drain(self))
            std::this_thread::yield();
}

int main(int argc, char **argv) {
    int status;
    if (!Start("server", argc, argv, &status))
        return status;
    if (!Want("threads4"))
        return 0;
    uint32_t batches = Count(10000, 200);
    Worker workers[kThreads];
    std::thread threads[kThreads];
    s_producing.store(kThreads);
    double t0 = NowNs();
    for (uint32_t t = 0; t < kThreads; ++t)
        threads[t] = std::thread(Work, &workers[t], &workers[(t + 1) % kThreads], batches, 777 + t);
    for (uint32_t t = 0; t < kThreads; ++t)
        threads[t].join();
    /* What is still in the mailboxes is freed here, inside the timing: every
       block allocated is freed once. */
    for (uint32_t t = 0; t < kThreads; ++t)
        workers[t].freed += FreeChain(workers[t].inbox.TakeAll(), &workers[t].bad);
    double t1 = NowNs();
    uint64_t ops = 0;
    uint32_t bad = 0;
    for (uint32_t t = 0; t < kThreads; ++t) {
        ops += workers[t].freed;
        bad += workers[t].bad;
    }
    Check(bad == 0, "every block arrives intact");
    Check(ops == (uint64_t)kThreads * batches * kBatch, "every block is freed once");
    Report("threads4", "ops_per_s", 2.0 * ops / ((t1 - t0) * 1e-9));
    return Finish();
}
