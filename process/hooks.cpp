/*
 * hooks.cpp - the interception of the runtimes' allocators. At load, before
 * the process heaps are constructed, the first five bytes of malloc, calloc,
 * free, realloc, _msize, operator new and operator delete of every runtime
 * the platform names (and the entries its target adds, hooks_<target>.cpp)
 * become a relative jump into the replacements below, so every allocation
 * of the process is served from the calling thread's default heap; then
 * the library pins itself, since those jumps lead into it for good. Blocks
 * a runtime handed out before that stay the runtime's: they are never
 * freed, realloc copies them out, and each runtime's _msize asks that
 * runtime: through a copy of its first instructions (a trampoline) where
 * they can be moved, else by briefly putting its original code back.
 *
 * The replacements take no lock of their own on their usual paths; only
 * that last way of _msize serialises on the process lock, because it
 * rewrites code that other threads may be about to run.
 */
#include <string.h>

#include "os_memory.h"
#include "process_internal.h"

volatile int s_hooksInstalled;
VR_RuntimeMsize s_msize[vr_os::kMaxRuntimes];
const void *(*s_entryRedirect)(const uint8_t *entry, const void *replacement);

/* A target's own replacement of a shared entry (null: the shared one below
   serves); filled by the target's sources before the hooks go in. */
const void *s_targetReplacements[vr_os::kMaxRuntimes][vr_os::kEntryCount];

namespace {

/* The replacement of each runtime entry, in vr_os::RuntimeEntry order;
   _msize's differs per runtime (kMsizeHooks). */
void *const kReplacements[vr_os::kEntryCount] = {
    (void *)&VRHookMalloc, (void *)&VRHookCalloc, (void *)&VRHookFree,  (void *)&VRHookRealloc,
    (void *)&VRGetBlockSize, (void *)&VRHookNew, (void *)&VRHookDelete,
};

/* Each runtime's _msize gets a replacement of its own, so that a block
   the library does not own is measured by the runtime it came from. Slot
   0's is the exported VRGetBlockSize. */
template <int R>
size_t MsizeHook(void *block)
{
    if (IsLibraryMemory(block)) return VRGetBlockSize(block);
    return RuntimeBlockSize(R, block);
}

size_t (*const kMsizeHooks[vr_os::kMaxRuntimes])(void *) = {
    &VRGetBlockSize, &MsizeHook<1>, &MsizeHook<2>, &MsizeHook<3>, &MsizeHook<4>,
    &MsizeHook<5>,   &MsizeHook<6>, &MsizeHook<7>, &MsizeHook<8>,
};
static_assert(vr_os::kMaxRuntimes == 9, "one _msize replacement per runtime slot");

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

/* Room for the trampolines: the _msize of every runtime and a few more
   entries whose original code the replacements call. Handed out under the
   process lock, while the hooks are installed, and never given back. */
const uint32_t kTrampolineSize = 32;
const uint32_t kTrampolineSlots = 2 * vr_os::kMaxRuntimes;
alignas(16) uint8_t s_trampolineCode[kTrampolineSlots][kTrampolineSize];
uint32_t s_trampolinesUsed;
int s_trampolinesWritable;

} // namespace

void *BuildTrampoline(uint8_t *entry)
{
    uint32_t moved = 0;
    while (moved < kJumpLength) {
        uint32_t n = MovableLength(entry + moved);
        if (!n) return 0;
        moved += n;
    }
    if (moved + kJumpLength > kTrampolineSize || s_trampolinesUsed >= kTrampolineSlots) return 0;
    if (!s_trampolinesWritable) {
        uintptr_t first;
        uint32_t length = PatchSpan((uintptr_t)s_trampolineCode, vr_os::SystemPageSize(),
                                    sizeof s_trampolineCode, &first);
        if (!vr_os::MakeCodeWritable((void *)first, length)) return 0;
        s_trampolinesWritable = 1;
    }
    uint8_t *code = s_trampolineCode[s_trampolinesUsed++];
    memcpy(code, entry, moved);
    WriteJump(code + moved, entry + moved);
    return code;
}

void PatchRuntimeEntry(uint8_t *entry, const void *replacement)
{
    /* In checking mode the entry leads to the checking room instead. */
    if (s_entryRedirect) replacement = s_entryRedirect(entry, replacement);
    if (!entry || entry == replacement) return;
    uintptr_t first;
    uint32_t length = PatchSpan((uintptr_t)entry, vr_os::SystemPageSize(), kJumpLength, &first);
    if (!vr_os::MakeCodeWritable((void *)first, length)) return;
    WriteJump(entry, replacement);
}

