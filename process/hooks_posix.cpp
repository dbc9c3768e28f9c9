/*
 * hooks_posix.cpp - the entries the C library has beyond the seven that
 * every runtime's interception covers: none of the Windows runtimes' own
 * (aligned family, _expand, _recalloc, array new and delete) exists here.
 */
#include "process_internal.h"

void FindTargetEntries() {}

int PatchTargetEntries()
{
    return 0;
}
