/*
 * cache.cpp - the slow half of the thread cache (see cache.h): making a
 * thread's cache and keeping the registry of all of them, binding and
 * rebinding, giving waiting blocks back (when a bin is full, when the
 * thread rebinds or ends, when memory runs out), unbinding at Clear,
 * destruction and bypass, the checker, and the totals for statistics.
 */
#include "cache.h"
#include "os_lock.h"
#include "os_thread.h"
#include "registry.h"

uint8_t s_cacheClassOf[1025];
uint32_t VR_Cache::s_smallCapacity[VR_Heap::kSizeClassCount];
uint32_t VR_Cache::s_smallMax[VR_Heap::kSizeClassCount];
uint32_t VR_Cache::s_bigClassSize[kBigClassCount];
uint32_t VR_Cache::s_bigCapacity[kBigClassCount];
uint32_t VR_Cache::s_bigChunk[kBigClassCount];

namespace {

/* A small bin's first room: 2 KB of blocks, 4 to 64 of them; its bound:
   8 KB, 8 to 256 (the room is a 16-bit count). */
const uint32_t kSmallBinBytes = 2048;
const uint32_t kSmallBinMax = 64;
const uint32_t kSmallBinMin = 4;
const uint32_t kSmallBinBoundBytes = 8192;
const uint32_t kSmallBinBoundMax = 256;
const uint32_t kSmallBinBoundMin = 8;
const uint32_t kBigBinBytes = 65536;

/* The registry of every cache record, live or not yet given back. */
VR_LockStorage s_cacheLock;
int s_cacheLockReady = 0;
VR_ThreadCache *s_caches = 0;
int s_exitHandlerSet = 0;

/* Where cache records come from: a heap of their own, usable before its
   constructor has run. */
VR_HeapOneSize s_cacheRecords(sizeof(VR_ThreadCache), VR_HEAP_MULTITHREADED, "ThreadCaches");

/* Where transfer tables come from. */
VR_HeapOneSize s_transferTables(sizeof(VR_TransferTable), VR_HEAP_MULTITHREADED, "TransferTables");

/* A heap's transfer table, made on the first need of a thread cache
   (outside the heap's lock: the one-size heap may need recovery). */
void MakeTransfer(VR_TransferTable **slot)
{
    VR_TransferTable *t = (VR_TransferTable *)s_transferTables.AllocMem(sizeof(VR_TransferTable));
    if (!t) return;
    memset(t, 0, sizeof *t);
    VR_TransferTable *none = 0;
    if (!__atomic_compare_exchange_n(slot, &none, t, 0, __ATOMIC_RELEASE, __ATOMIC_RELAXED))
        VR_HeapOneSize::FreeMem(t);
}

/* The cache of threads that have ended: never bound, so every call of such
   a thread (a destructor running after ours, say) takes the ordinary way. */
VR_ThreadCache s_deadCache = {0, 0, 0, 0, 0, 1, 0, 0, 0, {}, {}, {}};

struct VR_CacheLockGuard {
    VR_CacheLockGuard()
    {
        if (!__atomic_load_n(&s_cacheLockReady, __ATOMIC_ACQUIRE)) {
            VR_ProcessLockGuard guard;
            if (!s_cacheLockReady) {
                vr_os::LockInit(&s_cacheLock);
                /* Fork holds it too, after the heap locks (the order here). */
                RegisterForkLock(&s_cacheLock);
                __atomic_store_n(&s_cacheLockReady, 1, __ATOMIC_RELEASE);
            }
        }
        vr_os::LockEnter(&s_cacheLock);
    }
    ~VR_CacheLockGuard() { vr_os::LockLeave(&s_cacheLock); }
    VR_CacheLockGuard(const VR_CacheLockGuard &) = delete;
    VR_CacheLockGuard &operator=(const VR_CacheLockGuard &) = delete;
};

void ResetBins(VR_ThreadCache *c)
{
    for (int k = 0; k < VR_Heap::kSizeClassCount; k++) {
        c->small[k].head = 0;
        c->small[k].room = c->small[k].capacity = (uint16_t)VR_Cache::s_smallCapacity[k];
    }
    for (int j = 0; j < kBigClassCount; j++) {
        c->big[j].head = 0;
        c->big[j].room = c->big[j].capacity = (uint16_t)VR_Cache::s_bigCapacity[j];
    }
    c->bigBytes = 0;
}

int HasWaiting(const VR_ThreadCache *c)
{
    for (int k = 0; k < VR_Heap::kSizeClassCount; k++)
        if (c->small[k].head) return 1;
    for (int j = 0; j < kBigClassCount; j++)
        if (c->big[j].head) return 1;
    return 0;
}

VR_ThreadCache *CreateCache()
{
    VR_ThreadCache *c = (VR_ThreadCache *)s_cacheRecords.AllocMem(sizeof(VR_ThreadCache));
    if (!c) return 0;
    memset(c, 0, sizeof *c);
    {
        VR_CacheLockGuard guard;
        c->next = s_caches;
        if (s_caches) s_caches->prev = c;
        s_caches = c;
        if (!s_exitHandlerSet) s_exitHandlerSet = vr_os::SetThreadExitHandler(VR_Cache::ThreadExit) ? 1 : 2;
    }
    /* Stored before the system hears of it: should that allocate, the
       nested call finds the cache and uses it. */
    vr_os::ThreadSlotSet(c, vr_os::kSlotCache);
    return c;
}

} // namespace

