/*
 * endurance.cpp - programs whose live set grows large, near the end of a
 * 32-bit address space, and what an allocator keeps once they give memory
 * back.
 *
 *   grow        a live set of mixed sizes (70% 16-512 B, 25% 0.5-64 KB, 5%
 *               64 KB-1 MB; after each request a live block is freed again
 *               with probability 1/3) grown to the first failed request:
 *               CPU seconds spent (grow-cpu) and live MB at the failure
 *               (grow-live)
 *   apairs      aligned request and free at once, 32-byte alignment of 64
 *               bytes and 64-byte alignment of 200 bytes, beside the plain
 *               malloc of the same sizes: time per pair
 *   alive*,live*  100,000 live blocks of each of those kinds: bytes of
 *               resident memory per block
 *   shuffle     a million blocks of 8-208 bytes freed in shuffled order:
 *               memory the process still holds afterwards
 *   fillbig     small blocks filling 1 GB (512 MB on Windows), all freed,
 *               then 1 MB blocks up to the first failure: MB reached
 *               (fillbig-live) and memory held after the small blocks went
 *               (fillbig-held)
 *   freeall     400 MB worth of blocks of 1-64 KB and 65-900 KB made and
 *               freed in random order (about 60 MB live at a time), then
 *               all freed while the thread keeps running: resident memory
 *               of the whole process afterwards (freeall-kb)
 *
 * Memory is the resident set (Linux) or the working set (Windows).
 */
#include <algorithm>

#include "bench.h"

#if defined(_WIN32)
#  include <malloc.h>
#endif

using namespace vrb;

static void *Aligned(uint32_t alignment, uint32_t size) {
#if defined(_WIN32)
    return _aligned_malloc(size, alignment);
#else
    if (alignment == 32) {
        void *p = 0;
        return posix_memalign(&p, alignment, size) == 0 ? p : 0;
    }
    return aligned_alloc(alignment, size);
#endif
}

static void AlignedFree(void *p) {
#if defined(_WIN32)
    _aligned_free(p);
#else
    free(p);
#endif
}

/* ---- grow to the first failure ------------------------------------------ */

static uint32_t MixedSize(Rng &rng) {
    uint32_t r = rng.Below(100);
    if (r < 70)
        return 16 + rng.Below(497);
    if (r < 95)
        return 512 + rng.Below(65536 - 512 + 1);
    return 65536 + rng.Below(1048576 - 65536 + 1);
}

static void Grow() {
    /* The smoke pass stops at 64 MB live instead of at the failure. */
    const uint64_t limit = g_opt.smoke ? (64ull << 20) : ~0ull;
    const uint32_t cap = 1u << 20;
    void **live = (void **)malloc(cap * sizeof(void *));
    uint32_t *sizes = (uint32_t *)malloc(cap * sizeof(uint32_t));
    if (!live || !sizes) {
        Check(0, "bookkeeping arrays");
        return;
    }
    Rng rng(12345);
    uint32_t n = 0;
    uint64_t liveBytes = 0;
    double t0 = CpuNs();
    while (n < cap && liveBytes < limit) {
        uint32_t size = MixedSize(rng);
        uint32_t *p = (uint32_t *)malloc(size);
        if (!p)
            break;
        p[0] = size;
        live[n] = p;
        sizes[n++] = size;
        liveBytes += size;
        if (rng.Below(3) == 0) {
            uint32_t i = rng.Below(n);
            Check(((uint32_t *)live[i])[0] == sizes[i], "live block keeps its first word");
            free(live[i]);
            liveBytes -= sizes[i];
            live[i] = live[--n];
            sizes[i] = sizes[n];
        }
    }
    double t1 = CpuNs();
    Check(n < cap, "live set bounded by the bookkeeping");
    Report("grow-cpu", "s", (t1 - t0) / 1e9);
    Report("grow-live", "mb", (double)liveBytes / 1048576.0);
    for (uint32_t i = 0; i < n; ++i)
        free(live[i]);
    free(sizes);
    free(live);
}

