/*
 * os_output.h - the library's voice: the one message it shows, the output
 * of its statistics and address-space map, and the environment that asks
 * for them.
 *
 * Usable at any point of the process's life (also after the runtime has
 * begun to shut down): nothing here allocates from the runtime or takes a
 * lock of the library's.
 */
#ifndef VR_OS_OUTPUT_H
#define VR_OS_OUTPUT_H

#include <stdint.h>

#include "vorrel.h"

namespace vr_os {

/* Shows the library's one message (message box, or standard error). */
void ShowMessage(const char *text, const char *caption, uint32_t style);

/* The environment variable's value copied into buf (terminated); its
   length, or -1 when it is not set or does not fit. */
int ReadEnvironment(const char *name, char *buf, uint32_t size);
/* Creates or truncates a file for writing; -1 when that fails. */
intptr_t CreateOutputFile(const char *path);
/* Writes all of text; 1 on success. kStandardError is standard error. */
int WriteOutput(intptr_t file, const char *text, uint32_t length);
void CloseOutput(intptr_t file);
const intptr_t kStandardError = -2;
/* Writes a terminated string to standard error. */
inline void WriteStandardError(const char *text)
{
    uint32_t n = 0;
    while (text[n]) n++;
    WriteOutput(kStandardError, text, n);
}
/* Hands text to an attached debugger where the system has one. */
void WriteDebugger(const char *text);

/* The path of the program the process runs, terminated, in buf; "" when
   it cannot be had. */
void ProgramPath(char *buf, uint32_t size);

/* Calls report(cause) once when the process is about to die of a fault or
   a fatal signal that nothing else of the process handles (cause names it,
   "segmentation fault (signal 11)"), then lets it die as it would have.
   report runs on the failing thread, in a signal handler or an exception
   filter: it must not allocate nor wait for a lock for good. Signals the
   process already handles or ignores are left to it. */
void WatchFatal(void (*report)(const char *cause));

} // namespace vr_os

extern "C" {
/* Replaces the message display (null restores it); for tests. */
void VR_SetMessageSink(void (*sink)(const char *text, const char *caption, uint32_t style));
}

#endif
