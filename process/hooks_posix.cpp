/*
 * hooks_posix.cpp - what the interception does on Linux beyond the shared
 * table: the C library's contract for the shared entries, and the aligned
 * allocation entries, which only this target's runtime has.
 *
 * The contract programs written against the GNU C library rely on: an
 * empty request (malloc(0), realloc(NULL, 0)) gets a unique minimal block
 * rather than null, which such programs take for exhausted memory; every
 * failed allocation sets errno to ENOMEM; no request above PTRDIFF_MAX
 * succeeds (the difference of two pointers into the block would overflow).
 * free leaves errno alone: the only calls under it that can set errno are
 * the platform's, which keep it. The shared replacements keep the runtime's
 * behaviour of the other target; the wrappers here put the difference
 * around them and stand in their place in the shared table.
 *
 * Operator new keeps the C++ contract there: the throwing forms (plain,
 * array and aligned) run the program's new handler while one is installed
 * and throw std::bad_alloc when none is left, the nothrow forms return null
 * (the C++ runtime's own nothrow plain forms call the throwing ones and
 * catch; the aligned nothrow forms are patched, so they catch here). A
 * program that gets null from a throwing new writes through it.
 *
 * The aligned entries (memalign, posix_memalign, aligned_alloc, valloc,
 * pvalloc, and C++17 operator new and delete with an alignment) are patched
 * like the shared ones and served from the calling thread's default heap:
 * a small block waiting on the boundary in the thread's cache inline, as
 * malloc's common case, else by VR_Heap::AllocAligned; their blocks are
 * ordinary blocks for free, realloc and malloc_usable_size. Without this the runtime would serve them, and
 * its blocks would be foreign to the patched free, which keeps them for
 * good.
 */
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <stdint.h>

#include <new>

#include "process_internal.h"

/* The four replacements of shared entries (declared in process_internal.h,
   with the aligned family) are what the patched entries run here, not
   VRHookMalloc and VRHookRealloc: those two keep the one contract of both
   targets (null for an empty request). */

namespace {

/* PTRDIFF_MAX of the 32-bit target. */
const size_t kMaxRequest = 0x7FFFFFFF;

inline void *Failed(int error)
{
    errno = error;
    return 0;
}

struct VR_AlignedCall {
    size_t alignment;
    size_t size;
};

void *AlignedBody(void *context)
{
    VR_AlignedCall *call = (VR_AlignedCall *)context;
    return ThreadDefaultHeap().AllocAligned(call->alignment, call->size);
}

/* After the thread's cache had no block for the request: the heap serves
   it under the same catch-all guard as malloc. Out of line, so that the
   common case of its callers keeps a short frame. */
__attribute__((noinline)) void *AlignedAfterMiss(size_t alignment, size_t size)
{
    if (size > kMaxRequest) return Failed(ENOMEM);
    VR_AlignedCall call = {alignment, size};
    void *result;
    vr_os::CallGuarded(AlignedBody, &call, &result);
    if (!result) errno = ENOMEM;
    return result;
}

/* A block of size bytes aligned to alignment (a power of two): a small one
   waiting on the boundary in the thread's cache, as malloc's common case,
   else through the heap. */
inline void *AlignedBlock(size_t alignment, size_t size)
{
    void *p = vr_front::AllocAlignedForHook(&ThreadDefaultHeap(), (uint32_t)size, (uint32_t)alignment);
    if (__builtin_expect(p != 0, 1)) return p;
    return AlignedAfterMiss(alignment, size);
}

inline int IsPowerOfTwo(size_t x)
{
    return x && !(x & (x - 1));
}

uint32_t PageSize()
{
    if (!__atomic_load_n(&s_pageSize, __ATOMIC_ACQUIRE)) LoadSystemInfo();
    return s_pageSize;
}

} // namespace

extern "C" void *VRHookMallocPosix(size_t size)
{
    /* One test for both rare cases: 0 wraps round to the top. */
    if (__builtin_expect(size - 1 >= kMaxRequest, 0)) {
        if (size) return Failed(ENOMEM);
        /* calloc of nothing: a block of recorded size 0 under the guard. */
        void *minimal = VRHookCalloc(0, 0);
        return minimal ? minimal : Failed(ENOMEM);
    }
    /* The thread's cache first, as VRHookMalloc would try it. */
    return vr_front::AllocOr(&ThreadDefaultHeap(), (uint32_t)size, [=] {
        void *p = MallocAfterMiss(size);
        if (!p) errno = ENOMEM;
        return p;
    });
}