/* ---- aligned requests ---------------------------------------------------- */

static void Pairs(const char *name, uint32_t alignment, uint32_t size, uint32_t count) {
    uint32_t pairs = 0;
    double t0 = CpuNs();
    while (pairs < count || CpuNs() - t0 < MinCpuNs()) {
        for (uint32_t i = 0; i < 1024; ++i) {
            void *p = alignment ? Aligned(alignment, size) : malloc(size);
            Escape(p);
            if (alignment) {
                Check(p && ((uintptr_t)p & (alignment - 1)) == 0, "aligned pair block on its boundary");
                AlignedFree(p);
            } else {
                free(p);
            }
        }
        pairs += 1024;
    }
    double t1 = CpuNs();
    Report(name, "ns_per_op", (t1 - t0) / pairs);
}

/* count live blocks at once: resident bytes per block. A request that
   takes far too long stops early (the figure is then over fewer blocks,
   and the program says so). */
static void LiveBlocks(const char *name, uint32_t alignment, uint32_t size, uint32_t count) {
    void **blocks = (void **)malloc(count * sizeof(void *));
    if (!blocks) {
        Check(0, "pointer array");
        return;
    }
    memset(blocks, 0, count * sizeof(void *));
    uint64_t before = ResidentKb();
    double t0 = CpuNs();
    uint32_t n = 0;
    for (; n < count; ++n) {
        void *p = alignment ? Aligned(alignment, size) : malloc(size);
        if (!p)
            break;
        Check(!alignment || ((uintptr_t)p & (alignment - 1)) == 0, "aligned live block on its boundary");
        memset(p, (int)n, size);
        blocks[n] = p;
        if ((n & 1023) == 1023 && CpuNs() - t0 > 10e9) {
            fprintf(stderr, "%s: %s stopped after %u blocks (10 s)\n", g_prog, name, n + 1);
            ++n;
            break;
        }
    }
    uint64_t after = ResidentKb();
    Check(n > 0, "live blocks allocated");
    for (uint32_t i = 0; i < n; ++i) {
        if (((unsigned char *)blocks[i])[size - 1] != (unsigned char)i)
            Check(0, "live block keeps its bytes");
        if (alignment)
            AlignedFree(blocks[i]);
        else
            free(blocks[i]);
    }
    free(blocks);
    if (n)
        Report(name, "bytes", (double)(after > before ? after - before : 0) * 1024.0 / n);
}

/* ---- a million small blocks freed in shuffled order ---------------------- */

static void Shuffle() {
    const uint32_t count = Count(1000000, 20000);
    void **blocks = (void **)malloc(count * sizeof(void *));
    if (!blocks) {
        Check(0, "pointer array");
        return;
    }
    Rng rng(777);
    uint64_t before = ResidentKb();
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t size = 8 + rng.Below(201);
        blocks[i] = malloc(size);
        if (!blocks[i]) {
            Check(0, "small block");
            return;
        }
        memset(blocks[i], 0x5A, size);
    }
    for (uint32_t i = count - 1; i > 0; --i)
        std::swap(blocks[i], blocks[rng.Below(i + 1)]);
    for (uint32_t i = 0; i < count; ++i)
        free(blocks[i]);
    uint64_t after = ResidentKb();
    free(blocks);
    Report("shuffle", "kb", (double)(after > before ? after - before : 0));
}

/* ---- small blocks filling memory, freed, then big blocks ------------------ */

