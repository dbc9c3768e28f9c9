/*
 * bench.h - what every benchmark program shares: the command line, the clock,
 * peak-memory readings, finding out which allocator really serves malloc, and
 * the one machine-readable line per measurement that scripts/bench collects.
 *
 * The programs call malloc/free/realloc/new/delete and nothing else, so they
 * measure whichever allocator the process has: on Linux the one preloaded
 * (or glibc's), on Windows the runtime's own, or Vorrel when the program is
 * asked to load vorrel.dll before its first measurement. A preload that
 * silently failed would publish the wrong allocator's numbers, so every
 * program names the allocator that actually served a block, and fails when
 * that is not the one the caller expected (--expect NAME).
 *
 * Command line of every program:
 *   --smoke        a short pass (well under a second) that checks the data
 *   --case NAME    only that case (the script runs each case in its own
 *                  process, so the peak-memory reading belongs to it alone)
 *   --list         prints the case names
 *   --expect NAME  exit 3 unless NAME is the allocator that served
 *   --vorrel       (Windows) load vorrel.dll first; so does VORREL_LOAD=1
 */
#ifndef VR_BENCH_H
#define VR_BENCH_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <new>

#if defined(_WIN32)
#  include <windows.h>
#  include <psapi.h>
#else
#  include <dlfcn.h>
#  include <time.h>
#endif

namespace vrb {

/* ---- options ------------------------------------------------------------ */

struct Options {
    int smoke = 0;
    const char *onlyCase = 0;
    const char *expect = 0;
    int list = 0;
    int loadVorrel = 0;
};

inline Options g_opt;
inline const char *g_prog = "?";
inline const char *g_alloc = "?";
inline uint64_t g_baseKb = 0;
inline int g_failures = 0;

/* ---- keeping the compiler from removing allocations ---------------------- */

/* An allocation whose result is never observed may be removed together with
   its free; this makes the pointer observed without costing an instruction. */
inline void Escape(void *p) { asm volatile("" : : "g"(p) : "memory"); }

/* ---- random numbers ------------------------------------------------------ */

/* xorshift32: cheap enough not to show in the per-operation times, and the
   same sequence under every allocator. */
struct Rng {
    uint32_t s;
    explicit Rng(uint32_t seed) : s(seed ? seed : 1) {}
    uint32_t Next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
    /* Uniform in [0, n) without division; n well below 2^32. */
    uint32_t Below(uint32_t n) { return (uint32_t)(((uint64_t)Next() * n) >> 32); }
};

/* ---- clock --------------------------------------------------------------- */

/* Wall-clock time, for the threaded programs, whose throughput is what the
   threads achieve together. */
inline double NowNs() {
    using namespace std::chrono;
    return (double)duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

/* CPU time of the process (user + system), for the single-threaded
   programs: the machines these run on are shared, and CPU time leaves out
   the time other processes held the core while still counting the
   allocator's own system calls and page faults. */
inline double CpuNs() {
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return NowNs();
    uint64_t k = ((uint64_t)kernel.dwHighDateTime << 32) | kernel.dwLowDateTime;
    uint64_t u = ((uint64_t)user.dwHighDateTime << 32) | user.dwLowDateTime;
    return (double)(k + u) * 100.0;
#else
    struct timespec ts;
    if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts) != 0)
        return NowNs();
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
#endif
}

/* The least CPU time a measurement should take: Windows counts process
   time in steps of 10 ms or more (under Wine too), so a measurement there
   runs until it has used enough of it to be precise to about 1%. */
inline double MinCpuNs() {
#if defined(_WIN32)
    return g_opt.smoke ? 0 : 1e9;
#else
    return 0;
#endif
}

/* ---- memory -------------------------------------------------------------- */

/* Memory of the process in KB from the system's figures: the peak (peak
   resident set VmHWM on Linux, peak committed private bytes
   PeakPagefileUsage on Windows) or the current one (VmRSS, PagefileUsage).
   Wine's committed figure follows the runtime's small blocks but not every
   reservation made with VirtualAlloc, so under Wine it compares nothing. */
