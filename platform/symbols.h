/*
 * symbols.h - what the checking mode needs from the system: the calling
 * thread's stack bounds (for walking its frames), the name of the code at
 * an address, a report file that several processes may append to, the
 * process id, the writable memory of the process (where the pointers to
 * live blocks are), and exports of modules by name.
 *
 * None of these allocates from the C runtime except where said; all may be
 * called from inside the runtime hooks.
 */
#ifndef VR_SYMBOLS_H
#define VR_SYMBOLS_H

#include <stdint.h>

namespace vr_os {

/* The first address above the calling thread's stack. Cheap after the
   thread's first call (Linux reads the mappings once per thread). 0 when
   unknown: no frame is then followed beyond the first. */
uintptr_t ThreadStackTop();

/* What is known of a code address. Strings are terminated and cut to fit;
   empty when unknown. */
struct CodePlace {
    char module[96];          /* the module's file name, without its folder */
    uintptr_t moduleOffset;   /* address - the module's load address */
    char function[160];       /* the function holding the address */
    uintptr_t functionOffset; /* address - the function's start */
    char file[160];           /* source file (where the system can tell), without its folder */
    uint32_t line;            /* 0 when unknown */
};
/* Loads what DescribeCode will need, at a moment when loading a module is
   safe (the process's start, not its exit, when the loader may be busy
   unloading). */
void PrepareSymbols();
/* Fills *place for the code at address; 0 when no module holds it. May
   load the system's symbol services on first use (Windows: DbgHelp). */
int DescribeCode(uintptr_t address, CodePlace *place);

/* 1 when address is code of the system's program loader: the blocks it
   allocates (module records, the thread-local storage of threads whose
   stacks it keeps for reuse) are its own until the process ends. */
int IsLoaderCode(uintptr_t address);

/* The address of function `name` (as the source spells it) in the
   program's own image, from the symbol table its linker kept there; null
   when there is none or it does not name it. Windows only (elsewhere the
   dynamic symbols serve): a program that links its C++ runtime statically
   has its operator new there. */
void *FindProgramFunction(const char *name);

/* 1 when p lies in the image of a loaded module (its code or static data). */
int IsInModuleImage(const void *p);

/* Calls fn for every run of committed, writable, private pages of the
   process: the data of its modules, the stacks of its threads, the heaps
   of every allocator in it. fn must not map or unmap memory. */
void ForEachWritableRange(void (*fn)(uintptr_t start, uintptr_t end, void *context), void *context);

/* Opens path for appending (created when missing); -1 on failure. Every
   write lands at the end, so processes sharing the file do not overwrite
   each other. */
intptr_t AppendOutputFile(const char *path);

uint32_t ProcessId();

/* Sets an environment variable of the process (inherited by the programs
   it starts); 1 on success. May allocate. */
int SetEnvironment(const char *name, const char *value);

/* The export name of module (a file name such as "libstdc++.so.6"), when
   that module is loaded; null otherwise. Never loads a module. */
void *FindModuleExport(const char *module, const char *name);

/* What a faulting access tells: the address it touched, whether it wrote,
   and the faulting instruction with the frame pointer of its function (for
   the call stack). */
struct AccessFault {
    uintptr_t address;
    int write;      /* 1 write, 0 read, -1 unknown */
    uintptr_t pc;
    uintptr_t frame;
};
/* Calls onFault on the faulting thread for every access to memory that
   faults (Windows: a vectored handler of access violations; Linux: a
   handler of SIGSEGV and SIGBUS), before anything else sees the fault. The
   fault then goes on as it would have without the watch: Windows continues
   the search for a handler; Linux puts back the action that was there
   before and returns, so the access faults again into it (by default the
   process dies). 1 when the watch is in place. */
int WatchAccessFaults(void (*onFault)(const AccessFault &fault));

} // namespace vr_os

#endif
