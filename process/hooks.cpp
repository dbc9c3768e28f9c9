/*
 * hooks.cpp - the interception of the runtime's allocator. At load, before
 * the process heaps are constructed, the first five bytes of malloc, calloc,
 * free, realloc, _msize, operator new and operator delete of the shared
 * runtime become a relative jump into the replacements below, so every
 * allocation of the process is served from the calling thread's default
 * heap. Blocks the runtime handed out before that stay the runtime's: they
 * are never freed, realloc copies them out, and _msize asks the runtime:
 * through a copy of the runtime's first instructions (a trampoline) where
 * they can be moved, else by briefly putting its original code back.
 *
 * The replacements take no lock of their own on their usual paths; only
 * that last way of _msize serialises on the process lock, because it
 * rewrites code that other threads may be about to run.
 */
#include <string.h>

#include "process_internal.h"

volatile int s_hooksInstalled;
uint8_t *s_msizeEntry;
VR_SavedCode s_msizeSavedBytes;
int s_msizePatched;
/* The runtime's _msize reached without touching its entry: the whole
   instructions that the jump covers, copied, then a jump back behind them.
   Null when the entry's first instructions are not ones we can move. */
size_t (*s_msizeTrampoline)(void *);

namespace {

/* The replacement of each runtime entry, in vr_os::RuntimeEntry order. */
void *const kReplacements[vr_os::kEntryCount] = {
    (void *)&VRHookMalloc, (void *)&VRHookCalloc, (void *)&VRHookFree,  (void *)&VRHookRealloc,
    (void *)&VRGetBlockSize, (void *)&VRHookNew, (void *)&VRHookDelete,
};

void WriteJump(uint8_t *entry, const void *target)
{
    volatile uint8_t *code = entry;
    uint32_t displacement = JumpDisplacement(entry, target);
    code[0] = kJumpOpcode;
    *(volatile uint32_t *)(code + 1) = displacement;
}

/* The hooks are in place before anything else of the library runs: the
   process heaps (priorities 201 and 202) may be first used through them. */
struct VR_HookInstaller {
    VR_HookInstaller() { InstallRuntimeHooks(); }
};
VR_HookInstaller s_hookInstaller __attribute__((init_priority(200)));

alignas(16) uint8_t s_trampolineCode[32];

/* Builds s_msizeTrampoline from the entry's original code; leaves it null
   when the covered instructions cannot be moved. */
void BuildMsizeTrampoline(uint8_t *entry)
{
    uint32_t moved = 0;
    while (moved < kJumpLength) {
        uint32_t n = MovableLength(entry + moved);
        if (!n) return;
        moved += n;
    }
    if (moved + kJumpLength > sizeof s_trampolineCode) return;
    uintptr_t first;
    uint32_t length = PatchSpan((uintptr_t)s_trampolineCode, vr_os::SystemPageSize(), sizeof s_trampolineCode, &first);
    if (!vr_os::MakeCodeWritable((void *)first, length)) return;
    memcpy(s_trampolineCode, entry, moved);
    WriteJump(s_trampolineCode + moved, entry + moved);
    s_msizeTrampoline = (size_t(*)(void *))(void *)s_trampolineCode;
}

} // namespace

