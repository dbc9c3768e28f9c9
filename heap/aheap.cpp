/*
 * aheap.cpp - VR_AHeap, what every heap shares: initialisation (also of a
 * heap in static storage that served allocations before its constructor
 * ran), the heap's lock, its list of page sets and the making of a new one,
 * releasing page sets at Clear and destruction, and out-of-memory recovery
 * with the process's emergency reserve and the new handlers. Also the
 * allocation of heap objects themselves.
 */
#include <new>

#include "heap_internal.h"
#include "lists.h"
#include "os_runtime.h"
#include "registry.h"
#include "space.h"

/*
 * Lock order. A heap's lock is taken before the process lock (page services
 * take the process lock to mark the region map while a heap holds its own).
 * Out-of-memory recovery runs under the recovery lock, never under the
 * process lock, because the new handlers it calls free and allocate in any
 * heap: recovery lock -> heap lock -> process lock. So the process lock is
 * never held while waiting for a heap lock, with one exception: the
 * emergency callback of AllocPageSet's take-over runs under the heap's lock
 * and the process lock, and must therefore neither allocate nor free.
 */

namespace {

/* The recovery lock: recursive, so that a handler that runs out of memory
   itself recovers on the same thread; created once, under the process lock,
   on first need and never deleted. */
VR_LockStorage s_recoveryLock;
int s_recoveryLockReady = 0;

struct VR_RecoveryLockGuard {
    VR_RecoveryLockGuard() { vr_os::LockEnter(RecoveryLock()); }
    /* Also run when a handler throws, so the lock is never left held. */
    ~VR_RecoveryLockGuard() { vr_os::LockLeave(&s_recoveryLock); }
    VR_RecoveryLockGuard(const VR_RecoveryLockGuard &) = delete;
    VR_RecoveryLockGuard &operator=(const VR_RecoveryLockGuard &) = delete;
};

} // namespace

VR_LockStorage *RecoveryLock()
{
    if (!__atomic_load_n(&s_recoveryLockReady, __ATOMIC_ACQUIRE)) {
        VR_ProcessLockGuard guard;
        if (!s_recoveryLockReady) {
            vr_os::LockInit(&s_recoveryLock);
            __atomic_store_n(&s_recoveryLockReady, 1, __ATOMIC_RELEASE);
        }
    }
    return &s_recoveryLock;
}

int VR_AHeap::s_globalBypassFree = 0;
void (*VR_AHeap::s_fpEmergencyCallback)() = 0;
void *VR_AHeap::s_emergencyReserve = 0;
unsigned long VR_AHeap::s_emergencyReserveSize = 0;

uint32_t s_linkSecret = 0;
uint32_t s_linkCheck = 0;
uint32_t s_binCheck = 0;
uint32_t s_droppedLinks = 0;

