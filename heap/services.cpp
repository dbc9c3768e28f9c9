// PLACEHOLDER so the library links while the heap services are being written;
// replaced wholesale by the services work.
#include "heap_internal.h"
void VR_Heap::Clear()
{
    Lock();
    ReleaseBig();
    for (int i = 0; i < kSizeClassCount; i++) freeLists[i] = 0;
    ReleasePageSets();
    Unlock();
}
VR_Heap::~VR_Heap()
{
    if (!(flags & VR_HEAP_STATIC)) Clear();
}
