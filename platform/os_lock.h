/*
 * os_lock.h - the library's recursive lock, the same on every system.
 *
 * Init/Delete must not race with Enter/Leave; an all-zero lock is a free
 * one. Nothing here allocates, so a lock may be taken inside the runtime
 * hooks.
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
#ifndef VR_OS_LOCK_H
#define VR_OS_LOCK_H

#include <stdint.h>
#include <string.h>

#include "os_thread.h"
#include "vorrel.h"

namespace vr_os {

struct __attribute__((may_alias)) VR_LockWord {
    uint32_t state;          /* 0 free, 1 held, 2 held with sleepers possible */
    uintptr_t owner;         /* ThreadIdentity() of the holder, 0 when free */
    uint32_t count;          /* the holder's depth; 0 when free */
};
static_assert(sizeof(VR_LockWord) <= sizeof(VR_LockStorage), "the lock fits VR_LockStorage");

void LockInit(VR_LockStorage *lock);
/* Returns a lock nobody holds or waits on to the all-zero free state. */
inline void LockDelete(VR_LockStorage *lock)
{
    memset(lock, 0, sizeof *lock);
}
/* The contended halves of Enter and Leave. LockWait returns once the
   calling thread has taken the state word (leaving it 1 or 2); LockWake
   wakes one thread asleep in LockWait. Neither changes errno or the
   thread's last-error value. */
void LockWait(VR_LockWord *lock);
void LockWake(VR_LockWord *lock);

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

} // namespace vr_os

#endif
