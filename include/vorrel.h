/*
 * vorrel.h - the one public header of the Vorrel allocator.
 *
 * Vorrel serves a 32-bit process from its own heaps: general heaps (VR_Heap),
 * fixed-size heaps (VR_HeapOneSize), a per-thread default heap with a scoped
 * switcher, page-level services, and replacements for the C runtime's
 * allocation entry points that the library patches in when it is loaded.
 *
 * Every size is an unsigned 32-bit byte count. Failures are reported by a
 * null pointer or a zero result; the library never throws on its own.
 */
#ifndef VORREL_H
#define VORREL_H

#include <stddef.h>

/* The library's version; vr_version() gives the one of the library the
   program runs with. */
#define VORREL_VERSION_MAJOR 0
#define VORREL_VERSION_MINOR 1
#define VORREL_VERSION_PATCH 0
#define VORREL_VERSION "0.1.0"

#if defined(_WIN32)
#  if defined(VORREL_BUILD)
#    define VR_API __declspec(dllexport)
#  else
#    define VR_API __declspec(dllimport)
#  endif
#else
#  define VR_API __attribute__((visibility("default")))
#endif

/* Heap flags: one 32-bit word per heap, given to the constructors. */
#define VR_HEAP_MULTITHREADED      0x1        /* the heap has its own recursive lock */
#define VR_HEAP_ZERO_INIT          0x2        /* memory handed out is zero-filled */
#define VR_HEAP_BYPASS_FREEING     0x4        /* frees into the heap are ignored */
#define VR_HEAP_NO_STD_NEW_HANDLER 0x10       /* recovery never calls the runtime's new handler */
#define VR_HEAP_NOCACHE            0x20       /* pages are reserved and committed uncached */
#define VR_HEAP_STATIC             0x80000000 /* set by Init for heaps in static storage */

/* The classes are C++ only; C sees the statistics and the C interface at
   the end. */
#ifdef __cplusplus

struct VR_PageSetBase;
struct VR_SmallPageSet;
struct VR_BlockHeader;
struct VR_AltBlock;
struct VR_BigPageSet;
struct VR_BigChunk;
struct VR_TransferTable;
struct VR_OneSizePageSet;
struct VR_Access;
class VR_Heap;

/* Room for one recursive lock of the library's own (a state word, the
   holder and its depth; the platform layer checks at compile time that it
   fits). All zero is a free lock. */
struct VR_LockStorage {
    void *opaque[6];
};

/*
 * VR_AHeap: what every heap shares. Its constructor writes no field: a heap
 * in static storage may already be serving allocations when its constructor
 * runs, and Init recognises it. Only Clear and the destructor are virtual;
 * everything else works on an all-zero object whose constructor has not run.
 *
 * Layout (32-bit): vptr 0, pageSets 4, bypassFree 8, flags 12,
 * initialized 16, lockActive 20, lock 24..47, newHandler 48; size 52.
 */
class VR_API VR_AHeap {
public:
    virtual void Clear();

    int SetEmergencyReserve(unsigned long size, void (*callback)());
    void SetNewHandler(int (*handler)());
    int IsMultithreaded();

    /* Non-throwing: a failed allocation makes the new-expression yield null
       instead of constructing a heap at address 0. */
    static void *operator new(size_t size) noexcept;
    static void *operator new(size_t size, VR_Heap &heap) noexcept;
    static void operator delete(void *p);

protected:
    VR_AHeap(const char *name = 0);
    virtual ~VR_AHeap();

    /* oneSize: 1 when called for a VR_HeapOneSize (process-wide walks
       tell the two kinds of heap apart by it). */
    int Init(long flags, int lazy, int oneSize = 0);
    /* kind: what the page set is counted as in the statistics
       (VR_SPACE_SMALL or VR_SPACE_ONESIZE). */
    VR_PageSetBase *AllocPageSet(long headerSize, int kind = 0);
    int HandleOutOfMemory();
    int HandleOutOfMemoryMT();
    /* The steps of recovery that run under the recovery lock; 1 with
       *result set when one of them answered. */
    int RecoverLocked(int *result);

    /* The heap's lock, taken only while lockActive is nonzero. */
    void Lock();
    void Unlock();
    /* Releases every page set on pageSets, newest first (no locking). */
    void ReleasePageSets();