int EntryLeadsTo(const uint8_t *entry, const void *replacement)
{
    if (s_entryRedirect) replacement = s_entryRedirect(entry, replacement);
    return entry && entry[0] == kJumpOpcode &&
           *(const uint32_t *)(entry + 1) == JumpDisplacement(entry, replacement);
}

void InstallRuntimeHooks()
{
    if (s_hooksInstalled) return;

    /* Every entry is looked up before any is patched and before the process
       lock is taken: the system's module lookup may allocate (through the
       very entries being patched) and takes the loader's lock, which must
       never wait behind ours. Looking up twice is harmless. */
    void *entries[vr_os::kMaxRuntimes][vr_os::kEntryCount];
    for (int r = 0; r < vr_os::kMaxRuntimes; r++) {
        int loaded = vr_os::RuntimeLoaded(r);
        for (int i = 0; i < vr_os::kEntryCount; i++) entries[r][i] = loaded ? vr_os::FindRuntimeEntry(r, i) : 0;
    }
    FindTargetEntries();

    int patched = 0;
    {
        EnsureProcessLock();
        VR_ProcessLockGuard guard;
        if (s_hooksInstalled) return;
        /* Set before the first write, so that a call arriving while the
           entries are being patched does not try again. */
        s_hooksInstalled = 1;

        for (int r = 0; r < vr_os::kMaxRuntimes; r++) {
            for (int i = 0; i < vr_os::kEntryCount; i++) {
                uint8_t *entry = (uint8_t *)entries[r][i];
                const void *replacement = i == vr_os::kEntryMsize ? (const void *)kMsizeHooks[r]
                                          : s_targetReplacements[r][i] ? s_targetReplacements[r][i]
                                                                    : kReplacements[i];
                if (!entry || entry == replacement) continue;
                if (i == vr_os::kEntryMsize) {
                    /* Saved before anything is written: the runtime's own
                       code still measures the blocks it made itself. */
                    VR_RuntimeMsize &m = s_msize[r];
                    m.entry = entry;
                    m.saved.low = *(const uint32_t *)entry;
                    m.saved.high = *(const uint16_t *)(entry + 4);
                    m.trampoline = (size_t(*)(void *))BuildTrampoline(entry);
                    /* The sixth byte is rewritten too when the original
                       code is put back for a call. */
                    uintptr_t first;
                    uint32_t length = PatchSpan((uintptr_t)entry, vr_os::SystemPageSize(), kMsizeSavedLength, &first);
                    if (!vr_os::MakeCodeWritable((void *)first, length)) continue;
                }
                PatchRuntimeEntry(entry, replacement);
                if (!EntryLeadsTo(entry, replacement)) continue;
                patched++;
                if (i == vr_os::kEntryMsize) s_msize[r].patched = 1;
            }
        }
        patched += PatchTargetEntries();
    }
    /* Patched entries jump into this library for the rest of the process:
       it must never be unloaded from now on. Outside the process lock, as
       the system takes the loader's lock for it. */
    if (patched) vr_os::PinLibrary();
}

