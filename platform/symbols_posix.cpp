/*
 * symbols_posix.cpp - the checking mode's needs on Linux: stack bounds from
 * the process's mappings, code names from the dynamic loader (dladdr) and,
 * for functions that are not exported, from the module's own ELF symbol
 * table, read from its file.
 */
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <signal.h>
#include <ucontext.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "symbols.h"

namespace {

__thread uintptr_t t_stackTop __attribute__((tls_model("initial-exec")));

uintptr_t ParseHex(const char *&s)
{
    uintptr_t v = 0;
    for (;; s++) {
        char c = *s;
        uint32_t d;
        if (c >= '0' && c <= '9') d = (uint32_t)(c - '0');
        else if (c >= 'a' && c <= 'f') d = (uint32_t)(c - 'a' + 10);
        else return v;
        v = v * 16 + d;
    }
}

/* Every line of /proc/self/maps as (start, end, the rest of the line
   after the range), read with plain system calls (the C library's stdio
   would allocate); the walk stops early when fn returns nonzero. */
template <class Fn>
void ForEachMapping(Fn fn)
{
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buf[4096];
    size_t have = 0;
    for (;;) {
        ssize_t n = read(fd, buf + have, sizeof buf - 1 - have);
        if (n <= 0) break;
        have += (size_t)n;
        buf[have] = 0;
        char *line = buf;
        char *nl;
        int stop = 0;
        while (!stop && (nl = strchr(line, '\n')) != 0) {
            *nl = 0;
            const char *s = line;
            uintptr_t start = ParseHex(s);
            if (*s == '-') s++;
            uintptr_t end = ParseHex(s);
            stop = fn(start, end, s);
            line = nl + 1;
        }
        if (stop) break;
        have = (size_t)(buf + have - line);
        memmove(buf, line, have);
    }
    close(fd);
}

/* The end of the mapping that holds `at`. */
uintptr_t MappingEnd(uintptr_t at)
{
    uintptr_t result = 0;
    ForEachMapping([&](uintptr_t start, uintptr_t end, const char *) {
        if (at >= start && at < end) result = end;
        return result != 0;
    });
    return result;
}

void Copy(char *to, size_t size, const char *from)
{
    size_t n = from ? strlen(from) : 0;
    if (n >= size) n = size - 1;
    if (n) memcpy(to, from, n);
    to[n] = 0;
}

const char *BaseName(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

/* The ELF symbol table of one module file, kept open between lookups: a
   report names many frames of the same few modules. */
struct VR_SymbolFile {
    char path[256];
    int fd;
    int isExecutable;       /* ET_EXEC: symbol values are absolute */
    uint32_t symOffset, symCount, strOffset, strSize;
};
VR_SymbolFile s_symbols = {{0}, -1, 0, 0, 0, 0, 0};

int OpenSymbols(const char *path)
{
    if (s_symbols.fd >= 0 && strcmp(s_symbols.path, path) == 0) return s_symbols.symCount != 0;
    if (s_symbols.fd >= 0) close(s_symbols.fd);
    s_symbols.fd = -1;
    s_symbols.symCount = 0;
    Copy(s_symbols.path, sizeof s_symbols.path, path);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    s_symbols.fd = fd;
    Elf32_Ehdr eh;
    if (pread(fd, &eh, sizeof eh, 0) != (ssize_t)sizeof eh || memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
        eh.e_ident[EI_CLASS] != ELFCLASS32 || eh.e_shentsize != sizeof(Elf32_Shdr))
        return 0;
    s_symbols.isExecutable = eh.e_type == ET_EXEC;
    for (uint32_t i = 0; i < eh.e_shnum; i++) {
        Elf32_Shdr sh;
        if (pread(fd, &sh, sizeof sh, eh.e_shoff + i * sizeof sh) != (ssize_t)sizeof sh) return 0;
        if (sh.sh_type != SHT_SYMTAB || sh.sh_entsize != sizeof(Elf32_Sym)) continue;
        Elf32_Shdr strings;
        if (pread(fd, &strings, sizeof strings, eh.e_shoff + sh.sh_link * sizeof strings) != (ssize_t)sizeof strings)
            return 0;
        s_symbols.symOffset = sh.sh_offset;
        s_symbols.symCount = sh.sh_size / sizeof(Elf32_Sym);
        s_symbols.strOffset = strings.sh_offset;
        s_symbols.strSize = strings.sh_size;
        return 1;
    }
    return 0;
}

/* The function of the module's symbol table that holds address. */
int FindInSymbolTable(const char *path, uintptr_t base, uintptr_t address, char *name, size_t size, uintptr_t *offset)
{
    if (!OpenSymbols(path)) return 0;
    uintptr_t want = s_symbols.isExecutable ? address : address - base;
    Elf32_Sym chunk[128];
    uint32_t best = 0, bestName = 0;
    uintptr_t bestValue = 0;
    for (uint32_t i = 0; i < s_symbols.symCount; i += 128) {
        uint32_t n = s_symbols.symCount - i < 128 ? s_symbols.symCount - i : 128;
        if (pread(s_symbols.fd, chunk, n * sizeof(Elf32_Sym), s_symbols.symOffset + i * sizeof(Elf32_Sym)) !=
            (ssize_t)(n * sizeof(Elf32_Sym)))
            return 0;
        for (uint32_t j = 0; j < n; j++) {
            const Elf32_Sym &s = chunk[j];
            if (ELF32_ST_TYPE(s.st_info) != STT_FUNC || s.st_value == 0) continue;
            if (want >= s.st_value && want - s.st_value < (s.st_size ? s.st_size : 1)) {
                best = 1;
                bestName = s.st_name;
                bestValue = s.st_value;
            }
        }
    }
    if (!best || bestName >= s_symbols.strSize) return 0;
    size_t length = s_symbols.strSize - bestName < size - 1 ? s_symbols.strSize - bestName : size - 1;
    ssize_t got = pread(s_symbols.fd, name, length, s_symbols.strOffset + bestName);
    if (got <= 0) return 0;
    name[got] = 0;
    name[strnlen(name, (size_t)got)] = 0;
    *offset = want - bestValue;
    return 1;
}

} // namespace

void vr_os::PrepareSymbols()
{
}

uintptr_t vr_os::ThreadStackTop()
{
    uintptr_t top = t_stackTop;
    if (top) return top;
    volatile char here = 0;
    top = MappingEnd((uintptr_t)&here);
    t_stackTop = top;
    return top;
}

int vr_os::DescribeCode(uintptr_t address, CodePlace *place)
{
    place->module[0] = place->function[0] = place->file[0] = 0;
    place->moduleOffset = place->functionOffset = 0;
    place->line = 0;
    Dl_info info;
    if (!dladdr((void *)address, &info) || !info.dli_fbase) return 0;
    const char *path = info.dli_fname && *info.dli_fname ? info.dli_fname : 0;
    char self[256];
    if (!path) {
        /* The program itself, which the loader names by nothing. */
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        self[n > 0 ? n : 0] = 0;
        path = self;
    }
    Copy(place->module, sizeof place->module, BaseName(path));
    place->moduleOffset = address - (uintptr_t)info.dli_fbase;
    if (info.dli_sname && info.dli_saddr) {
        Copy(place->function, sizeof place->function, info.dli_sname);
        place->functionOffset = address - (uintptr_t)info.dli_saddr;
    } else {
        FindInSymbolTable(path, (uintptr_t)info.dli_fbase, address, place->function, sizeof place->function,
                          &place->functionOffset);
    }
    return 1;
}

namespace {

/* How many of the pages from start can be read, asked page by page of the
   system, which answers a fault with an error instead of a signal. 0 when
   it does not answer. */
uintptr_t ProbedLength(uintptr_t start, uintptr_t end)
{
    uintptr_t a = start;
    for (; a < end; a += 4096) {
        uint32_t word;
        struct iovec here = {&word, sizeof word}, there = {(void *)a, sizeof word};
        if (process_vm_readv(getpid(), &here, 1, &there, 1, 0) != (ssize_t)sizeof word) break;
    }
    return a - start;
}

/* How far from its start a mapping of a file may be read: the pages that
   hold the file's bytes from the mapping's offset on. A page past the
   file's end faults (SIGBUS) even in a private mapping, and was never
   written (a write there faults too). s: the maps line after the range,
   " rw-p OFFSET DEV INODE PATH". A file that cannot be asked (deleted, or
   another file now at its path) is probed; no file: the whole length. */
uintptr_t ReadableLength(uintptr_t start, uintptr_t end, const char *s)
{
    s += 6;
    uint64_t offset = ParseHex(s);
    while (*s == ' ') s++;
    while (*s && *s != ' ') s++;   /* the device */
    while (*s == ' ') s++;
    unsigned long long inode = 0;
    for (; *s >= '0' && *s <= '9'; s++) inode = inode * 10 + (unsigned)(*s - '0');
    while (*s == ' ') s++;
    if (!inode) return end - start;
    struct stat st;
    if (*s != '/' || strstr(s, " (deleted)") || stat(s, &st) != 0 || (unsigned long long)st.st_ino != inode)
        return ProbedLength(start, end);
    if ((uint64_t)st.st_size <= offset) return 0;
    uint64_t bytes = ((uint64_t)st.st_size - offset + 4095) & ~(uint64_t)4095;
    return bytes < end - start ? (uintptr_t)bytes : end - start;
}

} // namespace

void vr_os::ForEachWritableRange(void (*fn)(uintptr_t start, uintptr_t end, void *context), void *context)
{
    ForEachMapping([&](uintptr_t start, uintptr_t end, const char *s) {
        /* "rw-p": readable, writable and private; a shared mapping is
           another process's memory too, and a device's may not be memory.
           A file's mapping is read only as far as the file reaches. */
        if (s[0] == ' ' && s[1] == 'r' && s[2] == 'w' && s[4] == 'p' && !strstr(s, " /dev/")) {
            uintptr_t length = ReadableLength(start, end, s);
            if (length) fn(start, start + length, context);
        }
        return 0;
    });
}

void *vr_os::FindProgramFunction(const char *)
{
    return 0;
}

int vr_os::IsLoaderCode(uintptr_t address)
{
    Dl_info info;
    if (!dladdr((void *)address, &info) || !info.dli_fname) return 0;
    return strncmp(BaseName(info.dli_fname), "ld-linux", 8) == 0;
}

int vr_os::IsInModuleImage(const void *p)
{
    Dl_info info;
    return dladdr(p, &info) && info.dli_fbase != 0;
}

intptr_t vr_os::AppendOutputFile(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return fd < 0 ? -1 : (intptr_t)fd;
}

uint32_t vr_os::ProcessId()
{
    return (uint32_t)getpid();
}

int vr_os::SetEnvironment(const char *name, const char *value)
{
    return setenv(name, value, 1) == 0;
}

void *vr_os::FindModuleExport(const char *module, const char *name)
{
    void *handle = dlopen(module, RTLD_LAZY | RTLD_NOLOAD);
    return handle ? dlsym(handle, name) : 0;
}

namespace {

void (*s_onFault)(const vr_os::AccessFault &);
struct sigaction s_oldSegv, s_oldBus;

void FaultSignal(int sig, siginfo_t *info, void *context)
{
    /* The earlier actions go back first: a fault inside onFault, or the
       access repeated after it, goes where it would have gone. */
    sigaction(SIGSEGV, &s_oldSegv, 0);
    sigaction(SIGBUS, &s_oldBus, 0);
    vr_os::AccessFault f = {(uintptr_t)info->si_addr, -1, 0, 0};
#if defined(__i386__)
    const ucontext_t *uc = (const ucontext_t *)context;
    f.pc = (uintptr_t)uc->uc_mcontext.gregs[REG_EIP];
    f.frame = (uintptr_t)uc->uc_mcontext.gregs[REG_EBP];
    /* The page-fault error code: bit 1 set for a write. */
    if (sig == SIGSEGV) f.write = (uc->uc_mcontext.gregs[REG_ERR] & 2) ? 1 : 0;
#else
    (void)context;
#endif
    if (s_onFault) s_onFault(f);
    /* Returning repeats the access, which now meets the earlier action. A
       signal sent rather than raised by an access would not come again: it
       is raised anew. */
    if (info->si_code <= 0) raise(sig);
}

} // namespace

int vr_os::WatchAccessFaults(void (*onFault)(const AccessFault &fault))
{
    s_onFault = onFault;
    struct sigaction a;
    memset(&a, 0, sizeof a);
    a.sa_sigaction = &FaultSignal;
    a.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&a.sa_mask);
    return sigaction(SIGSEGV, &a, &s_oldSegv) == 0 && sigaction(SIGBUS, &a, &s_oldBus) == 0;
}
