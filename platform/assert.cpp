/*
 * assert.cpp - the report of a broken invariant, the same on every system:
 * one line on standard error, written without allocating, then the end of
 * the process.
 */
#include <stdlib.h>

#include "os_assert.h"
#include "os_output.h"

void vr_os::AssertFailed(const char *what, const char *file, int line)
{
    char num[12];
    int i = sizeof num - 1;
    unsigned v = line < 0 ? 0u : (unsigned)line;
    num[i] = 0;
    do num[--i] = (char)('0' + v % 10); while ((v /= 10) && i > 0);
    WriteStandardError("Vorrel: invariant broken: ");
    WriteStandardError(what);
    WriteStandardError(" at ");
    WriteStandardError(file);
    WriteStandardError(":");
    WriteStandardError(num + i);
    WriteStandardError("\n");
    abort();
}
