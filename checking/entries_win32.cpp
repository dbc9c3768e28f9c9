/*
 * entries_win32.cpp - the checking entries of the Windows runtimes: in
 * every runtime slot, the seven shared entries, operator new[] and
 * delete[], _expand, _recalloc and the _aligned_ family. They keep the
 * runtime's contract as the usual hooks do (malloc(0) and realloc(NULL, 0)
 * answer null, operator new(0) a block; errors set the runtime's errno).
 *
 * Blocks of _aligned_malloc are checked blocks of their own family, so
 * free of one (or _aligned_free of a malloc block) is reported. Aligned
 * blocks the runtime made before the library loaded stay the runtime's:
 * _aligned_free leaves them, _aligned_realloc copies them out, and their
 * size cannot be asked (-1).
 */
#include <string.h>

#include <windows.h>

#include "checking.h"
#include "pages.h"
#include "os_runtime.h"
#include "process_internal.h"
#include "symbols.h"

namespace {

const int kEINVAL = 22;
const int kENOMEM = 12;

int *(*s_errnoOf[vr_os::kMaxRuntimes])();

void SetErrno(int runtime, int value)
{
    if (s_errnoOf[runtime]) *s_errnoOf[runtime]() = value;
}

void *AllocIn(int runtime, size_t size, size_t align, size_t offset, int kind, uint32_t stack)
{
    void *p = CheckAlloc(size, align < 8 ? 8 : (uint32_t)align, (uint32_t)offset, kind, stack);
    if (!p) SetErrno(runtime, kENOMEM);
    return p;
}

/* The caller's bytes of p: ours, or the runtime's answer for its own. */
size_t OldSize(int runtime, void *p)
{
    if (!p) return 0;
    long n = CheckSizeOf(p);
    if (n >= 0) return (size_t)n;
    return IsLibraryMemory(p) ? 0 : RuntimeBlockSize(runtime, p);
}

void *ReallocIn(int runtime, void *p, size_t size, uint32_t stack)
{
    if (!p) return size ? AllocIn(runtime, size, 8, 0, kKindMalloc, stack) : 0;
    if (!size) {
        /* A library block is freed; the runtime's own stays as it is. */
        if (IsLibraryMemory(p)) CheckFree(p, kKindMalloc, stack);
        return 0;
    }
    void *q = CheckRealloc(p, size, 8, 0, kKindMalloc, stack);
    if (!q) SetErrno(runtime, kENOMEM);
    return q;
}

void *RecallocIn(int runtime, void *p, size_t count, size_t size, uint32_t stack)
{
    if (size && count > 0xFFFFFFFFu / size) {
        SetErrno(runtime, kENOMEM);
        return 0;
    }
    size_t bytes = count * size, old = OldSize(runtime, p);
    uint8_t *q = (uint8_t *)ReallocIn(runtime, p, bytes, stack);
    if (q && bytes > old) memset(q + old, 0, bytes - old);
    return q;
}

int AlignedArgumentsBad(int runtime, size_t size, size_t align, size_t offset)
{
    if ((align & (align - 1)) || (offset && offset >= size)) {
        SetErrno(runtime, kEINVAL);
        return 1;
    }
    return 0;
}

void *AlignedMallocIn(int runtime, size_t size, size_t align, size_t offset, uint32_t stack)
{
    if (AlignedArgumentsBad(runtime, size, align, offset)) return 0;
    return AllocIn(runtime, size, align, offset, kKindAligned, stack);
}

void *AlignedReallocIn(int runtime, void *p, size_t size, size_t align, size_t offset, uint32_t stack)
{
    if (!p) return AlignedMallocIn(runtime, size, align, offset, stack);
    if (!size) {
        CheckFree(p, kKindAligned, stack);
        return 0;
    }
    if (AlignedArgumentsBad(runtime, size, align, offset)) return 0;
    void *q = CheckRealloc(p, size, align < 8 ? 8 : (uint32_t)align, (uint32_t)offset, kKindAligned, stack);
    if (!q) SetErrno(runtime, kENOMEM);
    return q;
}

void *AlignedRecallocIn(int runtime, void *p, size_t count, size_t size, size_t align, size_t offset,
                        uint32_t stack)
{
    if (size && count > 0xFFFFFFFFu / size) {
        SetErrno(runtime, kENOMEM);
        return 0;
    }
    size_t bytes = count * size;
    long old = p ? CheckSizeOf(p) : 0;
    uint8_t *q = (uint8_t *)AlignedReallocIn(runtime, p, bytes, align, offset, stack);
    if (q && old >= 0 && bytes > (size_t)old) memset(q + old, 0, bytes - (size_t)old);
    return q;
}

/* The entries of one runtime slot. Each takes its call stack first, so
   that its own frame is the one the walk starts from. */
template <int R>
struct VR_CheckSlot {
    static void *Malloc(size_t size)
    {
        uint32_t stack = VR_CHECK_STACK();
        return size ? AllocIn(R, size, 8, 0, kKindMalloc, stack) : 0;
    }
    static void *Calloc(size_t count, size_t size)
    {
        uint32_t stack = VR_CHECK_STACK();
        if (size && count > 0xFFFFFFFFu / size) return 0;
        void *p = AllocIn(R, count * size, 8, 0, kKindMalloc, stack);
        if (p) memset(p, 0, count * size);
        return p;
    }
    static void Free(void *p) { CheckFree(p, kKindMalloc, VR_CHECK_STACK()); }
    static void *Realloc(void *p, size_t size) { return ReallocIn(R, p, size, VR_CHECK_STACK()); }
    static size_t Msize(void *p)
    {
        long n = CheckSizeOf(p);
        if (n >= 0) return (size_t)n;
        return IsLibraryMemory(p) ? (size_t)-1 : RuntimeBlockSize(R, p);
    }
    static void *New(size_t size) { return AllocIn(R, size, 8, 0, kKindNew, VR_CHECK_STACK()); }
    static void Delete(void *p) { CheckFree(p, kKindNew, VR_CHECK_STACK()); }
    static void *NewArray(size_t size) { return AllocIn(R, size, 8, 0, kKindNewArray, VR_CHECK_STACK()); }
    static void DeleteArray(void *p) { CheckFree(p, kKindNewArray, VR_CHECK_STACK()); }
    static void *Expand(void *p, size_t size)
    {
        /* A checked block never grows in place; it may shrink. */
        if (p && CheckShrink(p, size)) return p;
        SetErrno(R, p ? kENOMEM : kEINVAL);
        return 0;
    }
    static void *Recalloc(void *p, size_t count, size_t size)
    {
        return RecallocIn(R, p, count, size, VR_CHECK_STACK());
    }
    static void *AlignedMalloc(size_t size, size_t align)
    {
        return AlignedMallocIn(R, size, align, 0, VR_CHECK_STACK());
    }
    static void *AlignedOffsetMalloc(size_t size, size_t align, size_t offset)
    {
        return AlignedMallocIn(R, size, align, offset, VR_CHECK_STACK());
    }
    static void AlignedFree(void *p) { CheckFree(p, kKindAligned, VR_CHECK_STACK()); }
    static void *AlignedRealloc(void *p, size_t size, size_t align)
    {
        return AlignedReallocIn(R, p, size, align, 0, VR_CHECK_STACK());
    }
    static void *AlignedOffsetRealloc(void *p, size_t size, size_t align, size_t offset)
    {
        return AlignedReallocIn(R, p, size, align, offset, VR_CHECK_STACK());
    }
    static void *AlignedRecalloc(void *p, size_t count, size_t size, size_t align)
    {
        return AlignedRecallocIn(R, p, count, size, align, 0, VR_CHECK_STACK());
    }
    static void *AlignedOffsetRecalloc(void *p, size_t count, size_t size, size_t align, size_t offset)
    {
        return AlignedRecallocIn(R, p, count, size, align, offset, VR_CHECK_STACK());
    }
    static size_t AlignedMsize(void *p, size_t, size_t)
    {
        long n = p ? CheckSizeOf(p) : -1;
        if (n >= 0) return (size_t)n;
        SetErrno(R, kEINVAL);
        return (size_t)-1;
    }
};

/* In the order of vr_os::RuntimeEntry, then the names below. */
const char *const kNames[] = {
    "??_U@YAPAXI@Z",  "??_V@YAXPAX@Z",          "_expand",          "_recalloc",
    "_aligned_malloc", "_aligned_offset_malloc", "_aligned_free",    "_aligned_realloc",
    "_aligned_offset_realloc", "_aligned_recalloc", "_aligned_offset_recalloc", "_aligned_msize",
};
const int kNameCount = sizeof kNames / sizeof kNames[0];
const int kRowLength = vr_os::kEntryCount + kNameCount;

#define VR_CHECK_ROW(R)                                                                                           \
    {                                                                                                             \
        (const void *)&VR_CheckSlot<R>::Malloc, (const void *)&VR_CheckSlot<R>::Calloc,                           \
            (const void *)&VR_CheckSlot<R>::Free, (const void *)&VR_CheckSlot<R>::Realloc,                        \
            (const void *)&VR_CheckSlot<R>::Msize, (const void *)&VR_CheckSlot<R>::New,                           \
            (const void *)&VR_CheckSlot<R>::Delete, (const void *)&VR_CheckSlot<R>::NewArray,                     \
            (const void *)&VR_CheckSlot<R>::DeleteArray, (const void *)&VR_CheckSlot<R>::Expand,                  \
            (const void *)&VR_CheckSlot<R>::Recalloc, (const void *)&VR_CheckSlot<R>::AlignedMalloc,              \
            (const void *)&VR_CheckSlot<R>::AlignedOffsetMalloc, (const void *)&VR_CheckSlot<R>::AlignedFree,     \
            (const void *)&VR_CheckSlot<R>::AlignedRealloc, (const void *)&VR_CheckSlot<R>::AlignedOffsetRealloc, \
            (const void *)&VR_CheckSlot<R>::AlignedRecalloc,                                                      \
            (const void *)&VR_CheckSlot<R>::AlignedOffsetRecalloc, (const void *)&VR_CheckSlot<R>::AlignedMsize   \
    }

const void *const kRows[vr_os::kMaxRuntimes][kRowLength] = {
    VR_CHECK_ROW(0), VR_CHECK_ROW(1), VR_CHECK_ROW(2), VR_CHECK_ROW(3), VR_CHECK_ROW(4),
    VR_CHECK_ROW(5), VR_CHECK_ROW(6), VR_CHECK_ROW(7), VR_CHECK_ROW(8),
};
static_assert(vr_os::kMaxRuntimes == 9, "one row of checking entries per runtime slot");
#undef VR_CHECK_ROW

/* The operator new and delete of MinGW's C++ runtime (libstdc++, in the
   program's image when it links it statically, else its DLL): they call
   malloc and free, so without entries of their own a block of new[] freed
   by free or delete could not be told apart, and the stack would start in
   the runtime. A failed operator new hands the request to the runtime's own
   code (through a copy of its first instructions), which runs the new
   handler and throws, where the program can catch it. */
void *(*s_cxxNew)(size_t);

/* The hand-over must be a jump, not a call: the runtime's exception then
   unwinds from the runtime's own code straight into the program's frames.
   A frame of ours left on the stack belongs to the library's module, whose
   unwind tables the program's unwinder does not know, and the throw would
   end the process instead of reaching the program's catch. An optimised
   build makes the tail call a jump by itself; a debug build is asked to. */
#define VR_TAIL_CALLER __attribute__((optimize("O2", "optimize-sibling-calls")))

VR_TAIL_CALLER void *CxxNew(size_t size)
{
    uint32_t stack = VR_CHECK_STACK();
    void *p = CheckAlloc(size, 8, 0, kKindNew, stack);
    return p ? p : s_cxxNew(size);
}

VR_TAIL_CALLER void *CxxNewArray(size_t size)
{
    uint32_t stack = VR_CHECK_STACK();
    void *p = CheckAlloc(size, 8, 0, kKindNewArray, stack);
    return p ? p : s_cxxNew(size);
}

void *CxxNewNothrow(size_t size)
{
    return AllocIn(0, size, 8, 0, kKindNew, VR_CHECK_STACK());
}

void *CxxNewArrayNothrow(size_t size)
{
    return AllocIn(0, size, 8, 0, kKindNewArray, VR_CHECK_STACK());
}

void CxxDelete(void *p)
{
    CheckFree(p, kKindNew, VR_CHECK_STACK());
}

void CxxDeleteArray(void *p)
{
    CheckFree(p, kKindNewArray, VR_CHECK_STACK());
}

struct VR_CxxName {
    const char *symbol;
    const void *replacement;
    int throwing;   /* 1: patched only when the copy of operator new could be made */
};
const VR_CxxName kCxxNames[] = {
    {"_Znwj", (const void *)&CxxNew, 1},
    {"_Znaj", (const void *)&CxxNewArray, 1},
    {"_ZnwjRKSt9nothrow_t", (const void *)&CxxNewNothrow, 0},
    {"_ZnajRKSt9nothrow_t", (const void *)&CxxNewArrayNothrow, 0},
    {"_ZdlPv", (const void *)&CxxDelete, 0},
    {"_ZdaPv", (const void *)&CxxDeleteArray, 0},
    {"_ZdlPvj", (const void *)&CxxDelete, 0},
    {"_ZdaPvj", (const void *)&CxxDeleteArray, 0},
    {"_ZdlPvRKSt9nothrow_t", (const void *)&CxxDelete, 0},
    {"_ZdaPvRKSt9nothrow_t", (const void *)&CxxDeleteArray, 0},
};
const int kCxxNameCount = sizeof kCxxNames / sizeof kCxxNames[0];
uint8_t *s_cxxFound[kCxxNameCount];

/* One C++ runtime's entries: the program's own when it has them, else the
   DLL's. The throwing forms only when the copy of operator new (the first
   name) can be made: both fall back on it. */
void FindCxxEntries()
{
    HMODULE dll = GetModuleHandleA("libstdc++-6.dll");
    for (int i = 0; i < kCxxNameCount; i++) {
        uint8_t *entry = (uint8_t *)vr_os::FindProgramFunction(kCxxNames[i].symbol);
        if (!entry && dll) entry = (uint8_t *)(void *)GetProcAddress(dll, kCxxNames[i].symbol);
        if (!entry) continue;
        if (i == 0) s_cxxNew = (void *(*)(size_t))BuildTrampoline(entry);
        if (kCxxNames[i].throwing && !s_cxxNew) continue;
        s_cxxFound[i] = entry;
        AddCheckEntry(entry, kCxxNames[i].replacement);
    }
}

} // namespace

