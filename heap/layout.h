/*
 * layout.h - the in-memory formats of the heaps: page-set headers, block
 * headers, big chunks. Every offset is fixed (other code and callers read
 * them through block pointers) and checked at compile time below.
 */
#ifndef VR_HEAP_LAYOUT_H
#define VR_HEAP_LAYOUT_H

#include <stddef.h>
#include <stdint.h>

#include "pages.h"
#include "system.h"
#include "vorrel.h"

/*
 * Page set: one 64 KB reservation aligned to 64 KB, so any address inside it
 * ANDed with s_granularityMask gives its base. From the base upward:
 *
 *  base -> +---------------------------+
 *          | header (32 or 40 bytes)   |
 *          | blocks cut so far         |
 *  carve -> +---------------------------+  carve point = commitEnd - uncarved
 *          | committed, not yet cut    |
 *  commitEnd +-------------------------+
 *          | reserved, not committed   |
 *  regionEnd +-------------------------+  = base + 65536
 */
struct VR_PageSetBase {
    VR_PageSetBase *next;   /* next older page set of the heap; null for the oldest */
    VR_PageSetBase *prev;   /* next newer page set; null for the newest (list head) */
    uint32_t uncarved;      /* committed bytes above the carve point */
    uint8_t *commitEnd;     /* just past the last committed byte */
    uint8_t *regionEnd;     /* just past the reservation */
    uint32_t usedCount;     /* blocks of this page set in use */

    uint8_t *Base() { return (uint8_t *)this; }
    uint8_t *CarvePoint() { return commitEnd - uncarved; }
};

/*
 * Small page set of a VR_Heap. Invariants:
 *  - blocks tile [base + kSmallFirstBlock, carve point) gaplessly, each its
 *    class size long;
 *  - usedCount == blocks in that range whose blockFlags lack the free bit;
 *  - every page set but the newest has usedCount > 0 (the free that brings
 *    it to 0 releases it); only the newest is ever carved or grown.
 */
struct VR_SmallPageSet : VR_PageSetBase {
    uint32_t unused24;      /* not used by the general heap */
    VR_Heap *owner;         /* heap whose pageSets list holds this page set */
};

/* The alignment every general-heap block pointer has: what the platform's
   C runtime promises for malloc. The Windows runtime gives 8; on 32-bit
   Linux max_align_t (and the default alignment of new) is 16, and compilers
   emit aligned SSE moves for such objects. The formats below differ only
   in padding between the targets: every offset read relative to a block
   pointer is the same on both. */
#if defined(_WIN32)
const uint32_t kBlockAlignment = 8;
#else
const uint32_t kBlockAlignment = 16;
#endif
constexpr inline uint32_t AlignUp(uint32_t x) { return (x + kBlockAlignment - 1) & ~(kBlockAlignment - 1); }

enum {
    kBlockAlt = 1,   /* blockFlags bit 0: a VR_AltBlock (big or direct) is in front */
    kBlockFree = 2,  /* blockFlags bit 1: a free small block (or a freed big one) */
    kBlockCached = 4,   /* blockFlags bit 2: with kBlockFree, lent to a thread cache */
    kSmallHeaderSize = 32,
    /* The first small block: right behind the header, or 8 bytes further
       where blocks are 16-aligned (a block's pointer is 8 bytes in). Every
       class size is a multiple of kBlockAlignment, so all blocks cut from
       there keep that alignment. */
    kSmallFirstBlock = kSmallHeaderSize + (kBlockAlignment - 8),
    kOneSizeHeaderSize = 48
};

/*
 * Small block: 8-byte header in front of the caller's pointer.
 *
 *  header -> +----------------------------------------------+
 *            | seal, or check word of nextFree while free   |  0
 *            | requestedSize:16 | sizeClass:8 | blockFlags:8|  4
 *  ptr ->    +----------------------------------------------+
 *            | nextFree, mangled (free only)                |  8
 *            | prevFree (free only)                         | 12
 *            | ... up to the class size                     |
 *            +----------------------------------------------+
 *
 * The seal word holds SealOf(ptr) while the block is live (below), the
 * check word of nextFree (FreeCheckOf) while it is free in its heap (on
 * its class's list, or lost behind a dropped link), and 0 while it waits
 * in a thread cache. The two
 * links lie where the caller's data was, so a program
 * that writes through a pointer it freed writes them: nextFree, the link
 * that is followed to hand out a block, is stored mangled (MangledLink
 * below, keyed by the header's address) and is followed only while it
 * matches the check word in the header; prevFree is a plain address that is followed
 * only after the block it names is seen to link back (small.h). The first
 * block of a list has no prevFree kept: the heap's freeLists entry names
 * it.
 */