void VR_Cache::InitTables()
{
    memcpy(s_cacheClassOf, VR_Heap::s_sizeClassOf, sizeof s_cacheClassOf);
    for (int k = 0; k < VR_Heap::kSizeClassCount; k++) {
        uint32_t size = (uint32_t)VR_Heap::s_sizeClasses[k];
        uint32_t n = size ? kSmallBinBytes / size : 0;
        if (n > kSmallBinMax) n = kSmallBinMax;
        if (n < kSmallBinMin) n = kSmallBinMin;
        s_smallCapacity[k] = n;
        n = size ? kSmallBinBoundBytes / size : 0;
        if (n > kSmallBinBoundMax) n = kSmallBinBoundMax;
        if (n < kSmallBinBoundMin) n = kSmallBinBoundMin;
        s_smallMax[k] = n;
    }
    for (unsigned j = 0; j < kBigClassCount; j++) {
        unsigned index = j + 31, e = (index >> 2) + 2;
        uint32_t size = (uint32_t)(4 + (index & 3) + 1) << (e - 2);
        s_bigClassSize[j] = size;
        s_bigChunk[j] = BigChunkSizeFor(size);
        uint32_t n = kBigBinBytes / size;
        s_bigCapacity[j] = n ? n : 1;
    }
}

VR_ThreadCache *VR_Cache::Prepare(VR_Heap *heap, int allocating)
{
    if (!heap->lockActive || heap->bypassFree || VR_AHeap::s_globalBypassFree) return 0;
    VR_ThreadCache *c = Current();
    if (!c) {
        c = CreateCache();
        if (!c) return 0;
    }
    if (c->dead) return 0;
    if (c->pending) FlushAll(c);
    VR_Heap *bound = c->heap;
    if (bound == heap) {
        c->misses = 0;
    } else if (bound) {
        if (!allocating || ++c->misses < kRebindMisses) return 0;
        FlushAll(c);
    }
    /* The cache is or will be bound to heap: its bins trade batches there. */
    if (!__atomic_load_n(&heap->transfer, __ATOMIC_ACQUIRE)) MakeTransfer(&heap->transfer);
    return c;
}

int VR_Cache::BindLocked(VR_ThreadCache *c, VR_Heap *heap)
{
    if (c->heap == heap) return 1;
    if (c->heap || c->pending || heap->bypassFree || VR_AHeap::s_globalBypassFree) return 0;
    ResetBins(c);
    c->misses = 0;
    c->zeroInit = (heap->flags & VR_HEAP_ZERO_INIT) ? 1 : 0;
    VR_CacheLockGuard guard;
    __atomic_store_n(&c->heap, heap, __ATOMIC_RELAXED);
    return 1;
}

