/*
 * onesize.cpp - VR_HeapOneSize, the heap of fixed-size blocks.
 *
 * Owns the one-size page sets: cutting blocks at the carve point of the
 * newest page set (committing one page at a time), each page set's free list
 * of offsets, the heap's list of page sets that hold a free block, giving an
 * empty page set back, and the invariant checker. Blocks carry no header: a
 * free finds its page set by masking the address and the heap through the
 * page set's owner.
 */
#include <string.h>

#include "cache.h"

namespace {

/* The block size for a request: at least 4 (a free block keeps its link in
   its first word), a multiple of 4. Requests within 3 of 2^32 cannot be
   rounded up without wrapping; they get the largest multiple of 4, which is
   just as unusable (see RoomOf) and keeps blockSize aligned. */
inline uint32_t RoundBlockSize(uint32_t n)
{
    if (n <= 4) return 4;
    if (n > 0xFFFFFFFCu) return 0xFFFFFFFCu;
    return (n + 3) & ~3u;
}

/* Bytes of a page set that blocks may use: everything after the header. */
inline uint32_t RoomOf() { return s_granularity - kOneSizeHeaderSize; }

inline VR_OneSizePageSet *OneSizePageSetOf(const void *block)
{
    return (VR_OneSizePageSet *)PageSetOf(block);
}

} // namespace

VR_HeapOneSize::VR_HeapOneSize(unsigned long size, unsigned long flags_, const char *name)
    : VR_AHeap(name)
{
    /* A static heap that served allocations before this ran keeps its block
       size and its lists: Init returns 0 for it, and its blocks rely on the
       size they were cut with. */
    if (Init((long)flags_, 0, 1)) InitHeapOneSize(size);
}

void VR_HeapOneSize::InitHeapOneSize(unsigned long size)
{
    freePageSets = 0;
    blockSize = RoundBlockSize(size);
}

VR_HeapOneSize::~VR_HeapOneSize()
{
    /* A static heap keeps its page sets: blocks handed out before may still
       be freed after the process has begun to exit. */
    if (!(flags & VR_HEAP_STATIC)) VR_HeapOneSize::Clear();
}

void VR_HeapOneSize::Clear()
{
    Lock();
    /* Blocks waiting in threads' bins go with their page sets. */
    VR_Cache::ForgetOneSizeLocked(this);
    ReleasePageSets();
    freePageSets = 0;
    Unlock();
}

/* TakeBlock and ReturnBlock are part of the common case of a heap without
   a lock: inline in AllocMem and FreeMem, and called through TakeLocked and
   ReturnLocked from the thread cache's slow paths. */
inline void *VR_HeapOneSize::TakeBlock()
{
    VR_OneSizePageSet *h = freePageSets;
    if (h) {
        /* The block freed last, from the page set that most recently gained
           a free block. */
        uint8_t *block = h->Base() + h->freeOffset;
        h->usedCount++;
        h->freeOffset = *(uint32_t *)block;
        if (h->freeOffset == 0) {
            VR_OneSizePageSet *n = h->nextWithFree;
            freePageSets = n;
            if (n) n->prevWithFree = 0;
            h->nextWithFree = 0;
        }
        return block;
    }
    VR_OneSizePageSet *p = (VR_OneSizePageSet *)pageSets;
    if (!p || blockSize > p->uncarved) return 0;
    uint8_t *block = p->CarvePoint();
    p->uncarved -= blockSize;
    p->usedCount++;
    return block;
}

void *VR_HeapOneSize::TakeLocked()
{
    return TakeBlock();
}

/*
 * A block of blockSize bytes. A request for fewer bytes gets a whole block and
 * has only its requested bytes zero-filled; a request for more bytes than the
 * block holds gets null, since handing out a block smaller than asked would
 * let the caller write into its neighbour. A heap with a lock serves the
 * common case from the calling thread's bin, without the lock.
 */
