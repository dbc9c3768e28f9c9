/*
 * checking.h - the checking mode: its door, and what its sources share.
 *
 * What this room owns: the choice of the mode at load (entries.cpp), the
 * checking entries that replace the runtime's (entries_<target>.cpp), the
 * checked blocks and their quarantines (guard_blocks.cpp, page_blocks.cpp,
 * block_format.cpp), the call stacks (stacks.cpp), the report
 * (report.cpp) and the walk at exit with the leaks (leaks.cpp).
 *
 * What it may call: the process room's patching (process_internal.h:
 * PatchRuntimeEntry, the entry redirect, the fork locks, the runtimes'
 * own sizes), the heap's public calls (AllocMem, FreeMem, ForEach,
 * FindFirstThat on a heap of its own), the pages' reservations (pages.h)
 * and the platform. Nothing below calls into it: the process room learns
 * of it only through the entry redirect this room sets before the hooks
 * are installed, so a process without the mode runs exactly the usual code.
 *
 * When VORREL_CHECK is set in the environment at load, every runtime entry
 * leads to an entry of the checking layer instead of the usual hook (the
 * choice is made once, while the entries are patched, so a process without
 * it runs exactly the usual code). Checked blocks come from a general heap
 * of their own, each wrapped in a header and guard bytes:
 *
 *  heap block -> +---------------------------------+
 *                | (pad marker, aligned blocks)    |  kPadMagic, lead: only when lead > 0
 *     header  -> +---------------------------------+
 *                | magic = kHeaderMagic ^ user     |  +0
 *                | size (the caller's bytes)       |  +4
 *                | allocStack                      |  +8
 *                | freeStack                       |  +12
 *                | state: live/freed + kind, or 0  |  +16 claimed by compare-exchange
 *                | lead (heap block .. header)     |  +20 top bit: made before a fork
 *                | front guard, 8 x kFrontByte     |  +24
 *       user  -> +---------------------------------+
 *                | size bytes of the caller        |
 *                +---------------------------------+
 *                | back guard, kBackGuard x 0xFD   |
 *                +---------------------------------+
 *
 * Invariants: a block whose magic matches its user address is one of ours;
 * while live, its state is kStateLive + kind, its guards hold their bytes
 * unless the caller wrote past the block, and freeStack is 0; while in
 * quarantine its state is kStateFreed + kind and its user bytes hold kFreedByte
 * unless written after the free; a block given back to the heap has magic
 * and state 0.
 *
 * The page mode (VORREL_CHECK=pages) gives each block a reservation of its
 * own instead, its end against an inaccessible page, so an access past it
 * faults at once:
 *
 *  reservation -> +---------------------------------+
 *                 | committed, unused               |
 *                 | front guard, 8 x kFrontByte     |
 *        user  -> +---------------------------------+
 *                 | size bytes of the caller        |
 *                 | back guard: up to the page end  |  fewer than align bytes
 *                 +---------------------------------+
 *                 | inaccessible (never committed)  |  at least one page
 *                 +---------------------------------+
 *
 * Its header lives outside it, in a table with one record per 64 KB region
 * (the region where the reservation starts), because a freed block is
 * decommitted whole and held, inaccessible, in a quarantine of its own; the
 * header's lead is then the user address. When no reservation can be had,
 * the block is an ordinary checked one.
 */
#ifndef VR_CHECKING_H
#define VR_CHECKING_H

#include <stddef.h>
#include <stdint.h>

#include "vorrel.h"

/* Who made a block: the freeing call must be of the same family. */
enum VR_CheckKind {
    kKindMalloc = 1,   /* malloc, calloc, realloc and the C library's aligned calls */
    kKindNew = 2,      /* operator new */
    kKindNewArray = 3, /* operator new[] */
    kKindAligned = 4,  /* the Windows runtime's _aligned_ family */
    kKindCount = 5
};

struct VR_CheckHeader {
    uint32_t magic;
    uint32_t size;
    uint32_t allocStack;
    uint32_t freeStack;
    uint32_t state;
    uint32_t lead;
    uint8_t front[8];
};
static_assert(sizeof(VR_CheckHeader) == 32, "the header keeps the heap's alignment");
static_assert(offsetof(VR_CheckHeader, state) == 16, "state offset");

/* 1 when the process runs in checking mode (fixed at load), and 1 when
   that is the page mode. */
extern int s_checkMode;
extern int s_checkPages;

/* Records the checking replacement of a runtime entry (the target's
   FindCheckEntries, before the hooks are installed). */
void AddCheckEntry(const void *entry, const void *replacement);

/* --- blocks (guard_blocks.cpp, page_blocks.cpp) --- */
/* Makes the heap of the checked blocks and the quarantine. */
void CheckInitBlocks();
/* Makes the page mode's tables and watches the faulting accesses; 0 when
   the tables cannot be had (the mode then checks blocks as usual). At
   most budgetBlocks page blocks are held at once (PageBlockBudget). */
