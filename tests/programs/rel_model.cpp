/*
 * rel_model.cpp - nothing is lost. A seeded driver runs random operations on
 * several heaps at once (general heaps of different flags, one-size heaps of
 * block sizes from 4 bytes to 21000, the hooks under switched default heaps)
 * and keeps its own model of every live block: where it is, which heap owns
 * it, its kind, its size and the identity pattern it carries. After every
 * step the blocks the step touched are checked against the model (content,
 * GetBlockSize, VRGetBlockSize, kind, a one-size block's place in its page
 * set) and every heap the step changed is validated; every --full steps,
 * and after each Clear or heap replacement, every live block is checked and
 * the set ForEach visits must equal the model's set for that heap. Calls
 * with bad arguments (ranges outside a block, sizes past 2^32) must be
 * refused with the block unchanged, and a second free of a block is ignored.
 * At the end every heap must hold no block at all.
 *
 *   prog_rel_model [--seed N] [--ops N] [--full K] [--verbose]
 *
 * Long blocks are checked by samples (their ends and every 64 KB boundary)
 * rather than byte for byte, and the whole-model check runs every K steps
 * (default 5000): that keeps a million steps within two minutes.
 *
 * Without --seed (or VORREL_SEED in the environment) it runs seeds 1..4
 * with --ops operations each (default 260000), over a million operations in
 * all.
 */
#include <algorithm>
#include <new>

#include "rel_common.h"

namespace {

enum {
    kGeneral = 3,            /* general heaps under test */
    kDefault = kGeneral,     /* index standing for DefaultHeap (hooks without a switch) */
    kOneSize = 8,
    kMaxBlocks = 3000,
    kMaxSwitch = 4,
    kSourceSize = 70000,
    kMaxLiveBytes = 48u << 20
};

const long kHeapFlags[kGeneral] = {
    VR_HEAP_NO_STD_NEW_HANDLER,
    VR_HEAP_MULTITHREADED | VR_HEAP_ZERO_INIT | VR_HEAP_NO_STD_NEW_HANDLER,
    VR_HEAP_MULTITHREADED | VR_HEAP_NO_STD_NEW_HANDLER,
};
/* From the smallest block there is to one that fills a third of a page set;
   10 is rounded up to 12. */
const unsigned long kOneSizes[kOneSize] = {4, 10, 24, 40, 100, 1000, 4096, 21000};
const unsigned long kOneSizeFlags[kOneSize] = {
    0, VR_HEAP_ZERO_INIT, VR_HEAP_MULTITHREADED, VR_HEAP_MULTITHREADED,
    0, VR_HEAP_ZERO_INIT, 0, VR_HEAP_ZERO_INIT};

struct Block {
    uint8_t *p;
    uint32_t size;     /* requested size (one-size: the heap's block size) */
    uint32_t id;       /* identity whose pattern the bytes carry */
    uint32_t reserved; /* direct blocks: bytes their reservation can hold */
    int8_t heap;       /* general heap index, kDefault, or one-size index */
    int8_t kind;       /* RelKind */
    int8_t oneSize;    /* 1: block of s_one[heap] */
};

Block s_blocks[kMaxBlocks];
uint32_t s_count;
uint32_t s_liveBytes;
uint32_t s_nextId = 1;
VR_Heap *s_heaps[kGeneral + 1];
VR_HeapOneSize *s_one[kOneSize];
/* Switchers live in raw storage so that their nesting can follow the random
   walk; each is constructed and destroyed explicitly, innermost first. */
alignas(VR_HeapSwitcher) unsigned char s_switchStore[kMaxSwitch][sizeof(VR_HeapSwitcher)];
int s_switchHeap[kMaxSwitch];
int s_switchDepth;
uint8_t s_source[kSourceSize];
const uint32_t kSourceId = 0xC0FFEE;
uint32_t s_dirty;           /* bit per general heap (0..3) and one-size heap (4..) */
uint64_t s_step;
RelRng s_rng;
uint32_t s_page;

/* Counters for the closing summary. */
uint64_t s_opsOk, s_nullsExpected, s_refused, s_fullChecks;

uint64_t s_seed;
#define STEP_CHECK(cond, ...)                                                             \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            fprintf(stderr, "seed %llu step %llu: ", (unsigned long long)s_seed,          \
                    (unsigned long long)s_step);                                          \
            REL_CHECK(cond, __VA_ARGS__);                                                 \
        }                                                                                 \
    } while (0)

uint32_t RoundUp(uint32_t x, uint32_t m) { return (x + m - 1) & ~(m - 1); }

/* What a direct block made with this reserve can grow to without moving:
   its reservation holds the 16-byte virtual header, the 32-byte block header
   and the data, and commits whole pages. */
uint32_t DirectReserved(uint32_t reserve) { return RoundUp(RoundUp(reserve + 32, 8) + 16, 65536); }
int DirectFits(uint32_t reserved, uint32_t size)
{
    return RoundUp(RoundUp(size + 32, 8) + 16, s_page) <= reserved;
}

