/*
 * aligned_posix.cpp - the aligned allocation entries on Linux: every one is
 * patched and serves library blocks aligned as asked, for several
 * alignments and sizes, from the thread's cache too; free, realloc and
 * malloc_usable_size work on them;
 * the error cases answer as the C library does; the heap's counters and
 * zero-filling hold for them; and 100,000 allocate/free cycles do not grow
 * resident memory.
 */
#include <errno.h>
#include <malloc.h>
#include <stdlib.h>

#include <new>

#include "hook_common.h"
#include "vr_test.h"

typedef void *(*AlignFn)(size_t, size_t);
typedef int (*PosixFn)(void **, size_t, size_t);
typedef void *(*SizeFn)(size_t);
typedef void *(*NewFn)(size_t, std::align_val_t);
typedef void *(*NewNothrowFn)(size_t, std::align_val_t, const std::nothrow_t &);
typedef void (*DeleteFn)(void *, std::align_val_t);
typedef void (*SizedDeleteFn)(void *, size_t, std::align_val_t);

static void *Sym(const char *module, const char *name)
{
    void *m = dlopen(module, RTLD_LAZY | RTLD_NOLOAD);
    return m ? dlsym(m, name) : 0;
}

struct Aligned {
    AlignFn memalign = (AlignFn)Sym("libc.so.6", "memalign");
    PosixFn posixMemalign = (PosixFn)Sym("libc.so.6", "posix_memalign");
    AlignFn alignedAlloc = (AlignFn)Sym("libc.so.6", "aligned_alloc");
    SizeFn valloc = (SizeFn)Sym("libc.so.6", "valloc");
    SizeFn pvalloc = (SizeFn)Sym("libc.so.6", "pvalloc");
    NewFn opNew = (NewFn)Sym("libstdc++.so.6", "_ZnwjSt11align_val_t");
    NewFn opNewArray = (NewFn)Sym("libstdc++.so.6", "_ZnajSt11align_val_t");
    NewNothrowFn opNewNothrow = (NewNothrowFn)Sym("libstdc++.so.6", "_ZnwjSt11align_val_tRKSt9nothrow_t");
    NewNothrowFn opNewArrayNothrow = (NewNothrowFn)Sym("libstdc++.so.6", "_ZnajSt11align_val_tRKSt9nothrow_t");
    DeleteFn opDelete = (DeleteFn)Sym("libstdc++.so.6", "_ZdlPvSt11align_val_t");
    DeleteFn opDeleteArray = (DeleteFn)Sym("libstdc++.so.6", "_ZdaPvSt11align_val_t");
    SizedDeleteFn opDeleteSized = (SizedDeleteFn)Sym("libstdc++.so.6", "_ZdlPvjSt11align_val_t");
    SizedDeleteFn opDeleteArraySized = (SizedDeleteFn)Sym("libstdc++.so.6", "_ZdaPvjSt11align_val_t");
};

/* A library block of exactly size bytes on the boundary, writable over its
   whole size. */
static int Good(void *p, size_t alignment, size_t size)
{
    if (!p || ((uintptr_t)p & (alignment - 1)) || !IsDynamicMemory(p)) return 0;
    if (malloc_usable_size(p) != size) return 0;
    memset(p, 0xA5, size);
    return 1;
}

/* Every entry jumps into the library. */
static void Patched(const Aligned &a)
{
    const void *entries[] = {(void *)a.memalign, (void *)a.posixMemalign, (void *)a.alignedAlloc,
                             (void *)a.valloc, (void *)a.pvalloc, (void *)a.opNew, (void *)a.opNewArray,
                             (void *)a.opNewNothrow, (void *)a.opNewArrayNothrow, (void *)a.opDelete,
                             (void *)a.opDeleteArray, (void *)a.opDeleteSized, (void *)a.opDeleteArraySized};
    for (const void *e : entries) {
        CHECK(e != 0);
        CHECK(e && JumpTarget((void *)e) != 0);
    }
}