namespace {

struct VR_CallocCall {
    size_t bytes;
};
struct VR_ReallocCall {
    void *block;
    size_t size;
};

/* After the cache missed (malloc's fast half tried it). */
void *MallocBody(void *context)
{
    return vr_front::AllocAfterHookMiss(ThreadDefaultHeap(), *(size_t *)context);
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

/* Puts six bytes at a runtime's _msize entry. Where the entry's first
   eight bytes share an aligned quadword (the usual case: entries are
   aligned), they change in one atomic exchange, so a thread entering _msize
   meanwhile runs either the jump or the runtime's code, never a mix;
   otherwise as a 32-bit and a 16-bit store. */
void WriteMsizeBytes(uint8_t *entry, uint32_t low, uint16_t high)
{
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

struct VR_RuntimeMsizeCall {
    size_t (*msize)(void *);
    void *block;
    size_t result;
};

void *RuntimeMsizeBody(void *context)
{
    VR_RuntimeMsizeCall *call = (VR_RuntimeMsizeCall *)context;
    call->result = call->msize(call->block);
    return 0;
}

} // namespace

/* The allocating hooks try the thread's cache before anything else: a
   block waiting there needs neither the guard nor a call into the heap. */
/* Out of line, so that the common case of its callers keeps a short frame. */
VR_SLOW_PATH void *MallocAfterMiss(size_t size)
{
    void *result;
    vr_os::CallGuarded(MallocBody, &size, &result);
    return result;
}

extern "C" VR_API void *VRHookMalloc(size_t size)
{
    if (!size) return 0;
    return vr_front::AllocOr(&ThreadDefaultHeap(), (uint32_t)size, [=] { return MallocAfterMiss(size); });
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
   The common case is inline here; the rest of FreeMem runs only for a
   block that goes back under its heap's lock. */
extern "C" VR_API void VRHookFree(void *block)
{
    if (VR_LIKELY(vr_front::FreeFast(block))) return;
    vr_front::FreeAfterMiss(block);
}

/* Not a second function but a second name: free's and delete's entries
   jump to the same code. */
extern "C" VR_API void VRHookDelete(void *block) __attribute__((alias("VRHookFree")));
extern "C" void VRFreeLocal(void *block) noexcept __attribute__((alias("VRHookFree")));

/* operator new: an empty request still gets a block, and exhausted memory
   yields null rather than an exception. */
extern "C" VR_API void *VRHookNew(size_t size)
{
    VR_Heap &heap = ThreadDefaultHeap();
    return vr_front::AllocOr(&heap, (uint32_t)size, [&] { return vr_front::AllocAfterHookMiss(heap, size); });
}

extern "C" VR_API size_t VRGetBlockSize(void *block)
{
    if (IsLibraryMemory(block)) {
        const uint8_t *p = (const uint8_t *)block;
        /* Only a live block's start has a size: a pointer inside a block,
           into a page set's header or its uncommitted pages, or to a freed
           block carries no seal (or a free flag), and its bytes in front
           are no header to read a size from. */
        if (!IsLiveBlock(block)) return 0;
        if (BlockFlagsOf(block) & kBlockAlt) return *(const uint32_t *)(p - 24);
        return *(const uint16_t *)(p - 4);
    }
    return RuntimeBlockSize(0, block);
}

extern "C" size_t VRGetBlockSizeLocal(void *block) __attribute__((alias("VRGetBlockSize")));

size_t RuntimeBlockSize(int runtime, void *block)
{
    /* Null has no size, and the runtime's answer for it is not to be
       relied on. */
    if (!block) return 0;
    VR_RuntimeMsize *m = runtime >= 0 && runtime < vr_os::kMaxRuntimes ? &s_msize[runtime] : 0;
    if (!m || !m->entry) {
        /* A runtime without _msize of its own (or the exported function
           called by a program of none): the first runtime that has one. */
        m = 0;
        for (int r = 0; r < vr_os::kMaxRuntimes && !m; r++)
            if (s_msize[r].entry) m = &s_msize[r];
        if (!m) return 0;
    }
    VR_RuntimeMsizeCall call = {(size_t(*)(void *))(void *)m->entry, block, 0};
    void *unused;
    if (!m->patched) {
        /* The entry still holds the runtime's own code. */
        vr_os::CallGuarded(RuntimeMsizeBody, &call, &unused);
        return call.result;
    }
    if (m->trampoline) {
        /* The usual way: the runtime's code is run from the copy of its
           first instructions, and the entry is never rewritten. Other
           threads entering _msize directly while its original bytes were
           back in place could otherwise be caught half-way through them by
           the re-patch. */
        return m->trampoline(block);
    }
    /* Restore, call, re-patch, with the process lock held throughout so a
       second thread on this path never runs a half-restored entry. The
       runtime's _msize takes no lock of ours, so holding the process lock
       across it cannot deadlock; the guard makes sure the jump is back and
       the lock left even when the runtime faults on a bad pointer. */
    VR_ProcessLockGuard guard;
    uint32_t patchedLow = *(volatile uint32_t *)m->entry;
    uint16_t patchedHigh = *(volatile uint16_t *)(m->entry + 4);
    WriteMsizeBytes(m->entry, m->saved.low, m->saved.high);
    if (!vr_os::CallGuarded(RuntimeMsizeBody, &call, &unused)) call.result = 0;
    WriteMsizeBytes(m->entry, patchedLow, patchedHigh);
    return call.result;
}