struct VR_BlockHeader {
    uint32_t seal;          /* SealOf(ptr) live, FreeCheckOf(next) free, 0 waiting in a cache */
    uint16_t requestedSize; /* caller's size; class size in a free tail piece */
    uint8_t sizeClass;      /* index into the class table, set when cut, never changed */
    uint8_t blockFlags;     /* bit 0 clear (small); bit 1 set while free */
    uint32_t nextFree;      /* next free header of the class, mangled (NextFreeOf); null ends */
    VR_BlockHeader *prevFree; /* previous free header of the class; stale on the first */
};

/*
 * The 32 bytes in front of a big or direct block's pointer. The last four
 * bytes overlay a small block's size/class/flags, so bit 0 of the byte at
 * ptr - 1 tells the kinds apart.
 */
struct VR_AltBlock {
    uint32_t unused0;       /* never read (8-aligned chunks: the stale nextChunk link of the chunk) */
    VR_Heap *heap;          /* owning heap */
    uint32_t size;          /* requested size */
    VR_AltBlock *next;      /* older header in the heap's bigBlocks */
    VR_AltBlock *prev;      /* newer header; null at the head */
    uint32_t direct;        /* 1: direct block after a VR_VirtualHeader */
    uint32_t seal;          /* SealOf(ptr) while live, 0 once freed */
    uint16_t zero28;
    uint8_t zero30;
    uint8_t blockFlags;     /* 1 while live; kBlockAlt|kBlockFree once freed */
};

/*
 * Big page set: a reservation of at least 1 MB, committed from the front.
 *
 *  base ->   +-----------------------------+
 *            | next, prev, room prev link, |
 *            | commitEnd, regionEnd,       |
 *            | usedCount, room next link   |
 *            | 0  (trailing tag sentinel)  | 28
 *  base+32 ->+-----------------------------+
 *            | chunks tiling up to         |
 *            | commitEnd exactly           |
 *  commitEnd +-----------------------------+
 *            | reserved                    |
 *  regionEnd +-----------------------------+
 */
struct VR_BigPageSet : VR_PageSetBase {
    VR_BigPageSet *roomNext; /* next page set on the heap's list of its room (freeindex.h) */
    uint32_t zeroTag;       /* 0: "no chunk in front" for the first chunk */
};

/*
 * Big chunk, in use and free:
 *
 *  chunk -> +-------------------------------+      +-------------------------------+
 *           | sizeTag (size, bit 0 clear)   |      | sizeTag (size | 1)            |
 *           | owner (big page set)          |      | owner (big page set)          |
 *           | VR_AltBlock (32 bytes)        |      | nextChunk                     |
 *   ptr ->  | data ...                      |      | prevChunk                     |
 *           | trailing tag (== sizeTag)     |      | trailing tag (== sizeTag)     |
 *           +-------------------------------+      +-------------------------------+
 *
 * Where blocks are 16-aligned, 8 bytes of padding follow owner in a chunk in
 * use (kChunkHeader), so the VR_AltBlock starts 16 bytes in.
 *
 * Invariants: chunks tile [base + 32, commitEnd); each is >= kMinChunk bytes
 * and a multiple of kBlockAlignment; no two free chunks are adjacent; every free chunk is on
 * the list of its size in the heap's bigFree index and no chunk in use is on
 * any; usedCount == chunks in use. The word at 8 of a big page set (uncarved
 * in the others) links it back on the index's list of its uncommitted room.
 */
struct VR_BigChunk {
    uint32_t sizeTag;
    VR_BigPageSet *owner;
    VR_BigChunk *nextChunk; /* free only */
    VR_BigChunk *prevChunk; /* free only */
};

enum {
    /* What lies in front of a big block's VR_AltBlock: sizeTag and owner,
       and where blocks are 16-aligned 8 bytes of padding, so that a chunk
       starting on a multiple of 16 has its block pointer on one. */
    kChunkHeader = 8 + (kBlockAlignment - 8),
    kMinChunk = (1112 + kBlockAlignment - 1) & ~(kBlockAlignment - 1), /* smallest chunk; smaller rests stay in their chunk */
    kChunkOverhead = kChunkHeader + 4,  /* sizeTag, owner, padding, trailing tag */
    kAltHeaderSize = 32,
    kBigPageSetHeader = 32,
    kBigReserveMin = 0x100000,
    kKeepEmptyBig = 0x400000,    /* reserved bytes of the empty big page sets a heap keeps */
    kKeptEmptyMax = kKeepEmptyBig / kBigReserveMin  /* how many of them, at most */
};

