/*
 * vorrel_api.cpp - where the library's own interface changes the picture,
 * each measured against the plain malloc way of doing the same (the
 * baseline, whose variant name starts with "malloc"):
 *   clear      a heap emptied with one VR_Heap::Clear, against freeing its
 *              blocks one by one, against malloc and free;
 *   onesize    fixed-size nodes from a VR_HeapOneSize, against malloc;
 *   switcher1/2  malloc and free in one or two threads, each thread switched
 *              to a heap of its own without a lock (VR_HeapSwitcher),
 *              against the locked default heap shared by all threads;
 *   aligned    VR_Heap::AllocAligned and free, 32-byte alignment of 64 bytes
 *              and 64-byte alignment of 200, against AllocMem of the same
 *              sizes (the Windows runtime's _aligned_malloc never reaches
 *              AllocAligned: this is where that target's figure comes from).
 * Linked with the library, so malloc here is the library's too.
 */
#include <thread>

#include "bench.h"
#include "vorrel.h"

using namespace vrb;

static uint32_t SmallSize(Rng &r) { return 8 + r.Below(249); }

static void Clear(uint32_t blocks, uint32_t rounds) {
    void **ptrs = (void **)malloc(sizeof(void *) * blocks);
    Check(ptrs != 0, "pointer table");
    if (!ptrs)
        return;
    VR_Heap heap(0, "bench");
    double t0 = CpuNs();
    for (uint32_t round = 0; round < rounds; ++round) {
        Rng r(99);
        for (uint32_t i = 0; i < blocks; ++i) {
            ptrs[i] = heap.AllocMem(SmallSize(r));
            Escape(ptrs[i]);
        }
        heap.Clear();
    }
    double t1 = CpuNs();
    Check(heap.Validate() == 0, "heap sound after Clear");
    for (uint32_t round = 0; round < rounds; ++round) {
        Rng r(99);
        for (uint32_t i = 0; i < blocks; ++i)
            ptrs[i] = heap.AllocMem(SmallSize(r));
        for (uint32_t i = 0; i < blocks; ++i)
            VR_Heap::FreeMem(ptrs[i]);
    }
    double t2 = CpuNs();
    Check(heap.Validate() == 0, "heap sound after freeing");
    for (uint32_t round = 0; round < rounds; ++round) {
        Rng r(99);
        for (uint32_t i = 0; i < blocks; ++i)
            ptrs[i] = malloc(SmallSize(r));
        for (uint32_t i = 0; i < blocks; ++i)
            free(ptrs[i]);
    }
    double t3 = CpuNs();
    free(ptrs);
    double n = (double)blocks * rounds;
    Report("clear/heap_clear", "ns_per_op", (t1 - t0) / n);
    Report("clear/heap_free_each", "ns_per_op", (t2 - t1) / n);
    Report("clear/malloc_free", "ns_per_op", (t3 - t2) / n);
}

/* Nodes of a linked list: built, then freed in an order scattered over the
   whole list (every 7th node, wrapping), so the frees do not follow the
   allocation order. */
struct Node {
    Node *next;
    uint32_t value;
    uint32_t pad[3];
};

static void OneSize(uint32_t nodes, uint32_t rounds) {
    Node **all = (Node **)malloc(sizeof(Node *) * nodes);
    Check(all != 0, "pointer table");
    if (!all)
        return;
    VR_HeapOneSize heap(sizeof(Node), 0, "nodes");
    double times[2];
    for (int variant = 0; variant < 2; ++variant) {
        double t0 = CpuNs();
        for (uint32_t round = 0; round < rounds; ++round) {
            for (uint32_t i = 0; i < nodes; ++i) {
                Node *n = (Node *)(variant == 0 ? heap.Alloc() : malloc(sizeof(Node)));
                n->value = i;
                n->next = i ? all[i - 1] : 0;
                all[i] = n;
            }
            for (uint32_t k = 0, i = 0; k < nodes; ++k, i += 7) {
                if (i >= nodes)
                    i -= nodes;
                if (all[i]->value != i)
                    Check(0, "node keeps its value");
                if (variant == 0)
                    VR_HeapOneSize::FreeMem(all[i]);
                else
                    free(all[i]);
            }
        }
        times[variant] = CpuNs() - t0;
    }
    Check(heap.Validate() == 0, "one-size heap sound");
    free(all);
    double n = (double)nodes * rounds;
    Report("onesize/heap", "ns_per_op", times[0] / n);
    Report("onesize/malloc", "ns_per_op", times[1] / n);
}

/* Churn of small blocks through malloc and free, in whatever heap is the
   calling thread's default. */
static void Churn(uint32_t ops, uint32_t seed, uint32_t *bad) {
    const uint32_t live = 1024;
    void *slots[live];
    Rng r(seed);
    for (uint32_t i = 0; i < live; ++i) {
        slots[i] = malloc(SmallSize(r));
        *(uint32_t *)slots[i] = i;
    }
    for (uint32_t n = 0; n < ops; ++n) {
        uint32_t i = r.Below(live);
        if (*(uint32_t *)slots[i] != i)
            ++*bad;
        free(slots[i]);
        slots[i] = malloc(SmallSize(r));
        *(uint32_t *)slots[i] = i;
    }
    for (uint32_t i = 0; i < live; ++i)
        free(slots[i]);
}

