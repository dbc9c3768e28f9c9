/*
 * platform.h - the operating-system contract.
 *
 * Everything the heaps need from the OS goes through these functions; one
 * backend is compiled per target (win32.cpp or posix.cpp) and no caller tests
 * the OS itself. The contract is Windows' virtual-memory model, which the
 * POSIX backend emulates:
 *
 *  - Address space is reserved in units of the allocation granularity (64 KB)
 *    and every reservation starts on a multiple of it. Reserved pages are
 *    inaccessible until committed; committed pages read as zero when first
 *    touched; decommitted pages give their memory back to the system.
 *  - A reservation is released whole, by its base.
 *  - Nothing here allocates from the C runtime, and nothing takes a lock of
 *    the library's, so every function may be called under any lock and from
 *    inside the runtime hooks.
 *
 * The fault seam (FaultPlan) lets tests make the n-th reservation or commit
 * fail, so that every out-of-memory path can be driven; when no plan is set
 * it costs one load and one test per system call.
 */
#ifndef VR_PLATFORM_H
#define VR_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#include "vorrel.h"

namespace vr_os {

/* The memory side of the contract is exported so that the platform tests,
   which link the library, can check it directly. */

/* Page size and allocation granularity, as the system reports them.
   Post: both nonzero powers of two; granularity == 65536 on every
   supported system. */
VR_API void QuerySystemInfo(uint32_t *pageSize, uint32_t *granularity);

/* Reserves size bytes anywhere, aligned to the granularity, committing
   nothing. nocache asks for uncached pages where the system has them.
   Returns the base, or null when size is 0 or the system refuses. */
VR_API void *Reserve(uint32_t size, int nocache);

/* Reserves and commits size bytes in one step (direct page blocks).
   Null on failure. Not recorded in the region map by the caller. */
VR_API void *ReserveAndCommit(uint32_t size, int nocache);

/* Commits the pages covering [address, address + size) inside a live
   reservation. Returns 1 on success, 0 on failure (nothing committed). */
VR_API int Commit(void *address, uint32_t size, int nocache);

/* Decommits the pages covering [address, address + size): their contents
   are gone and their memory is given back; the range stays reserved. */
VR_API void Decommit(void *address, uint32_t size);

/* Releases the whole reservation that starts at base (from Reserve or
   ReserveAndCommit). Anything else is ignored. Returns 1 when a reservation
   was released, 0 when the system refused. */
VR_API int Release(void *base);

/* What the system says of the memory around an address. */
struct RegionInfo {
    uintptr_t allocationBase; /* base of the reservation holding the address; 0 when free */
    uintptr_t regionBase;     /* the page holding the address (VirtualQuery's BaseAddress) */
    uint32_t regionSize;      /* bytes from regionBase to the end of the run of pages of
                                 equal state and protection that holds the address */
    int committed;            /* 1 when the pages are committed */
    int nocache;              /* 1 when the pages are uncached */
};
/* Returns 1 and fills *info, or 0 when the system cannot describe p. */
VR_API int QueryRegion(const void *p, RegionInfo *info);

/* 1 when p lies in the reservation that holds the calling thread's stack. */
VR_API int IsOnThreadStack(const void *p);

/*
 * Recursive locks, the library's own on every system. Init/Delete must not
 * race with Enter/Leave; an all-zero lock is a free one.
 *
 * The state word is 0 while the lock is free, 1 while some thread holds it
 * and 2 while it is held and another thread may be asleep on it; the
 * holder's identity and its depth sit beside it. Taking a free lock is one
 * compare-exchange, and the holder re-entering touches no atomic at all.
 * Leaving for the last time clears the owner and swaps the state back to 0;
 * only when the swap finds 2 does it ask the system to wake a sleeper.
 * A thread that finds the lock held spins briefly (a holder keeps it for a
 * short stretch of heap work) and then sleeps on the state word (LockWait).
 *
 * Only the owner's Leave counts; a Leave by any other thread, or of a free
 * lock, is ignored, so a stray call cannot open a lock someone else holds.
 */
struct __attribute__((may_alias)) VR_LockWord {
    uint32_t state;          /* 0 free, 1 held, 2 held with sleepers possible */
    uintptr_t owner;         /* ThreadIdentity() of the holder, 0 when free */
    uint32_t count;          /* the holder's depth; 0 when free */
};
static_assert(sizeof(VR_LockWord) <= sizeof(VR_LockStorage), "the lock fits VR_LockStorage");

/* A cheap identity of the calling thread, nonzero and distinct among live
   threads: the address of its thread control block, read through the
   segment register the system keeps pointing at it. */
inline uintptr_t ThreadIdentity()
{
    uintptr_t self;
#if defined(_WIN32)
    __asm__("movl %%fs:0x18, %0" : "=r"(self));   /* the TEB's own address */
#else
    __asm__("movl %%gs:0, %0" : "=r"(self));      /* the thread pointer */
#endif
    return self;
}

VR_API void LockInit(VR_LockStorage *lock);
VR_API void LockDelete(VR_LockStorage *lock);
/* The contended halves of Enter and Leave. LockWait returns once the
   calling thread has taken the state word (leaving it 1 or 2); LockWake
   wakes one thread asleep in LockWait. Neither changes errno or the
   thread's last-error value. */
VR_API void LockWait(VR_LockWord *lock);
VR_API void LockWake(VR_LockWord *lock);

/* The lock's invariant, for tests at quiet moments: free means state,
   owner and depth all 0; held means state 1 or 2, an owner and a depth of
   at least 1. */
inline int LockIsConsistent(const VR_LockStorage *storage)
{
    const VR_LockWord *lock = (const VR_LockWord *)storage;
    uint32_t state = __atomic_load_n(&lock->state, __ATOMIC_ACQUIRE);
    uintptr_t owner = __atomic_load_n(&lock->owner, __ATOMIC_RELAXED);
    if (state == 0) return owner == 0 && lock->count == 0;
    return state <= 2 && owner != 0 && lock->count >= 1;
}

inline void LockEnter(VR_LockStorage *storage)
{
    VR_LockWord *lock = (VR_LockWord *)storage;
    uintptr_t self = ThreadIdentity();
    /* Only this thread ever stores its own identity here, so reading it
       back means this thread holds the lock. */
    if (__atomic_load_n(&lock->owner, __ATOMIC_RELAXED) == self) {
        lock->count++;
        return;
    }
    uint32_t expected = 0;
    if (!__atomic_compare_exchange_n(&lock->state, &expected, 1u, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED))
        LockWait(lock);
    __atomic_store_n(&lock->owner, self, __ATOMIC_RELAXED);
    lock->count = 1;
}

/* Takes the lock only when that needs no waiting; 1 when taken. */
inline int LockTryEnter(VR_LockStorage *storage)
{
    VR_LockWord *lock = (VR_LockWord *)storage;
    uintptr_t self = ThreadIdentity();
    if (__atomic_load_n(&lock->owner, __ATOMIC_RELAXED) == self) {
        lock->count++;
        return 1;
    }
    uint32_t expected = 0;
    if (!__atomic_compare_exchange_n(&lock->state, &expected, 1u, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED))
        return 0;
    __atomic_store_n(&lock->owner, self, __ATOMIC_RELAXED);
    lock->count = 1;
    return 1;
}

inline void LockLeave(VR_LockStorage *storage)
{
    VR_LockWord *lock = (VR_LockWord *)storage;
    if (__atomic_load_n(&lock->owner, __ATOMIC_RELAXED) != ThreadIdentity()) return;
    if (--lock->count) return;
    __atomic_store_n(&lock->owner, (uintptr_t)0, __ATOMIC_RELAXED);
    if (__atomic_exchange_n(&lock->state, 0u, __ATOMIC_RELEASE) == 2) LockWake(lock);
}

/* Thread-local pointers of the library: slot 0 holds the thread's default
   heap, slot 1 its cache. Both are null in every thread at its start and
   valid also in threads that existed before the library was loaded.
   Neither call allocates. Inline where the slots are plain thread variables
   (see the end of this file). */
enum ThreadSlot { kSlotDefaultHeap = 0, kSlotCache = 1, kSlotCount = 2 };
/* Asks for fn(value) to run on a thread that ends while its cache slot
   holds a non-null value, before the slot goes away. Set once, before the
   first non-null value is stored. Returns 0 when the system cannot notify
   (the value is then simply never handed back). */
int SetThreadExitHandler(void (*fn)(void *value));
#if defined(_WIN32)
void ThreadSlotSet(void *value, int slot = kSlotDefaultHeap);
/* Each slot's TLS index plus one, 0 until the slot exists. */
extern volatile long s_threadSlotIndexPlusOne[kSlotCount];
/* The slot read through the system, for an index beyond the TEB's 64
   direct slots or a slot not created yet. */
void *ThreadSlotGetSlow(int slot);
/* The 64 directly indexed TLS slots sit at this offset of the 32-bit TEB.
   Reading them there avoids TlsGetValue, which resets the thread's
   last-error value: malloc must not disturb GetLastError of its caller. */
const uint32_t kTebTlsSlots = 0xE10;
const uint32_t kTebDirectSlots = 64;
inline void *ThreadSlotGet(int slot = kSlotDefaultHeap)
{
    uint32_t index = (uint32_t)s_threadSlotIndexPlusOne[slot] - 1;  /* no slot yet: wraps high */
    if (__builtin_expect(index < kTebDirectSlots, 1)) {
        void *value;
        __asm__ volatile("movl %%fs:(%1), %0" : "=r"(value) : "r"(kTebTlsSlots + index * 4));
        return value;
    }
    return ThreadSlotGetSlow(slot);
}
#endif

/* The C runtimes the library serves, one slot each: on Windows every one of
   the known runtime DLLs (slot 0 msvcrt or its debug build, then ucrtbase
   and msvcr70 to msvcr120) that is loaded when the library loads; elsewhere
   slot 0 alone, the C library with the C++ runtime. */
const int kMaxRuntimes = 9;

/* The runtime's allocation entry points, in the order the library patches
   them. FindRuntimeEntry returns the entry's code address in runtime slot
   `runtime`, or null when that runtime is not loaded or does not export it. */
enum RuntimeEntry {
    kEntryMalloc,
    kEntryCalloc,
    kEntryFree,
    kEntryRealloc,
    kEntryMsize,      /* _msize, or the C library's usable-size query */
    kEntryNew,        /* global operator new(unsigned int) */
    kEntryDelete,     /* global operator delete(void*) */
    kEntryCount
};
void *FindRuntimeEntry(int runtime, int entry);
inline void *FindRuntimeEntry(int entry) { return FindRuntimeEntry(0, entry); }
/* Any other export of runtime slot `runtime`, by name; null as above. */
void *FindRuntimeExport(int runtime, const char *name);
/* 1 when the runtime of slot `runtime` is loaded. Every lookup above asks
   the system for the module, which is slow: ask this first, once per slot,
   and skip the slots that are empty. */
int RuntimeLoaded(int runtime);

/* Makes the library's own module permanent: from then on a request to
   unload it leaves it in place, so patched entries never jump into freed
   code. 1 on success. */
int PinLibrary();

/* The page size read afresh from the system (not the library's cache). */
uint32_t SystemPageSize();

/* Makes [first, first + length) writable and executable; 1 on success. */
int MakeCodeWritable(void *first, uint32_t length);

/* Runs the runtime's standard new handler with the given size, when one is
   installed. Returns 0 when there is none; otherwise 1, with *result set to
   the handler's answer (1 for handlers that return nothing). */
int RunStandardNewHandler(uint32_t size, int *result);

/* Shows the library's one message (message box, or standard error). */
void ShowMessage(const char *text, const char *caption, uint32_t style);

/* What the system says of each of the 65536 regions of 64 KB in the 4 GB
   address space: 0 when nothing in it is reserved, 1 reserved with nothing
   committed (or mapped inaccessible), 2 with committed or mapped pages,
   3 not available to the program at all. Allocates nothing. */
VR_API void QueryAddressSpace(uint8_t *states);

/* Output of the statistics and the map, usable at any point of the
   process's life (also after the runtime has begun to shut down): none of
   these allocates from the runtime. */
/* The environment variable's value copied into buf (terminated); its
   length, or -1 when it is not set or does not fit. */
int ReadEnvironment(const char *name, char *buf, uint32_t size);
/* Creates or truncates a file for writing; -1 when that fails. */
intptr_t CreateOutputFile(const char *path);
/* Writes all of text; 1 on success. kStandardError is standard error. */
int WriteOutput(intptr_t file, const char *text, uint32_t length);
void CloseOutput(intptr_t file);
const intptr_t kStandardError = -2;
/* Hands text to an attached debugger where the system has one. */
void WriteDebugger(const char *text);

/* Runs fn(context) under a catch-all guard: returns 1 with *result set to
   fn's answer, or 0 with *result null when an exception escaped fn, be it a
   thrown C++ exception or, where the system has them, a structured exception
   such as an access violation. Nothing is cleaned up for the aborted call.
   Where only thrown exceptions exist the guard is a plain try/catch, inline,
   so that a constant fn is inlined into its caller (the end of this file). */
#if defined(_WIN32)
int CallGuarded(void *(*fn)(void *context), void *context, void **result);
#endif

/* Test seam: makes calls fail. */
enum FaultKind { kFaultReserve = 0, kFaultCommit = 1, kFaultKinds = 2 };
/* For the backends: counts a call of the kind; 1 when the plan makes it fail. */
int FaultHit(int kind);

/* Reports a broken invariant and ends the process (debug builds). */
void AssertFailed(const char *what, const char *file, int line);

#if !defined(_WIN32)
/* The thread slots: initial-exec, so the variables live in the static TLS
   block and reading one is one load from %gs that never calls into the
   loader (whose lazy TLS allocation would call malloc). */
extern __thread void *t_threadSlot[kSlotCount] __attribute__((tls_model("initial-exec")));
/* Tells the system's thread-exit machinery about a cache slot value. */
void NoteCacheSlot(void *value);
inline void *ThreadSlotGet(int slot = kSlotDefaultHeap)
{
    return t_threadSlot[slot];
}
inline void ThreadSlotSet(void *value, int slot = kSlotDefaultHeap)
{
    t_threadSlot[slot] = value;
    if (slot == kSlotCache) NoteCacheSlot(value);
}
/* Only thrown exceptions exist here; a fault is a signal, which is left to
   the process. */
inline int CallGuarded(void *(*fn)(void *context), void *context, void **result)
{
    try {
        *result = fn(context);
        return 1;
    } catch (...) {
        *result = 0;
        return 0;
    }
}
#endif

} // namespace vr_os

/* Debug builds (VR_DEBUG) check invariants; release builds compile them out. */
#if defined(VR_DEBUG)
#  define VR_ASSERT(c) ((c) ? (void)0 : vr_os::AssertFailed(#c, __FILE__, __LINE__))
#else
#  define VR_ASSERT(c) ((void)0)
#endif

extern "C" {
/* From the nth call of the kind on (1 = the next one), count calls fail
   (0xFFFFFFFF: all of them); nth 0 removes the plan. */
VR_API void VR_SetFault(int kind, uint32_t nth, uint32_t count);
/* Calls of the kind made so far (successful or failed). */
VR_API uint32_t VR_FaultCalls(int kind);
/* Replaces the message display (null restores it); for tests. */
VR_API void VR_SetMessageSink(void (*sink)(const char *text, const char *caption, uint32_t style));
}

#endif