int CheckInitPages(uint32_t budgetBlocks);
/* How many page blocks the target lets the mode hold at once: each takes
   two of the system's mappings (entries_<target>.cpp). */
uint32_t PageBlockBudget();
/* A new checked block of size bytes; user pointer + offset a multiple of
   align (a power of two, 8 or more; offset below size or 0). Null when
   memory is exhausted or the size cannot be represented. */
void *CheckAlloc(size_t size, uint32_t align, uint32_t offset, int kind, uint32_t stack);
/* Frees p as the call `freeKind` would (free, delete, delete[],
   _aligned_free). Foreign blocks stay as they are; what is wrong is
   reported and the block left alone. */
void CheckFree(void *p, int freeKind, uint32_t stack);
/* realloc: a new block of size bytes with the old one's first bytes, the
   old one freed (always moved, so stale pointers to it are caught). Size 0
   is the caller's business. */
void *CheckRealloc(void *p, size_t size, uint32_t align, uint32_t offset, int kind, uint32_t stack);
/* The caller's size of a live checked block; -1 when p is not one. */
long CheckSizeOf(const void *p);
/* Shrinks a live checked block to size in place; 1 when done. */
int CheckShrink(void *p, size_t size);

/* --- call stacks (stacks.cpp) --- */
/* The id of the calling stack, from the frame of a checking entry (its
   __builtin_frame_address(0)), whose return address is the call into the
   runtime. 0 when nothing could be recorded. */
uint32_t CaptureStack(uintptr_t entryFrame);
#define VR_CHECK_STACK() CaptureStack((uintptr_t)__builtin_frame_address(0))
/* The innermost frame of stack id (the call into the runtime); 0 when
   unknown. */
uintptr_t StackFirstFrame(uint32_t id);

/* --- the report (report.cpp) --- */
/* A text built on the stack and written as one piece. */
struct VR_CheckText {
    char buf[4096];
    uint32_t length;

    VR_CheckText() : length(0) {}
    void Str(const char *s);
    void Num(unsigned long v);
    void Hex(uintptr_t v);
    /* The frames of a recorded stack, one indented line each. */
    void Stack(uint32_t id);
};
/* Starts a finding: 0 when the same kind was already reported for the
   same key (it is then not reported again); otherwise 1 with the report's
   lock held, which CheckWrite leaves. */
int CheckBeginFinding(int kind, uint32_t key);
/* Writes a finding's text to the report and leaves the report's lock. */
void CheckWrite(const VR_CheckText &text);
/* The kinds of finding, for counting and de-duplication. */
enum VR_FindingKind {
    kFindOverrun,
    kFindUnderrun,
    kFindDoubleFree,
    kFindBadFree,
    kFindMismatch,
    kFindWriteAfterFree,
    kFindLeak,
    kFindUseAfterFree, /* a read of a freed block, page mode */
    kFindingKinds
};
extern const char *const kFindingNames[kFindingKinds];
/* The findings reported by this process so far; CheckForgetFindings
   starts the count anew (a forked child counts its own). */
uint32_t CheckFindingCount();
void CheckForgetFindings();
/* The exit status of a process that reported findings and would have
   exited 0 (VORREL_CHECK_EXITCODE, 1 by default; 0: the status is left). */
extern int s_checkExitCode;
/* Ends the process at once with status code (entries_<target>.cpp). */
void CheckEndProcess(int code);
/* Gives the process the checking mode's exit status when it reported
   findings, as the target can (entries_<target>.cpp): run last at exit. */
void CheckSetExitStatus();
/* Opens the report where VORREL_CHECK_REPORT says (standard error by
   default). */
void CheckOpenReport();
/* The closing summary (only when something was found). */
void CheckSummary();
const char *KindName(int kind);      /* "malloc", "new", ... */
const char *FreeName(int freeKind);  /* "free", "delete", ... */

/* The invariants of the quarantine and of the stack table: null when they
   hold, otherwise the first that does not. Checked at exit in debug
   builds. */
const char *CheckValidateQuarantine();
const char *CheckValidateStacks();

/* The layer's own locks (quarantine, stack table, report), for fork: none
   is held while a heap's lock is awaited. */
VR_LockStorage *CheckQuarantineLock();
VR_LockStorage *CheckPageQuarantineLock();
VR_LockStorage *CheckStackTableLock();
VR_LockStorage *CheckReportLock();

/* In the child of a fork: the blocks live or freed now are the parent's,
   some held or being freed by threads the child does not have; they are
   not its leaks, and are not checked for writes after free at its exit. */
void CheckForkedChild();

/* --- the end (leaks.cpp) --- */
/* Verifies every block at exit and reports the leaks. */
void CheckAtExit();

#endif
