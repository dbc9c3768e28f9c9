/*
 * exports_posix.cpp - the C library's and the C++ runtime's allocation
 * functions, exported by libvorrel.so under their own names.
 *
 * A program linked with -lvorrel that calls nothing of the library's own
 * API would otherwise lose it at link time: the linker (with --as-needed,
 * the default of some distributions) keeps a shared library only when it
 * defines a symbol the program uses. Defining malloc and its family here
 * makes the library the one that defines them for the program, so the link
 * keeps it, and, being ahead of the C library in the lookup order, its
 * definitions are the ones every module's calls bind to from the process's
 * first allocation on. The code patching of hooks.cpp still serves what
 * does not go through a symbol lookup (the C library's calls to its own
 * entries, programs that bind them directly, a preloaded library's
 * neighbours).
 *
 * Every function here is a tail call of the replacement the patched entry
 * runs, so a call costs what a call of the patched entry costs. When the
 * entries are redirected (the checking mode sets the redirect), the
 * patched entries lead elsewhere: at load the exports here are then
 * patched themselves to jump to the runtime entry of the same name, and so
 * follow it.
 *
 * VR_RUNTIME_EXPORT marks every such definition, and this file holds all
 * of them: together with VR_API they are what libvorrel.so exports.
 */
#include <errno.h>
#include <stddef.h>

#include <new>

#include "process_internal.h"
#include "symbols.h"

#define VR_RUNTIME_EXPORT __attribute__((visibility("default")))

extern "C" {
VR_RUNTIME_EXPORT void *malloc(size_t size)
{
    return VRHookMallocPosix(size);
}
VR_RUNTIME_EXPORT void free(void *block)
{
    VRFreeLocal(block);
}
VR_RUNTIME_EXPORT void *calloc(size_t count, size_t size)
{
    return VRHookCallocPosix(count, size);
}
VR_RUNTIME_EXPORT void *realloc(void *block, size_t size)
{
    return VRHookReallocPosix(block, size);
}
VR_RUNTIME_EXPORT void *memalign(size_t alignment, size_t size)
{
    return VRHookMemalign(alignment, size);
}
VR_RUNTIME_EXPORT int posix_memalign(void **result, size_t alignment, size_t size)
{
    return VRHookPosixMemalign(result, alignment, size);
}
VR_RUNTIME_EXPORT void *aligned_alloc(size_t alignment, size_t size)
{
    return VRHookAlignedAlloc(alignment, size);
}
VR_RUNTIME_EXPORT void *valloc(size_t size)
{
    return VRHookValloc(size);
}
VR_RUNTIME_EXPORT void *pvalloc(size_t size)
{
    return VRHookPvalloc(size);
}
VR_RUNTIME_EXPORT size_t malloc_usable_size(void *block)
{
    return VRGetBlockSizeLocal(block);
}
}

/* The nothrow plain forms answer null where the throwing ones throw. */
namespace {
void *NewNothrow(size_t size)
{
    try {
        return VRHookNewPosix(size);
    } catch (...) {
        errno = ENOMEM;
        return 0;
    }
}
} // namespace

