/*
 * validate.cpp - the checker of the page services as a whole: the region
 * map, the commit table and the units of page sets against what the system
 * reports. It sits above every other file of pages/, since it reads all of
 * them, so none of them has to call back up into another for its checks.
 */
#include "os_memory.h"
#include "pages.h"
#include "system.h"
#include "units.h"
#include "validate.h"

const char *ValidateRegionMap()
{
    uint32_t page = __atomic_load_n(&s_pageSize, __ATOMIC_ACQUIRE);
    if (page == 0) return 0;  /* nothing reserved yet */
    if (page & (page - 1)) return "page size is not a power of two";
    if (s_granularity != 0x10000) return "granularity is not 64 KB";
    if (s_granularityMask != 0u - s_granularity) return "granularity mask is not its negation";
    if (s_regionMap[0] & 1) return "the first 64 KB are marked";

    const char *problem = 0;
    ProcessLockEnter();
    for (uint32_t i = 0; i < sizeof s_regionMap && !problem; i++) {
        if (!s_regionMap[i]) continue;
        for (uint32_t b = 0; b < 8; b++) {
            if (!(s_regionMap[i] & (1u << b))) continue;
            uintptr_t a = ((uintptr_t)i << 19) | ((uintptr_t)b << 16);
            vr_os::RegionInfo info;
            /* A marked region lies in a live reservation whose own first
               region is marked as well. */
            if (!vr_os::QueryRegion((const void *)a, &info) || info.allocationBase == 0) {
                problem = "a marked region is not reserved";
                break;
            }
            if (info.allocationBase & (s_granularity - 1)) {
                problem = "a marked reservation is not granularity-aligned";
                break;
            }
            /* A page set carved from a unit lies in the unit's reservation,
               whose first slot may be free. */
            uintptr_t unitBase;
            uint64_t unitFree;
            if (!IsLibraryMemory((const void *)info.allocationBase) &&
                !(PageUnitOf((const void *)a, &unitBase, &unitFree) && unitBase == info.allocationBase)) {
                problem = "a marked region's reservation base is not marked";
                break;
            }
            /* What the commit table calls readable is committed. */
            uint32_t steps = s_committedSteps[a >> 16];
            if (steps > kStepsPerRegion) {
                problem = "commit table: more steps than a region holds";
                break;
            }
            if (steps && (!vr_os::QueryRegion((const void *)(a + (steps - 1) * kCommitStep), &info) || !info.committed)) {
                problem = "commit table: a step recorded as committed is not";
                break;
            }
        }
    }
    for (uint32_t r = 0; r < 65536 && !problem; r++)
        if (s_committedSteps[r] && !IsLibraryMemory((const void *)((uintptr_t)r << 16)))
            problem = "commit table: steps outside library memory";
    ProcessLockLeave();
    return problem ? problem : ValidatePageUnits();
}
