/*
 * output_posix.cpp - what the statistics and the address-space map need
 * from a POSIX system: the environment, files and standard error through
 * plain system calls (nothing here allocates), and the process's mappings
 * read from /proc/self/maps.
 */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "os_memory.h"
#include "os_output.h"

namespace vr_os {

namespace {

uint64_t ParseHex(const char *&p, const char *end)
{
    uint64_t v = 0;
    for (; p < end; p++) {
        char c = *p;
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) break;
        v = v * 16 + (uint64_t)d;
    }
    return v;
}

/* One line of the maps file: "start-end perms ...". */
void MarkMapping(uint8_t *states, const char *line, const char *end)
{
    const char *p = line;
    uint64_t start = ParseHex(p, end);
    if (p >= end || *p != '-') return;
    p++;
    uint64_t stop = ParseHex(p, end);
    if (p + 4 >= end || *p != ' ') return;
    p++;
    /* Pages mapped without access are address space held in reserve. */
    uint8_t code = (p[0] == '-' && p[1] == '-' && p[2] == '-') ? 1 : 2;
    for (uint64_t r = start >> 16; r < 65536 && (r << 16) < stop; r++)
        if (states[r] < code) states[r] = code;
}

} // namespace

void QueryAddressSpace(uint8_t *states)
{
    memset(states, 0, 65536);
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    static char buf[4096];
    uint32_t have = 0;
    int skipping = 0;   /* inside the rest of a line already handled */
    for (;;) {
        ssize_t n = read(fd, buf + have, sizeof buf - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += (uint32_t)n;
        uint32_t from = 0;
        for (uint32_t i = 0; i < have; i++) {
            if (buf[i] != '\n') continue;
            if (!skipping) MarkMapping(states, buf + from, buf + i);
            skipping = 0;
            from = i + 1;
        }
        /* Keep the unfinished line; a line longer than the buffer (a very
           long path) is cut, which keeps its addresses. */
        if (from == 0 && have == sizeof buf) {
            if (!skipping) MarkMapping(states, buf, buf + have);
            skipping = 1;
            have = 0;
            continue;
        }
        memmove(buf, buf + from, have - from);
        have -= from;
    }
    if (have && !skipping) MarkMapping(states, buf, buf + have);
    close(fd);
}

int ReadEnvironment(const char *name, char *buf, uint32_t size)
{
    /* getenv reads the environment in place and allocates nothing. */
    const char *v = getenv(name);
    if (!v) return -1;
    size_t n = strlen(v);
    if (n >= size) return -1;
    memcpy(buf, v, n + 1);
    return (int)n;
}

intptr_t CreateOutputFile(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd < 0 ? -1 : (intptr_t)fd;
}

int WriteOutput(intptr_t file, const char *text, uint32_t length)
{
    int fd = file == kStandardError ? 2 : (int)file;
    while (length) {
        ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        text += n;
        length -= (uint32_t)n;
    }
    return 1;
}

void CloseOutput(intptr_t file)
{
    if (file != kStandardError && file >= 0) close((int)file);
}

void WriteDebugger(const char *)
{
}

namespace {

struct VR_FatalSignal {
    int number;
    const char *cause;
};
const VR_FatalSignal kFatalSignals[] = {
    {SIGSEGV, "segmentation fault (signal 11)"}, {SIGBUS, "bus error (signal 7)"},
    {SIGILL, "illegal instruction (signal 4)"},  {SIGFPE, "arithmetic exception (signal 8)"},
    {SIGABRT, "abort (signal 6)"},              {SIGTERM, "termination request (signal 15)"},
    {SIGINT, "interrupt (signal 2)"},           {SIGHUP, "hangup (signal 1)"},
    {SIGQUIT, "quit (signal 3)"},
};

void (*s_fatalReport)(const char *cause);
int s_fatalReported;
/* A stack of its own for the handler, so that a stack overflow of the
   thread that watches (the one that loaded the library) is reported too. */
char s_fatalStack[65536];

void FatalSignal(int number)
{
    if (!__atomic_exchange_n(&s_fatalReported, 1, __ATOMIC_ACQ_REL)) {
        for (const VR_FatalSignal &f : kFatalSignals)
            if (f.number == number) s_fatalReport(f.cause);
    }
    /* The action is back to the default (SA_RESETHAND) and the signal is
       not blocked in here (SA_NODEFER): it ends the process now, as it
       would have without the watch. */
    raise(number);
}

} // namespace

void ProgramPath(char *buf, uint32_t size)
{
    if (!size) return;
    ssize_t n = readlink("/proc/self/exe", buf, size - 1);
    buf[n > 0 ? n : 0] = 0;
}

void WatchFatal(void (*report)(const char *cause))
{
    s_fatalReport = report;
    stack_t alt;
    alt.ss_sp = s_fatalStack;
    alt.ss_size = sizeof s_fatalStack;
    alt.ss_flags = 0;
    stack_t old;
    int altStack = sigaltstack(0, &old) == 0 && (old.ss_flags & SS_DISABLE) && sigaltstack(&alt, 0) == 0;
    for (const VR_FatalSignal &f : kFatalSignals) {
        struct sigaction now;
        if (sigaction(f.number, 0, &now) != 0 || now.sa_handler != SIG_DFL || (now.sa_flags & SA_SIGINFO)) continue;
        struct sigaction act;
        memset(&act, 0, sizeof act);
        act.sa_handler = FatalSignal;
        sigemptyset(&act.sa_mask);
        act.sa_flags = SA_RESETHAND | SA_NODEFER | (altStack ? SA_ONSTACK : 0);
        sigaction(f.number, &act, 0);
    }
}

} // namespace vr_os
