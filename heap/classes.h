/*
 * classes.h - the size classes of small blocks, as tables fixed when the
 * library is compiled: the class sizes (header included) and, for every
 * block size up to 1024, the class that serves it. The heap's lists and
 * the thread cache's bins both index them; being constants, they are read
 * with no set-up and no lock.
 */
#ifndef VR_HEAP_CLASSES_H
#define VR_HEAP_CLASSES_H

#include "layout.h"

enum {
    kMinBlock = 16,     /* header + the two free links */
    kMaxBlock = 1024,   /* largest class, header included */
    kHeaderBytes = 8
};

struct VR_SizeClasses {
    uint32_t size[VR_Heap::kSizeClassCount];   /* 0 behind the last class */
    uint8_t of[kMaxBlock + 1];                 /* smallest class holding t bytes */
};

/* Classes grow by about 5% (one alignment unit at least, kept a multiple
   of it), so a block wastes at most a twentieth of its size beyond the
   alignment. The classes step by the block alignment, so where that is 16
   fewer than kSizeClassCount are used. */
constexpr VR_SizeClasses MakeSizeClasses()
{
    VR_SizeClasses t = {};
    uint32_t s = kMinBlock;
    int i = 0;
    for (;;) {
        t.size[i] = s;
        uint32_t step = (s / 20 + kBlockAlignment - 1) & ~(kBlockAlignment - 1);
        if (step < kBlockAlignment) step = kBlockAlignment;
        uint32_t next = s + step;
        if (next > kMaxBlock) {
            if (s < kMaxBlock && i + 1 < VR_Heap::kSizeClassCount) t.size[i + 1] = kMaxBlock;
            break;
        }
        if (++i == VR_Heap::kSizeClassCount) break;
        s = next;
    }
    unsigned c = 0;
    for (uint32_t b = 0; b <= kMaxBlock; b++) {
        if (b > t.size[c]) c++;
        t.of[b] = (uint8_t)c;
    }
    return t;
}

inline constexpr VR_SizeClasses kClasses = MakeSizeClasses();

/* The class size of class k, header included. */
inline uint32_t ClassSize(unsigned k) { return kClasses.size[k]; }
/* The class of a small request of size bytes (size <= kSmallLimit). */
inline unsigned SmallClassOf(uint32_t size) { return kClasses.of[size + kHeaderBytes]; }

/* The rule the tables follow, checked as they are built: class sizes rise
   by at least the alignment and at most about 5% (a multiple of the
   alignment) up to 1024, and every size maps to the smallest class that
   holds it. */
constexpr int SizeClassesFollowTheRule()
{
    int n = 0;
    while (n < VR_Heap::kSizeClassCount && kClasses.size[n]) n++;
    if (n != (kBlockAlignment == 8 ? 52 : 40) || kClasses.size[n - 1] != kMaxBlock) return 0;
    for (int k = 0; k < n; k++) {
        if (kClasses.size[k] % kBlockAlignment) return 0;
        if (k > 0 && kClasses.size[k] <= kClasses.size[k - 1]) return 0;
        if (k > 0 && k < n - 1 && kClasses.size[k] - kClasses.size[k - 1] > kBlockAlignment &&
            kClasses.size[k] - kClasses.size[k - 1] > kClasses.size[k - 1] / 20 + kBlockAlignment)
            return 0;
    }
    for (uint32_t t = 0; t <= kMaxBlock; t++) {
        unsigned k = kClasses.of[t];
        if ((int)k >= n || kClasses.size[k] < t || (k > 0 && kClasses.size[k - 1] >= t)) return 0;
    }
    return 1;
}
static_assert(SizeClassesFollowTheRule(), "size classes: 52 (40 where blocks are 16-aligned), each the smallest that holds its sizes");

static_assert(kClasses.size[0] == kMinBlock && kClasses.of[kMaxBlock] < VR_Heap::kSizeClassCount &&
                  kClasses.size[kClasses.of[kMaxBlock]] == kMaxBlock,
              "the classes run from the smallest block to the largest");
