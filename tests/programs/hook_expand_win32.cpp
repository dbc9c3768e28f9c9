/*
 * hook_expand_win32.cpp - the runtime's _expand, _recalloc and array
 * new/delete reach the library. _expand grows or shrinks a block where it
 * lies (a small block within its class, a big block into its free
 * neighbour or the reserved pages behind it, a direct block within its
 * reservation) and otherwise answers null with the block untouched; it
 * never resizes the runtime's own blocks or pointers that are no blocks.
 */
#include <errno.h>

#include "hook_common.h"

typedef void *(*Expand)(void *, size_t);
typedef void *(*Recalloc)(void *, size_t, size_t);

static void *Export(const char *name)
{
    return (void *)GetProcAddress(GetModuleHandleA("msvcrt"), name);
}

static void CheckSmallAndBad(const Runtime &rt, Expand expand)
{
    char *p = (char *)rt.malloc(100);
    CHECK(expand(p, 104) == p && rt.msize(p) == 104);  /* class of 112 bytes */
    CHECK(expand(p, 2000) == 0 && rt.msize(p) == 104);
    CHECK(expand(p, 10) == p && rt.msize(p) == 10);
    errno = 0;
    CHECK(expand(0, 10) == 0 && errno == EINVAL);
    CHECK(expand(p + 8, 10) == 0 && rt.msize(p) == 10);   /* interior pointer */
    char *foreign = (char *)ForeignBlock(64);
    strcpy(foreign, "runtime");
    CHECK(expand(foreign, 10) == 0 && strcmp(foreign, "runtime") == 0);
    rt.free(p);
    CHECK(expand(p, 10) == 0);                          /* freed */
}

static void CheckBigAndDirect(const Runtime &rt, Expand expand)
{
    /* Static: stdio may take a buffer from it while it is the default. */
    static VR_Heap heap(VR_HEAP_MULTITHREADED);
    VR_HeapSwitcher use(heap);
    char *a = (char *)rt.malloc(5000);
    char *b = (char *)rt.malloc(5000);
    char *c = (char *)rt.malloc(5000);
    memset(a, 0x5A, 5000);
    CHECK(expand(a, 8000) == 0 && rt.msize(a) == 5000);   /* b is in the way */
    rt.free(b);
    CHECK(expand(a, 9000) == a && rt.msize(a) == 9000 && IsMemoryFilledWith(a, 5000, 0x5A));
    CHECK(expand(a, 12000) == 0 && rt.msize(a) == 9000);  /* c is in the way now */
    CHECK(expand(a, 2000) == a && rt.msize(a) == 2000);
    CHECK(heap.Validate() == 0);
    /* The last chunk grows into the reserved pages of its page set. */
    CHECK(expand(c, 400000) == c && rt.msize(c) == 400000);
    CHECK(expand(c, 0x7FFFFFF0u) == 0 && rt.msize(c) == 400000);
    CHECK(heap.Validate() == 0);

    char *d = (char *)heap.AllocWithReserve(1 << 20, 5000, 0);
    CHECK(expand(d, 900000) == d && rt.msize(d) == 900000);
    memset(d, 1, 900000);
    CHECK(expand(d, 2 << 20) == 0 && rt.msize(d) == 900000);
    CHECK(expand(d, 100) == d && rt.msize(d) == 100);
    CHECK(heap.Validate() == 0);
    rt.free(a);
    rt.free(c);
    rt.free(d);
    CHECK(heap.Validate() == 0);
}

static void CheckRecallocAndArrays(const Runtime &rt, Recalloc recalloc)
{
    void *n = Export("??_U@YAPAXI@Z"), *d = Export("??_V@YAXPAX@Z");
    CHECK(JumpTarget(n) == (void *)VRHookNew && JumpTarget(d) == (void *)VRHookDelete);
    /* msvcrt has no _recalloc; later runtimes do (see late_runtimes). */
    if (!recalloc) return;
    char *p = (char *)rt.malloc(10);
    memset(p, 0xAB, 10);
    char *q = (char *)recalloc(p, 10, 10);
    CHECK(q && IsMemoryFilledWith(q, 10, 0xAB) && IsMemoryFilledWith(q + 10, 90, 0) && rt.msize(q) == 100);
    errno = 0;
    CHECK(recalloc(q, 0x10000, 0x10000) == 0 && errno == ENOMEM && rt.msize(q) == 100);
    rt.free(q);
}

int main()
{
    Runtime rt;
    Expand expand = (Expand)Export("_expand");
    CHECK(expand && JumpTarget((void *)expand) != 0);
    if (!expand) return Finish("hook_expand");
    CheckSmallAndBad(rt, expand);
    CheckBigAndDirect(rt, expand);
    CheckRecallocAndArrays(rt, (Recalloc)Export("_recalloc"));
    CHECK(DefaultHeap.Validate() == 0);
    return Finish("hook_expand");
}
