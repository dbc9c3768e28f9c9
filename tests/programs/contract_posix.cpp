/*
 * contract_posix.cpp - the C library's contract on Linux: empty requests
 * get unique minimal blocks, failed allocations set errno to ENOMEM,
 * nothing above PTRDIFF_MAX succeeds, and free never changes errno, also
 * when the system refuses to unmap a released range (which then stays
 * known as the library's).
 */
#include <errno.h>
#include <stdlib.h>

#include <new>

#include "hook_common.h"
#include "layout.h"
#include "os_memory.h"

static void EmptyRequests(const Runtime &rt)
{
    void *a = rt.malloc(0), *b = rt.malloc(0);
    void *c = rt.realloc(0, 0), *d = rt.realloc(0, 0);
    CHECK(a && b && c && d);
    CHECK(a != b && c != d && a != c);
    CHECK(IsDynamicMemory(a) && IsDynamicMemory(c));
    CHECK(rt.msize(a) == 0 && rt.msize(c) == 0);
    CHECK(JumpTarget((void *)rt.malloc) == (void *)VRHookMallocPosix && VRHookMalloc(0) == 0 && VRHookRealloc(0, 0) == 0);
    /* A minimal block grows like any other. */
    char *grown = (char *)rt.realloc(a, 20);
    CHECK(grown != 0);
    if (grown) strcpy(grown, "grown from nothing");
    /* Shrinking a block to nothing still frees it, with null and no error. */
    errno = 0;
    CHECK(rt.realloc(b, 0) == 0 && errno == 0);
    rt.free(grown);
    rt.free(c);
    rt.free(d);
}

static void Failures(const Runtime &rt)
{
    const size_t tooBig[] = {0x80000000u, 0xFFFFFFFFu, 0xFFFFFFF0u};
    for (size_t n : tooBig) {
        errno = 0;
        CHECK(rt.malloc(n) == 0 && errno == ENOMEM);
        errno = 0;
        CHECK(rt.calloc(1, n) == 0 && errno == ENOMEM);
        errno = 0;
        CHECK(::operator new(n, std::nothrow) == 0 && errno == ENOMEM);
        char *keep = (char *)rt.malloc(10);
        strcpy(keep, "kept");
        errno = 0;
        CHECK(rt.realloc(keep, n) == 0 && errno == ENOMEM);
        CHECK(strcmp(keep, "kept") == 0);
        rt.free(keep);
    }
    errno = 0;
    CHECK(rt.calloc(0x10000, 0x10001) == 0 && errno == ENOMEM);
    errno = 0;
    CHECK(rt.calloc(2, 0x40000000u) == 0 && errno == ENOMEM);

    /* Requests that fit but find no memory: every reservation fails. */
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFFu);
    errno = 0;
    void *m = rt.malloc(5u << 20);
    int mallocErr = errno;
    errno = 0;
    void *z = rt.calloc(5u << 10, 1u << 10);
    int callocErr = errno;
    void *r = rt.malloc(100);
    errno = 0;
    void *moved = r ? rt.realloc(r, 6u << 20) : 0;
    int reallocErr = errno;
    errno = 0;
    void *n = ::operator new(7u << 20, std::nothrow);
    int newErr = errno;
    VR_SetFault(vr_os::kFaultReserve, 0, 0);
    CHECK(m == 0 && mallocErr == ENOMEM);
    CHECK(z == 0 && callocErr == ENOMEM);
    CHECK(r != 0 && moved == 0 && reallocErr == ENOMEM);
    CHECK(n == 0 && newErr == ENOMEM);
    rt.free(r);
}

static void FreeKeepsErrno(const Runtime &rt)
{
    void *small = rt.malloc(100);
    void *big = rt.malloc(3u << 20);   /* a big page set of its own, released when freed */
    errno = 4242;
    rt.free(small);
    rt.free(big);
    rt.free(0);
    CHECK(errno == 4242);
}