static_assert(kClasses.of[VR_Heap::kSmallLimit + kHeaderBytes] == kClasses.of[kMaxBlock],
              "the largest small request fits the largest class");

/*
 * Aligned requests. A small request aligned beyond kBlockAlignment is served
 * by a class whose size is a multiple of the alignment: blocks of it cut
 * one after another from a point on the boundary all stay on it, so an
 * aligned run needs one filler block in front at most, and a homogeneous
 * live set of such blocks costs no more than the boundary forces (the
 * 8-byte header in front of each pointer makes the stride of two aligned
 * pointers at least size + 8, rounded up to the alignment).
 *
 * kAligned.of[r][k]: for an alignment of 1 << r, the smallest class from
 * class k on whose size is a multiple of the alignment (k itself up to
 * kBlockAlignment). Every row serves every class: the largest class, 1024,
 * is a multiple of every alignment up to kSmallAlignMax. Bigger alignments
 * are big blocks (aligned.cpp), and cost far more: a chunk of at least
 * kMinChunk bytes each, with a free chunk in front, under the heap's lock.
 */
enum {
    /* The largest alignment small blocks serve: 256 where blocks are
       16-aligned, 128 where they are 8-aligned (the fillers for 256 would
       include 176 bytes, no class there). */
    kSmallAlignMax = kBlockAlignment == 16 ? 256 : 128,
    kAlignRows = 9          /* alignments 1, 2, 4, ... 256 */
};
static_assert((kSmallAlignMax >> (kAlignRows - 1)) <= 1, "a row for every alignment served");

/* Rows of 64 entries, so that a row is found with a shift. */
struct VR_AlignedClasses {
    uint8_t of[kAlignRows][64];
};
static_assert(VR_Heap::kSizeClassCount <= 64, "a class table row holds every class");

constexpr VR_AlignedClasses MakeAlignedClasses()
{
    VR_AlignedClasses t = {};
    for (int r = 0; r < kAlignRows; r++) {
        uint32_t a = 1u << r;
        uint8_t next = 0xFF;
        for (int k = VR_Heap::kSizeClassCount - 1; k >= 0; k--) {
            uint32_t cs = kClasses.size[k];
            if (cs && cs % a == 0) next = (uint8_t)k;
            t.of[r][k] = next;
        }
    }
    return t;
}

inline constexpr VR_AlignedClasses kAligned = MakeAlignedClasses();

/* The class of a small request (size <= kSmallLimit) aligned to alignment
   (a power of two up to kSmallAlignMax): two table reads and a bit scan. */
inline unsigned AlignedClassOf(uint32_t size, uint32_t alignment)
{
    return kAligned.of[__builtin_ctz(alignment)][SmallClassOf(size)];
}

/* What TakeAlignedLocked relies on, checked as the table is built: every
   row maps every class to one at least as large, a multiple of the
   alignment; and every filler an alignment can need is a class of its own
   (a block pointer is always a multiple of kBlockAlignment, so the gap to
   the boundary is a multiple of it below the alignment, or that plus the
   alignment where it is smaller than the smallest block). */
constexpr int AlignedClassesServeEveryRequest()
{
    int n = 0;
    while (n < VR_Heap::kSizeClassCount && kClasses.size[n]) n++;
    for (int r = 0; r < kAlignRows && (1u << r) <= kSmallAlignMax; r++) {
        uint32_t a = 1u << r;
        for (int k = 0; k < n; k++) {
            unsigned j = kAligned.of[r][k];
            if ((int)j >= n || kClasses.size[j] < kClasses.size[k] || kClasses.size[j] % a) return 0;
            if (a <= kBlockAlignment && j != (unsigned)k) return 0;
        }
        for (uint32_t pad = kBlockAlignment; pad < a; pad += kBlockAlignment) {
            uint32_t f = pad < kMinBlock ? pad + a : pad;
            if (f > kMaxBlock || kClasses.size[kClasses.of[f]] != f) return 0;
        }
    }
    return 1;
}
static_assert(AlignedClassesServeEveryRequest(), "every small aligned request has its class and its fillers");

#endif
