/*
 * mailbox.h - hands chains of blocks from one thread to another without an
 * allocation of its own, so the threaded benchmarks measure the allocator and
 * not the queue. A block's first word links it to the next block of its
 * chain; a chain is pushed whole with one compare-and-swap, and the receiver
 * takes everything at once with one exchange (no ABA: nobody pops singly).
 */
#ifndef VR_BENCH_MAILBOX_H
#define VR_BENCH_MAILBOX_H

#include <atomic>
#include <thread>

namespace vrb {

struct Mailbox {
    std::atomic<void *> head{nullptr};
    std::atomic<uint32_t> pending{0}; /* blocks posted and not yet taken */

    /* first..last linked through their first words; count blocks. */
    void Post(void *first, void *last, uint32_t count) {
        pending.fetch_add(count, std::memory_order_relaxed);
        void *old = head.load(std::memory_order_relaxed);
        do {
            *(void **)last = old;
        } while (!head.compare_exchange_weak(old, first, std::memory_order_release,
                                             std::memory_order_relaxed));
    }

    void *TakeAll() { return head.exchange(nullptr, std::memory_order_acquire); }
};

/* Frees a chain taken from a mailbox, checking each block's stamp (second
   word) against the tag its sender wrote; returns the number freed. */
inline uint32_t FreeChain(void *p, uint32_t *bad) {
    uint32_t n = 0;
    while (p) {
        void *next = *(void **)p;
        if (((uint32_t *)p)[1] != 0x5EEDF00Du)
            ++*bad;
        free(p);
        p = next;
        ++n;
    }
    return n;
}

} // namespace vrb

#endif
