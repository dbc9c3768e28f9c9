/*
 * output_win32.cpp - what the statistics and the address-space map need
 * from Windows: the environment, files and standard error through the
 * system's own handles (the C runtime may already be shut down when the
 * report is written at exit), the debugger output, and VirtualQuery over
 * the whole address space.
 */
#include <windows.h>

#include "os_memory.h"
#include "os_output.h"

namespace vr_os {

void QueryAddressSpace(uint8_t *states)
{
    const uint32_t kRegions = 65536;
    for (uint32_t r = 0; r < kRegions; r++) states[r] = 3;
    /* VirtualQuery describes runs of pages of one state; past the top of
       the program's part of the address space it fails, and the rest stays
       unavailable. */
    uint64_t a = 0;
    while (a < 0x100000000ull) {
        MEMORY_BASIC_INFORMATION mbi;
        if (!VirtualQuery((const void *)(uintptr_t)a, &mbi, sizeof mbi) || mbi.RegionSize == 0) break;
        uint64_t start = (uintptr_t)mbi.BaseAddress;
        uint64_t end = start + mbi.RegionSize;
        uint8_t code = mbi.State == MEM_COMMIT ? 2 : mbi.State == MEM_RESERVE ? 1 : 0;
        for (uint64_t r = start >> 16; r < kRegions && (r << 16) < end; r++) {
            /* A region shared by runs of different states shows the most
               used of them. */
            if (states[r] == 3 || states[r] < code) states[r] = code;
        }
        if (end <= a) break;
        a = end;
    }
}

int ReadEnvironment(const char *name, char *buf, uint32_t size)
{
    DWORD n = GetEnvironmentVariableA(name, buf, size);
    if (n == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND || size == 0) return -1;
        buf[0] = 0;
        return 0;
    }
    return n < size ? (int)n : -1;
}

intptr_t CreateOutputFile(const char *path)
{
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    return h == INVALID_HANDLE_VALUE ? -1 : (intptr_t)h;
}

int WriteOutput(intptr_t file, const char *text, uint32_t length)
{
    HANDLE h = file == kStandardError ? GetStdHandle(STD_ERROR_HANDLE) : (HANDLE)file;
    if (h == 0 || h == INVALID_HANDLE_VALUE) return 0;
    while (length) {
        DWORD written = 0;
        if (!WriteFile(h, text, length, &written, 0) || written == 0) return 0;
        text += written;
        length -= written;
    }
    return 1;
}

void CloseOutput(intptr_t file)
{
    if (file != kStandardError && file != -1) CloseHandle((HANDLE)file);
}

void WriteDebugger(const char *text)
{
    OutputDebugStringA(text);
}

namespace {

void (*s_fatalReport)(const char *cause);
LPTOP_LEVEL_EXCEPTION_FILTER s_previousFilter;
LONG s_fatalReported;
char s_fatalCause[96];

/* An exception nothing handled: the process ends after the filters, so the
   report is written here; then the filter that was there before decides
   as it would have. */
LONG WINAPI FatalException(EXCEPTION_POINTERS *info)
{
    if (!InterlockedExchange(&s_fatalReported, 1)) {
        DWORD code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
        const char *name = code == EXCEPTION_ACCESS_VIOLATION       ? "access violation"
                           : code == EXCEPTION_STACK_OVERFLOW       ? "stack overflow"
                           : code == EXCEPTION_ILLEGAL_INSTRUCTION  ? "illegal instruction"
                           : code == EXCEPTION_INT_DIVIDE_BY_ZERO   ? "division by zero"
                           : code == EXCEPTION_IN_PAGE_ERROR        ? "in-page error"
                           : code == 0xE06D7363                     ? "C++ exception"
                           : code == 0x20474343                     ? "C++ exception"
                                                                    : "exception";
        char *c = s_fatalCause;
        while (*name) *c++ = *name++;
        const char *mid = " (exception 0x";
        while (*mid) *c++ = *mid++;
        for (int shift = 28; shift >= 0; shift -= 4) *c++ = "0123456789abcdef"[(code >> shift) & 15];
        *c++ = ')';
        *c = 0;
        s_fatalReport(s_fatalCause);
    }
    return s_previousFilter ? s_previousFilter(info) : EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

void ProgramPath(char *buf, uint32_t size)
{
    if (!size) return;
    DWORD n = GetModuleFileNameA(0, buf, size);
    buf[n < size ? n : 0] = 0;
}

void WatchFatal(void (*report)(const char *cause))
{
    s_fatalReport = report;
    s_previousFilter = SetUnhandledExceptionFilter(FatalException);
}

} // namespace vr_os