void VR_Cache::FlushAll(VR_ThreadCache *c)
{
    VR_Heap *heap = __atomic_load_n(&c->pending, __ATOMIC_RELAXED);
    if (!heap) heap = __atomic_load_n(&c->heap, __ATOMIC_RELAXED);
    if (!heap) return;
    VR_Heap *locked = heap;
    locked->Lock();
    {
        /* Checked again under the heap's lock: a Clear that came first has
           released these blocks with their page sets. */
        VR_CacheLockGuard guard;
        if (c->heap != heap && c->pending != heap) heap = 0;
    }
    if (heap) {
        for (int k = 0; k < VR_Heap::kSizeClassCount; k++) {
            for (void *p = c->small[k].head; p;) {
                void *next = *(void **)p;
                heap->ReturnSmallLocked(SmallHeaderOf(p));
                p = next;
            }
        }
        for (int j = 0; j < kBigClassCount; j++) {
            for (void *p = c->big[j].head; p;) {
                void *next = *(void **)p;
                heap->ReturnBigLocked(AltHeaderOf(p));
                p = next;
            }
        }
    }
    ResetBins(c);
    {
        VR_CacheLockGuard guard;
        __atomic_store_n(&c->heap, (VR_Heap *)0, __ATOMIC_RELAXED);
        __atomic_store_n(&c->pending, (VR_Heap *)0, __ATOMIC_RELAXED);
    }
    locked->Unlock();
}

int VR_Cache::FreeBig(VR_ThreadCache *c, void *block)
{
    VR_AltBlock *h = AltHeaderOf(block);
    if (h->heap != __atomic_load_n(&c->heap, __ATOMIC_RELAXED) || h->direct) return 0;
    uint32_t size = h->size;
    if (size <= VR_Heap::kSmallLimit || size > kBigCacheLimit) return 0;
    unsigned j = BigClassOf(size);
    uint32_t chunk = ChunkTagOfHeader(h);
    /* Only a chunk that holds any block of the class and no more than a
       rest too small to split off: one that an in-place reallocation grew
       keeps the ordinary way. */
    if (!ChunkFitsClass(chunk, j)) return 0;
    VR_CacheBin *b = &c->big[j];
    if (!b->room || c->bigBytes + chunk > kBigCacheBytes) return 0;
    /* The room first, as for small blocks (see AdoptAfterFork). */
    b->room--;
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    /* Two threads freeing the block at once: only the one that takes the
       seal goes on; the other's free is the ignored second one. */
    if (__atomic_exchange_n(&h->seal, 0u, __ATOMIC_ACQ_REL) != SealOf(block)) {
        b->room++;
        return 1;
    }
    h->blockFlags = kBlockAlt | kBlockFree | kBlockCached;
    c->bigBytes += chunk;
    *(void **)block = b->head;
    b->head = block;
    return 1;
}

int VR_Cache::PutBatchLocked(VR_Heap *heap, VR_CacheBin *b, unsigned k, uint32_t count)
{
    VR_TransferTable *t = heap->transfer;
    if (!t || t->used[k] == kBatchSlots || !count || count > (uint32_t)(b->capacity - b->room)) return 0;
    void *first = b->head, *last = first;
    for (uint32_t i = 1; i < count; i++) last = *(void **)last;
    b->head = *(void **)last;
    *(void **)last = 0;
    b->room = (uint16_t)(b->room + count);
    VR_CacheBatch *slot = &t->batch[k][t->used[k]++];
    slot->head = first;
    slot->count = count;
    t->batchCount++;
    return 1;
}

int VR_Cache::TakeBatchLocked(VR_Heap *heap, VR_ThreadCache *c, unsigned k)
{
    VR_TransferTable *t = heap->transfer;
    VR_CacheBin *b = &c->small[k];
    if (!t || !t->used[k] || b->head) return 0;
    VR_CacheBatch *slot = &t->batch[k][t->used[k] - 1];
    if (slot->count > b->capacity) {
        /* A bin still small takes its bound at once: it takes whole batches. */
        if (slot->count > s_smallMax[k]) return 0;
        b->room = b->capacity = (uint16_t)s_smallMax[k];
    }
    b->head = slot->head;
    b->room = (uint16_t)(b->room - slot->count);
    t->used[k]--;
    t->batchCount--;
    return 1;
}

int VR_Cache::DrainLocked(VR_Heap *heap)
{
    VR_TransferTable *t = heap->transfer;
    if (!t || !t->batchCount) return 0;
    for (unsigned k = 0; k < VR_Heap::kSizeClassCount; k++) {
        for (uint32_t i = 0; i < t->used[k]; i++) {
            for (void *p = t->batch[k][i].head; p;) {
                void *next = *(void **)p;
                heap->ReturnSmallLocked(SmallHeaderOf(p));
                p = next;
            }
        }
        t->used[k] = 0;
    }
    t->batchCount = 0;
    return 1;
}

