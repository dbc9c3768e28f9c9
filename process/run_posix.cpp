/*
 * run_posix.cpp - the library's half of vorrel-run on Linux. vorrel-run
 * puts the library into LD_PRELOAD and names it in VORREL_RUN_PRELOAD; at
 * load the library takes itself out of LD_PRELOAD again, so that programs
 * the program starts run with their usual allocator. The environment is
 * edited in place (the value only gets shorter) and unsetenv never
 * allocates, so nothing here reaches a heap.
 */
#include <stdlib.h>
#include <string.h>

extern char **environ;

namespace {

struct VR_RunPreloadCleanup {
    VR_RunPreloadCleanup()
    {
        const char *library = getenv("VORREL_RUN_PRELOAD");
        if (!library) return;
        size_t n = strlen(library);
        for (char **e = environ; e && *e; e++) {
            if (strncmp(*e, "LD_PRELOAD=", 11) != 0) continue;
            char *value = *e + 11;
            if (strncmp(value, library, n) == 0) {
                if (value[n] == 0) unsetenv("LD_PRELOAD");
                else if (value[n] == ':') memmove(value, value + n + 1, strlen(value + n + 1) + 1);
            }
            break;
        }
        unsetenv("VORREL_RUN_PRELOAD");
    }
};

VR_RunPreloadCleanup s_runPreloadCleanup __attribute__((init_priority(204)));

} // namespace
