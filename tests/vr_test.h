/*
 * vr_test.h - the tests' window into the heaps' internals, through the
 * library's own access type: every accessor only reads or writes a field,
 * so tests can check the formats and the lists directly.
 */
#ifndef VR_TEST_H
#define VR_TEST_H

#include "cache/cache.h"
#include "vorrel.h"

/* The fields and calls of VR_Access, and a few services of the tests' own. */
struct VR_Test : VR_Access {
    static int PageSetCount(VR_AHeap &h)
    {
        int n = 0;
        for (VR_PageSetBase *p = PageSets(h); p; p = p->next) n++;
        return n;
    }
    static unsigned long SizeClass(int k) { return ClassSize(k); }
    static unsigned SizeClassOf(unsigned t) { return kClasses.of[t]; }
    /* How many classes the table holds: they step by the block alignment,
       so where that is 16 the entries behind the last class stay 0. */
    static int SizeClassesInUse()
    {
        int n = 0;
        while (n < VR_Heap::kSizeClassCount && kClasses.size[n]) n++;
        return n;
    }

    /* Gives back what waits in the calling thread's cache, as recovery and
       thread exit do; for tests that count blocks or page sets exactly. */
    static int FlushThreadCache() { return vr_cache::FlushCurrent(); }
    /* The calling thread's cache and the batches between caches of h go
       back to h's lists. */
    static void GiveBackWaiting(VR_Heap &h)
    {
        vr_cache::FlushCurrent();
        LockHeap(h);
        vr_cache::DrainLocked(&h);
        UnlockHeap(h);
    }
    /* Binds the calling thread's cache to h at once (a thread rebinds by
       itself only after many calls for another heap). */
    static void BindThreadCache(VR_Heap &h)
    {
        vr_cache::FlushCurrent();
        h.FreeMem(h.AllocMem(1));
    }
};

#endif