/* A one-size heap's blocks: at least 4 bytes, a multiple of 4. */
uint32_t OneSizeBlock(int h)
{
    uint32_t n = (uint32_t)kOneSizes[h];
    return n <= 4 ? 4 : (n + 3) & ~3u;
}

int CurrentDefault() { return s_switchDepth ? s_switchHeap[s_switchDepth - 1] : kDefault; }

int HeapIndex(VR_Heap *h)
{
    for (int i = 0; i <= kGeneral; i++)
        if (s_heaps[i] == h) return i;
    return -1;
}

uint32_t PickSize()
{
    uint32_t r = s_rng.Below(1000);
    if (r < 420) return s_rng.Range(0, 256);
    if (r < 620) return s_rng.Range(0, 1100);
    if (r < 720) { /* a class edge: the largest request of a class and its neighbours */
        uint32_t edge = RelClassEdge(s_rng.Below(RelClassCount())) - 8;
        uint32_t s = edge + s_rng.Range(0, 2);
        return s == 0 ? 0 : s - 1;
    }
    if (r < 770) return 1014 + s_rng.Range(0, 5);   /* 1016 small, 1017 big */
    if (r < 870) return s_rng.Range(1017, 8192);
    if (r < 930) return s_rng.Range(8193, 65536);
    if (r < 990) return s_rng.Range(65537, 600000);
    return s_rng.Range(600001, 2500000);
}

void CheckBlock(const Block &b, const char *what)
{
    if (!b.oneSize) {
        VR_Heap &any = *s_heaps[0];
        STEP_CHECK(any.GetBlockSize(b.p) == b.size, "%s: GetBlockSize %lu, model %u", what,
                   any.GetBlockSize(b.p), b.size);
        STEP_CHECK(VRGetBlockSize(b.p) == b.size, "%s: VRGetBlockSize %u, model %u", what,
                   (unsigned)VRGetBlockSize(b.p), b.size);
        STEP_CHECK(RelKindOf(b.p) == b.kind, "%s: kind %d, model %d", what, RelKindOf(b.p), b.kind);
        STEP_CHECK(IsDynamicMemory(b.p), "%s: block %p is not library memory", what, (void *)b.p);
        STEP_CHECK(((uintptr_t)b.p & (kBlockAlignment - 1)) == 0, "%s: block %p not %u-aligned", what,
                   (void *)b.p, kBlockAlignment);
        if (b.kind != kRelSmall) {
            int owner = HeapIndex(AltHeaderOf(b.p)->heap);
            STEP_CHECK(owner == b.heap, "%s: owner heap %d, model %d", what, owner, b.heap);
        } else {
            VR_SmallPageSet *ps = (VR_SmallPageSet *)PageSetOf(b.p);
            STEP_CHECK(HeapIndex(ps->owner) == b.heap, "%s: small owner %d, model %d", what,
                       HeapIndex(ps->owner), b.heap);
        }
    } else {
        /* Inside a page set of its heap, on a block boundary below the
           carve point. */
        VR_OneSizePageSet *ps = (VR_OneSizePageSet *)PageSetOf(b.p);
        STEP_CHECK(ps->owner == s_one[b.heap], "%s: one-size block %p in a page set of another heap", what,
                   (void *)b.p);
        uint32_t off = (uint32_t)(b.p - ps->Base());
        STEP_CHECK(off >= ps->firstBlock && (off - ps->firstBlock) % b.size == 0,
                   "%s: one-size block %p off a block boundary", what, (void *)b.p);
        STEP_CHECK(b.p + b.size <= ps->CarvePoint(), "%s: one-size block %p beyond the carve point", what,
                   (void *)b.p);
    }
    uint32_t bad = RelFindMismatchSampled(b.p, b.id, 0, b.size);
    STEP_CHECK(bad == b.size, "%s: block %p (size %u id %u heap %d kind %d) differs at byte %u", what,
               (void *)b.p, b.size, b.id, b.heap, b.kind, bad);
}

void Validate()
{
    for (int i = 0; i <= kGeneral; i++)
        if (s_dirty & (1u << i)) {
            const char *why = s_heaps[i]->Validate();
            STEP_CHECK(why == 0, "heap %d invalid: %s", i, why);
        }
    for (int i = 0; i < kOneSize; i++)
        if (s_dirty & (16u << i)) {
            const char *why = s_one[i]->Validate();
            STEP_CHECK(why == 0, "one-size heap %d invalid: %s", i, why);
        }
    s_dirty = 0;
}

void Dirty(int heap, int oneSize = 0) { s_dirty |= oneSize ? (16u << heap) : (1u << heap); }

/* Adds a fresh block to the model and gives it a new identity. */
Block &Track(void *p, uint32_t size, int heap, int kind, int oneSize = 0, uint32_t reserved = 0)
{
    STEP_CHECK(s_count < kMaxBlocks, "model full");
    Block &b = s_blocks[s_count++];
    b.p = (uint8_t *)p;
    b.size = size;
    b.id = s_nextId++;
    b.heap = (int8_t)heap;
    b.kind = (int8_t)kind;
    b.oneSize = (int8_t)oneSize;
    b.reserved = reserved;
    s_liveBytes += size;
    return b;
}

