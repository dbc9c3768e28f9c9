/*
 * run_win32.cpp - vorrel-run.exe: runs a 32-bit Windows program with
 * vorrel.dll loaded before any of the program's own code runs.
 *
 * The program is created suspended. Its entry point is then made to jump
 * to a few instructions of ours, written into a page of the program's
 * address space: they call LoadLibraryA on vorrel.dll, put the entry
 * point's first bytes back and continue there with every register as it
 * was. By then the system loader has mapped the program and initialised
 * the DLLs it imports (the C runtime among them, whose entry points the
 * library patches), and nothing of the program itself has run: its entry
 * point is the first of its code, TLS callbacks aside.
 *
 * Why not a remote thread calling LoadLibraryA: in a process that was
 * created suspended and never ran, the loader has not initialised the
 * process yet, and under Wine a thread created in it from outside is
 * started through the process's own (suspended) main thread; queueing an
 * APC to the main thread runs it during loader initialisation, before the
 * C runtime exists. Patching the entry point depends on neither and works
 * the same on Windows and under Wine.
 *
 * When vorrel.dll cannot be loaded, the program ends at once with exit code
 * kLoadFailedExit, before any of its code ran, and vorrel-run says why.
 * Otherwise vorrel-run waits for it and exits with its exit code; the
 * standard handles are handed down unchanged.
 */
#include <windows.h>
#include <shlwapi.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "run_options.h"

namespace {

/* What the injected code exits with when LoadLibraryA fails; the low 16
   bits carry GetLastError's low 16. */
const DWORD kLoadFailedExit = 0x56520000u;  /* "VR" */

std::string Narrow(const std::wstring &w)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, 0, 0, 0, 0);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &s[0], n, 0, 0);
    return s;
}

std::string ErrorText(DWORD error)
{
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, 0, error, 0, buf,
                             sizeof buf, 0);
    while (n && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == '.')) n--;
    std::string s(buf, n);
    return s.empty() ? "error " + std::to_string(error) : s + " (error " + std::to_string(error) + ")";
}

/* One argument quoted the way the C runtime's command-line parser reads it
   back: backslashes are literal except before a quote. */
void AppendQuoted(std::wstring &line, const std::wstring &arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    for (size_t i = 0;; i++) {
        size_t slashes = 0;
        while (i < arg.size() && arg[i] == L'\\') {
            i++;
            slashes++;
        }
        if (i == arg.size()) {
            line.append(slashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"') {
            line.append(slashes * 2 + 1, L'\\');
            line += L'"';
        } else {
            line.append(slashes, L'\\');
            line += arg[i];
        }
    }
    line += L'"';
}

/* The program's file, found the way a command shell would (.exe added when
   the name has no extension); empty when there is none. */
std::wstring FindProgram(const wchar_t *name)
{
    wchar_t buf[MAX_PATH * 4];
    DWORD n = SearchPathW(0, name, L".exe", sizeof buf / sizeof buf[0], buf, 0);
    if (n == 0 || n >= sizeof buf / sizeof buf[0]) return L"";
    DWORD attributes = GetFileAttributesW(buf);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return L"";
    return buf;
}

/* Empty when the file is a 32-bit x86 PE program (not a DLL); else why not. */
std::string CheckPe(const std::wstring &path)
{
    std::string shown = Narrow(path);
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_EXISTING, 0, 0);
    if (f == INVALID_HANDLE_VALUE) return "cannot read " + shown + ": " + ErrorText(GetLastError());
    unsigned char head[4096];
    DWORD got = 0;
    BOOL ok = ReadFile(f, head, sizeof head, &got, 0);
    CloseHandle(f);
    if (!ok) return "cannot read " + shown;
    if (got < 64 || head[0] != 'M' || head[1] != 'Z') return shown + " is not a Windows program (no MZ header)";
    DWORD pe;
    memcpy(&pe, head + 0x3C, 4);
    if (pe > got - 24 || memcmp(head + pe, "PE\0\0", 4) != 0) return shown + " is not a Windows PE program";
    WORD machine, characteristics, magic;
    memcpy(&machine, head + pe + 4, 2);
    memcpy(&characteristics, head + pe + 22, 2);
    if (machine != IMAGE_FILE_MACHINE_I386)
        return shown + " is not a 32-bit x86 program; Vorrel serves 32-bit programs only";
    if (characteristics & IMAGE_FILE_DLL) return shown + " is a DLL, not a program";
    if (pe + 26 > got) return shown + " is not a valid PE program";
    memcpy(&magic, head + pe + 24, 2);
    if (magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) return shown + " is not a valid 32-bit PE program";
    return "";
}