static void EveryEntry(const Aligned &a)
{
    static const size_t alignments[] = {1, 8, 16, 32, 64, 256, 4096, 65536, 1u << 20};
    static const size_t sizes[] = {0, 1, 24, 1000, 5000, 100000};
    for (size_t al : alignments) {
        for (size_t n : sizes) {
            void *m = a.memalign(al, n);
            CHECK(Good(m, al, n));
            void *q = 0;
            if (al >= sizeof(void *)) {
                CHECK(a.posixMemalign(&q, al, n) == 0);
                CHECK(Good(q, al, n));
            }
            void *c = a.alignedAlloc(al, n);
            CHECK(Good(c, al, n));
            void *d = a.opNew(n, std::align_val_t(al));
            CHECK(Good(d, al, n));
            void *e = a.opNewArray(n, std::align_val_t(al));
            CHECK(Good(e, al, n));
            void *f = a.opNewNothrow(n, std::align_val_t(al), std::nothrow);
            CHECK(Good(f, al, n));
            void *g = a.opNewArrayNothrow(n, std::align_val_t(al), std::nothrow);
            CHECK(Good(g, al, n));

            /* realloc keeps the contents, wherever the block goes. */
            void *r = realloc(m, n + 3000);
            CHECK(r != 0 && malloc_usable_size(r) == n + 3000);
            if (r) {
                uint8_t *b = (uint8_t *)r;
                int same = 1;
                for (size_t i = 0; i < n; i++) same &= b[i] == 0xA5;
                CHECK(same);
            }
            free(r);
            free(q);
            free(c);
            a.opDelete(d, std::align_val_t(al));
            a.opDeleteArray(e, std::align_val_t(al));
            a.opDeleteSized(f, n, std::align_val_t(al));
            a.opDeleteArraySized(g, n, std::align_val_t(al));
        }
        CHECK(DefaultHeap.Validate() == 0);
    }

    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    void *v = a.valloc(100);
    CHECK(Good(v, page, 100));
    void *pv = a.pvalloc(100);
    CHECK(Good(pv, page, page));
    void *pz = a.pvalloc(page + 1);
    CHECK(Good(pz, page, 2 * page));
    free(v);
    free(pv);
    free(pz);

    /* The language's own forms: an over-aligned type with new and new[]. */
    struct alignas(128) Wide {
        char bytes[200];
    };
    Wide *one = new Wide;
    Wide *many = new Wide[5];
    CHECK(((uintptr_t)one & 127) == 0 && IsDynamicMemory(one));
    CHECK(((uintptr_t)many & 127) == 0 && IsDynamicMemory(many));
    delete one;
    delete[] many;

    /* Kept and freed out of order: the chunks in front and behind merge
       back, and the heap stays sound. */
    void *kept[40];
    for (int i = 0; i < 40; i++) kept[i] = a.memalign((size_t)64 << (i % 8), 100 + 997 * i);
    for (int i = 0; i < 40; i++) CHECK(Good(kept[i], (size_t)64 << (i % 8), 100 + 997 * i));
    for (int i = 0; i < 40; i += 2) free(kept[i]);
    CHECK(DefaultHeap.Validate() == 0);
    for (int i = 1; i < 40; i += 2) free(kept[i]);
    CHECK(DefaultHeap.Validate() == 0);
}

/* The entries' inline path takes a block waiting in the thread's cache only
   when it lies on the boundary. On a heap of its own, made the thread's
   default, the first plain block of the class is the first block of a
   fresh page set, off every boundary beyond kBlockAlignment; freed, it is
   the newest in its bin, and every entry still answers on the boundary
   with a block of the class while it keeps waiting. */
static void CachedPath(const Aligned &a)
{
    static const size_t alignments[] = {32, 64, 128, 256};
    static const size_t sizes[] = {24, 64, 200};
    for (size_t al : alignments) {
        for (size_t n : sizes) {
            VR_Heap mt(VR_HEAP_MULTITHREADED);
            VR_Heap::SetDefault(mt);
            VR_Test::FlushThreadCache();   /* binds to mt at its first request */
            size_t cs = VR_Test::SizeClass(AlignedClassOf(n, al));
            void *odd = malloc(cs - 8);
            CHECK(odd && (uintptr_t)odd % al != 0);
            free(odd);
            void *q = 0;
            CHECK(a.posixMemalign(&q, al, n) == 0);
            void *got[] = {q, a.memalign(al, n), a.alignedAlloc(al, n), a.opNew(n, std::align_val_t(al))};
            for (void *g : got) {
                CHECK(Good(g, al, n) && g != odd);
                CHECK(g && VR_Test::SizeClass(SmallHeaderOf(g)->sizeClass) == cs);
            }
            CHECK(BlockFlagsOf(odd) == (kBlockFree | kBlockCached));
            for (void *g : got) free(g);
            CHECK(mt.Validate() == 0);
            VR_Heap::SetDefault(DefaultHeap);
        }
    }
}

