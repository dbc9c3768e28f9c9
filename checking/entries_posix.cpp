/*
 * entries_posix.cpp - the checking entries of the Linux runtime: the C
 * library's allocation calls, with its contract (an empty request gets a
 * block, failures set errno to ENOMEM, nothing above PTRDIFF_MAX, free
 * leaves errno alone), the aligned family, and the C++ runtime's operator
 * new and delete in their plain, array and aligned forms. Array new and
 * delete are entries of their own only in this mode (without it they end
 * in the plain forms), so that a block of new[] freed by delete or free is
 * told apart.
 */
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>

#include "checking.h"
#include "pages.h"
#include "os_runtime.h"
#include "process_internal.h"
#include "symbols.h"

namespace {

const size_t kMaxRequest = 0x7FFFFFFF;

inline void *Failed(int error)
{
    errno = error;
    return 0;
}

/* Every block is aligned to 16 at least, as the C library's are. */
const size_t kMinAlign = 16;

inline void *Alloc(size_t size, size_t align, int kind, uint32_t stack)
{
    if (size > kMaxRequest) return Failed(ENOMEM);
    void *p = CheckAlloc(size, align < kMinAlign ? kMinAlign : (uint32_t)align, 0, kind, stack);
    if (!p) errno = ENOMEM;
    return p;
}

/* Operator new's loop, as without the mode: a failed request runs the new
   handler and tries again while there is one, then throws bad_alloc. */
void *NewOrThrow(size_t size, size_t align, int kind, uint32_t stack)
{
    for (;;) {
        if (void *p = Alloc(size, align, kind, stack)) return p;
        std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}

/* The nothrow forms: null where the others throw. */
void *NewOrNull(size_t size, size_t align, int kind, uint32_t stack)
{
    try {
        return NewOrThrow(size, align, kind, stack);
    } catch (...) {
        errno = ENOMEM;
        return 0;
    }
}

inline void Free(void *p, int kind, uint32_t stack)
{
    int saved = errno;
    CheckFree(p, kind, stack);
    errno = saved;
}

inline int IsPowerOfTwo(size_t x)
{
    return x && !(x & (x - 1));
}

size_t PageSize()
{
    return vr_os::SystemPageSize();
}

void *CheckMalloc(size_t size)
{
    return Alloc(size, kMinAlign, kKindMalloc, VR_CHECK_STACK());
}

void *CheckCalloc(size_t count, size_t size)
{
    uint32_t stack = VR_CHECK_STACK();
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) return Failed(ENOMEM);
    void *p = Alloc(bytes, kMinAlign, kKindMalloc, stack);
    if (p) memset(p, 0, bytes);
    return p;
}

void CheckFreeEntry(void *p)
{
    Free(p, kKindMalloc, VR_CHECK_STACK());
}

void *CheckReallocEntry(void *p, size_t size)
{
    uint32_t stack = VR_CHECK_STACK();
    if (size > kMaxRequest) return Failed(ENOMEM);
    if (!p) return Alloc(size, kMinAlign, kKindMalloc, stack);
    if (!size) {
        /* Shrinking to nothing frees the block and answers null. */
        Free(p, kKindMalloc, stack);
        return 0;
    }
    void *q = CheckRealloc(p, size, kMinAlign, 0, kKindMalloc, stack);
    if (!q) errno = ENOMEM;
    return q;
}

size_t CheckUsableSize(void *p)
{
    if (!p) return 0;
    long n = CheckSizeOf(p);
    if (n >= 0) return (size_t)n;
    return IsLibraryMemory(p) ? 0 : RuntimeBlockSize(0, p);
}

void *CheckNew(size_t size)
{
    return NewOrThrow(size, kMinAlign, kKindNew, VR_CHECK_STACK());
}

void *CheckNewArray(size_t size)
{
    return NewOrThrow(size, kMinAlign, kKindNewArray, VR_CHECK_STACK());
}

/* Operator new's nothrow forms, entries of their own in this mode: the
   C++ runtime's call the throwing form from a frame that keeps no frame
   pointer, which would hide the caller's frame from the stack. */
void *CheckNewNothrow(size_t size)
{
    return NewOrNull(size, kMinAlign, kKindNew, VR_CHECK_STACK());
}

void *CheckNewArrayNothrow(size_t size)
{
    return NewOrNull(size, kMinAlign, kKindNewArray, VR_CHECK_STACK());
}

/* strdup and strndup, so that the stack starts at their caller, not in
   the C library. */
char *CheckStrdup(const char *s)
{
    uint32_t stack = VR_CHECK_STACK();
    size_t n = strlen(s) + 1;
    char *p = (char *)Alloc(n, kMinAlign, kKindMalloc, stack);
    if (p) memcpy(p, s, n);
    return p;
}

char *CheckStrndup(const char *s, size_t max)
{
    uint32_t stack = VR_CHECK_STACK();
    size_t n = strnlen(s, max);
    char *p = (char *)Alloc(n + 1, kMinAlign, kKindMalloc, stack);
    if (p) {
        memcpy(p, s, n);
        p[n] = 0;
    }
    return p;
}

void CheckDelete(void *p)
{
    Free(p, kKindNew, VR_CHECK_STACK());
}

void CheckDeleteArray(void *p)
{
    Free(p, kKindNewArray, VR_CHECK_STACK());
}

/* An alignment that is no power of two finds no block, as without the
   mode. */
void *CheckNewAligned(size_t size, size_t alignment)
{
    uint32_t stack = VR_CHECK_STACK();
    if (!IsPowerOfTwo(alignment)) throw std::bad_alloc();
    return NewOrThrow(size, alignment, kKindNew, stack);
}

void *CheckNewArrayAligned(size_t size, size_t alignment)
{
    uint32_t stack = VR_CHECK_STACK();
    if (!IsPowerOfTwo(alignment)) throw std::bad_alloc();
    return NewOrThrow(size, alignment, kKindNewArray, stack);
}

void *CheckNewAlignedNothrow(size_t size, size_t alignment)
{
    uint32_t stack = VR_CHECK_STACK();
    return IsPowerOfTwo(alignment) ? NewOrNull(size, alignment, kKindNew, stack) : Failed(ENOMEM);
}

void *CheckNewArrayAlignedNothrow(size_t size, size_t alignment)
{
    uint32_t stack = VR_CHECK_STACK();
    return IsPowerOfTwo(alignment) ? NewOrNull(size, alignment, kKindNewArray, stack) : Failed(ENOMEM);
}

void *CheckMemalign(size_t alignment, size_t size)
{
    uint32_t stack = VR_CHECK_STACK();
    if (alignment > kMaxRequest + 1) return Failed(EINVAL);
    size_t a = 1;
    while (a < alignment) a <<= 1;
    return Alloc(size, a, kKindMalloc, stack);
}

int CheckPosixMemalign(void **result, size_t alignment, size_t size)
{
    uint32_t stack = VR_CHECK_STACK();
    if (!IsPowerOfTwo(alignment) || alignment % sizeof(void *)) return EINVAL;
    int saved = errno;
    void *p = Alloc(size, alignment, kKindMalloc, stack);
    errno = saved;
    if (!p) return ENOMEM;
    *result = p;
    return 0;
}

void *CheckAlignedAlloc(size_t alignment, size_t size)
{
    uint32_t stack = VR_CHECK_STACK();
    if (!IsPowerOfTwo(alignment)) return Failed(EINVAL);
    return Alloc(size, alignment, kKindMalloc, stack);
}

void *CheckValloc(size_t size)
{
    return Alloc(size, PageSize(), kKindMalloc, VR_CHECK_STACK());
}

void *CheckPvalloc(size_t size)
{
    uint32_t stack = VR_CHECK_STACK();
    size_t page = PageSize();
    if (size > kMaxRequest - (page - 1)) return Failed(ENOMEM);
    return Alloc((size + page - 1) & ~(page - 1), page, kKindMalloc, stack);
}

/* The C library's _exit, the end of every way out but a signal: after
   the program's own exit work and this library's, with the status the
   program chose, which findings turn from 0 into s_checkExitCode. */
__attribute__((noreturn)) void CheckExit(int status)
{
    if (status == 0 && s_checkExitCode && CheckFindingCount()) status = s_checkExitCode;
    CheckEndProcess(status);
    __builtin_unreachable();
}

struct VR_CheckName {
    const char *module;
    const char *symbol;
    const void *replacement;
    int extra;   /* 1: patched only in this mode */
};

const char kLibc[] = "libc.so.6";
const char kLibstdcxx[] = "libstdc++.so.6";

const VR_CheckName kNames[] = {
    {kLibc, "memalign", (const void *)&CheckMemalign, 0},
    {kLibc, "posix_memalign", (const void *)&CheckPosixMemalign, 0},
    {kLibc, "aligned_alloc", (const void *)&CheckAlignedAlloc, 0},
    {kLibc, "valloc", (const void *)&CheckValloc, 0},
    {kLibc, "pvalloc", (const void *)&CheckPvalloc, 0},
    {kLibstdcxx, "_ZnwjSt11align_val_t", (const void *)&CheckNewAligned, 0},
    {kLibstdcxx, "_ZnajSt11align_val_t", (const void *)&CheckNewArrayAligned, 0},
    {kLibstdcxx, "_ZnwjSt11align_val_tRKSt9nothrow_t", (const void *)&CheckNewAlignedNothrow, 0},
    {kLibstdcxx, "_ZnajSt11align_val_tRKSt9nothrow_t", (const void *)&CheckNewArrayAlignedNothrow, 0},
    {kLibstdcxx, "_ZdlPvSt11align_val_t", (const void *)&CheckDelete, 0},
    {kLibstdcxx, "_ZdaPvSt11align_val_t", (const void *)&CheckDeleteArray, 0},
    {kLibstdcxx, "_ZdlPvjSt11align_val_t", (const void *)&CheckDelete, 0},
    {kLibstdcxx, "_ZdaPvjSt11align_val_t", (const void *)&CheckDeleteArray, 0},
    {kLibstdcxx, "_ZdlPvSt11align_val_tRKSt9nothrow_t", (const void *)&CheckDelete, 0},
    {kLibstdcxx, "_ZdaPvSt11align_val_tRKSt9nothrow_t", (const void *)&CheckDeleteArray, 0},
    {kLibc, "_exit", (const void *)&CheckExit, 1},
    /* Entries that lead to the ones above from a frame of their own without
       a frame pointer: replaced whole, so that the first frame of a stack is
       their caller's. */
    {kLibc, "strdup", (const void *)&CheckStrdup, 1},
    {kLibc, "strndup", (const void *)&CheckStrndup, 1},
    {kLibstdcxx, "_ZdlPvj", (const void *)&CheckDelete, 1},
    {kLibstdcxx, "_ZdaPvj", (const void *)&CheckDeleteArray, 1},
    {kLibstdcxx, "_ZdlPvRKSt9nothrow_t", (const void *)&CheckDelete, 1},
    {kLibstdcxx, "_ZdaPvRKSt9nothrow_t", (const void *)&CheckDeleteArray, 1},
    {kLibstdcxx, "_ZnwjRKSt9nothrow_t", (const void *)&CheckNewNothrow, 1},
    {kLibstdcxx, "_ZnajRKSt9nothrow_t", (const void *)&CheckNewArrayNothrow, 1},
    {kLibstdcxx, "_Znaj", (const void *)&CheckNewArray, 1},
    {kLibstdcxx, "_ZdaPv", (const void *)&CheckDeleteArray, 1},
};
const int kNameCount = sizeof kNames / sizeof kNames[0];
void *s_found[kNameCount];

} // namespace

