/*
 * rel_faults.cpp - faults survived. A fixed workload (small, big and direct
 * blocks, reallocation in place and by moving, an insertion, a one-size heap,
 * frees that give page sets back and allocations that need new ones) is run
 * once to count its reservations and commits; then, for every k up to those
 * counts, it is run again with the k-th reservation (or commit) refused.
 *
 * Each run uses fresh heaps and one recovery set-up:
 *  - none: recovery gives up, so the failing step may return null;
 *  - handler: the heap's new handler answers "retry", so every step that
 *    recovers must succeed, and a null may only come from a step that
 *    recovers nothing (a block with its own reservation);
 *  - lasting: no recovery, and every call from the k-th on is refused;
 *  - reserve: an emergency reserve with a callback; the callback runs at most
 *    once and, as with the handler, recovering steps succeed.
 * After every step both heaps are validated and every live block is checked
 * against the pattern it carries. When a step returns null, the fault is
 * lifted and the same step is repeated: it must succeed, and the rest of the
 * workload must then complete.
 *
 *   prog_rel_faults [--verbose]
 */
#include "os_memory.h"
#include "os_thread.h"
#include "rel_common.h"

namespace {

enum { kSmall = 300, kBig = 5, kOne = 200, kRefill = 100, kSlots = kSmall + kBig + 1 + kOne + kRefill + 4 };
enum Recovery { kNone, kHandler, kLasting, kReserve, kRecoveries };
const char *const kRecoveryName[kRecoveries] = {"none", "handler", "lasting", "reserve"};

struct Live {
    void *p;
    uint32_t size;
    uint32_t id;
    int one; /* a block of the one-size heap */
};

Live s_live[kSlots];
VR_Heap *s_heap;
VR_HeapOneSize *s_oneHeap;
uint32_t s_nextId = 1;
int s_handlerCalls, s_callbackCalls;
const uint32_t kBigSizes[kBig] = {2000, 50000, 200000, 1500000, 3000};
const uint32_t kOneSize = 500;
const long kFlags = VR_HEAP_MULTITHREADED | VR_HEAP_NO_STD_NEW_HANDLER;

int RetryHandler()
{
    s_handlerCalls++;
    return 1;
}

void ReserveCallback() { s_callbackCalls++; }

void Put(int slot, void *p, uint32_t size, int one = 0)
{
    s_live[slot].p = p;
    s_live[slot].size = size;
    s_live[slot].id = s_nextId++;
    s_live[slot].one = one;
    RelStamp(p, s_live[slot].id, 0, size);
}

/* Re-reads a resized block: it keeps its old bytes up to the smaller size. */
void Resized(int slot, void *q, uint32_t size)
{
    Live &l = s_live[slot];
    uint32_t keep = l.size < size ? l.size : size;
    uint32_t bad = RelFindMismatchSampled(q, l.id, 0, keep);
    REL_CHECK(bad == keep, "resized block lost byte %u", bad);
    Put(slot, q, size, l.one);
}

void Drop(int slot)
{
    Live &l = s_live[slot];
    if (!l.p) return;
    if (l.one) VR_HeapOneSize::FreeMem(l.p); else VR_Heap::FreeMem(l.p);
    l.p = 0;
}

/* Slots: small blocks, big blocks, the direct block, one-size blocks, refills. */
const int kBigSlot = kSmall, kDirectSlot = kSmall + kBig, kOneSlot = kDirectSlot + 1, kRefillSlot = kOneSlot + kOne;
const int kSteps = kSmall + kBig + 1 + 4 + kOne + 1 + kRefill + 1 + 2;

/* One step of the workload; 1 when it succeeded, 0 when it returned null
   (and then nothing it touched may have changed). */
int Step(int s)
{
    if (s < kSmall) {
        uint32_t size = (uint32_t)(s * 37) % 1000 + 1;
        void *p = s_heap->AllocMem(size);
        if (!p) return 0;
        Put(s, p, size);
        return 1;
    }
    s -= kSmall;
    if (s < kBig) {
        void *p = s_heap->AllocMem(kBigSizes[s]);
        if (!p) return 0;
        Put(kBigSlot + s, p, kBigSizes[s]);
        return 1;
    }
    s -= kBig;
    if (s == 0) {
        void *p = s_heap->AllocWithReserve(500000, 1000, 0);
        if (!p) return 0;
        Put(kDirectSlot, p, 1000);
        return 1;
    }
    s -= 1;
    if (s < 4) {
        int slot = s == 0 ? kBigSlot : s == 1 ? kDirectSlot : s == 2 ? 5 : kBigSlot + 2;
        Live &l = s_live[slot];
        void *q;
        uint32_t size;
        if (s == 3) { /* grow a big block by inserting in its middle */
            static uint8_t zeros[10000];
            q = s_heap->Insert(l.p, 100, zeros, sizeof(zeros));
            if (!q) return 0;
            uint32_t bad = RelFindMismatch(q, l.id, 0, 100);
            REL_CHECK(bad == 100, "Insert lost byte %u", bad);
            bad = RelFindMismatch(q, l.id, 100 + sizeof(zeros), l.size + sizeof(zeros), (uint32_t)0 - sizeof(zeros));
            REL_CHECK(bad == l.size + sizeof(zeros), "Insert lost byte %u", bad);
            Put(slot, q, l.size + sizeof(zeros));
            return 1;
        }
        size = s == 0 ? 100000 : s == 1 ? 300000 : 5000;
        q = s_heap->Realloc(l.p, size, 0);
        if (!q) return 0;
        Resized(slot, q, size);
        return 1;
    }
    s -= 4;
    if (s < kOne) {
        void *p = s_oneHeap->Alloc();
        if (!p) return 0;
        Put(kOneSlot + s, p, kOneSize, 1);
        return 1;
    }
    s -= kOne;
    if (s == 0) { /* free every other small and one-size block: page sets go back */
        for (int i = 0; i < kSmall; i += 2) Drop(i);
        for (int i = 0; i < kOne; i += 2) Drop(kOneSlot + i);
        return 1;
    }
    s -= 1;
    if (s < kRefill) {
        void *p = s_heap->AllocMem(700);
        if (!p) return 0;
        Put(kRefillSlot + s, p, 700);
        return 1;
    }
    s -= kRefill;
    if (s == 0) { /* everything goes back, big page sets and direct block too */
        for (int i = 0; i < kSlots; i++) Drop(i);
        return 1;
    }
    s -= 1;
    /* Start over after the heaps were emptied: new page sets are needed. */
    if (s == 0) {
        void *p = s_heap->AllocMem(100);
        if (!p) return 0;
        Put(0, p, 100);
        return 1;
    }
    void *p = s_heap->AllocMem(3000000);
    if (!p) return 0;
    Put(1, p, 3000000);
    return 1;
}

/* Validates both heaps after every step; the contents of every live block
   are compared only around refused steps and at the end of a run, which is
   where a failure could have damaged them. */
void CheckAll(int step, const char *when, int contents = 1)
{
    const char *why = s_heap->Validate();
    REL_CHECK(why == 0, "%s, step %d: heap invalid: %s", when, step, why);
    why = s_oneHeap->Validate();
    REL_CHECK(why == 0, "%s, step %d: one-size heap invalid: %s", when, step, why);
    if (!contents) return;
    for (int i = 0; i < kSlots; i++) {
        Live &l = s_live[i];
        if (!l.p) continue;
        uint32_t bad = RelFindMismatchSampled(l.p, l.id, 0, l.size);
        REL_CHECK(bad == l.size, "%s, step %d: block in slot %d lost byte %u", when, step, i, bad);
        if (!l.one) REL_CHECK(s_heap->GetBlockSize(l.p) == l.size, "%s, step %d: slot %d size", when, step, i);
    }
}

void Fresh()
{
    memset(s_live, 0, sizeof(s_live));
    s_heap = new VR_Heap(kFlags);
    s_oneHeap = new VR_HeapOneSize(kOneSize, kFlags);
    REL_CHECK(s_heap && s_oneHeap, "heaps");
}

void Done()
{
    for (int i = 0; i < kSlots; i++) Drop(i);
    delete s_heap;
    delete s_oneHeap;
}

/* Runs the workload with the kind's k-th call refused (k 0: no fault).
   Returns how many steps returned null. */
int Run(int kind, uint32_t k, int recovery)
{
    Fresh();
    s_handlerCalls = s_callbackCalls = 0;
    if (recovery == kHandler) s_heap->SetNewHandler(RetryHandler), s_oneHeap->SetNewHandler(RetryHandler);
    if (recovery == kReserve) REL_CHECK(s_heap->SetEmergencyReserve(65536, ReserveCallback), "reserve");
    if (k) VR_SetFault(kind, k, recovery == kLasting ? 0xFFFFFFFFu : 1);
    int nulls = 0;
    for (int step = 0; step < kSteps; step++) {
        int handlerBefore = s_handlerCalls;
        if (Step(step)) {
            CheckAll(step, "after a step", step == kSteps - 1 || step == kSteps - 4);
            continue;
        }
        nulls++;
        REL_CHECK(k != 0, "step %d failed without a fault", step);
        CheckAll(step, "after a refused step");
        /* A step whose recovery asked for a retry must have got its memory,
           since a single refusal was planned. */
        if (recovery == kHandler)
            REL_CHECK(s_handlerCalls == handlerBefore, "kind %d k %u step %d: null after the handler said retry",
                      kind, k, step);
        if (recovery == kHandler || recovery == kReserve)
            REL_CHECK(step == kSmall + kBig, "kind %d k %u step %d (%s): null although recovery was set up", kind,
                      k, step, kRecoveryName[recovery]);
        VR_SetFault(kind, 0, 0);
        REL_CHECK(Step(step), "kind %d k %u step %d: still failing once the fault was lifted", kind, k, step);
        CheckAll(step, "after the repeated step");
    }
    VR_SetFault(kind, 0, 0);
    REL_CHECK(s_callbackCalls <= 1, "emergency callback ran %d times", s_callbackCalls);
    Done();
    return nulls;
}

} // namespace

