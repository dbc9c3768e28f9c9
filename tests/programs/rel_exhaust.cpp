/*
 * rel_exhaust.cpp - real exhaustion of the 32-bit address space. Several
 * threads allocate ever smaller blocks (16 MB down to small blocks, and
 * direct blocks that fill 64 KB holes) from a shared heap and heaps of their
 * own until every size is refused, and one thread also through malloc. The
 * shared heap holds an emergency reserve with a callback and a new handler
 * that frees ballast blocks of the same heap while it has any, so recovery
 * runs while other threads are allocating from, and freeing into, that heap.
 * A watchdog ends the program if the threads do not finish (a deadlock).
 *
 * Afterwards: the callback ran exactly once, the handler ran, every heap
 * validates, and once everything is freed a block of at least half the
 * largest size obtained before succeeds, as does the whole run again.
 * Blocks are touched only at their ends, so memory is committed but little
 * of it becomes resident.
 *
 *   prog_rel_exhaust [--threads N] [--passes N]
 */
#include <atomic>
#include <chrono>
#include <thread>

#include "rel_common.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <new>
#endif

namespace {

int RuntimeHandlerBody();

/* Installs (or with 0 removes) the runtime's standard new handler: the C
   runtime's _set_new_handler on Windows, std::set_new_handler elsewhere. */
#if defined(_WIN32)
int __cdecl RuntimeHandler(size_t) { return RuntimeHandlerBody(); }
void SetRuntimeHandler(int on)
{
    typedef int(__cdecl * Handler)(size_t);
    typedef Handler(__cdecl * SetHandler)(Handler);
    /* msvcrt exports the function under its C++ name only. */
    HMODULE runtime = GetModuleHandleA("msvcrt");
    SetHandler set = (SetHandler)(void *)GetProcAddress(runtime, "?_set_new_handler@@YAP6AHI@ZP6AHI@Z@Z");
    if (!set) set = (SetHandler)(void *)GetProcAddress(runtime, "_set_new_handler");
    REL_CHECK(set != 0, "the runtime has no _set_new_handler");
    set(on ? RuntimeHandler : 0);
}
#else
void RuntimeHandler() { RuntimeHandlerBody(); }
void SetRuntimeHandler(int on) { std::set_new_handler(on ? RuntimeHandler : 0); }
#endif

enum { kMaxThreads = 8, kPerThread = 40000, kBallast = 16, kPhases = 8 };
const uint32_t kBallastSize = 4u << 20;
const uint32_t kPhaseSize[kPhases] = {16u << 20, 4u << 20, 1u << 20, 256u << 10, 60000, 4000, 1000, 100};
const long kFlags = VR_HEAP_MULTITHREADED | VR_HEAP_NO_STD_NEW_HANDLER;

struct Held {
    void *p;
    uint32_t size;
    uint8_t how; /* 0 heap block, 1 malloc block */
};

Held s_held[kMaxThreads][kPerThread];
uint32_t s_heldCount[kMaxThreads];
uint32_t s_largest[kMaxThreads];
VR_Heap *s_shared;
VR_Heap *s_own[kMaxThreads];
void *s_ballast[kBallast];
std::atomic<int> s_ballastLeft{0};
std::atomic<int> s_handlerCalls{0}, s_callbackCalls{0};
std::atomic<int> s_finished{0};
std::atomic<int> s_allDone{0};
std::atomic<int> s_released{0};
std::atomic<int> s_go{0};

/* The shared heap's new handler: runs under the process lock with the heap's
   own lock released, and frees into the heap that ran out. */
int FreeBallast()
{
    s_handlerCalls++;
    int i = --s_ballastLeft;
    if (i < 0) {
        s_ballastLeft = 0;
        return 0;
    }
    VR_Heap::FreeMem(s_ballast[i]);
    s_ballast[i] = 0;
    return 1;
}

void ReserveUsed() { s_callbackCalls++; }

/* The runtime's own new handler, which recovery calls for heaps without
   VR_HEAP_NO_STD_NEW_HANDLER (DefaultHeap, behind malloc): it frees one
   malloc'd ballast block per call, and removes itself when none is left. */
enum { kRuntimeBallast = 8 };
void *s_runtimeBallast[kRuntimeBallast];
std::atomic<int> s_runtimeBallastLeft{0}, s_runtimeHandlerCalls{0}, s_mallocRefusals{0};
int RuntimeHandlerBody()
{
    s_runtimeHandlerCalls++;
    int i = --s_runtimeBallastLeft;
    if (i < 0) {
        s_runtimeBallastLeft = 0;
        SetRuntimeHandler(0);
        return 0;
    }
    free(s_runtimeBallast[i]);
    return 1;
}

void Mark(void *p, uint32_t size)
{
    uint32_t *w = (uint32_t *)p;
    w[0] = (uint32_t)(uintptr_t)p ^ 0xE8A05Fu;
    w[1] = size;
    ((uint8_t *)p)[size - 1] = (uint8_t)size;
}

void CheckMark(void *p, uint32_t size)
{
    uint32_t *w = (uint32_t *)p;
    REL_CHECK(w[0] == ((uint32_t)(uintptr_t)p ^ 0xE8A05Fu) && w[1] == size && ((uint8_t *)p)[size - 1] == (uint8_t)size,
              "block %p of %u bytes was overwritten", p, size);
}

void Exhaust(int t)
{
    /* Every thread exists (its stack included) before any of them starts
       taking the address space. */
    while (!s_go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    uint32_t &n = s_heldCount[t];
    for (int phase = 0; phase < kPhases; phase++) {
        uint32_t size = kPhaseSize[phase];
        /* Each source is tried in turn, so every one of them meets the end
           of memory; a phase ends after eight refusals. (A refusal is slow:
           the system searches the whole address space first.) */
        uint32_t turn = 0;
        for (int misses = 0; misses < 8 && n < kPerThread;) {
            void *p;
            uint8_t how = 0;
            turn++;
            if (t == 0 && phase >= kPhases - 2) { /* thread 0 ends through malloc */
                p = malloc(size);
                how = 1;
            } else if (size == 60000) {
                p = (turn & 1 ? s_shared : s_own[t])->AllocWithReserve(0, size, 0);
            } else {
                p = (turn & 1 ? s_shared : s_own[t])->AllocMem(size);
            }
            if (!p) {
                misses++;
                if (how) s_mallocRefusals++;
                continue;
            }
            Mark(p, size);
            s_held[t][n++] = Held{p, size, how};
            if (size > s_largest[t]) s_largest[t] = size;
        }
    }
    s_finished++;
    /* A thread ends only once the address space is free again: ending a
       thread may need memory of the system's own (under Wine the host
       threads library loads a helper on the first thread exit). */
    while (!s_released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void FreeAll(int t)
{
    for (uint32_t i = 0; i < s_heldCount[t]; i++) {
        Held &h = s_held[t][i];
        CheckMark(h.p, h.size);
        if (h.how) free(h.p); else VR_Heap::FreeMem(h.p);
    }
    s_heldCount[t] = 0;
}

void Validate(const char *when)
{
    const char *why = s_shared->Validate();
    REL_CHECK(why == 0, "%s: shared heap invalid: %s", when, why);
    why = DefaultHeap.Validate();
    REL_CHECK(why == 0, "%s: default heap invalid: %s", when, why);
}

} // namespace

int main(int argc, char **argv)
{
    int threads = (int)RelArg(argc, argv, "--threads", 4);
    int passes = (int)RelArg(argc, argv, "--passes", 2);
    if (threads > kMaxThreads) threads = kMaxThreads;

    /* The watchdog: a deadlock in recovery would otherwise hang CI. */
    std::thread([] {
        for (int i = 0; i < 1800; i++) {
            if (s_allDone) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        fprintf(stderr, "FAILED: the allocating threads did not finish within 3 minutes (deadlock?)\n");
        _Exit(3);
    }).detach();

    /* One thread started and ended before the address space runs out, so
       that whatever the system sets up on the first thread exit is there. */
    std::thread([] {}).join();

    uint32_t regionsBefore = RelReservedRegions();
    s_shared = new VR_Heap(kFlags);
    for (int t = 0; t < threads; t++) s_own[t] = new VR_Heap(kFlags);
    uint32_t largest = 0;
    for (int pass = 0; pass < passes; pass++) {
        for (int i = 0; i < kBallast; i++) {
            s_ballast[i] = s_shared->AllocMem(kBallastSize);
            REL_CHECK(s_ballast[i], "ballast");
        }
        s_ballastLeft = kBallast;
        s_handlerCalls = 0;
        s_callbackCalls = 0;
        s_shared->SetNewHandler(FreeBallast);
        for (int i = 0; i < kRuntimeBallast; i++) REL_CHECK((s_runtimeBallast[i] = malloc(1 << 20)), "ballast");
        s_runtimeBallastLeft = kRuntimeBallast;
        s_runtimeHandlerCalls = 0;
        s_mallocRefusals = 0;
        SetRuntimeHandler(1);
        REL_CHECK(s_shared->SetEmergencyReserve(65536, ReserveUsed), "emergency reserve");
        s_finished = 0;

        std::thread *pool[kMaxThreads];
        s_released = 0;
        s_go = 0;
        for (int t = 0; t < threads; t++) pool[t] = new std::thread(Exhaust, t);
        s_go = 1;
        while (s_finished < threads) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        /* Nothing more can be had: the threads' own blocks are still held. */
        uint32_t blocks = 0, regionsFull = RelReservedRegions();
        for (int t = 0; t < threads; t++) blocks += s_heldCount[t];
        Validate("at exhaustion");
        REL_CHECK(s_callbackCalls == 1, "emergency callback ran %d times", s_callbackCalls.load());
        REL_CHECK(s_handlerCalls >= 1, "the new handler never ran");
        int handlerCalls = s_handlerCalls, ballastLeft = s_ballastLeft;
        int runtimeCalls = s_runtimeHandlerCalls;
        REL_CHECK(s_mallocRefusals >= 1, "malloc never ran out");
        REL_CHECK(runtimeCalls >= 1, "the runtime's new handler never ran (%d refused mallocs)",
                  s_mallocRefusals.load());
        SetRuntimeHandler(0);
        for (int i = 0; i < s_runtimeBallastLeft; i++) free(s_runtimeBallast[i]);

        s_shared->SetNewHandler(0);
        for (int t = 0; t < threads; t++) FreeAll(t);
        for (int i = 0; i < kBallast; i++)
            if (s_ballast[i]) VR_Heap::FreeMem(s_ballast[i]), s_ballast[i] = 0;
        Validate("after freeing everything");
        s_released = 1;
        for (int t = 0; t < threads; t++) {
            pool[t]->join();
            delete pool[t];
            if (s_largest[t] > largest) largest = s_largest[t];
        }
        REL_CHECK(largest >= (1u << 20), "largest block obtained: %u bytes", largest);
        void *again = s_shared->AllocMem(largest / 2);
        REL_CHECK(again != 0, "after freeing everything, %u bytes (half the largest earlier block) failed",
                  largest / 2);
        VR_Heap::FreeMem(again);
        VR_Heap fresh(kFlags);
        again = fresh.AllocMem(largest);
        REL_CHECK(again != 0, "a fresh heap cannot get %u bytes after everything was freed", largest);
        VR_Heap::FreeMem(again);
        printf("rel_exhaust pass %d: %d threads held %u blocks in %u reserved 64 KB regions when every size was "
               "refused; largest block %u bytes; heap new handler ran %d times (%d ballast blocks left), runtime new "
               "handler %d times; emergency callback ran once\n",
               pass + 1, threads, blocks, regionsFull, largest, handlerCalls, ballastLeft, runtimeCalls);
    }
    s_allDone = 1;
    delete s_shared;
    for (int t = 0; t < threads; t++) delete s_own[t];
    uint32_t regionsAfter = RelReservedRegions();
    REL_CHECK(regionsAfter <= regionsBefore + 40, "reserved regions %u before, %u after", regionsBefore,
              regionsAfter);
    return 0;
}