void *VR_HeapOneSize::AllocMem(unsigned long size)
{
    if (__builtin_expect(!__atomic_load_n(&initialized, __ATOMIC_ACQUIRE), 0)) {
        EnsureProcessLock();
        ProcessLockEnter();
        if (!initialized) {
            /* The block size is set before Init publishes the heap as
               initialised, so no other thread can see the heap without it. */
            InitHeapOneSize(size);
            Init(0, 1, 1);
        }
        ProcessLockLeave();
        /* The request that fixed the block size is served as a whole block. */
        size = blockSize;
    }
    const uint32_t bs = blockSize;
    if (__builtin_expect(size > bs, 0)) return 0;

    uint8_t *block;
    VR_ThreadCache *cache = 0;
    if (lockActive) {
        block = (uint8_t *)VR_Cache::OneSizeAlloc(this);
        if (__builtin_expect(block != 0, 1)) goto done;
        cache = VR_Cache::PrepareOneSize(this);
    }

    Lock();
    block = (uint8_t *)TakeBlock();
    if (!block) {
        /* No page set could ever hold such a block: refuse at once, before
           any page set is reserved or recovery is asked for memory that
           would not help. */
        if (__builtin_expect(bs > RoomOf(), 0)) {
            Unlock();
            return 0;
        }
        while (!(block = (uint8_t *)TakeBlock())) {
            VR_OneSizePageSet *p = (VR_OneSizePageSet *)pageSets;
            if (!p || p->commitEnd == p->regionEnd) {
                /* The newest page set is full (its leftover bytes stay
                   uncut for good) or there is none: start a new one. */
                p = (VR_OneSizePageSet *)AllocPageSet(kOneSizeHeaderSize, VR_SPACE_ONESIZE);
                if (!p) {
                    Unlock();
                    if (!HandleOutOfMemory()) return 0;
                    Lock();
                    continue;
                }
                p->owner = this;
                p->freeOffset = 0;
                p->nextWithFree = 0;
                p->prevWithFree = 0;
                continue;
            }
            /* Memory follows use: one more page, and a block may straddle
               the boundary into it. */
            if (!CommitPages(p->commitEnd, s_pageSize, (flags & VR_HEAP_NOCACHE) ? 1 : 0)) {
                Unlock();
                if (!HandleOutOfMemory()) return 0;
                Lock();
                continue;
            }
            p->commitEnd += s_pageSize;
            p->uncarved += s_pageSize;
        }
    }
    /* The thread's next blocks come without the lock. */
    if (cache) VR_Cache::RefillOneSizeLocked(cache, this);
    Unlock();
done:
    if (flags & VR_HEAP_ZERO_INIT) memset(block, 0, size);
    return block;
}

void *VR_HeapOneSize::Alloc()
{
    return AllocMem(blockSize);
}

inline void VR_HeapOneSize::ReturnBlock(void *block)
{
    VR_OneSizePageSet *p = OneSizePageSetOf(block);
    VR_ASSERT(p->usedCount != 0 && p->owner == this);
    VR_ASSERT((uint8_t *)block >= p->Base() + kOneSizeHeaderSize && (uint8_t *)block < p->CarvePoint());
    VR_ASSERT(((uint32_t)((uint8_t *)block - p->Base()) - kOneSizeHeaderSize) % blockSize == 0);
    p->usedCount--;
    VR_OneSizePageSet *f = freePageSets;
    if (p->usedCount == 0 && f && (f != p || p->nextWithFree)) {
        /* Another page set has free blocks to hand out, so this empty one
           is not needed for reuse: give it back. */
        if (p->next) p->next->prev = p->prev;
        if (p->prev) p->prev->next = p->next;
        else pageSets = p->next;
        if (p->freeOffset) {
            if (p->nextWithFree) p->nextWithFree->prevWithFree = p->prevWithFree;
            if (p->prevWithFree) p->prevWithFree->nextWithFree = p->nextWithFree;
            else freePageSets = p->nextWithFree;
        }
        ReleasePageSet(p, (uint32_t)(p->commitEnd - p->Base()));
    } else {
        *(uint32_t *)block = p->freeOffset;
        if (p->freeOffset == 0) {
            p->prevWithFree = 0;
            p->nextWithFree = f;
            if (f) f->prevWithFree = p;
            freePageSets = p;
        }
        p->freeOffset = (uint32_t)((uint8_t *)block - p->Base());
    }
}