/* own: the thread switches to a heap of its own, without a lock, for the
   churn; otherwise it uses the shared, locked default heap. */
static void ChurnThread(int own, uint32_t ops, uint32_t seed, uint32_t *bad) {
    if (!own) {
        Churn(ops, seed, bad);
        return;
    }
    VR_Heap heap(0, "thread");
    {
        VR_HeapSwitcher sw(heap);
        Churn(ops, seed, bad);
    }
    if (heap.Validate() != 0)
        ++*bad;
}

static void Switcher(const char *group, uint32_t threads, uint32_t ops) {
    double rate[2];
    for (int own = 1; own >= 0; --own) {
        std::thread t[2];
        uint32_t bad[2] = {0, 0};
        double t0 = NowNs();
        for (uint32_t k = 0; k < threads; ++k)
            t[k] = std::thread(ChurnThread, own, ops, 5 + k, &bad[k]);
        for (uint32_t k = 0; k < threads; ++k)
            t[k].join();
        double t1 = NowNs();
        Check(bad[0] == 0 && bad[1] == 0, "blocks keep their stamps");
        rate[own] = 2.0 * threads * ops / ((t1 - t0) * 1e-9);
    }
    char name[64];
    snprintf(name, sizeof name, "%s/own_unlocked", group);
    Report(name, "ops_per_s", rate[1]);
    snprintf(name, sizeof name, "%s/malloc_locked", group);
    Report(name, "ops_per_s", rate[0]);
}

/* VR_Heap::AllocAligned against AllocMem of the same size, pairs of an
   allocation and its free from a heap with a lock (the thread cache's
   path), interleaved in rounds so a slow spell hits both alike. */
static void AlignedPairs(uint32_t n) {
    VR_Heap heap(VR_HEAP_MULTITHREADED, "aligned");
    const uint32_t kinds[4][2] = {{32, 64}, {0, 64}, {64, 200}, {0, 200}};
    const char *names[4] = {"aligned/heap_aligned32x64", "aligned/heap_plain64", "aligned/heap_aligned64x200",
                            "aligned/heap_plain200"};
    const int rounds = 4;
    double ns[4] = {0, 0, 0, 0}, pairs[4] = {0, 0, 0, 0};
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < 4; ++k) {
            uint32_t align = kinds[k][0], size = kinds[k][1], done = 0;
            double t0 = CpuNs(), t1;
            do {
                for (uint32_t i = 0; i < 1024; ++i) {
                    void *p = align ? heap.AllocAligned(align, size) : heap.AllocMem(size);
                    Escape(p);
                    Check(!align || ((uintptr_t)p & (align - 1)) == 0, "aligned block on its boundary");
                    VR_Heap::FreeMem(p);
                }
                done += 1024;
                t1 = CpuNs();
            } while (done < n / rounds || t1 - t0 < MinCpuNs() / rounds);
            ns[k] += t1 - t0;
            pairs[k] += done;
        }
    }
    Check(heap.Validate() == 0, "heap sound after the pairs");
    for (int k = 0; k < 4; ++k)
        Report(names[k], "ns_per_op", ns[k] / pairs[k]);
}

/* For bench/callgrind-pair: pairs of a 64-byte allocation and its free
   from each kind of heap, one function per kind so that callgrind can
   count it alone (the caller subtracts the loop's own instructions). */
extern "C" __attribute__((noinline)) void ApiPairsHeap(VR_Heap *h, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        void *p = h->AllocMem(64);
        Escape(p);
        VR_Heap::FreeMem(p);
    }
}

extern "C" __attribute__((noinline)) void ApiPairsOneSize(VR_HeapOneSize *h, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        void *p = h->AllocMem(64);
        Escape(p);
        VR_HeapOneSize::FreeMem(p);
    }
}

/* bench_vorrel_api --pairs N KIND: N pairs from a heap of KIND (locked,
   unlocked, onesize, onesize_locked) after a few to warm it. */
static int Pairs(uint32_t n, const char *kind) {
    int locked = strstr(kind, "locked") && !strstr(kind, "unlocked");
    long flags = locked ? VR_HEAP_MULTITHREADED : 0;
    if (!strncmp(kind, "onesize", 7)) {
        VR_HeapOneSize h(64, flags, "pairs");
        ApiPairsOneSize(&h, 16);
        ApiPairsOneSize(&h, n);
        return h.Validate() != 0;
    }
    VR_Heap h(flags, "pairs");
    ApiPairsHeap(&h, 16);
    ApiPairsHeap(&h, n);
    return h.Validate() != 0;
}

int main(int argc, char **argv) {
    if (argc == 4 && !strcmp(argv[1], "--pairs"))
        return Pairs((uint32_t)atoi(argv[2]), argv[3]);
    int status;
    if (!Start("vorrel_api", argc, argv, &status))
        return status;
    if (Want("clear"))
        Clear(Count(200000, 2000), Count(10, 1));
    if (Want("onesize"))
        OneSize(Count(200000, 2000), Count(15, 1));
    if (Want("switcher1"))
        Switcher("switcher1", 1, Count(5000000, 20000));
    if (Want("switcher2"))
        Switcher("switcher2", 2, Count(3000000, 20000));
    if (Want("aligned"))
        AlignedPairs(Count(5000000, 20000));
    return Finish();
}
