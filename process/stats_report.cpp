/*
 * stats_report.cpp - the readable statistics report and the address-space
 * snapshot, on request and at exit.
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

#include "os_lock.h"
#include "os_output.h"
#include "process_internal.h"
#include "space.h"
#include "stats.h"
#include "symbols.h"

namespace {

const unsigned long kMaxReportHeaps = 64;

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

const char *const kSpaceNames[VR_SPACE_KINDS] = {
    "small page sets", "big page sets", "direct blocks", "virtual blocks", "one-size page sets",
    "library tables, reserve"};

/* The figures a report is made from, too big for a thread's stack; one
   report at a time (an all-zero lock is a free one). */
VR_Stats s_reportStats;
VR_HeapStats s_reportHeaps[kMaxReportHeaps];
VR_LockStorage s_reportLock;

unsigned long FormatLocked(char *buf, unsigned long size, int atExit);

unsigned long FormatAt(char *buf, unsigned long size, int atExit)
{
    int locked = 1;
    if (atExit) {
        locked = 0;
        for (uint32_t i = 0; i < 4000000 && !locked; i++) {
            locked = vr_os::LockTryEnter(&s_reportLock);
            if (!locked) __builtin_ia32_pause();
        }
    } else {
        vr_os::LockEnter(&s_reportLock);
    }
    unsigned long n = FormatLocked(buf, size, atExit);
    if (locked) vr_os::LockLeave(&s_reportLock);
    return n;
}

unsigned long FormatLocked(char *buf, unsigned long size, int atExit)
{
    VR_Text t = {buf, size, 0};
    unsigned long n = GetStatsAt(&s_reportStats, s_reportHeaps, kMaxReportHeaps, atExit);
    const VR_Stats &s = s_reportStats;
    t.Str("Vorrel statistics\n");
    t.Str("address space held by the library   reservations    reserved   committed  peak committed\n");
    for (int k = 0; k < VR_SPACE_KINDS; k++) {
        const VR_SpaceStats &sp = s.space[k];
        t.Str("  ");
        t.Str(kSpaceNames[k]);
        t.Pad(36);
        t.Num(sp.reservations, 12);
        t.Bytes(sp.reservedBytes, 12);
        t.Bytes(sp.committedBytes, 12);
        t.Bytes(sp.peakCommittedBytes, 16);
        t.Put('\n');
    }
    t.Str("  total");
    t.Pad(48);
    t.Bytes(s.reservedBytes, 12);
    t.Bytes(s.committedBytes, 12);
    t.Bytes(s.peakCommittedBytes, 16);
    t.Put('\n');

    t.Str("heaps: ");
    t.Num(s.heapCount);
    t.Str(" live\n");
    t.Str("  heap                     blocks    in use      peak   waiting  page sets  free in them  big sets  free in them  direct\n");
    for (unsigned long i = 0; i < n; i++) {
        const VR_HeapStats &h = s_reportHeaps[i];
        t.Str("  ");
        if (h.name) {
            t.Str(h.name);
        } else {
            t.Str(h.oneSize ? "one-size " : "heap ");
            t.Hex((unsigned long)(uintptr_t)h.heap);
        }
        t.Pad(24);
        t.Num(h.blocksInUse, 9);
        t.Bytes(h.bytesInUse, 10);
        t.Bytes(h.peakBytesInUse, 10);
        t.Bytes(h.cachedBytes, 10);
        t.Num(h.pageSets, 11);
        t.Bytes(h.pageSetFreeBytes, 14);
        t.Num(h.bigPageSets, 10);
        t.Bytes(h.bigFreeBytes, 14);
        t.Num(h.directBlocks, 8);
        t.Put('\n');
    }
    if (s.heapCount > n) {
        t.Str("  (");
        t.Num(s.heapCount - n);
        t.Str(" more heaps not shown)\n");
    }
    t.Str("small blocks in use by class (all heaps shown):");
    int any = 0;
    for (int k = 0, col = 0; k < 52; k++) {
        if (!s.classBlocks[k]) continue;
        if (col++ % 6 == 0) t.Str("\n ");
        t.Num(s.classSize[k], 6);
        t.Str(" B x");
        t.Num(s.classBlocks[k], 8);
        any = 1;
    }
    if (!any) t.Str(" none");
    t.Put('\n');
    t.End();
    return t.length;
}

/* The one snapshot buffer: a region code per 64 KB. */
uint8_t s_codes[65536];

/* How a snapshot takes the process lock. */
enum VR_MapLock {
    kMapLock = 0,    /* waits for it */
    kMapAtExit = 1,  /* tries a while: it may be held by a thread that is gone */
    kMapNoLock = 2   /* does without: the committing thread may hold it */
};

