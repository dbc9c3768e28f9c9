/*
 * static_early.cpp - global heaps used before their constructors run. An
 * initialiser of higher priority allocates from two heaps whose
 * constructors come later; the heaps must initialise themselves lazily
 * (locked, zero-filling, static), their constructors must keep the blocks
 * and only adjust the switches, and after the heaps' destruction at exit
 * the blocks must still be valid and freeable, without a lock.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "heap_internal.h"
#include "vr_test.h"

extern VR_Heap g_dropsLock;
extern VR_Heap g_keepsLock;

namespace {

int s_failures;
void *s_early[2];
long s_lazyFlags;

#define CHECK(c)                                                        \
    do {                                                                \
        if (!(c)) {                                                     \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c); \
            s_failures++;                                               \
        }                                                               \
    } while (0)

struct EarlyUser {
    EarlyUser()
    {
        CHECK(VR_Test::Initialized(g_dropsLock) == 0);
        s_early[0] = g_dropsLock.AllocMem(200);
        s_early[1] = g_keepsLock.AllocMem(40);
        s_lazyFlags = VR_Test::Flags(g_dropsLock);
        CHECK(s_early[0] && s_early[1]);
        if (s_early[0]) memset(s_early[0], 0x3C, 200);
    }
};

/* Constructed before the heaps, so destroyed after them: checks that a
   destroyed static heap still holds and serves its blocks. */
struct LateChecker {
    ~LateChecker()
    {
        CHECK(VR_Test::LockActive(g_keepsLock) == 0);
        CHECK(VR_Test::PageSets(g_dropsLock) != 0);
        CHECK(((unsigned char *)s_early[0])[199] == 0x3C);
        VR_Heap::FreeMem(s_early[0]);
        VR_Heap::FreeMem(s_early[1]);
        CHECK(g_keepsLock.AllocMem(40) == s_early[1]);
        CHECK(g_dropsLock.Validate() == 0);
        CHECK(g_keepsLock.Validate() == 0);
        if (s_failures) {
            fflush(stderr);
            _Exit(1);
        }
    }
};

LateChecker s_lateChecker __attribute__((init_priority(290)));
EarlyUser s_earlyUser __attribute__((init_priority(300)));

} // namespace

VR_Heap g_dropsLock __attribute__((init_priority(400)))(VR_HEAP_NO_STD_NEW_HANDLER, "dropsLock");
VR_Heap g_keepsLock __attribute__((init_priority(400)))(VR_HEAP_MULTITHREADED | VR_HEAP_ZERO_INIT, "keepsLock");

int main()
{
    CHECK(s_lazyFlags == (long)(VR_HEAP_MULTITHREADED | VR_HEAP_ZERO_INIT | VR_HEAP_STATIC));

    // Constructed after use: lock and zero-filling dropped, other bits ignored.
    CHECK(VR_Test::Flags(g_dropsLock) == (long)VR_HEAP_STATIC);
    CHECK(g_dropsLock.IsMultithreaded() == 0);
    CHECK(VR_Test::LockActive(g_dropsLock) == 0);
    CHECK(VR_Test::Flags(g_keepsLock) == (long)(VR_HEAP_MULTITHREADED | VR_HEAP_ZERO_INIT | VR_HEAP_STATIC));
    CHECK(VR_Test::LockActive(g_keepsLock) != 0);

    // The early blocks survived construction; the blocks lent to this
    // thread's cache go back once it is flushed.
    VR_Test::FlushThreadCache();
    CHECK(PageSetOf(s_early[0]) == VR_Test::PageSets(g_dropsLock));
    CHECK(((VR_SmallPageSet *)PageSetOf(s_early[0]))->usedCount == 1);
    CHECK(IsMemoryFilledWith(s_early[0], 200, 0x3C));
    CHECK(IsMemoryFilledWith(s_early[1], 40, 0));

    // Zero-filling stopped for one heap and goes on for the other.
    unsigned char *a = (unsigned char *)g_dropsLock.AllocMem(30);
    memset(a, 0xEE, 30);
    VR_Heap::FreeMem(a);
    CHECK(g_dropsLock.AllocMem(30) == a && a[10] == 0xEE);
    unsigned char *b = (unsigned char *)g_keepsLock.AllocMem(30);
    memset(b, 0xEE, 30);
    VR_Heap::FreeMem(b);
    CHECK(g_keepsLock.AllocMem(30) == b && IsMemoryFilledWith(b, 30, 0));
    VR_Heap::FreeMem(a);
    VR_Heap::FreeMem(b);

    // The library's own heaps were constructed the same way at load.
    CHECK(VR_Test::Flags(HeapForHeaps) & VR_HEAP_STATIC);
    CHECK(VR_Test::Flags(DefaultHeap) & VR_HEAP_STATIC);
    CHECK(g_dropsLock.Validate() == 0);
    CHECK(g_keepsLock.Validate() == 0);
    if (s_failures) return 1;
    return 0;
}
