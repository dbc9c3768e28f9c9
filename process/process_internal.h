/*
 * process_internal.h - what the process integration shares between its
 * sources (and with its tests): the thread's default heap, the state of the
 * runtime interception, and the arithmetic of the patch.
 */
#ifndef VR_PROCESS_INTERNAL_H
#define VR_PROCESS_INTERNAL_H

#include <stdint.h>

#include "front/front.h"
#include "os_runtime.h"
#include "os_thread.h"

/*
 * t_defaultHeap: the calling thread's default heap, null at every thread's
 * start. It lives in the platform's one thread slot (a TLS index on
 * Windows, an initial-exec __thread variable elsewhere): neither ever
 * allocates, which the hooks need, and both are valid in threads that
 * existed before the library was loaded. This object only gives the slot
 * the shape of a pointer variable.
 */
struct VR_ThreadDefaultHeap {
    operator VR_Heap *() const { return (VR_Heap *)vr_os::ThreadSlotGet(); }
    const VR_ThreadDefaultHeap &operator=(VR_Heap *heap) const
    {
        vr_os::ThreadSlotSet(heap);
        return *this;
    }
};
static const VR_ThreadDefaultHeap t_defaultHeap = {};

/* The calling thread's default heap; a thread that never chose one gets
   DefaultHeap, which is recorded so the next lookup is one load. */
inline VR_Heap &ThreadDefaultHeap()
{
    VR_Heap *h = t_defaultHeap;
    if (!h) {
        h = &DefaultHeap;
        t_defaultHeap = h;
    }
    return *h;
}

/* The first six bytes of the runtime's _msize entry before patching: the
   five the jump covers and one more, so restoring and re-patching are one
   32-bit and one 16-bit store each. */
struct VR_SavedCode {
    uint32_t low;   /* bytes 0-3 */
    uint16_t high;  /* bytes 4-5 */
};

extern volatile int s_hooksInstalled;  /* 1 from the first installation on */

/* The _msize of one runtime slot, kept so that blocks the runtime made
   before the library loaded can still be measured by the runtime's own
   code. Invariant: patched implies entry; trampoline, when set, runs the
   saved instructions and jumps to entry + their length. */
struct VR_RuntimeMsize {
    uint8_t *entry;                 /* the runtime's _msize entry, or null */
    VR_SavedCode saved;             /* its first six bytes before patching */
    int patched;                    /* 1 when the entry holds our jump */
    size_t (*trampoline)(void *);   /* the runtime's code, its entry untouched; or null */
};
extern VR_RuntimeMsize s_msize[vr_os::kMaxRuntimes];

/* Patches the runtimes' entry points, once per process. */
void InstallRuntimeHooks();

/* Writes the jump to replacement over the first five bytes of entry, after
   making the pages they lie on writable; leaves the entry as it is when
   that fails, when entry is null or when it is the replacement itself. The
   one way every table of entries (shared or a target's own) is patched. */
void PatchRuntimeEntry(uint8_t *entry, const void *replacement);

/* A target's own replacement for entries of the shared table, by runtime
   slot and vr_os::RuntimeEntry; null where the shared replacement serves.
   Written only before InstallRuntimeHooks first runs. */
extern const void *s_targetReplacements[vr_os::kMaxRuntimes][vr_os::kEntryCount];

/* Set by a room above (the checking mode) before the hooks are installed:
   the replacement that PatchRuntimeEntry and EntryLeadsTo use for entry
   instead of the usual one (it returns replacement to keep it). Null: the
   usual replacements serve. */
extern const void *(*s_entryRedirect)(const uint8_t *entry, const void *replacement);

/* 1 when entry holds the jump to replacement. */
int EntryLeadsTo(const uint8_t *entry, const void *replacement);

/* A copy of the entry's first whole instructions covering the jump,
   followed by a jump back behind them: the entry's original code, callable
   while the entry itself holds our jump. Null when those instructions
   cannot run elsewhere or no room is left. Call before patching. */
void *BuildTrampoline(uint8_t *entry);

/* The size of a block outside library memory as runtime slot `runtime`
   answers it (its _msize, run from the original code); 0 for null and
   when that runtime has no _msize (then the first runtime that has one is
   asked). */
size_t RuntimeBlockSize(int runtime, void *block);

/* malloc after the thread's cache missed (its common case tried it): the
   rest of the allocation, guarded. */
void *MallocAfterMiss(size_t size);

