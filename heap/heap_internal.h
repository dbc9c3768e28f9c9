/*
 * heap_internal.h - what the heap sources share beyond the formats: the lock
 * helpers of VR_AHeap and the size-class tables.
 */
#ifndef VR_HEAP_INTERNAL_H
#define VR_HEAP_INTERNAL_H

#include "layout.h"
#include "platform.h"

inline void VR_AHeap::Lock()
{
    if (lockActive) vr_os::LockEnter(&lock);
}

inline void VR_AHeap::Unlock()
{
    if (lockActive) vr_os::LockLeave(&lock);
}

#endif