VR_RUNTIME_EXPORT void *operator new(size_t size)
{
    return VRHookNewPosix(size);
}
VR_RUNTIME_EXPORT void *operator new[](size_t size)
{
    return VRHookNewPosix(size);
}
VR_RUNTIME_EXPORT void *operator new(size_t size, const std::nothrow_t &) noexcept
{
    return NewNothrow(size);
}
VR_RUNTIME_EXPORT void *operator new[](size_t size, const std::nothrow_t &) noexcept
{
    return NewNothrow(size);
}
VR_RUNTIME_EXPORT void *operator new(size_t size, std::align_val_t alignment)
{
    return VRHookNewAligned(size, (size_t)alignment);
}
VR_RUNTIME_EXPORT void *operator new[](size_t size, std::align_val_t alignment)
{
    return VRHookNewAligned(size, (size_t)alignment);
}
VR_RUNTIME_EXPORT void *operator new(size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept
{
    return VRHookNewAlignedNothrow(size, (size_t)alignment);
}
VR_RUNTIME_EXPORT void *operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept
{
    return VRHookNewAlignedNothrow(size, (size_t)alignment);
}
VR_RUNTIME_EXPORT void operator delete(void *block) noexcept
{
    VRFreeLocal(block);
}
VR_RUNTIME_EXPORT void operator delete[](void *block) noexcept
{
    VRFreeLocal(block);
}
VR_RUNTIME_EXPORT void operator delete(void *block, size_t) noexcept
{
    VRFreeLocal(block);
}
VR_RUNTIME_EXPORT void operator delete[](void *block, size_t) noexcept
{
    VRFreeLocal(block);
}
VR_RUNTIME_EXPORT void operator delete(void *block, const std::nothrow_t &) noexcept
{
    VRFreeLocal(block);
}
VR_RUNTIME_EXPORT void operator delete[](void *block, const std::nothrow_t &) noexcept
{
    VRFreeLocal(block);
}
VR_RUNTIME_EXPORT void operator delete(void *block, std::align_val_t) noexcept
{
    VRFreeLocal(block);
}
VR_RUNTIME_EXPORT void operator delete[](void *block, std::align_val_t) noexcept
{
    VRFreeLocal(block);
}
VR_RUNTIME_EXPORT void operator delete(void *block, size_t, std::align_val_t) noexcept
{
    VRFreeLocal(block);
}
VR_RUNTIME_EXPORT void operator delete[](void *block, size_t, std::align_val_t) noexcept
{
    VRFreeLocal(block);
}
VR_RUNTIME_EXPORT void operator delete(void *block, std::align_val_t, const std::nothrow_t &) noexcept
{
    VRFreeLocal(block);
}
VR_RUNTIME_EXPORT void operator delete[](void *block, std::align_val_t, const std::nothrow_t &) noexcept
{
    VRFreeLocal(block);
}

namespace {

/* Each export with the runtime's name for it: when the entries are
   redirected, the export jumps to that entry and goes where it goes. */
struct VR_Export {
    const char *module;
    const char *symbol;
    void *own;
};

const char kLibc[] = "libc.so.6";
const char kLibstdcxx[] = "libstdc++.so.6";

typedef void *(*VR_New)(size_t);
typedef void *(*VR_NewNothrow)(size_t, const std::nothrow_t &);
typedef void *(*VR_NewAligned)(size_t, std::align_val_t);
typedef void *(*VR_NewAlignedNothrow)(size_t, std::align_val_t, const std::nothrow_t &);
typedef void (*VR_Delete)(void *);
typedef void (*VR_DeleteSized)(void *, size_t);
typedef void (*VR_DeleteNothrow)(void *, const std::nothrow_t &);
typedef void (*VR_DeleteAligned)(void *, std::align_val_t);
typedef void (*VR_DeleteSizedAligned)(void *, size_t, std::align_val_t);
typedef void (*VR_DeleteAlignedNothrow)(void *, std::align_val_t, const std::nothrow_t &);

const VR_Export kExports[] = {
    {kLibc, "malloc", (void *)&malloc},
    {kLibc, "free", (void *)&free},
    {kLibc, "calloc", (void *)&calloc},
    {kLibc, "realloc", (void *)&realloc},
    {kLibc, "memalign", (void *)&memalign},
    {kLibc, "posix_memalign", (void *)&posix_memalign},
    {kLibc, "aligned_alloc", (void *)&aligned_alloc},
    {kLibc, "valloc", (void *)&valloc},
    {kLibc, "pvalloc", (void *)&pvalloc},
    {kLibc, "malloc_usable_size", (void *)&malloc_usable_size},
    {kLibstdcxx, "_Znwj", (void *)(VR_New)&operator new},
    {kLibstdcxx, "_Znaj", (void *)(VR_New)&operator new[]},
    {kLibstdcxx, "_ZnwjRKSt9nothrow_t", (void *)(VR_NewNothrow)&operator new},
    {kLibstdcxx, "_ZnajRKSt9nothrow_t", (void *)(VR_NewNothrow)&operator new[]},
    {kLibstdcxx, "_ZnwjSt11align_val_t", (void *)(VR_NewAligned)&operator new},
    {kLibstdcxx, "_ZnajSt11align_val_t", (void *)(VR_NewAligned)&operator new[]},
    {kLibstdcxx, "_ZnwjSt11align_val_tRKSt9nothrow_t", (void *)(VR_NewAlignedNothrow)&operator new},
    {kLibstdcxx, "_ZnajSt11align_val_tRKSt9nothrow_t", (void *)(VR_NewAlignedNothrow)&operator new[]},
    {kLibstdcxx, "_ZdlPv", (void *)(VR_Delete)&operator delete},
    {kLibstdcxx, "_ZdaPv", (void *)(VR_Delete)&operator delete[]},
    {kLibstdcxx, "_ZdlPvj", (void *)(VR_DeleteSized)&operator delete},
    {kLibstdcxx, "_ZdaPvj", (void *)(VR_DeleteSized)&operator delete[]},
    {kLibstdcxx, "_ZdlPvRKSt9nothrow_t", (void *)(VR_DeleteNothrow)&operator delete},
    {kLibstdcxx, "_ZdaPvRKSt9nothrow_t", (void *)(VR_DeleteNothrow)&operator delete[]},
    {kLibstdcxx, "_ZdlPvSt11align_val_t", (void *)(VR_DeleteAligned)&operator delete},
    {kLibstdcxx, "_ZdaPvSt11align_val_t", (void *)(VR_DeleteAligned)&operator delete[]},
    {kLibstdcxx, "_ZdlPvjSt11align_val_t", (void *)(VR_DeleteSizedAligned)&operator delete},
    {kLibstdcxx, "_ZdaPvjSt11align_val_t", (void *)(VR_DeleteSizedAligned)&operator delete[]},
    {kLibstdcxx, "_ZdlPvSt11align_val_tRKSt9nothrow_t", (void *)(VR_DeleteAlignedNothrow)&operator delete},
    {kLibstdcxx, "_ZdaPvSt11align_val_tRKSt9nothrow_t", (void *)(VR_DeleteAlignedNothrow)&operator delete[]},
};

/* After the hooks (200) and the redirected mode's extra entries (201):
   every runtime entry leads where it will lead for the rest of the
   process. */
__attribute__((constructor(202))) void FollowRedirectedEntries()
{
    if (!s_entryRedirect) return;
    for (const VR_Export &e : kExports) {
        void *runtime = vr_os::FindModuleExport(e.module, e.symbol);
        if (runtime && runtime != e.own) PatchRuntimeEntry((uint8_t *)e.own, runtime);
    }
}

} // namespace
