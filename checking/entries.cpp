/*
 * entries.cpp - how a process enters the checking mode: VORREL_CHECK
 * in the environment when the library loads (any value but empty or "0";
 * "pages" for the page mode).
 * The mode is chosen before the runtime's entries are patched, and the
 * patching then writes jumps to the checking entries (entries_<target>
 * .cpp), through the process room's entry redirect instead of the usual ones; nothing of the usual paths tests the
 * mode. At exit every block is checked and the leaks are reported.
 */
#include <string.h>

#include "checking.h"
#include "os_output.h"
#include "process_internal.h"
#include "registry.h"
#include "symbols.h"

int s_checkMode;
int s_checkPages;

/* The target's entries: which runtime entries it replaces and by what
   (filled by FindCheckEntries), and what it patches beyond the usual
   tables (PatchCheckExtras). */
void FindCheckEntries();
void PatchCheckExtras();

namespace {

struct VR_CheckEntry {
    const uint8_t *entry;
    const void *replacement;
};
const int kMaxCheckEntries = 320;
VR_CheckEntry s_checkEntries[kMaxCheckEntries];
int s_checkEntryCount;

/* 0 for no checking, 1 for the blocks' guards, 2 for the page mode
   ("pages"). */
/* The checking entry that replaces the usual one written at entry, or
   replacement itself when there is none. */
const void *CheckReplacement(const uint8_t *entry, const void *replacement)
{
    for (int i = 0; i < s_checkEntryCount; i++)
        if (s_checkEntries[i].entry == entry) return s_checkEntries[i].replacement;
    return replacement;
}

int ModeRequested()
{
    char value[32];
    int n = vr_os::ReadEnvironment("VORREL_CHECK", value, sizeof value);
    if (n <= 0 || (n == 1 && value[0] == '0')) return 0;
    return strcmp(value, "pages") == 0 ? 2 : 1;
}

/* Before the hooks are installed (priority 200): the entries must be known
   when they are patched. */
struct VR_CheckStart {
    VR_CheckStart()
    {
        int mode = s_hooksInstalled ? 0 : ModeRequested();
        if (!mode) return;
        CheckOpenReport();
        vr_os::PrepareSymbols();
        CheckInitBlocks();
        if (mode == 2) s_checkPages = CheckInitPages(PageBlockBudget());
        FindCheckEntries();
        /* A fork while another thread holds one of them would leave it
           held in the child for good. */
        EnsureProcessLock();
        RegisterForkLock(CheckQuarantineLock());
        RegisterForkLock(CheckPageQuarantineLock());
        RegisterForkLock(CheckStackTableLock());
        RegisterForkLock(CheckReportLock());
        s_checkMode = 1;
        s_entryRedirect = &CheckReplacement;
    }
};
VR_CheckStart s_checkStart __attribute__((init_priority(150)));

/* After them: the entries only the mode needs. */
struct VR_CheckExtras {
    VR_CheckExtras()
    {
        if (s_checkMode) PatchCheckExtras();
    }
};
VR_CheckExtras s_checkExtras __attribute__((init_priority(201)));

/* Destroyed before the statistics report (203) and after everything of
   the program: the blocks still live then are the leaks. */
struct VR_CheckEnd {
    ~VR_CheckEnd()
    {
        if (s_checkMode) CheckAtExit();
    }
};
VR_CheckEnd s_checkEnd __attribute__((init_priority(204)));

} // namespace

void AddCheckEntry(const void *entry, const void *replacement)
{
    if (!entry || s_checkEntryCount >= kMaxCheckEntries) return;
    for (int i = 0; i < s_checkEntryCount; i++)
        if (s_checkEntries[i].entry == entry) return;   /* one entry, one jump: the first name wins */
    s_checkEntries[s_checkEntryCount].entry = (const uint8_t *)entry;
    s_checkEntries[s_checkEntryCount].replacement = replacement;
    s_checkEntryCount++;
}