/* path as an absolute one, so that the program, which may change its
   working folder before it exits, writes where the user meant. */
std::string Absolute(const char *path)
{
    char full[MAX_PATH * 4];
    DWORD n = GetFullPathNameA(path, sizeof full, full, 0);
    return n == 0 || n >= sizeof full ? std::string(path) : std::string(full);
}

/* A file the library writes at exit, opened now so that an unwritable
   path is reported before the program runs. */
std::string CheckWritable(const char *path)
{
    HANDLE f = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    if (f == INVALID_HANDLE_VALUE) return std::string("cannot write ") + path + ": " + ErrorText(GetLastError());
    CloseHandle(f);
    return "";
}

/* The code run at the program's entry point, with its data behind it.
 *
 *   pushad
 *   push  path                  ; LoadLibraryA(path)
 *   call  [loadLibrary]
 *   test  eax, eax
 *   jz    failed
 *   mov   esi, saved            ; the entry's first bytes back
 *   mov   edi, entry
 *   mov   ecx, kPatchLength
 *   cld
 *   rep movsb
 *   push  scratch               ; the entry's page protected as before
 *   push  oldProtect
 *   push  kPatchLength
 *   push  entry
 *   call  [virtualProtect]
 *   popad
 *   push  entry                 ; and on to the entry point
 *   ret
 * failed:
 *   call  [getLastError]
 *   movzx eax, ax
 *   or    eax, kLoadFailedExit
 *   mov   esi, eax
 *   push  [failedEvent]         ; tells vorrel-run that the load failed
 *   call  [setEvent]
 *   push  esi
 *   call  [exitProcess]
 *
 * The exit code alone cannot say that the load failed: a program may exit
 * with any code, kLoadFailedExit's included. The event, a handle of
 * vorrel-run's duplicated into the program, is set only here.
 */
const DWORD kPatchLength = 5;   /* jmp rel32 */

struct VR_Stub {
    unsigned char code[112];
    DWORD loadLibrary;
    DWORD getLastError;
    DWORD exitProcess;
    DWORD virtualProtect;
    DWORD setEvent;
    DWORD failedEvent;      /* the program's handle of vorrel-run's event */
    DWORD oldProtect;       /* the entry page's protection before the patch */
    DWORD scratch;
    unsigned char saved[8];
    char path[MAX_PATH * 4];
};

struct VR_Emitter {
    unsigned char *p;
    void Byte(unsigned b) { *p++ = (unsigned char)b; }
    void Word(DWORD v)
    {
        memcpy(p, &v, 4);
        p += 4;
    }
};