void VR_Cache::CountBatches(VR_Heap *heap, unsigned long *smallBlocks)
{
    VR_TransferTable *t = __atomic_load_n(&heap->transfer, __ATOMIC_ACQUIRE);
    if (!t) return;
    for (int k = 0; k < VR_Heap::kSizeClassCount; k++) {
        uint32_t used = __atomic_load_n(&t->used[k], __ATOMIC_RELAXED);
        for (uint32_t i = 0; i < used && i < kBatchSlots; i++)
            smallBlocks[k] += __atomic_load_n(&t->batch[k][i].count, __ATOMIC_RELAXED);
    }
}

void VR_Cache::ForgetBatches(VR_Heap *heap)
{
    VR_TransferTable *t = heap->transfer;
    if (t) memset(t, 0, sizeof *t);
}

void VR_Cache::FreeTransfer(VR_Heap *heap)
{
    VR_TransferTable *t = __atomic_exchange_n(&heap->transfer, (VR_TransferTable *)0, __ATOMIC_ACQ_REL);
    if (t) VR_HeapOneSize::FreeMem(t);
}

int VR_Cache::FlushCurrent()
{
    VR_ThreadCache *c = Current();
    if (!c || c->dead) return 0;
    int waiting = 0;
    if (c->oneSize.heap) {
        waiting = c->oneSize.head != 0;
        FlushOneSize(c);
    }
    if (!c->heap && !c->pending) return waiting;
    waiting |= HasWaiting(c);
    FlushAll(c);
    return waiting;
}

VR_ThreadCache *VR_Cache::PrepareOneSize(VR_HeapOneSize *heap)
{
    if (!heap->lockActive || heap->bypassFree || VR_AHeap::s_globalBypassFree) return 0;
    /* The library's own records never wait in a bin (and a cache record is
       made from one of them). */
    if (heap == &s_cacheRecords || heap == &s_transferTables) return 0;
    VR_ThreadCache *c = Current();
    if (!c) {
        c = CreateCache();
        if (!c) return 0;
    }
    if (c->dead) return 0;
    VR_HeapOneSize *bound = c->oneSize.heap;
    if (bound == heap) {
        c->oneSize.misses = 0;
        return c;
    }
    /* A heap this thread allocates from now and then is not worth a bin:
       only kOneSizeBindMisses slow allocations in a row from one heap
       bind it. */
    if (c->oneSize.candidate != heap) {
        c->oneSize.candidate = heap;
        c->oneSize.misses = 0;
    }
    if (++c->oneSize.misses < kOneSizeBindMisses) return 0;
    if (bound) FlushOneSize(c);
    return c;
}

void VR_Cache::RefillOneSizeLocked(VR_ThreadCache *c, VR_HeapOneSize *heap)
{
    VR_OneSizeBin *b = &c->oneSize;
    if (b->heap != heap) {
        if (b->heap) return;
        uint32_t n = heap->blockSize ? kOneSizeBinBytes / heap->blockSize : 0;
        if (n > 128) n = 128;
        if (n < 4) n = 4;
        b->head = 0;
        b->room = b->capacity = (uint16_t)n;
        b->candidate = 0;
        b->misses = 0;
        VR_CacheLockGuard guard;
        __atomic_store_n(&b->heap, heap, __ATOMIC_RELAXED);
    }
    uint32_t n = b->capacity / 2;
    void *p;
    while (n-- && b->room && (p = heap->TakeLocked()) != 0) {
        *(void **)p = b->head;
        b->head = p;
        b->room--;
    }
}

int VR_Cache::SpillOneSizeLocked(VR_HeapOneSize *heap)
{
    VR_ThreadCache *c = Current();
    if (!c || c->oneSize.heap != heap) return 0;
    VR_OneSizeBin *b = &c->oneSize;
    for (uint32_t n = b->capacity / 2; n-- && b->head;) {
        void *p = b->head;
        b->head = *(void **)p;
        b->room++;
        heap->ReturnLocked(p);
    }
    return 1;
}

