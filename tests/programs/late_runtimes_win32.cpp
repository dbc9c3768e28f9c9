/*
 * late_runtimes_win32.cpp - the library serves every C runtime loaded when
 * it loads, not only msvcrt: ucrtbase (and any msvcr70..msvcr120 that Wine
 * has) is loaded first and hands out blocks of its own; then the library is
 * loaded. Afterwards every entry of each runtime leads into the library,
 * _msize of each runtime answers for that runtime's old blocks, and the old
 * plain and aligned blocks are copied out, measured and never freed.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

static int g_failures;
#define CHECK(c)                                                                  \
    do {                                                                          \
        if (!(c)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c); \
            g_failures++;                                                         \
        }                                                                         \
    } while (0)

typedef void *(*Malloc)(size_t);
typedef void (*Free)(void *);
typedef void *(*Realloc)(void *, size_t);
typedef size_t (*Msize)(void *);
typedef void *(*Expand)(void *, size_t);
typedef void *(*Recalloc)(void *, size_t, size_t);
typedef void *(*AlignedMalloc)(size_t, size_t);
typedef void *(*AlignedRealloc)(void *, size_t, size_t);
typedef size_t (*AlignedMsize)(void *, size_t, size_t);
typedef int (*IsDynamic)(const void *);

struct Crt {
    HMODULE module;
    Malloc malloc;
    Free free;
    Realloc realloc;
    Msize msize;
    Expand expand;
    Recalloc recalloc;
    AlignedMalloc alignedMalloc;
    Free alignedFree;
    AlignedRealloc alignedRealloc;
    AlignedMsize alignedMsize;
    void Load(HMODULE m)
    {
        module = m;
        malloc = (Malloc)(void *)GetProcAddress(m, "malloc");
        free = (Free)(void *)GetProcAddress(m, "free");
        realloc = (Realloc)(void *)GetProcAddress(m, "realloc");
        msize = (Msize)(void *)GetProcAddress(m, "_msize");
        expand = (Expand)(void *)GetProcAddress(m, "_expand");
        recalloc = (Recalloc)(void *)GetProcAddress(m, "_recalloc");
        alignedMalloc = (AlignedMalloc)(void *)GetProcAddress(m, "_aligned_malloc");
        alignedFree = (Free)(void *)GetProcAddress(m, "_aligned_free");
        alignedRealloc = (AlignedRealloc)(void *)GetProcAddress(m, "_aligned_realloc");
        alignedMsize = (AlignedMsize)(void *)GetProcAddress(m, "_aligned_msize");
    }
};

/* The module that the jump at entry leads into, or null without a jump. */
static HMODULE JumpModule(void *entry)
{
    const uint8_t *p = (const uint8_t *)entry;
    if (!p || p[0] != 0xE9) return 0;
    int32_t d;
    memcpy(&d, p + 1, 4);
    HMODULE m = 0;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       (LPCSTR)(p + 5 + d), &m);
    return m;
}

/* Blocks a runtime made before the library loaded. */
struct OldBlocks {
    char *plain;
    size_t plainSize;
    char *aligned;
    void Make(const Crt &c)
    {
        plain = (char *)c.malloc(100);
        strcpy(plain, "made by the runtime");
        plainSize = c.msize(plain);
        aligned = c.alignedMalloc ? (char *)c.alignedMalloc(100, 64) : 0;
        if (aligned) strcpy(aligned, "aligned by the runtime");
    }
};

static void CheckRuntime(const char *name, const Crt &c, const OldBlocks &old, HMODULE vorrel, IsDynamic isDynamic)
{
    fprintf(stderr, "%s\n", name);
    void *const entries[] = {(void *)c.malloc, (void *)c.free,          (void *)c.realloc,        (void *)c.msize,
                             (void *)c.expand, (void *)c.alignedMalloc, (void *)c.alignedFree,
                             (void *)c.alignedRealloc, (void *)c.alignedMsize};
    for (void *e : entries)
        if (e) CHECK(JumpModule(e) == vorrel);

    char *p = (char *)c.malloc(100);
    CHECK(p && isDynamic(p) && c.msize(p) == 100);
    if (c.expand) CHECK(c.expand(p, 104) == p && c.msize(p) == 104);
    if (c.recalloc) {
        memset(p, 0xAB, 104);
        char *q = (char *)c.recalloc(p, 2, 100);
        CHECK(q && q[0] == (char)0xAB && q[103] == (char)0xAB && q[104] == 0 && q[199] == 0);
        p = q;
    }
    c.free(p);

    /* The runtime's old blocks: its own _msize, copied out, never freed. */
    CHECK(!isDynamic(old.plain));
    CHECK(c.msize(old.plain) == old.plainSize);
    char *moved = (char *)c.realloc(old.plain, 300);
    CHECK(moved && isDynamic(moved) && strcmp(moved, "made by the runtime") == 0);
    c.free(old.plain);
    CHECK(strcmp(old.plain, "made by the runtime") == 0);
    c.free(moved);

    if (!c.alignedMalloc || !c.alignedRealloc) return;
    char *a = (char *)c.alignedMalloc(1000, 256);
    CHECK(a && ((uintptr_t)a & 255) == 0 && isDynamic(a));
    if (c.alignedMsize) CHECK(c.alignedMsize(a, 256, 0) == 1000);
    c.alignedFree(a);
    CHECK(old.aligned && !isDynamic(old.aligned));
    if (c.alignedMsize) CHECK(c.alignedMsize(old.aligned, 64, 0) == 100);
    char *am = (char *)c.alignedRealloc(old.aligned, 5000, 64);
    CHECK(am && ((uintptr_t)am & 63) == 0 && isDynamic(am) && strcmp(am, "aligned by the runtime") == 0);
    c.alignedFree(old.aligned);
    CHECK(strcmp(old.aligned, "aligned by the runtime") == 0);
    c.alignedFree(am);
}

int main()
{
    const char *const names[] = {"msvcrt.dll", "ucrtbase.dll", "msvcr70.dll", "msvcr71.dll", "msvcr80.dll",
                                 "msvcr90.dll", "msvcr100.dll", "msvcr110.dll", "msvcr120.dll"};
    const int n = sizeof names / sizeof names[0];
    Crt crts[n];
    OldBlocks old[n];
    for (int i = 0; i < n; i++) {
        HMODULE m = LoadLibraryA(names[i]);
        crts[i].module = m;
        if (m) {
            crts[i].Load(m);
            old[i].Make(crts[i]);
        }
    }
    CHECK(crts[0].module && crts[1].module);  /* ucrtbase must be there to test with */

    HMODULE vorrel = LoadLibraryA("vorrel.dll");
    CHECK(vorrel != 0);
    if (!vorrel) return 1;
    IsDynamic isDynamic = (IsDynamic)(void *)GetProcAddress(vorrel, "_Z15IsDynamicMemoryPKv");
    CHECK(isDynamic != 0);
    if (!isDynamic) return 1;
    for (int i = 0; i < n; i++)
        if (crts[i].module) CheckRuntime(names[i], crts[i], old[i], vorrel, isDynamic);

    /* Each runtime's _msize leads to a replacement of its own. */
    CHECK(JumpModule((void *)crts[0].msize) == vorrel);
    CHECK(*(int32_t *)((uint8_t *)crts[0].msize + 1) + (uintptr_t)crts[0].msize !=
          *(int32_t *)((uint8_t *)crts[1].msize + 1) + (uintptr_t)crts[1].msize);

    if (g_failures) fprintf(stderr, "late_runtimes: %d check(s) failed\n", g_failures);
    else printf("late_runtimes: ok\n");
    return g_failures ? 1 : 0;
}