void CheckEndProcess(int code)
{
    for (;;) syscall(SYS_exit_group, code);
}

/* The status is set where the process ends (CheckExit). */
void CheckSetExitStatus()
{
}

/* Each page block takes two mappings of the process's max_map_count
   (65530 by default): a quarter of them at most, the rest stays the
   program's and the heap's. */
uint32_t PageBlockBudget()
{
    uint32_t budget = 8192, maps = 0;
    int fd = open("/proc/sys/vm/max_map_count", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char text[24];
        ssize_t n = read(fd, text, sizeof text - 1);
        close(fd);
        for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; i++) maps = maps * 10 + (uint32_t)(text[i] - '0');
    }
    if (maps && maps / 8 < budget) budget = maps / 8;
    return budget;
}

void FindCheckEntries()
{
    const void *const shared[vr_os::kEntryCount] = {
        (const void *)&CheckMalloc,     (const void *)&CheckCalloc, (const void *)&CheckFreeEntry,
        (const void *)&CheckReallocEntry, (const void *)&CheckUsableSize, (const void *)&CheckNew,
        (const void *)&CheckDelete,
    };
    for (int i = 0; i < vr_os::kEntryCount; i++) AddCheckEntry(vr_os::FindRuntimeEntry(0, i), shared[i]);
    for (int i = 0; i < kNameCount; i++) {
        s_found[i] = vr_os::FindModuleExport(kNames[i].module, kNames[i].symbol);
        AddCheckEntry(s_found[i], kNames[i].replacement);
    }
}

void PatchCheckExtras()
{
    EnsureProcessLock();
    VR_ProcessLockGuard guard;
    for (int i = 0; i < kNameCount; i++)
        if (kNames[i].extra) PatchRuntimeEntry((uint8_t *)s_found[i], kNames[i].replacement);
}

/* After the library's own fork handlers (203), which make its locks usable
   in the child again before this walks the blocks. */
__attribute__((constructor(205))) static void RegisterCheckFork()
{
    if (s_checkMode) pthread_atfork(0, 0, &CheckForkedChild);
}
