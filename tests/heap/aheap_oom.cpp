/*
 * aheap_oom.cpp - out-of-memory recovery driven through the fault seam: the
 * emergency reserve (its sizes, its take-over as a page set, its release by
 * the first recovery), the heap's new handler, the runtime's standard new
 * handler and VR_HEAP_NO_STD_NEW_HANDLER, and handlers that end the retries.
 * After every failure the heap must be consistent and usable.
 */
#include <gtest/gtest.h>

#include <new>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "heap_internal.h"
#include "os_memory.h"
#include "vr_test.h"

namespace {

#define EXPECT_SOUND(heap) EXPECT_EQ(nullptr, (heap).Validate())

int s_callbacks;
int s_handlerCalls;
int s_handlerResult;

void CountCallback() { s_callbacks++; }
int CountingHandler()
{
    s_handlerCalls++;
    return s_handlerResult;
}
int HealingHandler()
{
    s_handlerCalls++;
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    VR_SetFault(vr_os::kFaultCommit, 0, 0);
    return 1;
}

/* Sets up a clean slate and leaves one, whatever the test did. */
struct OutOfMemory : ::testing::Test {
    void SetUp() override
    {
        VR_Test::FlushThreadCache();   // recovery would give it back first
        Reset();
    }
    void TearDown() override { Reset(); }
    static void Reset()
    {
        VR_SetFault(vr_os::kFaultReserve, 0, 0);
        VR_SetFault(vr_os::kFaultCommit, 0, 0);
        VR_ProcessLockGuard guard;
        if (VR_Test::EmergencyReserve())
            ReleasePages(VR_Test::EmergencyReserve(), (uint32_t)VR_Test::EmergencyReserveSize(), s_granularity);
        VR_Test::EmergencyReserve() = nullptr;
        VR_Test::EmergencyCallback() = nullptr;
        s_callbacks = s_handlerCalls = 0;
        s_handlerResult = 0;
    }
};

/* Fills the first page of a fresh page set, so the next class-1 request
   needs a commit. */
void FillFirstPage(VR_Heap &heap)
{
    const uint32_t size = AlignUp(16 + 8);   // class 1: 24 or 32 bytes
    for (uint32_t i = 0; i < (s_pageSize - kSmallFirstBlock) / size; i++) ASSERT_NE(nullptr, heap.AllocMem(16));
}

TEST_F(OutOfMemory, EmergencyReserveSizes)
{
    VR_Heap heap(0);
    EXPECT_EQ(1, heap.SetEmergencyReserve(100000, CountCallback));
    void *first = VR_Test::EmergencyReserve();
    EXPECT_EQ(65536u, VR_Test::EmergencyReserveSize());
    EXPECT_TRUE(IsDynamicMemory(first));

    EXPECT_EQ(1, heap.SetEmergencyReserve(4097, CountCallback));
    EXPECT_EQ(2 * s_pageSize, VR_Test::EmergencyReserveSize());
    EXPECT_NE(first, VR_Test::EmergencyReserve());
    EXPECT_EQ(0, s_callbacks);   // the replaced reserve's callback is not called
    EXPECT_EQ(1, heap.SetEmergencyReserve(1, CountCallback));
    EXPECT_EQ(s_pageSize, VR_Test::EmergencyReserveSize());

    // A failing call keeps the reserve but takes the new callback.
    void *held = VR_Test::EmergencyReserve();
    void (*other)() = [] {};
    EXPECT_EQ(0, heap.SetEmergencyReserve(0, other));
    EXPECT_EQ(held, VR_Test::EmergencyReserve());
    EXPECT_EQ(other, VR_Test::EmergencyCallback());
    VR_SetFault(vr_os::kFaultCommit, 1, 1);
    EXPECT_EQ(0, heap.SetEmergencyReserve(8192, CountCallback));
    EXPECT_EQ(held, VR_Test::EmergencyReserve());
    EXPECT_EQ(s_pageSize, VR_Test::EmergencyReserveSize());
}

TEST_F(OutOfMemory, ReserveBecomesAPageSet)
{
    VR_Heap heap(0);
    heap.SetNewHandler(CountingHandler);
    ASSERT_EQ(1, heap.SetEmergencyReserve(2 * s_pageSize, CountCallback));
    void *reserve = VR_Test::EmergencyReserve();
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFFu);
    uint8_t *p = (uint8_t *)heap.AllocMem(100);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ((uint8_t *)reserve + kSmallFirstBlock + 8, p);
    EXPECT_EQ(1, s_callbacks);
    EXPECT_EQ(0, s_handlerCalls);   // no recovery was needed
    EXPECT_EQ(nullptr, VR_Test::EmergencyReserve());
    EXPECT_EQ((uint8_t *)reserve + 2 * s_pageSize, VR_Test::PageSets(heap)->commitEnd);
    EXPECT_SOUND(heap);
}

TEST_F(OutOfMemory, FailedFirstCommitReleasesTheReservation)
{
    VR_Heap heap(0);
    heap.SetNewHandler(CountingHandler);
    uint32_t reserves = VR_FaultCalls(vr_os::kFaultReserve);
    VR_SetFault(vr_os::kFaultCommit, 1, 1);
    EXPECT_EQ(nullptr, heap.AllocMem(10));
    EXPECT_EQ(1, s_handlerCalls);
    EXPECT_EQ(reserves + 1, VR_FaultCalls(vr_os::kFaultReserve));
    EXPECT_EQ(nullptr, VR_Test::PageSets(heap));
    EXPECT_SOUND(heap);
    EXPECT_NE(nullptr, heap.AllocMem(10));   // usable once memory is back
    EXPECT_SOUND(heap);
}

