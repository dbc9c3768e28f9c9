/*
 * errno_win32.cpp - a failed malloc, calloc or realloc sets the runtime's
 * errno to ENOMEM, as msvcrt does: for sizes no heap can serve, for a
 * calloc whose size overflows, and when memory runs out (every reservation
 * refused). Requests that succeed, empty ones and realloc to nothing leave
 * errno as it was.
 */
#include <errno.h>
#include <stdlib.h>

#include "hook_common.h"
#include "os_memory.h"

int main()
{
    Runtime rt;
    CHECK(rt.malloc && rt.calloc && rt.realloc);

    errno = 0;
    CHECK(rt.malloc(0xFFFFFFF0u) == 0 && errno == ENOMEM);
    errno = 0;
    CHECK(rt.calloc(0x10000, 0x10001) == 0 && errno == ENOMEM);
    errno = 0;
    CHECK(rt.calloc(1, 0xFFFFFFF0u) == 0 && errno == ENOMEM);
    char *keep = (char *)rt.malloc(10);
    strcpy(keep, "kept");
    errno = 0;
    CHECK(rt.realloc(keep, 0xFFFFFFF0u) == 0 && errno == ENOMEM);
    CHECK(strcmp(keep, "kept") == 0);

    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFFu);
    errno = 0;
    CHECK(rt.malloc(5u << 20) == 0 && errno == ENOMEM);
    errno = 0;
    CHECK(rt.calloc(5u << 10, 1u << 10) == 0 && errno == ENOMEM);
    errno = 0;
    CHECK(rt.realloc(keep, 6u << 20) == 0 && errno == ENOMEM);
    VR_SetFault(vr_os::kFaultReserve, 0, 0);

    errno = 1234;
    void *a = rt.malloc(100), *b = rt.calloc(3, 40);
    keep = (char *)rt.realloc(keep, 5000);
    CHECK(a && b && keep && strcmp(keep, "kept") == 0);
    rt.malloc(0);
    CHECK(rt.realloc(b, 0) == 0);
    CHECK(errno == 1234);
    rt.free(a);
    rt.free(keep);
    CHECK(DefaultHeap.Validate() == 0);
    return Finish("errno_win32");
}
