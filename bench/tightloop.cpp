/*
 * tightloop.cpp - N threads, each doing nothing but malloc(64) and its free
 * in a loop: the allocator's fastest path when several threads take it at
 * once. Whatever the threads share (a lock, a counter, a cache line) shows
 * here as lost throughput.
 *
 * Cases: threads2 and threads4, the same total number of pairs split among
 * the threads. Reports throughput (one operation being one malloc or one
 * free), from the moment all threads are released to the last one's end.
 */
#include <atomic>
#include <thread>

#include "bench.h"

using namespace vrb;

static void Loop(std::atomic<int> *go, uint32_t pairs, uint32_t *bad) {
    while (!go->load(std::memory_order_acquire))
        std::this_thread::yield();
    for (uint32_t i = 0; i < pairs; ++i) {
        unsigned char *p = (unsigned char *)malloc(64);
        Escape(p);
        if (!p) {
            ++*bad;
            continue;
        }
        p[0] = (unsigned char)i;
        p[63] = (unsigned char)i;
        free(p);
    }
}

static void Run(const char *name, uint32_t threads) {
    const uint32_t pairs = Count(20000000, 4000000, 40000) / threads;
    std::atomic<int> go{0};
    std::thread t[4];
    uint32_t bad[4] = {0, 0, 0, 0};
    for (uint32_t k = 0; k < threads; ++k)
        t[k] = std::thread(Loop, &go, pairs, &bad[k]);
    double t0 = NowNs();
    go.store(1, std::memory_order_release);
    for (uint32_t k = 0; k < threads; ++k)
        t[k].join();
    double t1 = NowNs();
    Check(bad[0] + bad[1] + bad[2] + bad[3] == 0, "every malloc gives a block");
    Report(name, "ops_per_s", 2.0 * pairs * threads / ((t1 - t0) * 1e-9));
}

int main(int argc, char **argv) {
    int status;
    if (!Start("tightloop", argc, argv, &status))
        return status;
    if (Want("threads2"))
        Run("threads2", 2);
    if (Want("threads4"))
        Run("threads4", 4);
    return Finish();
}