    VR_PageSetBase *pageSets;   /* newest first; null when none */
    int bypassFree;             /* nonzero: frees into this heap are ignored */
    long flags;                 /* heap flags word */
    int initialized;            /* 0 until Init ran, then 1 (2 once a static heap is destroyed) */
    int lockActive;             /* nonzero while lock exists and is used */
    VR_LockStorage lock;        /* exists only while lockActive */
    int (*newHandler)();        /* the heap's own new handler, or null */

    static int s_globalBypassFree;
    static void (*s_fpEmergencyCallback)();
    /* One emergency reserve per process; read and written under the
       process lock only. */
    static void *s_emergencyReserve;
    static unsigned long s_emergencyReserveSize;

    friend VR_API void BypassFreeing(VR_AHeap *heap);
    friend struct VR_Access;    /* the library's own door to the fields above */
};

/*
 * What a VR_Heap has handed out, kept by the heap under its own lock where
 * it already changes its lists. Blocks waiting in a thread's cache count as
 * handed out here (the heap lent them to the cache); the cache reports its
 * own share separately. Byte figures are the space the blocks occupy (class
 * or chunk size), not the sizes their callers asked for.
 */
struct VR_HeapCounters {
    unsigned long smallBlocks[52];  /* small blocks out of each class's free list */
    unsigned long smallBytes;       /* their class bytes */
    unsigned long bigBlocks;        /* big chunks in use */
    unsigned long bigBytes;         /* their chunk bytes */
    unsigned long directBlocks;     /* direct blocks */
    unsigned long directBytes;      /* their committed bytes */
    unsigned long peakBytes;        /* highest smallBytes + bigBytes + directBytes so far */
};

/*
 * The index of a VR_Heap's free big chunks by size, and of its big page sets
 * by the uncommitted room left in their reservations (heap/freeindex.h works
 * on it; all zero is an empty index), and the empty big page sets the heap
 * keeps. 476 bytes, so that a VR_Heap made with new is still a small block.
 */
struct VR_FreeIndex {
    enum { kChunkLists = 88, kChunkWords = 3, kRoomLists = 20 };
    unsigned long chunkSummary;                 /* bit w: chunkWords[w] != 0 */
    unsigned long chunkWords[kChunkWords];      /* bit i: chunkLists[i] not empty */
    VR_BigChunk *chunkLists[kChunkLists];       /* free chunks of one size range each */
    unsigned long chunkCount;                   /* free chunks indexed */
    unsigned long roomBits;                     /* bit b: roomLists[b] not empty */
    VR_BigPageSet *roomLists[kRoomLists];       /* page sets by floor(log2(room)) - 12 */
    VR_BigPageSet *keptEmpty[4];                /* empty big page sets kept, earliest emptied first */
    VR_BigChunk *recent;                        /* the free chunk indexed last, while it is free */
};

/*
 * VR_Heap: the general heap. Requests up to 1016 bytes are small blocks of
 * 52 size classes in 64 KB page sets; bigger ones are boundary-tagged chunks
 * of big page sets; AllocWithReserve makes direct blocks with a reservation
 * of their own. Freeing is static: a block finds its heap by itself.
 *
 * Layout (32-bit): VR_AHeap 0..51, bigBlocks 52, directCount 56,
 * freeLists 60..267, bigPageSets 268, spills 272, counters 276..507,
 * transfer 508, bigFree 512..987; size 988.
 */
class VR_API VR_Heap : public VR_AHeap {
public:
    enum { kSizeClassCount = 52, kSmallLimit = 1016 };

    VR_Heap(long flags = 0, const char *name = 0);
    virtual ~VR_Heap();
    virtual void Clear();

    void *AllocMem(unsigned long size);
    static void FreeMem(void *block);
    /* A block whose pointer is a multiple of alignment (a power of two;
       anything else yields null), freed, resized and measured like any
       other block. */
    void *AllocAligned(unsigned long alignment, unsigned long size);

    void *Alloc(unsigned long size, int zero);
    void *AllocArray(unsigned long count, unsigned long size, int zero);
    void *AllocWithReserve(unsigned long reserve, unsigned long size, int zero);
    static void Free(void *block);
    void *Realloc(void *block, unsigned long size, int zero);
    unsigned long GetBlockSize(const void *block) const;
    void ForEach(void (*fn)(void *block, void *context), void *context);
    void *FindFirstThat(int (*fn)(void *block, void *context), void *context);

