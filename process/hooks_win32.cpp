/*
 * hooks_win32.cpp - the entries of the Windows C runtimes that the library
 * serves beyond the seven of every runtime: operator new[] and delete[],
 * _expand, _recalloc and the aligned family (_aligned_malloc, _free,
 * _realloc, _recalloc, _msize and the _offset_ forms), in every runtime slot
 * that exports them.
 *
 * Aligned blocks keep the runtime's own format, so that blocks the runtime
 * made before the library loaded and blocks the library makes can be told
 * apart and both keep working:
 *
 *   base -> +--------------------------------+  a block of the runtime's malloc
 *           | unused (alignment)             |  (the library's, once patched)
 *   slot -> | base                           |  slot = (p - 4) rounded down to 4
 *      p -> | size bytes of the caller       |  (p + offset) aligned
 *           +--------------------------------+  base + recorded size (library blocks)
 *
 * A block whose stored base is library memory is the library's: its base
 * is a live general-heap block whose recorded size ends exactly at p +
 * size. Any other stored base is the runtime's: such blocks are never
 * freed (as free leaves the runtime's blocks alone), reallocation copies
 * them out, and their size is asked of the runtime's own _aligned_msize.
 *
 * Each replacement that can report an error sets the errno of the runtime
 * it replaces, and those that must ask a runtime about its own blocks exist
 * once per runtime slot (templates on the slot). So do malloc, calloc and
 * realloc here: a failed request sets ENOMEM in the calling runtime's errno,
 * as the runtimes do (an empty request, and realloc to nothing, report no
 * error); slot 0's are exported, as Linux's are.
 */
#include <string.h>

#include "os_memory.h"
#include "process_internal.h"

extern "C" {
void *VRHookMallocWin32(size_t size);
void *VRHookCallocWin32(size_t count, size_t size);
void *VRHookReallocWin32(void *block, size_t size);
}

struct VR_RuntimeHooks {
    static void *Expand(void *block, size_t size) { return VR_Access::Big::ExpandInPlace(block, size); }
};

