/*
 * c_api.cpp - the C interface of vorrel.h: functions with C names over the
 * C++ API, for programs written in C.
 *
 * What it owns: the C names and the translation of their arguments.
 * What it may call: the public API of vorrel.h only; the library's inner
 * headers are not in reach of this room.
 */
#include "vorrel.h"

extern "C" VR_API const char *vr_version(void)
{
    return VORREL_VERSION;
}