#if defined(_WIN32)
/* The system's memory counters of this process (all zero when it fails). */
inline PROCESS_MEMORY_COUNTERS MemoryCounters() {
    PROCESS_MEMORY_COUNTERS pmc;
    memset(&pmc, 0, sizeof pmc);
    pmc.cb = sizeof pmc;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc))
        memset(&pmc, 0, sizeof pmc);
    return pmc;
}
#endif

inline uint64_t ProcessKb(bool peak) {
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS pmc = MemoryCounters();
    return (uint64_t)(peak ? pmc.PeakPagefileUsage : pmc.PagefileUsage) / 1024;
#else
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    const char *key = peak ? "VmHWM:" : "VmRSS:";
    char line[256];
    uint64_t kb = 0;
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, key, 6) == 0) {
            kb = strtoull(line + 6, 0, 10);
            break;
        }
    }
    fclose(f);
    return kb;
#endif
}

inline uint64_t PeakKb() { return ProcessKb(true); }
/* For programs that show whether memory keeps growing while the workload
   repeats. */
inline uint64_t CurrentKb() { return ProcessKb(false); }

/* Resident KB of the process now: the resident set on Linux, the working
   set on Windows (under Wine the committed figure does not follow every
   reservation, and the status file seen through the drive that maps the
   root is not this process's). For what an allocator keeps after frees. */
inline uint64_t ResidentKb() {
#if defined(_WIN32)
    return (uint64_t)MemoryCounters().WorkingSetSize / 1024;
#else
    return CurrentKb();
#endif
}

/* ---- which allocator serves ---------------------------------------------- */

typedef int (*IsDynamicMemoryFn)(const void *);

/* The library's ownership test, when the library is in the process. It is a
   C++ function; the name below is its exported (mangled) symbol. */
inline IsDynamicMemoryFn FindOwnershipTest() {
#if defined(_WIN32)
    HMODULE m = GetModuleHandleA("vorrel.dll");
    if (!m)
        return 0;
    FARPROC f = GetProcAddress(m, "_Z15IsDynamicMemoryPKv");
    return (IsDynamicMemoryFn)(void *)f;
#else
    return (IsDynamicMemoryFn)dlsym(RTLD_DEFAULT, "_Z15IsDynamicMemoryPKv");
#endif
}

/* Names the allocator that served p. Vorrel patches the runtime's own entry
   points, so the symbol still points into the C library: its memory is
   recognised by its ownership test instead. Every other allocator on Linux
   replaces the malloc symbol, and the library that defines it names it. */
inline const char *ServedBy(void *p) {
    IsDynamicMemoryFn own = FindOwnershipTest();
    if (own && own(p))
        return "vorrel";
#if defined(_WIN32)
    return own ? "msvcrt(vorrel-not-serving)" : "msvcrt";
#else
    Dl_info info;
    void *sym = dlsym(RTLD_DEFAULT, "malloc");
    const char *name = (sym && dladdr(sym, &info) && info.dli_fname) ? info.dli_fname : "";
    const char *who = "unknown";
    if (strstr(name, "jemalloc"))
        who = "jemalloc";
    else if (strstr(name, "tcmalloc"))
        who = "tcmalloc";
    else if (strstr(name, "mimalloc"))
        who = "mimalloc";
    else if (strstr(name, "libc.so") || strstr(name, "libc-"))
        who = "glibc";
    if (own)
        return "glibc(vorrel-not-serving)";
    return who;
#endif
}

/* ---- start and report ---------------------------------------------------- */

inline void LoadVorrelIfAsked() {
#if defined(_WIN32)
    const char *env = getenv("VORREL_LOAD");
    if (g_opt.loadVorrel || (env && env[0] == '1')) {
        if (!LoadLibraryA("vorrel.dll")) {
            fprintf(stderr, "%s: vorrel.dll could not be loaded (error %lu)\n", g_prog,
                    (unsigned long)GetLastError());
            exit(2);
        }
    }
#endif
}

