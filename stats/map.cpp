/*
 * map.cpp - the snapshot of the address space: one code per 64 KB region
 * (free, held by others, unavailable, or which of the library's kinds),
 * written as text that tools/vorrel-map draws. One snapshot at a time: the
 * codes go to a static buffer (it also runs at exit and from the peak
 * watch, where nothing may allocate).
 */
#include "os_memory.h"
#include "os_output.h"
#include "space.h"
#include "stats_internal.h"
#include "system.h"

namespace vr_stats {
namespace {

/* The one snapshot buffer: a region code per 64 KB. */
uint8_t s_codes[65536];
/* What the system says of each region (kRegionReserved: nothing committed). */
uint8_t s_system[65536];

/* A library region with nothing committed is written as a letter: a to f
   for the kinds 4 to 9. */
const int kReservedOnlyShift = 6;

} // namespace

/* The program's path, read once (the snapshot at a peak may come from
   any thread, without the process lock). */
char s_program[512];

int WriteMapAt(const char *path, int how, const char *moment, const char *died)
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
    vr_os::QueryAddressSpace(s_system);
    SpaceMap(s_codes, &freeFirst, &freeCount, how == kMapLock ? 1 : 0);
    if (atExit && locked) ProcessLockLeave();

    char head[1024];
    VR_Text t = {head, sizeof head, 0};
    t.Str("# vorrel address-space map: 65536 regions of 64 KB, 256 per line, lowest address first\n");
    t.Str("# codes: 0 free, 1 reserved, 2 committed, 3 unavailable, 4 small page sets, 5 big page sets,\n");
    t.Str("#        6 direct blocks, 7 virtual blocks, 8 one-size page sets, 9 library tables;\n");
    t.Str("#        a to f: 4 to 9 with nothing committed in the region (reserved only)\n");
    if (!s_program[0]) vr_os::ProgramPath(s_program, sizeof s_program);
    t.Str("# program ");
    t.Str(s_program[0] ? s_program : "?");
    t.Str("\n# moment ");
    t.Str(moment);
    t.Put('\n');
    if (died) {
        t.Str("# program died: ");
        t.Str(died);
        t.Put('\n');
    }
    VR_SpaceStats kinds[VR_SPACE_KINDS];
    SpaceTotals(kinds);
    unsigned long reserved = 0, committed = 0;
    for (int k = 0; k < VR_SPACE_KINDS; k++) {
        reserved += kinds[k].reservedBytes;
        committed += kinds[k].committedBytes;
    }
    t.Str("# library-bytes ");
    t.Num(reserved);
    t.Put(' ');
    t.Num(committed);
    t.Str(" (reserved, committed)\n");
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
    uint32_t reservedOnly = 0;
    for (uint32_t r = 0; r < 65536; r++) reservedOnly += s_codes[r] >= kRegionLibrary && s_system[r] == kRegionReserved;
    t.Str("\n# reserved-only ");
    t.Num(reservedOnly);
    t.Str(" (regions of the library with nothing committed, counted above by kind)\n");
    int ok = t.length < sizeof head && vr_os::WriteOutput(f, head, (uint32_t)t.length);
    char row[256 * 2];
    for (uint32_t y = 0; y < 256 && ok; y++) {
        for (uint32_t x = 0; x < 256; x++) {
            uint32_t r = y * 256 + x;
            int code = s_codes[r];
            if (code >= kRegionLibrary && s_system[r] == kRegionReserved) code += kReservedOnlyShift;
            row[2 * x] = "0123456789abcdef"[code & 15];
            row[2 * x + 1] = x == 255 ? '\n' : ' ';
        }
        ok = vr_os::WriteOutput(f, row, sizeof row);
    }
    vr_os::CloseOutput(f);
    return ok;
}

} // namespace vr_stats

VR_API int VR_WriteAddressSpaceMap(const char *path)
{
    return path && path[0] ? vr_stats::WriteMapAt(path, vr_stats::kMapLock, "request") : 0;
}
