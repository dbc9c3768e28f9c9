/*
 * guard_blocks.cpp - the blocks of the checking mode: a header and guards
 * around every block (the format in checking.h), an atomic claim on the block
 * at every free, the verification of its guards and of its bytes while it
 * was freed, and a quarantine of freed blocks.
 *
 * The blocks come from a general heap of their own through its public
 * calls (AllocMem, FreeMem, ForEach, FindFirstThat), so the heap itself
 * works exactly as it does without the mode.
 *
 * The quarantine holds freed blocks back from reuse, filled with
 * kFreedByte: at most kQuarantineBlocks blocks and kQuarantineBytes bytes
 * (the caller's sizes); the oldest leave first, and a block that leaves is
 * checked for bytes written after its free before it goes back to the
 * heap. Blocks bigger than a quarter of the byte bound are checked and
 * given back at once.
 *
 * The page mode's blocks are in page_blocks.cpp, the walk over all blocks
 * at exit (damaged guards, writes after free, leaks) in leaks.cpp.
 */
#include <string.h>

#include <new>

#include "block_format.h"
#include "pages.h"
#include "os_lock.h"
#include "os_memory.h"
#include "os_assert.h"
#include "symbols.h"
#include "system.h"

using namespace vr_check;

namespace {

const uint32_t kQuarantineBlocks = 65536;          /* a power of two */
const uint32_t kQuarantineBytes = 16u << 20;

/* The heap of the checked blocks, constructed in place when the mode
   starts and never destroyed: frees arrive until the very end. */
alignas(VR_Heap) uint8_t s_heapRoom[sizeof(VR_Heap)];

/* The quarantine: a ring of user pointers, oldest at head. */
uint8_t **s_ring;
uint32_t s_ringHead, s_ringCount;
uint32_t s_ringBytes;
VR_LockStorage s_ringLock;

/* The header of p when p is the user pointer of one of our blocks (live,
   in quarantine, or damaged in front); null otherwise. */
VR_CheckHeader *HeaderOf(const void *p)
{
    uintptr_t u = (uintptr_t)p;
    if (VR_PageRecord *r = PageRecordAt(u)) {
        /* Its memory may be inaccessible: only the record is read. */
        return r->header.magic == (kHeaderMagic ^ (uint32_t)u) ? &r->header : 0;
    }
    if (u < 0x10000 || !IsLibraryMemory(p) || !IsCommittedLibraryMemory((const void *)(u - kHeaderSize))) return 0;
    VR_CheckHeader *h = (VR_CheckHeader *)(u - kHeaderSize);
    return h->magic == (kHeaderMagic ^ (uint32_t)u) ? h : 0;
}

/* The front guard: in the header, or in front of a page block. */
uint8_t *FrontOf(VR_CheckHeader *h)
{
    return IsPageRecord(h) ? UserOf(h) - 8 : h->front;
}

/* Bytes written past the end: the last changed guard byte's distance from
   the end, 0 when the guard is whole. */
uint32_t BackDamage(VR_CheckHeader *h)
{
    const uint8_t *g = UserOf(h) + h->size;
    for (uint32_t i = BackGuardOf(h); i > 0; i--)
        if (g[i - 1] != kBackByte) return i;
    return 0;
}

/* Bytes written before the start, as far as the front guard shows. */
uint32_t FrontDamage(VR_CheckHeader *h)
{
    const uint8_t *front = FrontOf(h);
    for (uint32_t i = 0; i < sizeof h->front; i++)
        if (front[i] != kFrontByte) return (uint32_t)sizeof h->front - i;
    return 0;
}

/* Gives a block back to the heap for good. */
void Release(VR_CheckHeader *h)
{
    uint8_t *base = (uint8_t *)h - (h->lead & ~kInheritedLead);
    h->magic = 0;
    __atomic_store_n(&h->state, 0u, __ATOMIC_RELEASE);
    VR_Heap::FreeMem(base);
}

/* A claimed block into quarantine; the oldest blocks leave as needed. */
void Quarantine(VR_CheckHeader *h)
{
    if (IsPageRecord(h)) {
        QuarantinePage((VR_PageRecord *)h);
        return;
    }
    if (h->size > kQuarantineBytes / 4) {
        Release(h);
        return;
    }
    memset(UserOf(h), kFreedByte, h->size);
    for (;;) {
        VR_CheckHeader *leaving[32];
        uint32_t n = 0;
        vr_os::LockEnter(&s_ringLock);
        if (!s_ring) {
            vr_os::LockLeave(&s_ringLock);
            Release(h);
            return;
        }
        while (n < 32 && s_ringCount && (s_ringCount >= kQuarantineBlocks || s_ringBytes + h->size > kQuarantineBytes)) {
            VR_CheckHeader *old = (VR_CheckHeader *)(s_ring[s_ringHead] - kHeaderSize);
            s_ringHead = (s_ringHead + 1) & (kQuarantineBlocks - 1);
            s_ringCount--;
            s_ringBytes -= old->size;
            leaving[n++] = old;
        }
        int fits = s_ringCount < kQuarantineBlocks && s_ringBytes + h->size <= kQuarantineBytes;
        if (fits) {
            s_ring[(s_ringHead + s_ringCount) & (kQuarantineBlocks - 1)] = UserOf(h);
            s_ringCount++;
            s_ringBytes += h->size;
        }
        vr_os::LockLeave(&s_ringLock);
        /* Outside the lock: a report names code, which may allocate. */
        for (uint32_t i = 0; i < n; i++) {
            VerifyFreed(leaving[i], h->freeStack);
            Release(leaving[i]);
        }
        if (fits) return;
    }
}

struct VR_Containing {
    uintptr_t p;
    VR_CheckHeader *header;
};

int Contains(void *block, void *context)
{
    VR_Containing *c = (VR_Containing *)context;
    VR_CheckHeader *h = HeaderOfBlock(block);
    if (!h) return 0;
    if (c->p < (uintptr_t)h || c->p > (uintptr_t)UserOf(h) + h->size) return 0;
    c->header = h;
    return 1;
}

/* A free of something that is not one of our blocks. */
void ReportBadFree(void *p, int freeKind, const char *call, uint32_t stack)
{
    const char *what = 0;
    VR_CheckHeader *within = 0;
    if (!IsLibraryMemory(p)) {
        vr_os::RegionInfo info;
        if (vr_os::IsOnThreadStack(p)) what = "is on the stack";
        else if (vr_os::IsInModuleImage(p)) what = "is static data of a module";
        else if (!vr_os::QueryRegion(p, &info) || !info.committed) what = "is not memory of the process";
        /* Anything else is a block the runtime made before the library
           loaded: it stays the runtime's, as without the mode. */
        if (!what) return;
    } else {
        VR_Containing c = {(uintptr_t)p, 0};
        VR_PageRecord *r = PageRecordAt((uintptr_t)p);
        if (r && r->header.magic && (uintptr_t)p >= r->header.lead && (uintptr_t)p <= r->header.lead + r->header.size)
            c.header = &r->header;
        else if (!r)
            CheckHeap().FindFirstThat(&Contains, &c);
        within = c.header;
        what = within ? "points inside a block" : "is no block of the heap";
    }
    if (!CheckBeginFinding(kFindBadFree, stack ^ (uint32_t)(uintptr_t)p)) return;
    (void)freeKind;
    VR_CheckText t;
    t.Str("vorrel-check: bad-free ");
    t.Str(call);
    t.Str(" of ");
    t.Hex((uintptr_t)p);
    t.Str(", which ");
    t.Str(what);
    t.Str("\n");
    t.Str("  called from:\n");
    t.Stack(stack);
    if (within) {
        uint32_t state = __atomic_load_n(&within->state, __ATOMIC_ACQUIRE);
        t.Str("  the block: ");
        t.Hex((uintptr_t)UserOf(within));
        t.Str(" size ");
        t.Num(within->size);
        t.Str(", ");
        t.Num((uint32_t)((uintptr_t)p - (uintptr_t)UserOf(within)));
        t.Str(" bytes before the pointer");
        t.Str(IsLive(state) ? "\n" : " (freed)\n");
        AllocatedAt(t, within, KindOf(state));
        if (!IsLive(state)) FreedAt(t, within);
    }
    CheckWrite(t);
}

void ReportDoubleFree(VR_CheckHeader *h, const char *call, uint32_t stack)
{
    if (!CheckBeginFinding(kFindDoubleFree, stack)) return;
    VR_CheckText t;
    BlockLine(t, "double-free", h);
    t.Str(": ");
    t.Str(call);
    t.Str(" of a block already freed\n");
    t.Str("  called from:\n");
    t.Stack(stack);
    AllocatedAt(t, h, KindOf(__atomic_load_n(&h->state, __ATOMIC_ACQUIRE)));
    FreedAt(t, h);
    CheckWrite(t);
}

void ReportMismatch(VR_CheckHeader *h, int kind, const char *call, uint32_t stack)
{
    if (!CheckBeginFinding(kFindMismatch, stack)) return;
    VR_CheckText t;
    BlockLine(t, "mismatch", h);
    t.Str(": allocated by ");
    t.Str(KindName(kind));
    t.Str(", released by ");
    t.Str(call);
    t.Str("\n  called from:\n");
    t.Stack(stack);
    AllocatedAt(t, h, kind);
    CheckWrite(t);
}

/* Takes a block from its caller: 1 with the block claimed (its state
   freed) and *out set; 0 when p is null, foreign or wrong, after
   reporting what is wrong. *kindOut is the block's family. */
int Claim(void *p, int freeKind, const char *call, uint32_t stack, VR_CheckHeader **out, int *kindOut)
{
    VR_CheckHeader *h = HeaderOf(p);
    if (!h) {
        ReportBadFree(p, freeKind, call, stack);
        return 0;
    }
    uint32_t state = __atomic_load_n(&h->state, __ATOMIC_ACQUIRE);
    for (;;) {
        if (!IsLive(state)) {
            ReportDoubleFree(h, call, stack);
            return 0;
        }
        /* Of two threads that free the block at once, one wins here and
           the other finds it freed. */
        if (__atomic_compare_exchange_n(&h->state, &state, state - kStateLive + kStateFreed, 0, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE))
            break;
    }
    int kind = (int)(state - kStateLive);
    if (freeKind && kind != freeKind) ReportMismatch(h, kind, call, stack);
    *out = h;
    *kindOut = kind;
    return 1;
}

} // namespace

