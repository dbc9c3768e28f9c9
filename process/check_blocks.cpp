/*
 * check_blocks.cpp - the blocks of the checking mode: a header and guards
 * around every block (the format in check.h), an atomic claim on the block
 * at every free, a quarantine of freed blocks, and the walk over all blocks
 * at exit that finds damaged guards, writes after free and leaks.
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
 * The page mode (check.h) keeps its blocks' headers in a table of records,
 * one per 64 KB region, and which record covers each region in a second
 * table; a freed block is decommitted and its reservation held in a
 * quarantine of kPageQuarantineBlocks blocks and kPageQuarantineSpace bytes
 * of address space, oldest released first. A fault at an address of such
 * a block is reported from the fault watch with its stacks, and the process
 * then dies of it as it would have.
 */
#include <string.h>

#include <new>

#include "check.h"
#include "pages.h"
#include "os_lock.h"
#include "os_memory.h"
#include "os_assert.h"
#include "symbols.h"
#include "system.h"

namespace {

const uint32_t kHeaderMagic = 0x4B435256;   /* "VRCK" */
const uint32_t kPadMagic = 0x44415056;      /* "VPAD" */
const uint32_t kStateLive = 0x4C000000;     /* + kind */
const uint32_t kStateFreed = 0x46000000;    /* + kind */
const uint8_t kFrontByte = 0xFA;
const uint8_t kBackByte = 0xFD;
const uint8_t kFreedByte = 0xDD;
const uint32_t kBackGuard = 16;
const uint32_t kHeaderSize = sizeof(VR_CheckHeader);
/* In a heap block's lead: live when the process forked (CheckForkedChild). */
const uint32_t kInheritedLead = 0x80000000u;

const uint32_t kQuarantineBlocks = 65536;          /* a power of two */
const uint32_t kQuarantineBytes = 16u << 20;

const uint32_t kPageQuarantineBlocks = 4096;       /* a power of two */
const uint32_t kPageQuarantineSpace = 256u << 20;

/* The page mode's record of a block: its header, and its reservation. */
struct VR_PageRecord {
    VR_CheckHeader header;  /* lead: the user address */
    uint32_t base;          /* the reservation */
    uint32_t span;          /* its size: the block's pages and the inaccessible page */
    uint32_t committed;     /* bytes committed from base; 0 once freed */
    uint32_t inherited;     /* 1: live when the process forked */
    uint32_t pad[4];
};
static_assert(sizeof(VR_PageRecord) == 64, "a record is found by shifting");
static_assert(offsetof(VR_PageRecord, header) == 0, "a record is its header");

const uint32_t kRegions = 65536;
VR_PageRecord *s_pageRecords;   /* by the region where the reservation starts */
uint32_t *s_pageOwner;          /* by region: 1 + the region of its record, 0 for none */
uint32_t *s_pageRing;           /* the page quarantine: record regions, oldest at head */
uint32_t s_pageRingHead, s_pageRingCount, s_pageRingSpace;

/* The heap of the checked blocks, constructed in place when the mode
   starts and never destroyed: frees arrive until the very end. */
alignas(VR_Heap) uint8_t s_heapRoom[sizeof(VR_Heap)];
inline VR_Heap &CheckHeap()
{
    return *(VR_Heap *)(void *)s_heapRoom;
}

/* The quarantine: a ring of user pointers, oldest at head. */
uint8_t **s_ring;
uint32_t s_ringHead, s_ringCount;
uint32_t s_ringBytes;
VR_LockStorage s_ringLock;

inline int IsPageRecord(const VR_CheckHeader *h)
{
    return (uintptr_t)h - (uintptr_t)s_pageRecords < kRegions * sizeof(VR_PageRecord);
}

/* The record of the page block whose reservation covers address a (live,
   in quarantine, or being made), or null. */
VR_PageRecord *PageRecordAt(uintptr_t a)
{
    if (!s_pageOwner) return 0;
    uint32_t owner = __atomic_load_n(&s_pageOwner[a >> 16], __ATOMIC_ACQUIRE);
    return owner ? &s_pageRecords[owner - 1] : 0;
}

inline int IsLive(uint32_t state)
{
    return state > kStateLive && state < kStateLive + kKindCount;
}

inline int IsFreed(uint32_t state)
{
    return state > kStateFreed && state < kStateFreed + kKindCount;
}

/* The family of a live or freed block, 0 when it is neither. */
inline int KindOf(uint32_t state)
{
    return IsLive(state) ? (int)(state - kStateLive) : IsFreed(state) ? (int)(state - kStateFreed) : 0;
}

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

inline uint8_t *UserOf(VR_CheckHeader *h)
{
    return IsPageRecord(h) ? (uint8_t *)(uintptr_t)h->lead : (uint8_t *)(h + 1);
}

/* The guard bytes after a block: a page block's reach to the end of its
   page (the page after is inaccessible), fewer than its alignment. */
uint32_t BackGuardOf(VR_CheckHeader *h)
{
    if (!IsPageRecord(h)) return kBackGuard;
    uintptr_t end = (uintptr_t)UserOf(h) + h->size;
    return (uint32_t)(((end + s_pageSize - 1) & ~(uintptr_t)(s_pageSize - 1)) - end);
}

/* The front guard: in the header, or in front of a page block. */
uint8_t *FrontOf(VR_CheckHeader *h)
{
    return IsPageRecord(h) ? UserOf(h) - 8 : h->front;
}

/* The header of a block of the heap (as ForEach hands it out), or null
   when it holds none (a block given back, waiting for reuse). */
VR_CheckHeader *HeaderOfBlock(void *block)
{
    VR_CheckHeader *h = (VR_CheckHeader *)block;
    if (h->magic == kPadMagic) h = (VR_CheckHeader *)((uint8_t *)block + ((uint32_t *)block)[1]);
    return h->magic == (kHeaderMagic ^ (uint32_t)(uintptr_t)UserOf(h)) ? h : 0;
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

void BlockLine(VR_CheckText &t, const char *kind, VR_CheckHeader *h)
{
    t.Str("vorrel-check: ");
    t.Str(kind);
    t.Str(" block ");
    t.Hex((uintptr_t)UserOf(h));
    t.Str(" size ");
    t.Num(h->size);
}

void AllocatedAt(VR_CheckText &t, VR_CheckHeader *h, int kind)
{
    t.Str("  allocated by ");
    t.Str(KindName(kind));
    t.Str(" at:\n");
    t.Stack(h->allocStack);
}

void FreedAt(VR_CheckText &t, VR_CheckHeader *h)
{
    t.Str("  freed at:\n");
    t.Stack(h->freeStack);
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

/* Reports damaged guards of a block; kind is its allocating family. */
void VerifyGuards(VR_CheckHeader *h, int kind, const char *call, uint32_t stack)
{
    uint32_t back = BackDamage(h), front = FrontDamage(h);
    if (back && CheckBeginFinding(kFindOverrun, (uint32_t)(uintptr_t)h)) {
        VR_CheckText t;
        BlockLine(t, "overrun", h);
        t.Str(": ");
        t.Num(back);
        t.Str(back == 1 ? " byte" : " bytes");
        t.Str(" written past its end\n");
        AllocatedAt(t, h, kind);
        FoundAt(t, call, stack);
        CheckWrite(t);
    }
    if (front && CheckBeginFinding(kFindUnderrun, (uint32_t)(uintptr_t)h)) {
        VR_CheckText t;
        BlockLine(t, "underrun", h);
        t.Str(": ");
        t.Num(front);
        t.Str(front == 1 ? " byte" : " bytes");
        t.Str(" written before its start\n");
        AllocatedAt(t, h, kind);
        FoundAt(t, call, stack);
        CheckWrite(t);
    }
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

/* Gives a page block's reservation back for good. */
void ReleasePageBlock(VR_PageRecord *r)
{
    uint32_t base = r->base, span = r->span, committed = r->committed;
    /* Untagged first: once released, the range may come straight back to
       another thread's reservation, which tags it anew. */
    for (uint64_t a = base; a < (uint64_t)base + span; a += 0x10000)
        __atomic_store_n(&s_pageOwner[a >> 16], 0u, __ATOMIC_RELEASE);
    memset(r, 0, sizeof *r);
    ReleasePages((void *)(uintptr_t)base, committed, span);
}

/* A claimed page block becomes inaccessible and waits in the page
   quarantine; the oldest leave as needed. */
void QuarantinePage(VR_PageRecord *r)
{
    DecommitPages((void *)(uintptr_t)r->base, r->committed);
    r->committed = 0;
    VR_PageRecord *leaving[32];
    uint32_t n = 0;
    vr_os::LockEnter(&s_ringLock);
    while (n < 32 && s_pageRingCount &&
           (s_pageRingCount >= kPageQuarantineBlocks || s_pageRingSpace + r->span > kPageQuarantineSpace)) {
        VR_PageRecord *old = &s_pageRecords[s_pageRing[s_pageRingHead]];
        s_pageRingHead = (s_pageRingHead + 1) & (kPageQuarantineBlocks - 1);
        s_pageRingCount--;
        s_pageRingSpace -= old->span;
        leaving[n++] = old;
    }
    int fits = s_pageRingCount < kPageQuarantineBlocks && s_pageRingSpace + r->span <= kPageQuarantineSpace;
    if (fits) {
        s_pageRing[(s_pageRingHead + s_pageRingCount) & (kPageQuarantineBlocks - 1)] = r->base >> 16;
        s_pageRingCount++;
        s_pageRingSpace += r->span;
    }
    vr_os::LockLeave(&s_ringLock);
    for (uint32_t i = 0; i < n; i++) ReleasePageBlock(leaving[i]);
    if (!fits) ReleasePageBlock(r);
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

/* The leaks at exit: the live blocks that no pointer in the process's
   memory refers to, directly or through other live blocks (a block a
   global still holds is not lost), one group per allocating stack.
   Pointers into a block's inside count. */
struct VR_LiveBlock {
    uintptr_t start;      /* the user pointer */
    uint32_t size;        /* the caller's bytes; kMarked once reachable */
    VR_CheckHeader *header;
};
const uint32_t kMarked = 0x80000000u;
VR_LiveBlock *s_live;
uint32_t s_liveCount, s_liveCapacity;
uint32_t *s_work;
uint32_t s_workCount;

struct VR_LeakGroup {
    uint32_t stack;
    uint32_t kind;
    uint32_t blocks;
    uint32_t bytes;
};
const uint32_t kLeakSlots = 131072;
VR_LeakGroup *s_leaks;
uint32_t s_leakGroups;

/* Address space the walk itself holds (its tables name every live block):
   never a root. */
struct VR_Range {
    uintptr_t start, end;
};
VR_Range s_ownRanges[5];
int s_ownRangeCount;

void *OwnTable(uint32_t bytes)
{
    if (!bytes) bytes = 1;
    void *room = vr_os::Reserve(bytes, 0);
    if (!room) return 0;
    if (!vr_os::Commit(room, bytes, 0)) {
        vr_os::Release(room);
        return 0;
    }
    if (s_ownRangeCount < 5) {
        s_ownRanges[s_ownRangeCount].start = (uintptr_t)room;
        s_ownRanges[s_ownRangeCount].end = (uintptr_t)room + ((bytes + 0xFFFF) & ~0xFFFFu);
        s_ownRangeCount++;
    }
    return room;
}

/* The live block holding address a, or -1. */
int FindLive(uintptr_t a)
{
    uint32_t low = 0, high = s_liveCount;
    while (low < high) {
        uint32_t mid = low + (high - low) / 2;
        if (s_live[mid].start <= a) low = mid + 1;
        else high = mid;
    }
    if (!low) return -1;
    const VR_LiveBlock &b = s_live[low - 1];
    uint32_t size = b.size & ~kMarked;
    return a - b.start < (size ? size : 1) ? (int)(low - 1) : -1;
}

void ScanWords(uintptr_t start, uintptr_t end)
{
    for (uintptr_t a = (start + 3) & ~(uintptr_t)3; a + 4 <= end; a += 4) {
        uintptr_t w = *(const uintptr_t *)a;
        if (!IsLibraryMemory((const void *)w)) continue;
        int i = FindLive(w);
        if (i < 0 || (s_live[i].size & kMarked)) continue;
        s_live[i].size |= kMarked;
        s_work[s_workCount++] = (uint32_t)i;
    }
}

/* A root range: every 64 KB of it that is neither library memory nor the
   walk's own tables; of the calling thread's stack only the part in use. */
void ScanRoot(uintptr_t start, uintptr_t end, void *context)
{
    uintptr_t sp = (uintptr_t)context;
    if (sp >= start && sp < end) start = sp;
    while (start < end) {
        uintptr_t chunkEnd = (start | 0xFFFF) + 1;
        if (chunkEnd > end || chunkEnd == 0) chunkEnd = end;
        int skip = IsLibraryMemory((const void *)start);
        for (int i = 0; i < s_ownRangeCount && !skip; i++)
            skip = start >= s_ownRanges[i].start && start < s_ownRanges[i].end;
        if (!skip) ScanWords(start, chunkEnd);
        start = chunkEnd;
    }
}

void CountLive(void *block, void *)
{
    VR_CheckHeader *h = HeaderOfBlock(block);
    if (h && IsLive(__atomic_load_n(&h->state, __ATOMIC_ACQUIRE))) s_liveCapacity++;
}

void SortLive()
{
    /* Heap sort by address: no allocation, no recursion. */
    uint32_t n = s_liveCount;
    for (uint32_t k = n / 2; k-- > 0;) {
        for (uint32_t i = k;;) {
            uint32_t c = 2 * i + 1;
            if (c >= n) break;
            if (c + 1 < n && s_live[c + 1].start > s_live[c].start) c++;
            if (s_live[i].start >= s_live[c].start) break;
            VR_LiveBlock t = s_live[i];
            s_live[i] = s_live[c];
            s_live[c] = t;
            i = c;
        }
    }
    for (uint32_t end = n; end-- > 1;) {
        VR_LiveBlock t = s_live[0];
        s_live[0] = s_live[end];
        s_live[end] = t;
        for (uint32_t i = 0;;) {
            uint32_t c = 2 * i + 1;
            if (c >= end) break;
            if (c + 1 < end && s_live[c + 1].start > s_live[c].start) c++;
            if (s_live[i].start >= s_live[c].start) break;
            VR_LiveBlock x = s_live[i];
            s_live[i] = s_live[c];
            s_live[c] = x;
            i = c;
        }
    }
}

/* Marks what the roots reach, then what the marked blocks reach. */
void MarkReachable()
{
    volatile int here = 0;
    vr_os::ForEachWritableRange(&ScanRoot, (void *)&here);
    while (s_workCount) {
        const VR_LiveBlock &b = s_live[s_work[--s_workCount]];
        ScanWords(b.start, b.start + (b.size & ~kMarked));
    }
}

int IsInherited(VR_CheckHeader *h)
{
    return IsPageRecord(h) ? ((VR_PageRecord *)h)->inherited != 0 : (h->lead & kInheritedLead) != 0;
}

void CountLeak(VR_CheckHeader *h, int kind)
{
    if (!s_leaks || IsInherited(h) || vr_os::IsLoaderCode(StackFirstFrame(h->allocStack))) return;
    uint32_t slot = (h->allocStack * 2654435761u) & (kLeakSlots - 1);
    while (s_leaks[slot].blocks && s_leaks[slot].stack != h->allocStack) slot = (slot + 1) & (kLeakSlots - 1);
    VR_LeakGroup &g = s_leaks[slot];
    if (!g.blocks) {
        g.stack = h->allocStack;
        g.kind = (uint32_t)kind;
        s_leakGroups++;
    }
    g.blocks++;
    g.bytes += h->size;
}

void AtExitVisitHeader(VR_CheckHeader *h)
{
    uint32_t state = __atomic_load_n(&h->state, __ATOMIC_ACQUIRE);
    if (IsLive(state)) {
        VerifyGuards(h, (int)(state - kStateLive), "exit", 0);
        if (s_live && s_liveCount < s_liveCapacity) {
            VR_LiveBlock &b = s_live[s_liveCount++];
            b.start = (uintptr_t)UserOf(h);
            b.size = h->size;
            b.header = h;
        }
    } else if (IsFreed(state) && !IsPageRecord(h) && !IsInherited(h)) {
        /* A block freed before a fork may have been half filled then, by a
           thread the child does not have. */
        VerifyFreed(h, 0);
    }
}

void AtExitVisit(void *block, void *)
{
    if (VR_CheckHeader *h = HeaderOfBlock(block)) AtExitVisitHeader(h);
}

/* The page blocks at exit: the live ones as AtExitVisit takes blocks
   (the freed ones are inaccessible, and anything written there faulted). */
void AtExitPages(int count)
{
    if (!s_pageRecords) return;
    for (uint32_t i = 0; i < kRegions; i++) {
        VR_CheckHeader *h = &s_pageRecords[i].header;
        if (!h->magic || !IsLive(__atomic_load_n(&h->state, __ATOMIC_ACQUIRE))) continue;
        if (count) s_liveCapacity++;
        else AtExitVisitHeader(h);
    }
}

void MarkInherited(void *block, void *)
{
    VR_CheckHeader *h = HeaderOfBlock(block);
    if (h) h->lead |= kInheritedLead;
}

void ReportLeaks()
{
    if (!s_leaks || !s_leakGroups) return;
    /* The groups, packed to the front and sorted by bytes (a shell sort:
       no allocation, no recursion). */
    uint32_t n = 0;
    for (uint32_t i = 0; i < kLeakSlots; i++)
        if (s_leaks[i].blocks) s_leaks[n++] = s_leaks[i];
    for (uint32_t gap = n / 2; gap; gap /= 2)
        for (uint32_t i = gap; i < n; i++)
            for (uint32_t j = i; j >= gap && s_leaks[j - gap].bytes < s_leaks[j].bytes; j -= gap) {
                VR_LeakGroup g = s_leaks[j];
                s_leaks[j] = s_leaks[j - gap];
                s_leaks[j - gap] = g;
            }
    const uint32_t kShown = 100;
    uint32_t hiddenBlocks = 0, hiddenBytes = 0;
    for (uint32_t i = 0; i < n; i++) {
        const VR_LeakGroup &g = s_leaks[i];
        if (i >= kShown) {
            hiddenBlocks += g.blocks;
            hiddenBytes += g.bytes;
            continue;
        }
        if (!CheckBeginFinding(kFindLeak, g.stack)) continue;
        VR_CheckText t;
        t.Str("vorrel-check: leak ");
        t.Num(g.bytes);
        t.Str(g.bytes == 1 ? " byte in " : " bytes in ");
        t.Num(g.blocks);
        t.Str(g.blocks == 1 ? " block" : " blocks");
        t.Str(" allocated by ");
        t.Str(KindName((int)g.kind));
        t.Str(" at:\n");
        t.Stack(g.stack);
        CheckWrite(t);
    }
    if (n > kShown && CheckBeginFinding(kFindLeak, 0xFFFFFFFFu)) {
        VR_CheckText t;
        t.Str("vorrel-check: leak ");
        t.Num(hiddenBytes);
        t.Str(" bytes in ");
        t.Num(hiddenBlocks);
        t.Str(" blocks from ");
        t.Num(n - kShown);
        t.Str(" more call stacks (smallest totals, not shown)\n");
        CheckWrite(t);
    }
}

/* A page block: its end against the inaccessible page, as close as its
   alignment lets it; null when no reservation can be had. */
void *PageAlloc(size_t size, uint32_t align, uint32_t offset, int kind, uint32_t stack)
{
    uint32_t page = s_pageSize;
    if (size > 0x7FFFFFFFu - align - 16 - 2 * page) return 0;
    /* Room for the front guard and the alignment in front of the block. */
    uint32_t data = ((uint32_t)size + 16 + align + page - 1) & ~(page - 1);
    uint32_t span = data + page;
    uint8_t *base = (uint8_t *)ReservePages(span, 0, VR_SPACE_DIRECT);
    if (!base) return 0;
    if (!CommitPages(base, data, 0)) {
        ReleasePages(base, 0, span);
        return 0;
    }
    uintptr_t user = (uintptr_t)base + data - size;
    user = ((user + offset) & ~(uintptr_t)(align - 1)) - offset;
    VR_PageRecord *r = &s_pageRecords[(uintptr_t)base >> 16];
    r->base = (uint32_t)(uintptr_t)base;
    r->span = span;
    r->committed = data;
    VR_CheckHeader *h = &r->header;
    h->magic = kHeaderMagic ^ (uint32_t)user;
    h->size = (uint32_t)size;
    h->allocStack = stack;
    h->freeStack = 0;
    h->lead = (uint32_t)user;
    memset(h->front, kFrontByte, sizeof h->front);
    memset((uint8_t *)user - 8, kFrontByte, 8);
    memset((uint8_t *)user + size, kBackByte, BackGuardOf(h));
    uint32_t owner = ((uint32_t)(uintptr_t)base >> 16) + 1;
    for (uint64_t a = (uintptr_t)base; a < (uint64_t)(uintptr_t)base + span; a += 0x10000)
        __atomic_store_n(&s_pageOwner[a >> 16], owner, __ATOMIC_RELEASE);
    __atomic_store_n(&h->state, kStateLive + (uint32_t)kind, __ATOMIC_RELEASE);
    return (void *)user;
}

/* A faulting access: reported when it touched a page block, with the
   block's stacks and the access's own. */
void OnAccessFault(const vr_os::AccessFault &f)
{
    VR_PageRecord *r = PageRecordAt(f.address);
    if (!r || !r->header.magic) return;
    VR_CheckHeader *h = &r->header;
    uint32_t state = __atomic_load_n(&h->state, __ATOMIC_ACQUIRE);
    uintptr_t user = h->lead;
    /* A frame as a call would leave it, so the walk starts at the access:
       the saved link, then the address (one past, as a return address). */
    uintptr_t frame[2] = {f.frame, f.pc + 1};
    uint32_t stack = CaptureStack((uintptr_t)frame);
    const char *access = f.write > 0 ? "a write" : f.write == 0 ? "a read" : "an access";
    uint32_t offset = (uint32_t)(f.address - user);
    VR_CheckText t;
    if (IsLive(state)) {
        if (!CheckBeginFinding(kFindOverrun, (uint32_t)(uintptr_t)h)) return;
        BlockLine(t, "overrun", h);
        t.Str(": ");
        t.Str(access);
        if (f.address >= user) {
            t.Str(" at offset ");
            t.Num(offset);
            t.Str(", past its end, stopped by the inaccessible page\n");
        } else {
            t.Str(" ");
            t.Num((uint32_t)(user - f.address));
            t.Str(" bytes before its start\n");
        }
        AllocatedAt(t, h, KindOf(state));
    } else if (IsFreed(state)) {
        int write = f.write > 0;
        if (!CheckBeginFinding(write ? kFindWriteAfterFree : kFindUseAfterFree, (uint32_t)(uintptr_t)h)) return;
        BlockLine(t, write ? "write-after-free" : "use-after-free", h);
        t.Str(": ");
        t.Str(access);
        t.Str(" at offset ");
        t.Num(offset);
        t.Str(" after it was freed, stopped by its inaccessible pages\n");
        AllocatedAt(t, h, KindOf(state));
        FreedAt(t, h);
    } else {
        return;
    }
    t.Str("  the access at:\n");
    t.Stack(stack);
    CheckWrite(t);
    /* The process dies of the fault next, without its exit work. */
    CheckSummary();
}

} // namespace

int CheckInitPages()
{
    if (!__atomic_load_n(&s_pageSize, __ATOMIC_ACQUIRE)) LoadSystemInfo();
    uint32_t bytes = kRegions * (sizeof(VR_PageRecord) + 4) + kPageQuarantineBlocks * 4;
    uint8_t *room = (uint8_t *)vr_os::Reserve(bytes, 0);
    if (!room || !vr_os::Commit(room, bytes, 0)) {
        if (room) vr_os::Release(room);
        return 0;
    }
    s_pageRecords = (VR_PageRecord *)room;
    s_pageOwner = (uint32_t *)(room + kRegions * sizeof(VR_PageRecord));
    s_pageRing = s_pageOwner + kRegions;
    /* The records name every page block: never a root of the leak walk. */
    s_ownRanges[s_ownRangeCount].start = (uintptr_t)room;
    s_ownRanges[s_ownRangeCount].end = (uintptr_t)room + ((bytes + 0xFFFF) & ~0xFFFFu);
    s_ownRangeCount++;
    vr_os::WatchAccessFaults(&OnAccessFault);
    return 1;
}

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
    uint32_t space = 0;
    for (uint32_t i = 0; i < s_pageRingCount && !problem; i++) {
        const VR_PageRecord &r = s_pageRecords[s_pageRing[(s_pageRingHead + i) & (kPageQuarantineBlocks - 1)]];
        if (!r.header.magic || !IsFreed(r.header.state)) problem = "a page block in quarantine not freed";
        else if (r.committed) problem = "a page block in quarantine still accessible";
        else if (PageRecordAt(r.base) != &r) problem = "a page block in quarantine not found by its address";
        else space += r.span;
    }
    if (!problem && (space != s_pageRingSpace || space > kPageQuarantineSpace))
        problem = "the page quarantine's space is not its blocks' or above its bound";
    vr_os::LockLeave(&s_ringLock);
    return problem;
}

void CheckAtExit()
{
    VR_ASSERT(!CheckValidateQuarantine());
    VR_ASSERT(!CheckValidateStacks());
    CheckHeap().ForEach(&CountLive, 0);
    AtExitPages(1);
    /* Room for a few blocks more than counted: a report may allocate. */
    s_liveCapacity += 64;
    s_live = (VR_LiveBlock *)OwnTable(s_liveCapacity * sizeof(VR_LiveBlock));
    s_work = (uint32_t *)OwnTable(s_liveCapacity * sizeof(uint32_t));
    s_leaks = (VR_LeakGroup *)OwnTable(kLeakSlots * sizeof(VR_LeakGroup));
    CheckHeap().ForEach(&AtExitVisit, 0);
    AtExitPages(0);
    if (s_live && s_work && s_leaks) {
        SortLive();
        MarkReachable();
        for (uint32_t i = 0; i < s_liveCount; i++) {
            const VR_LiveBlock &b = s_live[i];
            if (b.size & kMarked) continue;
            uint32_t state = __atomic_load_n(&b.header->state, __ATOMIC_ACQUIRE);
            if (IsLive(state)) CountLeak(b.header, (int)(state - kStateLive));
        }
        ReportLeaks();
    }
    CheckSummary();
}

void CheckForkedChild()
{
    CheckHeap().ForEach(&MarkInherited, 0);
    if (!s_pageRecords) return;
    for (uint32_t i = 0; i < kRegions; i++) {
        VR_PageRecord &r = s_pageRecords[i];
        if (r.header.magic && IsLive(r.header.state)) r.inherited = 1;
    }
}

VR_LockStorage *CheckQuarantineLock()
{
    return &s_ringLock;
}