TEST_F(OutOfMemory, ReserveGoesFirstThenTheHeapsHandler)
{
    VR_Heap heap(VR_HEAP_NO_STD_NEW_HANDLER);
    FillFirstPage(heap);
    ASSERT_EQ(1, heap.SetEmergencyReserve(4096, CountCallback));
    void *reserve = VR_Test::EmergencyReserve();
    heap.SetNewHandler(HealingHandler);
    VR_SetFault(vr_os::kFaultCommit, 1, 2);
    uint8_t *p = (uint8_t *)heap.AllocMem(16);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(1, s_callbacks);        // first recovery: the reserve went back
    EXPECT_EQ(1, s_handlerCalls);     // second: the heap's handler
    EXPECT_EQ(nullptr, VR_Test::EmergencyReserve());
    EXPECT_FALSE(IsDynamicMemory(reserve));
    EXPECT_EQ(VR_Test::PageSets(heap)->Base() + 2 * s_pageSize, VR_Test::PageSets(heap)->commitEnd);
    EXPECT_SOUND(heap);
}

TEST_F(OutOfMemory, HandlerReturningZeroEndsTheRetriesUnlocked)
{
    VR_Heap heap(VR_HEAP_MULTITHREADED);
    FillFirstPage(heap);
    void *tailPiece = nullptr;
    heap.SetNewHandler(CountingHandler);
    s_handlerResult = 0;
    VR_SetFault(vr_os::kFaultCommit, 1, 0xFFFFFFFFu);
    EXPECT_EQ(nullptr, heap.AllocMem(16));
    EXPECT_EQ(1, s_handlerCalls);
    EXPECT_SOUND(heap);
    // The lock was left: another thread gets through once memory is back.
    VR_SetFault(vr_os::kFaultCommit, 0, 0);
    std::thread other([&] { tailPiece = heap.AllocMem(1); });
    other.join();
    EXPECT_NE(nullptr, tailPiece);
    EXPECT_SOUND(heap);
}

TEST_F(OutOfMemory, RetiredTailStaysUsableWhenANewPageSetFails)
{
    VR_Heap heap(VR_HEAP_NO_STD_NEW_HANDLER);
    for (int i = 0; i < 63; i++) ASSERT_NE(nullptr, heap.AllocMem(1016));
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFFu);
    EXPECT_EQ(nullptr, heap.AllocMem(1016));
    // The tail's largest piece: 976 bytes, or 960 where the first block
    // lies 8 bytes further in.
    const uint32_t piece = kBlockAlignment == 8 ? 976 : 960;
    EXPECT_NE(nullptr, VR_Test::FreeList(heap, VR_Test::SizeClassOf(piece)));
    EXPECT_SOUND(heap);
    EXPECT_NE(nullptr, heap.AllocMem(piece - 16));   // served from the tail
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    EXPECT_NE(nullptr, heap.AllocMem(1016));
    EXPECT_SOUND(heap);
}

#if defined(_WIN32)
typedef int(__cdecl *RuntimeHandler)(size_t);
RuntimeHandler SetRuntimeHandler(RuntimeHandler h)
{
    typedef RuntimeHandler(__cdecl * Setter)(RuntimeHandler);
    // msvcrt exports _set_new_handler under its C++ name only.
    HMODULE crt = GetModuleHandleA("msvcrt.dll");
    Setter set = (Setter)(void *)GetProcAddress(crt, "?_set_new_handler@@YAP6AHI@ZP6AHI@Z@Z");
    if (!set) set = (Setter)(void *)GetProcAddress(crt, "_set_new_handler");
    EXPECT_NE(nullptr, (void *)set);
    return set ? set(h) : nullptr;
}
int __cdecl StdHandler(size_t size)
{
    EXPECT_EQ(s_granularity, size);
    return HealingHandler();
}
int __cdecl StdHandlerGivingUp(size_t) { return CountingHandler(); }
#define INSTALL_STD_HANDLER() SetRuntimeHandler(StdHandler)
#define REMOVE_STD_HANDLER() SetRuntimeHandler(nullptr)
#else
void StdHandler() { HealingHandler(); }
#define INSTALL_STD_HANDLER() std::set_new_handler(StdHandler)
#define REMOVE_STD_HANDLER() std::set_new_handler(nullptr)
#endif

TEST_F(OutOfMemory, RuntimeStandardNewHandler)
{
    VR_Heap heap(0);
    INSTALL_STD_HANDLER();
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFFu);
    void *p = heap.AllocMem(10);
    EXPECT_NE(nullptr, p);
    EXPECT_EQ(1, s_handlerCalls);

    // Refused to a heap that asks for it, and unused when the heap has its own.
    VR_Heap refusing(VR_HEAP_NO_STD_NEW_HANDLER);
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFFu);
    EXPECT_EQ(nullptr, refusing.AllocMem(10));
    EXPECT_EQ(1, s_handlerCalls);
    refusing.SetNewHandler(CountingHandler);
    EXPECT_EQ(nullptr, refusing.AllocMem(10));
    EXPECT_EQ(2, s_handlerCalls);

#if defined(_WIN32)
    // A runtime handler answering 0 ends the retries.
    SetRuntimeHandler(StdHandlerGivingUp);
    EXPECT_EQ(nullptr, VR_Heap(0).AllocMem(10));
    EXPECT_EQ(3, s_handlerCalls);
#endif
    REMOVE_STD_HANDLER();
    VR_SetFault(vr_os::kFaultReserve, 0, 0);

    // Without any handler, recovery gives up at once.
    VR_Heap bare(0);
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFFu);
    EXPECT_EQ(0, VR_Test::HandleOutOfMemory(bare));
    EXPECT_EQ(nullptr, bare.AllocMem(10));
    EXPECT_SOUND(heap);
    EXPECT_SOUND(bare);
}

} // namespace