int WriteMapAt(const char *path, int how)
{
    intptr_t f = vr_os::CreateOutputFile(path);
    if (f == -1) return 0;
    uint32_t freeFirst, freeCount;
    int atExit = how == kMapAtExit;
    int locked = 1;
    if (atExit) {
        locked = 0;
        for (uint32_t i = 0; i < 4000000 && !locked; i++) {
            locked = ProcessLockTryEnter();
            if (!locked) __builtin_ia32_pause();
        }
    }
    SpaceMap(s_codes, &freeFirst, &freeCount, how == kMapLock ? 1 : 0);
    if (atExit && locked) ProcessLockLeave();

    char head[1024];
    VR_Text t = {head, sizeof head, 0};
    t.Str("# vorrel address-space map: 65536 regions of 64 KB, 256 per line, lowest address first\n");
    t.Str("# codes: 0 free, 1 reserved, 2 committed, 3 unavailable, 4 small page sets, 5 big page sets,\n");
    t.Str("#        6 direct blocks, 7 virtual blocks, 8 one-size page sets, 9 library tables\n");
    t.Str("# largest-free ");
    t.Hex((unsigned long)freeFirst << 16);
    t.Put(' ');
    t.Num(freeCount);
    t.Put('\n');
    uint32_t counts[kRegionCodes] = {0};
    for (uint32_t r = 0; r < 65536; r++) counts[s_codes[r] < kRegionCodes ? s_codes[r] : 0]++;
    t.Str("# regions");
    for (int c = 0; c < kRegionCodes; c++) {
        t.Put(' ');
        t.Num(counts[c]);
    }
    t.Put('\n');
    int ok = t.length < sizeof head && vr_os::WriteOutput(f, head, (uint32_t)t.length);
    char row[256 * 2];
    for (uint32_t y = 0; y < 256 && ok; y++) {
        for (uint32_t x = 0; x < 256; x++) {
            row[2 * x] = (char)('0' + s_codes[y * 256 + x]);
            row[2 * x + 1] = x == 255 ? '\n' : ' ';
        }
        ok = vr_os::WriteOutput(f, row, sizeof row);
    }
    vr_os::CloseOutput(f);
    return ok;
}

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

void WritePeakMapAt(uint32_t committed, int how)
{
    char own[1100];
    const char *path = ReportPath(s_mapTarget, own, sizeof own);
    VR_Text t = {s_peakPath, sizeof s_peakPath, 0};
    t.Str(path);
    t.Str(".peak");
    t.End();
    if (t.length >= sizeof s_peakPath || !WriteMapAt(s_peakPath, how)) return;
    s_peakWritten = committed;
}

void WritePeakMap(uint32_t committed)
{
    WritePeakMapAt(committed, kMapNoLock);
}

/* Big enough for a report with every heap shown. */
char s_reportText[16384];
char s_pathText[1100];

void ReportAtExit()
{
    if (s_statsTarget[0]) {
        unsigned long n = FormatAt(s_reportText, sizeof s_reportText, 1);
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
        if (!WriteMapAt(path, kMapAtExit)) Complain("address-space map", path);
        uint32_t now = SpaceCommittedTotal();
        if (now >= s_peakWritten) WritePeakMapAt(now, kMapAtExit);
    }
}

struct VR_ExitReport {
    VR_ExitReport()
    {
        if (vr_os::ReadEnvironment("VORREL_STATS", s_statsTarget, sizeof s_statsTarget) < 0 ||
            strcmp(s_statsTarget, "0") == 0)
            s_statsTarget[0] = 0;
        if (vr_os::ReadEnvironment("VORREL_MAP", s_mapTarget, sizeof s_mapTarget) < 0) s_mapTarget[0] = 0;
        if (s_statsTarget[0] || s_mapTarget[0]) ClaimReports();
        if (s_mapTarget[0]) SpaceWatchPeak(WritePeakMap, kPeakFirst);
    }
    ~VR_ExitReport() { ReportAtExit(); }
};

/* Constructed after the process heaps (201, 202), so destroyed before
   them: after everything the program itself ran at exit, while the process
   heaps are still registered and whole. */
VR_ExitReport s_exitReport __attribute__((init_priority(203)));

} // namespace

VR_API unsigned long VR_FormatStats(char *buf, unsigned long size)
{
    char dummy[1];
    if (!buf) {
        buf = dummy;
        size = 0;
    }
    return FormatAt(buf, size, 0);
}

VR_API int VR_WriteAddressSpaceMap(const char *path)
{
    return path && path[0] ? WriteMapAt(path, 0) : 0;
}