    /* Block editing: a block treated as a growable byte buffer. */
    void *Clone(void const *block);
    void *StoreData(void const *source, unsigned long size);
    char *StoreString(char const *source, long length);
    void *Cut(void *block, unsigned long offset, unsigned long count);
    void *Trim(void *block, unsigned long start, unsigned long length);
    void *ExpandBy(void *block, unsigned long count, int zero);
    void *Insert(void *block, unsigned long offset, void const *source, unsigned long count);
    void *Append(void *block, void const *source, unsigned long count);
    void *Prepend(void *block, void const *source, unsigned long count);

    /* The calling thread's default heap (DefaultHeap until changed). */
    static VR_Heap &Default();
    static void SetDefault(VR_Heap &heap);

    /* Checks every structure of the heap; null when sound, otherwise a
       description of the first broken invariant. Takes the heap's lock. */
    const char *Validate();

private:
    /* Private state: the layout above is what callers may rely on; the
       library's own code reaches it through VR_Access. */
    VR_AltBlock *bigBlocks;                 /* big and direct blocks, newest first */
    unsigned long directCount;              /* direct blocks on bigBlocks */
    VR_BlockHeader *freeLists[kSizeClassCount]; /* one free list per size class */
    VR_BigPageSet *bigPageSets;             /* newest first */
    unsigned long spills;                   /* full thread-cache bins met since a bin was last
                                               refilled (heap/cache/transfer.cpp) */
    VR_HeapCounters counters;               /* what the heap has handed out */
    VR_TransferTable *transfer;             /* batches between thread caches, or null */
    VR_FreeIndex bigFree;                   /* free big chunks and growable big page sets */

    friend struct VR_Access;
};

/*
 * VR_HeapOneSize: blocks of one fixed size, without headers, cut from 64 KB
 * page sets that each keep their own free list of offsets. Its blocks are
 * freed only through VR_HeapOneSize::FreeMem or Free.
 *
 * A heap used before its constructor ran takes its block size from the first
 * request; a constructor that comes later with another size keeps the size in
 * use, because blocks already handed out rely on it. A block size above 65480
 * bytes never fits a page set: such a heap refuses every request with null.
 *
 * Layout (32-bit): VR_AHeap 0..51, blockSize 52, freePageSets 56; size 60.
 */
class VR_API VR_HeapOneSize : public VR_AHeap {
public:
    VR_HeapOneSize(unsigned long blockSize, unsigned long flags = 0, const char *name = 0);
    virtual ~VR_HeapOneSize();
    virtual void Clear();

    /* A whole block for any size up to blockSize (zero-filled over size
       bytes with VR_HEAP_ZERO_INIT); null for a larger size. */
    void *AllocMem(unsigned long size);
    void *Alloc();
    static void FreeMem(void *block);
    static void Free(void *block);

    const char *Validate();

protected:
    /* Private state: the layout above is what callers may rely on; the
       library's own code reaches it through VR_Access. */
    unsigned long blockSize;            /* every block's size: >= 4, multiple of 4 */
    VR_OneSizePageSet *freePageSets;    /* page sets holding a free block */

    friend struct VR_Access;
};

/* Switches the calling thread's default heap for a scope. */
class VR_API VR_HeapSwitcher {
public:
    VR_HeapSwitcher(VR_Heap &heap);
    ~VR_HeapSwitcher();
    VR_HeapSwitcher &operator=(const VR_HeapSwitcher &other);

private:
    VR_Heap *saved;
};

/* One global object declares whether DefaultHeap must be thread-safe. */
class VR_API InitVorrel {
public:
    InitVorrel(int multithreaded = 1);
    InitVorrel &operator=(const InitVorrel &);
};

/* Makes sure the runtime interception is installed. */
class VR_API EnsureVorrel {
public:
    EnsureVorrel();
    EnsureVorrel &operator=(const EnsureVorrel &);
};

/* INIT_VORREL() keeps DefaultHeap locked; INIT_VORREL(0) declares that the
   application uses it from one thread only. Define it once. */
/* Braces, not parentheses: "InitVorrel x()" would declare a function, and
   INIT_VORREL() would then define no object at all. */
#define INIT_VORREL(...) static InitVorrel s_vorrelInitInstance{__VA_ARGS__}

extern VR_API VR_Heap HeapForHeaps;
extern VR_API VR_Heap DefaultHeap;

VR_API int IsStackMemory(void const *p);
VR_API int IsDynamicMemory(void const *p);

