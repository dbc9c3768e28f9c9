/*
 * runtime_posix.cpp - the runtime half of the POSIX backend. The C library
 * (malloc, calloc, free, realloc, and malloc_usable_size in the role of
 * _msize) and, when it is loaded, the C++ runtime (operator new(unsigned int)
 * and operator delete(void*)) stand for the shared runtime whose entry points
 * are patched. Also the runtime's standard new handler, the library's one
 * thread slot, and the message display on standard error (the catch-all
 * guard is a try/catch inline in os_runtime.h).
 * Nothing here allocates on its own; the dynamic loader may, which is why
 * the caller looks every entry up before it patches any.
 */
#include <dlfcn.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <new>

#include "os_output.h"
#include "os_runtime.h"
#include "os_thread.h"

namespace {

struct VR_EntryName {
    const char *module;
    const char *symbol;
};

/* In the order of vr_os::RuntimeEntry. */
const VR_EntryName kEntryNames[vr_os::kEntryCount] = {
    {"libc.so.6", "malloc"},
    {"libc.so.6", "calloc"},
    {"libc.so.6", "free"},
    {"libc.so.6", "realloc"},
    {"libc.so.6", "malloc_usable_size"},
    {"libstdc++.so.6", "_Znwj"},
    {"libstdc++.so.6", "_ZdlPv"},
};

void (*volatile s_messageSink)(const char *, const char *, uint32_t);

} // namespace

void *vr_os::FindRuntimeEntry(int runtime, int entry)
{
    if (runtime != 0 || entry < 0 || entry >= kEntryCount) return 0;
    /* RTLD_NOLOAD: only a module the process already has; the handle's
       reference is kept for life, as the module is never unloaded under
       patched entries anyway. */
    void *module = dlopen(kEntryNames[entry].module, RTLD_LAZY | RTLD_NOLOAD);
    if (!module) return 0;
    return dlsym(module, kEntryNames[entry].symbol);
}

uint32_t vr_os::SystemPageSize()
{
    long p = sysconf(_SC_PAGESIZE);
    return p > 0 ? (uint32_t)p : 4096;
}

namespace {

/* Pages already made writable. Nothing ever takes that back, and the C
   library's entries share a few pages, so most entries need no system call
   of their own. Written only by the installers, under the process lock. */
const uint32_t kWritableKept = 16;
uintptr_t s_writablePages[kWritableKept];
uint32_t s_writableCount;

int IsWritableAlready(uintptr_t page)
{
    for (uint32_t i = 0; i < s_writableCount; i++)
        if (s_writablePages[i] == page) return 1;
    return 0;
}

} // namespace

int vr_os::MakeCodeWritable(void *first, uint32_t length)
{
    uint32_t page = SystemPageSize();
    uintptr_t start = (uintptr_t)first;
    int known = 1;
    for (uintptr_t p = start; p - start < length; p += page) known &= IsWritableAlready(p);
    if (known) return 1;
    if (mprotect(first, length, PROT_READ | PROT_WRITE | PROT_EXEC) != 0) return 0;
    for (uintptr_t p = start; p - start < length; p += page)
        if (!IsWritableAlready(p) && s_writableCount < kWritableKept) s_writablePages[s_writableCount++] = p;
    return 1;
}

int vr_os::RunStandardNewHandler(uint32_t, int *result)
{
    std::new_handler h = std::get_new_handler();
    if (!h) return 0;
    h();
    *result = 1;
    return 1;
}

/* The thread's slots; os_thread.h reads and writes them inline. */
__thread void *vr_os::t_threadSlot[vr_os::kSlotCount] __attribute__((tls_model("initial-exec")));

namespace {
/* The thread-exit notification is a key whose destructor the thread
   library runs on every thread that ends with a non-null value under it;
   the value mirrors the cache slot. */
pthread_key_t s_exitKey;
int s_exitKeyReady = 0;
} // namespace

int vr_os::SetThreadExitHandler(void (*fn)(void *value))
{
    if (__atomic_load_n(&s_exitKeyReady, __ATOMIC_ACQUIRE)) return 1;
    if (pthread_key_create(&s_exitKey, fn) != 0) return 0;
    __atomic_store_n(&s_exitKeyReady, 1, __ATOMIC_RELEASE);
    return 1;
}

void vr_os::NoteCacheSlot(void *value)
{
    /* The thread library's own table of values has room for the first keys
       of a process in every thread, so this does not allocate. */
    if (__atomic_load_n(&s_exitKeyReady, __ATOMIC_ACQUIRE)) pthread_setspecific(s_exitKey, value);
}

void vr_os::ShowMessage(const char *text, const char *caption, uint32_t style)
{
    void (*sink)(const char *, const char *, uint32_t) = s_messageSink;
    if (sink) {
        sink(text, caption, style);
        return;
    }
    WriteStandardError(caption);
    WriteStandardError(": ");
    WriteStandardError(text);
    WriteStandardError("\n");
}

extern "C" void VR_SetMessageSink(void (*sink)(const char *text, const char *caption, uint32_t style))
{
    s_messageSink = sink;
}

int vr_os::RuntimeLoaded(int runtime)
{
    return runtime == 0;
}

void *vr_os::FindRuntimeExport(int runtime, const char *name)
{
    if (runtime != 0) return 0;
    void *module = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    return module ? dlsym(module, name) : 0;
}

int vr_os::PinLibrary()
{
    /* Opening the library's own file again with RTLD_NODELETE marks it as
       never to be unloaded, whoever closes it later. */
    Dl_info info;
    if (!dladdr((void *)&vr_os::PinLibrary, &info) || !info.dli_fname) return 0;
    return dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE) ? 1 : 0;
}