void VR_HeapOneSize::ReturnLocked(void *block)
{
    ReturnBlock(block);
}

void VR_HeapOneSize::FreeMem(void *block)
{
    if (!block) return;
    VR_OneSizePageSet *p = OneSizePageSetOf(block);
    VR_HeapOneSize *heap = p->owner;
    if (heap->bypassFree) return;
    if (heap->lockActive && VR_Cache::OneSizeFree(heap, block)) return;

    heap->Lock();
    /* A full bin of this heap gives half back, and the block waits there. */
    if (heap->lockActive && VR_Cache::SpillOneSizeLocked(heap) && VR_Cache::OneSizeFree(heap, block)) {
        heap->Unlock();
        return;
    }
    heap->ReturnBlock(block);
    heap->Unlock();
}

void VR_HeapOneSize::Free(void *block)
{
    FreeMem(block);
}

const char *VR_HeapOneSize::Validate()
{
    /* No heap can hold more page sets than the address space has 64 KB
       regions; a longer walk means a cycle. */
    const uint32_t kMaxPageSets = 65536;
    const char *err = 0;
    Lock();
    if (initialized && (blockSize < 4 || (blockSize & 3)))
        err = "one-size: blockSize below 4 or not a multiple of 4";
    uint32_t withFree = 0, walked = 0;
    VR_PageSetBase *prev = 0;
    for (VR_PageSetBase *b = pageSets; b && !err; prev = b, b = b->next) {
        VR_OneSizePageSet *p = (VR_OneSizePageSet *)b;
        uint8_t *base = p->Base();
        if (++walked > kMaxPageSets) { err = "one-size: page-set list has a cycle"; break; }
        if (p->prev != prev) { err = "one-size: page-set prev link broken"; break; }
        if (p->owner != this) { err = "one-size: page set owned by another heap"; break; }
        if (PageSetOf(base) != b || p->regionEnd != base + s_granularity) {
            err = "one-size: page set not one aligned granularity unit";
            break;
        }
        if (p->commitEnd < base + kOneSizeHeaderSize || p->commitEnd > p->regionEnd ||
            p->uncarved > (uint32_t)(p->commitEnd - base) - kOneSizeHeaderSize) {
            err = "one-size: commit end or carve point out of the page set";
            break;
        }
        uint32_t carved = (uint32_t)(p->CarvePoint() - base) - kOneSizeHeaderSize;
        if (carved % blockSize) { err = "one-size: carve point not on a block boundary"; break; }
        uint32_t cut = carved / blockSize;
        uint32_t freeCount = 0;
        for (uint32_t off = p->freeOffset; off; off = *(uint32_t *)(base + off)) {
            if (off < kOneSizeHeaderSize || off - kOneSizeHeaderSize >= carved) {
                err = "one-size: free-list offset outside the cut blocks";
                break;
            }
            if ((off - kOneSizeHeaderSize) % blockSize) {
                err = "one-size: free-list offset not on a block boundary";
                break;
            }
            if (++freeCount > cut) { err = "one-size: free list has a cycle"; break; }
        }
        if (err) break;
        if ((uint64_t)p->usedCount + freeCount != cut) {
            err = "one-size: blocks cut != usedCount + free blocks";
            break;
        }
        if (p->freeOffset) withFree++;
    }
    /* freePageSets holds exactly the page sets with a free block. */
    uint32_t listed = 0;
    VR_OneSizePageSet *fprev = 0;
    for (VR_OneSizePageSet *p = freePageSets; p && !err; fprev = p, p = p->nextWithFree) {
        if (++listed > withFree) { err = "one-size: freePageSets holds a page set without free blocks"; break; }
        if (p->prevWithFree != fprev) { err = "one-size: freePageSets prev link broken"; break; }
        if (p->owner != this) { err = "one-size: freePageSets holds another heap's page set"; break; }
        if (!p->freeOffset) { err = "one-size: page set without free blocks on freePageSets"; break; }
    }
    if (!err && listed != withFree) err = "one-size: page set with free blocks missing from freePageSets";
    if (!err) err = VR_Cache::ValidateOneSize(this);
    Unlock();
    return err;
}