void VR_Cache::FlushOneSize(VR_ThreadCache *c)
{
    VR_HeapOneSize *heap = __atomic_load_n(&c->oneSize.heap, __ATOMIC_RELAXED);
    if (!heap) return;
    VR_HeapOneSize *locked = heap;
    locked->Lock();
    {
        /* Checked again under the heap's lock: a Clear that came first has
           released these blocks with their page sets. */
        VR_CacheLockGuard guard;
        if (c->oneSize.heap != heap) heap = 0;
    }
    if (heap)
        for (void *p = c->oneSize.head; p;) {
            void *next = *(void **)p;
            heap->ReturnLocked(p);
            p = next;
        }
    c->oneSize.head = 0;
    {
        VR_CacheLockGuard guard;
        __atomic_store_n(&c->oneSize.heap, (VR_HeapOneSize *)0, __ATOMIC_RELAXED);
    }
    locked->Unlock();
}

void VR_Cache::ForgetOneSizeLocked(VR_HeapOneSize *heap)
{
    VR_CacheLockGuard guard;
    for (VR_ThreadCache *c = s_caches; c; c = c->next)
        if (c->oneSize.heap == heap) __atomic_store_n(&c->oneSize.heap, (VR_HeapOneSize *)0, __ATOMIC_RELAXED);
}

uint32_t VR_Cache::OneSizeWaiting(VR_HeapOneSize *heap)
{
    uint32_t n = 0;
    VR_CacheLockGuard guard;
    for (VR_ThreadCache *c = s_caches; c; c = c->next) {
        if (__atomic_load_n(&c->oneSize.heap, __ATOMIC_RELAXED) == heap) n += WaitingIn(&c->oneSize.room);
    }
    return n;
}

const char *VR_Cache::ValidateOneSize(VR_HeapOneSize *heap)
{
    VR_CacheLockGuard guard;
    for (VR_ThreadCache *c = s_caches; c; c = c->next) {
        const VR_OneSizeBin *b = &c->oneSize;
        if (b->heap != heap) continue;
        if (b->room > b->capacity) return "one-size bin: room above its capacity";
        uint32_t n = 0;
        for (void *p = b->head; p; p = *(void **)p) {
            if (++n > b->capacity) return "one-size bin: more blocks than its capacity";
            if (!IsLibraryMemory(p)) return "one-size bin: block outside library memory";
            VR_OneSizePageSet *ps = (VR_OneSizePageSet *)PageSetOf(p);
            uint32_t off = (uint32_t)((uint8_t *)p - ps->Base());
            if (ps->owner != heap || off < kOneSizeHeaderSize || (uint8_t *)p >= ps->CarvePoint() ||
                (off - kOneSizeHeaderSize) % heap->blockSize)
                return "one-size bin: not a block of the heap";
        }
        if (n != (uint32_t)(b->capacity - b->room)) return "one-size bin: count differs from its room";
    }
    return 0;
}

void VR_Cache::UnbindAll(VR_AHeap *heap, int keep)
{
    if (heap) heap->Lock();
    {
        VR_CacheLockGuard guard;
        for (VR_ThreadCache *c = s_caches; c; c = c->next) {
            if (keep) {
                VR_Heap *bound = c->heap;
                if (bound && (!heap || bound == heap) && !c->pending) {
                    __atomic_store_n(&c->pending, bound, __ATOMIC_RELAXED);
                    __atomic_store_n(&c->heap, (VR_Heap *)0, __ATOMIC_RELAXED);
                }
            } else {
                /* A heap that goes away is no heap the hooks may read. */
                if ((VR_AHeap *)c->unlocked == heap) __atomic_store_n(&c->unlocked, (VR_Heap *)0, __ATOMIC_RELAXED);
                if ((VR_AHeap *)c->heap == heap) __atomic_store_n(&c->heap, (VR_Heap *)0, __ATOMIC_RELAXED);
                if ((VR_AHeap *)c->pending == heap) __atomic_store_n(&c->pending, (VR_Heap *)0, __ATOMIC_RELAXED);
            }
        }
    }
    if (heap) heap->Unlock();
}

