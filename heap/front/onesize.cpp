/*
 * onesize.cpp (front) - AllocMem and FreeMem of VR_HeapOneSize. A heap
 * without a lock serves from its own lists inline; a heap with one serves
 * the common case from the calling thread's one-size bin, without the
 * lock, and refills or spills half of the bin under it.
 */
#include "front.h"
#include "onesize.h"

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
    vr_cache::ForgetOneSizeLocked(this);
    ReleasePageSets();
    freePageSets = 0;
    Unlock();
}

const char *VR_HeapOneSize::Validate()
{
    Lock();
    const char *err = VR_Access::OneSize::ValidateLists(*this);
    if (!err) err = vr_cache::ValidateOneSize(this);
    Unlock();
    return err;
}

/*
 * A block of blockSize bytes. A request for fewer bytes gets a whole block and
 * has only its requested bytes zero-filled; a request for more bytes than the
 * block holds gets null, since handing out a block smaller than asked would
 * let the caller write into its neighbour.
 */
void *VR_HeapOneSize::AllocMem(unsigned long size)
{
    if (__builtin_expect(!__atomic_load_n(&initialized, __ATOMIC_ACQUIRE), 0)) {
        EnsureProcessLock();
        ProcessLockEnter();
        if (!initialized) {
            /* The block size is set before Init publishes the heap as
               initialised, so no other thread can see the heap without it. */
            VR_Access::OneSize::InitHeapOneSize(*this, size);
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
    if (!lockActive) {
        block = (uint8_t *)VR_Access::OneSize::TakeBlock(*this);
        if (__builtin_expect(block != 0, 1)) goto done;
    } else {
        VR_ThreadCache *c = vr_cache::Current();
        if (VR_CacheBin *b = vr_cache::OneSizeBinOf(c, this)) {
            block = (uint8_t *)BinPop<OneSizeLinks>(b);
            if (__builtin_expect(block != 0, 1)) {
                uint8_t *mark = OneSizeMarkOf(block);
                if (__builtin_expect(*mark == kOneSizeWaiting, 1)) {
                    *mark = kOneSizeLive;
                    goto ready;
                }
                /* A block that no longer waits: two frees of it raced, it
                   was binned twice and has moved on from the other bin
                   (or the link to it lay in such a block). The bin ends
                   here; what it held behind is lost to reuse. */
                CutBin(b);
            }
        }
        cache = vr_cache::PrepareOneSize(this);
    }

    Lock();
    block = (uint8_t *)VR_Access::OneSize::TakeBlock(*this);
    if (!block) {
        /* No page set could ever hold such a block: refuse at once, before
           any page set is reserved or recovery is asked for memory that
           would not help. */
        if (__builtin_expect(bs > OneSizeRoom(), 0)) {
            Unlock();
            return 0;
        }
        while (!(block = (uint8_t *)VR_Access::OneSize::TakeBlock(*this))) {
            if (VR_Access::OneSize::GrowLocked(*this)) continue;
            Unlock();
            if (!vr_front::RecoverUnlocked(this)) return 0;
            Lock();
        }
    }
    /* The thread's next blocks come without the lock: half of the bin. */
    if (cache && vr_cache::BindOneSizeLocked(cache, this)) {
        VR_CacheBin *b = &cache->oneSize.bin;
        BinFill<OneSizeLinks>(b, b->capacity / 2, [&]() -> void * {
            void *q = VR_Access::OneSize::TakeBlock(*this);
            if (!q) return 0;
            uint8_t *mark = OneSizeMarkOf(q);
            if (*mark != kOneSizeFree) return 0;
            *mark = kOneSizeWaiting;
            return q;
        });
    }
    Unlock();
done:
    {
        /* The block is the program's from now on: the one thing a free of
           it will look for. A block off the grid or not free (behind a
           link that a stray write or a racing double free left) is
           dropped, lost to reuse like the blocks behind a dropped link,
           and the request starts over. */
        uint8_t *mark = OneSizeMarkOf(block);
        if (__builtin_expect(*mark != kOneSizeFree, 0)) return AllocMem(size);
        *mark = kOneSizeLive;
    }
ready:
    if (flags & VR_HEAP_ZERO_INIT) memset(block, 0, size);
    return block;
}

void *VR_HeapOneSize::Alloc()
{
    return AllocMem(blockSize);
}

/*
 * Only a block that the program holds is freed; anything else is ignored,
 * as the general heap ignores what carries no seal: null and pointers
 * outside the one-size page sets of the library (the region's kind, one
 * load), into one whose pages are gone (the commit table, one load),
 * anywhere but at a block's start (its index, one multiply), and a block
 * that is free already (its mark). A block that a bin or a list yields
 * must carry the mark its place implies: one that does not (behind a link
 * a stray write left) is dropped, and a bin ends there.
 */
void VR_HeapOneSize::FreeMem(void *block)
{
    /* A one-size region whose first pages (the header and the marks) are
       committed: the region's kind changes back only after its pages are
       decommitted when its page set goes. */
    uintptr_t region = (uintptr_t)block >> 16;
    if (s_regionKind[region] != VR_SPACE_ONESIZE + 1 || !s_committedSteps[region]) return;
    uint8_t *mark = OneSizeMarkOf(block);
    if (*mark != kOneSizeLive) return;
    VR_HeapOneSize *heap = OneSizePageSetOf(block)->owner;
    if (heap->bypassFree) return;
    if (!heap->lockActive) {
        *mark = kOneSizeFree;
        VR_Access::OneSize::ReturnBlock(*heap, block);
        return;
    }
    /* Threads share the heap: of two frees of the block at the same
       moment, the one that turns its mark from live to waiting frees it
       (one compare-and-exchange), and the other is turned away. */
    uint8_t live = kOneSizeLive;
    if (!__atomic_compare_exchange_n(mark, &live, (uint8_t)kOneSizeWaiting, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
        return;
    VR_CacheBin *b = vr_cache::OneSizeBinOf(vr_cache::Current(), heap);
    if (b && b->room) {
        BinPush<OneSizeLinks>(b, block);
        return;
    }

    heap->Lock();
    /* A full bin of this heap gives half back, and the block waits there
       (checked again under the lock: a Clear may have unbound it). */
    if (b && vr_cache::OneSizeBinOf(vr_cache::Current(), heap) == b) {
        BinGiveBack<OneSizeLinks>(b, b->capacity / 2, [&](void *q) {
            if (OneSizeTakeWaiting(q)) VR_Access::OneSize::ReturnBlock(*heap, q);
        });
        BinPush<OneSizeLinks>(b, block);
    } else {
        *mark = kOneSizeFree;
        VR_Access::OneSize::ReturnBlock(*heap, block);
    }
    heap->Unlock();
}

void VR_HeapOneSize::Free(void *block)
{
    FreeMem(block);
}