/* Parses the command line, loads the requested allocator, and finds out
   which one serves both malloc and operator new. Returns 0 when the program
   must stop at once (with *status set). */
inline int Start(const char *prog, int argc, char **argv, int *status) {
    g_prog = prog;
    *status = 0;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--smoke"))
            g_opt.smoke = 1;
        else if (!strcmp(argv[i], "--list"))
            g_opt.list = 1;
        else if (!strcmp(argv[i], "--vorrel"))
            g_opt.loadVorrel = 1;
        else if (!strcmp(argv[i], "--case") && i + 1 < argc)
            g_opt.onlyCase = argv[++i];
        else if (!strcmp(argv[i], "--expect") && i + 1 < argc)
            g_opt.expect = argv[++i];
        else {
            fprintf(stderr, "usage: %s [--smoke] [--case NAME] [--list] [--expect ALLOC] [--vorrel]\n", prog);
            *status = 2;
            return 0;
        }
    }
    LoadVorrelIfAsked();

    void *m = malloc(100);
    char *n = new char[100];
    const char *byMalloc = ServedBy(m);
    const char *byNew = ServedBy(n);
    delete[] n;
    free(m);
    g_alloc = byMalloc;
    if (strcmp(byMalloc, byNew) != 0) {
        fprintf(stderr, "%s: malloc is served by %s but operator new by %s\n", prog, byMalloc, byNew);
        *status = 3;
        return 0;
    }
    if (g_opt.expect && strcmp(g_opt.expect, g_alloc) != 0) {
        fprintf(stderr, "%s: expected allocator %s, but %s served\n", prog, g_opt.expect, g_alloc);
        *status = 3;
        return 0;
    }
    g_baseKb = PeakKb();
    return 1;
}

/* 1 when the case of that name is to run (and prints it for --list). */
inline int Want(const char *name) {
    if (g_opt.list) {
        printf("%s\n", name);
        return 0;
    }
    return !g_opt.onlyCase || !strcmp(g_opt.onlyCase, name);
}

/* One measurement: "result prog=.. case=.. alloc=.. metric=.. value=..
   peak_kb=.. base_kb=..". metric is ns_per_op (lower is better) or ops_per_s
   (higher is better). The peak belongs to the process so far; base_kb is the
   peak when the program started measuring. A few programs report other
   metrics: kb (memory, lower is better) and instr_per_op (instructions,
   lower is better). */
inline void Report(const char *caseName, const char *metric, double value) {
    printf("result prog=%s case=%s alloc=%s metric=%s value=%.3f peak_kb=%llu base_kb=%llu\n", g_prog,
           caseName, g_alloc, metric, value, (unsigned long long)PeakKb(), (unsigned long long)g_baseKb);
    fflush(stdout);
}

/* A broken result (lost or overwritten data, a null block) fails the
   program, so the smoke passes under CTest check the allocator too. */
inline void Check(int ok, const char *what) {
    if (!ok) {
        if (g_failures < 10)
            fprintf(stderr, "%s: check failed: %s\n", g_prog, what);
        ++g_failures;
    }
}

inline int Finish() {
    if (g_failures) {
        fprintf(stderr, "%s: %d check(s) failed\n", g_prog, g_failures);
        return 1;
    }
    return 0;
}

/* Scales a full-pass count down for the smoke pass. */
inline uint32_t Count(uint32_t full, uint32_t smoke) { return g_opt.smoke ? smoke : full; }

/* The same, with a full pass of its own for Windows: where the runtime's
   allocator under Wine is many times slower than any Linux one, the full
   Linux count would make one measurement last many seconds. */
inline uint32_t Count(uint32_t linuxFull, uint32_t windowsFull, uint32_t smoke) {
#if defined(_WIN32)
    (void)linuxFull;
    return g_opt.smoke ? smoke : windowsFull;
#else
    (void)windowsFull;
    return g_opt.smoke ? smoke : linuxFull;
#endif
}

} // namespace vrb

#endif
