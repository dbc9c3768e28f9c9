/*
 * run_posix.cpp - vorrel-run on Linux: runs a program with libvorrel.so
 * preloaded by the dynamic loader, so the library's hooks are in place
 * before any of the program's own code runs.
 *
 * The loader only warns and carries on when a preloaded library cannot be
 * loaded, and it cannot preload into a program of the other word size or
 * into a statically linked one. So everything that would make the preload
 * fail silently is checked here first: the program is found and read (a
 * 32-bit x86 ELF executable with a dynamic loader), and the library is
 * loaded once into this process (a 32-bit program too) before the program
 * replaces it. The program then inherits this process: its arguments,
 * standard streams and exit code are its own.
 *
 * The library takes itself out of LD_PRELOAD again when it finds
 * VORREL_RUN_PRELOAD set, so programs started by the program run with
 * their usual allocator.
 */
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "run_options.h"

#ifndef VR_RUN_LIBDIR
#define VR_RUN_LIBDIR "../lib"
#endif

namespace {


std::string DirOfSelf()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = 0;
    std::string s(buf);
    size_t slash = s.rfind('/');
    return slash == std::string::npos ? "." : s.substr(0, slash);
}

int IsRegularExecutable(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

/* The file execvp would run for name; empty when there is none. */
std::string FindProgram(const char *name)
{
    if (strchr(name, '/')) return access(name, F_OK) == 0 ? name : "";
    if (!*name) return "";
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (IsRegularExecutable(candidate)) return candidate;
        if (colon == std::string::npos) return "";
        start = colon + 1;
    }
}

/* Empty when the file is a 32-bit x86 ELF executable that the dynamic
   loader starts; otherwise why not. */
std::string CheckElf(const std::string &path, int wantSharedObject)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string("cannot read ") + path + ": " + strerror(errno);
    unsigned char ident[EI_NIDENT] = {0};
    Elf32_Ehdr eh;
    ssize_t n = pread(fd, ident, sizeof ident, 0);
    std::string problem;
    if (n < (ssize_t)sizeof ident || memcmp(ident, ELFMAG, SELFMAG) != 0) {
        problem = path + " is not an ELF program (Vorrel runs 32-bit x86 programs; for a script, run its interpreter with vorrel-run)";
    } else if (ident[EI_CLASS] == ELFCLASS64) {
        problem = path + (wantSharedObject ? " is a 64-bit library; Vorrel's is a 32-bit one"
                                           : " is a 64-bit program; Vorrel serves 32-bit programs only");
    } else if (ident[EI_CLASS] != ELFCLASS32 || pread(fd, &eh, sizeof eh, 0) != (ssize_t)sizeof eh) {
        problem = path + " is not a valid 32-bit ELF file";
    } else if (eh.e_machine != EM_386) {
        problem = path + " is not an x86 program (machine " + std::to_string(eh.e_machine) + ")";
    } else if (wantSharedObject && eh.e_type != ET_DYN) {
        problem = path + " is not a shared library";
    } else if (!wantSharedObject) {
        /* Preloading is the dynamic loader's work: a program without an
           interpreter never sees it. */
        int dynamic = 0;
        for (unsigned i = 0; i < eh.e_phnum && !dynamic; i++) {
            Elf32_Phdr ph;
            if (pread(fd, &ph, sizeof ph, eh.e_phoff + (off_t)i * eh.e_phentsize) != (ssize_t)sizeof ph) break;
            if (ph.p_type == PT_INTERP) dynamic = 1;
        }
        if (!dynamic) problem = path + " is statically linked: its allocator cannot be replaced from outside";
    }
    close(fd);
    return problem;
}

/* Opens (creating it if need be) a file the library will write at exit,
   so an unwritable path is reported now rather than lost at the end. */
std::string CheckWritable(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return std::string("cannot write ") + path + ": " + strerror(errno);
    close(fd);
    return "";
}

/* path as an absolute one, so that the program, which may change its
   working folder before it exits, writes where the user meant. */
std::string Absolute(const char *path)
{
    if (path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

} // namespace

int main(int argc, char **argv)
{
    VR_RunOptions o = ParseRunOptions(argc, argv);
    int answer = AnswerRunOptions(o);
    if (answer >= 0) return answer;

    const char *name = argv[o.programIndex];
    std::string program = FindProgram(name);
    if (program.empty()) return Fail(kExitNotFound, std::string("cannot find program ") + name);
    if (!IsRegularExecutable(program))
        return Fail(kExitCannotRun, program + " is not an executable file");
    std::string problem = CheckElf(program, 0);
    if (!problem.empty()) return Fail(kExitCannotRun, problem);

    std::string library;
    if (o.library) {
        library = o.library;
    } else {
        std::string dir = DirOfSelf();
        library = dir + "/libvorrel.so";
        if (access(library.c_str(), F_OK) != 0) library = dir + "/" VR_RUN_LIBDIR "/libvorrel.so";
    }
    char resolved[PATH_MAX];
    if (!realpath(library.c_str(), resolved))
        return Fail(kExitOwnFailure, "cannot find the Vorrel library " + library + ": " + strerror(errno));
    library = resolved;
    if (library.find_first_of(": ") != std::string::npos)
        return Fail(kExitOwnFailure, "the library path " + library + " contains ':' or a space, which LD_PRELOAD cannot carry");
    problem = CheckElf(library, 1);
    if (!problem.empty()) return Fail(kExitOwnFailure, "cannot use the Vorrel library: " + problem);
    /* Loaded here once: what would stop the loader (a missing dependency,
       a broken file) stops us now, with its reason. This process is
       replaced by the program right after, so the library's work here
       ends with it. */
    void *loaded = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!loaded) return Fail(kExitOwnFailure, std::string("cannot load the Vorrel library: ") + dlerror());
    /* Any other library would load as well and leave the program unserved. */
    if (!dlsym(loaded, "VRHookMalloc") || !dlsym(loaded, "VRGetBlockSize"))
        return Fail(kExitOwnFailure, library + " is not the Vorrel library (it has no VRHookMalloc)");

    std::string stats = o.stats && strcmp(o.stats, "1") != 0 ? Absolute(o.stats) : o.stats ? "1" : "";
    std::string map = o.map ? Absolute(o.map) : "", report = o.checkReport ? Absolute(o.checkReport) : "";
    for (const std::string &out : {stats, map}) {
        if (out.empty() || out == "1") continue;
        problem = CheckWritable(out.c_str());
        if (!problem.empty()) return Fail(kExitUsage, problem);
    }
    if (!report.empty()) {
        /* Emptied now: the processes that share it append their findings. */
        int fd = open(report.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return Fail(kExitUsage, "cannot write " + report + ": " + strerror(errno));
        close(fd);
        setenv("VORREL_CHECK_REPORT", report.c_str(), 1);
    }
    if (o.stats) setenv("VORREL_STATS", stats.c_str(), 1);
    if (o.map) setenv("VORREL_MAP", map.c_str(), 1);
    if (o.check) setenv("VORREL_CHECK", o.check, 1);
    if (o.checkExitCode) setenv("VORREL_CHECK_EXITCODE", o.checkExitCode, 1);

    const char *old = getenv("LD_PRELOAD");
    std::string preload = library;
    if (old && *old) preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("VORREL_RUN_PRELOAD", library.c_str(), 1);

    execv(program.c_str(), argv + o.programIndex);
    return Fail(errno == ENOENT ? kExitNotFound : kExitCannotRun,
                "cannot run " + program + ": " + strerror(errno));
}
