/*
 * fault.cpp - the fault seam shared by both backends: a plan that makes the
 * n-th reservation or commit from now fail, for a number of calls, so tests
 * can drive every out-of-memory path. Without a plan a call costs one
 * counter increment and one test.
 */
#include "os_memory.h"

namespace {

struct FaultPlan {
    volatile uint32_t calls;     /* calls of the kind seen so far */
    volatile uint32_t failFrom;  /* first failing call number; 0 = no plan */
    volatile uint32_t failCount; /* failing calls from failFrom on */
};

FaultPlan s_plans[vr_os::kFaultKinds];

} // namespace

int vr_os::FaultHit(int kind)
{
    FaultPlan &p = s_plans[kind];
    uint32_t n = __atomic_add_fetch(&p.calls, 1, __ATOMIC_RELAXED);
    uint32_t from = p.failFrom;
    if (from == 0 || n < from) return 0;
    return n - from < p.failCount;
}

extern "C" void VR_SetFault(int kind, uint32_t nth, uint32_t count)
{
    if (kind < 0 || kind >= vr_os::kFaultKinds) return;
    FaultPlan &p = s_plans[kind];
    p.failFrom = 0;
    if (nth == 0 || count == 0) return;
    uint32_t base = p.calls;
    p.failCount = count;
    p.failFrom = base + nth;
}

extern "C" uint32_t VR_FaultCalls(int kind)
{
    if (kind < 0 || kind >= vr_os::kFaultKinds) return 0;
    return s_plans[kind].calls;
}