/* The page blocks' address space is what binds here (the budget's space,
   checked apart); the count only keeps the records' walk at exit short. */
uint32_t PageBlockBudget()
{
    return 8192;
}

void FindCheckEntries()
{
    FindCxxEntries();
    for (int r = 0; r < vr_os::kMaxRuntimes; r++) {
        if (!vr_os::RuntimeLoaded(r)) continue;
        s_errnoOf[r] = (int *(*)())vr_os::FindRuntimeExport(r, "_errno");
        for (int i = 0; i < vr_os::kEntryCount; i++) AddCheckEntry(vr_os::FindRuntimeEntry(r, i), kRows[r][i]);
        for (int i = 0; i < kNameCount; i++)
            AddCheckEntry(vr_os::FindRuntimeExport(r, kNames[i]), kRows[r][vr_os::kEntryCount + i]);
    }
}

void CheckEndProcess(int code)
{
    TerminateProcess(GetCurrentProcess(), (UINT)code);
}

/* Here the library's work at exit runs inside ExitProcess, whose status
   cannot be read any more: a process that reported findings ends with
   s_checkExitCode, whatever it chose (the runtimes' other modules have
   nothing left to do by then: their exit work ran before ExitProcess). */
void CheckSetExitStatus()
{
    if (s_checkExitCode && CheckFindingCount()) CheckEndProcess(s_checkExitCode);
}

/* The C++ runtime's entries: the rest is in the usual tables already. */
void PatchCheckExtras()
{
    EnsureProcessLock();
    VR_ProcessLockGuard guard;
    for (int i = 0; i < kCxxNameCount; i++)
        if (s_cxxFound[i]) PatchRuntimeEntry(s_cxxFound[i], kCxxNames[i].replacement);
}
