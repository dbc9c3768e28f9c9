/*
 * os_compiler.h - the compiler hints every layer uses to lay out its paths.
 *
 * VR_FAST_PATH marks the few functions a malloc or free that hits the
 * thread's cache runs through (see heap/front/front.h for the path and what
 * it costs): always inlined, so a hit is one straight line of code in each
 * entry point. VR_SLOW_PATH marks what a miss calls: never inlined and laid
 * out aside, so it costs the fast path no registers and no jump.
 * VR_LIKELY and VR_UNLIKELY say which way a test goes on the fast path.
 */
#ifndef VR_OS_COMPILER_H
#define VR_OS_COMPILER_H

#define VR_LIKELY(c) __builtin_expect(!!(c), 1)
#define VR_UNLIKELY(c) __builtin_expect(!!(c), 0)
#define VR_FAST_PATH inline __attribute__((always_inline))
#define VR_SLOW_PATH __attribute__((noinline, cold))

#endif