static void FillBig() {
#if defined(_WIN32)
    const uint64_t fill = g_opt.smoke ? (8ull << 20) : (512ull << 20);
#else
    const uint64_t fill = g_opt.smoke ? (8ull << 20) : (1024ull << 20);
#endif
    const uint64_t bigLimit = g_opt.smoke ? (64ull << 20) : ~0ull;
    const uint32_t cap = (uint32_t)(fill / 16) + 1;
    void **blocks = (void **)malloc(cap * sizeof(void *));
    if (!blocks) {
        Check(0, "pointer array");
        return;
    }
    Rng rng(4242);
    uint64_t before = ResidentKb();
    uint64_t bytes = 0;
    uint32_t n = 0;
    while (bytes < fill && n < cap) {
        uint32_t size = 16 + rng.Below(497);
        void *p = malloc(size);
        if (!p)
            break;
        memset(p, 1, 16);
        blocks[n++] = p;
        bytes += size;
    }
    Check(bytes >= fill, "small blocks fill their share");
    for (uint32_t i = 0; i < n; ++i)
        free(blocks[i]);
    uint64_t held = ResidentKb();

    /* The pointer array serves the big blocks too (1 MB each: 4096 of them
       span all 4 GB). */
    uint32_t big = 0;
    uint64_t bigBytes = 0;
    while (big < cap && bigBytes < bigLimit) {
        void *p = malloc(1u << 20);
        if (!p)
            break;
        memset(p, 2, 64);
        blocks[big++] = p;
        bigBytes += 1u << 20;
    }
    for (uint32_t i = 0; i < big; ++i)
        free(blocks[i]);
    free(blocks);
    Report("fillbig-live", "mb", (double)bigBytes / 1048576.0);
    Report("fillbig-held", "kb", (double)(held > before ? held - before : 0));
}

/* ---- big blocks made and freed, then all freed, the thread running on ---- */

static void FreeAll() {
    const uint32_t slots = Count(240, 40);
    const uint64_t total = g_opt.smoke ? (16ull << 20) : (400ull << 20);
    void **blocks = (void **)calloc(slots, sizeof(void *));
    if (!blocks) {
        Check(0, "pointer array");
        return;
    }
    Rng rng(9090);
    uint64_t made = 0;
    /* Half the blocks of 1-64 KB, half of 65-900 KB: about 30 KB and 480 KB
       on average, so 240 slots hold about 60 MB. */
    while (made < total) {
        uint32_t i = rng.Below(slots);
        free(blocks[i]);
        uint32_t size = rng.Below(2) ? 1024 + rng.Below(63 * 1024) : 65 * 1024 + rng.Below(835 * 1024);
        unsigned char *p = (unsigned char *)malloc(size);
        if (!p) {
            Check(0, "big block");
            break;
        }
        memset(p, 0x33, size);
        blocks[i] = p;
        made += size;
    }
    for (uint32_t i = 0; i < slots; ++i)
        free(blocks[i]);
    free(blocks);
    Report("freeall", "kb", (double)ResidentKb());
}

int main(int argc, char **argv) {
    int status;
#if defined(ENDURANCE_LARGE_ADDRESS_AWARE)
    /* Only the cases that reach the end of the address space. */
    if (!Start("endurance_laa", argc, argv, &status))
        return status;
    if (Want("grow"))
        Grow();
    if (Want("fillbig"))
        FillBig();
    return Finish();
#endif
    if (!Start("endurance", argc, argv, &status))
        return status;
    if (Want("grow"))
        Grow();
    if (Want("apairs")) {
        uint32_t n = Count(2000000, 200000, 10000);
        Pairs("apair32x64", 32, 64, n);
        Pairs("pair64", 0, 64, n);
        Pairs("apair64x200", 64, 200, n);
        Pairs("pair200", 0, 200, n);
    }
    uint32_t liveCount = Count(100000, 2000);
    if (Want("alive32x64"))
        LiveBlocks("alive32x64", 32, 64, liveCount);
    if (Want("live64"))
        LiveBlocks("live64", 0, 64, liveCount);
    if (Want("alive64x200"))
        LiveBlocks("alive64x200", 64, 200, liveCount);
    if (Want("live200"))
        LiveBlocks("live200", 0, 200, liveCount);
    if (Want("shuffle"))
        Shuffle();
    if (Want("fillbig"))
        FillBig();
    if (Want("freeall"))
        FreeAll();
    return Finish();
}
