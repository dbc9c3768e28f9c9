/*
 * leaks.cpp - the walk over all checked blocks at exit: damaged
 * guards of live blocks, bytes written after free in quarantined ones,
 * and the leaks.
 */
#include <string.h>

#include "block_format.h"
#include "pages.h"
#include "os_memory.h"
#include "os_assert.h"
#include "symbols.h"
#include "system.h"

using namespace vr_check;

namespace {

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

/* Leaks are counted by root: a lost block that no other lost block
   points to (of a cycle of them, the first in address order), with the
   lost blocks reached only through it counted as its indirect ones. The
   groups are the roots' allocating stacks. */
struct VR_LeakGroup {
    uint32_t stack;
    uint32_t kind;
    uint32_t blocks;
    uint32_t bytes;
    uint32_t indirectBlocks;
    uint32_t indirectBytes;
};
/* Per live block, once the reachable ones are marked: kUnvisited, or the
   lost block it was first reached from (a root: itself). A root reached
   later from another lost block joins that one's group; Head follows the
   chain to the root that counts it. */
const uint32_t kUnvisited = 0xFFFFFFFFu;
uint32_t *s_owner;
const uint32_t kLeakSlots = 131072;
VR_LeakGroup *s_leaks;
uint32_t s_leakGroups;

/* Address space the walk itself holds (its tables name every live block):
   never a root. */
struct VR_Range {
    uintptr_t start, end;
};
VR_Range s_ownRanges[6];
int s_ownRangeCount;

/* Address space that names every block: never a root of the walk. */
void AddOwnRange(uintptr_t start, uint32_t bytes)
{
    if (s_ownRangeCount >= 6) return;
    s_ownRanges[s_ownRangeCount].start = start;
    s_ownRanges[s_ownRangeCount].end = start + ((bytes + 0xFFFF) & ~0xFFFFu);
    s_ownRangeCount++;
}

void *OwnTable(uint32_t bytes)
{
    if (!bytes) bytes = 1;
    void *room = vr_os::Reserve(bytes, 0);
    if (!room) return 0;
    if (!vr_os::Commit(room, bytes, 0)) {
        vr_os::Release(room);
        return 0;
    }
    AddOwnRange((uintptr_t)room, bytes);
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

/* s_live[i] moved down the heap of the first n until both below it are
   lower (by start). */
void SiftDown(uint32_t i, uint32_t n)
{
    for (;;) {
        uint32_t c = 2 * i + 1;
        if (c >= n) return;
        if (c + 1 < n && s_live[c + 1].start > s_live[c].start) c++;
        if (s_live[i].start >= s_live[c].start) return;
        VR_LiveBlock t = s_live[i];
        s_live[i] = s_live[c];
        s_live[c] = t;
        i = c;
    }
}

void SortLive()
{
    /* Heap sort by address: no allocation, no recursion. */
    uint32_t n = s_liveCount;
    for (uint32_t k = n / 2; k-- > 0;) SiftDown(k, n);
    for (uint32_t end = n; end-- > 1;) {
        VR_LiveBlock t = s_live[0];
        s_live[0] = s_live[end];
        s_live[end] = t;
        SiftDown(0, end);
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
uint32_t Head(uint32_t i)
{
    while (s_owner[i] != i) {
        s_owner[i] = s_owner[s_owner[i]];
        i = s_owner[i];
    }
    return i;
}

/* The lost blocks that lost block `root` reaches, into its group. */
void GroupFrom(uint32_t root)
{
    s_owner[root] = root;
    s_work[s_workCount++] = root;
    while (s_workCount) {
        uint32_t j = s_work[--s_workCount];
        const VR_LiveBlock &b = s_live[j];
        uintptr_t end = b.start + (b.size & ~kMarked);
        for (uintptr_t a = (b.start + 3) & ~(uintptr_t)3; a + 4 <= end; a += 4) {
            uintptr_t w = *(const uintptr_t *)a;
            if (!IsLibraryMemory((const void *)w)) continue;
            int k = FindLive(w);
            if (k < 0 || (s_live[k].size & kMarked) || (uint32_t)k == root) continue;
            if (s_owner[k] == kUnvisited) {
                s_owner[k] = root;
                s_work[s_workCount++] = (uint32_t)k;
            } else if (s_owner[k] == (uint32_t)k) {
                s_owner[k] = root;   /* an earlier root: reached from this one after all */
            }
        }
    }
}

int IsInherited(VR_CheckHeader *h)
{
    return IsPageRecord(h) ? ((VR_PageRecord *)h)->inherited != 0 : (h->lead & kInheritedLead) != 0;
}

/* Counts lost block `block` under the group of its root's stack. */
void CountLeak(VR_CheckHeader *root, VR_CheckHeader *block)
{
    if (!s_leaks || IsInherited(root) || vr_os::IsLoaderCode(StackFirstFrame(root->allocStack))) return;
    uint32_t slot = (root->allocStack * 2654435761u) & (kLeakSlots - 1);
    while ((s_leaks[slot].blocks || s_leaks[slot].indirectBlocks) && s_leaks[slot].stack != root->allocStack)
        slot = (slot + 1) & (kLeakSlots - 1);
    VR_LeakGroup &g = s_leaks[slot];
    if (!g.blocks && !g.indirectBlocks) {
        g.stack = root->allocStack;
        g.kind = (uint32_t)KindOf(__atomic_load_n(&root->state, __ATOMIC_ACQUIRE));
        s_leakGroups++;
    }
    if (block == root) {
        g.blocks++;
        g.bytes += root->size;
    } else {
        g.indirectBlocks++;
        g.indirectBytes += block->size;
    }
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

/* "N bytes in M blocks", in the singular where it is one. */
void BytesInBlocks(VR_CheckText &t, uint32_t bytes, uint32_t blocks)
{
    t.Num(bytes);
    t.Str(bytes == 1 ? " byte in " : " bytes in ");
    t.Num(blocks);
    t.Str(blocks == 1 ? " block" : " blocks");
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
            for (uint32_t j = i; j >= gap && s_leaks[j - gap].bytes + s_leaks[j - gap].indirectBytes <
                                                 s_leaks[j].bytes + s_leaks[j].indirectBytes;
                 j -= gap) {
                VR_LeakGroup g = s_leaks[j];
                s_leaks[j] = s_leaks[j - gap];
                s_leaks[j - gap] = g;
            }
    const uint32_t kShown = 100;
    uint32_t hiddenBlocks = 0, hiddenBytes = 0;
    for (uint32_t i = 0; i < n; i++) {
        const VR_LeakGroup &g = s_leaks[i];
        if (i >= kShown) {
            hiddenBlocks += g.blocks + g.indirectBlocks;
            hiddenBytes += g.bytes + g.indirectBytes;
            continue;
        }
        if (!CheckBeginFinding(kFindLeak, g.stack)) continue;
        VR_CheckText t;
        t.Str("vorrel-check: leak ");
        BytesInBlocks(t, g.bytes, g.blocks);
        t.Str(" allocated by ");
        t.Str(KindName((int)g.kind));
        t.Str(" at:\n");
        if (g.indirectBlocks) {
            t.Str("  and ");
            BytesInBlocks(t, g.indirectBytes, g.indirectBlocks);
            t.Str(" reached only from them (indirectly lost)\n");
        }
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

} // namespace

void CheckAtExit()
{
    VR_ASSERT(!CheckValidateQuarantine());
    VR_ASSERT(!CheckValidateStacks());
    uintptr_t tables;
    uint32_t tableBytes;
    PageTables(&tables, &tableBytes);
    if (tableBytes) AddOwnRange(tables, tableBytes);
    CheckHeap().ForEach(&CountLive, 0);
    AtExitPages(1);
    /* Room for a few blocks more than counted: a report may allocate. */
    s_liveCapacity += 64;
    s_live = (VR_LiveBlock *)OwnTable(s_liveCapacity * sizeof(VR_LiveBlock));
    s_work = (uint32_t *)OwnTable(s_liveCapacity * sizeof(uint32_t));
    s_leaks = (VR_LeakGroup *)OwnTable(kLeakSlots * sizeof(VR_LeakGroup));
    s_owner = (uint32_t *)OwnTable(s_liveCapacity * sizeof(uint32_t));
    CheckHeap().ForEach(&AtExitVisit, 0);
    AtExitPages(0);
    if (s_live && s_work && s_leaks && s_owner) {
        SortLive();
        MarkReachable();
        for (uint32_t i = 0; i < s_liveCount; i++) s_owner[i] = kUnvisited;
        for (uint32_t i = 0; i < s_liveCount; i++)
            if (!(s_live[i].size & kMarked) && s_owner[i] == kUnvisited) GroupFrom(i);
        for (uint32_t i = 0; i < s_liveCount; i++) {
            const VR_LiveBlock &b = s_live[i];
            if (b.size & kMarked) continue;
            if (IsLive(__atomic_load_n(&b.header->state, __ATOMIC_ACQUIRE))) CountLeak(s_live[Head(i)].header, b.header);
        }
        ReportLeaks();
    }
    CheckSummary();
}

void CheckForkedChild()
{
    CheckForgetFindings();
    CheckHeap().ForEach(&MarkInherited, 0);
    if (!s_pageRecords) return;
    for (uint32_t i = 0; i < kRegions; i++) {
        VR_PageRecord &r = s_pageRecords[i];
        if (r.header.magic && IsLive(r.header.state)) r.inherited = 1;
    }
}
