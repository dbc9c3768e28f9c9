/*
 * os_runtime.h - the C runtimes the library serves, and what it takes to
 * patch them: their allocation entries, writable code, their standard new
 * handler, the lifetime of the library's own module, and a guard that
 * keeps an exception escaping a replacement from unwinding into a caller
 * that cannot expect one.
 *
 * Lookups ask the system for the module and are slow: they run while the
 * hooks are installed, not on any allocation path. Nothing here allocates
 * from the runtime.
 */
#ifndef VR_OS_RUNTIME_H
#define VR_OS_RUNTIME_H

#include <stdint.h>

namespace vr_os {

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

/* The page size read afresh from the system (not the library's cache), for
   the code pages a patch spans. */
uint32_t SystemPageSize();

/* Makes [first, first + length) writable and executable; 1 on success. */
int MakeCodeWritable(void *first, uint32_t length);

/* Runs the runtime's standard new handler with the given size, when one is
   installed. Returns 0 when there is none; otherwise 1, with *result set to
   the handler's answer (1 for handlers that return nothing). */
int RunStandardNewHandler(uint32_t size, int *result);

/* Runs fn(context) under a catch-all guard: returns 1 with *result set to
   fn's answer, or 0 with *result null when an exception escaped fn, be it a
   thrown C++ exception or, where the system has them, a structured exception
   such as an access violation. Nothing is cleaned up for the aborted call.
   Where only thrown exceptions exist the guard is a plain try/catch, inline,
   so that a constant fn is inlined into its caller. */
#if defined(_WIN32)
int CallGuarded(void *(*fn)(void *context), void *context, void **result);
#else
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

#endif
