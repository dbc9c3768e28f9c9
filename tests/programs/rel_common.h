/*
 * rel_common.h - what the reliability programs share: argument parsing, a
 * seeded generator, the identity patterns that every live block carries, the
 * failure report that ends a program, and a count of the library's reserved
 * address space taken from the region map.
 *
 * Nothing here allocates: when the runtime's allocator is intercepted, any
 * allocation of the test itself would land in the heaps under test and blur
 * what they are checked against.
 */
#ifndef VR_REL_COMMON_H
#define VR_REL_COMMON_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "layout.h"
#include "pages.h"
#include "system.h"
#include "vorrel.h"

/* Ends the program with a message naming the broken expectation. */
#define REL_CHECK(cond, ...)                                                   \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "FAILED %s:%d: %s: ", __FILE__, __LINE__, #cond);  \
            fprintf(stderr, __VA_ARGS__);                                      \
            fprintf(stderr, "\n");                                             \
            fflush(stderr);                                                    \
            _Exit(1);                                                          \
        }                                                                      \
    } while (0)

/* --name N on the command line, or fallback. */
inline uint64_t RelArg(int argc, char **argv, const char *name, uint64_t fallback)
{
    for (int i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], name) == 0) return strtoull(argv[i + 1], 0, 0);
    return fallback;
}

inline int RelFlag(int argc, char **argv, const char *name)
{
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], name) == 0) return 1;
    return 0;
}

/* splitmix64: small, seedable, good enough to drive random workloads. */
struct RelRng {
    uint64_t s;
    explicit RelRng(uint64_t seed = 1) : s(seed * 0x9E3779B97F4A7C15ull + 0x1234567u) {}
    uint64_t Next()
    {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return n ? (uint32_t)(Next() % n) : 0; }
    uint32_t Range(uint32_t lo, uint32_t hi) { return lo + Below(hi - lo + 1); } /* inclusive */
    int Chance(uint32_t percent) { return Below(100) < percent; }
};

/* The byte at offset i of a block with identity id. Shifting a block's bytes
   by k positions gives the pattern read at i + k, so edits that move bytes
   can be checked against the pattern they started from. */
inline uint8_t RelPatternByte(uint32_t id, uint32_t i)
{
    uint32_t v = (id * 0x2545F491u + i) * 0x9E3779B1u;
    return (uint8_t)(v >> 24);
}

inline void RelStamp(void *p, uint32_t id, uint32_t from, uint32_t to)
{
    uint8_t *b = (uint8_t *)p;
    uint32_t base = id * 0x2545F491u;
    for (uint32_t i = from; i < to; i++) b[i] = (uint8_t)(((base + i) * 0x9E3779B1u) >> 24);
}

/* Offset of the first byte in [from, to) that differs from the pattern of id
   shifted by delta (byte i must equal pattern(id, i + delta)); to when all
   match. */
inline uint32_t RelFindMismatch(const void *p, uint32_t id, uint32_t from, uint32_t to, uint32_t delta = 0)
{
    /* The expected bytes are made a chunk at a time (a loop the compiler
       vectorises) and compared with memcmp; only a differing chunk is
       searched byte by byte. */
    enum { kChunk = 2048 };
    uint8_t expect[kChunk];
    const uint8_t *b = (const uint8_t *)p;
    while (from < to) {
        uint32_t n = to - from < kChunk ? to - from : kChunk;
        uint32_t base = id * 0x2545F491u + from + delta;
        for (uint32_t i = 0; i < n; i++) expect[i] = (uint8_t)(((base + i) * 0x9E3779B1u) >> 24);
        if (memcmp(b + from, expect, n) != 0)
            for (uint32_t i = 0; i < n; i++)
                if (b[from + i] != expect[i]) return from + i;
        from += n;
    }
    return to;
}

/* As RelFindMismatch, but long ranges are sampled: their first and last
   16 KB and 512 bytes around every 64 KB boundary, where copies, commits and
   chunk edges meet. Keeps a million-step model run within minutes. */