namespace vr_check {

VR_Heap &CheckHeap()
{
    return *(VR_Heap *)(void *)s_heapRoom;
}

/* Where a check happened: at a call (its stack) or at exit (stack 0). */
void FoundAt(VR_CheckText &t, const char *call, uint32_t stack)
{
    if (!stack) {
        t.Str("  found at exit\n");
        return;
    }
    t.Str("  found at ");
    t.Str(call);
    t.Str(" from:\n");
    t.Stack(stack);
}

/* One guard finding: what (overrun, underrun), how many bytes, where. */
static void GuardFinding(int finding, const char *what, uint32_t bytes, const char *where, VR_CheckHeader *h, int kind,
                  const char *call, uint32_t stack)
{
    if (!bytes || !CheckBeginFinding(finding, (uint32_t)(uintptr_t)h)) return;
    VR_CheckText t;
    BlockLine(t, what, h);
    t.Str(": ");
    t.Num(bytes);
    t.Str(bytes == 1 ? " byte" : " bytes");
    t.Str(where);
    AllocatedAt(t, h, kind);
    FoundAt(t, call, stack);
    CheckWrite(t);
}

/* Reports damaged guards of a block; kind is its allocating family. */
void VerifyGuards(VR_CheckHeader *h, int kind, const char *call, uint32_t stack)
{
    uint32_t back = BackDamage(h), front = FrontDamage(h);
    GuardFinding(kFindOverrun, "overrun", back, " written past its end\n", h, kind, call, stack);
    GuardFinding(kFindUnderrun, "underrun", front, " written before its start\n", h, kind, call, stack);
}

/* Reports bytes of a freed block changed since its free. */
void VerifyFreed(VR_CheckHeader *h, uint32_t stack)
{
    const uint8_t *u = UserOf(h);
    uint32_t first = h->size, last = 0;
    /* Whole words first (the usual answer is that nothing changed), bytes
       only where a word differs and at the ends. */
    uint32_t i = 0;
    while (i < h->size && ((uintptr_t)(u + i) & 3)) {
        if (u[i] != kFreedByte) break;
        i++;
    }
    const uint32_t pattern = 0x01010101u * kFreedByte;
    while (i + 4 <= h->size && *(const uint32_t *)(u + i) == pattern) i += 4;
    for (; i < h->size; i++) {
        if (u[i] == kFreedByte) continue;
        if (first == h->size) first = i;
        last = i;
    }
    if (first < h->size && CheckBeginFinding(kFindWriteAfterFree, h->allocStack * 31 + h->freeStack)) {
        VR_CheckText t;
        BlockLine(t, "write-after-free", h);
        t.Str(": ");
        t.Num(last - first + 1);
        t.Str(last == first ? " byte" : " bytes");
        t.Str(" at offset ");
        t.Num(first);
        t.Str(" changed after it was freed\n");
        AllocatedAt(t, h, KindOf(h->state));
        FreedAt(t, h);
        FoundAt(t, "a later free", stack);
        CheckWrite(t);
    }
    VerifyGuards(h, KindOf(h->state), "a later free", stack);
}

} // namespace vr_check

