/*
 * freeindex.h - where a general heap finds a free big chunk, or a big page
 * set with room to grow, in constant time (VR_FreeIndex, vorrel.h).
 *
 * Free chunks: segregated lists with a two-level bitmap. A chunk size s
 * (always at least kMinChunk > 1024) falls in list ((fl - 10) << 2) | sl,
 * where fl = floor(log2(s)) and sl is the next two bits of s below the top
 * one: four lists per power of two, each covering a quarter of it (the
 * heap object stays a small block; finer lists would not).
 * chunkWords has a bit per list, set while the list holds a chunk, and
 * chunkSummary a bit per word, set while the word is not zero; the lowest
 * list at or above a given one that holds anything is two bit scans away.
 * A request looks first at the head of its own list, then at the free
 * chunk indexed last (a block freed and made again, or grown again by
 * steps, finds the same place, and cuts that follow one another carve one
 * chunk), then takes the head of the lowest non-empty list above its own
 * (every chunk there is big enough), and only when there is none looks a
 * few chunks further along its own list. That is a good fit, not the best: a chunk of the request's
 * own list deeper than that is passed over until the heap runs out of
 * address space, when the whole list is searched.
 *
 * Big page sets with room: lists by floor(log2(regionEnd - commitEnd)) - 12
 * (the room is a multiple of the 4 KB page), one bit each in roomBits; a
 * page set whose reservation is all committed is on none. The list of a room of 2^b or more holds only page sets that
 * can grow by 2^b bytes; the request's own list is searched a few entries
 * deep in the same way. The links are the page set's words at 8 (previous,
 * in the word the other page sets use for uncarved) and 24 (next).
 *
 * Invariants (CheckFreeIndex): every free chunk is on the list of its size
 * and on no other; a list's bit is set exactly while it is not empty, a
 * word's summary bit exactly while the word is not zero; chunkCount is the
 * number of free chunks; recent is null or a free chunk the index holds;
 * every big page set with room left is on the list
 * of its room, and no other page set is on any list. (keptEmpty, the empty
 * big page sets the heap keeps, is checked by the heap's ValidateBig: every
 * empty one there once, together within kKeepEmptyBig.)
 *
 * Every function expects the heap's lock to be held.
 */
#ifndef VR_HEAP_FREEINDEX_H
#define VR_HEAP_FREEINDEX_H

#include "heap_internal.h"

enum {
    kIndexMinLog = 10,      /* the lowest power of two a chunk size reaches */
    kIndexSubLog = 2,       /* four lists per power of two */
    kRoomMinLog = 12,       /* the smallest room: one page */
    /* A request passes over at most this many chunks of its own list
       (or page sets of its own room list) before it grows the heap. */
    kIndexWalk = 8,
    kIndexWalkAll = 0x7FFFFFFF
};

static_assert(kMinChunk > (1u << kIndexMinLog), "every chunk size has a list");
static_assert(VR_FreeIndex::kChunkLists == (32 - kIndexMinLog) << kIndexSubLog &&
                  (VR_FreeIndex::kChunkLists + 31) / 32 == VR_FreeIndex::kChunkWords,
              "a list for every size up to 4 GB, a bit for every list");
static_assert(VR_FreeIndex::kRoomLists == 32 - kRoomMinLog, "a room list for every power of two from a page on");
static_assert(sizeof(VR_Heap) <= VR_Heap::kSmallLimit, "a heap object is a small block");
static_assert(sizeof(VR_FreeIndex::keptEmpty) / sizeof(void *) == kKeptEmptyMax,
              "room for every empty big page set a heap keeps");

inline uint32_t FloorLog2(uint32_t x) { return 31 - (uint32_t)__builtin_clz(x); }

/* The list of a chunk of size bytes. */
inline uint32_t ChunkListOf(uint32_t size)
{
    uint32_t fl = FloorLog2(size);
    uint32_t sl = (size >> (fl - kIndexSubLog)) & ((1u << kIndexSubLog) - 1);
    return ((fl - kIndexMinLog) << kIndexSubLog) | sl;
}

/* The smallest size of list k. */
inline uint32_t ChunkListFloor(uint32_t k)
{
    uint32_t fl = (k >> kIndexSubLog) + kIndexMinLog;
    return (1u << fl) | ((k & ((1u << kIndexSubLog) - 1)) << (fl - kIndexSubLog));
}

inline void IndexChunk(VR_FreeIndex &ix, VR_BigChunk *chunk)
{
    uint32_t k = ChunkListOf(chunk->sizeTag & ~1u);
    VR_BigChunk *head = ix.chunkLists[k];
    chunk->prevChunk = 0;
    chunk->nextChunk = head;
    if (head) head->prevChunk = chunk;
    else {
        ix.chunkWords[k >> 5] |= 1u << (k & 31);
        ix.chunkSummary |= 1u << (k >> 5);
    }
    ix.chunkLists[k] = chunk;
    ix.chunkCount++;
    ix.recent = chunk;
}

/* Takes a chunk off its list; its size tag must still be the one it was
   indexed with. */
inline void UnindexChunk(VR_FreeIndex &ix, VR_BigChunk *chunk)
{
    if (ix.recent == chunk) ix.recent = 0;
    if (chunk->nextChunk) chunk->nextChunk->prevChunk = chunk->prevChunk;
    if (chunk->prevChunk) {
        chunk->prevChunk->nextChunk = chunk->nextChunk;
    } else {
        uint32_t k = ChunkListOf(chunk->sizeTag & ~1u);
        ix.chunkLists[k] = chunk->nextChunk;
        if (!chunk->nextChunk) {
            ix.chunkWords[k >> 5] &= ~(1u << (k & 31));
            if (!ix.chunkWords[k >> 5]) ix.chunkSummary &= ~(1u << (k >> 5));
        }
    }
    ix.chunkCount--;
}

