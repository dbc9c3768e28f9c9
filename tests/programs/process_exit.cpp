/*
 * process_exit.cpp - allocations and frees that arrive through the runtime
 * after the library's exit list has destroyed DefaultHeap and HeapForHeaps
 * are still served by the same heaps, now without locks.
 *
 * On Linux a handler registered from the program's pre-initialisers, ahead
 * of every constructor of the library, and tied to no module, runs after
 * the library's exit list.
 * A Windows program gets no control after its DLLs' detach notifications,
 * so there the program runs the two destructions itself, in the exit
 * list's order, and checks the same things.
 */
#include <stdlib.h>

#include "hook_common.h"
#include "vr_test.h"

static void *g_kept[3];

static int CountIfEqual(void *block, void *context)
{
    return block == context;
}

static void AfterExitList()
{
    Runtime rt;
    /* Destroyed: the locks are gone, the memory is not. */
    CHECK(VR_Test::LockActive(DefaultHeap) == 0);
    CHECK(VR_Test::LockActive(HeapForHeaps) == 0);
    CHECK(rt.msize(g_kept[0]) == 40 && rt.msize(g_kept[1]) == 5000);
    rt.free(g_kept[0]);
    rt.free(g_kept[1]);
    rt.opDelete(g_kept[2]);
    CHECK(DefaultHeap.FindFirstThat(CountIfEqual, g_kept[0]) == 0);
    CHECK(DefaultHeap.FindFirstThat(CountIfEqual, g_kept[1]) == 0);
    void *late = rt.malloc(300);
    CHECK(late != 0 && IsDynamicMemory(late));
    if (late) memset(late, 0x5A, 300);
    char *grown = (char *)rt.realloc(late, 3000);
    CHECK(grown != 0 && IsMemoryFilledWith(grown, 300, 0x5A));
    rt.free(grown);
    CHECK(DefaultHeap.Validate() == 0);
    CHECK(HeapForHeaps.Validate() == 0);
}

#if !defined(_WIN32)
static void AtExit(void *)
{
    AfterExitList();
    /* The exit status is the only report a handler this late can give. */
    int status = Finish("process_exit");
    fflush(stdout);
    _exit(status);
}

/* Registered without a module handle: such handlers are not run when the
   program's own module is finalised but only after every module's
   finalisation, the library's exit list included. */
extern "C" int __cxa_atexit(void (*fn)(void *), void *arg, void *dso);

static void RegisterEarly(int, char **, char **)
{
    __cxa_atexit(AtExit, 0, 0);
}
__attribute__((section(".preinit_array"), used)) static void (*s_early)(int, char **, char **) = RegisterEarly;
#endif

int main()
{
    Runtime rt;
    g_kept[0] = rt.malloc(40);
    g_kept[1] = rt.malloc(5000);
    g_kept[2] = rt.opNew(64);
    CHECK(g_kept[0] && g_kept[1] && g_kept[2]);
    CHECK(VR_Test::LockActive(DefaultHeap) && VR_Test::LockActive(HeapForHeaps));
    CHECK(DefaultHeap.FindFirstThat(CountIfEqual, g_kept[0]) == g_kept[0]);
#if defined(_WIN32)
    DefaultHeap.~VR_Heap();
    HeapForHeaps.~VR_Heap();
    AfterExitList();
    return Finish("process_exit");
#else
    return g_failures;
#endif
}
