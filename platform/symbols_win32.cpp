/*
 * symbols_win32.cpp - the checking mode's needs on Windows: the stack
 * bounds from the thread's TEB, module names from the loader, and function
 * names and source lines from DbgHelp, loaded only when a report first
 * names code (it reads the PDB of Microsoft's compilers and, under Wine,
 * the DWARF of MinGW's). Without DbgHelp a frame still shows its module
 * and offset, which the offline step resolves.
 */
#include <windows.h>
#include <stdio.h>

#include "symbols.h"

namespace {

/* DbgHelp's structures, declared here as the system defines them, so no
   import library or header of it is needed. */
struct VR_SymbolInfo {
    ULONG SizeOfStruct;
    ULONG TypeIndex;
    ULONG64 Reserved[2];
    ULONG Index;
    ULONG Size;
    ULONG64 ModBase;
    ULONG Flags;
    ULONG64 Value;
    ULONG64 Address;
    ULONG Register;
    ULONG Scope;
    ULONG Tag;
    ULONG NameLen;
    ULONG MaxNameLen;
    CHAR Name[1];
};
struct VR_LineInfo {
    DWORD SizeOfStruct;
    PVOID Key;
    DWORD LineNumber;
    PCHAR FileName;
    DWORD Address;
};
const DWORD kSymUndname = 0x2, kSymDeferredLoads = 0x4, kSymLoadLines = 0x10;

typedef DWORD(WINAPI *SymSetOptionsFn)(DWORD);
typedef BOOL(WINAPI *SymInitializeFn)(HANDLE, PCSTR, BOOL);
typedef BOOL(WINAPI *SymFromAddrFn)(HANDLE, DWORD64, PDWORD64, VR_SymbolInfo *);
typedef BOOL(WINAPI *SymGetLineFromAddrFn)(HANDLE, DWORD, PDWORD, VR_LineInfo *);

int s_dbghelpTried;
HMODULE s_dbghelp;
SymFromAddrFn s_symFromAddr;
SymGetLineFromAddrFn s_symGetLine;

void LoadDbgHelp()
{
    if (s_dbghelpTried) return;
    s_dbghelpTried = 1;
    HMODULE m = s_dbghelp;
    if (!m) return;
    SymSetOptionsFn setOptions = (SymSetOptionsFn)(void *)GetProcAddress(m, "SymSetOptions");
    SymInitializeFn initialize = (SymInitializeFn)(void *)GetProcAddress(m, "SymInitialize");
    SymFromAddrFn fromAddr = (SymFromAddrFn)(void *)GetProcAddress(m, "SymFromAddr");
    SymGetLineFromAddrFn getLine = (SymGetLineFromAddrFn)(void *)GetProcAddress(m, "SymGetLineFromAddr");
    if (!initialize || !fromAddr) return;
    if (setOptions) setOptions(kSymUndname | kSymDeferredLoads | kSymLoadLines);
    if (!initialize(GetCurrentProcess(), 0, TRUE)) return;
    s_symFromAddr = fromAddr;
    s_symGetLine = getLine;
}

void Copy(char *to, size_t size, const char *from)
{
    size_t n = 0;
    while (from && from[n] && n + 1 < size) {
        to[n] = from[n];
        n++;
    }
    to[n] = 0;
}

const char *BaseName(const char *path)
{
    const char *name = path;
    for (const char *s = path; *s; s++)
        if (*s == '\\' || *s == '/') name = s + 1;
    return name;
}

HMODULE ModuleOf(const void *p)
{
    HMODULE m = 0;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCSTR)p, &m))
        return 0;
    return m;
}

} // namespace

void vr_os::PrepareSymbols()
{
    if (!s_dbghelp) s_dbghelp = LoadLibraryA("dbghelp.dll");
}

uintptr_t vr_os::ThreadStackTop()
{
    uintptr_t top;
    __asm__("movl %%fs:0x04, %0" : "=r"(top));   /* the TEB's StackBase */
    return top;
}