extern "C" void *VRHookCallocPosix(size_t count, size_t size)
{
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes) || bytes > kMaxRequest) return Failed(ENOMEM);
    void *p = VRHookCalloc(count, size);
    if (!p) errno = ENOMEM;
    return p;
}

extern "C" void *VRHookReallocPosix(void *block, size_t size)
{
    if (size > kMaxRequest) return Failed(ENOMEM);
    if (!block) return VRHookMallocPosix(size);
    void *p = VRHookRealloc(block, size);
    /* Shrinking to nothing frees the block and answers null, no error. */
    if (!p && size) errno = ENOMEM;
    return p;
}

namespace {

/* Operator new's loop: a failed request runs the new handler and tries
   again while there is one (the heap's recovery ran it already where the
   heap calls it); then bad_alloc. alignment 0: no alignment asked. */
void *NewOrThrow(size_t size, size_t alignment)
{
    for (;;) {
        void *p = 0;
        if (size <= kMaxRequest) p = alignment ? ThreadDefaultHeap().AllocAligned(alignment, size) : VRHookNew(size);
        if (__builtin_expect(p != 0, 1)) return p;
        errno = ENOMEM;
        std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}

} // namespace

extern "C" void *VRHookNewPosix(size_t size)
{
    return NewOrThrow(size, 0);
}

namespace {

/* memalign rounds an alignment that is no power of two up to the next one,
   and refuses one that has no power of two above it in range (apart, so
   that the common case keeps a short path). */
__attribute__((noinline)) void *MemalignRounded(size_t alignment, size_t size)
{
    if (alignment > kMaxRequest + 1) return Failed(EINVAL);
    size_t a = alignment < 2 ? 1 : (size_t)2 << (31 - __builtin_clz((uint32_t)alignment - 1));
    return AlignedBlock(a, size);
}

} // namespace

extern "C" void *VRHookMemalign(size_t alignment, size_t size)
{
    if (__builtin_expect(!IsPowerOfTwo(alignment), 0)) return MemalignRounded(alignment, size);
    return AlignedBlock(alignment, size);
}

/* The result goes to *result only on success; failures are returned, not
   reported through the pointer. */
extern "C" int VRHookPosixMemalign(void **result, size_t alignment, size_t size)
{
    if (!IsPowerOfTwo(alignment) || alignment % sizeof(void *)) return EINVAL;
    void *p = AlignedBlock(alignment, size);
    if (!p) return ENOMEM;
    *result = p;
    return 0;
}

extern "C" void *VRHookAlignedAlloc(size_t alignment, size_t size)
{
    if (!IsPowerOfTwo(alignment)) return Failed(EINVAL);
    return AlignedBlock(alignment, size);
}

extern "C" void *VRHookValloc(size_t size)
{
    return AlignedBlock(PageSize(), size);
}

/* A whole number of pages, page-aligned. */
extern "C" void *VRHookPvalloc(size_t size)
{
    size_t page = PageSize();
    if (size > kMaxRequest - (page - 1)) return Failed(ENOMEM);
    return AlignedBlock(page, (size + page - 1) & ~(page - 1));
}

/* operator new(size_t, align_val_t) and its array form, and their nothrow
   forms (the nothrow argument comes after and is not read; the caller
   removes the arguments). No guard, as for the plain operator new. The
   alignment is a power of two by the language's rules; anything else
   finds no block. */
extern "C" void *VRHookNewAligned(size_t size, size_t alignment)
{
    if (__builtin_expect(IsPowerOfTwo(alignment), 1)) {
        void *p = vr_front::AllocAlignedForHook(&ThreadDefaultHeap(), (uint32_t)size, (uint32_t)alignment);
        if (__builtin_expect(p != 0, 1)) return p;
    }
    return NewOrThrow(size, alignment);
}

extern "C" void *VRHookNewAlignedNothrow(size_t size, size_t alignment) noexcept
{
    if (__builtin_expect(IsPowerOfTwo(alignment), 1)) {
        void *p = vr_front::AllocAlignedForHook(&ThreadDefaultHeap(), (uint32_t)size, (uint32_t)alignment);
        if (__builtin_expect(p != 0, 1)) return p;
    }
    try {
        return NewOrThrow(size, alignment);
    } catch (...) {
        errno = ENOMEM;
        return 0;
    }
}

namespace {

struct VR_PosixEntry {
    const char *module;
    const char *symbol;
    const void *replacement;
};

const char kLibc[] = "libc.so.6";
const char kLibstdcxx[] = "libstdc++.so.6";

/* The aligned family. Operator delete in every form needs nothing but the
   pointer, which comes first: the shared free serves all of them. */
const VR_PosixEntry kPosixEntries[] = {
    {kLibc, "memalign", (const void *)&VRHookMemalign},
    {kLibc, "posix_memalign", (const void *)&VRHookPosixMemalign},
    {kLibc, "aligned_alloc", (const void *)&VRHookAlignedAlloc},
    {kLibc, "valloc", (const void *)&VRHookValloc},
    {kLibc, "pvalloc", (const void *)&VRHookPvalloc},
    {kLibstdcxx, "_ZnwjSt11align_val_t", (const void *)&VRHookNewAligned},
    {kLibstdcxx, "_ZnajSt11align_val_t", (const void *)&VRHookNewAligned},
    {kLibstdcxx, "_ZnwjSt11align_val_tRKSt9nothrow_t", (const void *)&VRHookNewAlignedNothrow},
    {kLibstdcxx, "_ZnajSt11align_val_tRKSt9nothrow_t", (const void *)&VRHookNewAlignedNothrow},
    {kLibstdcxx, "_ZdlPvSt11align_val_t", (const void *)&VRHookFree},
    {kLibstdcxx, "_ZdaPvSt11align_val_t", (const void *)&VRHookFree},
    {kLibstdcxx, "_ZdlPvjSt11align_val_t", (const void *)&VRHookFree},
    {kLibstdcxx, "_ZdaPvjSt11align_val_t", (const void *)&VRHookFree},
    {kLibstdcxx, "_ZdlPvSt11align_val_tRKSt9nothrow_t", (const void *)&VRHookFree},
    {kLibstdcxx, "_ZdaPvSt11align_val_tRKSt9nothrow_t", (const void *)&VRHookFree},
};
const int kPosixEntryCount = sizeof kPosixEntries / sizeof kPosixEntries[0];

/* Found before patching (FindTargetEntries), read afterwards only. */
void *s_posixEntries[kPosixEntryCount];

/* Before the shared installer (priority 200): the shared entries get this
   target's replacements from the start. */
__attribute__((constructor(199))) void SetTargetReplacements()
{
    for (int r = 0; r < vr_os::kMaxRuntimes; r++) {
        s_targetReplacements[r][vr_os::kEntryMalloc] = (const void *)&VRHookMallocPosix;
        s_targetReplacements[r][vr_os::kEntryCalloc] = (const void *)&VRHookCallocPosix;
        s_targetReplacements[r][vr_os::kEntryRealloc] = (const void *)&VRHookReallocPosix;
        s_targetReplacements[r][vr_os::kEntryNew] = (const void *)&VRHookNewPosix;
    }
}

} // namespace

void FindTargetEntries()
{
    for (int i = 0; i < kPosixEntryCount; i++) {
        void *module = dlopen(kPosixEntries[i].module, RTLD_LAZY | RTLD_NOLOAD);
        s_posixEntries[i] = module ? dlsym(module, kPosixEntries[i].symbol) : 0;
    }
}

int PatchTargetEntries()
{
    int patched = 0;
    for (int i = 0; i < kPosixEntryCount; i++) {
        /* Names that share their code with an earlier one (aligned_alloc is
           memalign in some versions of the C library) keep the first jump:
           one entry can hold only one. */
        int seen = 0;
        for (int j = 0; j < i; j++) seen |= s_posixEntries[j] == s_posixEntries[i];
        if (seen) continue;
        uint8_t *entry = (uint8_t *)s_posixEntries[i];
        PatchRuntimeEntry(entry, kPosixEntries[i].replacement);
        if (EntryLeadsTo(entry, kPosixEntries[i].replacement)) patched++;
    }
    return patched;
}
