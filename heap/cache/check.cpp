/*
 * check.cpp (cache) - the thread cache's invariant checker, for the bins
 * and batches of one heap (called by the heap's Validate, under its lock),
 * and the totals that statistics read.
 */
#include "cache.h"
#include "records.h"
#include "onesize.h"

const char *CheckWaitingSmall(VR_Heap *heap, void *p, unsigned k)
{
    /* The block's first word committed means its header is too: small
       blocks never start a 64 KB region. */
    if (!IsCommittedLibraryMemory(p) || ((uintptr_t)p & (kBlockAlignment - 1)))
        return "thread cache: small block outside library memory";
    VR_BlockHeader *h = SmallHeaderOf(p);
    if (((VR_SmallPageSet *)PageSetOf(h))->owner != heap) return "thread cache: block of another heap";
    if (h->blockFlags != (kBlockFree | kBlockCached)) return "thread cache: small block not marked as waiting";
    if (!SealedLinks::Holds(p, *(const uint32_t *)p)) return "thread cache: small block's link and check word differ";
    if (h->sizeClass != k) return "thread cache: block in the bin of another class";
    return 0;
}

namespace vr_cache {

const char *Validate(VR_Heap *heap, uint32_t *smallWaiting, uint32_t *bigWaiting)
{
    uint32_t smallCount = 0, bigCount = 0;
    VR_CacheLockGuard guard;
    for (VR_ThreadCache *c = s_caches; c; c = c->next) {
        if (c->heap != heap && c->pending != heap) continue;
        uint32_t bytes = 0;
        for (int k = 0; k < VR_Heap::kSizeClassCount; k++) {
            uint32_t n = 0, cap = c->small[k].capacity;
            if (cap > kBins.smallMax[k]) return "thread cache: bin capacity out of its bounds";
            if (c->small[k].room > cap) return "thread cache: bin room above its capacity";
            for (void *p = c->small[k].head; p; p = SealedLinks::At(p)) {
                if (++n > cap) return "thread cache: bin holds more than its capacity";
                if (const char *bad = CheckWaitingSmall(heap, p, k)) return bad;
            }
            if (n != cap - c->small[k].room) return "thread cache: bin count differs from its room";
            smallCount += n;
        }
        for (int j = 0; j < kBigClassCount; j++) {
            uint32_t n = 0, cap = kBins.bigCapacity[j];
            if (c->big[j].capacity != cap || c->big[j].room > cap) return "thread cache: big bin room above its capacity";
            for (void *p = c->big[j].head; p; p = SealedLinks::At(p)) {
                if (++n > cap) return "thread cache: big bin holds more than its capacity";
                /* Its header and first word readable before either is read. */
                if (((uintptr_t)p & (kBlockAlignment - 1)) || !IsCommittedLibraryMemory(p) ||
                    !IsCommittedLibraryMemory(AltHeaderOf(p)))
                    return "thread cache: big block outside library memory";
                VR_AltBlock *h = AltHeaderOf(p);
                if (h->heap != heap || h->direct) return "thread cache: big block of another heap";
                if (h->blockFlags != (kBlockAlt | kBlockFree | kBlockCached))
                    return "thread cache: big block not marked as waiting";
                if (!SealedLinks::Holds(p, *(const uint32_t *)p)) return "thread cache: big block's link and check word differ";
                uint32_t chunk = ChunkTagOfHeader(h);
                if (!ChunkFitsClass(chunk, j)) return "thread cache: big block's chunk not of its class";
                bytes += chunk;
            }
            if (n != cap - c->big[j].room) return "thread cache: big bin count differs from its room";
            bigCount += n;
        }
        if (bytes != c->bigBytes) return "thread cache: bigBytes differs from its big bins";
    }
    if (VR_TransferTable *t = VR_Access::Transfer(*heap)) {
        uint32_t batches = 0;
        for (int k = 0; k < VR_Heap::kSizeClassCount; k++) {
            if (t->used[k] > kBatchSlots) return "transfer table: more batches than slots";
            batches += t->used[k];
            for (uint32_t i = 0; i < t->used[k]; i++) {
                uint32_t n = 0;
                for (void *p = t->batch[k][i].head; p; p = SealedLinks::At(p)) {
                    if (++n > t->batch[k][i].count) return "transfer table: batch longer than its count";
                    if (const char *bad = CheckWaitingSmall(heap, p, k)) return bad;
                }
                if (n != t->batch[k][i].count) return "transfer table: batch shorter than its count";
                smallCount += n;
            }
        }
        if (batches != t->batchCount) return "transfer table: batchCount differs from its batches";
    }
    *smallWaiting = smallCount;
    *bigWaiting = bigCount;
    return 0;
}

void Totals(VR_Heap *heap, unsigned long *smallBlocks, unsigned long *bigBlocks, unsigned long *bigBytes)
{
    if (smallBlocks)
        for (int k = 0; k < VR_Heap::kSizeClassCount; k++) smallBlocks[k] = 0;
    if (bigBlocks) *bigBlocks = 0;
    if (bigBytes) *bigBytes = 0;
    VR_TransferTable *t = __atomic_load_n(&VR_Access::Transfer(*heap), __ATOMIC_ACQUIRE);
    if (smallBlocks && t) {
        for (int k = 0; k < VR_Heap::kSizeClassCount; k++) {
            uint32_t used = __atomic_load_n(&t->used[k], __ATOMIC_RELAXED);
            for (uint32_t i = 0; i < used && i < kBatchSlots; i++)
                smallBlocks[k] += __atomic_load_n(&t->batch[k][i].count, __ATOMIC_RELAXED);
        }
    }
    VR_CacheLockGuard guard;
    for (VR_ThreadCache *c = s_caches; c; c = c->next) {
        if (__atomic_load_n(&c->heap, __ATOMIC_RELAXED) != heap) continue;
        for (int k = 0; k < VR_Heap::kSizeClassCount; k++)
            if (smallBlocks) smallBlocks[k] += BinWaiting(&c->small[k]);
        for (int j = 0; j < kBigClassCount; j++)
            if (bigBlocks) *bigBlocks += BinWaiting(&c->big[j]);
        if (bigBytes) *bigBytes += __atomic_load_n(&c->bigBytes, __ATOMIC_RELAXED);
    }
}

uint32_t OneSizeWaiting(VR_HeapOneSize *heap)
{
    uint32_t n = 0;
    VR_CacheLockGuard guard;
    for (VR_ThreadCache *c = s_caches; c; c = c->next)
        if (__atomic_load_n(&c->oneSize.heap, __ATOMIC_RELAXED) == heap) n += BinWaiting(&c->oneSize.bin);
    return n;
}

const char *ValidateOneSize(VR_HeapOneSize *heap)
{
    uint32_t size = (uint32_t)VR_Access::BlockSize(*heap);
    VR_CacheLockGuard guard;
    for (VR_ThreadCache *c = s_caches; c; c = c->next) {
        if (c->oneSize.heap != heap) continue;
        const VR_CacheBin *b = &c->oneSize.bin;
        if (b->room > b->capacity) return "one-size bin: room above its capacity";
        uint32_t n = 0;
        for (void *p = b->head; p; p = OneSizeLinks::At(p)) {
            if (++n > b->capacity) return "one-size bin: more blocks than its capacity";
            if (!IsLibraryMemory(p)) return "one-size bin: block outside library memory";
            VR_OneSizePageSet *ps = (VR_OneSizePageSet *)PageSetOf(p);
            uint32_t off = (uint32_t)((uint8_t *)p - ps->Base());
            if (ps->owner != heap || off < ps->firstBlock || (uint8_t *)p >= ps->CarvePoint() ||
                (off - ps->firstBlock) % size)
                return "one-size bin: not a block of the heap";
            if (OneSizeMarks(ps)[(off - ps->firstBlock) / size] != kOneSizeWaiting) return "one-size bin: block not marked as waiting";
        }
        if (n != (uint32_t)(b->capacity - b->room)) return "one-size bin: count differs from its room";
    }
    return 0;
}

} // namespace vr_cache