/*
 * One-size page set. Blocks carry no header of their own: they follow the
 * 48-byte header and one mark byte per block the page set can hold (the
 * marks end at firstBlock, 8-aligned).
 *
 *  base ->      +--------------------------------+
 *               | header (48 bytes)              |
 *  base + 48 -> | marks: 1 while block i is the  |
 *               | program's, 0 otherwise         |
 *  firstBlock ->| blocks, blockSize apart        |
 *               +--------------------------------+
 *
 * A free finds a block's index without a division: the offset from the
 * first block times the inverse of the block size's odd part, rotated
 * right by its power of two, is the index exactly when the offset is a
 * multiple of the block size, and otherwise a number above any index
 * (onesize.h). So a pointer is a block of the page set when its index is
 * below firstBlock - 48 and its mark is set; a free clears the mark, an
 * allocation that hands the block to the program sets it.
 *
 * A free block's first word holds the offset of the next free block of the
 * page set (0 ends the list), mangled: the offset xor the block's own
 * offset xor the link secret (MangledLink). A decoded offset is followed
 * only while it stays inside the 64 KB page set, past its marks (onesize.h).
 * Invariants: the page set is on the owner's freePageSets exactly while
 * freeOffset != 0; blocks cut == usedCount + free-list length; no block on
 * the free list or waiting in a bin is marked, and marked blocks <=
 * usedCount; marks past the cut blocks are 0.
 */
struct VR_OneSizePageSet : VR_PageSetBase {
    VR_HeapOneSize *owner;              /* owning heap */
    uint32_t freeOffset;                /* first free block's offset; 0 when none */
    VR_OneSizePageSet *nextWithFree;    /* next on freePageSets */
    VR_OneSizePageSet *prevWithFree;    /* previous on freePageSets; null at head */
    uint32_t gridInverse;               /* inverse of the block size's odd part, mod 2^32 */
    uint16_t firstBlock;                /* the first block's offset, behind the marks */
    uint8_t gridShift;                  /* the block size's power of two (2 to 15) */
    uint8_t unused47;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(void *) == 4, "Vorrel's formats are 32-bit");
static_assert(offsetof(VR_PageSetBase, next) == 0 && offsetof(VR_PageSetBase, prev) == 4 &&
              offsetof(VR_PageSetBase, uncarved) == 8 && offsetof(VR_PageSetBase, commitEnd) == 12 &&
              offsetof(VR_PageSetBase, regionEnd) == 16 && offsetof(VR_PageSetBase, usedCount) == 20 &&
              sizeof(VR_PageSetBase) == 24, "page-set header: six words");
static_assert(offsetof(VR_SmallPageSet, owner) == 28 && sizeof(VR_SmallPageSet) == kSmallHeaderSize,
              "small page-set header: 32 bytes, owner at 28");
static_assert(offsetof(VR_BlockHeader, seal) == 0 && offsetof(VR_BlockHeader, requestedSize) == 4 &&
              offsetof(VR_BlockHeader, sizeClass) == 6 && offsetof(VR_BlockHeader, blockFlags) == 7 && offsetof(VR_BlockHeader, nextFree) == 8 &&
              offsetof(VR_BlockHeader, prevFree) == 12 && sizeof(VR_BlockHeader) == 16,
              "small block header and free links");
static_assert(offsetof(VR_AltBlock, heap) == 4 && offsetof(VR_AltBlock, size) == 8 &&
              offsetof(VR_AltBlock, next) == 12 && offsetof(VR_AltBlock, prev) == 16 &&
              offsetof(VR_AltBlock, direct) == 20 && offsetof(VR_AltBlock, seal) == 24 &&
              offsetof(VR_AltBlock, zero28) == 28 &&
              offsetof(VR_AltBlock, zero30) == 30 && offsetof(VR_AltBlock, blockFlags) == 31 &&
              sizeof(VR_AltBlock) == kAltHeaderSize, "alt block header: 32 bytes");
static_assert(offsetof(VR_BigPageSet, roomNext) == 24 && offsetof(VR_BigPageSet, zeroTag) == 28 && sizeof(VR_BigPageSet) == kBigPageSetHeader,
              "big page-set header: 32 bytes, zero tag at 28");
static_assert(offsetof(VR_BigChunk, owner) == 4 && offsetof(VR_BigChunk, nextChunk) == 8 &&
              offsetof(VR_BigChunk, prevChunk) == 12, "big chunk fields");
