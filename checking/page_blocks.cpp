/*
 * page_blocks.cpp - the page mode of the checking mode's blocks (checking.h):
 * a block ends against an inaccessible page, its header is kept in a
 * table of records, one per 64 KB region, and which record covers each
 * region in a second table; a freed block is decommitted and its
 * reservation held in a quarantine of kPageQuarantineBlocks blocks and
 * kPageQuarantineSpace bytes of address space, oldest released first. A
 * fault at an address of such a block is reported from the fault watch
 * with its stacks, and the process then dies of it as it would have.
 */
#include <string.h>

#include "block_format.h"
#include "pages.h"
#include "os_lock.h"
#include "os_memory.h"
#include "symbols.h"
#include "system.h"

using namespace vr_check;

namespace {

const uint32_t kPageQuarantineBlocks = 2048;       /* a power of two */
const uint32_t kPageQuarantineSpace = 128u << 20;

/* The budget of page blocks held (live or in quarantine): a block costs
   its reservation (a multiple of 64 KB of address space) and two of the
   system's mappings (its pages and the inaccessible one). Beyond the
   budget a block is an ordinary checked one, so that the mode never
   takes the address space or the mappings the program itself needs. The
   quarantine is part of the held count: its oldest block leaves when a
   new block would not fit. */
const uint32_t kBudgetSpace = 512u << 20;
uint32_t s_budgetBlocks;
uint32_t s_heldBlocks, s_heldSpace;

/* Reservations of 64 KB given back by blocks that left the quarantine,
   kept inaccessible and untagged for the next small block: a block then
   costs a commit and a decommit instead of a reservation and a release
   as well. Under s_pageRingLock; not counted in the budget, released when
   the heap wants address space. */
const uint32_t kSpareSlots = 1024;
const uint32_t kSpareSpan = 0x10000;
uint32_t s_spare[kSpareSlots];
uint32_t s_spareCount;

uint32_t *s_pageOwner;          /* by region: 1 + the region of its record, 0 for none */
uint32_t *s_pageRing;           /* the page quarantine: record regions, oldest at head */
uint32_t s_pageRingHead, s_pageRingCount, s_pageRingSpace;
VR_LockStorage s_pageRingLock;
uint8_t *s_tables;              /* the records, owners and ring in one reservation */
uint32_t s_tableBytes;

/* The address space a reservation of span bytes takes. */
inline uint32_t SpaceOf(uint32_t span)
{
    return (span + 0xFFFF) & ~0xFFFFu;
}

/* 1 with a block of span bytes counted in the budget; 0 when it does not
   fit, the counts unchanged. */
int TakeBudget(uint32_t span)
{
    uint32_t blocks = __atomic_add_fetch(&s_heldBlocks, 1, __ATOMIC_RELAXED);
    uint32_t space = __atomic_add_fetch(&s_heldSpace, SpaceOf(span), __ATOMIC_RELAXED);
    if (blocks <= s_budgetBlocks && space <= kBudgetSpace) return 1;
    __atomic_sub_fetch(&s_heldBlocks, 1, __ATOMIC_RELAXED);
    __atomic_sub_fetch(&s_heldSpace, SpaceOf(span), __ATOMIC_RELAXED);
    return 0;
}

/* A spare reservation of kSpareSpan bytes, or null. */
uint8_t *TakeSpare()
{
    uint32_t base = 0;
    vr_os::LockEnter(&s_pageRingLock);
    if (s_spareCount) base = s_spare[--s_spareCount];
    vr_os::LockLeave(&s_pageRingLock);
    return (uint8_t *)(uintptr_t)base;
}

/* Gives a page block's reservation back: kept as a spare when it is one
   of kSpareSpan bytes, inaccessible, and there is room; else released. */
void ReleasePageBlock(VR_PageRecord *r)
{
    uint32_t base = r->base, span = r->span, committed = r->committed;
    /* Untagged and its record cleared first: once given back, the range may
       come straight back to another thread's block, which writes both anew. */
    for (uint64_t a = base; a < (uint64_t)base + span; a += 0x10000)
        __atomic_store_n(&s_pageOwner[a >> 16], 0u, __ATOMIC_RELEASE);
    memset(r, 0, sizeof *r);
    __atomic_sub_fetch(&s_heldBlocks, 1, __ATOMIC_RELAXED);
    __atomic_sub_fetch(&s_heldSpace, SpaceOf(span), __ATOMIC_RELAXED);
    int kept = 0;
    if (span == kSpareSpan && !committed) {
        vr_os::LockEnter(&s_pageRingLock);
        if (s_spareCount < kSpareSlots) {
            s_spare[s_spareCount++] = base;
            kept = 1;
        }
        vr_os::LockLeave(&s_pageRingLock);
    }
    if (!kept) ReleasePages((void *)(uintptr_t)base, committed, span);
}

/* Releases up to n of the oldest blocks of the page quarantine; how many
   left. */
uint32_t ReleaseOldest(uint32_t n)
{
    VR_PageRecord *leaving[32];
    uint32_t done = 0;
    while (done < n) {
        uint32_t k = 0;
        vr_os::LockEnter(&s_pageRingLock);
        while (k < 32 && done + k < n && s_pageRingCount) {
            VR_PageRecord *old = &s_pageRecords[s_pageRing[s_pageRingHead]];
            s_pageRingHead = (s_pageRingHead + 1) & (kPageQuarantineBlocks - 1);
            s_pageRingCount--;
            s_pageRingSpace -= old->span;
            leaving[k++] = old;
        }
        vr_os::LockLeave(&s_pageRingLock);
        for (uint32_t i = 0; i < k; i++) ReleasePageBlock(leaving[i]);
        if (!k) break;
        done += k;
    }
    return done;
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

namespace vr_check {

/* The record of the page block whose reservation covers address a (live,
   in quarantine, or being made), or null. */
VR_PageRecord *PageRecordAt(uintptr_t a)
{
    if (!s_pageOwner) return 0;
    uint32_t owner = __atomic_load_n(&s_pageOwner[a >> 16], __ATOMIC_ACQUIRE);
    return owner ? &s_pageRecords[owner - 1] : 0;
}

/* A claimed page block becomes inaccessible and waits in the page
   quarantine; the oldest leave as needed. */
void QuarantinePage(VR_PageRecord *r)
{
    DecommitPages((void *)(uintptr_t)r->base, r->committed);
    r->committed = 0;
    VR_PageRecord *leaving[32];
    uint32_t n = 0;
    vr_os::LockEnter(&s_pageRingLock);
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
    vr_os::LockLeave(&s_pageRingLock);
    for (uint32_t i = 0; i < n; i++) ReleasePageBlock(leaving[i]);
    if (!fits) ReleasePageBlock(r);
}

/* A page block: its end against the inaccessible page, as close as its
   alignment lets it; null when no reservation can be had. */
void *PageAlloc(size_t size, uint32_t align, uint32_t offset, int kind, uint32_t stack)
{
    uint32_t page = s_pageSize;
    if (size > 0x7FFFFFFFu - align - 16 - 2 * page) return 0;
    /* Room for the front guard and the alignment in front of the block. */
    uint32_t data = ((uint32_t)size + 16 + align + page - 1) & ~(page - 1);
    /* The whole reservation: past the block's pages it stays inaccessible. */
    uint32_t span = SpaceOf(data + page);
    if (!span || (!TakeBudget(span) && !(ReleaseOldest(1) && TakeBudget(span)))) return 0;
    uint8_t *base = span == kSpareSpan ? TakeSpare() : 0;
    if (!base) base = (uint8_t *)ReservePages(span, 0, VR_SPACE_DIRECT);
    if (base && !CommitPages(base, data, 0)) {
        ReleasePages(base, 0, span);
        base = 0;
    }
    if (!base) {
        __atomic_sub_fetch(&s_heldBlocks, 1, __ATOMIC_RELAXED);
        __atomic_sub_fetch(&s_heldSpace, SpaceOf(span), __ATOMIC_RELAXED);
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

const char *ValidatePageQuarantine()
{
    const char *problem = 0;
    uint32_t space = 0;
    vr_os::LockEnter(&s_pageRingLock);
    for (uint32_t i = 0; i < s_pageRingCount && !problem; i++) {
        const VR_PageRecord &r = s_pageRecords[s_pageRing[(s_pageRingHead + i) & (kPageQuarantineBlocks - 1)]];
        if (!r.header.magic || !IsFreed(r.header.state)) problem = "a page block in quarantine not freed";
        else if (r.committed) problem = "a page block in quarantine still accessible";
        else if (PageRecordAt(r.base) != &r) problem = "a page block in quarantine not found by its address";
        else space += r.span;
    }
    if (!problem && (space != s_pageRingSpace || space > kPageQuarantineSpace))
        problem = "the page quarantine's space is not its blocks' or above its bound";
    vr_os::LockLeave(&s_pageRingLock);
    return problem;
}

uint32_t FlushPageQuarantine()
{
    uint32_t n = ReleaseOldest(kPageQuarantineBlocks);
    for (;;) {
        uint8_t *spare = TakeSpare();
        if (!spare) return n;
        ReleasePages(spare, 0, kSpareSpan);
        n++;
    }
}

void PageTables(uintptr_t *start, uint32_t *bytes)
{
    *start = (uintptr_t)s_tables;
    *bytes = s_tableBytes;
}

} // namespace vr_check

VR_LockStorage *CheckPageQuarantineLock()
{
    return &s_pageRingLock;
}

int CheckInitPages(uint32_t budgetBlocks)
{
    s_budgetBlocks = budgetBlocks;
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
    s_tables = room;
    s_tableBytes = bytes;
    vr_os::WatchAccessFaults(&OnAccessFault);
    return 1;
}