void InstallRuntimeHooks()
{
    if (s_hooksInstalled) return;

    /* Every entry is looked up before any is patched and before the process
       lock is taken: the system's module lookup may allocate (through the
       very entries being patched) and takes the loader's lock, which must
       never wait behind ours. Looking up twice is harmless. */
    void *entries[vr_os::kEntryCount];
    for (int i = 0; i < vr_os::kEntryCount; i++) entries[i] = vr_os::FindRuntimeEntry(i);

    EnsureProcessLock();
    VR_ProcessLockGuard guard;
    if (s_hooksInstalled) return;
    /* Set before the first write, so that a call arriving while the entries
       are being patched does not try again. */
    s_hooksInstalled = 1;

    for (int i = 0; i < vr_os::kEntryCount; i++) {
        uint8_t *entry = (uint8_t *)entries[i];
        if (!entry || entry == kReplacements[i]) continue;
        uint32_t written = kJumpLength;
        if (i == vr_os::kEntryMsize) {
            /* Saved before anything is written: VRGetBlockSize puts these
               six bytes back to call the runtime's own code. */
            s_msizeEntry = entry;
            s_msizeSavedBytes.low = *(const uint32_t *)entry;
            s_msizeSavedBytes.high = *(const uint16_t *)(entry + 4);
            written = kMsizeSavedLength;
            BuildMsizeTrampoline(entry);
        }
        uintptr_t first;
        uint32_t length = PatchSpan((uintptr_t)entry, vr_os::SystemPageSize(), written, &first);
        if (!vr_os::MakeCodeWritable((void *)first, length)) continue;
        WriteJump(entry, kReplacements[i]);
        if (i == vr_os::kEntryMsize) s_msizePatched = 1;
    }
}

namespace {

struct VR_CallocCall {
    size_t bytes;
};
struct VR_ReallocCall {
    void *block;
    size_t size;
};
struct VR_MsizeCall {
    void *block;
    size_t result;
};

void *MallocBody(void *context)
{
    return ThreadDefaultHeap().AllocMem(*(size_t *)context);
}

void *CallocBody(void *context)
{
    size_t bytes = ((VR_CallocCall *)context)->bytes;
    void *block = ThreadDefaultHeap().AllocMem(bytes);
    /* Exactly the requested bytes: the rest of the size class is the heap's. */
    if (block) memset(block, 0, bytes);
    return block;
}

/* A foreign block's size is never asked: the copy takes what the caller
   wants, but no more than the readable run of pages that holds the block,
   so it cannot fault on the pages after it. Memory the system cannot
   describe, or that is not committed, is no block at all: null. */
void *ReallocForeign(void *block, size_t size)
{
    vr_os::RegionInfo info;
    if (!vr_os::QueryRegion(block, &info) || !info.committed) return 0;
    uintptr_t at = (uintptr_t)block;
    uintptr_t end = info.regionBase + info.regionSize;
    if (end <= at || end < info.regionBase) return 0;
    uint32_t available = (uint32_t)(end - at);
    void *copy = ThreadDefaultHeap().AllocMem(size);
    if (!copy) return 0;
    memcpy(copy, block, size < available ? size : available);
    return copy;
}

void *ReallocBody(void *context)
{
    VR_ReallocCall *call = (VR_ReallocCall *)context;
    if (!call->block) return call->size ? ThreadDefaultHeap().AllocMem(call->size) : 0;
    if (IsLibraryMemory(call->block)) {
        if (!call->size) {
            VRHookFree(call->block);
            return 0;
        }
        return ThreadDefaultHeap().Realloc(call->block, call->size, 0);
    }
    /* A foreign block asked to shrink to nothing stays the runtime's. */
    if (!call->size) return 0;
    return ReallocForeign(call->block, call->size);
}

/* Puts six bytes at the _msize entry. Where the entry's first eight bytes
   share an aligned quadword (the usual case: entries are aligned), they
   change in one atomic exchange, so a thread entering _msize meanwhile
   runs either the jump or the runtime's code, never a mix; otherwise as a
   32-bit and a 16-bit store. */
void WriteMsizeBytes(uint32_t low, uint16_t high)
{
    uint8_t *entry = s_msizeEntry;
    if (((uintptr_t)entry & 7) == 0) {
        uint64_t *word = (uint64_t *)entry;
        uint64_t old = __atomic_load_n(word, __ATOMIC_RELAXED);
        uint64_t next;
        do {
            next = (old & 0xFFFF000000000000ull) | ((uint64_t)high << 32) | low;
        } while (!__atomic_compare_exchange_n(word, &old, next, 0, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED));
        return;
    }
    *(volatile uint32_t *)entry = low;
    *(volatile uint16_t *)(entry + 4) = high;
}

void *RuntimeMsizeBody(void *context)
{
    VR_MsizeCall *call = (VR_MsizeCall *)context;
    call->result = ((size_t(*)(void *))s_msizeEntry)(call->block);
    return 0;
}

} // namespace

