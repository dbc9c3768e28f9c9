/*
 * freeindex.cpp - the invariant checker of a heap's free-chunk index (the
 * operations are inline in freeindex.h).
 */
#include "freeindex.h"

const char *CheckFreeIndex(const VR_FreeIndex &ix, VR_BigPageSet *pageSets, uint32_t freeChunks)
{
    uint32_t listed = 0;
    uint32_t summary = 0;
    for (uint32_t k = 0; k < (uint32_t)VR_FreeIndex::kChunkLists; k++) {
        VR_BigChunk *head = ix.chunkLists[k];
        int bit = (ix.chunkWords[k >> 5] >> (k & 31)) & 1;
        if (bit != (head != 0)) return "free-chunk index: a list's bit disagrees with the list";
        VR_BigChunk *prev = 0;
        for (VR_BigChunk *c = head; c; prev = c, c = c->nextChunk) {
            /* More entries than free chunks: a cycle or a stray chunk. */
            if (++listed > freeChunks) return "free-chunk index holds more chunks than are free";
            if (!(c->sizeTag & 1)) return "free-chunk index holds a chunk in use";
            if (c->prevChunk != prev) return "free-chunk index: broken prev link";
            if (ChunkListOf(c->sizeTag & ~1u) != k) return "free chunk on the list of another size";
        }
    }
    for (uint32_t w = 0; w < (uint32_t)VR_FreeIndex::kChunkWords; w++)
        if (ix.chunkWords[w]) summary |= 1u << w;
    if (summary != ix.chunkSummary) return "free-chunk index: summary bits disagree with the words";
    if (listed != freeChunks) return "free big chunk missing from the free-chunk index";
    if (ix.chunkCount != freeChunks) return "free-chunk index: count differs from the free chunks";
    if (ix.recent && (!(ix.recent->sizeTag & 1) || !ChunkIndexed(ix, ix.recent)))
        return "free-chunk index: the chunk indexed last is not a free chunk it holds";

    /* Room lists: each page set with room on the list of its room, the
       others on none. Bounded by the page sets there are. */
    uint32_t withRoom = 0;
    for (VR_BigPageSet *ps = pageSets; ps; ps = (VR_BigPageSet *)ps->next) {
        uint32_t room = RoomOf(ps);
        if (!room) {
            if (RoomPrev(ps) || ps->roomNext) return "big page set without room on a room list";
            continue;
        }
        withRoom++;
        VR_BigPageSet *prev = RoomPrev(ps);
        if (prev ? prev->roomNext != ps : ix.roomLists[RoomListOf(room)] != ps)
            return "big page set with room not linked on the list of its room";
        if (ps->roomNext && RoomPrev(ps->roomNext) != ps) return "room list: broken prev link";
    }
    uint32_t roomListed = 0;
    for (uint32_t b = 0; b < (uint32_t)VR_FreeIndex::kRoomLists; b++) {
        VR_BigPageSet *head = ix.roomLists[b];
        if ((uint32_t)((ix.roomBits >> b) & 1) != (head != 0)) return "room index: a list's bit disagrees with the list";
        for (VR_BigPageSet *ps = head; ps; ps = ps->roomNext) {
            if (++roomListed > withRoom) return "room index holds more page sets than have room";
            uint32_t room = RoomOf(ps);
            if (room < (1u << kRoomMinLog) || RoomListOf(room) != b) return "big page set on the room list of another room";
        }
    }
    if (roomListed != withRoom) return "big page set with room missing from the room index";
    return 0;
}
