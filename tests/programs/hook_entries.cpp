/*
 * hook_entries.cpp - after load every runtime entry starts with a jump to
 * its replacement and a second installation changes nothing; then the
 * replacements' answers for the edge requests: empty and overflowing
 * requests, zero-filled arrays, and frees of null and of foreign blocks.
 */
#include "hook_common.h"

static void CheckEntries()
{
    uint8_t before[kEntries][8];
    for (int i = 0; i < kEntries; i++) {
        void *entry = RuntimeEntry(i);
        CHECK(entry != 0);
        if (!entry) continue;
        CHECK(JumpTarget(entry) == ExpectedReplacement(i));
        memcpy(before[i], entry, 8);
    }
    /* free and operator delete are one function under two names. */
    CHECK((void *)VRHookFree == (void *)VRHookDelete);
    CHECK(JumpTarget(RuntimeEntry(kFree)) == JumpTarget(RuntimeEntry(kDelete)));

    EnsureVorrel again;
    (void)again;
    for (int i = 0; i < kEntries; i++)
        if (RuntimeEntry(i)) CHECK(memcmp(before[i], RuntimeEntry(i), 8) == 0);
}

static void CheckEdgeRequests(const Runtime &rt)
{
    void *empty = rt.malloc(0);
    CHECK(kEmptyGetsBlock ? empty != 0 && IsDynamicMemory(empty) && rt.msize(empty) == 0 : empty == 0);
    rt.free(empty);

    void *n = rt.opNew(0);
    CHECK(n != 0);
    CHECK(rt.msize(n) == 0);
    CHECK(IsDynamicMemory(n));
    rt.opDelete(n);

    void *c = rt.calloc(0, 8);
    CHECK(c != 0);
    CHECK(rt.msize(c) == 0);
    rt.free(c);

    /* Dirty a block of the same size class first, so the zeroes are the
       hook's doing and not fresh pages'. */
    uint8_t *dirty = (uint8_t *)rt.malloc(15);
    memset(dirty, 0xAB, 15);
    rt.free(dirty);
    uint8_t *z = (uint8_t *)rt.calloc(3, 5);
    CHECK(z != 0);
    if (z) {
        CHECK(IsMemoryFilledWith(z, 15, 0));
        CHECK(rt.msize(z) == 15);
    }
    rt.free(z);

    CHECK(rt.calloc(0x10000, 0x10000) == 0);
    CHECK(rt.calloc(0xFFFFFFFFu, 2) == 0);
    CHECK(rt.calloc(3, 0x55555556u) == 0);
    /* The largest product that fits is no overflow (it may still fail). */
    void *big = rt.calloc(0x10000, 0x100);
    CHECK(big != 0);
    if (big) CHECK(rt.msize(big) == 0x1000000);
    rt.free(big);

    void *m = rt.malloc(100);
    CHECK(m != 0 && IsDynamicMemory(m) && rt.msize(m) == 100);
    rt.free(m);
}

static void CheckFrees(const Runtime &rt)
{
    rt.free(0);
    rt.opDelete(0);

    char *foreign = (char *)ForeignBlock(64);
    CHECK(foreign != 0);
    if (!foreign) return;
    CHECK(!IsDynamicMemory(foreign));
    strcpy(foreign, "the runtime's own block");
    rt.free(foreign);
    rt.opDelete(foreign);
    VRHookFree(foreign);
    CHECK(strcmp(foreign, "the runtime's own block") == 0);
    /* Still the runtime's: it knows its size. */
    CHECK(rt.msize(foreign) >= 64);
}

int main()
{
    Runtime rt;
    CheckEntries();
    CheckEdgeRequests(rt);
    CheckFrees(rt);
    CHECK(DefaultHeap.Validate() == 0);
    return Finish("hook_entries");
}