void VR_Cache::ThreadExit(void *value)
{
    VR_ThreadCache *c = (VR_ThreadCache *)value;
    if (!c || c->dead) return;
    FlushOneSize(c);
    FlushAll(c);
    {
        VR_CacheLockGuard guard;
        if (c->next) c->next->prev = c->prev;
        if (c->prev)
            c->prev->next = c->next;
        else
            s_caches = c->next;
    }
    /* Whatever this thread still does goes the ordinary way. */
    vr_os::ThreadSlotSet(&s_deadCache, vr_os::kSlotCache);
    VR_HeapOneSize::FreeMem(c);
}

namespace {

/* What must hold for a small block p of heap waiting in a bin or batch of
   class k; null when it does. */
const char *CheckWaitingSmall(VR_Heap *heap, void *p, unsigned k)
{
    if (!IsLibraryMemory(p) || ((uintptr_t)p & (kBlockAlignment - 1)))
        return "thread cache: small block outside library memory";
    VR_BlockHeader *h = SmallHeaderOf(p);
    if (((VR_SmallPageSet *)PageSetOf(h))->owner != heap) return "thread cache: block of another heap";
    if (h->blockFlags != (kBlockFree | kBlockCached) || h->seal != 0)
        return "thread cache: small block not marked as waiting";
    if (h->sizeClass != k) return "thread cache: block in the bin of another class";
    return 0;
}

} // namespace

namespace {

/* Whether the forking thread held heap's lock before the fork (it holds it
   once more since): it forked inside the heap, from a signal handler, and
   will go on there; the heap is left as it is. */
int HeldBeforeFork(VR_AHeap *heap)
{
    VR_LockStorage *lock = VR_HeapLocks::Of(heap);
    return lock && ((const vr_os::VR_LockWord *)lock)->count > 1;
}

int InList(void *head, const void *p, uint32_t bound)
{
    for (; head && bound; head = *(void **)head, bound--)
        if (head == p) return 1;
    return 0;
}

/* How many blocks a bin's list holds, up to bound + 1. */
uint32_t ListLength(void *head, uint32_t bound)
{
    uint32_t n = 0;
    for (; head && n <= bound; head = *(void **)head) n++;
    return n;
}

/* A heap with blocks half-way into or out of a vanished thread's bins: the
   small classes and big classes concerned, as bit sets. */
struct VR_InTransit {
    VR_Heap *heap;
    uint64_t small;
    uint32_t big;
};
static_assert(VR_Heap::kSizeClassCount <= 64 && kBigClassCount <= 32, "class sets fit their words");

} // namespace