/* The allocating hooks try the thread's cache before anything else: a
   block waiting there needs neither the guard nor a call into the heap. */
namespace {

/* Out of line, so that the common case above it keeps a short frame. */
__attribute__((noinline)) void *MallocSlow(size_t size)
{
    void *result;
    vr_os::CallGuarded(MallocBody, &size, &result);
    return result;
}

} // namespace

extern "C" VR_API void *VRHookMalloc(size_t size)
{
    if (!size) return 0;
    void *result = VR_Cache::Alloc(&ThreadDefaultHeap(), (uint32_t)size);
    if (__builtin_expect(result != 0, 1)) return result;
    return MallocSlow(size);
}

extern "C" VR_API void *VRHookCalloc(size_t count, size_t size)
{
    VR_CallocCall call;
    if (size && count > 0xFFFFFFFFu / size) return 0;
    call.bytes = count * size;
    void *result;
    vr_os::CallGuarded(CallocBody, &call, &result);
    return result;
}

extern "C" VR_API void *VRHookRealloc(void *block, size_t size)
{
    VR_ReallocCall call = {block, size};
    void *result;
    vr_os::CallGuarded(ReallocBody, &call, &result);
    return result;
}

/* free and operator delete: library blocks go back to their heap (null is
   never library memory); foreign blocks stay with the runtime for good.
   FreeMem makes every test itself, the region map's first, so the hook
   adds nothing to it. */
extern "C" VR_API void VRHookFree(void *block)
{
    VR_Heap::FreeMem(block);
}

/* Not a second function but a second name: free's and delete's entries
   jump to the same code. */
extern "C" VR_API void VRHookDelete(void *block) __attribute__((alias("VRHookFree")));

/* operator new: an empty request still gets a block, and exhausted memory
   yields null rather than an exception. */
extern "C" VR_API void *VRHookNew(size_t size)
{
    VR_Heap &heap = ThreadDefaultHeap();
    void *result = VR_Cache::Alloc(&heap, (uint32_t)size);
    if (__builtin_expect(result != 0, 1)) return result;
    return heap.AllocMem(size);
}

extern "C" VR_API size_t VRGetBlockSize(void *block)
{
    if (IsLibraryMemory(block)) {
        const uint8_t *p = (const uint8_t *)block;
        if (BlockFlagsOf(block) & kBlockAlt) return *(const uint32_t *)(p - 24);
        return *(const uint16_t *)(p - 4);
    }
    /* Null has no size, and the runtime's answer for it is not to be
       relied on. */
    if (!block || !s_msizeEntry) return 0;
    VR_MsizeCall call = {block, 0};
    void *unused;
    if (!s_msizePatched) {
        /* The entry still holds the runtime's own code. */
        vr_os::CallGuarded(RuntimeMsizeBody, &call, &unused);
        return call.result;
    }
    if (s_msizeTrampoline) {
        /* The usual way: the runtime's code is run from the copy of its
           first instructions, and the entry is never rewritten. Other
           threads entering _msize directly while its original bytes were
           back in place could otherwise be caught half-way through them by
           the re-patch. */
        return s_msizeTrampoline(block);
    }
    /* Restore, call, re-patch, with the process lock held throughout so a
       second thread on this path never runs a half-restored entry. The
       runtime's _msize takes no lock of ours, so holding the process lock
       across it cannot deadlock; the guard makes sure the jump is back and
       the lock left even when the runtime faults on a bad pointer. */
    VR_ProcessLockGuard guard;
    uint32_t patchedLow = *(volatile uint32_t *)s_msizeEntry;
    uint16_t patchedHigh = *(volatile uint16_t *)(s_msizeEntry + 4);
    WriteMsizeBytes(s_msizeSavedBytes.low, s_msizeSavedBytes.high);
    if (!vr_os::CallGuarded(RuntimeMsizeBody, &call, &unused)) call.result = 0;
    WriteMsizeBytes(patchedLow, patchedHigh);
    return call.result;
}
