/*
 * hook_guards.cpp - malloc, calloc and realloc turn any exception raised
 * inside them into null (a C++ exception from a new handler; on Windows
 * also an access violation), while operator new lets it reach its caller;
 * realloc of a pointer into memory that cannot be read copies nothing and
 * yields null.
 */
#include "hook_common.h"
#include "os_memory.h"

static Runtime g_rt;
static VR_Heap *g_thrower;
static int g_handlerCalls;

static int ThrowingHandler()
{
    g_handlerCalls++;
    /* The exception object itself is allocated through malloc: from a heap
       that is not out of memory. */
    VR_Heap::SetDefault(DefaultHeap);
    throw 42;
}

static void CheckThrownExceptions()
{
    VR_Heap h(VR_HEAP_NO_STD_NEW_HANDLER);
    h.SetNewHandler(ThrowingHandler);
    /* Every reservation fails: h's first block needs a page set. */
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFFu);

    VR_Heap::SetDefault(h);
    CHECK(g_rt.malloc(100) == 0);
    VR_Heap::SetDefault(h);
    CHECK(g_rt.calloc(10, 10) == 0);
    VR_Heap::SetDefault(h);
    CHECK(g_rt.realloc(0, 100) == 0);
    VR_Heap::SetDefault(h);
    int caught = 0;
    try {
        g_rt.opNew(100);
    } catch (int e) {
        caught = e;
    }
    CHECK(caught == 42);
    CHECK(g_handlerCalls == 4);

    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    VR_Heap::SetDefault(h);
    void *p = g_rt.malloc(100);
    CHECK(p != 0);
    g_rt.free(p);
    VR_Heap::SetDefault(DefaultHeap);
    CHECK(h.Validate() == 0);
}

static void CheckUnreadableForeign()
{
    uint32_t page;
#if defined(_WIN32)
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    page = si.dwPageSize;
    uint8_t *locked = (uint8_t *)VirtualAlloc(0, page, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    uint8_t *reserved = (uint8_t *)VirtualAlloc(0, 65536, MEM_RESERVE, PAGE_READWRITE);
#else
    page = (uint32_t)sysconf(_SC_PAGESIZE);
    uint8_t *locked = (uint8_t *)mmap(0, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    uint8_t *reserved = (uint8_t *)mmap(0, 65536, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
#endif
    CHECK(g_rt.realloc(locked + 16, 64) == 0);
    CHECK(g_rt.realloc(reserved + 100, 64) == 0);
    CHECK(DefaultHeap.Validate() == 0);
}

#if defined(_WIN32)
/* A default heap whose object cannot be read: the allocation faults inside
   the heap, and the guard answers null. */
static void CheckAccessViolations()
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    VR_Heap *unreadable = (VR_Heap *)VirtualAlloc(0, si.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    VR_Heap::SetDefault(*unreadable);
    void *m = g_rt.malloc(10);
    void *c = g_rt.calloc(2, 2);
    void *r = g_rt.realloc(0, 10);
    VR_Heap::SetDefault(DefaultHeap);
    CHECK(m == 0 && c == 0 && r == 0);
    /* Nothing was left behind: the next calls work as always. */
    void *p = g_rt.malloc(10);
    CHECK(p != 0 && IsDynamicMemory(p));
    g_rt.free(p);
    CHECK(DefaultHeap.Validate() == 0);
}
#endif

int main()
{
#if !defined(_WIN32)
    /* On Windows the program and vorrel.dll each carry their own static
       copy of the DWARF unwinder, which knows only its own module's
       frames: a C++ exception cannot cross the DLL in either direction. */
    CheckThrownExceptions();
#endif
    CheckUnreadableForeign();
#if defined(_WIN32)
    CheckAccessViolations();
#endif
    return Finish("hook_guards");
}
