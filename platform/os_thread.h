/*
 * os_thread.h - who the calling thread is, and the library's thread-local
 * slots.
 *
 * Nothing here allocates or takes a lock, and reading a slot never calls
 * into the system's loader, so the runtime hooks may use all of it. The
 * slots are read on every allocation: where the system keeps them in plain
 * thread variables, reading one is a single load through the segment
 * register, inline.
 */
#ifndef VR_OS_THREAD_H
#define VR_OS_THREAD_H

#include <stdint.h>

namespace vr_os {

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

/* Thread-local pointers of the library: slot 0 holds the thread's default
   heap, slot 1 its cache. Both are null in every thread at its start and
   valid also in threads that existed before the library was loaded.
   Neither call allocates. */
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
/* Each slot's offset in the TEB when it is one of the directly indexed
   ones, 0 until the slot exists or when it is not direct: the inline read
   is then one test of it. */
extern volatile uint32_t s_threadSlotTebOffset[kSlotCount];
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
    uint32_t offset = s_threadSlotTebOffset[slot];
    if (__builtin_expect(offset != 0, 1)) {
        void *value;
        __asm__ volatile("movl %%fs:(%1), %0" : "=r"(value) : "r"(offset));
        return value;
    }
    return ThreadSlotGetSlow(slot);
}
#else
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
#endif

} // namespace vr_os

#endif