void Untrack(uint32_t i)
{
    s_liveBytes -= s_blocks[i].size;
    s_blocks[i] = s_blocks[--s_count];
}

void Restamp(Block &b)
{
    b.id = s_nextId++;
    RelStamp(b.p, b.id, 0, b.size);
}

void CheckFreshZero(const void *p, uint32_t size, const char *what)
{
    uint32_t nz = RelFindNonZero(p, 0, size);
    STEP_CHECK(nz == size, "%s: byte %u of a zero-filled block of %u is not zero", what, nz, size);
}

int ZeroInit(int heap) { return heap < kGeneral && (kHeapFlags[heap] & VR_HEAP_ZERO_INIT); }
int KindForSize(uint32_t size) { return size <= 1016 ? kRelSmall : kRelBig; }

/* ---- allocation ------------------------------------------------------- */

void OpAlloc()
{
    if (s_count >= kMaxBlocks - 2) return;
    int h = (int)s_rng.Below(kGeneral);
    VR_Heap &heap = *s_heaps[h];
    uint32_t size = PickSize();
    uint32_t variant = s_rng.Below(10);
    void *p = 0;
    int zero = 0, kind = KindForSize(size), home = h;
    uint32_t reserved = 0;
    const char *what = "";
    switch (variant) {
    case 0: case 1: case 2:
        what = "AllocMem"; p = heap.AllocMem(size); zero = ZeroInit(h); break;
    case 3:
        what = "Alloc"; zero = (int)s_rng.Below(2); p = heap.Alloc(size, zero); zero |= ZeroInit(h); break;
    case 4: {
        what = "AllocArray";
        uint32_t count = s_rng.Range(1, 16);
        if (s_rng.Chance(3)) { /* a product past 32 bits is refused outright */
            uint32_t before = RelReservedRegions();
            STEP_CHECK(heap.AllocArray(0x10001, 0x10000, 1) == 0, "AllocArray overflow gave a block");
            STEP_CHECK(RelReservedRegions() == before, "AllocArray overflow reserved memory");
            Dirty(h);
            return;
        }
        uint32_t each = size / count;
        size = each * count;
        kind = KindForSize(size);
        zero = (int)s_rng.Below(2);
        p = heap.AllocArray(count, each, zero);
        zero |= ZeroInit(h);
        break;
    }
    case 5: {
        what = "AllocWithReserve";
        uint32_t reserve = s_rng.Chance(50) ? size + s_rng.Range(0, 300000) : s_rng.Range(0, 2000000);
        if (size > 1500000) size = s_rng.Range(0, 100000);
        /* A reserve below the size: the block still gets room for its size
           (small sizes, so that one 64 KB reservation holds them). */
        if (size < 20000 && s_rng.Chance(10)) reserve = s_rng.Below(size + 1);
        else if (reserve < size) reserve = size;
        zero = (int)s_rng.Below(2);
        p = heap.AllocWithReserve(reserve, size, zero);
        kind = kRelDirect;
        reserved = DirectReserved(reserve > size ? reserve : size);
        break;
    }
    case 6: { /* through the hooks, into the thread's current default heap */
        home = CurrentDefault();
        uint32_t how = s_rng.Below(3);
        if (how == 0) {
            what = "VRHookMalloc";
            if (size == 0) { STEP_CHECK(VRHookMalloc(0) == 0, "malloc(0) gave a block"); return; }
            p = VRHookMalloc(size); zero = ZeroInit(home);
        } else if (how == 1) {
            what = "VRHookCalloc";
            uint32_t count = s_rng.Range(0, 8), each = count ? size / count : size;
            size = count * each;
            kind = KindForSize(size);
            p = s_rng.Below(2) ? VRHookCalloc(count, each) : VRHookCalloc(each, count);
            zero = 1;
        } else {
            what = "VRHookNew"; p = VRHookNew(size); zero = ZeroInit(home);
        }
        break;
    }
    case 7: {
        what = "Clone";
        if (s_count == 0) return;
        Block &src = s_blocks[s_rng.Below(s_count)];
        if (src.oneSize) return;
        size = src.size;
        kind = KindForSize(size);
        p = heap.Clone(src.p);
        STEP_CHECK(p != 0, "Clone failed");
        STEP_CHECK(p != src.p, "Clone returned its source");
        uint32_t bad = RelFindMismatchSampled(p, src.id, 0, size);
        STEP_CHECK(bad == size, "Clone differs at %u", bad);
        CheckBlock(src, "Clone source");
        break;
    }
    case 8: {
        what = "StoreData";
        if (size > kSourceSize) size = s_rng.Below(kSourceSize);
        kind = KindForSize(size);
        int fromSource = s_rng.Chance(80);
        p = heap.StoreData(fromSource ? s_source : 0, size);
        STEP_CHECK(p != 0, "StoreData failed");
        if (fromSource) {
            uint32_t bad = RelFindMismatchSampled(p, kSourceId, 0, size);
            STEP_CHECK(bad == size, "StoreData differs at %u", bad);
        } else {
            zero = ZeroInit(h);
        }
        break;
    }
    default: {
        what = "StoreString";
        static char text[4096];
        uint32_t len = s_rng.Below(sizeof(text) - 1);
        for (uint32_t i = 0; i < len; i++) text[i] = (char)('a' + (i * 7 + s_step) % 26);
        text[len] = 0;
        long length = s_rng.Chance(50) ? -1 : (long)s_rng.Below(len + 1);
        uint32_t expect = length < 0 ? len : (uint32_t)length;
        char *s = heap.StoreString(text, length);
        STEP_CHECK(s != 0, "StoreString failed");
        STEP_CHECK(memcmp(s, text, expect) == 0 && s[expect] == 0, "StoreString content");
        p = s;
        size = expect + 1;
        kind = KindForSize(size);
        break;
    }
    }
    Dirty(home);
    if (kind == kRelDirect && !DirectFits(reserved, size)) {
        STEP_CHECK(p == 0, "%s: a direct block that cannot fit its reservation was made", what);
        s_nullsExpected++;
        return;
    }
    STEP_CHECK(p != 0, "%s(%u) on heap %d failed", what, size, home);
    if (zero) CheckFreshZero(p, size, what);
    Block &b = Track(p, size, home, kind, 0, reserved);
    RelStamp(p, b.id, 0, size);
    CheckBlock(b, what);
    s_opsOk++;
}