void VR_Cache::AdoptAfterFork()
{
    /* A fork from a signal handler that interrupted the registry's work
       leaves it to the interrupted code. */
    if (!s_cacheLockReady || ((const vr_os::VR_LockWord *)&s_cacheLock)->count > 1) return;
    int keepRecords = HeldBeforeFork(&s_cacheRecords);
    VR_ThreadCache *mine = Current();
    const uint32_t kMaxHeaps = 16;
    VR_InTransit transit[kMaxHeaps];
    uint32_t heaps = 0;
    VR_ThreadCache *next;
    for (VR_ThreadCache *c = s_caches; c; c = next) {
        next = c->next;
        if (c == mine) continue;
        VR_Heap *heap = c->pending ? c->pending : c->heap;
        if (heap && !HeldBeforeFork(heap)) {
            VR_InTransit t = {heap, 0, 0};
            for (unsigned k = 0; k < VR_Heap::kSizeClassCount; k++) {
                VR_CacheBin *b = &c->small[k];
                uint32_t n = 0;
                void *p = b->head;
                for (; p && n < b->capacity && !CheckWaitingSmall(heap, p, k); n++) {
                    void *after = *(void **)p;
                    heap->ReturnSmallLocked(SmallHeaderOf(p));
                    p = after;
                }
                if (p || n != (uint32_t)(b->capacity - b->room)) t.small |= 1ull << k;
            }
            for (unsigned j = 0; j < kBigClassCount; j++) {
                VR_CacheBin *b = &c->big[j];
                uint32_t n = 0;
                void *p = b->head;
                for (; p && n < b->capacity; n++) {
                    VR_AltBlock *h = AltHeaderOf(p);
                    if (!IsLibraryMemory(p) || h->heap != heap || h->direct ||
                        h->blockFlags != (kBlockAlt | kBlockFree | kBlockCached))
                        break;
                    void *after = *(void **)p;
                    heap->ReturnBigLocked(h);
                    p = after;
                }
                if (p || n != (uint32_t)(b->capacity - b->room)) t.big |= 1u << j;
            }
            if (t.small | t.big) {
                uint32_t i = 0;
                while (i < heaps && transit[i].heap != heap) i++;
                if (i < kMaxHeaps) {
                    if (i == heaps) transit[heaps++] = {heap, 0, 0};
                    transit[i].small |= t.small;
                    transit[i].big |= t.big;
                }
            }
        }
        /* A one-size block half-way is one in use that nobody holds: it is
           lost, but its heap stays sound. */
        VR_HeapOneSize *oneSize = c->oneSize.heap;
        if (oneSize && !HeldBeforeFork(oneSize)) {
            void *p = c->oneSize.head;
            for (uint32_t n = 0; p && n < c->oneSize.capacity; n++) {
                void *after = *(void **)p;
                oneSize->ReturnLocked(p);
                p = after;
            }
        }
        if (c->next) c->next->prev = c->prev;
        if (c->prev)
            c->prev->next = c->next;
        else
            s_caches = c->next;
        if (!keepRecords) VR_HeapOneSize::FreeMem(c);
    }

    /* The blocks in transit, told by their headers. Batches go back to the
       lists first, so that the only blocks marked waiting with a clear
       seal that are not in transit are in the forking thread's own bins;
       a class in which that thread was half-way itself is left alone (it
       goes on when the child returns to it). */
    for (uint32_t i = 0; i < heaps; i++) {
        VR_Heap *heap = transit[i].heap;
        DrainLocked(heap);
        VR_ThreadCache *own = mine && !mine->dead && (mine->heap == heap || mine->pending == heap) ? mine : 0;
        if (own) {
            for (unsigned k = 0; k < VR_Heap::kSizeClassCount; k++) {
                const VR_CacheBin *b = &own->small[k];
                if (ListLength(b->head, b->capacity) != (uint32_t)(b->capacity - b->room)) transit[i].small &= ~(1ull << k);
            }
            for (unsigned j = 0; j < kBigClassCount; j++) {
                const VR_CacheBin *b = &own->big[j];
                if (ListLength(b->head, b->capacity) != (uint32_t)(b->capacity - b->room)) transit[i].big &= ~(1u << j);
            }
        }
        const uint32_t kMaxFound = 64;
        void *found[kMaxFound];
        uint32_t n = 0;
        for (VR_PageSetBase *ps = transit[i].small ? heap->pageSets : 0; ps; ps = ps->next) {
            uint8_t *a = ps->Base() + kSmallFirstBlock, *carve = ps->CarvePoint();
            while (a < carve) {
                VR_BlockHeader *b = (VR_BlockHeader *)a;
                unsigned k = b->sizeClass;
                if (k >= VR_Heap::kSizeClassCount) break;
                void *p = a + 8;
                int waiting = b->blockFlags == (kBlockFree | kBlockCached);
                if (((transit[i].small >> k) & 1) && n < kMaxFound &&
                    ((b->blockFlags == 0 && b->seal == 0) ||
                     (waiting && (b->seal != 0 || !own || !InList(own->small[k].head, p, own->small[k].capacity)))))
                    found[n++] = p;
                a += VR_Heap::s_sizeClasses[k];
            }
        }
        for (uint32_t f = 0; f < n; f++) heap->ReturnSmallLocked(SmallHeaderOf(found[f]));

        n = 0;
        for (VR_AltBlock *h = transit[i].big ? heap->bigBlocks : 0; h && n < kMaxFound; h = h->next) {
            void *p = (uint8_t *)h + kAltHeaderSize;
            if (h->direct || h->size <= VR_Heap::kSmallLimit || h->size > kBigCacheLimit) continue;
            unsigned j = BigClassOf(h->size);
            if (!((transit[i].big >> j) & 1)) continue;
            int waiting = h->blockFlags == (kBlockAlt | kBlockFree | kBlockCached);
            if ((h->blockFlags == kBlockAlt && h->seal != SealOf(p)) ||
                (waiting && (h->seal != 0 || !own || !InList(own->big[j].head, p, own->big[j].capacity))))
                found[n++] = h;
        }
        for (uint32_t f = 0; f < n; f++) {
            VR_AltBlock *h = (VR_AltBlock *)found[f];
            h->blockFlags = kBlockAlt | kBlockFree | kBlockCached;
            heap->ReturnBigLocked(h);
        }
    }
}