static_assert(kSmallFirstBlock % kBlockAlignment == kBlockAlignment - 8 && kSmallFirstBlock >= kSmallHeaderSize,
              "the first small block's pointer (8 bytes in) is aligned");
static_assert((kBigPageSetHeader + kChunkHeader + kAltHeaderSize) % kBlockAlignment == 0 &&
                  kBigPageSetHeader % kBlockAlignment == 0 && kMinChunk % kBlockAlignment == 0,
              "a chunk at an aligned offset has an aligned block pointer");
static_assert(kBlockAlignment == 8 || kBlockAlignment == 16, "8 or 16");
static_assert(offsetof(VR_OneSizePageSet, owner) == 24 && offsetof(VR_OneSizePageSet, freeOffset) == 28 &&
              offsetof(VR_OneSizePageSet, nextWithFree) == 32 && offsetof(VR_OneSizePageSet, prevWithFree) == 36 &&
              offsetof(VR_OneSizePageSet, gridInverse) == 40 && offsetof(VR_OneSizePageSet, firstBlock) == 44 &&
              offsetof(VR_OneSizePageSet, gridShift) == 46 &&
              sizeof(VR_OneSizePageSet) == kOneSizeHeaderSize, "one-size page-set header: 48 bytes");
#pragma GCC diagnostic pop

/*
 * The seal. Every live general-heap block carries, in the word 8 bytes in
 * front of its pointer, a value derived from the pointer itself: the small
 * header's first word, the alt header's word at 24 (both were left unwritten
 * before, so no offset a reader relies on moves). Frees and reallocations
 * test it before they trust anything else in the header, so an interior or
 * garbage pointer into library memory is turned away with one load, one xor
 * and one compare; and because it is bound to the address, header bytes
 * copied elsewhere (into a block's data, say) do not pass for a block. A
 * block that stops being live has its seal cleared, or replaced by the
 * check word of its free-list link, which is even (0 never is a seal, nor
 * any even word: the constant is odd, addresses are 8-aligned).
 */
const uint32_t kBlockSeal = 0x5EA1B10Du;
inline uint32_t SealOf(const void *block) { return (uint32_t)(uintptr_t)block ^ kBlockSeal; }
inline uint32_t &SealWordOf(const void *block) { return *(uint32_t *)((uint8_t *)block - 8); }

/* Whether block is a live general-heap block as far as its seal tells:
   8-aligned and sealed, its seal word committed library memory (a pointer
   into the reserved but uncommitted tail of a page set or direct block is
   library memory that cannot be read at all; the same 8 bytes hold the
   flag byte, and all that lies before them in the reservation is committed
   too). In the first 40 bytes of a 64 KB unit lies no small block (its page
   set's header is there) and no direct block, only a big block in a later
   unit of its big page set, whose seal word may lie in the unit before. */
inline int IsSealedBlock(const void *block)
{
    uintptr_t a = (uintptr_t)block;
    /* On the integer: for a null or foreign pointer, block - 8 is no
       pointer the language lets us form. */
    if (!IsCommittedLibraryMemory((const void *)(a - 8))) return 0;
    if (__builtin_expect((a & 7) != 0 || (a & 0xFFFF) < 40, 0)) {
        if (a & 7) return 0;
        if (!(((const uint8_t *)block)[-1] & 1)) return 0;
    }
    return SealWordOf(block) == SealOf(block);
}

/* Whether block is the start of a general-heap block that its caller
   holds: sealed, and not freed (a block freed since has lost its seal or
   carries the free flag). What the size queries and Clone ask before they
   read a header. */
inline int IsLiveBlock(const void *block)
{
    return IsSealedBlock(block) && !(((const uint8_t *)block)[-1] & kBlockFree);
}

/*
 * The free-list links. A free small or one-size block keeps the link to
 * the next block of its list in its first bytes, where a program that
 * writes through a pointer it freed writes too, and where a racing double
 * free leaves a block that two callers were handed. So no such link is a
 * plain address: it is stored xor the address (or offset) of the block
 * that holds it xor a secret of the process, made before the first page
 * set. A word the program writes there decodes to an address nobody
 * chose, bound to the block it lies in, and every list checks a decoded
 * link before following it (small.h, onesize.h, the thread cache's bins).
 * A link that fails is dropped, never followed: the list ends at the block
 * that held it, the blocks behind it are lost to reuse and s_droppedLinks
 * counts it (the bins do not count theirs).
 *
 * What a racing double free (or any write into a freed block) can still
 * do: hand the same block to two callers (both frees succeed before
 * either marks the block free, so it is listed or binned twice; or one
 * caller keeps writing into the block the other freed), and lose for
 * reuse the blocks behind a link it overwrote. It cannot make the
 * allocator return an address the program chose: a small block's link is
 * followed only while it matches the check word in the block's header,
 * which a write through the freed pointer does not reach; a one-size
 * block's link only while it decodes to an offset past the header of the
 * page set that holds it (a blind write passes that about one time in
 * 65536, and then yields a block overlapping others of that page set,
 * never an address outside it); a block's link in a thread cache's bin
 * while it decodes into that page set or, beyond it, into library memory
 * (bins.h).
 */