void OpOneSizeAlloc()
{
    if (s_count >= kMaxBlocks - 2) return;
    int h = (int)s_rng.Below(kOneSize);
    uint32_t size = OneSizeBlock(h);
    /* Any request up to the block size gets a whole block. */
    uint32_t request = s_rng.Chance(75) ? size : s_rng.Below(size + 1);
    void *p = request == size && s_rng.Below(2) ? s_one[h]->Alloc() : s_one[h]->AllocMem(request);
    STEP_CHECK(p != 0, "one-size Alloc failed");
    STEP_CHECK(IsDynamicMemory(p) != 0, "one-size block not library memory");
    if (kOneSizeFlags[h] & VR_HEAP_ZERO_INIT) CheckFreshZero(p, request, "one-size Alloc");
    Block &b = Track(p, size, h, kRelSmall, 1);
    RelStamp(p, b.id, 0, size);
    CheckBlock(b, "one-size Alloc");
    Dirty(h, 1);
    s_opsOk++;
}

/* ---- freeing ---------------------------------------------------------- */

void OpFree()
{
    if (s_count == 0) return;
    uint32_t i = s_rng.Below(s_count);
    Block b = s_blocks[i];
    CheckBlock(b, "before free");
    if (b.oneSize) {
        if (s_rng.Below(2)) VR_HeapOneSize::FreeMem(b.p); else VR_HeapOneSize::Free(b.p);
        Dirty(b.heap, 1);
    } else {
        switch (s_rng.Below(5)) {
        case 0:
            VR_Heap::FreeMem(b.p);
            if (s_rng.Chance(12)) VR_Heap::Free(b.p); /* a second free is ignored */
            break;
        case 1: VR_Heap::Free(b.p); break;
        case 2: VRHookFree(b.p); break;
        case 3: VRHookDelete(b.p); break;
        default:
            STEP_CHECK(VRHookRealloc(b.p, 0) == 0, "realloc(p, 0) returned a block");
            break;
        }
        Dirty(b.heap);
    }
    Untrack(i);
    s_opsOk++;
}

/* ---- reallocation ----------------------------------------------------- */

/* Applies the model's rule for where a reallocated block ends up and checks
   the result; returns 0 when the call failed as predicted. */
int SettleResize(Block &b, void *q, uint32_t size, int caller, int zero, const char *what,
                 int checkContent = 1)
{
    uint32_t old = b.size;
    if (b.kind == kRelDirect && !DirectFits(b.reserved, size)) {
        STEP_CHECK(q == 0, "%s: direct block grown past its reservation", what);
        CheckBlock(b, "refused direct resize");
        s_nullsExpected++;
        return 0;
    }
    STEP_CHECK(q != 0, "%s(%u -> %u, kind %d) failed", what, old, size, b.kind);
    if (b.kind == kRelDirect)
        STEP_CHECK(q == b.p, "%s: a direct block moved", what);
    if (b.kind == kRelSmall && size + 8 <= RelClassSize(old))
        STEP_CHECK(q == b.p, "%s: a small block moved although its class holds %u", what, size);
    if (size <= old && b.kind != kRelSmall)
        STEP_CHECK(q == b.p, "%s: a shrinking block moved", what);
    uint32_t keep = old < size ? old : size;
    uint32_t bad = checkContent ? RelFindMismatchSampled(q, b.id, 0, keep) : keep;
    STEP_CHECK(bad == keep, "%s: kept byte %u differs (%u -> %u, moved %d)", what, bad, old, size, q != b.p);
    if (size > old && zero) {
        uint32_t nz = RelFindNonZero(q, old, size);
        STEP_CHECK(nz == size, "%s: grown byte %u not zero", what, nz);
    }
    Dirty(b.heap);
    if (q != b.p && b.kind == kRelSmall) {
        b.heap = (int8_t)caller;
        b.kind = (int8_t)KindForSize(size);
    }
    Dirty(b.heap);
    s_liveBytes += size - old;
    b.p = (uint8_t *)q;
    b.size = size;
    return 1;
}

