/*
 * transfer.cpp - a heap's transfer table: a bin at its bound hands half of
 * its blocks to the table as one batch, and a thread whose bin ran empty
 * takes a whole batch, so blocks freed by one thread and allocated by
 * another cross with one short hold of the heap's lock per batch.
 */
#include "cache.h"
#include "records.h"

namespace vr_cache {

void SpillLocked(VR_Heap *heap, VR_ThreadCache *c, unsigned k)
{
    VR_CacheBin *b = &c->small[k];
    unsigned long &spills = VR_Access::Spills(*heap);
    /* A closed bin stays closed while the heap frees: the block goes
       home. Once the heap's threads allocate again it opens at its first
       room and takes the block. */
    if (!b->capacity) {
        if (spills < kFreeingSpills) BinReset(b, kBins.smallFirst[k]);
        return;
    }
    VR_TransferTable *t = VR_Access::Transfer(*heap);
    uint32_t inUse = (uint32_t)VR_Access::Counters(*heap).smallBytes;
    if (!b->room && spills < kFreeingSpills) {
        /* The spell begins: its end is measured against what the heap
           has in use now. */
        if (++spills == kFreeingSpills && t) t->freeingFrom = inUse;
    }
    if (!b->room && spills >= kFreeingSpills) {
        /* Freeing: every small bin of the thread goes home (each that
           fills brings them all home, so few blocks wait between two
           such calls), and this one keeps half its room (cache.h). */
        for (unsigned j = 0; j < VR_Heap::kSizeClassCount; j++) {
            VR_CacheBin *o = &c->small[j];
            if (o->room == o->capacity) continue;
            BinGiveBack(o, o->capacity, [&](void *q) {
                if (SmallWaits(q)) VR_Access::Small::ReturnSmallLocked(*heap, SmallHeaderOf(q));
            });
        }
        /* The big bins too: one waiting chunk keeps a whole big page set
           (megabytes) from going back. */
        if (c->bigBytes) GiveBackBigLocked(heap, c);
        /* The end of the spell: with little left in use of what there
           was, the blocks that would wait in the bins when the frees stop
           are what keeps the last page sets. The thread's small bins
           close, and its remaining frees go home one by one (at most
           kCloseBinsBelow bytes of them under the lock). A heap whose
           threads trade blocks (one allocates, another frees) stays where
           it was and never gets here. */
        if (t && inUse < kCloseBinsBelow && inUse < t->freeingFrom / 8) {
            for (unsigned j = 0; j < VR_Heap::kSizeClassCount; j++) BinReset(&c->small[j], 0);
            DrainLocked(heap);
            return;
        }
        /* Down to a quarter of its first room, not to one block: a bin
           of room one makes every other free of its class a spill, and
           the spill's look at every bin then costs more than the frees
           (a map of 100,000 strings destroyed ran 15% slower). */
        uint32_t cap = b->capacity, least = kBins.smallFirst[k] / 4;
        if (least < 1) least = 1;
        BinReset(b, cap / 2 > least ? cap / 2 : least);
        DrainLocked(heap);
        return;
    }
    BinGrow(b, kBins.smallMax[k]);
    uint32_t half = b->room ? 0 : b->capacity / 2;
    if (half && !PutBatchLocked(heap, b, k, half))
        BinGiveBack(b, half, [&](void *q) {
            if (SmallWaits(q)) VR_Access::Small::ReturnSmallLocked(*heap, SmallHeaderOf(q));
        });
}

int PutBatchLocked(VR_Heap *heap, VR_CacheBin *b, unsigned k, uint32_t count)
{
    VR_TransferTable *t = VR_Access::Transfer(*heap);
    if (!t || t->used[k] == kBatchSlots || !count || count > (uint32_t)(b->capacity - b->room)) return 0;
    /* The head was linked by a push or checked by a pop; each link after
       it is checked as it is followed. */
    void *first = b->head, *last = first;
    if (!first) return 0;
    for (uint32_t i = 1; i < count; i++) {
        void *next = SealedLinks::At(last);
        /* A cut list: the caller gives blocks back one by one instead. */
        if (!next || !SealedLinks::Holds(last, (uint32_t)(uintptr_t)next)) return 0;
        last = next;
    }
    void *rest = SealedLinks::At(last);
    if (!SealedLinks::Holds(last, (uint32_t)(uintptr_t)rest)) return 0;
    /* The run [first, last] leaves the bin whole. */
    b->head = rest;
    SealedLinks::Set(last, 0);
    b->room = (uint16_t)(b->room + count);
    VR_CacheBatch *slot = &t->batch[k][t->used[k]++];
    slot->head = first;
    slot->count = count;
    t->batchCount++;
    VR_ASSERT(b->room <= b->capacity);
    return 1;
}

int TakeBatchLocked(VR_Heap *heap, VR_ThreadCache *c, unsigned k)
{
    VR_TransferTable *t = VR_Access::Transfer(*heap);
    VR_CacheBin *b = &c->small[k];
    if (!t || !t->used[k] || b->head) return 0;
    VR_CacheBatch *slot = &t->batch[k][t->used[k] - 1];
    if (slot->count > b->capacity) {
        /* A bin still small takes its bound at once: it takes whole batches. */
        if (slot->count > kBins.smallMax[k]) return 0;
        BinReset(b, kBins.smallMax[k]);
    }
    b->head = slot->head;
    b->room = (uint16_t)(b->room - slot->count);
    t->used[k]--;
    t->batchCount--;
    return 1;
}

int DrainLocked(VR_Heap *heap)
{
    VR_TransferTable *t = VR_Access::Transfer(*heap);
    if (!t || !t->batchCount) return 0;
    for (unsigned k = 0; k < VR_Heap::kSizeClassCount; k++) {
        for (uint32_t i = 0; i < t->used[k]; i++) {
            /* A batch is a full bin's run: given back as one. */
            VR_CacheBin run = {t->batch[k][i].head, 0, (uint16_t)t->batch[k][i].count};
            BinGiveBack(&run, run.capacity, [&](void *p) {
                if (SmallWaits(p)) VR_Access::Small::ReturnSmallLocked(*heap, SmallHeaderOf(p));
            });
        }
        t->used[k] = 0;
    }
    t->batchCount = 0;
    return 1;
}

void ForgetBatches(VR_Heap *heap)
{
    VR_TransferTable *t = VR_Access::Transfer(*heap);
    if (t) memset(t, 0, sizeof *t);
}

void FreeTransfer(VR_Heap *heap)
{
    VR_TransferTable *t = __atomic_exchange_n(&VR_Access::Transfer(*heap), (VR_TransferTable *)0, __ATOMIC_ACQ_REL);
    if (t) DeleteTransferTable(t);
}

} // namespace vr_cache
