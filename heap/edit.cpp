/*
 * edit.cpp - the block editing operations of VR_Heap.
 *
 * Treats a block as a growable byte buffer: new blocks made from existing
 * bytes (Clone, StoreData, StoreString) and edits that change a block's
 * content and size together (Cut, Trim, ExpandBy, Insert, Append, Prepend).
 * They keep no state and take no lock of their own: every size change goes
 * through AllocMem or Realloc, which lock the heap for their own work.
 *
 * Every range a caller names is checked against the block's recorded size,
 * and every new size against 2^32, before anything is moved: a call that
 * does not fit returns null and leaves the block as it was.
 */
#include <string.h>

#include "heap_internal.h"

namespace {

const uint32_t kMaxSize = 0xFFFFFFFFu;

inline uint8_t *Bytes(void *p) { return (uint8_t *)p; }

} // namespace

void *VR_Heap::Clone(void const *block)
{
    /* A pointer that is no live block's start has nothing to copy. */
    if (!IsLiveBlock(block)) return 0;
    uint32_t n = GetBlockSize(block);
    void *result = AllocMem(n);
    if (result) memcpy(result, block, n);
    return result;
}

void *VR_Heap::StoreData(void const *source, unsigned long size)
{
    void *result = AllocMem(size);
    if (result && source) memcpy(result, source, size);
    return result;
}

char *VR_Heap::StoreString(char const *source, long length)
{
    uint32_t n;
    if (length < 0) {
        if (!source) return 0;
        n = (uint32_t)strlen(source);
    } else {
        /* Nothing to copy from: refuse rather than read through null. */
        if (length > 0 && !source) return 0;
        n = (uint32_t)length;
    }
    if (n == kMaxSize) return 0;
    char *result = (char *)AllocMem(n + 1);
    if (!result) return 0;
    if (n) memcpy(result, source, n);
    result[n] = 0;
    return result;
}

void *VR_Heap::Cut(void *block, unsigned long offset, unsigned long count)
{
    if (!block) return 0;
    if (count == 0) return block;
    uint32_t n = GetBlockSize(block);
    if (offset > n || count > n - offset) return 0;
    uint8_t *b = Bytes(block);
    memmove(BytesAfter(b, offset), BytesAfter(b, offset + count), n - offset - count);
    /* A shrink: the block stays where it is. */
    return Realloc(block, n - count, 0);
}

void *VR_Heap::Trim(void *block, unsigned long start, unsigned long length)
{
    if (!block) return 0;
    if (start != 0) {
        uint32_t n = GetBlockSize(block);
        if (start > n || length > n - start) return 0;
        memmove(block, BytesAfter(block, start), length);
    }
    /* From offset 0 this is a plain resize, which may also grow the block. */
    return Realloc(block, length, 0);
}

void *VR_Heap::ExpandBy(void *block, unsigned long count, int zero)
{
    if (!block) return 0;
    if (count == 0) return block;
    uint32_t n = GetBlockSize(block);
    if (count > kMaxSize - n) return 0;
    return Realloc(block, n + count, zero);
}

/*
 * The block grows first (Realloc may move it), then its tail moves up by
 * count, then the new bytes are written. A source inside the block itself
 * would be freed by a move and overwritten by the tail shift, so its bytes
 * are taken from where the edit has put them: the part below offset stayed
 * in place, the part from offset on moved up by count.
 */
void *VR_Heap::Insert(void *block, unsigned long offset, void const *source, unsigned long count)
{
    if (!block) return 0;
    if (count == 0) return block;
    uint32_t n = GetBlockSize(block);
    if (offset > n || count > kMaxSize - n) return 0;

    uint64_t src = (uintptr_t)source, lo = (uintptr_t)block;
    int inside = 0;
    uint32_t srcOffset = 0;
    if (source && src < lo + n && src + count > lo) {
        /* Bytes partly inside and partly outside the block cannot be read
           consistently once the block moves. */
        if (src < lo || count > n - (uint32_t)(src - lo)) return 0;
        inside = 1;
        srcOffset = (uint32_t)(src - lo);
    }

    uint8_t *r = Bytes(Realloc(block, n + count, 0));
    if (!r) return 0;
    uint32_t old = GetBlockSize(r) - count;
    if (offset < old) memmove(BytesAfter(r, offset + count), BytesAfter(r, offset), old - offset);

    if (!source) {
        memset(BytesAfter(r, offset), 0, count);
    } else if (!inside) {
        memcpy(BytesAfter(r, offset), source, count);
    } else {
        uint32_t srcEnd = srcOffset + count;
        uint32_t low = 0;
        if (srcOffset < offset) {
            low = (srcEnd < offset ? srcEnd : offset) - srcOffset;
            /* Below offset, in front of the new range: no overlap. */
            memcpy(BytesAfter(r, offset), BytesAfter(r, srcOffset), low);
        }
        if (low < count) {
            uint32_t from = (srcOffset > offset ? srcOffset : offset) + count;
            /* Above the new range after the shift: no overlap. */
            memcpy(BytesAfter(r, offset + low), BytesAfter(r, from), count - low);
        }
    }
    return r;
}

void *VR_Heap::Append(void *block, void const *source, unsigned long count)
{
    if (!block) return 0;
    return Insert(block, GetBlockSize(block), source, count);
}

void *VR_Heap::Prepend(void *block, void const *source, unsigned long count)
{
    if (!block) return 0;
    return Insert(block, 0, source, count);
}