uint32_t PickGeneral()
{
    for (int tries = 0; tries < 8 && s_count; tries++) {
        uint32_t i = s_rng.Below(s_count);
        if (!s_blocks[i].oneSize) return i;
    }
    return kMaxBlocks;
}

void OpRealloc()
{
    uint32_t i = PickGeneral();
    if (i == kMaxBlocks) return;
    Block &b = s_blocks[i];
    CheckBlock(b, "before realloc");
    uint32_t size;
    uint32_t r = s_rng.Below(10);
    if (r < 3 && b.kind == kRelSmall) {
        size = RelClassSize(b.size) - 8 + (s_rng.Below(3)) - 1; /* the class edge */
    } else if (r < 5) {
        size = b.size + s_rng.Range(0, 64);
        if (size >= b.size && s_rng.Chance(50) && b.size) size = b.size - s_rng.Range(1, b.size < 64 ? b.size : 64);
    } else if (b.kind == kRelDirect && r < 8) {
        size = s_rng.Range(0, b.reserved);   /* sometimes past what the reservation holds */
    } else {
        size = PickSize();
    }
    if (s_liveBytes + size > kMaxLiveBytes && size > b.size) size = b.size;
    if (s_rng.Chance(25)) { /* the realloc hook, under the current default heap */
        int caller = CurrentDefault();
        if (size == 0) size = 1;
        void *q = VRHookRealloc(b.p, size);
        if (SettleResize(b, q, size, caller, ZeroInit(caller), "VRHookRealloc")) Restamp(b);
    } else {
        int caller = (int)s_rng.Below(kGeneral);
        int zero = (int)s_rng.Below(2);
        void *q = s_heaps[caller]->Realloc(b.p, size, zero);
        if (SettleResize(b, q, size, caller, zero | ZeroInit(caller), "Realloc")) Restamp(b);
        Dirty(caller);
    }
    CheckBlock(b, "after realloc");
    s_opsOk++;
}

/* ---- editing ---------------------------------------------------------- */

/* Calls that must be refused, leaving the block as it was: ranges outside
   the block, and sizes that would pass 2^32. */
void OpRefusedEdit(Block &b, VR_Heap &heap, int caller)
{
    uint32_t n = b.size;
    uint32_t wrap = 0xFFFFFFFFu - n + 1 + s_rng.Below(n);  /* n + wrap passes 2^32 */
    void *q = 0;
    const char *what;
    switch (s_rng.Below(n ? 6 : 3)) {
    case 0: {
        what = "Cut past the end";
        uint32_t off = s_rng.Range(0, n);
        q = heap.Cut(b.p, off, n - off + s_rng.Range(1, 10));
        break;
    }
    case 1:
        what = "Cut from beyond the end";
        q = heap.Cut(b.p, n + s_rng.Range(1, 10), s_rng.Range(1, 5));
        break;
    case 2:
        what = "Insert beyond the end";
        q = heap.Insert(b.p, n + s_rng.Range(1, 10), s_source, s_rng.Range(1, 100));
        break;
    case 3: {
        what = "Trim past the end";
        uint32_t start = s_rng.Range(1, n);
        q = heap.Trim(b.p, start, n - start + s_rng.Range(1, 100));
        break;
    }
    case 4:
        what = "ExpandBy past 2^32";
        q = heap.ExpandBy(b.p, wrap, (int)s_rng.Below(2));
        break;
    default: {
        uint32_t form = s_rng.Below(3);
        what = form == 0 ? "Insert past 2^32" : form == 1 ? "Append past 2^32" : "Prepend past 2^32";
        q = form == 0 ? heap.Insert(b.p, s_rng.Range(0, n), 0, wrap)
                      : form == 1 ? heap.Append(b.p, 0, wrap) : heap.Prepend(b.p, 0, wrap);
    }
    }
    STEP_CHECK(q == 0, "%s was not refused", what);
    CheckBlock(b, what);
    Dirty(caller);
    Dirty(b.heap);
    s_refused++;
}

/* Edits move bytes around inside a block: up to 256 KB a block is compared
   byte for byte after one, only longer ones by samples. */
uint32_t EditMismatch(const void *p, uint32_t id, uint32_t from, uint32_t to, uint32_t delta = 0)
{
    return to - from <= (256u << 10) ? RelFindMismatch(p, id, from, to, delta)
                                      : RelFindMismatchSampled(p, id, from, to, delta);
}