/* The entries a target patches beyond the seven of every runtime (its
   aligned family, _expand and the like): found before the process lock is
   taken (the module lookup may allocate and takes the loader's lock),
   patched under it. PatchTargetEntries returns how many it patched. */
void FindTargetEntries();
int PatchTargetEntries();

enum {
    kJumpOpcode = 0xE9, /* jmp rel32 */
    kJumpLength = 5,
    kMsizeSavedLength = 6
};

/* The pages to make writable before `bytes` bytes are written at entry:
   the page holding the first byte, plus the next one when the last byte
   falls on it. Sets *first and returns the length (pageSize or twice it). */
inline uint32_t PatchSpan(uintptr_t entry, uint32_t pageSize, uint32_t bytes, uintptr_t *first)
{
    uintptr_t mask = ~(uintptr_t)(pageSize - 1);
    uintptr_t firstPage = entry & mask;
    uintptr_t lastPage = (entry + bytes - 1) & mask;
    *first = firstPage;
    return firstPage == lastPage ? pageSize : 2 * pageSize;
}

/* The displacement of a jump at entry that lands on target. */
inline uint32_t JumpDisplacement(const void *entry, const void *target)
{
    return (uint32_t)((uintptr_t)target - ((uintptr_t)entry + kJumpLength));
}

/* Length of the instruction at code when it is one that runs the same at
   any address (no relative operand), else 0. Only the forms that begin
   functions are known: pushes, moves, lea, arithmetic with a register or
   immediate, endbr32. Anything else makes the caller fall back. */
inline uint32_t MovableLength(const uint8_t *code)
{
    uint8_t op = code[0];
    if (op >= 0x50 && op <= 0x5F) return 1;                   /* push/pop reg */
    if (op >= 0xB8 && op <= 0xBF) return 5;                   /* mov reg, imm32 */
    if (op == 0x6A) return 2;                                 /* push imm8 */
    if (op == 0x68) return 5;                                 /* push imm32 */
    if (op == 0xF3 && code[1] == 0x0F && code[2] == 0x1E && code[3] == 0xFB) return 4; /* endbr32 */
    uint32_t immediate;
    switch (op) {
    case 0x01: case 0x03: case 0x29: case 0x2B: case 0x31: case 0x33: case 0x39: case 0x3B:
    case 0x85: case 0x89: case 0x8B: case 0x8D:
        immediate = 0;
        break;
    case 0x83: immediate = 1; break;
    case 0x81: immediate = 4; break;
    case 0xFF:
        if (((code[1] >> 3) & 7) != 6) return 0;              /* only push r/m */
        immediate = 0;
        break;
    default:
        return 0;
    }
    uint8_t modrm = code[1];
    uint32_t mod = modrm >> 6, rm = modrm & 7;
    uint32_t length = 2;
    if (mod != 3 && rm == 4) {
        length++;                                             /* SIB byte */
        if (mod == 0 && (code[2] & 7) == 5) length += 4;
    }
    if (mod == 0 && rm == 5) length += 4;
    if (mod == 1) length += 1;
    if (mod == 2) length += 4;
    return length + immediate;
}

/* The replacements the patched entries run, reached from inside the
   library with a direct jump: the hidden second names of exported ones and
   the target's own (the exports of exports_posix.cpp forward to them). */
#ifdef _WIN32
#define VR_LOCAL
#else
#define VR_LOCAL __attribute__((visibility("hidden")))
#endif
extern "C" {
VR_LOCAL void VRFreeLocal(void *block) noexcept;
VR_LOCAL size_t VRGetBlockSizeLocal(void *block);
#ifndef _WIN32
VR_LOCAL void *VRHookMallocPosix(size_t size);
VR_LOCAL void *VRHookCallocPosix(size_t count, size_t size);
VR_LOCAL void *VRHookReallocPosix(void *block, size_t size);
VR_LOCAL void *VRHookNewPosix(size_t size);
VR_LOCAL void *VRHookMemalign(size_t alignment, size_t size);
VR_LOCAL int VRHookPosixMemalign(void **result, size_t alignment, size_t size);
VR_LOCAL void *VRHookAlignedAlloc(size_t alignment, size_t size);
VR_LOCAL void *VRHookValloc(size_t size);
VR_LOCAL void *VRHookPvalloc(size_t size);
VR_LOCAL void *VRHookNewAligned(size_t size, size_t alignment);
VR_LOCAL void *VRHookNewAlignedNothrow(size_t size, size_t alignment) noexcept;
#endif
}

#endif
