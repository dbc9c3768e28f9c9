/*
 * report.cpp - the readable statistics report: a table of the address space
 * the library holds by kind, one line per heap, the small blocks in use by
 * class. Made from VR_GetStats's figures into a caller's buffer, with no
 * allocation (it also runs at exit).
 */
#include <string.h>

#include "front/front.h"
#include "os_lock.h"
#include "stats_internal.h"

namespace vr_stats {
namespace {

const unsigned long kMaxReportHeaps = 64;

const char *const kSpaceNames[VR_SPACE_KINDS] = {
    "small page sets", "big page sets", "direct blocks", "virtual blocks", "one-size page sets",
    "library tables, reserve"};

/* The figures a report is made from, too big for a thread's stack; one
   report at a time (an all-zero lock is a free one). */
VR_Stats s_reportStats;
VR_HeapStats s_reportHeaps[kMaxReportHeaps];
VR_LockStorage s_reportLock;

unsigned long FormatLocked(char *buf, unsigned long size, int atExit);

} // namespace

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

namespace {

unsigned long FormatLocked(char *buf, unsigned long size, int atExit)
{
    VR_Text t = {buf, size, 0};
    unsigned long n = vr_front::GetStats(&s_reportStats, s_reportHeaps, kMaxReportHeaps, atExit);
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

} // namespace
} // namespace vr_stats

VR_API unsigned long VR_FormatStats(char *buf, unsigned long size)
{
    char dummy[1];
    if (!buf) {
        buf = dummy;
        size = 0;
    }
    return vr_stats::FormatAt(buf, size, 0);
}