namespace {

enum TargetEntry {
    kNewArray,
    kDeleteArray,
    kExpand,
    kRecalloc,
    kAlignedMalloc,
    kAlignedOffsetMalloc,
    kAlignedFree,
    kAlignedRealloc,
    kAlignedOffsetRealloc,
    kAlignedRecalloc,
    kAlignedOffsetRecalloc,
    kAlignedMsize,
    kTargetEntryCount
};

const char *const kTargetNames[kTargetEntryCount] = {
    "??_U@YAPAXI@Z",  "??_V@YAXPAX@Z",           "_expand",          "_recalloc",
    "_aligned_malloc", "_aligned_offset_malloc",  "_aligned_free",    "_aligned_realloc",
    "_aligned_offset_realloc", "_aligned_recalloc", "_aligned_offset_recalloc", "_aligned_msize",
};

const int kEINVAL = 22;
const int kENOMEM = 12;

/* Found before patching (FindTargetEntries), read afterwards only. */
void *s_targetEntries[vr_os::kMaxRuntimes][kTargetEntryCount];
int *(*s_errnoOf[vr_os::kMaxRuntimes])();
/* Each runtime's own _aligned_msize, for the aligned blocks it made. */
size_t (*s_alignedMsizeOriginal[vr_os::kMaxRuntimes])(void *, size_t, size_t);

void SetErrno(int runtime, int value)
{
    if (s_errnoOf[runtime]) *s_errnoOf[runtime]() = value;
}

/* What the pointer handed to an aligned function is. */
enum AlignedKind { kAlignedLibrary, kAlignedForeign, kAlignedBad };

inline uintptr_t SlotOf(const void *p)
{
    return ((uintptr_t)p - 4) & ~(uintptr_t)3;
}

/* The bytes in front of p that belong to the block at base. */
inline uint32_t Lead(const void *p, const uint8_t *base)
{
    return (uint32_t)((uintptr_t)p - (uintptr_t)base);
}

AlignedKind ClassifyAligned(const void *p, uint8_t **base)
{
    /* The first 64 KB are never mapped: no block's slot lies there. */
    if ((uintptr_t)p < 0x10000) return kAlignedBad;
    uintptr_t slot = SlotOf(p);
    uint8_t *b = *(uint8_t **)slot;
    *base = b;
    if (IsLibraryMemory(b)) {
        /* A live block of ours that holds the slot and p. */
        if (!IsSealedBlock(b) || (BlockFlagsOf(b) & kBlockFree)) return kAlignedBad;
        if ((uintptr_t)b > slot || Lead(p, b) > VRGetBlockSize(b)) return kAlignedBad;
        return kAlignedLibrary;
    }
    /* A pointer into library memory whose slot names no block of ours was
       never made by an aligned function (a plain malloc block, say). */
    if (IsLibraryMemory(p)) return kAlignedBad;
    return kAlignedForeign;
}

/* The alignment an aligned request gets: what it names, and at least the
   8 bytes every block of the runtime's malloc has (an alignment of 0, 1, 2
   or 4 asks for nothing more than a plain block). */
inline uint32_t AlignmentFor(size_t align) { return align > 8 ? (uint32_t)align : 8; }

void *AlignedOffsetMallocIn(int runtime, size_t size, size_t align, size_t offset)
{
    /* The runtime's rules: a power of two (0 counts as one), an offset
       inside the block unless it is 0. */
    if (align & (align - 1)) {
        SetErrno(runtime, kEINVAL);
        return 0;
    }
    if (offset && offset >= size) {
        SetErrno(runtime, kEINVAL);
        return 0;
    }
    uint32_t a = AlignmentFor(align);
    uint32_t gap = (0u - (uint32_t)offset) & 3;
    uint32_t overhead = 4 + gap + (a - 1);  /* at most 2^31 + 6 */
    if (size > 0xFFFFFFFFu - overhead) {
        SetErrno(runtime, kENOMEM);
        return 0;
    }
    uint8_t *base = (uint8_t *)VRHookMalloc(size + overhead);
    if (!base) {
        SetErrno(runtime, kENOMEM);
        return 0;
    }
    /* offset < size, so nothing here passes the block's end. */
    uintptr_t p = (((uintptr_t)base + overhead + offset) & ~(uintptr_t)(a - 1)) - offset;
    *(uint8_t **)SlotOf((void *)p) = base;
    /* The block's recorded size ends where the caller's bytes end, so the
       aligned size is known exactly, whatever alignment a caller names
       later. Only this caller knows the block yet. */
    uint32_t recorded = Lead((void *)p, base) + (uint32_t)size;
    if (BlockFlagsOf(base) & kBlockAlt)
        AltHeaderOf(base)->size = recorded;
    else
        SmallHeaderOf(base)->requestedSize = (uint16_t)recorded;
    return (void *)p;
}

void AlignedFreeIn(void *p)
{
    if (!p) return;
    uint8_t *base;
    if (ClassifyAligned(p, &base) == kAlignedLibrary) VRHookFree(base);
}

struct VR_AlignedMsizeCall {
    size_t (*msize)(void *, size_t, size_t);
    void *p;
    size_t align, offset, result;
};

void *AlignedMsizeBody(void *context)
{
    VR_AlignedMsizeCall *call = (VR_AlignedMsizeCall *)context;
    call->result = call->msize(call->p, call->align, call->offset);
    return 0;
}

/* The caller's bytes of a valid aligned block (kind library or foreign). */
size_t AlignedSizeOf(int runtime, AlignedKind kind, void *p, uint8_t *base, size_t align, size_t offset)
{
    if (kind == kAlignedLibrary) return VRGetBlockSize(base) - Lead(p, base);
    /* The runtime's own answer, from its own code: how much it added to
       the request is its own business. */
    if (s_alignedMsizeOriginal[runtime]) {
        VR_AlignedMsizeCall call = {s_alignedMsizeOriginal[runtime], p, align, offset, 0};
        void *unused;
        if (vr_os::CallGuarded(AlignedMsizeBody, &call, &unused)) return call.result;
        return 0;
    }
    /* No original to ask: the bytes from p to the end of the runtime's
       block, an upper bound. */
    size_t total = RuntimeBlockSize(runtime, base);
    if ((uintptr_t)base > (uintptr_t)p || total < Lead(p, base)) return 0;
    return total - Lead(p, base);
}

size_t AlignedMsizeIn(int runtime, void *p, size_t align, size_t offset)
{
    uint8_t *base = 0;
    AlignedKind kind = p ? ClassifyAligned(p, &base) : kAlignedBad;
    if (kind == kAlignedBad) {
        SetErrno(runtime, kEINVAL);
        return (size_t)-1;
    }
    return AlignedSizeOf(runtime, kind, p, base, align, offset);
}

struct VR_CopyCall {
    void *to;
    const void *from;
    size_t bytes;
};

void *CopyBody(void *context)
{
    VR_CopyCall *call = (VR_CopyCall *)context;
    memcpy(call->to, call->from, call->bytes);
    return 0;
}

/* The bytes that can be read from p on, to the end of its run of pages. */
size_t ReadableFrom(const void *p)
{
    vr_os::RegionInfo info;
    if (!vr_os::QueryRegion(p, &info) || !info.committed) return 0;
    uintptr_t end = info.regionBase + info.regionSize;
    return end > (uintptr_t)p ? end - (uintptr_t)p : 0;
}

void *AlignedOffsetReallocIn(int runtime, void *p, size_t size, size_t align, size_t offset)
{
    if (!p) return AlignedOffsetMallocIn(runtime, size, align, offset);
    if (!size) {
        AlignedFreeIn(p);
        return 0;
    }
    if ((align & (align - 1)) || (offset && offset >= size)) {
        SetErrno(runtime, kEINVAL);
        return 0;
    }
    uint8_t *base;
    AlignedKind kind = ClassifyAligned(p, &base);
    if (kind == kAlignedBad) {
        SetErrno(runtime, kEINVAL);
        return 0;
    }
    size_t old = AlignedSizeOf(runtime, kind, p, base, align, offset);
    uint32_t a = AlignmentFor(align);

    /* A block of ours that stays aligned as asked is resized where it
       lies when its heap can (the recorded size again ends at p + size). */
    if (kind == kAlignedLibrary && (((uintptr_t)p + offset) & (a - 1)) == 0 &&
        size <= 0xFFFFFFFFu - Lead(p, base) && VR_RuntimeHooks::Expand(base, Lead(p, base) + size))
        return p;

    uint8_t *q = (uint8_t *)AlignedOffsetMallocIn(runtime, size, align, offset);
    if (!q) return 0;
    size_t copy = old < size ? old : size;
    if (kind == kAlignedLibrary) {
        memcpy(q, p, copy);
        VRHookFree(base);
        return q;
    }
    /* The runtime's block stays where it is, as realloc leaves it; its
       bytes are read no further than its pages reach. */
    size_t readable = ReadableFrom(p);
    VR_CopyCall call = {q, p, copy < readable ? copy : readable};
    void *unused;
    vr_os::CallGuarded(CopyBody, &call, &unused);
    return q;
}

void *AlignedOffsetRecallocIn(int runtime, void *p, size_t count, size_t size, size_t align, size_t offset)
{
    if (size && count > 0xFFFFFFFFu / size) {
        SetErrno(runtime, kENOMEM);
        return 0;
    }
    size_t bytes = count * size;
    size_t old = 0;
    if (p) {
        uint8_t *base;
        AlignedKind kind = ClassifyAligned(p, &base);
        if (kind == kAlignedBad) {
            SetErrno(runtime, kEINVAL);
            return 0;
        }
        old = AlignedSizeOf(runtime, kind, p, base, align, offset);
    }
    uint8_t *q = (uint8_t *)AlignedOffsetReallocIn(runtime, p, bytes, align, offset);
    if (q && bytes > old) memset(q + old, 0, bytes - old);
    return q;
}

void *RecallocIn(int runtime, void *p, size_t count, size_t size)
{
    if (size && count > 0xFFFFFFFFu / size) {
        SetErrno(runtime, kENOMEM);
        return 0;
    }
    size_t bytes = count * size;
    size_t old = !p ? 0 : IsLibraryMemory(p) ? VRGetBlockSize(p) : RuntimeBlockSize(runtime, p);
    uint8_t *q = (uint8_t *)VRHookRealloc(p, bytes);
    if (!q) {
        if (bytes) SetErrno(runtime, kENOMEM);
        return 0;
    }
    if (bytes > old) memset(q + old, 0, bytes - old);
    return q;
}

void *ExpandIn(int runtime, void *p, size_t size)
{
    if (!p) {
        SetErrno(runtime, kEINVAL);
        return 0;
    }
    /* The runtime's own blocks are not resized: the answer is the one for
       a block that cannot grow where it lies, and the block is untouched. */
    void *q = IsLibraryMemory(p) ? VR_RuntimeHooks::Expand(p, size) : 0;
    if (!q) SetErrno(runtime, kENOMEM);
    return q;
}

/* malloc's two halves, as VRHookMalloc: the thread's cache inline, and
   after a miss the slow half, which does not try the cache again. */
inline void *MallocIn(int runtime, size_t size)
{
    if (__builtin_expect(size == 0, 0)) return 0;
    return vr_front::AllocOr(&ThreadDefaultHeap(), (uint32_t)size, [=] {
        void *p = MallocAfterMiss(size);
        if (!p) SetErrno(runtime, kENOMEM);
        return p;
    });
}

void *CallocIn(int runtime, size_t count, size_t size)
{
    void *p = VRHookCalloc(count, size);
    if (!p && count && size) SetErrno(runtime, kENOMEM);
    return p;
}

void *ReallocIn(int runtime, void *block, size_t size)
{
    void *p = VRHookRealloc(block, size);
    if (!p && size) SetErrno(runtime, kENOMEM);
    return p;
}

/* The replacements of one runtime slot. */
template <int R>
struct VR_SlotHooks {
    static void *Malloc(size_t size) { return MallocIn(R, size); }
    static void *Calloc(size_t count, size_t size) { return CallocIn(R, count, size); }
    static void *Realloc(void *block, size_t size) { return ReallocIn(R, block, size); }
    static void *Expand(void *p, size_t size) { return ExpandIn(R, p, size); }
    static void *Recalloc(void *p, size_t count, size_t size) { return RecallocIn(R, p, count, size); }
    static void *AlignedMalloc(size_t size, size_t align) { return AlignedOffsetMallocIn(R, size, align, 0); }
    static void *AlignedOffsetMalloc(size_t size, size_t align, size_t offset)
    {
        return AlignedOffsetMallocIn(R, size, align, offset);
    }
    static void *AlignedRealloc(void *p, size_t size, size_t align)
    {
        return AlignedOffsetReallocIn(R, p, size, align, 0);
    }
    static void *AlignedOffsetRealloc(void *p, size_t size, size_t align, size_t offset)
    {
        return AlignedOffsetReallocIn(R, p, size, align, offset);
    }
    static void *AlignedRecalloc(void *p, size_t count, size_t size, size_t align)
    {
        return AlignedOffsetRecallocIn(R, p, count, size, align, 0);
    }
    static void *AlignedOffsetRecalloc(void *p, size_t count, size_t size, size_t align, size_t offset)
    {
        return AlignedOffsetRecallocIn(R, p, count, size, align, offset);
    }
    static size_t AlignedMsize(void *p, size_t align, size_t offset) { return AlignedMsizeIn(R, p, align, offset); }
};

void AlignedFree(void *p)
{
    AlignedFreeIn(p);
}

#define VR_SLOT_ROW(R)                                                                                          \
    {                                                                                                           \
        (const void *)&VRHookNew, (const void *)&VRHookDelete, (const void *)&VR_SlotHooks<R>::Expand,          \
            (const void *)&VR_SlotHooks<R>::Recalloc, (const void *)&VR_SlotHooks<R>::AlignedMalloc,            \
            (const void *)&VR_SlotHooks<R>::AlignedOffsetMalloc, (const void *)&AlignedFree,                    \
            (const void *)&VR_SlotHooks<R>::AlignedRealloc, (const void *)&VR_SlotHooks<R>::AlignedOffsetRealloc, \
            (const void *)&VR_SlotHooks<R>::AlignedRecalloc,                                                    \
            (const void *)&VR_SlotHooks<R>::AlignedOffsetRecalloc, (const void *)&VR_SlotHooks<R>::AlignedMsize \
    }

const void *const kTargetReplacements[vr_os::kMaxRuntimes][kTargetEntryCount] = {
    VR_SLOT_ROW(0), VR_SLOT_ROW(1), VR_SLOT_ROW(2), VR_SLOT_ROW(3), VR_SLOT_ROW(4),
    VR_SLOT_ROW(5), VR_SLOT_ROW(6), VR_SLOT_ROW(7), VR_SLOT_ROW(8),
};
static_assert(vr_os::kMaxRuntimes == 9, "one row of replacements per runtime slot");
#undef VR_SLOT_ROW

/* Before the shared installer (priority 200): every slot's malloc, calloc
   and realloc set that slot's errno. */
template <int R> void SetSlotReplacements()
{
    s_targetReplacements[R][vr_os::kEntryMalloc] = R ? (const void *)&VR_SlotHooks<R>::Malloc : (const void *)&VRHookMallocWin32;
    s_targetReplacements[R][vr_os::kEntryCalloc] = R ? (const void *)&VR_SlotHooks<R>::Calloc : (const void *)&VRHookCallocWin32;
    s_targetReplacements[R][vr_os::kEntryRealloc] = R ? (const void *)&VR_SlotHooks<R>::Realloc : (const void *)&VRHookReallocWin32;
}

__attribute__((constructor(199))) void SetTargetReplacements()
{
    SetSlotReplacements<0>(); SetSlotReplacements<1>(); SetSlotReplacements<2>();
    SetSlotReplacements<3>(); SetSlotReplacements<4>(); SetSlotReplacements<5>();
    SetSlotReplacements<6>(); SetSlotReplacements<7>(); SetSlotReplacements<8>();
}

} // namespace

