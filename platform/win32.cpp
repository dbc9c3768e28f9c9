/*
 * win32.cpp - the memory side of the platform contract on Windows.
 *
 * Thin wrappers over the virtual-memory services, which already behave the
 * way the contract is written: reservations on 64 KB boundaries, commit and
 * decommit page by page, release by base. Also here: the recursive locks
 * (critical sections) and the assertion report. Every reservation and
 * commit passes the fault seam first so tests can make it fail.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"

namespace {

DWORD Protection(int nocache)
{
    return nocache ? PAGE_READWRITE | PAGE_NOCACHE : PAGE_READWRITE;
}

void WriteAll(HANDLE h, const char *s)
{
    DWORD n = (DWORD)strlen(s), written = 0;
    if (h != INVALID_HANDLE_VALUE && h != 0) WriteFile(h, s, n, &written, 0);
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

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(VR_LockStorage), "a critical section fits VR_LockStorage");
static_assert(alignof(CRITICAL_SECTION) <= alignof(VR_LockStorage), "VR_LockStorage aligns a critical section");

void vr_os::LockInit(VR_LockStorage *lock)
{
    InitializeCriticalSection((CRITICAL_SECTION *)lock);
}

void vr_os::LockEnter(VR_LockStorage *lock)
{
    EnterCriticalSection((CRITICAL_SECTION *)lock);
}

void vr_os::LockLeave(VR_LockStorage *lock)
{
    LeaveCriticalSection((CRITICAL_SECTION *)lock);
}

void vr_os::LockDelete(VR_LockStorage *lock)
{
    DeleteCriticalSection((CRITICAL_SECTION *)lock);
}

void vr_os::AssertFailed(const char *what, const char *file, int line)
{
    char num[12];
    int i = sizeof num - 1;
    unsigned v = line < 0 ? 0u : (unsigned)line;
    num[i] = 0;
    do num[--i] = (char)('0' + v % 10); while ((v /= 10) && i > 0);
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    WriteAll(h, "Vorrel: invariant broken: ");
    WriteAll(h, what);
    WriteAll(h, " at ");
    WriteAll(h, file);
    WriteAll(h, ":");
    WriteAll(h, num + i);
    WriteAll(h, "\n");
    abort();
}