/* Fills the stub for a copy of it that will live at remote. */
void BuildStub(VR_Stub *s, DWORD remote, DWORD entry, DWORD oldProtect)
{
    DWORD field = remote;
    VR_Emitter e = {s->code};
    auto at = [&](const void *member) { return field + (DWORD)((const unsigned char *)member - (const unsigned char *)s); };
    e.Byte(0x60);                                   /* pushad */
    e.Byte(0x68); e.Word(at(s->path));              /* push path */
    e.Byte(0xFF); e.Byte(0x15); e.Word(at(&s->loadLibrary));
    e.Byte(0x85); e.Byte(0xC0);                     /* test eax, eax */
    e.Byte(0x74); unsigned char *jz = e.p; e.Byte(0);
    e.Byte(0xBE); e.Word(at(s->saved));             /* mov esi, saved */
    e.Byte(0xBF); e.Word(entry);                    /* mov edi, entry */
    e.Byte(0xB9); e.Word(kPatchLength);             /* mov ecx, 5 */
    e.Byte(0xFC);                                   /* cld */
    e.Byte(0xF3); e.Byte(0xA4);                     /* rep movsb */
    e.Byte(0x68); e.Word(at(&s->scratch));          /* push scratch */
    e.Byte(0x68); e.Word(oldProtect);               /* push oldProtect */
    e.Byte(0x6A); e.Byte(kPatchLength);             /* push 5 */
    e.Byte(0x68); e.Word(entry);                    /* push entry */
    e.Byte(0xFF); e.Byte(0x15); e.Word(at(&s->virtualProtect));
    e.Byte(0x61);                                   /* popad */
    e.Byte(0x68); e.Word(entry);                    /* push entry */
    e.Byte(0xC3);                                   /* ret */
    *jz = (unsigned char)(e.p - (jz + 1));
    e.Byte(0xFF); e.Byte(0x15); e.Word(at(&s->getLastError));
    e.Byte(0x0F); e.Byte(0xB7); e.Byte(0xC0);       /* movzx eax, ax */
    e.Byte(0x0D); e.Word(kLoadFailedExit);          /* or eax, imm32 */
    e.Byte(0x89); e.Byte(0xC6);                     /* mov esi, eax */
    e.Byte(0xFF); e.Byte(0x35); e.Word(at(&s->failedEvent)); /* push [failedEvent] */
    e.Byte(0xFF); e.Byte(0x15); e.Word(at(&s->setEvent));
    e.Byte(0x56);                                   /* push esi */
    e.Byte(0xFF); e.Byte(0x15); e.Word(at(&s->exitProcess));
    e.Byte(0xCC);                                   /* not reached */
}

typedef LONG(WINAPI *QueryInformationProcessFn)(HANDLE, int, PVOID, ULONG, PULONG);

struct VR_BasicInformation {
    LONG exitStatus;
    PVOID pebBase;
    ULONG_PTR affinity;
    LONG basePriority;
    ULONG_PTR processId;
    ULONG_PTR parentId;
};

/* The program's entry point, read from its image in its own memory (the
   image may not sit at its preferred base). 0 on failure. */
DWORD RemoteEntryPoint(HANDLE process)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    QueryInformationProcessFn query =
        ntdll ? (QueryInformationProcessFn)(void *)GetProcAddress(ntdll, "NtQueryInformationProcess") : 0;
    if (!query) return 0;
    VR_BasicInformation info;
    ULONG length = 0;
    if (query(process, 0 /* ProcessBasicInformation */, &info, sizeof info, &length) != 0) return 0;
    DWORD base = 0, pe = 0, entryRva = 0;
    SIZE_T got;
    if (!ReadProcessMemory(process, (char *)info.pebBase + 8, &base, 4, &got) || !base) return 0;
    if (!ReadProcessMemory(process, (void *)(base + 0x3C), &pe, 4, &got)) return 0;
    if (!ReadProcessMemory(process, (void *)(base + pe + 0x28), &entryRva, 4, &got) || !entryRva) return 0;
    return base + entryRva;
}

/* Makes the suspended program load the library at its entry point.
   Empty on success, else what went wrong. */
