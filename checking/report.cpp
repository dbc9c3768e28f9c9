/*
 * report.cpp - the report of the checking mode: one block of text per
 * finding, written whole under the report's lock to standard error or to
 * the file VORREL_CHECK_REPORT names (opened for appending, so processes
 * that share it each add their own findings).
 *
 * Format: a finding's first line starts with "vorrel-check: " and its kind
 * (overrun, underrun, double-free, bad-free, mismatch, write-after-free,
 * leak, use-after-free); the lines under it are indented, call stacks by four spaces, one
 * frame a line. A process that found anything ends with one "vorrel-check:
 * summary" line. A clean process writes nothing.
 *
 * The same kind of finding with the same key (the call stack of the faulty
 * call, or the block) is reported once.
 */
#include <string.h>

#include "checking.h"
#include "os_lock.h"
#include "os_output.h"
#include "symbols.h"

const char *const kFindingNames[kFindingKinds] = {
    "overrun", "underrun", "double-free", "bad-free", "mismatch", "write-after-free", "leak", "use-after-free",
};

namespace {

VR_LockStorage s_reportLock;
intptr_t s_reportFile = vr_os::kStandardError;
uint32_t s_findings[kFindingKinds];

/* Keys of findings already reported: kind and key hashed into a set that
   never shrinks; when it is full, findings are no longer de-duplicated. */
const uint32_t kSeenSlots = 4096;
uint32_t s_seen[kSeenSlots];

} // namespace

void VR_CheckText::Str(const char *s)
{
    while (*s && length + 1 < sizeof buf) buf[length++] = *s++;
}

void VR_CheckText::Num(unsigned long v)
{
    char d[12];
    int n = 0;
    do {
        d[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    while (n && length + 1 < sizeof buf) buf[length++] = d[--n];
}

void VR_CheckText::Hex(uintptr_t v)
{
    char d[12];
    int n = 0;
    do {
        d[n++] = "0123456789abcdef"[v & 15];
        v >>= 4;
    } while (v);
    Str("0x");
    while (n && length + 1 < sizeof buf) buf[length++] = d[--n];
}

void CheckOpenReport()
{
    char path[1024];
    if (vr_os::ReadEnvironment("VORREL_CHECK_REPORT", path, sizeof path) > 0) {
        intptr_t f = vr_os::AppendOutputFile(path);
        if (f != -1) s_reportFile = f;
    }
}

int CheckBeginFinding(int kind, uint32_t key)
{
    uint32_t h = (key * 2654435761u) ^ ((uint32_t)kind * 40503u);
    h = h ? h : 1;
    int fresh = 1;
    vr_os::LockEnter(&s_reportLock);
    for (uint32_t i = 0, slot = h & (kSeenSlots - 1); i < kSeenSlots; i++, slot = (slot + 1) & (kSeenSlots - 1)) {
        if (s_seen[slot] == h) {
            fresh = 0;
            break;
        }
        if (!s_seen[slot]) {
            s_seen[slot] = h;
            break;
        }
    }
    if (fresh) s_findings[kind]++;
    /* Held on for the finding's text: naming its frames uses the
       system's symbol services, which are not safe from two threads. */
    if (!fresh) vr_os::LockLeave(&s_reportLock);
    return fresh;
}

void CheckWrite(const VR_CheckText &text)
{
    vr_os::WriteOutput(s_reportFile, text.buf, text.length);
    vr_os::LockLeave(&s_reportLock);
}

void CheckSummary()
{
    uint32_t total = CheckFindingCount();
    if (!total) return;
    VR_CheckText t;
    t.Str("vorrel-check: summary ");
    t.Num(total);
    t.Str(total == 1 ? " finding" : " findings");
    for (int k = 0; k < kFindingKinds; k++) {
        if (!s_findings[k]) continue;
        t.Str(", ");
        t.Num(s_findings[k]);
        t.Str(" ");
        t.Str(kFindingNames[k]);
    }
    t.Str(" (process ");
    t.Num(vr_os::ProcessId());
    t.Str(")\n");
    vr_os::LockEnter(&s_reportLock);
    CheckWrite(t);
}

uint32_t CheckFindingCount()
{
    uint32_t total = 0;
    for (int k = 0; k < kFindingKinds; k++) total += s_findings[k];
    return total;
}

void CheckForgetFindings()
{
    memset(s_findings, 0, sizeof s_findings);
}

const char *KindName(int kind)
{
    static const char *const names[kKindCount] = {"?", "malloc", "new", "new[]", "_aligned_malloc"};
    return kind > 0 && kind < kKindCount ? names[kind] : "?";
}

const char *FreeName(int freeKind)
{
    static const char *const names[kKindCount] = {"?", "free", "delete", "delete[]", "_aligned_free"};
    return freeKind > 0 && freeKind < kKindCount ? names[freeKind] : "?";
}

VR_LockStorage *CheckReportLock()
{
    return &s_reportLock;
}
