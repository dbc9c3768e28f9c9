/*
 * big.h - the big-block half of VR_Heap: requests of more than 1016 bytes,
 * in boundary-tagged chunks of big page sets, and direct blocks with a
 * reservation of their own. Its files: big.cpp (the chunks of big blocks),
 * bigsets.cpp (the page sets), bigcheck.cpp (the checker), aligned.cpp
 * (aligned big blocks), expand.cpp (resizing in place), services.cpp
 * (direct blocks).
 *
 * Every function below expects the heap's lock to be held (when the heap
 * has one) unless it says otherwise, and never calls out-of-memory
 * recovery itself: that is the business of the public entry points, which
 * leave the lock first.
 */
#ifndef VR_HEAP_BIG_H
#define VR_HEAP_BIG_H

#include "heap_internal.h"

struct VR_Access::Big {
    /* The big path of FreeMem (takes the lock). */
    static void FreeBigMem(void *block);
    /* A big block waiting in a thread cache goes back to the heap. */
    static void ReturnBigLocked(VR_Heap &heap, VR_AltBlock *h);
    static void InitAltBlock(VR_Heap &heap, VR_AltBlock *header, unsigned long size, int direct);
    static VR_BigPageSet *AllocBigPageSet(VR_Heap &heap, unsigned long chunkSize);
    /* Commits the pages for a chunk of need bytes behind a big page set's
       committed part (ps has the room); the free chunk that now ends
       there, or null when the system refuses. */
    static VR_BigChunk *GrowBigPageSet(VR_Heap &heap, VR_BigPageSet *ps, unsigned long need);
    static void *AllocBigBlock(VR_Heap &heap, unsigned long request);
    static void *ReallocBigBlock(VR_Heap &heap, void *header, unsigned long request);
    static void ReleaseBigBlock(VR_Heap &heap, void *header);
    /* Gives back an empty big page set, whose one free chunk is chunk. */
    static void ReleaseBigPageSet(VR_Heap &heap, VR_BigPageSet *ps, VR_BigChunk *chunk);
    /* Gives back every empty big page set the heap keeps; 1 when there was
       any. */
    static int GiveBackEmptyBig(VR_Heap &heap);
    /* Gives back every direct block and big page set and empties the
       big lists (the big half of Clear). */
    static void ReleaseBig(VR_Heap &heap);
    /* An aligned request that small blocks do not serve: a big block (no
       lock on entry). */
    static void *AllocAlignedBig(VR_Heap &heap, unsigned long alignment, unsigned long size);
    /* Resizes a live block of any general heap where it lies: a small
       block within its class, a big block within its chunk and the free
       chunk or reserved pages behind it, a direct block within its
       reservation. The block, or null when it cannot (it is then
       untouched). Takes the lock. */
    static void *ExpandInPlace(void *block, unsigned long size);
    /* Resizes a direct block within its reservation (request: header and
       data) and counts the pages it gained or lost; with recover, a refusal
       of the system runs out-of-memory recovery and tries again. 1 when
       done; the block is unchanged otherwise. Holds no lock on entry. */
    static int ResizeDirect(VR_Heap &heap, VR_AltBlock *h, unsigned long request, int recover);
    /* The big-chunk half of it: 1 when the chunk now fits request bytes of
       header and data. */
    static int ResizeChunkInPlace(VR_Heap &heap, void *header, unsigned long request);
    /* The big half of Validate; bigWaiting: the big blocks of this heap
       that wait in thread caches. */
    static const char *ValidateBig(VR_Heap &heap, unsigned long bigWaiting);
};

#endif