extern "C" void *VRHookMallocWin32(size_t size)
{
    return MallocIn(0, size);
}

extern "C" void *VRHookCallocWin32(size_t count, size_t size)
{
    return CallocIn(0, count, size);
}

extern "C" void *VRHookReallocWin32(void *block, size_t size)
{
    return ReallocIn(0, block, size);
}

void FindTargetEntries()
{
    for (int r = 0; r < vr_os::kMaxRuntimes; r++) {
        int loaded = vr_os::RuntimeLoaded(r);
        for (int e = 0; e < kTargetEntryCount; e++)
            s_targetEntries[r][e] = loaded ? vr_os::FindRuntimeExport(r, kTargetNames[e]) : 0;
        s_errnoOf[r] = loaded ? (int *(*)())vr_os::FindRuntimeExport(r, "_errno") : 0;
    }
}

int PatchTargetEntries()
{
    int patched = 0;
    for (int r = 0; r < vr_os::kMaxRuntimes; r++) {
        for (int e = 0; e < kTargetEntryCount; e++) {
            uint8_t *entry = (uint8_t *)s_targetEntries[r][e];
            const void *replacement = kTargetReplacements[r][e];
            if (!entry || entry == replacement) continue;
            /* Kept before the entry changes: the aligned blocks the runtime
               made itself are measured by its own code. */
            if (e == kAlignedMsize)
                s_alignedMsizeOriginal[r] = (size_t(*)(void *, size_t, size_t))BuildTrampoline(entry);
            PatchRuntimeEntry(entry, replacement);
            if (EntryLeadsTo(entry, replacement)) patched++;
        }
    }
    return patched;
}
