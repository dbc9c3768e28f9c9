/*
 * attack.h - what the attack programs share. Each program plays a program
 * that misuses the library on purpose (a double free, a stray pointer, a
 * write through a freed pointer) and that knows the library's layouts; it
 * sees only the public header, as any program would, and exits 0 when the
 * library held: no allocation outside its own blocks, no block handed to
 * two live callers, no crash.
 */
#ifndef VR_ATTACK_H
#define VR_ATTACK_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "vorrel.h"

#define ATTACK_CHECK(cond, ...)                                                \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "HELD NOT %s:%d: %s: ", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                                      \
            fprintf(stderr, "\n");                                             \
            fflush(stderr);                                                    \
            _Exit(1);                                                          \
        }                                                                      \
    } while (0)

/* How many of n blocks of size bytes each, at the addresses in p, overlap
   another of them (p is sorted in place). */
inline uint32_t AttackOverlaps(void **p, uint32_t n, uint32_t size)
{
    std::sort(p, p + n);
    uint32_t overlaps = 0;
    for (uint32_t i = 1; i < n; i++)
        if ((uintptr_t)p[i] < (uintptr_t)p[i - 1] + size) overlaps++;
    return overlaps;
}

/* Two threads released at once, as close together as a spin on one flag
   gets them: what racing frees need. */
struct AttackStart {
    std::atomic<int> ready{0};
    std::atomic<int> go{0};
    void Wait(int of)
    {
        ready.fetch_add(1);
        while (!go.load(std::memory_order_acquire)) {
            if (ready.load() == of) go.store(1, std::memory_order_release);
        }
    }
};

#endif