void CheckInitBlocks()
{
    ::new ((void *)s_heapRoom) VR_Heap(VR_HEAP_MULTITHREADED, "CheckedBlocks");
    uint32_t bytes = kQuarantineBlocks * sizeof(uint8_t *);
    void *ring = vr_os::Reserve(bytes, 0);
    if (ring && vr_os::Commit(ring, bytes, 0)) s_ring = (uint8_t **)ring;
}

void *CheckAlloc(size_t size, uint32_t align, uint32_t offset, int kind, uint32_t stack)
{
    if (s_pageRecords) {
        if (void *user = PageAlloc(size, align, offset, kind, stack)) return user;
    }
    uint32_t extra = align > 8 ? align + 8 : 0;
    if (align > 0x10000000u || size > 0xFFFFFFFFu - kHeaderSize - kBackGuard - extra) return 0;
    uint8_t *base = (uint8_t *)CheckHeap().AllocMem(size + kHeaderSize + kBackGuard + extra);
    /* The page quarantine holds address space the heap may want. */
    if (!base && s_pageRecords && FlushPageQuarantine())
        base = (uint8_t *)CheckHeap().AllocMem(size + kHeaderSize + kBackGuard + extra);
    if (!base) return 0;
    uint32_t lead = 0;
    if (align > 8) {
        uintptr_t start = (uintptr_t)base + kHeaderSize + offset;
        uintptr_t aligned = (start + align - 1) & ~(uintptr_t)(align - 1);
        lead = (uint32_t)(aligned - start);
        /* The pad marker needs 8 bytes in front of the header. */
        if (lead && lead < 8) lead += align;
        if (lead) {
            ((uint32_t *)base)[0] = kPadMagic;
            ((uint32_t *)base)[1] = lead;
        }
    }
    VR_CheckHeader *h = (VR_CheckHeader *)(base + lead);
    uint8_t *user = UserOf(h);
    h->magic = kHeaderMagic ^ (uint32_t)(uintptr_t)user;
    h->size = (uint32_t)size;
    h->allocStack = stack;
    h->freeStack = 0;
    h->lead = lead;
    memset(h->front, kFrontByte, sizeof h->front);
    memset(user + size, kBackByte, kBackGuard);
    __atomic_store_n(&h->state, kStateLive + (uint32_t)kind, __ATOMIC_RELEASE);
    return user;
}