/* The lowest list from k on that holds a chunk; -1 when there is none. */
inline int FirstChunkListFrom(const VR_FreeIndex &ix, uint32_t k)
{
    if (k >= (uint32_t)VR_FreeIndex::kChunkLists) return -1;
    uint32_t w = k >> 5;
    uint32_t bits = (uint32_t)ix.chunkWords[w] & (~0u << (k & 31));
    if (!bits) {
        uint32_t above = (uint32_t)ix.chunkSummary & (~1u << w);
        if (!above) return -1;
        w = (uint32_t)__builtin_ctz(above);
        bits = (uint32_t)ix.chunkWords[w];
    }
    return (int)((w << 5) + (uint32_t)__builtin_ctz(bits));
}

/* A free chunk of at least need bytes, or null; walk: how many chunks of
   the request's own list after its head may be looked at. */
inline VR_BigChunk *FindChunk(const VR_FreeIndex &ix, uint32_t need, uint32_t walk)
{
    uint32_t k = ChunkListOf(need);
    VR_BigChunk *own = ix.chunkLists[k];
    if (own && (own->sizeTag & ~1u) >= need) return own;
    if (ix.recent && (ix.recent->sizeTag & ~1u) >= need) return ix.recent;
    int above = FirstChunkListFrom(ix, k + 1);
    if (above >= 0) return ix.chunkLists[above];
    if (own)
        for (VR_BigChunk *c = own->nextChunk; c && walk; c = c->nextChunk, walk--)
            if ((c->sizeTag & ~1u) >= need) return c;
    return 0;
}

/* The room list of a page set with room bytes left (at least a page). */
inline uint32_t RoomListOf(uint32_t room) { return FloorLog2(room) - kRoomMinLog; }

inline uint32_t RoomOf(const VR_BigPageSet *ps) { return (uint32_t)((uintptr_t)ps->regionEnd - (uintptr_t)ps->commitEnd); }
inline VR_BigPageSet *RoomPrev(const VR_BigPageSet *ps) { return (VR_BigPageSet *)(uintptr_t)ps->uncarved; }
inline void SetRoomPrev(VR_BigPageSet *ps, VR_BigPageSet *prev) { ps->uncarved = (uint32_t)(uintptr_t)prev; }

/* Puts a page set on the list of its room (none when it has none). */
inline void IndexRoom(VR_FreeIndex &ix, VR_BigPageSet *ps)
{
    uint32_t room = RoomOf(ps);
    SetRoomPrev(ps, 0);
    ps->roomNext = 0;
    if (!room) return;
    VR_ASSERT(room >= (1u << kRoomMinLog));
    uint32_t b = RoomListOf(room);
    VR_BigPageSet *head = ix.roomLists[b];
    ps->roomNext = head;
    if (head) SetRoomPrev(head, ps);
    ix.roomLists[b] = ps;
    ix.roomBits |= 1u << b;
}

/* Takes a page set off its list, before its commitEnd moves. */
inline void UnindexRoom(VR_FreeIndex &ix, VR_BigPageSet *ps)
{
    uint32_t room = RoomOf(ps);
    if (!room) return;
    VR_BigPageSet *prev = RoomPrev(ps), *next = ps->roomNext;
    if (next) SetRoomPrev(next, prev);
    if (prev) {
        prev->roomNext = next;
    } else {
        uint32_t b = RoomListOf(room);
        ix.roomLists[b] = next;
        if (!next) ix.roomBits &= ~(1u << b);
    }
    SetRoomPrev(ps, 0);
    ps->roomNext = 0;
}

/* A big page set that can commit need more bytes, or null. */
inline VR_BigPageSet *FindRoom(const VR_FreeIndex &ix, uint32_t need, uint32_t walk)
{
    if (need < (1u << kRoomMinLog)) need = 1u << kRoomMinLog;
    uint32_t b = RoomListOf(need);
    uint32_t up = (need & (need - 1)) ? b + 1 : b;
    uint32_t bits = up < (uint32_t)VR_FreeIndex::kRoomLists ? (uint32_t)ix.roomBits & (~0u << up) : 0;
    if (bits) return ix.roomLists[__builtin_ctz(bits)];
    for (VR_BigPageSet *ps = ix.roomLists[b]; ps && walk; ps = ps->roomNext, walk--)
        if (RoomOf(ps) >= need) return ps;
    return 0;
}

/* Whether a free chunk is linked where the index would look for it. */
inline int ChunkIndexed(const VR_FreeIndex &ix, const VR_BigChunk *chunk)
{
    if (chunk->prevChunk ? chunk->prevChunk->nextChunk != chunk
                         : ix.chunkLists[ChunkListOf(chunk->sizeTag & ~1u)] != chunk)
        return 0;
    return !chunk->nextChunk || chunk->nextChunk->prevChunk == chunk;
}

/* The index's invariant checker: freeChunks free chunks and pageSets, the
   heap's big page sets, must be exactly what it holds. Null when sound. */
const char *CheckFreeIndex(const VR_FreeIndex &ix, VR_BigPageSet *pageSets, uint32_t freeChunks);

#endif
