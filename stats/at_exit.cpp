/*
 * at_exit.cpp - the report and the snapshot the environment asks for.
 *
 * VORREL_STATS=1 prints the report to standard error when the process
 * exits (and hands it to the debugger where there is one); any other value
 * but 0 is a file to write it to. VORREL_MAP=path writes the snapshot of
 * the address space there at exit. Both are read once, while the library
 * starts, into static buffers. The report is made when the library's
 * static objects are destroyed, after the program's own exit work, so it
 * shows what the process still held at the very end; it uses no runtime
 * function, since the runtime may be shutting down around it.
 *
 * With VORREL_MAP, FILE.peak is a second snapshot, taken at the peak of
 * committed memory (see WritePeakMap below).
 *
 * The files belong to the process that first loaded the library with them
 * set (it notes its id in VORREL_REPORT_OWNER, which the programs it starts
 * inherit). Any other process that inherits the variables, a child that
 * loads the library itself or a forked copy, writes FILE.<its id> instead,
 * and labels its report on standard error with its id, so no process
 * overwrites or passes for another.
 */
#include <string.h>

#include "os_output.h"
#include "space.h"
#include "stats_internal.h"
#include "symbols.h"

namespace vr_stats {
namespace {

/* What the environment asked for, read once while the library starts. */
char s_statsTarget[1024];   /* "" none, "1" standard error, else a path */
char s_mapTarget[1024];

void Complain(const char *what, const char *path)
{
    char line[1200];
    VR_Text t = {line, sizeof line, 0};
    t.Str("vorrel: cannot write the ");
    t.Str(what);
    t.Str(" to ");
    t.Str(path);
    t.Put('\n');
    t.End();
    vr_os::WriteOutput(vr_os::kStandardError, line, (uint32_t)strlen(line));
}

/* The process that owns the report files (see above), 0 when none does. */
uint32_t s_reportOwner;

void ClaimReports()
{
    char owner[16];
    uint32_t id = 0;
    if (vr_os::ReadEnvironment("VORREL_REPORT_OWNER", owner, sizeof owner) > 0)
        for (const char *c = owner; *c >= '0' && *c <= '9'; c++) id = id * 10 + (uint32_t)(*c - '0');
    if (id) {
        s_reportOwner = id;
        return;
    }
    s_reportOwner = vr_os::ProcessId();
    VR_Text t = {owner, sizeof owner, 0};
    t.Num(s_reportOwner);
    t.End();
    vr_os::SetEnvironment("VORREL_REPORT_OWNER", owner);
}

/* path, or path.<id> for a process that does not own the reports. */
const char *ReportPath(const char *path, char *buf, unsigned long size)
{
    uint32_t me = vr_os::ProcessId();
    if (me == s_reportOwner) return path;
    VR_Text t = {buf, size, 0};
    t.Str(path);
    t.Put('.');
    t.Num(me);
    t.End();
    return buf;
}

/* The snapshot at the peak of committed memory, FILE.peak beside FILE:
   written from the page services' watch (SpaceWatchPeak) when the
   committed total first passes kPeakFirst and each time it has grown a
   sixteenth past the last one, so at most about 150 times in a run, never
   on an allocation that commits nothing; and at exit when the total then is
   the highest seen. The region marks are read without the process lock,
   which the committing thread may hold; a region that changes meanwhile
   shows either way. */
const uint32_t kPeakFirst = 0x100000;
char s_peakPath[1200];
uint32_t s_peakWritten;  /* the committed total of the last one, 0 for none */

void WritePeakMapAt(uint32_t committed, int how, const char *moment = "peak", const char *died = 0)
{
    char own[1100];
    const char *path = ReportPath(s_mapTarget, own, sizeof own);
    VR_Text t = {s_peakPath, sizeof s_peakPath, 0};
    t.Str(path);
    t.Str(".peak");
    t.End();
    if (t.length >= sizeof s_peakPath || !WriteMapAt(s_peakPath, how, moment, died)) return;
    s_peakWritten = committed;
}

void WritePeakMap(uint32_t committed)
{
    WritePeakMapAt(committed, kMapNoLock);
}

/* Big enough for a report with every heap shown. */
char s_reportText[16384];
char s_pathText[1100];

/* died: what the program died of, or null at an ordinary exit. */
void ReportAtExit(const char *died)
{
    if (s_statsTarget[0]) {
        unsigned long n = 0;
        if (died) {
            VR_Text t = {s_reportText, sizeof s_reportText, 0};
            t.Str("Vorrel: the program died: ");
            t.Str(died);
            t.Str("; the figures are those of that moment\n");
            n = t.length;
        }
        n += FormatAt(s_reportText + n, sizeof s_reportText - n, 1);
        if (n >= sizeof s_reportText) n = sizeof s_reportText - 1;
        if (strcmp(s_statsTarget, "1") == 0) {
            if (vr_os::ProcessId() != s_reportOwner) {
                char label[64];
                VR_Text t = {label, sizeof label, 0};
                t.Str("Vorrel statistics of process ");
                t.Num(vr_os::ProcessId());
                t.Put('\n');
                t.End();
                vr_os::WriteOutput(vr_os::kStandardError, label, (uint32_t)strlen(label));
            }
            vr_os::WriteOutput(vr_os::kStandardError, s_reportText, (uint32_t)n);
            vr_os::WriteDebugger(s_reportText);
        } else {
            const char *path = ReportPath(s_statsTarget, s_pathText, sizeof s_pathText);
            intptr_t f = vr_os::CreateOutputFile(path);
            int ok = f != -1 && vr_os::WriteOutput(f, s_reportText, (uint32_t)n);
            if (f != -1) vr_os::CloseOutput(f);
            if (!ok) Complain("statistics", path);
        }
    }
    if (s_mapTarget[0]) {
        /* No more snapshots at the peak from here; the one at exit is also
           the peak's when nothing higher was seen. */
        SpaceWatchPeak(0, 0);
        const char *path = ReportPath(s_mapTarget, s_pathText, sizeof s_pathText);
        if (!WriteMapAt(path, kMapAtExit, died ? "died" : "exit", died)) Complain("address-space map", path);
        uint32_t now = SpaceCommittedTotal();
        if (now >= s_peakWritten) WritePeakMapAt(now, kMapAtExit, died ? "peak (when it died)" : "peak (at exit)", died);
    }
}

/* Once: at the exit, or when the program dies first. */
int s_reported;

void ReportOnce(const char *died)
{
    if (__atomic_exchange_n(&s_reported, 1, __ATOMIC_ACQ_REL)) return;
    ReportAtExit(died);
}

void ReportDeath(const char *cause)
{
    ReportOnce(cause);
}

/* What a variable's value asks for: 1 on, 0 off, -1 neither (a path). */
int Switch(const char *v)
{
    const char *on[] = {"1", "yes", "true", "on", "stderr"}, *off[] = {"0", "no", "false", "off", ""};
    for (const char *w : on)
        if (strcmp(v, w) == 0) return 1;
    for (const char *w : off)
        if (strcmp(v, w) == 0) return 0;
    return -1;
}

/* Reads VORREL_STATS (1, yes, true, on or stderr: standard error; 0, no,
   false, off: none; anything else is a file, so "./yes" writes a file of
   that name) and VORREL_MAP (a file; a switch's value names none, and is
   refused with a message). */
void ReadTargets()
{
    if (vr_os::ReadEnvironment("VORREL_STATS", s_statsTarget, sizeof s_statsTarget) < 0) s_statsTarget[0] = 0;
    int stats = Switch(s_statsTarget);
    if (stats == 0) s_statsTarget[0] = 0;
    if (stats == 1) strcpy(s_statsTarget, "1");
    if (vr_os::ReadEnvironment("VORREL_MAP", s_mapTarget, sizeof s_mapTarget) < 0) s_mapTarget[0] = 0;
    if (s_mapTarget[0] && Switch(s_mapTarget) >= 0) {
        char line[1200];
        VR_Text t = {line, sizeof line, 0};
        t.Str("vorrel: VORREL_MAP=");
        t.Str(s_mapTarget);
        t.Str(" names no file; no address-space snapshot is written (VORREL_MAP=FILE)\n");
        t.End();
        vr_os::WriteStandardError(line);
        s_mapTarget[0] = 0;
    }
}

struct VR_ExitReport {
    VR_ExitReport()
    {
        ReadTargets();
        if (s_statsTarget[0] || s_mapTarget[0]) {
            ClaimReports();
            /* A program that dies of a fault or a signal never reaches
               the exit: the report is written when it dies. */
            vr_os::WatchFatal(ReportDeath);
        }
        if (s_mapTarget[0]) SpaceWatchPeak(WritePeakMap, kPeakFirst);
    }
    ~VR_ExitReport() { ReportOnce(0); }
};

/* Constructed after the process heaps (201, 202), so destroyed before
   them: after everything the program itself ran at exit, while the process
   heaps are still registered and whole. */
VR_ExitReport s_exitReport __attribute__((init_priority(203)));

} // namespace
} // namespace vr_stats
