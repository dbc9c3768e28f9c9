/*
 * fork_posix.cpp - a parent whose threads allocate all the time (small,
 * big, aligned and page-set-sized blocks, heaps made and destroyed) forks
 * 200 children; each child checks its heaps, allocates and frees in every
 * way, checks them again and exits.
 * Not one child may hang: a child that has not ended within 5 seconds is
 * killed and fails the test, so a lost lock fails it instead of hanging it.
 */
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

#include "hook_common.h"

static std::atomic<int> g_stop;

static void Churn(int seed)
{
    uint32_t x = 0x9E3779B9u * (seed + 1);
    void *held[32] = {};
    while (!g_stop.load(std::memory_order_relaxed)) {
        x = x * 1664525u + 1013904223u;
        int slot = (x >> 8) % 32;
        free(held[slot]);
        uint32_t kind = (x >> 16) % 16;
        if (kind == 0) {
            held[slot] = malloc(2u << 20);   /* a big page set of its own: the process lock */
        } else if (kind == 1) {
            held[slot] = memalign(256, 3000);
        } else if (kind == 2 && seed == 0) {
            /* A heap of its own comes and goes: its lock and the registry. */
            VR_Heap *h = new VR_Heap(VR_HEAP_MULTITHREADED);
            if (h) {
                void *p = h->AllocMem(100);
                VR_Heap::FreeMem(p);
                delete h;
            }
            held[slot] = 0;
        } else {
            held[slot] = malloc(16 + (x >> 20) % 3000);
        }
    }
    for (void *p : held) free(p);
}

/* What a child does before it exits; its exit code tells how it went.
   The threads of the parent may have been half-way through a lock-free
   step of their thread caches, or a free, at the fork: the child's heaps
   validate all the same, before and after it used them. */
static int Damaged(const char *when)
{
    const char *problem = DefaultHeap.Validate();
    if (!problem) problem = HeapForHeaps.Validate();
    if (problem) fprintf(stderr, "child, %s: %s\n", when, problem);
    return problem != 0;
}

static int ChildWork(int validate)
{
    if (Damaged("at once")) return 4;
    void *blocks[64];
    for (int i = 0; i < 64; i++) blocks[i] = malloc(8 + 97 * i);
    void *big = malloc(3u << 20);
    void *aligned = memalign(4096, 10000);
    int *numbers = new int[100];
    VR_Heap *own = new VR_Heap(VR_HEAP_MULTITHREADED);
    int ok = big && aligned && numbers && own;
    if (own) {
        void *mine[16];
        for (int i = 0; i < 16; i++) ok &= (mine[i] = own->AllocMem(100 + 700 * i)) != 0;
        for (int i = 0; i < 16; i += 2) VR_Heap::FreeMem(mine[i]);
        if (validate) ok &= own->Validate() == 0;
    }
    for (int i = 0; i < 64; i++) {
        ok &= blocks[i] != 0;
        free(blocks[i]);
    }
    free(big);
    free(aligned);
    delete[] numbers;
    delete own;
    if (Damaged("after its work")) return 4;
    return ok ? 0 : 3;
}

static double Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

int main()
{
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++) threads.emplace_back(Churn, i);

    int hung = 0, failed = 0;
    for (int i = 0; i < 200; i++) {
        pid_t pid = fork();
        CHECK(pid >= 0);
        if (pid < 0) break;
        if (pid == 0) _exit(ChildWork(i % 20 == 0));
        int status = 0;
        double deadline = Now() + 5;
        pid_t done;
        while ((done = waitpid(pid, &status, WNOHANG)) == 0 && Now() < deadline) {
            timespec nap = {0, 1000000};
            nanosleep(&nap, 0);
        }
        if (done == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            hung++;
            break;   /* one is enough to know */
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            failed++;
        }
    }
    g_stop = 1;
    for (auto &t : threads) t.join();

    if (hung || failed) fprintf(stderr, "%d children hung, %d failed\n", hung, failed);
    CHECK(hung == 0);
    CHECK(failed == 0);
    CHECK(DefaultHeap.Validate() == 0);
    return Finish("fork_posix");
}
