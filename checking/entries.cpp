/*
 * entries.cpp - how a process enters the checking mode: VORREL_CHECK
 * in the environment when the library loads ("1" or "blocks"; "pages"
 * for the page mode; empty or "0" for none; any other value ends the
 * process with a message, so that a misspelt mode never runs unchecked).
 * VORREL_CHECK_EXITCODE (1 by default, 0 for none) is the exit status of
 * a process that reported findings and would have exited 0.
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
int s_checkExitCode = 1;

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

/* The checking entry that replaces the usual one written at entry, or
   replacement itself when there is none. */
const void *CheckReplacement(const uint8_t *entry, const void *replacement)
{
    for (int i = 0; i < s_checkEntryCount; i++)
        if (s_checkEntries[i].entry == entry) return s_checkEntries[i].replacement;
    return replacement;
}

/* A setting the mode cannot use: the process ends before the program
   starts, rather than run unchecked when checking was asked for. */
void Refuse(const char *name, const char *value, const char *allowed)
{
    char text[256];
    size_t n = 0;
    const char *parts[] = {"vorrel: ", name, "=", value, " is not understood (", allowed, ")\n"};
    for (const char *part : parts)
        for (; *part && n + 1 < sizeof text; part++) text[n++] = *part;
    vr_os::WriteOutput(vr_os::kStandardError, text, (uint32_t)n);
    CheckEndProcess(2);
}

/* 0 for no checking, 1 for the blocks' guards ("1" or "blocks"), 2 for
   the page mode ("pages"); anything else is refused. */
int ModeRequested()
{
    char value[32];
    int n = vr_os::ReadEnvironment("VORREL_CHECK", value, sizeof value);
    if (n <= 0 || strcmp(value, "0") == 0) return 0;
    if (strcmp(value, "1") == 0 || strcmp(value, "blocks") == 0) return 1;
    if (strcmp(value, "pages") == 0) return 2;
    Refuse("VORREL_CHECK", n < (int)sizeof value ? value : "(too long)", "1, blocks, pages, or 0 for none");
    return 0;
}

/* VORREL_CHECK_EXITCODE: 0 to 255. */
void ReadExitCode()
{
    char value[16];
    int n = vr_os::ReadEnvironment("VORREL_CHECK_EXITCODE", value, sizeof value);
    if (n <= 0) return;
    int code = 0;
    for (int i = 0; i < n && code <= 255; i++)
        code = value[i] >= '0' && value[i] <= '9' ? code * 10 + (value[i] - '0') : 256;
    if (n >= (int)sizeof value || code > 255) Refuse("VORREL_CHECK_EXITCODE", value, "a number from 0 to 255");
    s_checkExitCode = code;
}

/* Before the hooks are installed (priority 200): the entries must be known
   when they are patched. */
struct VR_CheckStart {
    VR_CheckStart()
    {
        int mode = s_hooksInstalled ? 0 : ModeRequested();
        if (!mode) return;
        ReadExitCode();
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

/* Destroyed after the statistics report (203): the last of the library's
   work at exit. */
struct VR_CheckStatus {
    ~VR_CheckStatus()
    {
        if (s_checkMode) CheckSetExitStatus();
    }
};
VR_CheckStatus s_checkStatus __attribute__((init_priority(202)));

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
