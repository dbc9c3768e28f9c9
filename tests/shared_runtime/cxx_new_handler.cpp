/*
 * cxx_new_handler.cpp - a program linked as MinGW links by default (shared
 * C++ runtime and unwinder) sets a new handler that throws bad_alloc; when
 * the runtime's operator new, which jumps into the library, runs out of
 * memory, the library calls that handler and the exception reaches the
 * program's catch through the library's frames. Afterwards the library
 * recovers and allocates again, from this thread and another one; malloc
 * answers null without running the C++ handler, which the C++ runtime's own
 * operator new then runs.
 */
#include <new>
#include <thread>

#include "hook_common.h"
#include "os_memory.h"

static int g_handlerCalls;

static void ThrowingHandler()
{
    g_handlerCalls++;
    throw std::bad_alloc();
}

/* 64 MB: more than any big page set holds, so a reservation is needed,
   and every reservation fails while the fault plan is set. */
static const size_t kLarge = 64u << 20;

static int NewThrows(const Runtime &rt)
{
    try {
        void *p = rt.opNew(kLarge);
        rt.opDelete(p);
        return 0;
    } catch (const std::bad_alloc &) {
        return 1;
    }
}

int main()
{
    Runtime rt;
    std::set_new_handler(ThrowingHandler);
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFFu);

    CHECK(NewThrows(rt));
    CHECK(g_handlerCalls == 1);
    /* The recovery that threw left nothing held: a second one, and one in
       another thread, run the handler again. */
    CHECK(NewThrows(rt));
    int threadCaught = 0;
    std::thread t([&] { threadCaught = NewThrows(rt); });
    t.join();
    CHECK(threadCaught == 1);
    CHECK(g_handlerCalls == 3);

    /* malloc never throws, and leaves the C++ handler to the C++ runtime's
       own operator new, which calls it after malloc answered null. */
    CHECK(rt.malloc(kLarge) == 0);
    CHECK(g_handlerCalls == 3);
    try {
        void *p = ::operator new(kLarge);
        ::operator delete(p);
        CHECK(!"operator new returned");
    } catch (const std::bad_alloc &) {
    }
    CHECK(g_handlerCalls == 4);

    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    void *p = rt.opNew(kLarge);
    CHECK(p != 0 && IsDynamicMemory(p));
    rt.opDelete(p);
    CHECK(g_handlerCalls == 4);
    CHECK(DefaultHeap.Validate() == 0);
    std::set_new_handler(0);
    return Finish("cxx_new_handler");
}