int main(int argc, char **argv)
{
    int verbose = RelFlag(argc, argv, "--verbose");
    uint32_t calls[2];
    for (int kind = 0; kind < 2; kind++) calls[kind] = VR_FaultCalls(kind);
    Run(0, 0, kNone);
    for (int kind = 0; kind < 2; kind++) calls[kind] = VR_FaultCalls(kind) - calls[kind];
    REL_CHECK(calls[0] > 3 && calls[1] > 10, "the workload made %u reservations and %u commits", calls[0],
              calls[1]);

    uint32_t points = 0, nulls = 0;
    uint32_t regionsBefore = RelReservedRegions();
    /* The reserve runs last: a reserve that no fault used up stays held. */
    for (int recovery = 0; recovery < kRecoveries; recovery++)
        for (int kind = 0; kind < 2; kind++)
            for (uint32_t k = 1; k <= calls[kind] + 1; k++) {
                int n = Run(kind, k, recovery);
                nulls += (uint32_t)n;
                points++;
                if (verbose && n) printf("%s: %s call %u refused: %d null steps\n", kRecoveryName[recovery],
                                         kind ? "commit" : "reserve", k, n);
            }
    uint32_t regionsAfter = RelReservedRegions();
    /* The last run's emergency reserve may be held (one region). */
    REL_CHECK(regionsAfter <= regionsBefore + 1, "reserved regions grew from %u to %u", regionsBefore,
              regionsAfter);
    printf("rel_faults: workload of %d steps with %u reservations and %u commits; %u fault points survived "
           "(%u refused steps repeated after the fault was lifted)\n",
           kSteps, calls[0], calls[1], points, nulls);
    return 0;
}