int vr_os::DescribeCode(uintptr_t address, CodePlace *place)
{
    place->module[0] = place->function[0] = place->file[0] = 0;
    place->moduleOffset = place->functionOffset = 0;
    place->line = 0;
    HMODULE m = ModuleOf((const void *)address);
    if (!m) return 0;
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(m, path, sizeof path);
    path[n < sizeof path ? n : sizeof path - 1] = 0;
    Copy(place->module, sizeof place->module, BaseName(path));
    place->moduleOffset = address - (uintptr_t)m;

    LoadDbgHelp();
    if (!s_symFromAddr) return 1;
    union {
        VR_SymbolInfo info;
        char room[sizeof(VR_SymbolInfo) + 256];
    } symbol;
    memset(&symbol, 0, sizeof symbol);
    symbol.info.SizeOfStruct = sizeof(VR_SymbolInfo);
    symbol.info.MaxNameLen = 255;
    DWORD64 displacement = 0;
    if (s_symFromAddr(GetCurrentProcess(), address, &displacement, &symbol.info)) {
        Copy(place->function, sizeof place->function, symbol.info.Name);
        place->functionOffset = (uintptr_t)displacement;
    }
    VR_LineInfo line;
    memset(&line, 0, sizeof line);
    line.SizeOfStruct = sizeof line;
    DWORD lineDisplacement = 0;
    if (s_symGetLine && s_symGetLine(GetCurrentProcess(), (DWORD)address, &lineDisplacement, &line) && line.FileName) {
        Copy(place->file, sizeof place->file, BaseName(line.FileName));
        place->line = line.LineNumber;
    }
    return 1;
}

void vr_os::ForEachWritableRange(void (*fn)(uintptr_t start, uintptr_t end, void *context), void *context)
{
    const DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    uint64_t a = 0x10000;
    while (a < 0x100000000ull) {
        MEMORY_BASIC_INFORMATION mbi;
        if (!VirtualQuery((const void *)(uintptr_t)a, &mbi, sizeof mbi) || mbi.RegionSize == 0) break;
        uint64_t start = (uintptr_t)mbi.BaseAddress, end = start + mbi.RegionSize;
        if (mbi.State == MEM_COMMIT && (mbi.Protect & kWritable) && !(mbi.Protect & (PAGE_GUARD | PAGE_NOACCESS)))
            fn((uintptr_t)start, (uintptr_t)(end > 0xFFFFF000ull ? 0xFFFFF000ull : end), context);
        if (end <= a) break;
        a = end;
    }
}

/* The Windows loader allocates from the system's heaps, never through
   the C runtime. */
int vr_os::IsLoaderCode(uintptr_t)
{
    return 0;
}

int vr_os::IsInModuleImage(const void *p)
{
    return ModuleOf(p) != 0;
}

intptr_t vr_os::AppendOutputFile(const char *path)
{
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, 0);
    return h == INVALID_HANDLE_VALUE ? -1 : (intptr_t)h;
}

uint32_t vr_os::ProcessId()
{
    return (uint32_t)GetCurrentProcessId();
}

int vr_os::SetEnvironment(const char *name, const char *value)
{
    return SetEnvironmentVariableA(name, value) != 0;
}

void *vr_os::FindModuleExport(const char *module, const char *name)
{
    HMODULE m = GetModuleHandleA(module);
    return m ? (void *)GetProcAddress(m, name) : 0;
}

namespace {

void (*s_onFault)(const vr_os::AccessFault &);

LONG CALLBACK FaultHandler(EXCEPTION_POINTERS *e)
{
    const EXCEPTION_RECORD *r = e->ExceptionRecord;
    if (r->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && r->NumberParameters >= 2 && s_onFault) {
        /* ExceptionInformation[0]: 0 read, 1 write, 8 execution. */
        vr_os::AccessFault f = {(uintptr_t)r->ExceptionInformation[1], r->ExceptionInformation[0] == 1 ? 1 : 0, 0, 0};
        f.pc = (uintptr_t)e->ContextRecord->Eip;
        f.frame = (uintptr_t)e->ContextRecord->Ebp;
        s_onFault(f);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

int vr_os::WatchAccessFaults(void (*onFault)(const AccessFault &fault))
{
    s_onFault = onFault;
    return AddVectoredExceptionHandler(1, &FaultHandler) != 0;
}