void OpEdit()
{
    uint32_t i = PickGeneral();
    if (i == kMaxBlocks) return;
    Block &b = s_blocks[i];
    CheckBlock(b, "before edit");
    int caller = (int)s_rng.Below(kGeneral);
    VR_Heap &heap = *s_heaps[caller];
    if (s_rng.Chance(12)) {
        OpRefusedEdit(b, heap, caller);
        return;
    }
    uint32_t n = b.size, id = b.id;
    uint32_t grow = s_rng.Chance(90) ? s_rng.Range(0, 300) : s_rng.Range(0, kSourceSize);
    if (s_liveBytes + grow > kMaxLiveBytes) grow = 0;
    uint32_t which = s_rng.Below(6);
    void *q = 0;
    const char *what = "";
    if (which == 0) { /* Cut */
        what = "Cut";
        uint32_t off = s_rng.Range(0, n), cnt = s_rng.Range(0, n - off);
        q = heap.Cut(b.p, off, cnt);
        STEP_CHECK(q == b.p, "Cut moved or failed the block");
        STEP_CHECK(heap.GetBlockSize(q) == n - cnt, "Cut size");
        uint32_t bad = EditMismatch(q, id, 0, off);
        STEP_CHECK(bad == off, "Cut head differs at %u", bad);
        bad = EditMismatch(q, id, off, n - cnt, cnt);
        STEP_CHECK(bad == n - cnt, "Cut tail differs at %u (off %u cnt %u n %u)", bad, off, cnt, n);
        s_liveBytes -= cnt;
        b.size = n - cnt;
    } else if (which == 1) { /* Trim */
        what = "Trim";
        uint32_t start = s_rng.Chance(30) ? 0 : s_rng.Range(0, n), len;
        if (start == 0 && s_rng.Chance(40)) len = n + grow;
        else len = s_rng.Range(0, n - start);
        q = heap.Trim(b.p, start, len);
        if (len > n) {
            if (!SettleResize(b, q, len, caller, ZeroInit(caller), "Trim")) goto done;
        } else {
            STEP_CHECK(q == b.p, "Trim moved or failed a shrinking block");
            uint32_t bad = EditMismatch(q, id, 0, len, start);
            STEP_CHECK(bad == len, "Trim content differs at %u", bad);
            s_liveBytes -= n - len;
            b.size = len;
        }
    } else if (which == 2) { /* ExpandBy */
        what = "ExpandBy";
        int zero = (int)s_rng.Below(2);
        q = heap.ExpandBy(b.p, grow, zero);
        if (grow == 0) STEP_CHECK(q == b.p, "ExpandBy 0 changed the block");
        if (!SettleResize(b, q, n + grow, caller, zero | ZeroInit(caller), "ExpandBy")) goto done;
    } else { /* Insert, Append, Prepend */
        int fromSource = s_rng.Chance(75);
        const void *src = fromSource ? s_source : 0;
        if (grow > kSourceSize) grow = kSourceSize;
        /* Or a piece of the block itself, which the call may move. */
        uint32_t from = 0;
        int fromSelf = !fromSource && n && s_rng.Chance(50);
        if (fromSelf) {
            from = s_rng.Below(n);
            grow = s_liveBytes + (n - from) > kMaxLiveBytes ? 0 : s_rng.Range(0, n - from);
            src = b.p + from;
        }
        uint32_t off;
        if (which == 3) { what = "Insert"; off = s_rng.Range(0, n); q = heap.Insert(b.p, off, src, grow); }
        else if (which == 4) { what = "Append"; off = n; q = heap.Append(b.p, src, grow); }
        else { what = "Prepend"; off = 0; q = heap.Prepend(b.p, src, grow); }
        if (grow == 0) STEP_CHECK(q == b.p, "%s of 0 bytes changed the block", what);
        if (b.kind == kRelDirect && !DirectFits(b.reserved, n + grow)) {
            STEP_CHECK(q == 0, "%s grew a direct block past its reservation", what);
            CheckBlock(b, "refused insert");
            s_nullsExpected++;
            goto done;
        }
        STEP_CHECK(q != 0, "%s of %u bytes failed", what, grow);
        uint32_t bad = EditMismatch(q, id, 0, off);
        STEP_CHECK(bad == off, "%s head differs at %u", what, bad);
        if (fromSource) {
            bad = EditMismatch((uint8_t *)q + off, kSourceId, 0, grow);
            STEP_CHECK(bad == grow, "%s inserted byte %u differs", what, bad);
        } else if (fromSelf) {
            bad = EditMismatch((uint8_t *)q + off, id, 0, grow, from);
            STEP_CHECK(bad == grow, "%s of the block's own bytes %u.. differs at %u", what, from, bad);
        } else {
            bad = RelFindNonZero((uint8_t *)q + off, 0, grow);
            STEP_CHECK(bad == grow, "%s inserted zero byte %u differs", what, bad);
        }
        bad = EditMismatch(q, id, off + grow, n + grow, (uint32_t)0 - grow);
        STEP_CHECK(bad == n + grow, "%s tail differs at %u", what, bad);
        /* The content was checked above; only the placement rules remain. */
        SettleResize(b, q, n + grow, caller, 0, what, 0);
    }
    Restamp(b);
    CheckBlock(b, what);
    Dirty(caller);
    Dirty(b.heap);
    s_opsOk++;
done:
    return;
}

