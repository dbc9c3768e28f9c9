/*
 * hook_realloc.cpp - realloc through the runtime entry, row by row: null
 * and library blocks, foreign blocks (copied, never freed, the copy stopped
 * at the end of the readable run of pages), and _msize of small, big and
 * foreign blocks with the _msize entry patched again afterwards.
 */
#include "hook_common.h"

static void Fill(void *p, uint32_t n, uint8_t seed)
{
    for (uint32_t i = 0; i < n; i++) ((uint8_t *)p)[i] = (uint8_t)(seed + i * 7);
}

static int Holds(const void *p, uint32_t n, uint8_t seed)
{
    for (uint32_t i = 0; i < n; i++)
        if (((const uint8_t *)p)[i] != (uint8_t)(seed + i * 7)) return 0;
    return 1;
}

static void LibraryRows(const Runtime &rt)
{
    void *empty = rt.realloc(0, 0);
    CHECK(kEmptyGetsBlock ? empty != 0 && rt.msize(empty) == 0 : empty == 0);
    rt.free(empty);

    void *a = rt.realloc(0, 10);
    CHECK(a != 0 && IsDynamicMemory(a) && rt.msize(a) == 10);

    /* Grown within its class, moved to a bigger class, grown to a big
       block, shrunk back: the contents follow every time. */
    Fill(a, 10, 1);
    static const uint32_t sizes[] = {12, 300, 1000, 5000, 200000, 40, 7};
    uint32_t held = 10;
    for (uint32_t s : sizes) {
        void *b = rt.realloc(a, s);
        CHECK(b != 0);
        if (!b) break;
        uint32_t keep = held < s ? held : s;
        CHECK(Holds(b, keep, 1));
        CHECK(rt.msize(b) == s);
        Fill(b, s, 1);
        a = b;
        held = s;
    }

    /* To zero: freed, and null. The freed block's memory serves the next
       request of its class again. */
    void *c = rt.malloc(24);
    CHECK(rt.realloc(c, 0) == 0);
    void *d = rt.malloc(24);
    CHECK(d == c);
    rt.free(d);
    rt.free(a);
}

static void ForeignRows(const Runtime &rt)
{
    char *f = (char *)ForeignBlock(32);
    CHECK(f != 0);
    if (!f) return;
    strcpy(f, "foreign contents");
    CHECK(rt.realloc(f, 0) == 0);
    CHECK(strcmp(f, "foreign contents") == 0);

    char *g = (char *)rt.realloc(f, 100);
    CHECK(g != 0 && g != f && IsDynamicMemory(g));
    if (g) {
        CHECK(strcmp(g, "foreign contents") == 0);
        CHECK(rt.msize(g) == 100);
    }
    /* The foreign block is left as it was, still the runtime's. */
    CHECK(strcmp(f, "foreign contents") == 0);
    CHECK(rt.msize(f) >= 32);
    rt.free(g);

    /* A block 16 bytes before the end of its readable run: asking for more
       copies those 16 bytes and never touches the inaccessible page. */
    uint32_t page;
    uint8_t *lone = LonePage(&page);
    CHECK(lone != 0);
    if (!lone) return;
    uint8_t *tail = lone + page - 16;
    Fill(tail, 16, 9);
    uint8_t *h = (uint8_t *)rt.realloc(tail, 4000);
    CHECK(h != 0);
    if (h) {
        CHECK(Holds(h, 16, 9));
        CHECK(rt.msize(h) == 4000);
    }
    rt.free(h);
    /* A run longer than the request: exactly the request is copied. */
    Fill(lone, 64, 3);
    uint8_t *k = (uint8_t *)rt.realloc(lone, 64);
    CHECK(k != 0 && Holds(k, 64, 3));
    rt.free(k);
}

static void SizeRows(const Runtime &rt)
{
    void *small = rt.malloc(1000);
    void *big = rt.malloc(100000);
    CHECK(small && big);
    CHECK(rt.msize(small) == 1000);
    CHECK(rt.msize(big) == 100000);
    CHECK(VRGetBlockSize(small) == DefaultHeap.GetBlockSize(small));
    CHECK(VRGetBlockSize(big) == DefaultHeap.GetBlockSize(big));
    rt.free(small);
    rt.free(big);

    void *foreign = ForeignBlock(200);
    void *msizeEntry = RuntimeEntry(kMsize);
    uint8_t patched[6];
    memcpy(patched, msizeEntry, 6);
    size_t n = rt.msize(foreign);
    CHECK(n >= 200 && n < 200 + 64);
    /* The jump is back in place, byte for byte. */
    CHECK(memcmp(patched, msizeEntry, 6) == 0);
    CHECK(JumpTarget(msizeEntry) == (void *)VRGetBlockSize);
    CHECK(rt.msize(0) == 0);
}

int main()
{
    Runtime rt;
    LibraryRows(rt);
    ForeignRows(rt);
    SizeRows(rt);
    CHECK(DefaultHeap.Validate() == 0);
    return Finish("hook_realloc");
}