void CheckFree(void *p, int freeKind, uint32_t stack)
{
    if (!p) return;
    VR_CheckHeader *h;
    int kind;
    if (!Claim(p, freeKind, FreeName(freeKind), stack, &h, &kind)) return;
    VerifyGuards(h, kind, FreeName(freeKind), stack);
    h->freeStack = stack;
    Quarantine(h);
}

void *CheckRealloc(void *p, size_t size, uint32_t align, uint32_t offset, int kind, uint32_t stack)
{
    const char *call = kind == kKindAligned ? "_aligned_realloc" : "realloc";
    if (!IsLibraryMemory(p)) {
        /* A block of the runtime from before the library loaded: its bytes
           are copied as far as its pages reach, and it stays the
           runtime's. Anything else is reported and refused. */
        vr_os::RegionInfo info;
        if (vr_os::IsOnThreadStack(p) || vr_os::IsInModuleImage(p) || !vr_os::QueryRegion(p, &info) ||
            !info.committed) {
            ReportBadFree(p, kind, call, stack);
            return 0;
        }
        uintptr_t end = info.regionBase + info.regionSize;
        size_t available = end > (uintptr_t)p ? end - (uintptr_t)p : 0;
        void *q = CheckAlloc(size, align, offset, kind, stack);
        if (q) memcpy(q, p, size < available ? size : available);
        return q;
    }
    VR_CheckHeader *h;
    int oldKind;
    if (!Claim(p, kind, call, stack, &h, &oldKind)) return 0;
    VerifyGuards(h, oldKind, call, stack);
    uint8_t *q = (uint8_t *)CheckAlloc(size, align, offset, kind, stack);
    if (!q) {
        /* The old block stays the caller's. */
        __atomic_store_n(&h->state, kStateLive + (uint32_t)oldKind, __ATOMIC_RELEASE);
        return 0;
    }
    memcpy(q, UserOf(h), size < h->size ? size : h->size);
    h->freeStack = stack;
    Quarantine(h);
    return q;
}

