/*
 * system.cpp - the cached system information and the process lock (see
 * system.h). The lock is created on first need by whichever thread gets
 * there first, since the library may be entered before any initialiser of
 * its own has run.
 */
#include "system.h"
#include "os_lock.h"
#include "os_memory.h"

uint32_t s_pageSize;
uint32_t s_granularity;
uint32_t s_granularityMask;

namespace {

/* The process lock: 0 = not created, 1 = being created, 2 = ready. */
VR_LockStorage s_processLock;
volatile uint32_t s_processLockState;

enum { kLockNone = 0, kLockCreating = 1, kLockReady = 2 };

} // namespace

void LoadSystemInfo()
{
    uint32_t page = 0, gran = 0;
    vr_os::QuerySystemInfo(&page, &gran);
    s_granularity = gran;
    s_granularityMask = 0u - gran;
    /* Page size last: a reader that sees it nonzero sees the rest too. */
    __atomic_store_n(&s_pageSize, page, __ATOMIC_RELEASE);
}

void EnsureProcessLock()
{
    if (__atomic_load_n(&s_processLockState, __ATOMIC_ACQUIRE) == kLockReady) return;
    uint32_t expected = kLockNone;
    if (__atomic_compare_exchange_n(&s_processLockState, &expected, (uint32_t)kLockCreating, false,
                                    __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        vr_os::LockInit(&s_processLock);
        __atomic_store_n(&s_processLockState, (uint32_t)kLockReady, __ATOMIC_RELEASE);
        return;
    }
    /* Another thread is creating it; that takes a few instructions. */
    while (__atomic_load_n(&s_processLockState, __ATOMIC_ACQUIRE) != kLockReady)
        __builtin_ia32_pause();
}

VR_LockStorage *ProcessLockStorage()
{
    EnsureProcessLock();
    return &s_processLock;
}

void ProcessLockEnter()
{
    EnsureProcessLock();
    vr_os::LockEnter(&s_processLock);
}

int ProcessLockTryEnter()
{
    EnsureProcessLock();
    return vr_os::LockTryEnter(&s_processLock);
}

void ProcessLockLeave()
{
    vr_os::LockLeave(&s_processLock);
}