const char *VR_Cache::Validate(VR_Heap *heap, uint32_t *smallWaiting, uint32_t *bigWaiting)
{
    uint32_t smallCount = 0, bigCount = 0;
    VR_CacheLockGuard guard;
    for (VR_ThreadCache *c = s_caches; c; c = c->next) {
        if (c->heap != heap && c->pending != heap) continue;
        uint32_t bytes = 0;
        for (int k = 0; k < VR_Heap::kSizeClassCount; k++) {
            uint32_t n = 0, cap = c->small[k].capacity;
            if (cap < s_smallCapacity[k] || cap > s_smallMax[k]) return "thread cache: bin capacity out of its bounds";
            if (c->small[k].room > cap) return "thread cache: bin room above its capacity";
            for (void *p = c->small[k].head; p; p = *(void **)p) {
                if (++n > cap) return "thread cache: bin holds more than its capacity";
                if (const char *bad = CheckWaitingSmall(heap, p, k)) return bad;
            }
            if (n != cap - c->small[k].room) return "thread cache: bin count differs from its room";
            smallCount += n;
        }
        for (int j = 0; j < kBigClassCount; j++) {
            uint32_t n = 0, cap = s_bigCapacity[j];
            if (c->big[j].capacity != cap || c->big[j].room > cap) return "thread cache: big bin room above its capacity";
            for (void *p = c->big[j].head; p; p = *(void **)p) {
                if (++n > cap) return "thread cache: big bin holds more than its capacity";
                if (!IsLibraryMemory(p)) return "thread cache: big block outside library memory";
                VR_AltBlock *h = AltHeaderOf(p);
                if (h->heap != heap || h->direct) return "thread cache: big block of another heap";
                if (h->blockFlags != (kBlockAlt | kBlockFree | kBlockCached) || h->seal != 0)
                    return "thread cache: big block not marked as waiting";
                uint32_t chunk = ChunkTagOfHeader(h);
                if (!ChunkFitsClass(chunk, j)) return "thread cache: big block's chunk not of its class";
                bytes += chunk;
            }
            if (n != cap - c->big[j].room) return "thread cache: big bin count differs from its room";
            bigCount += n;
        }
        if (bytes != c->bigBytes) return "thread cache: bigBytes differs from its big bins";
    }
    if (VR_TransferTable *t = heap->transfer) {
        uint32_t batches = 0;
        for (int k = 0; k < VR_Heap::kSizeClassCount; k++) {
            if (t->used[k] > kBatchSlots) return "transfer table: more batches than slots";
            batches += t->used[k];
            for (uint32_t i = 0; i < t->used[k]; i++) {
                uint32_t n = 0;
                for (void *p = t->batch[k][i].head; p; p = *(void **)p) {
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

void CacheTotals(VR_Heap *heap, unsigned long *smallBlocks, unsigned long *bigBlocks, unsigned long *bigBytes)
{
    if (smallBlocks)
        for (int k = 0; k < VR_Heap::kSizeClassCount; k++) smallBlocks[k] = 0;
    if (bigBlocks) *bigBlocks = 0;
    if (bigBytes) *bigBytes = 0;
    if (smallBlocks) VR_Cache::CountBatches(heap, smallBlocks);
    VR_CacheLockGuard guard;
    for (VR_ThreadCache *c = s_caches; c; c = c->next) {
        VR_Heap *bound = __atomic_load_n(&c->heap, __ATOMIC_RELAXED);
        if (bound != heap) continue;
        for (int k = 0; k < VR_Heap::kSizeClassCount; k++)
            if (smallBlocks) smallBlocks[k] += VR_Cache::WaitingIn(&c->small[k].room);
        for (int j = 0; j < kBigClassCount; j++)
            if (bigBlocks) *bigBlocks += VR_Cache::WaitingIn(&c->big[j].room);
        if (bigBytes) *bigBytes += __atomic_load_n(&c->bigBytes, __ATOMIC_RELAXED);
    }
}
