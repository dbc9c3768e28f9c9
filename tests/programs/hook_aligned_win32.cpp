/*
 * hook_aligned_win32.cpp - the runtime's aligned family is the library's:
 * aligned blocks come from the library, grow and shrink keeping their bytes
 * and alignment, are measured exactly and are really freed (100,000 cycles,
 * and as many C++17 aligned new/delete pairs, reuse the same memory); bad
 * alignments, offsets and sizes get null and errno, never a crash; blocks in
 * the runtime's format whose stored block is the runtime's are copied out
 * and left alone.
 */
#include <errno.h>
#include <malloc.h>

#include <new>

#include "hook_common.h"

typedef void *(*AlignedMalloc)(size_t, size_t);
typedef void *(*AlignedOffsetMalloc)(size_t, size_t, size_t);
typedef void *(*AlignedRealloc)(void *, size_t, size_t);
typedef void *(*AlignedRecalloc)(void *, size_t, size_t, size_t);
typedef void (*AlignedFree)(void *);

static void *Export(const char *name)
{
    return (void *)GetProcAddress(GetModuleHandleA("msvcrt"), name);
}

static const AlignedMalloc am = (AlignedMalloc)Export("_aligned_malloc");
static const AlignedOffsetMalloc aom = (AlignedOffsetMalloc)Export("_aligned_offset_malloc");
static const AlignedRealloc ar = (AlignedRealloc)Export("_aligned_realloc");
static const AlignedRecalloc arc = (AlignedRecalloc)Export("_aligned_recalloc");
static const AlignedFree af = (AlignedFree)Export("_aligned_free");

/* The caller's size of a library aligned block: from p to the end of the
   block it lies in, as the replacements record it. */
static size_t AlignedSize(void *p)
{
    void *base = *(void **)(((uintptr_t)p - 4) & ~(uintptr_t)3);
    return VRGetBlockSize(base) - ((uintptr_t)p - (uintptr_t)base);
}

static void CheckBlocks()
{
    char *p = (char *)am(100, 64);
    CHECK(p && ((uintptr_t)p & 63) == 0 && IsDynamicMemory(p) && AlignedSize(p) == 100);
    if (!p) return;
    for (int i = 0; i < 100; i++) p[i] = (char)i;
    char *q = (char *)ar(p, 5000, 64);
    CHECK(q && ((uintptr_t)q & 63) == 0 && AlignedSize(q) == 5000);
    int same = 1;
    for (int i = 0; i < 100; i++) same &= q[i] == (char)i;
    CHECK(same);
    q = (char *)ar(q, 50, 4096);
    CHECK(q && ((uintptr_t)q & 4095) == 0 && AlignedSize(q) == 50 && q[49] == 49);
    /* msvcrt has no _aligned_recalloc; later runtimes do. */
    if (arc) {
        q = (char *)arc(q, 10, 20, 16);
        CHECK(q && ((uintptr_t)q & 15) == 0 && q[49] == 49 && IsMemoryFilledWith(q + 50, 150, 0));
    }
    af(q);

    char *o = (char *)aom(100, 32, 8);
    CHECK(o && (((uintptr_t)o + 8) & 31) == 0 && AlignedSize(o) == 100);
    af(o);
    af(0);
    void *fromNull = ar(0, 30, 8);  /* null: a new block */
    CHECK(fromNull && AlignedSize(fromNull) == 30);
    CHECK(ar(fromNull, 0, 8) == 0); /* size 0: freed */
}

static void CheckBadInput(const Runtime &rt)
{
    errno = 0;
    CHECK(am(100, 3) == 0 && errno == EINVAL);
    errno = 0;
    CHECK(aom(100, 16, 100) == 0 && errno == EINVAL);
    errno = 0;
    CHECK(am(0xFFFFFFF0u, 64) == 0 && errno == ENOMEM);
    errno = 0;
    CHECK(am(0x80000000u, 0x80000000u) == 0 && errno == ENOMEM);
    errno = 0;
    if (arc) CHECK(arc(0, 0x10000, 0x10000, 8) == 0 && errno == ENOMEM);
    char *p = (char *)am(64, 16);
    errno = 0;
    CHECK(ar(p, 100, 6) == 0 && errno == EINVAL && AlignedSize(p) == 64);
    af(p);
    /* A plain block is no aligned one: left alone, still usable. */
    char *plain = (char *)rt.malloc(100);
    af(plain);
    af(plain + 16);
    CHECK(rt.msize(plain) == 100);
    rt.free(plain);
}

/* Blocks in the runtime's format around a block of the runtime's heap. */
static void CheckForeign()
{
    uint8_t *base = (uint8_t *)ForeignBlock(200);
    CHECK(base && !IsDynamicMemory(base));
    if (!base) return;
    char *p = (char *)(((uintptr_t)base + 4 + 63) & ~(uintptr_t)63);
    *(void **)((uintptr_t)p - 4) = base;
    strcpy(p, "the runtime's aligned block");
    af(p);
    CHECK(strcmp(p, "the runtime's aligned block") == 0);
    char *q = (char *)ar(p, 1000, 64);
    CHECK(q && IsDynamicMemory(q) && ((uintptr_t)q & 63) == 0 && strcmp(q, "the runtime's aligned block") == 0);
    CHECK(strcmp(p, "the runtime's aligned block") == 0);
    af(q);
}

struct alignas(64) Line {
    char bytes[200];
};
static Line *volatile g_escape;

/* The same memory serves every cycle when frees really free. */
static void CheckNoGrowth()
{
    void *first = am(1000, 64);
    af(first);
    int distinct = 0;
    for (int i = 0; i < 100000; i++) {
        void *p = am(1000, 64);
        if (p != first) distinct++;
        af(p);
    }
    CHECK(distinct == 0);

    Line *l = new Line;
    g_escape = l;
    CHECK(IsDynamicMemory(l) && ((uintptr_t)l & 63) == 0);
    delete l;
    distinct = 0;
    for (int i = 0; i < 100000; i++) {
        Line *m = new Line;
        g_escape = m;  /* so the pair cannot be optimised away */
        if (m != l) distinct++;
        delete m;
    }
    CHECK(distinct == 0);
}

int main()
{
    Runtime rt;
    CHECK(am && aom && ar && af);
    if (!(am && aom && ar && af)) return Finish("hook_aligned");
    CheckBlocks();
    CheckBadInput(rt);
    CheckForeign();
    CheckNoGrowth();
    CHECK(DefaultHeap.Validate() == 0);
    return Finish("hook_aligned");
}