long CheckSizeOf(const void *p)
{
    VR_CheckHeader *h = HeaderOf(p);
    if (!h || !IsLive(__atomic_load_n(&h->state, __ATOMIC_ACQUIRE))) return -1;
    return (long)h->size;
}

int CheckShrink(void *p, size_t size)
{
    VR_CheckHeader *h = HeaderOf(p);
    if (!h || !IsLive(__atomic_load_n(&h->state, __ATOMIC_ACQUIRE)) || size > h->size) return 0;
    h->size = (uint32_t)size;
    memset(UserOf(h) + size, kBackByte, BackGuardOf(h));
    return 1;
}

const char *CheckValidateQuarantine()
{
    vr_os::LockEnter(&s_ringLock);
    const char *problem = 0;
    uint32_t bytes = 0;
    if (s_ringCount > kQuarantineBlocks) problem = "more blocks in quarantine than it holds";
    for (uint32_t i = 0; i < s_ringCount && !problem; i++) {
        uint8_t *user = s_ring[(s_ringHead + i) & (kQuarantineBlocks - 1)];
        VR_CheckHeader *h = HeaderOf(user);
        if (!h) problem = "a block in quarantine without its header";
        else if (!IsFreed(__atomic_load_n(&h->state, __ATOMIC_ACQUIRE))) problem = "a block in quarantine not freed";
        else bytes += h->size;
    }
    if (!problem && bytes != s_ringBytes) problem = "the quarantine's byte count is not its blocks' sizes";
    if (!problem && s_ringBytes > kQuarantineBytes) problem = "the quarantine holds more bytes than its bound";
    vr_os::LockLeave(&s_ringLock);
    return problem ? problem : ValidatePageQuarantine();
}

VR_LockStorage *CheckQuarantineLock()
{
    return &s_ringLock;
}
