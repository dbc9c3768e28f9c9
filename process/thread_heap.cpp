/*
 * thread_heap.cpp - each thread's default heap and the application's two
 * declarations about the process: VR_Heap::Default and SetDefault, the
 * scoped VR_HeapSwitcher, InitVorrel (whether DefaultHeap must stay locked,
 * defined once per application) and EnsureVorrel (the interception exists).
 * The process heaps themselves live with the heap sources; the order of
 * start-up is hooks (here, priority 200), HeapForHeaps, DefaultHeap.
 */
#include "os_lock.h"
#include "os_output.h"
#include "process_internal.h"

VR_Heap &VR_Heap::Default()
{
    return ThreadDefaultHeap();
}

void VR_Heap::SetDefault(VR_Heap &heap)
{
    t_defaultHeap = &heap;
}

VR_HeapSwitcher::VR_HeapSwitcher(VR_Heap &heap)
{
    /* Saved by the Default rule, so a thread that never looked its heap up
       gets DefaultHeap back rather than null. */
    saved = &ThreadDefaultHeap();
    t_defaultHeap = &heap;
}

VR_HeapSwitcher::~VR_HeapSwitcher()
{
    t_defaultHeap = saved;
}

VR_HeapSwitcher &VR_HeapSwitcher::operator=(const VR_HeapSwitcher &other)
{
    saved = other.saved;
    return *this;
}

namespace {
const char kDoubleInitText[] = "Error! You have INIT_VORREL() defined twice in your application!";
const char kCaption[] = "Vorrel";
/* MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND */
const uint32_t kDoubleInitStyle = 0x12010;
} // namespace

InitVorrel::InitVorrel(int multithreaded)
{
    /* The test takes no lock: the object is meant to be a single global,
       constructed while the application starts up. */
    if (s_initInstanceSeen) vr_os::ShowMessage(kDoubleInitText, kCaption, kDoubleInitStyle);
    s_initInstanceSeen = 1;
    if (!s_hooksInstalled) InstallRuntimeHooks();
    /* A DefaultHeap without its lock lends nothing to thread caches; what
       waits in them goes back on each thread's next slow call. Done before
       the process lock is taken: it takes the heap's lock. */
    if (!multithreaded) vr_front::UnbindCaches(&DefaultHeap, 1);

    EnsureProcessLock();
    VR_ProcessLockGuard guard;
    s_initMultithreaded = multithreaded;
    s_initCalled = 1;
    /* A DefaultHeap not initialised yet reads the two flags above when it
       is; one already locked loses its lock now. The lock is dropped
       without being taken, so no other thread may be using DefaultHeap:
       that is what declaring single-threaded use means. A lock once
       dropped is never created again. */
    VR_AHeap &heap = DefaultHeap;
    if (VR_Access::Initialized(heap) && !multithreaded && VR_Access::LockActive(heap)) {
        VR_Access::LockActive(heap) = 0;
        VR_Access::Flags(heap) &= ~(long)VR_HEAP_MULTITHREADED;
        vr_os::LockDelete(&VR_Access::Lock(heap));
    }
}

InitVorrel &InitVorrel::operator=(const InitVorrel &)
{
    return *this;
}

EnsureVorrel::EnsureVorrel()
{
    if (!s_hooksInstalled) InstallRuntimeHooks();
}

EnsureVorrel &EnsureVorrel::operator=(const EnsureVorrel &)
{
    return *this;
}