/* ---- whole-heap operations -------------------------------------------- */

uint8_t *s_visit[kMaxBlocks + 16];
uint32_t s_visitCount;

void Collect(void *block, void *)
{
    if (s_visitCount < kMaxBlocks + 16) s_visit[s_visitCount] = (uint8_t *)block;
    s_visitCount++;
}

void CompareForEach(int h)
{
    s_visitCount = 0;
    s_heaps[h]->ForEach(Collect, 0);
    static uint8_t *expect[kMaxBlocks];
    uint32_t n = 0;
    for (uint32_t i = 0; i < s_count; i++)
        if (!s_blocks[i].oneSize && s_blocks[i].heap == h) expect[n++] = s_blocks[i].p;
    STEP_CHECK(s_visitCount == n, "ForEach on heap %d visited %u blocks, model has %u", h, s_visitCount, n);
    std::sort(s_visit, s_visit + n);
    std::sort(expect, expect + n);
    for (uint32_t i = 0; i < n; i++)
        STEP_CHECK(s_visit[i] == expect[i], "ForEach on heap %d visited %p, model expects %p", h,
                   (void *)s_visit[i], (void *)expect[i]);
}

void FullCheck()
{
    for (uint32_t i = 0; i < s_count; i++) CheckBlock(s_blocks[i], "full check");
    for (int h = 0; h < kGeneral; h++) CompareForEach(h);
    s_dirty = 0xFF;
    Validate();
    s_fullChecks++;
}

void *s_target;
uint32_t s_predicateCalls;
int IsTarget(void *block, void *context)
{
    s_predicateCalls++;
    return block == context;
}
int Never(void *, void *) { s_predicateCalls++; return 0; }

void OpFind()
{
    int h = (int)s_rng.Below(kGeneral);
    uint32_t n = 0, pick = kMaxBlocks;
    for (uint32_t i = 0; i < s_count; i++)
        if (!s_blocks[i].oneSize && s_blocks[i].heap == h && s_rng.Below(++n) == 0) pick = i;
    s_predicateCalls = 0;
    STEP_CHECK(s_heaps[h]->FindFirstThat(Never, 0) == 0, "FindFirstThat(never) found a block");
    STEP_CHECK(s_predicateCalls == n, "FindFirstThat asked %u blocks of %u", s_predicateCalls, n);
    if (pick != kMaxBlocks) {
        void *found = s_heaps[h]->FindFirstThat(IsTarget, s_blocks[pick].p);
        STEP_CHECK(found == s_blocks[pick].p, "FindFirstThat missed a live block");
    }
    s_opsOk++;
}

void PopSwitch()
{
    s_switchDepth--;
    ((VR_HeapSwitcher *)s_switchStore[s_switchDepth])->~VR_HeapSwitcher();
    VR_Heap *expect = s_heaps[CurrentDefault()];
    STEP_CHECK(&VR_Heap::Default() == expect, "switcher did not restore the default heap");
}

void OpSwitch()
{
    if (s_switchDepth > 0 && (s_switchDepth == kMaxSwitch || s_rng.Chance(45))) {
        PopSwitch();
    } else {
        int h = (int)s_rng.Below(kGeneral);
        new (s_switchStore[s_switchDepth]) VR_HeapSwitcher(*s_heaps[h]);
        s_switchHeap[s_switchDepth++] = h;
        STEP_CHECK(&VR_Heap::Default() == s_heaps[h], "switcher did not set the default heap");
    }
    s_opsOk++;
}

/* After a Clear or the end of heap h: none of its blocks is library
   memory any more, and the model forgets them. */
void DropHeap(int h)
{
    for (uint32_t i = s_count; i-- > 0;)
        if (!s_blocks[i].oneSize && s_blocks[i].heap == h) {
            STEP_CHECK(!IsDynamicMemory(s_blocks[i].p), "block %p of heap %d outlived its heap's pages",
                       (void *)s_blocks[i].p, h);
            Untrack(i);
        }
}

void OpClear()
{
    int h = (int)s_rng.Below(kGeneral);
    uint32_t regions = RelReservedRegions();
    s_heaps[h]->Clear();
    DropHeap(h);
    STEP_CHECK(RelReservedRegions() <= regions, "Clear reserved memory");
    CompareForEach(h);
    Dirty(h);
    s_opsOk++;
}

void OpReplaceHeap()
{
    while (s_switchDepth) PopSwitch();
    int h = (int)s_rng.Below(kGeneral);
    delete s_heaps[h];
    DropHeap(h);
    s_heaps[h] = new VR_Heap(kHeapFlags[h]);
    STEP_CHECK(s_heaps[h] != 0, "new VR_Heap failed");
    CompareForEach(h);
    Dirty(h);
    s_opsOk++;
}

void OpOneSizeClear()
{
    int h = (int)s_rng.Below(kOneSize);
    s_one[h]->Clear();
    for (uint32_t i = s_count; i-- > 0;)
        if (s_blocks[i].oneSize && s_blocks[i].heap == h) Untrack(i);
    Dirty(h, 1);
    s_opsOk++;
}

