/*
 * symbols_win32.cpp - the checking mode's needs on Windows: the stack
 * bounds from the thread's TEB, module names from the loader, and function
 * names and source lines from DbgHelp, loaded only when a report first
 * names code (it reads the PDB of Microsoft's compilers and, under Wine,
 * the DWARF of MinGW's). Without DbgHelp a frame still shows its module
 * and offset, which the offline step resolves.
 */
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

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

/* The COFF symbol table of one module file (MinGW's linker keeps it in the
   image file, after the sections, unless the program was stripped): read
   whole into memory of its own on the first lookup of a module, kept for
   the next ones (a report names many frames of the same few modules). It
   names functions where DbgHelp cannot: under Wine it reads no DWARF 5,
   the MinGW compilers' default, and a real DbgHelp reads no DWARF at all. */
struct VR_CoffSymbols {
    char path[MAX_PATH];
    uint8_t *room;          /* symbols, then the string table; null: none */
    uint32_t roomBytes;
    uint32_t symbolCount;
    uint32_t sectionRva[96];
    uint32_t sectionCount;
};
VR_CoffSymbols s_coff;

int ReadAt(HANDLE f, uint32_t offset, void *to, uint32_t bytes)
{
    DWORD got = 0;
    return SetFilePointer(f, (LONG)offset, 0, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           ReadFile(f, to, bytes, &got, 0) && got == bytes;
}

void LoadCoffSymbols(const char *path)
{
    if (strcmp(s_coff.path, path) == 0) return;
    if (s_coff.room) VirtualFree(s_coff.room, 0, MEM_RELEASE);
    memset(&s_coff, 0, sizeof s_coff);
    Copy(s_coff.path, sizeof s_coff.path, path);
    HANDLE f = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0,
                           OPEN_EXISTING, 0, 0);
    if (f == INVALID_HANDLE_VALUE) return;
    IMAGE_DOS_HEADER dos;
    IMAGE_FILE_HEADER file;
    DWORD fileSize = GetFileSize(f, 0);
    uint32_t symbols = 0, count = 0;
    if (ReadAt(f, 0, &dos, sizeof dos) && dos.e_magic == IMAGE_DOS_SIGNATURE &&
        ReadAt(f, (uint32_t)dos.e_lfanew + 4, &file, sizeof file) && file.PointerToSymbolTable &&
        file.NumberOfSymbols && file.NumberOfSymbols < 0x1000000 && file.NumberOfSections <= 96) {
        symbols = file.PointerToSymbolTable;
        count = file.NumberOfSymbols;
        uint32_t sections = (uint32_t)dos.e_lfanew + 4 + sizeof file + file.SizeOfOptionalHeader;
        for (uint32_t i = 0; i < file.NumberOfSections; i++) {
            IMAGE_SECTION_HEADER h;
            if (!ReadAt(f, sections + i * sizeof h, &h, sizeof h)) break;
            s_coff.sectionRva[s_coff.sectionCount++] = h.VirtualAddress;
        }
    }
    /* The symbols and the string table behind them, to the file's end. */
    if (symbols && fileSize != INVALID_FILE_SIZE && symbols < fileSize && (uint64_t)count * 18 <= fileSize - symbols) {
        uint32_t bytes = fileSize - symbols;
        uint8_t *room = (uint8_t *)VirtualAlloc(0, bytes + 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (room && ReadAt(f, symbols, room, bytes)) {
            s_coff.room = room;
            s_coff.roomBytes = bytes;
            s_coff.symbolCount = count;
        } else if (room) {
            VirtualFree(room, 0, MEM_RELEASE);
        }
    }
    CloseHandle(f);
}

/* The name of COFF symbol sym as the source spells it (32-bit C names
   carry a leading underscore in the image: "_main", "__ZN..."); short
   names are copied into shortName. Null when the string table lacks it. */
const char *CoffName(const uint8_t *sym, char shortName[9])
{
    const char *found = shortName;
    if (*(const uint32_t *)sym) {
        memcpy(shortName, sym, 8);
        shortName[8] = 0;
    } else {
        uint32_t at = s_coff.symbolCount * 18 + *(const uint32_t *)(sym + 4);
        if (at >= s_coff.roomBytes) return 0;
        s_coff.room[s_coff.roomBytes] = 0;   /* the room has one byte more: a name always ends */
        found = (const char *)s_coff.room + at;
    }
    return found[0] == '_' ? found + 1 : found;
}

inline int IsCoffFunction(const uint8_t *sym)
{
    int16_t section = *(const int16_t *)(sym + 12);
    uint16_t type = *(const uint16_t *)(sym + 14);
    uint8_t storage = sym[16];
    /* Functions (the derived type 2), external or static. */
    return section > 0 && (uint32_t)section <= s_coff.sectionCount && (type >> 4) == 2 &&
           (storage == IMAGE_SYM_CLASS_EXTERNAL || storage == IMAGE_SYM_CLASS_STATIC);
}

/* The function of the module loaded at base that holds address, from its
   COFF symbols: the nearest symbol of a code section at or below it. */
void FindInCoffSymbols(const char *path, uintptr_t base, uintptr_t address, char *name, size_t size,
                       uintptr_t *offset)
{
    LoadCoffSymbols(path);
    if (!s_coff.room) return;
    const uint8_t *best = 0;
    uintptr_t bestAddress = 0;
    for (uint32_t i = 0; i < s_coff.symbolCount; i++) {
        const uint8_t *sym = s_coff.room + i * 18;
        if (IsCoffFunction(sym)) {
            int16_t section = *(const int16_t *)(sym + 12);
            uintptr_t a = base + s_coff.sectionRva[section - 1] + *(const uint32_t *)(sym + 8);
            if (a <= address && a >= bestAddress) {
                best = sym;
                bestAddress = a;
            }
        }
        i += sym[17];
    }
    if (!best) return;
    char shortName[9];
    const char *found = CoffName(best, shortName);
    if (!found) return;
    Copy(name, size, found);
    *offset = address - bestAddress;
}

} // namespace

void *vr_os::FindProgramFunction(const char *name)
{
    HMODULE program = GetModuleHandleA(0);
    char path[MAX_PATH];
    DWORD n = program ? GetModuleFileNameA(program, path, sizeof path) : 0;
    if (!n || n >= sizeof path) return 0;
    path[n] = 0;
    LoadCoffSymbols(path);
    for (uint32_t i = 0; s_coff.room && i < s_coff.symbolCount; i++) {
        const uint8_t *sym = s_coff.room + i * 18;
        char shortName[9];
        const char *found = IsCoffFunction(sym) ? CoffName(sym, shortName) : 0;
        if (found && strcmp(found, name) == 0)
            return (void *)((uintptr_t)program + s_coff.sectionRva[*(const int16_t *)(sym + 12) - 1] +
                            *(const uint32_t *)(sym + 8));
        i += sym[17];
    }
    return 0;
}

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
    if (!s_symFromAddr) {
        FindInCoffSymbols(path, (uintptr_t)m, address, place->function, sizeof place->function,
                          &place->functionOffset);
        return 1;
    }
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
    if (!place->function[0])
        FindInCoffSymbols(path, (uintptr_t)m, address, place->function, sizeof place->function,
                          &place->functionOffset);
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
