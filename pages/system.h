/*
 * system.h - what every page service shares: the system's page size and
 * allocation granularity (read once and cached), the process lock, and the
 * rounding to a power of two that does not wrap.
 *
 * This file calls nothing of pages/ itself, so the page services and the
 * address-space account both build on it and never on each other's locks.
 */
#ifndef VR_PAGES_SYSTEM_H
#define VR_PAGES_SYSTEM_H

#include <stdint.h>

#include "vorrel.h"

extern uint32_t s_pageSize;         /* 0 until LoadSystemInfo ran */
extern uint32_t s_granularity;      /* 65536 */
extern uint32_t s_granularityMask;  /* ~(s_granularity - 1) */

/* Reads the page size and granularity from the system. Safe to repeat and
   to race: every caller stores the same values, the page size last, so a
   reader that sees it nonzero sees the rest too. */
void LoadSystemInfo();

/* The process lock: recursive, created on first need, never deleted. */
void ProcessLockEnter();
void ProcessLockLeave();
/* Takes the process lock when that needs no waiting; 1 when taken. */
int ProcessLockTryEnter();
/* Creates the process lock if it does not exist yet, without taking it. */
void EnsureProcessLock();
/* The process lock itself, created if needed, for the work that must hold
   every lock of the library at once (fork). */
VR_LockStorage *ProcessLockStorage();

struct VR_ProcessLockGuard {
    VR_ProcessLockGuard() { ProcessLockEnter(); }
    ~VR_ProcessLockGuard() { ProcessLockLeave(); }
    VR_ProcessLockGuard(const VR_ProcessLockGuard &) = delete;
    VR_ProcessLockGuard &operator=(const VR_ProcessLockGuard &) = delete;
};

/* x rounded up to a multiple of the power of two m; *out unchanged and 0
   returned when the result would pass 2^32. m == 0 leaves x as it is. */
inline int RoundUpChecked(uint32_t x, uint32_t m, uint32_t *out)
{
    if (m == 0) { *out = x; return 1; }
    uint32_t r = x + (m - 1);
    if (r < x) return 0;
    *out = r & ~(m - 1);
    return 1;
}

#endif
