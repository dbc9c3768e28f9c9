/*
 * fork_posix.cpp - the library's locks across fork.
 *
 * The child of a fork has one thread, the one that forked. Any lock of the
 * library that another thread of the parent held at that moment would stay
 * held in the child for good, and the child's first malloc would wait on it
 * forever. So the forking thread takes every lock of the library before
 * the fork (pthread_atfork's prepare), in the library's lock order:
 *
 *     recovery lock -> every heap's lock -> registered fork locks -> process lock
 *
 * and after the fork lets go of them in the parent and resets them in the
 * child, where nobody else can hold or wait for them. The child first lets
 * the thread caches take back what the vanished threads left in theirs
 * (vr_front::AdoptCachesAfterFork).
 *
 * The C library's fork takes its stream-list lock after the prepare
 * handlers ran, and holds it while it forks. A thread in fflush(NULL) holds
 * that lock while it waits for a stream's lock, and the thread holding the
 * stream (in getline, say) may be waiting for a heap's lock: were the heap
 * locks taken first, the three would wait on one another for good. So the
 * prepare step takes the stream-list lock before any lock of the library
 * (it is recursive, so fork takes it once more), as the C library's own
 * allocator takes its locks after it: the order is
 *
 *     stream-list lock -> recovery lock -> ...
 *
 * and nothing of the library touches streams while it holds a lock of its
 * own. The parent lets it go once more after fork; the child resets it
 * (fork may or may not have reset it already, by whether the parent had
 * other threads).
 *
 * The heaps are listed in the registry under the process lock, which must
 * not be held while a heap's lock is awaited (heap -> process). So the list
 * is copied under the process lock into storage of this file's own, the
 * heap locks are taken from the copy with the process lock left, and the
 * process lock is taken last; when the list changed meanwhile, everything
 * is let go and the round starts again. While the list is frozen no heap is
 * taken off it (its lock may be in our hands or about to be), so a copied
 * heap cannot be destroyed under the forking thread.
 */
#include <pthread.h>

#include "os_lock.h"
#include "os_memory.h"
#include "process_internal.h"
#include "registry.h"

/* The C library's stream-list lock; weak, so that a C library without
   them leaves the step out. */
extern "C" {
void _IO_list_lock() __attribute__((weak));
void _IO_list_unlock() __attribute__((weak));
void _IO_list_resetlock() __attribute__((weak));
}

namespace {

/* The locks taken in the prepare step after the recovery lock and before
   the process lock, in the order taken: heap locks by address, then the
   registered fork locks. Starts in static storage; more room comes from
   the page services and is kept for the next fork. Invariants: s_count <=
   s_capacity; between a successful prepare step and the handler after the
   fork, the forking thread holds s_locks[0 .. s_count) (each once more than
   before), the recovery lock and the process lock, and the heap list is
   frozen by it; at any other time s_count is 0. */
const uint32_t kInlineLocks = 64;
VR_LockStorage *s_inlineLocks[kInlineLocks];
VR_LockStorage **s_locks = s_inlineLocks;
uint32_t s_capacity = kInlineLocks;
uint32_t s_count;

/* Room for n locks; 0 when the system refuses. Called with no lock held
   but the recovery lock (reserving takes the process lock). */
int Reserve(uint32_t n)
{
    if (n <= s_capacity) return 1;
    if (s_pageSize == 0) LoadSystemInfo();
    uint32_t bytes;
    if (n > 0x3FFFFFFFu || !RoundUpChecked(n * 2 * (uint32_t)sizeof(void *), s_granularity, &bytes)) return 0;
    VR_LockStorage **room = (VR_LockStorage **)ReservePages(bytes, 0);
    if (!room) return 0;
    if (!CommitPages(room, bytes, 0)) {
        ReleasePages(room, 0, bytes);
        return 0;
    }
    if (s_locks != s_inlineLocks) {
        uint32_t old = s_capacity * (uint32_t)sizeof(void *);
        ReleasePages(s_locks, old, old);
    }
    s_locks = room;
    s_capacity = bytes / (uint32_t)sizeof(void *);
    return 1;
}

void SortByAddress(VR_LockStorage **locks, uint32_t n)
{
    for (uint32_t i = 1; i < n; i++) {
        VR_LockStorage *l = locks[i];
        uint32_t j = i;
        for (; j > 0 && (uintptr_t)locks[j - 1] > (uintptr_t)l; j--) locks[j] = locks[j - 1];
        locks[j] = l;
    }
}

void LeaveTaken()
{
    for (uint32_t i = s_count; i > 0; i--) vr_os::LockLeave(s_locks[i - 1]);
    s_count = 0;
}

/* In the child the forking thread holds the lock, once more than it did
   before the prepare step, and no other thread exists to wait on it. */
void ResetInChild(VR_LockStorage *storage)
{
    vr_os::VR_LockWord *lock = (vr_os::VR_LockWord *)storage;
    if (lock->count > 1) {
        lock->count--;
        lock->state = 1;
        return;
    }
    lock->count = 0;
    lock->owner = 0;
    lock->state = 0;
}

void PrepareFork()
{
    if (_IO_list_lock) _IO_list_lock();
    vr_os::LockEnter(RecoveryLock());
    EnsureProcessLock();
    for (;;) {
        ProcessLockEnter();
        FreezeHeapList(1);
        uint32_t heaps = HeapCount(), extras = ForkLockCount();
        uint32_t version = HeapListVersion();
        if (heaps + extras > s_capacity) {
            ProcessLockLeave();
            if (!Reserve(heaps + extras + 16)) {
                /* Nothing to keep the list in: fork with what the heaps do
                   not need, the recovery and process locks; a child that
                   meets a held heap lock is no worse off than before. */
                ProcessLockEnter();
                return;
            }
            continue;
        }
        uint32_t n = 0;
        for (uint32_t i = 0; i < heaps; i++) {
            VR_LockStorage *lock = VR_HeapLocks::Of(HeapAt(i));
            if (lock) s_locks[n++] = lock;
        }
        uint32_t heapLocks = n;
        for (uint32_t i = 0; i < extras; i++) s_locks[n++] = ForkLockAt(i);
        ProcessLockLeave();

        /* No two heap locks are ever held together elsewhere, so their
           order is free; by address it is the same every time. */
        SortByAddress(s_locks, heapLocks);
        for (s_count = 0; s_count < n; s_count++) vr_os::LockEnter(s_locks[s_count]);

        ProcessLockEnter();
        if (HeapListVersion() == version) return;
        /* A heap or a fork lock came (none can go while frozen): again. */
        ProcessLockLeave();
        LeaveTaken();
    }
}

void ParentAfterFork()
{
    VR_ASSERT(s_count <= s_capacity);
    FreezeHeapList(0);
    ProcessLockLeave();
    LeaveTaken();
    vr_os::LockLeave(RecoveryLock());
    if (_IO_list_unlock) _IO_list_unlock();
}

void ChildAfterFork()
{
    /* While every lock is still held: what the threads that did not come
       along left in their thread caches goes back to the heaps. */
    if (s_count) vr_front::AdoptCachesAfterFork();
    FreezeHeapList(0);
    ResetInChild(ProcessLockStorage());
    for (uint32_t i = s_count; i > 0; i--) ResetInChild(s_locks[i - 1]);
    s_count = 0;
    ResetInChild(RecoveryLock());
    if (_IO_list_resetlock) _IO_list_resetlock();
}

__attribute__((constructor(203))) void RegisterForkHandlers()
{
    pthread_atfork(PrepareFork, ParentAfterFork, ChildAfterFork);
}

} // namespace
