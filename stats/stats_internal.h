/*
 * stats_internal.h - the statistics room: the readable report of the
 * library's statistics and the snapshot of the address space, on request
 * (VR_FormatStats, VR_WriteAddressSpaceMap) and at exit (VORREL_STATS,
 * VORREL_MAP).
 *
 * What it owns: the report's and the snapshot's text formats, the files
 * they go to and which process writes them, the moment they are made.
 * What it may call: the heap's statistics walk (heap/stats.h), the page
 * services' space map and committed-memory watch (pages/space.h,
 * pages/system.h) and the platform's output, environment, process id
 * and lock (platform/os_output.h, symbols.h, os_lock.h). It never
 * allocates and never calls the runtime: a report at exit runs while the
 * runtime shuts down. Nothing of the library below calls into this room;
 * the process layer does not either.
 */
#ifndef VR_STATS_INTERNAL_H
#define VR_STATS_INTERNAL_H

#include <stdint.h>

#include "vorrel.h"

namespace vr_stats {

/* Appends to a fixed buffer, counting what would not fit. */
struct VR_Text {
    char *buf;
    unsigned long size;
    unsigned long length;

    void Put(char c)
    {
        if (length + 1 < size) buf[length] = c;
        length++;
    }
    void Str(const char *s)
    {
        while (*s) Put(*s++);
    }
    /* Right-aligned in width columns. */
    void Num(unsigned long v, int width = 0)
    {
        char d[16];
        int n = 0;
        do {
            d[n++] = (char)('0' + v % 10);
            v /= 10;
        } while (v);
        for (int i = n; i < width; i++) Put(' ');
        while (n) Put(d[--n]);
    }
    void Hex(unsigned long v)
    {
        Str("0x");
        for (int shift = 28; shift >= 0; shift -= 4) Put("0123456789abcdef"[(v >> shift) & 15]);
    }
    /* A byte count with a unit, width columns wide. */
    void Bytes(unsigned long v, int width = 0)
    {
        char t[24];
        VR_Text s = {t, sizeof t, 0};
        if (v < 10240) {
            s.Num(v);
            s.Str(" B");
        } else if (v < 10485760) {
            s.Num(v / 1024);
            s.Str(" KB");
        } else {
            s.Num(v / 1048576);
            s.Put('.');
            s.Num(v % 1048576 * 10 / 1048576);
            s.Str(" MB");
        }
        t[s.length < sizeof t ? s.length : sizeof t - 1] = 0;
        for (int i = (int)s.length; i < width; i++) Put(' ');
        Str(t);
    }
    void Pad(unsigned long column)
    {
        unsigned long lineStart = length;
        while (lineStart && (lineStart > size || buf[lineStart - 1] != '\n')) lineStart--;
        while (length - lineStart < column) Put(' ');
    }
    void End()
    {
        if (size) buf[length < size ? length : size - 1] = 0;
    }
};


/* The report into buf (see VR_FormatStats); with atExit, its lock and the
   heaps' are only tried for a while (a thread that held one may be gone). */
unsigned long FormatAt(char *buf, unsigned long size, int atExit);

/* How a snapshot takes the process lock. */
enum VR_MapLock {
    kMapLock = 0,    /* waits for it */
    kMapAtExit = 1,  /* tries a while: it may be held by a thread that is gone */
    kMapNoLock = 2   /* does without: the committing thread may hold it */
};

/* Writes the snapshot of the address space to path; 1 on success. Its
   header names the program, the moment ("request", "exit", "peak"), the
   library's totals and, when died is not null, what the program died of. */
int WriteMapAt(const char *path, int how, const char *moment, const char *died = 0);

} // namespace vr_stats

#endif