void MakeLinkSecret()
{
    if (__atomic_load_n(&s_linkCheck, __ATOMIC_ACQUIRE)) return;
    /* The cycle counter, a stack address and where the library was loaded:
       unknown to a program that did not read the library's memory. */
    uint32_t local = 0;
    uint64_t t = __builtin_ia32_rdtsc();
    uint32_t x = (uint32_t)t ^ (uint32_t)(t >> 32) ^ (uint32_t)(uintptr_t)&local ^
                 ((uint32_t)(uintptr_t)&s_linkSecret << 12);
    /* Mixed so that every bit depends on all of them. */
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    /* The top bit set: a null or small word written into a free block
       never decodes to a link inside the block's page set (the test of
       the one-size heaps and the thread cache's bins). The first thread to store
       its secret wins; every other keeps that one, and each stores the
       check secret made from it (the same value) before it goes on. */
    uint32_t none = 0;
    __atomic_compare_exchange_n(&s_linkSecret, &none, x | 0x80000000u, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    uint32_t secret = __atomic_load_n(&s_linkSecret, __ATOMIC_ACQUIRE);
    /* Rotated, so that it is no simple function of the link's own key;
       bit 2 set and bits 0 and 1 clear for FreeCheckOf. */
    uint32_t check = (((secret << 16) | (secret >> 16)) | 4u) & ~3u;
    /* The bins' check words are of another secret (rotated otherwise), so
       that a block on a heap's free list never passes for one waiting in
       a bin. Stored first: s_linkCheck says both are made. */
    __atomic_store_n(&s_binCheck, (((secret << 8) | (secret >> 24)) | 4u) & ~3u, __ATOMIC_RELAXED);
    __atomic_store_n(&s_linkCheck, check, __ATOMIC_RELEASE);
}

uint32_t FreeLinkAt(const void *key, uint32_t value)
{
    return MangledLink(key, value);
}

uint32_t DroppedFreeLinks()
{
    return __atomic_load_n(&s_droppedLinks, __ATOMIC_RELAXED);
}

/* Sets the object's type and writes no field: a static heap may already be
   serving allocations when this runs, and Init decides what to keep. The
   name goes to the registry's table, for the statistics report. */
VR_AHeap::VR_AHeap(const char *name)
{
    if (name) NameHeap(this, name);
}

VR_AHeap::~VR_AHeap()
{
    /* Off the list first: a process-wide walk must never meet a heap that
       is being torn down (a walk looking at this heap right now is waited
       for). */
    UnregisterHeap(this);
    if (!(flags & VR_HEAP_STATIC)) {
        Lock();
        ReleasePageSets();
        Unlock();
    }
    if (lockActive) {
        lockActive = 0;
        vr_os::LockDelete(&lock);
    }
    /* A static heap stays usable (without a lock) for the blocks it still
       holds, and says that its destructor ran: a constructor that builds a
       heap in the same storage again makes a whole heap of it, where a
       heap that was merely used before its constructor only changes its
       switches. */
    if (flags & VR_HEAP_STATIC) __atomic_store_n(&initialized, kHeapDestroyed, __ATOMIC_RELEASE);
}

void VR_AHeap::Clear()
{
    Lock();
    ReleasePageSets();
    Unlock();
}

void VR_AHeap::ReleasePageSets()
{
    while (pageSets) {
        VR_PageSetBase *p = pageSets;
        VR_PageSetBase *next = p->next;
        ReleasePageSet(p, (uint32_t)(p->commitEnd - p->Base()));
        pageSets = next;
    }
}

int VR_AHeap::Init(long newFlags, int lazy, int oneSize)
{
    EnsureProcessLock();

    /* Static storage is whatever is neither library memory nor the calling
       thread's stack: such an object was all zero before its constructor
       ran, so its initialized word can be trusted. The process heaps are
       known to be static; asking the system about the stack can take it a
       dozen calls, which every process start would pay for them. */
    int isDefault = this == static_cast<VR_AHeap *>(&DefaultHeap);
    int isProcessHeap = isDefault || this == static_cast<VR_AHeap *>(&HeapForHeaps);
    int isStatic = isProcessHeap || (!IsLibraryMemory(this) && !IsStackMemory(this));
    int defaultSingle = isDefault && s_initCalled && s_initMultithreaded == 0;

    if (isStatic && initialized == kHeapDestroyed) {
        /* Built again over a destroyed static heap: its lists and page sets
           stay (blocks of the old heap may still be in use and freed into
           this one), and everything else is set up as for a new heap: the
           flags, a lock, the registration. Until this returns, the storage
           is a destroyed heap that no other thread may use. */
        long f = newFlags & ~(long)VR_HEAP_STATIC;
        if (defaultSingle) f &= ~(long)VR_HEAP_MULTITHREADED;
        flags = f | (long)VR_HEAP_STATIC;
        lockActive = (f & VR_HEAP_MULTITHREADED) ? 1 : 0;
        if (lockActive) vr_os::LockInit(&lock);
        newHandler = 0;
        bypassFree = (f & VR_HEAP_BYPASS_FREEING) ? 1 : 0;
        __atomic_store_n(&initialized, 1, __ATOMIC_RELEASE);
        RegisterHeap(this, oneSize);
        return 0;
    }
    if (isStatic && initialized) {
        /* Re-initialisation of a heap that was used before its constructor:
           everything it handed out stays, only the switches change. A lock
           can be dropped here but never created. */
        int drop = isDefault ? defaultSingle : !(newFlags & VR_HEAP_MULTITHREADED);
        if (drop && lockActive) {
            lockActive = 0;
            flags &= ~(long)VR_HEAP_MULTITHREADED;
            vr_os::LockDelete(&lock);
        }
        if (!(newFlags & VR_HEAP_ZERO_INIT)) flags &= ~(long)VR_HEAP_ZERO_INIT;
        if (newFlags & VR_HEAP_BYPASS_FREEING) {
            bypassFree = 1;
            flags |= VR_HEAP_BYPASS_FREEING;
        }
        return 0;
    }

    long f = newFlags;
    if (lazy) f |= VR_HEAP_MULTITHREADED | VR_HEAP_ZERO_INIT;
    if (defaultSingle) f &= ~(long)VR_HEAP_MULTITHREADED;
    if (isStatic) f |= (long)VR_HEAP_STATIC;
    flags = f;
    lockActive = (f & VR_HEAP_MULTITHREADED) ? 1 : 0;
    if (lockActive) vr_os::LockInit(&lock);
    newHandler = 0;
    pageSets = 0;
    bypassFree = (f & VR_HEAP_BYPASS_FREEING) ? 1 : 0;
    if (s_pageSize == 0) LoadSystemInfo();

    /* Published last: an allocation on another thread that sees the word
       set must also see the lock and the flags. */
    __atomic_store_n(&initialized, 1, __ATOMIC_RELEASE);
    RegisterHeap(this, oneSize);
    return 1;
}

VR_PageSetBase *VR_AHeap::AllocPageSet(long headerSize, int kind)
{
    /* Before the first free block can exist. */
    MakeLinkSecret();
    int nocache = (flags & VR_HEAP_NOCACHE) ? 1 : 0;
    uint32_t committed = s_pageSize;
    uint8_t *base = (uint8_t *)ReservePageSet(nocache, kind);
    if (base && !CommitPages(base, s_pageSize, nocache)) {
        ReleasePageSet(base, 0);
        base = 0;
    }
    if (!base) {
        /* Last source: the emergency reserve becomes this heap's page set.
           Its callback runs under this heap's lock and the process lock, so
           it must return normally and must neither allocate nor free. */
        VR_ProcessLockGuard guard;
        if (s_emergencyReserve) {
            base = (uint8_t *)s_emergencyReserve;
            committed = (uint32_t)s_emergencyReserveSize;
            s_emergencyReserve = 0;
            SpaceRetag(base, s_granularity, committed, kind);
            if (s_fpEmergencyCallback) s_fpEmergencyCallback();
        }
        if (!base) return 0;
    }

    VR_PageSetBase *p = (VR_PageSetBase *)base;
    PushFrontOn(pageSets, p, &VR_PageSetBase::next, &VR_PageSetBase::prev);
    p->usedCount = 0;
    p->uncarved = committed - (uint32_t)headerSize;
    p->commitEnd = base + committed;
    p->regionEnd = base + s_granularity;
    return p;
}

int VR_AHeap::HandleOutOfMemory()
{
    /* The unit of page sets the page services keep empty goes back first. */
    if (DropEmptyUnit()) return 1;

    int result;
    if (RecoverLocked(&result)) return result;
    /* The runtime's standard new handler runs after the recovery lock is
       left, with no cleanup pending in this frame or its callers': such a
       handler throws bad_alloc by contract. On Windows the exception is
       unwound through the library's frames by the program's unwinder
       (with which the library's frames are registered), and a cleanup
       here would resume it in the library's own unwinder, which knows no
       frame of the program and ends the process instead. */
    if (!(flags & VR_HEAP_NO_STD_NEW_HANDLER)) {
        result = 0;
        if (vr_os::RunStandardNewHandler(s_granularity, &result)) return result ? 1 : 0;
    }
    return 0;
}

int VR_AHeap::RecoverLocked(int *result)
{
    /* One thread recovers at a time, and the reserve and the heap's own
       handler are tried one after another. */
    VR_RecoveryLockGuard recovery;

    /* The reserve is taken out under the process lock (AllocPageSet may
       take it over concurrently), but given back and announced outside it:
       the callback may free into any heap. */
    void *reserve;
    uint32_t reserveSize;
    {
        VR_ProcessLockGuard guard;
        reserve = s_emergencyReserve;
        reserveSize = (uint32_t)s_emergencyReserveSize;
        s_emergencyReserve = 0;
    }
    if (reserve) {
        ReleasePageSet(reserve, reserveSize);
        if (s_fpEmergencyCallback) s_fpEmergencyCallback();
        *result = 1;
        return 1;
    }
    if (newHandler) {
        *result = newHandler();
        return 1;
    }
    return 0;
}

int VR_AHeap::HandleOutOfMemoryMT()
{
    Unlock();
    if (!HandleOutOfMemory()) return 0;
    Lock();
    return 1;
}

int VR_AHeap::SetEmergencyReserve(unsigned long size, void (*callback)())
{
    s_fpEmergencyCallback = callback;
    /* The clamp below needs the granularity; without the system information
       it would read 0 and turn every request into an empty reserve. */
    if (s_pageSize == 0) LoadSystemInfo();
    if (size >= s_granularity) size = s_granularity;
    if (s_pageSize) {
        uint32_t rounded;
        if (!RoundUpChecked((uint32_t)size, s_pageSize, &rounded)) return 0;
        size = rounded;
    }
    /* Nothing committed is no reserve: refused on every system alike. */
    if (size == 0) return 0;

    int nocache = (flags & VR_HEAP_NOCACHE) ? 1 : 0;
    void *base = ReservePageSet(nocache, VR_SPACE_LIBRARY);
    if (!base) return 0;
    if (!CommitPages(base, (uint32_t)size, nocache)) {
        ReleasePageSet(base, 0);
        return 0;
    }

    VR_ProcessLockGuard guard;
    if (s_emergencyReserve)
        ReleasePageSet(s_emergencyReserve, (uint32_t)s_emergencyReserveSize);
    s_emergencyReserve = base;
    s_emergencyReserveSize = size;
    return 1;
}

void VR_AHeap::SetNewHandler(int (*handler)())
{
    newHandler = handler;
}

int VR_AHeap::IsMultithreaded()
{
    return (flags & VR_HEAP_MULTITHREADED) ? 1 : 0;
}

void *VR_AHeap::operator new(size_t size) noexcept
{
    return HeapForHeaps.AllocMem((unsigned long)size);
}

void *VR_AHeap::operator new(size_t size, VR_Heap &heap) noexcept
{
    return heap.AllocMem((unsigned long)size);
}

void VR_AHeap::operator delete(void *p)
{
    VR_Heap::FreeMem(p);
}

void ExecuteStandardNewHandler()
{
    int ignored;
    vr_os::RunStandardNewHandler(s_granularity, &ignored);
}