/* Once the model is empty, no heap of the run holds a block: in use or
   on its lists of big and direct blocks. */
void CheckEmpty()
{
    static VR_HeapStats stats[64];
    unsigned long n = VR_GetStats(0, stats, 64);
    int seen = 0;
    for (unsigned long i = 0; i < n; i++) {
        for (int h = 0; h < kGeneral; h++)
            if (stats[i].heap == s_heaps[h]) {
                seen++;
                STEP_CHECK(stats[i].blocksInUse == 0 && stats[i].bigBlocks == 0 && stats[i].directBlocks == 0,
                           "heap %d keeps %lu blocks (%lu big, %lu direct) the model freed", h,
                           stats[i].blocksInUse, stats[i].bigBlocks, stats[i].directBlocks);
            }
        for (int h = 0; h < kOneSize; h++)
            if (stats[i].heap == s_one[h]) {
                seen++;
                STEP_CHECK(stats[i].blocksInUse == 0, "one-size heap %d keeps %lu blocks the model freed", h,
                           stats[i].blocksInUse);
            }
    }
    STEP_CHECK(seen == kGeneral + kOneSize, "the statistics describe %d of the run's heaps", seen);
}

void RunSeed(uint64_t seed, uint64_t ops, uint64_t fullEvery, int verbose)
{
    s_rng = RelRng(seed);
    s_seed = seed;
    for (int h = 0; h < kGeneral; h++) s_heaps[h] = new VR_Heap(kHeapFlags[h]);
    s_heaps[kDefault] = &DefaultHeap;
    for (int h = 0; h < kOneSize; h++) s_one[h] = new VR_HeapOneSize(kOneSizes[h], kOneSizeFlags[h]);
    uint32_t target = 200;
    for (s_step = 0; s_step < ops; s_step++) {
        if (s_count >= target || s_liveBytes > kMaxLiveBytes) target = s_rng.Range(0, 300);
        else if (s_count + 1 < target / 2 || s_count == 0) target = s_rng.Range(target, 2000);
        int growing = s_count < target && s_liveBytes < kMaxLiveBytes;
        uint32_t r = s_rng.Below(1000);
        if (r < 10) OpSwitch();
        else if (r < 14) OpFind();
        else if (r == 14 && s_rng.Chance(20)) OpClear();
        else if (r == 15 && s_rng.Chance(10)) OpReplaceHeap();
        else if (r == 16 && s_rng.Chance(20)) OpOneSizeClear();
        else if (r < 150) OpRealloc();
        else if (r < 280) OpEdit();
        else if (r < 380) { if (growing) OpOneSizeAlloc(); else OpFree(); }
        else if (growing ? r < 800 : r < 450) OpAlloc();
        else OpFree();
        Validate();
        if (fullEvery && s_step % fullEvery == fullEvery - 1) FullCheck();
    }
    FullCheck();
    /* Output may allocate through the runtime: not while a test heap is the
       thread's default. */
    while (s_switchDepth) PopSwitch();
    if (verbose)
        printf("seed %llu: %llu steps, %u blocks live at the end\n", (unsigned long long)seed,
               (unsigned long long)ops, s_count);
    /* Free what is left one by one, then give the heaps back. */
    while (s_count) {
        Block b = s_blocks[s_count - 1];
        if (b.oneSize) VR_HeapOneSize::FreeMem(b.p); else VR_Heap::FreeMem(b.p);
        Dirty(b.heap, b.oneSize);
        Untrack(s_count - 1);
    }
    FullCheck();
    CheckEmpty();
    for (int h = 0; h < kGeneral; h++) delete s_heaps[h];
    for (int h = 0; h < kOneSize; h++) delete s_one[h];
}

} // namespace

int main(int argc, char **argv)
{
    uint64_t ops = RelArg(argc, argv, "--ops", 260000);
    uint64_t fullEvery = RelArg(argc, argv, "--full", 5000);
    int verbose = RelFlag(argc, argv, "--verbose");
    s_page = RelPageSize();
    RelStamp(s_source, kSourceId, 0, kSourceSize);
    uint64_t first = 1, last = 4;
    const char *env = getenv("VORREL_SEED");
    uint64_t seed = RelArg(argc, argv, "--seed", env ? strtoull(env, 0, 0) : 0);
    if (seed) first = last = seed;
    uint32_t regions = RelReservedRegions();
    for (uint64_t seed = first; seed <= last; seed++) RunSeed(seed, ops, fullEvery, verbose);
    printf("rel_model: %llu operations over seeds %llu..%llu (%llu refused as predicted, %llu bad "
           "calls refused), %llu full checks, nothing lost; reserved regions %u -> %u\n",
           (unsigned long long)s_opsOk, (unsigned long long)first, (unsigned long long)last,
           (unsigned long long)s_nullsExpected, (unsigned long long)s_refused,
           (unsigned long long)s_fullChecks, regions,
           RelReservedRegions());
    return 0;
}