VR_API void *AllocDirectMemoryPages(long size, long flags);
VR_API void FreeDirectMemoryPages(void *p);
VR_API void *AllocVirtual(unsigned long reserveSize, unsigned long size, int zero);
VR_API void *ResizeVirtual(void *block, unsigned long size, int zero);
VR_API void FreeVirtual(void *block);
VR_API int IsMemoryFilledWith(void const *p, unsigned long length, unsigned char value);

VR_API void BypassFreeing(VR_AHeap *heap);
VR_API void ExecuteStandardNewHandler();

#else /* C */
typedef struct VR_AHeap VR_AHeap;
typedef struct VR_SpaceStats VR_SpaceStats;
typedef struct VR_HeapStats VR_HeapStats;
typedef struct VR_Stats VR_Stats;
#endif /* __cplusplus */

/*
 * Statistics. VR_GetStats reads counters the library keeps as it goes and
 * the headers of the page sets (never the blocks), so it is cheap enough to
 * call from a monitoring thread. Every figure is a byte or block count of
 * the moment; figures of different heaps are read one heap at a time.
 */

/* The kinds of address space the library reserves. */
#define VR_SPACE_SMALL     0   /* small page sets of general heaps (64 KB each, carved from
                                  units of 1 or 4 MB whose free slots count here too) */
#define VR_SPACE_BIG       1   /* big page sets of general heaps (1 MB and more) */
#define VR_SPACE_DIRECT    2   /* direct blocks (AllocWithReserve) */
#define VR_SPACE_VIRTUAL   3   /* virtual blocks (AllocVirtual) */
#define VR_SPACE_ONESIZE   4   /* page sets of one-size heaps */
#define VR_SPACE_LIBRARY   5   /* the library's own tables and the emergency reserve */
#define VR_SPACE_KINDS     6

struct VR_SpaceStats {
    unsigned long reservations;        /* live reservations (a page set counts as one) */
    unsigned long reservedBytes;       /* their address space */
    unsigned long committedBytes;      /* of which committed */
    unsigned long peakReservedBytes;   /* highest reservedBytes so far */
    unsigned long peakCommittedBytes;  /* highest committedBytes so far */
};

/* One heap. Bytes in use are what the blocks occupy (class size, chunk
   size, committed pages), not what their callers asked for. Blocks waiting
   in a thread's cache are free: they count in cachedBlocks/cachedBytes and
   in the free bytes, not in use. */
struct VR_HeapStats {
    const VR_AHeap *heap;
    const char *name;                  /* "DefaultHeap", "HeapForHeaps", the name a heap was
                                          made with, or null */
    int oneSize;                       /* 1: a VR_HeapOneSize (no big, direct or class figures) */
    int countersOnly;                  /* 1: the heap has no lock (or it could not be had), so
                                          only its counters were read: the page-set figures
                                          are 0, and a one-size heap shows nothing */
    unsigned long blocksInUse;
    unsigned long bytesInUse;
    unsigned long peakBytesInUse;      /* highest bytes handed out so far (general heaps) */
    unsigned long pageSets;            /* 64 KB page sets (small or one-size) */
    unsigned long pageSetCommittedBytes;
    unsigned long pageSetFreeBytes;    /* committed, not in use, headers excluded */
    unsigned long bigPageSets;
    unsigned long bigReservedBytes;
    unsigned long bigCommittedBytes;
    unsigned long bigFreeBytes;        /* committed, not in use, headers excluded */
    unsigned long smallBlocks;         /* small blocks in use */
    unsigned long smallBytes;
    unsigned long bigBlocks;           /* big blocks in use */
    unsigned long bigBytes;
    unsigned long directBlocks;
    unsigned long directBytes;
    unsigned long cachedBlocks;        /* waiting in thread caches */
    unsigned long cachedBytes;
    unsigned long classBlocks[52];     /* small blocks in use, per size class */
};

struct VR_Stats {
    VR_SpaceStats space[VR_SPACE_KINDS];
    unsigned long reservedBytes;       /* every kind */
    unsigned long committedBytes;
    unsigned long peakCommittedBytes;  /* highest committedBytes so far */
    unsigned long heapCount;           /* live heaps (may be more than were described) */
    unsigned long classSize[52];       /* each size class's block size, header included */
    unsigned long classBlocks[52];     /* small blocks in use per class, all described heaps */
};

