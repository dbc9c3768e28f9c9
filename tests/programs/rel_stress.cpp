/*
 * rel_stress.cpp - load held. Many more threads than cores allocate, resize
 * and free random sizes through malloc/realloc/free, operator new/delete and
 * two shared heaps, and hand a quarter of their blocks to other threads
 * through a shared transfer array. Every block carries a cookie naming its
 * address, size and identity, checked before the block is resized or freed.
 * Threads are recreated every round; between rounds, with no thread running,
 * the heaps are validated. At the end no block of the test is left in any
 * heap and the library's reserved address space is back near its start.
 *
 *   prog_rel_stress [--threads N] [--rounds N] [--ops N] [--seed N] [--direct PERCENT]
 */
#include <atomic>
#include <initializer_list>
#include <new>
#include <thread>

#include "rel_common.h"
#include "vr_test.h"

namespace {

enum { kTransferSlots = 512, kLocalBlocks = 384, kMaxThreads = 64 };

/* How a block was made, and so how it must be resized and freed. */
enum Source { kMalloc, kNew, kHeapA, kHeapB, kDirect, kSources };

const uint32_t kCookieKey = 0x5EA1AB1Eu;

struct Cookie {
    uint32_t self;   /* block address ^ key: catches a block handed out twice */
    uint32_t size;
    uint32_t id;
    uint32_t source;
};

VR_Heap *s_shared[2];
std::atomic<void *> s_transfer[kTransferSlots];
std::atomic<uint32_t> s_nextId{1};
std::atomic<uint64_t> s_ops{0}, s_handed{0}, s_taken{0}, s_nulls{0};
int s_libraryMalloc;   /* 1 when malloc lands in the library */
uint32_t s_directPercent = 2;

void Stamp(void *p, uint32_t size, uint32_t source)
{
    Cookie *c = (Cookie *)p;
    c->self = (uint32_t)(uintptr_t)p ^ kCookieKey;
    c->size = size;
    c->id = s_nextId.fetch_add(1, std::memory_order_relaxed);
    c->source = source;
    uint8_t *tail = (uint8_t *)p + size - 4;
    for (int i = 0; i < 4; i++) tail[i] = RelPatternByte(c->id, i);
}

void Check(void *p, const char *what)
{
    Cookie *c = (Cookie *)p;
    REL_CHECK(c->self == ((uint32_t)(uintptr_t)p ^ kCookieKey), "%s: cookie of %p overwritten", what, p);
    REL_CHECK(c->source < kSources, "%s: source of %p overwritten", what, p);
    uint32_t bad = RelFindMismatch((uint8_t *)p + c->size - 4, c->id, 0, 4);
    REL_CHECK(bad == 4, "%s: tail of %p (size %u) overwritten", what, p, c->size);
    if (c->source != kMalloc && c->source != kNew) {
        REL_CHECK(VR_Heap::Default().GetBlockSize(p) == c->size, "%s: GetBlockSize of %p is %lu, not %u", what,
                  p, VR_Heap::Default().GetBlockSize(p), c->size);
    } else if (s_libraryMalloc) {
        REL_CHECK(VRGetBlockSize(p) == c->size, "%s: VRGetBlockSize of %p", what, p);
    }
}

void Release(void *p)
{
    Check(p, "free");
    Cookie *c = (Cookie *)p;
    uint32_t source = c->source;
    c->self = 0; /* a second hand-out of the same address would now be caught */
    switch (source) {
    case kMalloc: free(p); break;
    case kNew: ::operator delete(p); break;
    default: VR_Heap::FreeMem(p); break;
    }
}

uint32_t PickSize(RelRng &rng)
{
    uint32_t r = rng.Below(100);
    if (r < 60) return rng.Range(24, 256);
    if (r < 85) return rng.Range(24, 1100);
    if (r < 97) return rng.Range(1017, 16384);
    return rng.Range(16385, 300000);
}

void *Make(RelRng &rng, uint32_t size, uint32_t *sourceOut)
{
    uint32_t source = rng.Below(100) < s_directPercent ? (uint32_t)kDirect : rng.Below(kDirect);
    void *p = 0;
    switch (source) {
    case kMalloc: p = malloc(size); break;
    case kNew: p = ::operator new(size, std::nothrow); break;
    case kHeapA: case kHeapB: p = s_shared[source - kHeapA]->AllocMem(size); break;
    default: p = s_shared[rng.Below(2)]->AllocWithReserve(size * 2, size, 0); break;
    }
    *sourceOut = source;
    return p;
}

void *Resize(RelRng &rng, void *p)
{
    Check(p, "resize");
    Cookie *c = (Cookie *)p;
    uint32_t source = c->source;
    if (source == kNew) return p;
    uint32_t size = rng.Chance(50) ? PickSize(rng) : c->size + rng.Range(0, 64);
    if (source == kDirect) {
        /* A direct block grows only inside its own reservation, behind its
           virtual header (16 bytes) and block header (32 bytes). */
        uint32_t room = ((VR_VirtualHeader *)((uint8_t *)p - 48))->reservedBytes - 48 - 8;
        if (size > room) size = room;
    }
    /* The tail bytes move with the size: write them after the resize. */
    void *q = source == kMalloc ? realloc(p, size) : s_shared[rng.Below(2)]->Realloc(p, size, 0);
    REL_CHECK(q != 0, "resize of %p (source %u) from %u to %u failed", p, source, c->size, size);
    Cookie *n = (Cookie *)q;
    REL_CHECK(n->id != 0 && n->source == source, "resize lost the cookie");
    n->self = (uint32_t)(uintptr_t)q ^ kCookieKey;
    n->size = size;
    uint8_t *tail = (uint8_t *)q + size - 4;
    for (int i = 0; i < 4; i++) tail[i] = RelPatternByte(n->id, i);
    return q;
}

void Worker(uint64_t seed, uint64_t ops)
{
    RelRng rng(seed);
    void *mine[kLocalBlocks];
    uint32_t count = 0;
    for (uint64_t op = 0; op < ops; op++) {
        uint32_t r = rng.Below(100);
        if (r < 45 && count < kLocalBlocks) {
            uint32_t size = PickSize(rng), source;
            void *p = Make(rng, size, &source);
            REL_CHECK(p != 0, "allocation of %u bytes (source %u) failed", size, source);
            Stamp(p, size, source);
            /* A quarter of the blocks go to other threads. */
            if (rng.Below(4) == 0) {
                void *expected = 0;
                uint32_t slot = rng.Below(kTransferSlots);
                if (s_transfer[slot].compare_exchange_strong(expected, p)) {
                    s_handed.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
            }
            mine[count++] = p;
        } else if (r < 60) {
            void *p = s_transfer[rng.Below(kTransferSlots)].exchange(nullptr);
            if (!p) continue;
            s_taken.fetch_add(1, std::memory_order_relaxed);
            if (count < kLocalBlocks && rng.Chance(50)) { Check(p, "taken"); mine[count++] = p; }
            else Release(p);
        } else if (r < 70 && count) {
            uint32_t i = rng.Below(count);
            mine[i] = Resize(rng, mine[i]);
        } else if (count) {
            uint32_t i = rng.Below(count);
            Release(mine[i]);
            mine[i] = mine[--count];
        }
    }
    s_ops.fetch_add(ops, std::memory_order_relaxed);
    /* What the thread still holds goes out through the transfer array when a
       slot is free, so that the next round's threads free it; the rest is
       freed here. */
    while (count) {
        void *p = mine[--count];
        void *expected = 0;
        if (!s_transfer[rng.Below(kTransferSlots)].compare_exchange_strong(expected, p)) Release(p);
    }
}

/* Counts the blocks of a heap that still carry a live cookie of this test. */
uint32_t s_found;
void CountOurs(void *block, void *)
{
    Cookie *c = (Cookie *)block;
    if (VR_Heap::Default().GetBlockSize(block) >= sizeof(Cookie) &&
        c->self == ((uint32_t)(uintptr_t)block ^ kCookieKey))
        s_found++;
}

void ValidateAll(const char *when)
{
    for (VR_Heap *h : {s_shared[0], s_shared[1], &DefaultHeap}) {
        const char *why = h->Validate();
        REL_CHECK(why == 0, "%s: heap invalid: %s", when, why);
    }
}

} // namespace

int main(int argc, char **argv)
{
    uint32_t threads = (uint32_t)RelArg(argc, argv, "--threads", 8);
    uint64_t rounds = RelArg(argc, argv, "--rounds", 16);
    uint64_t ops = RelArg(argc, argv, "--ops", 120000);
    uint64_t seed = RelArg(argc, argv, "--seed", 1);
    s_directPercent = (uint32_t)RelArg(argc, argv, "--direct", 2);
    if (threads > kMaxThreads) threads = kMaxThreads;

    void *probe = malloc(64);
    s_libraryMalloc = IsDynamicMemory(probe) != 0;
    free(probe);

    uint32_t regionsBefore = RelReservedRegions();
    s_shared[0] = new VR_Heap(VR_HEAP_MULTITHREADED);
    s_shared[1] = new VR_Heap(VR_HEAP_MULTITHREADED | VR_HEAP_ZERO_INIT);
    REL_CHECK(s_shared[0] && s_shared[1], "shared heaps");

    for (uint64_t round = 0; round < rounds; round++) {
        std::thread *pool[kMaxThreads];
        for (uint32_t t = 0; t < threads; t++)
            pool[t] = new std::thread(Worker, seed * 1000003u + round * 131u + t, ops);
        for (uint32_t t = 0; t < threads; t++) {
            pool[t]->join();
            delete pool[t];
        }
        ValidateAll("after a round");
    }

    /* Drain the transfer array: the last round's hand-offs. */
    for (uint32_t i = 0; i < kTransferSlots; i++) {
        void *p = s_transfer[i].exchange(nullptr);
        if (p) Release(p);
    }
    ValidateAll("after draining");

    for (VR_Heap *h : {s_shared[0], s_shared[1], &DefaultHeap}) {
        s_found = 0;
        h->ForEach(CountOurs, 0);
        REL_CHECK(s_found == 0, "%u blocks of the test are still live in a heap", s_found);
    }
    /* Blocks this thread freed may wait in its cache and keep their page
       sets; a thread gives them back when it ends, so do that here. */
    VR_Test::FlushThreadCache();
    uint32_t regionsHeld = RelReservedRegions();
    delete s_shared[0];
    delete s_shared[1];
    uint32_t regionsAfter = RelReservedRegions();
    /* DefaultHeap may keep its newest small page set, empty big page sets
       up to kKeepEmptyBig bytes, and page sets pinned by blocks of the
       runtime (thread start-up, stdio); 4 MB beyond the kept ones is far
       below what the run moved through it. */
    REL_CHECK(regionsAfter <= regionsBefore + 64 + kKeepEmptyBig / 65536, "reserved regions %u at start, %u at the end", regionsBefore,
              regionsAfter);
    printf("rel_stress: %u threads x %llu rounds, %llu operations, %llu blocks handed over, %llu taken; "
           "malloc %s; reserved 64 KB regions: %u at start, %u with the shared heaps, %u at the end\n",
           threads, (unsigned long long)rounds, (unsigned long long)s_ops.load(),
           (unsigned long long)s_handed.load(), (unsigned long long)s_taken.load(),
           s_libraryMalloc ? "served by the library" : "served by the C library", regionsBefore, regionsHeld,
           regionsAfter);
    return 0;
}