inline uint32_t RelFindMismatchSampled(const void *p, uint32_t id, uint32_t from, uint32_t to, uint32_t delta = 0)
{
    enum { kEdge = 16384, kWindow = 256 };
    if (to - from <= 4 * kEdge) return RelFindMismatch(p, id, from, to, delta);
    uint32_t bad = RelFindMismatch(p, id, from, from + kEdge, delta);
    if (bad != from + kEdge) return bad;
    bad = RelFindMismatch(p, id, to - kEdge, to, delta);
    if (bad != to) return bad;
    for (uint32_t edge = (from + kEdge) & ~65535u; edge < to - kEdge; edge += 65536) {
        if (edge < from + kEdge + kWindow) continue;
        bad = RelFindMismatch(p, id, edge - kWindow, edge + kWindow, delta);
        if (bad != edge + kWindow) return bad;
    }
    return to;
}

inline uint32_t RelFindNonZero(const void *p, uint32_t from, uint32_t to)
{
    const uint8_t *b = (const uint8_t *)p;
    while (from < to && (from & 3)) if (b[from++] != 0) return from - 1;
    while (to - from >= 4 && *(const uint32_t *)(b + from) == 0) from += 4;
    for (; from < to; from++)
        if (b[from] != 0) return from;
    return to;
}

/* Library reservations in 64 KB regions, counted in the region map. */
inline uint32_t RelReservedRegions()
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < sizeof(s_regionMap); i++) n += (uint32_t)__builtin_popcount(s_regionMap[i]);
    return n;
}

inline uint32_t RelPageSize()
{
    if (s_pageSize == 0) LoadSystemInfo();
    return s_pageSize;
}

/* The general heap's size classes, the model's own copy: 52 where blocks
   are 8-aligned, 40 where they are 16-aligned (classes step by at least
   the alignment and stay multiples of it). */
inline const uint16_t *RelClasses(uint32_t *count)
{
    static const uint16_t kBy8[52] = {
        16, 24, 32, 40, 48, 56, 64, 72, 80, 88, 96, 104, 112, 120, 128, 136, 144, 152,
        160, 168, 176, 184, 200, 216, 232, 248, 264, 280, 296, 312, 328, 344, 368, 392,
        416, 440, 464, 488, 512, 544, 576, 608, 640, 672, 712, 752, 792, 832, 880, 928,
        976, 1024};
    static const uint16_t kBy16[40] = {
        16, 32, 48, 64, 80, 96, 112, 128, 144, 160, 176, 192, 208, 224, 240, 256, 272, 288,
        304, 320, 336, 352, 384, 416, 448, 480, 512, 544, 576, 608, 640, 672, 720, 768,
        816, 864, 912, 960, 1008, 1024};
    *count = kBlockAlignment == 8 ? 52 : 40;
    return kBlockAlignment == 8 ? kBy8 : kBy16;
}

inline uint32_t RelClassCount()
{
    uint32_t n;
    RelClasses(&n);
    return n;
}

/* The size class of a small request, as the general heap assigns it. */
inline uint32_t RelClassSize(uint32_t size)
{
    uint32_t n;
    const uint16_t *classes = RelClasses(&n);
    uint32_t total = size + 8;
    for (uint32_t k = 0; k < n; k++)
        if (classes[k] >= total) return classes[k];
    return 0;
}

inline uint32_t RelClassEdge(uint32_t k)
{
    uint32_t n;
    const uint16_t *classes = RelClasses(&n);
    return classes[k % n];
}

enum RelKind { kRelSmall = 0, kRelBig = 1, kRelDirect = 2 };

/* What the block's own header says it is. */
inline int RelKindOf(const void *p)
{
    if (!(BlockFlagsOf(p) & kBlockAlt)) return kRelSmall;
    return AltHeaderOf(p)->direct ? kRelDirect : kRelBig;
}

#endif
