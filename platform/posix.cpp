/*
 * posix.cpp - the memory side of the platform contract on Linux.
 *
 * Emulates the Windows virtual-memory model the rest of the library is
 * written against: reservations start on 64 KB boundaries (mmap with slack,
 * then trimmed), reserved pages are PROT_NONE until committed, commit is
 * mprotect read-write, decommit hands the pages back (MADV_DONTNEED, so they
 * read zero when committed again) and makes them inaccessible, and a
 * reservation is released by its base alone. The sizes of live reservations
 * are kept in static tables indexed by 64 KB region, so nothing here ever
 * allocates; questions about foreign memory are answered from
 * /proc/self/maps, read with raw open/read into a stack buffer.
 *
 * Also here: the waiting side of the library's locks (a futex on the lock's
 * state word).
 */
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "os_lock.h"
#include "os_memory.h"
#include "os_thread.h"

namespace {

const uint32_t kGranularity = 0x10000;
const uint32_t kRegionShift = 16;
const uint32_t kRegionCount = 0x10000;  /* 64 KB regions in 4 GB */

/* Entry of s_owner for every region a live reservation covers. */
const uint32_t kOwnerLive = 1;          /* base | kOwnerLive; base is 64 KB aligned */
/* Low bits of s_reservation (sizes are page multiples, so these are free). */
const uint32_t kResNoCache = 1;         /* the reservation was asked for uncached pages */
const uint32_t kResFlagMask = 0xFFF;

/* At a reservation's base region: its size in bytes (a page multiple) with
   the flags above; 0 everywhere else. Written when the reservation is made,
   claimed by an atomic exchange when it is released. */
uint32_t s_reservation[kRegionCount];
/* For each region covered by a live reservation, that reservation's base
   with kOwnerLive; 0 for regions the library has not reserved. */
uint32_t s_owner[kRegionCount];

uint32_t s_pageSizeCache;

uint32_t PageSize()
{
    uint32_t p = __atomic_load_n(&s_pageSizeCache, __ATOMIC_RELAXED);
    if (p == 0) {
        long v = sysconf(_SC_PAGESIZE);
        p = v > 0 ? (uint32_t)v : 4096;
        __atomic_store_n(&s_pageSizeCache, p, __ATOMIC_RELAXED);
    }
    return p;
}

/* The live reservation holding address a: base and size, or 0. */
int FindReservation(uintptr_t a, uint32_t *base, uint32_t *size, uint32_t *flags)
{
    uint32_t owner = __atomic_load_n(&s_owner[a >> kRegionShift], __ATOMIC_ACQUIRE);
    if (!(owner & kOwnerLive)) return 0;
    uint32_t b = owner & ~(kGranularity - 1);
    uint32_t r = __atomic_load_n(&s_reservation[b >> kRegionShift], __ATOMIC_ACQUIRE);
    uint32_t s = r & ~kResFlagMask;
    if (s == 0 || a - b >= s) return 0;
    *base = b;
    *size = s;
    if (flags) *flags = r & kResFlagMask;
    return 1;
}

/* The page range [*first, *end) covering [address, address + size), when it
   lies wholly inside one live reservation. */
int PagesInReservation(void *address, uint32_t size, uintptr_t *first, uintptr_t *end, uint32_t *base)
{
    uintptr_t a = (uintptr_t)address;
    uint32_t page = PageSize();
    uint32_t rb, rs;
    if (size == 0 || a + size < a) return 0;
    uint64_t e = ((uint64_t)a + size + page - 1) & ~(uint64_t)(page - 1);
    uintptr_t f = a & ~(uintptr_t)(page - 1);
    if (!FindReservation(f, &rb, &rs, 0)) return 0;
    if (e > (uint64_t)rb + rs) return 0;
    *first = f;
    *end = (uintptr_t)e;
    *base = rb;
    return 1;
}

void *MapAligned(uint32_t size, int nocache, int commit)
{
    uint32_t page = PageSize();
    if (size == 0) return 0;
    if (size > 0xFFFFFFFFu - (page - 1)) return 0;
    size = (size + page - 1) & ~(page - 1);
    /* Slack so that a 64 KB boundary falls inside the mapping with size
       bytes after it; mmap already returns page-aligned addresses. */
    uint32_t slack = kGranularity - page;
    if (size > 0xFFFFFFFFu - slack) return 0;
    uint32_t total = size + slack;
    int prot = commit ? PROT_READ | PROT_WRITE : PROT_NONE;
    void *m = mmap(0, total, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return 0;
    uintptr_t start = (uintptr_t)m;
    uintptr_t base = (start + kGranularity - 1) & ~(uintptr_t)(kGranularity - 1);
    if (base > start) munmap(m, base - start);
    uintptr_t tail = start + total - (base + size);
    if (tail) munmap((void *)(base + size), tail);

    /* The range is ours alone until it is released, so these entries cannot
       be written by anybody else meanwhile. The owner entries go last with
       release order: a reader that finds them sees the size too. */
    uint32_t b = (uint32_t)base;
    __atomic_store_n(&s_reservation[b >> kRegionShift], size | (nocache ? kResNoCache : 0),
                     __ATOMIC_RELEASE);
    uint32_t lastRegion = (uint32_t)((base + size - 1) >> kRegionShift);
    for (uint32_t r = b >> kRegionShift; r <= lastRegion; r++)
        __atomic_store_n(&s_owner[r], b | kOwnerLive, __ATOMIC_RELEASE);
    return (void *)base;
}

/* One line of /proc/self/maps. */
struct Mapping {
    uint32_t start;
    uint32_t end;
    int readable;
    int writable;
    char perms[4];  /* "rwxp" as printed: protection and private/shared */
};

int ParseHex(const char *&s, uint32_t *out)
{
    uint32_t v = 0;
    int digits = 0;
    for (;; s++, digits++) {
        char c = *s;
        uint32_t d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else break;
        if (digits == 8) return 0;  /* beyond 32 bits: not one of ours */
        v = v << 4 | d;
    }
    *out = v;
    return digits > 0;
}

int ParseMapsLine(const char *line, Mapping *m)
{
    const char *s = line;
    if (!ParseHex(s, &m->start) || *s++ != '-') return 0;
    if (!ParseHex(s, &m->end) || *s++ != ' ') return 0;
    m->readable = s[0] == 'r';
    m->writable = s[1] == 'w';
    for (int i = 0; i < 4; i++) m->perms[i] = s[i];
    /* An end of 0 means the mapping reaches the top of 4 GB. */
    return m->end > m->start || m->end == 0;
}

/* Reads /proc/self/maps line by line, with raw open and read into buffers
   on the stack (nothing here may allocate). Errors of the system calls do
   not reach the caller's errno. */
struct VR_MapsReader {
    int fd = -1;
    int savedErrno;
    ssize_t have, at;
    uint32_t used;
    char buf[1024];
    char line[48];   /* only the address range and permissions are needed */

    int Open()
    {
        savedErrno = errno;
        do fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
        have = at = 0;
        used = 0;
        if (fd < 0) errno = savedErrno;
        return fd >= 0;
    }

    /* The next line that parses; 0 at the end of the file. */
    int Next(Mapping *m)
    {
        for (;;) {
            if (at == have) {
                ssize_t n = read(fd, buf, sizeof buf);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return 0;
                have = n;
                at = 0;
            }
            char c = buf[at++];
            if (c != '\n') {
                if (used < sizeof line - 1) line[used++] = c;
                continue;
            }
            line[used] = 0;
            used = 0;
            if (ParseMapsLine(line, m)) return 1;
        }
    }

    ~VR_MapsReader()
    {
        if (fd >= 0) close(fd);
        errno = savedErrno;
    }
};

inline int Holds(const Mapping &m, uintptr_t a)
{
    return a >= m.start && (m.end == 0 || a < m.end);
}

/* Scans /proc/self/maps for the mapping that holds a. Returns -1 when the
   file cannot be read, 1 with *hit filled when a is mapped, 0 when it is not;
   *nextStart is then the start of the next mapping above a (0: none).
   With joinRun, hit->end is carried on across the mappings that follow
   without a gap and with the same protection, so it ends where the run of
   equal pages ends, as VirtualQuery reports it: the kernel splits one
   region into several mappings for reasons of its own (a fork, a partial
   mprotect or madvise). The run stops at the library's reservations, which
   are allocations of their own. */
int FindMapping(uintptr_t a, Mapping *hit, uint32_t *nextStart, int joinRun = 0)
{
    VR_MapsReader maps;
    if (!maps.Open()) return -1;
    int found = 0;
    uint32_t next = 0;
    uint32_t base, size;
    Mapping m;
    while (maps.Next(&m)) {
        if (found) {
            /* Lines come in address order: this one continues the run or
               ends it. */
            if (hit->end == 0 || m.start != hit->end || memcmp(m.perms, hit->perms, 4) != 0 ||
                FindReservation(m.start, &base, &size, 0))
                break;
            hit->end = m.end;
        } else if (Holds(m, a)) {
            *hit = m;
            found = 1;
            if (!joinRun) break;
        } else if (m.start > a && (next == 0 || m.start < next)) {
            next = m.start;
        }
    }
    if (nextStart) *nextStart = next;
    return found;
}

} // namespace

void vr_os::QuerySystemInfo(uint32_t *pageSize, uint32_t *granularity)
{
    *pageSize = PageSize();
    *granularity = kGranularity;
}

void *vr_os::Reserve(uint32_t size, int nocache)
{
    if (FaultHit(kFaultReserve)) return 0;
    return MapAligned(size, nocache, 0);
}

void *vr_os::ReserveAndCommit(uint32_t size, int nocache)
{
    if (FaultHit(kFaultReserve)) return 0;
    return MapAligned(size, nocache, 1);
}

int vr_os::Commit(void *address, uint32_t size, int nocache)
{
    if (FaultHit(kFaultCommit)) return 0;
    uintptr_t first, end;
    uint32_t base;
    /* Only pages of the library's own reservations may change protection:
       anything else would silently remap someone else's memory. */
    if (!PagesInReservation(address, size, &first, &end, &base)) return 0;
    if (mprotect((void *)first, end - first, PROT_READ | PROT_WRITE) != 0) return 0;
    if (nocache) __atomic_fetch_or(&s_reservation[base >> kRegionShift], kResNoCache, __ATOMIC_RELAXED);
    return 1;
}

void vr_os::Decommit(void *address, uint32_t size)
{
    uintptr_t first, end;
    uint32_t base, rsize;
    if (size == 0) {
        /* As on Windows: size 0 at a reservation's base means all of it. */
        if (!FindReservation((uintptr_t)address, &base, &rsize, 0) || base != (uintptr_t)address) return;
        first = base;
        end = (uintptr_t)base + rsize;
    } else if (!PagesInReservation(address, size, &first, &end, &base)) {
        return;
    }
    /* DONTNEED drops the pages of a private anonymous mapping: the memory
       goes back to the system and the pages read zero if committed again.
       Freeing leads here, and free leaves errno alone: a refusal (the
       protection change needs a mapping the system will not make) only
       leaves the emptied pages accessible. */
    int saved = errno;
    madvise((void *)first, end - first, MADV_DONTNEED);
    mprotect((void *)first, end - first, PROT_NONE);
    errno = saved;
}

int vr_os::Release(void *base)
{
    uintptr_t b = (uintptr_t)base;
    if (b == 0 || (b & (kGranularity - 1))) return 0;
    uint32_t owner = __atomic_load_n(&s_owner[b >> kRegionShift], __ATOMIC_ACQUIRE);
    if (owner != (b | kOwnerLive)) return 0;
    /* Claiming the size makes a second release of the same base a no-op. */
    uint32_t r = __atomic_exchange_n(&s_reservation[b >> kRegionShift], 0, __ATOMIC_ACQ_REL);
    uint32_t size = r & ~kResFlagMask;
    if (size == 0) return 0;
    /* The table entries go before the pages: once unmapped, the range may be
       handed to another reservation that writes its own entries. */
    uint32_t lastRegion = (uint32_t)((b + size - 1) >> kRegionShift);
    for (uint32_t i = (uint32_t)(b >> kRegionShift); i <= lastRegion; i++)
        __atomic_store_n(&s_owner[i], 0, __ATOMIC_RELEASE);
    /* The system refuses when unmapping would split a mapping beyond its
       limit on mappings; nothing is unmapped then. The range is still ours
       and stays on the tables, so the library keeps knowing it as reserved,
       and errno is left as it was: free must not change it. */
    int saved = errno;
    if (munmap(base, size) != 0) {
        errno = saved;
        __atomic_store_n(&s_reservation[b >> kRegionShift], r, __ATOMIC_RELEASE);
        for (uint32_t i = (uint32_t)(b >> kRegionShift); i <= lastRegion; i++)
            __atomic_store_n(&s_owner[i], (uint32_t)b | kOwnerLive, __ATOMIC_RELEASE);
        return 0;
    }
    return 1;
}

int vr_os::QueryRegion(const void *p, RegionInfo *info)
{
    uint32_t page = PageSize();
    uintptr_t a = (uintptr_t)p;
    uintptr_t pageOf = a & ~(uintptr_t)(page - 1);
    uint32_t base, size, flags;
    Mapping m;
    uint32_t next = 0;
    int inReservation = FindReservation(a, &base, &size, &flags);
    int r = FindMapping(a, &m, &next, !inReservation);
    if (r < 0) return 0;

    if (inReservation) {
        /* The kernel may merge a reservation's mapping with a neighbour of
           equal protection; the run ends at the reservation's edge anyway. */
        if (r == 0) return 0;
        uint64_t runEnd = m.end == 0 ? 0x100000000ull : m.end;
        if (runEnd > (uint64_t)base + size) runEnd = (uint64_t)base + size;
        info->allocationBase = base;
        info->regionBase = pageOf;
        info->regionSize = (uint32_t)(runEnd - pageOf);
        info->committed = m.readable || m.writable;
        /* Recorded, not enforced: Linux has no uncached user pages. */
        info->nocache = (flags & kResNoCache) ? 1 : 0;
        return 1;
    }

    if (r == 1) {
        uint64_t runEnd = m.end == 0 ? 0x100000000ull : m.end;
        info->allocationBase = m.start;
        info->regionBase = pageOf;
        info->regionSize = (uint32_t)(runEnd - pageOf);
        info->committed = m.readable || m.writable;
        info->nocache = 0;
        return 1;
    }

    /* Free address space: a run up to the next mapping. */
    uint64_t runEnd = next ? next : 0x100000000ull;
    info->allocationBase = 0;
    info->regionBase = pageOf;
    info->regionSize = (uint32_t)(runEnd - pageOf);
    info->committed = 0;
    info->nocache = 0;
    return 1;
}

/* The bounds of this library's own image (its ELF header and the end of
   its zero-filled data), as the linker defines them for every module;
   hidden, so they name this module's and never the program's. */
extern "C" const char __ehdr_start[] __attribute__((visibility("hidden")));
extern "C" const char _end[] __attribute__((visibility("hidden")));

int vr_os::IsOnThreadStack(const void *p)
{
    volatile char local = 0;
    uint32_t base, size;
    /* The library's own static objects (its heaps among them, whose set-up
       asks this at every process start) are no stack: answered without
       reading the mappings. */
    if ((uintptr_t)p - (uintptr_t)__ehdr_start < (uintptr_t)_end - (uintptr_t)__ehdr_start) return 0;
    /* Library memory is never a stack, even where the kernel has merged its
       mapping with a neighbouring stack of equal protection. */
    if (FindReservation((uintptr_t)p, &base, &size, 0)) return 0;
    /* One pass finds both mappings: the one of the stack in use and p's. */
    VR_MapsReader maps;
    if (!maps.Open()) return 0;
    uintptr_t here = (uintptr_t)&local;
    Mapping m;
    int mine = -1, theirs = -1, index = 0;
    while ((mine < 0 || theirs < 0) && maps.Next(&m)) {
        if (Holds(m, here)) mine = index;
        if (Holds(m, (uintptr_t)p)) theirs = index;
        index++;
    }
    return mine >= 0 && mine == theirs;
}

/* How long a thread that finds a lock held polls it before it sleeps. A
   holder keeps a heap lock for a short stretch of work, so a brief spin
   often sees it free without a system call; longer would only burn the
   processor a preempted holder needs. */
const uint32_t kLockSpins = 100;

void vr_os::LockInit(VR_LockStorage *lock)
{
    memset(lock, 0, sizeof *lock);
}

/* Sleeping is a futex wait on the state word, after marking it 2 so that
   the holder's Leave knows to wake somebody. A thread that takes the lock
   that way leaves it marked 2, since others may still be asleep: at worst
   one wake-up too many. */
void vr_os::LockWait(VR_LockWord *lock)
{
    for (uint32_t round = 0; round < kLockSpins; round++) {
        if (__atomic_load_n(&lock->state, __ATOMIC_RELAXED) == 0) {
            uint32_t expected = 0;
            if (__atomic_compare_exchange_n(&lock->state, &expected, 1u, false, __ATOMIC_ACQUIRE,
                                            __ATOMIC_RELAXED))
                return;
        }
        __builtin_ia32_pause();
    }
    int saved = errno;   /* a wait cut short sets it; malloc leaves it alone */
    while (__atomic_exchange_n(&lock->state, 2u, __ATOMIC_ACQUIRE) != 0)
        syscall(SYS_futex, &lock->state, FUTEX_WAIT_PRIVATE, 2, 0, 0, 0);
    errno = saved;
}

void vr_os::LockWake(VR_LockWord *lock)
{
    int saved = errno;
    syscall(SYS_futex, &lock->state, FUTEX_WAKE_PRIVATE, 1, 0, 0, 0);
    errno = saved;
}
