/*
 * falseshare.cpp - threads writing to small blocks (16..64 bytes) over and
 * over. Two threads' blocks that share a cache line make every write of one
 * evict the line from the other's core, which costs far more than the write:
 * an allocator that hands blocks to threads from memory of their own keeps
 * them apart.
 *   passive  the main thread allocates every thread's first blocks, one for
 *            each thread in turn, so neighbours belong to different threads;
 *            each thread writes to its blocks, frees them, and then goes on
 *            allocating blocks, writing to them and freeing them: whether
 *            the blocks it gets back stay next to the other threads' is up
 *            to the allocator.
 *   active   each thread allocates its own blocks from the start, writes to
 *            them and frees them, all threads at the same time.
 * Cases: passive2, passive4, active2, active4 (the number of threads).
 * Reports wall-clock time per pass, a pass being one write to every word of
 * one block by every thread.
 */
#include <atomic>
#include <thread>

#include "bench.h"

using namespace vrb;

static const uint32_t kPerThread = 4; /* blocks a thread writes at a time */
static const uint32_t kWrites = 200;  /* passes over them per allocation */

static uint32_t SizeOf(uint32_t thread, uint32_t i) { return 16 + 16 * ((thread + i) % 4); }

/* kWrites passes over the blocks; each word ends up equal to kWrites. */
static void Write(uint32_t *const *block, const uint32_t *size, uint32_t *bad) {
    for (uint32_t w = 0; w < kWrites; ++w)
        for (uint32_t i = 0; i < kPerThread; ++i) {
            volatile uint32_t *p = block[i];
            for (uint32_t k = 0; k < size[i] / 4; ++k)
                p[k] = p[k] + 1;
        }
    for (uint32_t i = 0; i < kPerThread; ++i)
        for (uint32_t k = 0; k < size[i] / 4; ++k)
            if (block[i][k] != kWrites)
                ++*bad;
}

struct Task {
    uint32_t *given[kPerThread]; /* passive: the blocks the main thread made */
    uint32_t index = 0;
    uint32_t rounds = 0;
    uint32_t bad = 0;
};

static void Thread(Task *task, std::atomic<int> *go) {
    uint32_t size[kPerThread];
    uint32_t *block[kPerThread];
    for (uint32_t i = 0; i < kPerThread; ++i)
        size[i] = SizeOf(task->index, i);
    while (!go->load(std::memory_order_acquire))
        std::this_thread::yield();
    uint32_t round = 0;
    if (task->given[0]) {
        Write(task->given, size, &task->bad);
        for (uint32_t i = 0; i < kPerThread; ++i)
            free(task->given[i]);
        ++round;
    }
    for (; round < task->rounds; ++round) {
        for (uint32_t i = 0; i < kPerThread; ++i) {
            block[i] = (uint32_t *)calloc(1, size[i]);
            if (!block[i]) {
                ++task->bad;
                return;
            }
        }
        Write(block, size, &task->bad);
        for (uint32_t i = 0; i < kPerThread; ++i)
            free(block[i]);
    }
}

static void Run(const char *name, uint32_t threads, int passive) {
    const uint32_t rounds = Count(20000, 10);
    Task task[4];
    for (uint32_t t = 0; t < threads; ++t) {
        task[t].index = t;
        task[t].rounds = rounds;
        memset(task[t].given, 0, sizeof task[t].given);
    }
    if (passive) {
        /* One block for each thread in turn: neighbours go to different
           threads. */
        for (uint32_t i = 0; i < kPerThread; ++i)
            for (uint32_t t = 0; t < threads; ++t) {
                task[t].given[i] = (uint32_t *)calloc(1, SizeOf(t, i));
                Check(task[t].given[i] != 0, "the main thread's blocks");
            }
    }
    std::atomic<int> go{0};
    std::thread th[4];
    for (uint32_t t = 0; t < threads; ++t)
        th[t] = std::thread(Thread, &task[t], &go);
    double t0 = NowNs();
    go.store(1, std::memory_order_release);
    for (uint32_t t = 0; t < threads; ++t)
        th[t].join();
    double t1 = NowNs();
    uint32_t bad = 0;
    for (uint32_t t = 0; t < threads; ++t)
        bad += task[t].bad;
    Check(bad == 0, "every word holds what its thread wrote");
    Report(name, "ns_per_op", (t1 - t0) / ((double)rounds * kWrites));
}

int main(int argc, char **argv) {
    int status;
    if (!Start("falseshare", argc, argv, &status))
        return status;
    if (Want("passive2"))
        Run("passive2", 2, 1);
    if (Want("passive4"))
        Run("passive4", 4, 1);
    if (Want("active2"))
        Run("active2", 2, 0);
    if (Want("active4"))
        Run("active4", 4, 0);
    return Finish();
}