std::string Inject(HANDLE process, const std::string &library, HANDLE failed)
{
    DWORD entry = RemoteEntryPoint(process);
    if (!entry) return "cannot find the program's entry point: " + ErrorText(GetLastError());

    VR_Stub stub;
    memset(&stub, 0, sizeof stub);
    if (library.size() >= sizeof stub.path) return "the library path is too long";
    memcpy(stub.path, library.c_str(), library.size() + 1);
    /* kernel32 lies at the same address in every process of a session. */
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    stub.loadLibrary = (DWORD)(void *)GetProcAddress(kernel32, "LoadLibraryA");
    stub.getLastError = (DWORD)(void *)GetProcAddress(kernel32, "GetLastError");
    stub.exitProcess = (DWORD)(void *)GetProcAddress(kernel32, "ExitProcess");
    stub.virtualProtect = (DWORD)(void *)GetProcAddress(kernel32, "VirtualProtect");
    stub.setEvent = (DWORD)(void *)GetProcAddress(kernel32, "SetEvent");
    HANDLE remoteEvent = 0;
    if (!DuplicateHandle(GetCurrentProcess(), failed, process, &remoteEvent, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return "cannot hand the program its failure signal: " + ErrorText(GetLastError());
    stub.failedEvent = (DWORD)(uintptr_t)remoteEvent;
    SIZE_T got;
    if (!ReadProcessMemory(process, (void *)entry, stub.saved, kPatchLength, &got))
        return "cannot read the program's entry point: " + ErrorText(GetLastError());

    /* The entry's page is made writable for the patch; the stub writes the
       bytes back and restores its protection. */
    DWORD oldProtect;
    if (!VirtualProtectEx(process, (void *)entry, kPatchLength, PAGE_EXECUTE_READWRITE, &oldProtect))
        return "cannot make the entry point writable: " + ErrorText(GetLastError());
    void *remote = VirtualAllocEx(process, 0, sizeof stub, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
    if (!remote) return "cannot allocate memory in the program: " + ErrorText(GetLastError());
    BuildStub(&stub, (DWORD)(uintptr_t)remote, entry, oldProtect);
    if (!WriteProcessMemory(process, remote, &stub, sizeof stub, &got))
        return "cannot write into the program: " + ErrorText(GetLastError());

    unsigned char jump[kPatchLength] = {0xE9};
    DWORD displacement = (DWORD)(uintptr_t)remote - (entry + kPatchLength);
    memcpy(jump + 1, &displacement, 4);
    if (!WriteProcessMemory(process, (void *)entry, jump, kPatchLength, &got))
        return "cannot patch the entry point: " + ErrorText(GetLastError());
    FlushInstructionCache(process, (void *)entry, kPatchLength);
    return "";
}

} // namespace

int wmain(int, wchar_t **)
{
    /* Options are ASCII and parsed from the narrow command line; the
       program and its arguments are passed on from the wide one, so names
       outside the code page survive. Both split the same command line. */
    int wargc = 0;
    wchar_t **wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
    if (!wargv) return Fail(kExitOwnFailure, "cannot read the command line");
    std::string narrowStore[256];
    char *argv[257];
    int argc = wargc < 256 ? wargc : 256;
    for (int i = 0; i < argc; i++) {
        narrowStore[i] = Narrow(wargv[i]);
        argv[i] = &narrowStore[i][0];
    }
    argv[argc] = 0;

    VR_RunOptions o = ParseRunOptions(argc, argv);
    int answer = AnswerRunOptions(o);
    if (answer >= 0) return answer;

    std::wstring program = FindProgram(wargv[o.programIndex]);
    if (program.empty()) return Fail(kExitNotFound, "cannot find program " + Narrow(wargv[o.programIndex]));
    std::string problem = CheckPe(program);
    if (!problem.empty()) return Fail(kExitCannotRun, problem);

    std::string library;
    if (o.library) {
        library = o.library;
    } else {
        char self[MAX_PATH * 4];
        DWORD n = GetModuleFileNameA(0, self, sizeof self);
        if (n == 0 || n >= sizeof self) return Fail(kExitOwnFailure, "cannot find vorrel-run's own folder");
        PathRemoveFileSpecA(self);
        library = std::string(self) + "\\vorrel.dll";
    }
    char full[MAX_PATH * 4];
    DWORD fn = GetFullPathNameA(library.c_str(), sizeof full, full, 0);
    if (fn == 0 || fn >= sizeof full) return Fail(kExitOwnFailure, "cannot use the library path " + library);
    library = full;
    DWORD attributes = GetFileAttributesA(library.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Fail(kExitOwnFailure, "cannot find the Vorrel library " + library);
    /* Any other DLL would load as well and leave the program unserved: its
       exports are read from the file mapped as an image, with no code of
       it run and none of its imports loaded. */
    HMODULE image = LoadLibraryExA(library.c_str(), 0, DONT_RESOLVE_DLL_REFERENCES);
    if (!image) return Fail(kExitOwnFailure, "cannot load the Vorrel library " + library + ": " + ErrorText(GetLastError()));
    int isVorrel = GetProcAddress(image, "VRHookMalloc") && GetProcAddress(image, "vr_version");
    FreeLibrary(image);
    if (!isVorrel) return Fail(kExitOwnFailure, library + " is not the Vorrel library (it has no VRHookMalloc)");

    std::string stats = o.stats && strcmp(o.stats, "1") != 0 ? Absolute(o.stats) : o.stats ? "1" : "";
    std::string map = o.map ? Absolute(o.map) : "", report = o.checkReport ? Absolute(o.checkReport) : "";
    for (const std::string &out : {stats, map}) {
        if (out.empty() || out == "1") continue;
        problem = CheckWritable(out.c_str());
        if (!problem.empty()) return Fail(kExitUsage, problem);
    }
    if (!report.empty()) {
        /* Emptied now: the processes that share it append their findings. */
        HANDLE f = CreateFileA(report.c_str(), GENERIC_WRITE, FILE_SHARE_READ, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
        if (f == INVALID_HANDLE_VALUE) return Fail(kExitUsage, "cannot write " + report + ": " + ErrorText(GetLastError()));
        CloseHandle(f);
        SetEnvironmentVariableA("VORREL_CHECK_REPORT", report.c_str());
    }
    if (o.stats) SetEnvironmentVariableA("VORREL_STATS", stats.c_str());
    if (o.map) SetEnvironmentVariableA("VORREL_MAP", map.c_str());
    if (o.check) SetEnvironmentVariableA("VORREL_CHECK", o.check);
    if (o.checkExitCode) SetEnvironmentVariableA("VORREL_CHECK_EXITCODE", o.checkExitCode);

    std::wstring line;
    for (int i = o.programIndex; i < wargc; i++) {
        if (i > o.programIndex) line += L' ';
        AppendQuoted(line, wargv[i]);
    }

    /* The standard handles go down as they are. */
    STARTUPINFOW si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError})
        if (h && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    PROCESS_INFORMATION pi;
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(0);
    if (!CreateProcessW(program.c_str(), mutableLine.data(), 0, 0, TRUE, CREATE_SUSPENDED, 0, 0, &si, &pi))
        return Fail(kExitCannotRun, "cannot start " + Narrow(program) + ": " + ErrorText(GetLastError()));

    HANDLE failed = CreateEventA(0, TRUE, FALSE, 0);
    if (!failed) return Fail(kExitOwnFailure, "cannot create an event: " + ErrorText(GetLastError()));
    problem = Inject(pi.hProcess, library, failed);
    if (!problem.empty()) {
        TerminateProcess(pi.hProcess, kExitOwnFailure);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return Fail(kExitOwnFailure, "cannot load Vorrel into " + Narrow(program) + ": " + problem);
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    int loadFailed = WaitForSingleObject(failed, 0) == WAIT_OBJECT_0;
    CloseHandle(failed);
    if (loadFailed)
        return Fail(kExitOwnFailure, "cannot load " + library + " into " + Narrow(program) + ": " +
                                         ErrorText(code & 0xFFFF));
    return (int)code;
}
