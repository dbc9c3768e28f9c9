/*
 * win32.cpp - the memory side of the platform contract on Windows.
 *
 * Thin wrappers over the virtual-memory services, which already behave the
 * way the contract is written: reservations on 64 KB boundaries, commit and
 * decommit page by page, release by base. Also here: the waiting side of
 * the library's locks. Every reservation and commit passes the fault seam
 * first so tests can make it fail.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include "os_lock.h"
#include "os_memory.h"
#include "os_thread.h"

namespace {

DWORD Protection(int nocache)
{
    return nocache ? PAGE_READWRITE | PAGE_NOCACHE : PAGE_READWRITE;
}

} // namespace

void vr_os::QuerySystemInfo(uint32_t *pageSize, uint32_t *granularity)
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    *pageSize = si.dwPageSize;
    *granularity = si.dwAllocationGranularity;
}

void *vr_os::Reserve(uint32_t size, int nocache)
{
    if (FaultHit(kFaultReserve)) return 0;
    if (size == 0) return 0;
    return VirtualAlloc(0, size, MEM_RESERVE, Protection(nocache));
}

void *vr_os::ReserveAndCommit(uint32_t size, int nocache)
{
    if (FaultHit(kFaultReserve)) return 0;
    if (size == 0) return 0;
    return VirtualAlloc(0, size, MEM_RESERVE | MEM_COMMIT, Protection(nocache));
}

int vr_os::Commit(void *address, uint32_t size, int nocache)
{
    if (FaultHit(kFaultCommit)) return 0;
    if (size == 0) return 0;
    return VirtualAlloc(address, size, MEM_COMMIT, Protection(nocache)) != 0;
}

void vr_os::Decommit(void *address, uint32_t size)
{
    VirtualFree(address, size, MEM_DECOMMIT);
}

int vr_os::Release(void *base)
{
    return base && VirtualFree(base, 0, MEM_RELEASE) ? 1 : 0;
}

int vr_os::QueryRegion(const void *p, RegionInfo *info)
{
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery(p, &mbi, sizeof mbi) != sizeof mbi) return 0;
    int isFree = mbi.State == MEM_FREE;
    info->allocationBase = isFree ? 0 : (uintptr_t)mbi.AllocationBase;
    info->regionBase = (uintptr_t)mbi.BaseAddress;
    info->regionSize = (uint32_t)mbi.RegionSize;
    info->committed = mbi.State == MEM_COMMIT;
    /* Reserved pages carry no protection of their own; what they were
       reserved with is the allocation's. */
    DWORD prot = info->committed ? mbi.Protect : isFree ? 0 : mbi.AllocationProtect;
    info->nocache = (prot & PAGE_NOCACHE) ? 1 : 0;
    return 1;
}

int vr_os::IsOnThreadStack(const void *p)
{
    volatile char local = 0;
    MEMORY_BASIC_INFORMATION mine, theirs;
    if (VirtualQuery((const void *)&local, &mine, sizeof mine) != sizeof mine) return 0;
    if (VirtualQuery(p, &theirs, sizeof theirs) != sizeof theirs) return 0;
    if (theirs.State == MEM_FREE) return 0;
    return mine.AllocationBase == theirs.AllocationBase;
}

/* How long a thread that finds a lock held polls it before it sleeps; see
   posix.cpp. */
const uint32_t kLockSpins = 100;

namespace {

/* The system's wait on an address (Windows 8 on), or null where the system
   lacks it; then a waiter gives its processor away and naps instead, which
   needs no wake-up. */
typedef BOOL(WINAPI *WaitOnAddressFn)(volatile VOID *, PVOID, SIZE_T, DWORD);
typedef VOID(WINAPI *WakeByAddressFn)(PVOID);
WaitOnAddressFn s_waitOnAddress;
WakeByAddressFn s_wakeByAddress;

/* Looked up while the library loads, before the hooks go in (priority 200)
   and so before any lock of the library can be contended: a lookup later,
   from a waiter, would take the loader's lock while holding ours. */
struct VR_WaitResolver {
    VR_WaitResolver()
    {
        HMODULE m = GetModuleHandleA("kernelbase.dll");
        if (!m) return;
        WaitOnAddressFn wait = (WaitOnAddressFn)(void *)GetProcAddress(m, "WaitOnAddress");
        WakeByAddressFn wake = (WakeByAddressFn)(void *)GetProcAddress(m, "WakeByAddressSingle");
        if (!wait || !wake) return;
        /* The wake first: a waiter that finds the wait finds the wake too. */
        __atomic_store_n(&s_wakeByAddress, wake, __ATOMIC_RELEASE);
        __atomic_store_n(&s_waitOnAddress, wait, __ATOMIC_RELEASE);
    }
};
VR_WaitResolver s_waitResolver __attribute__((init_priority(150)));

} // namespace

void vr_os::LockInit(VR_LockStorage *lock)
{
    memset(lock, 0, sizeof *lock);
}

/* As on Linux: mark the state word 2 so the holder's Leave wakes somebody,
   then sleep on it until it changes. */
void vr_os::LockWait(VR_LockWord *lock)
{
    for (uint32_t round = 0; round < kLockSpins; round++) {
        if (__atomic_load_n(&lock->state, __ATOMIC_RELAXED) == 0) {
            uint32_t expected = 0;
            if (__atomic_compare_exchange_n(&lock->state, &expected, 1u, false, __ATOMIC_ACQUIRE,
                                            __ATOMIC_RELAXED))
                return;
        }
        __builtin_ia32_pause();
    }
    /* malloc must leave the caller's last-error value as it was. */
    DWORD error = GetLastError();
    uint32_t naps = 0;
    while (__atomic_exchange_n(&lock->state, 2u, __ATOMIC_ACQUIRE) != 0) {
        WaitOnAddressFn wait = __atomic_load_n(&s_waitOnAddress, __ATOMIC_ACQUIRE);
        uint32_t marked = 2;
        if (wait) wait(&lock->state, &marked, sizeof marked, INFINITE);
        else if (naps++ < 200) SwitchToThread();
        else Sleep(1);
    }
    SetLastError(error);
}

void vr_os::LockWake(VR_LockWord *lock)
{
    WakeByAddressFn wake = __atomic_load_n(&s_wakeByAddress, __ATOMIC_ACQUIRE);
    if (wake) wake(&lock->state);
}