#ifdef __cplusplus
/* Fills *stats (when not null) and describes up to maxHeaps heaps into
   heaps[], DefaultHeap and HeapForHeaps first. Returns how many heaps were
   described. */
VR_API unsigned long VR_GetStats(VR_Stats *stats, VR_HeapStats *heaps, unsigned long maxHeaps);

/* Writes the readable report that VORREL_STATS=1 prints at exit into buf
   (at most size bytes, always terminated when size > 0). Returns the length
   of the whole report, which may exceed size - 1. */
VR_API unsigned long VR_FormatStats(char *buf, unsigned long size);

/* Writes a snapshot of the address space to path: a text file whose lines
   starting with '#' describe it and whose 256 other lines hold 256 region
   codes each, one per 64 KB region, lowest address first (0 free,
   1 reserved by others, 2 committed by others, 3 not available to the
   program, 4 + VR_SPACE_... the library's kinds). The tool vorrel-map draws
   it. 1 on success, 0 when the file cannot be written. VORREL_MAP=path in
   the environment writes one at exit. */
VR_API int VR_WriteAddressSpaceMap(const char *path);
#endif /* __cplusplus */

/* The replacements of the runtimes' entries. VRHookMalloc(0) and
   VRHookRealloc(NULL, 0) answer null on both targets; on Linux malloc and
   realloc (the library's own, and the C library's patched entries) wrap
   them and give an empty request a unique minimal block. */
#ifdef __cplusplus
extern "C" {
#endif
VR_API void *VRHookMalloc(size_t size);
VR_API void *VRHookCalloc(size_t count, size_t size);
VR_API void *VRHookRealloc(void *block, size_t size);
VR_API void VRHookFree(void *block);
VR_API void VRHookDelete(void *block);
VR_API void *VRHookNew(size_t size);
VR_API size_t VRGetBlockSize(void *block);
#ifdef __cplusplus
}
#endif

/*
 * The C interface: what a C program (or any language that calls C) needs.
 */
#ifdef __cplusplus
extern "C" {
#endif

/* The version of the library in use ("0.1.0"), which may differ from the
   VORREL_VERSION a program was compiled with. On Windows the link imports
   it, so that every program linked with the library keeps vorrel.dll, even
   one that calls nothing of it (the library serves it all the same). */
VR_API const char *vr_version(void);

/* A general heap (a VR_Heap in C++). */
typedef struct vr_heap vr_heap;

/* A new heap with VR_HEAP_... flags (VR_HEAP_MULTITHREADED when threads
   share it); name (kept as given, not copied) labels it in the
   statistics, or null. Null when memory is exhausted. */
VR_API vr_heap *vr_heap_create(unsigned long flags, const char *name);
/* Gives back the heap and every block still in it. */
VR_API void vr_heap_destroy(vr_heap *heap);
/* Frees every block of the heap at once; the heap stays usable. */
VR_API void vr_heap_clear(vr_heap *heap);
/* The calling thread's default heap (the one malloc serves it from). */
VR_API vr_heap *vr_default_heap(void);

/* Blocks of a heap, as VR_Heap's AllocMem, AllocArray, Realloc and
   AllocAligned make them: null when memory is exhausted or the request
   cannot be met (an alignment that is no power of two, a count times size
   that overflows); vr_heap_realloc(heap, NULL, n) allocates, and
   vr_heap_realloc(heap, p, 0) frees p and answers null. A block of any
   heap is freed by vr_free and measured by vr_usable_size. */
VR_API void *vr_heap_malloc(vr_heap *heap, size_t size);
VR_API void *vr_heap_calloc(vr_heap *heap, size_t count, size_t size);
VR_API void *vr_heap_realloc(vr_heap *heap, void *block, size_t size);
VR_API void *vr_heap_aligned_alloc(vr_heap *heap, size_t alignment, size_t size);
VR_API void vr_free(void *block);
VR_API size_t vr_usable_size(const void *block);
/* Null when every structure of the heap is sound, else what is broken. */
VR_API const char *vr_heap_validate(vr_heap *heap);

/* The statistics, the report and the snapshot of the address space:
   VR_GetStats, VR_FormatStats and VR_WriteAddressSpaceMap above. */
VR_API unsigned long vr_get_stats(VR_Stats *stats, VR_HeapStats *heaps, unsigned long max_heaps);
VR_API unsigned long vr_format_stats(char *buf, unsigned long size);
VR_API int vr_write_map(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* VORREL_H */
