/*
 * hook_common.h - what the interception and process programs share: the
 * runtime's entry points as the process sees them, ways to obtain memory
 * that is not the library's, and a failure counter that becomes the exit
 * code.
 */
#ifndef VR_HOOK_COMMON_H
#define VR_HOOK_COMMON_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "os_runtime.h"
#include "vorrel.h"

#if !defined(_WIN32)
#include <stdlib.h>
/* Linux's replacements of the shared entries (process/hooks_posix.cpp). */
extern "C" {
VR_API void *VRHookMallocPosix(size_t size);
VR_API void *VRHookCallocPosix(size_t count, size_t size);
VR_API void *VRHookReallocPosix(void *block, size_t size);
VR_API void *VRHookNewPosix(size_t size);
}
#endif

#if defined(_WIN32)
#include <windows.h>
/* Windows's replacements of msvcrt's malloc, calloc and realloc
   (process/hooks_win32.cpp). */
extern "C" {
VR_API void *VRHookMallocWin32(size_t size);
VR_API void *VRHookCallocWin32(size_t count, size_t size);
VR_API void *VRHookReallocWin32(void *block, size_t size);
}
#else
#include <dlfcn.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

static int g_failures;

#define CHECK(c)                                                                  \
    do {                                                                          \
        if (!(c)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c); \
            g_failures++;                                                         \
        }                                                                         \
    } while (0)

enum { kMalloc, kCalloc, kFree, kRealloc, kMsize, kNew, kDelete, kEntries };

/* The runtime's own entry point, as every module of the process reaches it. */
static inline void *RuntimeEntry(int which)
{
#if defined(_WIN32)
    static const char *const names[kEntries] = {"malloc", "calloc", "free", "realloc", "_msize",
                                                "??2@YAPAXI@Z", "??3@YAXPAX@Z"};
    HMODULE m = GetModuleHandleA("msvcrt");
    return m ? (void *)GetProcAddress(m, names[which]) : 0;
#else
    static const char *const names[kEntries] = {"malloc", "calloc", "free", "realloc",
                                                "malloc_usable_size", "_Znwj", "_ZdlPv"};
    void *m = dlopen(which >= kNew ? "libstdc++.so.6" : "libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    return m ? dlsym(m, names[which]) : 0;
#endif
}

/* Calls through the runtime's entries, so the compiler can neither inline
   nor fold them and every call really goes through the patched code. */
struct Runtime {
    void *(*malloc)(size_t);
    void *(*calloc)(size_t, size_t);
    void (*free)(void *);
    void *(*realloc)(void *, size_t);
    size_t (*msize)(void *);
    void *(*opNew)(size_t);
    void (*opDelete)(void *);
    Runtime()
    {
        malloc = (void *(*)(size_t))RuntimeEntry(kMalloc);
        calloc = (void *(*)(size_t, size_t))RuntimeEntry(kCalloc);
        free = (void (*)(void *))RuntimeEntry(kFree);
        realloc = (void *(*)(void *, size_t))RuntimeEntry(kRealloc);
        msize = (size_t(*)(void *))RuntimeEntry(kMsize);
        opNew = (void *(*)(size_t))RuntimeEntry(kNew);
        opDelete = (void (*)(void *))RuntimeEntry(kDelete);
    }
};

/* Where the five-byte jump at entry leads, or null when there is none. */
static inline void *JumpTarget(void *entry)
{
    const uint8_t *p = (const uint8_t *)entry;
    if (!p || p[0] != 0xE9) return 0;
    int32_t displacement;
    memcpy(&displacement, p + 1, 4);
    return (void *)((uintptr_t)p + 5 + (uintptr_t)displacement);
}

#if !defined(_WIN32)
/* Blocks of the C library's own heap made before the library was loaded:
   the program's preinit functions run before any shared library's
   initialisers, so the C library's own malloc (not the one the program's
   calls bind to, which the library exports) is not patched yet. Every
   allocation entry is patched later, so there is no other way to such a
   block. */
enum { kForeignPool = 32 };
static void *g_foreignPool[kForeignPool];
static void MakeForeignPool()
{
    void *libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    void *(*own)(size_t) = libc ? (void *(*)(size_t))dlsym(libc, "malloc") : 0;
    for (int i = 0; i < kForeignPool && own; i++) g_foreignPool[i] = own(16 * (i + 1));
}
__attribute__((section(".preinit_array"), used)) static void (*g_makeForeignPool)() = MakeForeignPool;
#endif

/* A block of the runtime's own heap, as one handed out before the
   interception began: the runtime's allocator proper, not its patched
   entry. */
static inline void *ForeignBlock(size_t size)
{
#if defined(_WIN32)
    typedef HANDLE (*GetHeap)();
    GetHeap get = (GetHeap)(void *)GetProcAddress(GetModuleHandleA("msvcrt"), "_get_heap_handle");
    return get ? HeapAlloc(get(), 0, size) : 0;
#else
    /* The smallest unused block of the pool that holds size bytes (pool
       block i holds 16 (i + 1)). */
    for (int i = (int)(size ? (size - 1) / 16 : 0); i < kForeignPool; i++) {
        void *p = g_foreignPool[i];
        if (p) {
            g_foreignPool[i] = 0;
            return p;
        }
    }
    return 0;
#endif
}

/* What the runtime's contract says of an empty request (malloc(0),
   realloc(NULL, 0)): null on Windows; a unique minimal block under the GNU
   C library, which the library follows on Linux. */
#if defined(_WIN32)
const int kEmptyGetsBlock = 0;
#else
const int kEmptyGetsBlock = 1;
#endif

/* The replacement an entry jumps to: the shared ones, except where Linux
   puts the C library's contract around them. */
static inline void *ExpectedReplacement(int which)
{
    void *const shared[kEntries] = {(void *)VRHookMalloc, (void *)VRHookCalloc, (void *)VRHookFree,
                                    (void *)VRHookRealloc, (void *)VRGetBlockSize, (void *)VRHookNew,
                                    (void *)VRHookDelete};
#if !defined(_WIN32)
    if (which == kMalloc) return (void *)VRHookMallocPosix;
    if (which == kCalloc) return (void *)VRHookCallocPosix;
    if (which == kRealloc) return (void *)VRHookReallocPosix;
    if (which == kNew) return (void *)VRHookNewPosix;
#else
    if (which == kMalloc) return (void *)VRHookMallocWin32;
    if (which == kCalloc) return (void *)VRHookCallocWin32;
    if (which == kRealloc) return (void *)VRHookReallocWin32;
#endif
    return shared[which];
}

/* One committed page followed by inaccessible address space: a block at
   its end ends the run of readable pages. */
static inline uint8_t *LonePage(uint32_t *pageSize)
{
#if defined(_WIN32)
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    *pageSize = si.dwPageSize;
    uint8_t *base = (uint8_t *)VirtualAlloc(0, 65536, MEM_RESERVE, PAGE_READWRITE);
    if (base && !VirtualAlloc(base, si.dwPageSize, MEM_COMMIT, PAGE_READWRITE)) return 0;
    return base;
#else
    *pageSize = (uint32_t)sysconf(_SC_PAGESIZE);
    uint8_t *base = (uint8_t *)mmap(0, 2 * *pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return 0;
    mprotect(base + *pageSize, *pageSize, PROT_NONE);
    return base;
#endif
}

static inline int Finish(const char *name)
{
    if (g_failures) fprintf(stderr, "%s: %d check(s) failed\n", name, g_failures);
    else printf("%s: ok\n", name);
    return g_failures ? 1 : 0;
}

#endif
