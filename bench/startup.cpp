/*
 * startup.cpp - what the allocator adds to a process that only starts and
 * exits: a script that starts hundreds of short processes pays it each
 * time. The program starts itself again and again as a child that makes one
 * small allocation and exits, and times the starts.
 *
 * The children get the parent's allocator: on Linux they inherit its
 * environment, LD_PRELOAD included; on Windows a child asked to (--vorrel)
 * loads vorrel.dll first thing, as a program that imports it would.
 *
 * Reports, per child process:
 *   start        wall-clock time from its creation to its end
 *   start_cpu    (Linux) CPU time of the child, user and system
 *   held_ws      memory the child holds at exit, in KB: its working set on
 *                Windows, its resident set on Linux
 *   held_private its private memory at exit, in KB: committed private bytes
 *                on Windows, resident anonymous memory on Linux
 * The memory of one extra child is read by the child itself (it writes the
 * figures to a file the parent names).
 */
#include "bench.h"

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <spawn.h>
#  include <sys/resource.h>
#  include <sys/wait.h>
#  include <unistd.h>
extern char **environ;
#endif

using namespace vrb;

/* ---- the child ----------------------------------------------------------- */

/* The figures of the process now, in KB: working set (resident) and private
   memory. */
static void HeldKb(uint64_t *ws, uint64_t *priv) {
    *ws = *priv = 0;
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS pmc;
    memset(&pmc, 0, sizeof pmc);
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) {
        *ws = pmc.WorkingSetSize / 1024;
        *priv = pmc.PagefileUsage / 1024;
    }
#else
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return;
    char line[256];
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "VmRSS:", 6) == 0)
            *ws = strtoull(line + 6, 0, 10);
        else if (strncmp(line, "RssAnon:", 8) == 0)
            *priv = strtoull(line + 8, 0, 10);
    }
    fclose(f);
#endif
}

/* argv: --child [--vorrel] [--mem FILE]. */
static int Child(int argc, char **argv) {
    const char *memFile = 0;
    for (int i = 2; i < argc; ++i) {
        if (!strcmp(argv[i], "--vorrel"))
            g_opt.loadVorrel = 1;
        else if (!strcmp(argv[i], "--mem") && i + 1 < argc)
            memFile = argv[++i];
    }
    LoadVorrelIfAsked();
    void *p = malloc(100);
    Escape(p);
    free(p);
    if (memFile) {
        uint64_t ws, priv;
        HeldKb(&ws, &priv);
        FILE *f = fopen(memFile, "w");
        if (!f)
            return 1;
        fprintf(f, "%llu %llu\n", (unsigned long long)ws, (unsigned long long)priv);
        fclose(f);
    }
    return 0;
}

/* ---- the parent ---------------------------------------------------------- */

#if defined(_WIN32)
static char s_self[MAX_PATH];

/* Starts the child and waits for its end; 0 when it failed. */
static int StartChild(const char *memFile) {
    char cmd[3 * MAX_PATH];
    snprintf(cmd, sizeof cmd, "\"%s\" --child%s%s%s%s", s_self, g_opt.loadVorrel ? " --vorrel" : "",
             memFile ? " --mem \"" : "", memFile ? memFile : "", memFile ? "\"" : "");
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessA(s_self, cmd, 0, 0, FALSE, 0, 0, 0, &si, &pi))
        return 0;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code == 0;
}

static void TempName(char *out, size_t n) {
    char dir[MAX_PATH];
    if (!GetTempPathA(sizeof dir, dir))
        strcpy(dir, ".\\");
    snprintf(out, n, "%svrstart%lu.txt", dir, (unsigned long)GetCurrentProcessId());
}

static double ChildCpuNs() { return 0; }
#else
static char s_self[4096];

static int StartChild(const char *memFile) {
    char *args[5];
    int n = 0;
    args[n++] = (char *)"bench_startup";
    args[n++] = (char *)"--child";
    if (memFile) {
        args[n++] = (char *)"--mem";
        args[n++] = (char *)memFile;
    }
    args[n] = 0;
    pid_t pid;
    if (posix_spawn(&pid, s_self, 0, 0, args, environ) != 0)
        return 0;
    int st = 0;
    if (waitpid(pid, &st, 0) != pid)
        return 0;
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

static void TempName(char *out, size_t n) {
    const char *dir = getenv("TMPDIR");
    snprintf(out, n, "%s/vrstart%d.txt", dir && dir[0] ? dir : "/tmp", (int)getpid());
}

/* CPU time (user and system) of the children waited for so far. */
static double ChildCpuNs() {
    struct rusage ru;
    if (getrusage(RUSAGE_CHILDREN, &ru) != 0)
        return 0;
    return ((double)ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e9 +
           ((double)ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e3;
}
#endif

static int FindSelf() {
#if defined(_WIN32)
    DWORD n = GetModuleFileNameA(0, s_self, sizeof s_self);
    return n > 0 && n < sizeof s_self;
#else
    ssize_t n = readlink("/proc/self/exe", s_self, sizeof s_self - 1);
    if (n <= 0)
        return 0;
    s_self[n] = 0;
    return 1;
#endif
}

static void Starts(uint32_t count) {
    Check(FindSelf(), "the program finds its own file");
    /* One start outside the timing brings the program's file into the
       page cache (and, under Wine, the DLLs it loads). */
    Check(StartChild(0), "a child starts and ends well");
    double c0 = ChildCpuNs();
    double t0 = NowNs();
    uint32_t ok = 0;
    for (uint32_t i = 0; i < count; ++i)
        ok += StartChild(0);
    double t1 = NowNs();
    double c1 = ChildCpuNs();
    Check(ok == count, "every child starts and ends well");
    Report("start", "ns_per_op", (t1 - t0) / count);
#if !defined(_WIN32)
    Report("start_cpu", "ns_per_op", (c1 - c0) / count);
#else
    (void)c0;
    (void)c1;
#endif

    char name[1024];
    TempName(name, sizeof name);
    remove(name);
    unsigned long long ws = 0, priv = 0;
    int got = 0;
    if (StartChild(name)) {
        FILE *f = fopen(name, "r");
        if (f) {
            got = fscanf(f, "%llu %llu", &ws, &priv) == 2;
            fclose(f);
        }
    }
    remove(name);
    Check(got, "a child reports its memory");
    Report("held_ws", "kb", (double)ws);
    Report("held_private", "kb", (double)priv);
}

int main(int argc, char **argv) {
    if (argc > 1 && !strcmp(argv[1], "--child"))
        return Child(argc, argv);
    int status;
    if (!Start("startup", argc, argv, &status))
        return status;
    if (Want("starts"))
        Starts(Count(300, 40, 3)); /* a start under Wine costs tens of ms */
    return Finish();
}
