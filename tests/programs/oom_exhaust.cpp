/*
 * oom_exhaust.cpp - out of memory for real. The program reserves all the
 * address space it can get, then allocates: the emergency reserve must
 * become a page set (one callback), a later failure must first give the
 * reserve back, then reach the heap's new handler or the runtime's standard
 * new handler (never with VR_HEAP_NO_STD_NEW_HANDLER); a handler answering
 * 0 must end the retries with null and a sound heap; and every heap must
 * work again once the address space is given back.
 *
 * Nothing between exhausting and giving back may allocate from the C
 * runtime, so the program reports only at the end.
 */
#include <stdio.h>
#include <string.h>

#include <new>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "heap_internal.h"
#include "vr_test.h"

namespace {

const int kMaxHeld = 70000;
void *s_held[kMaxHeld];
uint32_t s_heldSize[kMaxHeld];
int s_heldCount;

int s_callbacks, s_heapHandlerCalls, s_stdHandlerCalls;
int s_failedLine[64];
int s_failures;

#define CHECK(c)                                                 \
    do {                                                         \
        if (!(c) && s_failures < 64) s_failedLine[s_failures++] = __LINE__; \
    } while (0)

/* Reserves everything it can, largest pieces first, then the free slots
   the units of page sets still hold (size 0 in s_heldSize). */
void Exhaust()
{
    for (uint32_t size = 1u << 30; size >= 65536; size >>= 1) {
        while (s_heldCount < kMaxHeld) {
            void *p = ReservePages(size, 0);
            if (!p) break;
            s_held[s_heldCount] = p;
            s_heldSize[s_heldCount++] = size;
        }
    }
    while (s_heldCount < kMaxHeld) {
        void *p = ReservePageSet(0, VR_SPACE_SMALL);
        if (!p) break;
        s_held[s_heldCount] = p;
        s_heldSize[s_heldCount++] = 0;
    }
}

/* Gives back the n most recent (smallest) reservations. */
void GiveBack(int n)
{
    while (n-- > 0 && s_heldCount > 0) {
        s_heldCount--;
        if (s_heldSize[s_heldCount]) ReleasePages(s_held[s_heldCount], 0, s_heldSize[s_heldCount]);
        else ReleasePageSet(s_held[s_heldCount], 0);
    }
}

void Callback() { s_callbacks++; }

int HeapHandlerFreeing()
{
    s_heapHandlerCalls++;
    GiveBack(1);
    return 1;
}

int HeapHandlerGivingUp()
{
    s_heapHandlerCalls++;
    return 0;
}

#if defined(_WIN32)
typedef int(__cdecl *RuntimeHandler)(size_t);
int __cdecl StdHandler(size_t)
{
    s_stdHandlerCalls++;
    GiveBack(1);
    return 1;
}
void InstallStdHandler(RuntimeHandler h)
{
    typedef RuntimeHandler(__cdecl * Setter)(RuntimeHandler);
    HMODULE crt = GetModuleHandleA("msvcrt.dll");
    Setter set = (Setter)(void *)GetProcAddress(crt, "?_set_new_handler@@YAP6AHI@ZP6AHI@Z@Z");
    if (!set) set = (Setter)(void *)GetProcAddress(crt, "_set_new_handler");
    CHECK(set != 0);
    if (set) set(h);
}
#define INSTALL_STD_HANDLER() InstallStdHandler(StdHandler)
#define REMOVE_STD_HANDLER() InstallStdHandler(0)
#else
void StdHandler()
{
    s_stdHandlerCalls++;
    GiveBack(1);
}
#define INSTALL_STD_HANDLER() std::set_new_handler(StdHandler)
#define REMOVE_STD_HANDLER() std::set_new_handler(nullptr)
#endif

} // namespace

int main()
{
    printf("oom_exhaust: reserving the whole address space\n");
    fflush(stdout);

    VR_Heap first(VR_HEAP_MULTITHREADED | VR_HEAP_NO_STD_NEW_HANDLER);
    VR_Heap second(0);
    VR_Heap refusing(VR_HEAP_NO_STD_NEW_HANDLER);
    CHECK(first.SetEmergencyReserve(65536, Callback) == 1);
    void *reserve = VR_Test::EmergencyReserve();

    Exhaust();
    int heldAtStart = s_heldCount;

    // 1. The reserve becomes the first heap's page set, with one callback.
    unsigned char *a = (unsigned char *)first.AllocMem(100);
    CHECK(a == (unsigned char *)reserve + kSmallFirstBlock + 8);
    CHECK(s_callbacks == 1);
    CHECK(VR_Test::EmergencyReserve() == 0);

    // 2. Filling it needs a new page set: the heap's handler frees space.
    first.SetNewHandler(HeapHandlerFreeing);
    void *blocks[64];
    for (int i = 0; i < 64; i++) blocks[i] = first.AllocMem(1016);
    CHECK(blocks[62] != 0 && PageSetOf(blocks[62]) == PageSetOf(a));
    CHECK(blocks[63] != 0 && PageSetOf(blocks[63]) != PageSetOf(a));
    CHECK(s_heapHandlerCalls == 1);
    CHECK(first.Validate() == 0);

    // 3. A held reserve is given back by the first recovery (a big block
    //    cannot take it over); a handler answering 0 then ends the retries.
    GiveBack(1);
    CHECK(first.SetEmergencyReserve(4096, Callback) == 1);
    void *reserve2 = VR_Test::EmergencyReserve();
    first.SetNewHandler(HeapHandlerGivingUp);
    CHECK(first.AllocMem(2000000) == 0);
    CHECK(s_callbacks == 2);
    CHECK(VR_Test::EmergencyReserve() == 0);
    CHECK(!IsDynamicMemory(reserve2));
    CHECK(s_heapHandlerCalls == 2);
    CHECK(first.Validate() == 0);

    // The small path ends the same way once its page set is full.
    Exhaust();
    int got = 0;
    while (got < 200 && first.AllocMem(1016) != 0) got++;
    CHECK(got < 200);
    CHECK(s_heapHandlerCalls == 3);
    CHECK(first.Validate() == 0);

    // 4. The runtime's standard new handler serves a heap without its own,
    //    and never one with VR_HEAP_NO_STD_NEW_HANDLER.
    INSTALL_STD_HANDLER();
    CHECK(second.AllocMem(10) != 0);
    CHECK(s_stdHandlerCalls == 1);
    Exhaust();   // the handler may have given back more than one page set's worth
    CHECK(refusing.AllocMem(10) == 0);
    CHECK(s_stdHandlerCalls == 1);
    REMOVE_STD_HANDLER();
    CHECK(refusing.Validate() == 0);
    CHECK(second.Validate() == 0);

    // 5. Memory is back: every heap works again.
    int stillHeld = s_heldCount;
    GiveBack(s_heldCount);
    CHECK(first.AllocMem(1016) != 0);
    CHECK(refusing.AllocMem(10) != 0);
    CHECK(second.AllocMem(5000) != 0);
    CHECK(first.Validate() == 0);
    CHECK(refusing.Validate() == 0);
    CHECK(second.Validate() == 0);

    printf("oom_exhaust: %d reservations held, %d left when giving back\n", heldAtStart, stillHeld);
    for (int i = 0; i < s_failures; i++) printf("oom_exhaust: check at line %d failed\n", s_failedLine[i]);
    return s_failures ? 1 : 0;
}