#if defined(_WIN32)
extern uint32_t s_linkSecret;
extern uint32_t s_linkCheck;
extern uint32_t s_binCheck;
extern uint32_t s_droppedLinks;
#else
extern uint32_t s_linkSecret __attribute__((visibility("hidden")));
extern uint32_t s_linkCheck __attribute__((visibility("hidden")));
extern uint32_t s_binCheck __attribute__((visibility("hidden")));
extern uint32_t s_droppedLinks __attribute__((visibility("hidden")));
#endif

/* Makes the secret once, whichever thread comes first (before any page
   set exists, so that no link is ever stored with another). */
void MakeLinkSecret();

/* What a link is stored xor'ed with: the key (a small block's header
   address, a one-size block's offset in its page set, a one-size block's
   address in a thread's one-size bin) xor the secret. Computed apart from the link
   (the empty asm keeps the compiler from folding the two xors back into
   one chain), so that storing or decoding a link adds one xor, not two, to
   the chain of loads and stores that runs through a list: a malloc/free
   pair that reuses one block waits on that chain. */
inline uint32_t LinkKeyOf(uint32_t key)
{
    uint32_t k = key ^ s_linkSecret;
    __asm__("" : "+r"(k));
    return k;
}

/* A link as stored under key (or, since xor undoes itself, a stored link
   decoded). */
inline uint32_t MangledLink(const void *key, uint32_t value)
{
    return value ^ LinkKeyOf((uint32_t)(uintptr_t)key);
}

/* The seal word of a free small block: the check word of its link, the
   next block's header address xor a second secret (s_linkCheck, made from
   the first). It lies in front of the caller's pointer, out of reach of a
   write through a freed pointer, so a link overwritten that way no longer
   matches it; and a write that reaches both words cannot make them match
   without both secrets. Never 0 and never a live seal: the next header is
   8-aligned and the check secret's low bits are 100, so the word has bit 2
   set and bit 0 clear, while every live seal is odd. */
inline uint32_t FreeCheckOf(const void *next) { return (uint32_t)(uintptr_t)next ^ s_linkCheck; }

/* A link that failed its check, counted (rare: a program wrote into a
   freed block). */
inline void CountDroppedLink() { __atomic_add_fetch(&s_droppedLinks, 1, __ATOMIC_RELAXED); }

/* For the library's own tests, which do not see the secret: MangledLink,
   and the number of links dropped so far. Never exported from the product
   library: it would hand a program the secret. */
uint32_t FreeLinkAt(const void *key, uint32_t value);
uint32_t DroppedFreeLinks();

/* The size tag of the chunk that holds a big block's header. */
inline uint32_t ChunkTagOfHeader(const VR_AltBlock *h) { return *(const uint32_t *)((const uint8_t *)h - kChunkHeader); }

/* The flag byte in front of any general-heap block pointer. */
inline uint8_t BlockFlagsOf(const void *block) { return ((const uint8_t *)block)[-1]; }
inline VR_BlockHeader *SmallHeaderOf(const void *block) { return (VR_BlockHeader *)((uint8_t *)block - 8); }
inline VR_AltBlock *AltHeaderOf(const void *block) { return (VR_AltBlock *)((uint8_t *)block - kAltHeaderSize); }
/* The granularity is 64 KB on every supported system (the platform
   checks it at start-up), so the mask is a constant here: one AND, no
   load. */
const uintptr_t kPageSetMask = ~(uintptr_t)0xFFFF;
inline VR_PageSetBase *PageSetOf(const void *p)
{
    return (VR_PageSetBase *)((uintptr_t)p & kPageSetMask);
}

/* Process-wide flags of the process integration that heap initialisation
   reads for DefaultHeap. */
extern int s_initInstanceSeen;
extern int s_initCalled;
extern int s_initMultithreaded;

#endif