static void Errors(const Aligned &a)
{
    void *p = (void *)&p;
    CHECK(a.posixMemalign(&p, 3, 10) == EINVAL && p == (void *)&p);
    CHECK(a.posixMemalign(&p, 2, 10) == EINVAL && p == (void *)&p);
    CHECK(a.posixMemalign(&p, 0, 10) == EINVAL && p == (void *)&p);
    CHECK(a.posixMemalign(&p, 64, 0x80000000u) == ENOMEM && p == (void *)&p);
    CHECK(a.posixMemalign(&p, 64, 0xFFFFFFF0u) == ENOMEM && p == (void *)&p);

    errno = 0;
    CHECK(a.memalign(64, 0x80000000u) == 0 && errno == ENOMEM);
    errno = 0;
    CHECK(a.memalign(0x80000001u, 10) == 0 && errno == EINVAL);
    errno = 0;
    CHECK(a.alignedAlloc(4096, 0xFFFFF000u) == 0 && errno == ENOMEM);
    errno = 0;
    CHECK(a.pvalloc(0xFFFFF001u) == 0 && errno == ENOMEM);
    errno = 0;
    CHECK(a.opNewNothrow(0x90000000u, std::align_val_t(64), std::nothrow) == 0 && errno == ENOMEM);

    /* memalign takes an alignment that is no power of two as the next one. */
    void *m = a.memalign(48, 100);
    CHECK(Good(m, 64, 100));
    free(m);
    CHECK(DefaultHeap.Validate() == 0);
}

/* VR_Heap::AllocAligned itself, on heaps of its own: the counters hold
   exactly the chunks in use (the first block, small, is of a small class),
   and a zero-filling heap zero-fills. */
static void OwnHeaps()
{
    VR_Heap plain(0);
    VR_HeapCounters &c = VR_Test::Counters(plain);
    void *blocks[12];
    uint32_t chunks = 0;
    for (int i = 0; i < 12; i++) {
        blocks[i] = plain.AllocAligned((unsigned long)32 << i, 50 + 1500 * i);
        CHECK(blocks[i] && ((uintptr_t)blocks[i] & ((32u << i) - 1)) == 0);
        if (blocks[i] && i) chunks += ChunkTagOfHeader(AltHeaderOf(blocks[i]));
    }
    CHECK(blocks[0] && !(BlockFlagsOf(blocks[0]) & kBlockAlt) && plain.GetBlockSize(blocks[0]) == 50);
    CHECK(c.bigBlocks == 11 && c.bigBytes == chunks && c.smallBytes % 32 == 0 && c.smallBytes >= 64);
    CHECK(plain.AllocAligned(48, 10) == 0);   /* no power of two */
    CHECK(plain.AllocAligned(0, 10) == 0);
    for (void *b : blocks) VR_Heap::FreeMem(b);
    CHECK(c.bigBlocks == 0 && c.bigBytes == 0 && c.smallBytes == 0);
    CHECK(plain.Validate() == 0);

    VR_Heap zeroing(VR_HEAP_ZERO_INIT);
    for (int round = 0; round < 2; round++) {
        uint8_t *z = (uint8_t *)zeroing.AllocAligned(4096, 20000);
        CHECK(z != 0);
        if (!z) break;
        CHECK(IsMemoryFilledWith(z, 20000, 0));
        memset(z, 0xEE, 20000);   /* the next round gets the same chunk back */
        VR_Heap::FreeMem(z);
    }
    CHECK(zeroing.Validate() == 0);
}

static long Resident()
{
    FILE *f = fopen("/proc/self/statm", "r");
    long size = 0, resident = 0;
    if (f) {
        if (fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
        fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

static void NoGrowth(const Aligned &a)
{
    long before = Resident();
    for (int i = 0; i < 100000; i++) {
        void *p = a.memalign((size_t)32 << (i % 4), 100 + (i % 7) * 300);
        if (!p) {
            CHECK(p != 0);
            break;
        }
        free(p);
    }
    long grown = Resident() - before;
    if (grown > 1 << 20) fprintf(stderr, "resident memory grew by %ld bytes\n", grown);
    CHECK(grown <= 1 << 20);
}

int main()
{
    Aligned a;
    Patched(a);
    EveryEntry(a);
    CachedPath(a);
    Errors(a);
    OwnHeaps();
    NoGrowth(a);
    CHECK(DefaultHeap.Validate() == 0);
    return Finish("aligned_posix");
}
