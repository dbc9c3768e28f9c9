// PLACEHOLDER so the library links while the big-block path is being written;
// replaced wholesale by the big-block work. Not to be committed as done.
#include "heap_internal.h"
void *VR_Heap::AllocBigMem(unsigned long) { return 0; }
void VR_Heap::FreeBigMem(void *) {}
void VR_Heap::ReleaseBig() { bigBlocks = 0; bigPageSets = 0; bigFreeChunks = 0; directCount = 0; }
const char *VR_Heap::ValidateBig() { return 0; }