/* Fills the process's table of mappings to the system's limit with
   single pages that cannot merge; returns what to unmap afterwards. */
struct Filler {
    uint8_t *region = 0;
    size_t regionBytes = 0;
    void *extra[4096];
    int extras = 0;
};

static void FillMappings(Filler &f, uint32_t page)
{
    f.regionBytes = (size_t)70000 * page;
    f.region = (uint8_t *)mmap(0, f.regionBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (f.region == MAP_FAILED) {
        f.region = 0;
        return;
    }
    /* Every other page readable: each change splits off two mappings. */
    for (size_t i = 1; i + 1 < f.regionBytes / page; i += 2)
        if (mprotect(f.region + i * page, page, PROT_READ) != 0) break;
    /* Then single pages of alternating protection, until the system
       refuses one more mapping. */
    while (f.extras < 4096) {
        void *p = mmap(0, page, (f.extras & 1) ? PROT_READ : PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) break;
        f.extra[f.extras++] = p;
    }
}

static void Unfill(Filler &f, uint32_t page)
{
    for (int i = 0; i < f.extras; i++) munmap(f.extra[i], page);
    if (f.region) munmap(f.region, f.regionBytes);
}

/* The base and end of the big page set that holds block. */
static void PageSetOf(void *block, uintptr_t *base, uintptr_t *end)
{
    vr_os::RegionInfo info;
    *base = vr_os::QueryRegion(block, &info) ? info.allocationBase : 0;
    *end = *base ? (uintptr_t)((VR_PageSetBase *)*base)->regionEnd : 0;
}

/* A big block whose page set the system cannot unmap. The page set is all
   committed, so it is one mapping, and read-write pages mapped against it
   on both sides join that mapping: unmapping the page set alone would cut
   it in three, which the system refuses when the process has no mapping to
   spare. Room above a page set comes from freeing the one just above it. */
static void RefusedRelease(const Runtime &rt)
{
    uint32_t page = (uint32_t)sysconf(_SC_PAGESIZE);
    /* With its headers, 5 MB of pages exactly: more than a heap keeps of
       empty page sets, so a free gives it back at once. */
    const size_t size = (5u << 20) - 100;
    void *blocks[8] = {};
    uintptr_t base = 0, end = 0, prevBase = 0, prevEnd;
    int found = -1;
    for (int i = 0; i < 8 && found < 0; i++) {
        blocks[i] = rt.malloc(size);
        if (!blocks[i]) break;
        PageSetOf(blocks[i], &base, &end);
        if (i > 0 && end == prevBase) found = i;
        prevBase = base;
        prevEnd = end;
    }
    (void)prevEnd;
    CHECK(found > 0);
    if (found <= 0) return;
    rt.free(blocks[found - 1]);
    blocks[found - 1] = 0;
    uint8_t *below = (uint8_t *)base - page, *above = (uint8_t *)end;
    int fenced = mmap(below, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0) == below &&
                 mmap(above, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0) == above;
    CHECK(fenced);

    static Filler filler;   /* not from the heap: it would share a page set */
    if (fenced) FillMappings(filler, page);
    errno = 4242;
    rt.free(blocks[found]);
    int err = errno;
    int stillOurs = IsDynamicMemory((void *)base) && IsDynamicMemory((void *)(end - 1));
    vr_os::RegionInfo after;
    int known = vr_os::QueryRegion((void *)base, &after) && after.allocationBase == base;
    Unfill(filler, page);
    munmap(below, page);
    munmap(above, page);

    CHECK(err == 4242);
    /* Still mapped, so still the library's on every table. */
    CHECK(stillOurs);
    CHECK(known);
    for (void *b : blocks) rt.free(b);
    CHECK(DefaultHeap.Validate() == 0);
}

int main()
{
    Runtime rt;
    EmptyRequests(rt);
    Failures(rt);
    FreeKeepsErrno(rt);
    RefusedRelease(rt);
    CHECK(DefaultHeap.Validate() == 0);
    return Finish("contract_posix");
}
