/*
 * runtime_win32.cpp - the runtime half of the Windows backend: the C
 * runtimes' allocation entry points and how to patch them, pinning the
 * library once it has patched them, its standard new
 * handler, the library's one thread slot, the message display, the guard that
 * turns structured exceptions into a null result, and the library's entry
 * routine. Nothing here allocates: these functions run inside the runtime
 * hooks and before the heaps exist.
 */
#include <windows.h>

#include "os_output.h"
#include "os_runtime.h"
#include "os_thread.h"

namespace {

/* Export names of the runtime entries, in the order of vr_os::RuntimeEntry. */
const char *const kEntryNames[vr_os::kEntryCount] = {
    "malloc", "calloc", "free", "realloc", "_msize", "??2@YAPAXI@Z", "??3@YAXPAX@Z",
};

/* Module names of the runtime slots, each with its debug build where the
   library takes that one too. Slot 0 is the shared system runtime. */
const char *const kRuntimeNames[vr_os::kMaxRuntimes][2] = {
    {"msvcrt", "msvcrtd"}, {"ucrtbase", 0}, {"msvcr70", 0},  {"msvcr71", 0},  {"msvcr80", 0},
    {"msvcr90", 0},        {"msvcr100", 0}, {"msvcr110", 0}, {"msvcr120", 0},
};

/* A runtime as already loaded in the process. Never loads it: a process
   without it simply has nothing to intercept there. */
HMODULE RuntimeModule(int runtime = 0)
{
    if (runtime < 0 || runtime >= vr_os::kMaxRuntimes) return 0;
    HMODULE m = GetModuleHandleA(kRuntimeNames[runtime][0]);
    if (!m && kRuntimeNames[runtime][1]) m = GetModuleHandleA(kRuntimeNames[runtime][1]);
    return m;
}

/* The slot's index, which is known from then on; a direct one's TEB
   offset is published after it (the same by every thread that gets here). */
DWORD KnownIndex(int slot, DWORD index)
{
    if (index < vr_os::kTebDirectSlots) vr_os::s_threadSlotTebOffset[slot] = vr_os::kTebTlsSlots + index * 4;
    return index;
}

DWORD TlsIndex(int slot)
{
    LONG v = vr_os::s_threadSlotIndexPlusOne[slot];
    if (v) return KnownIndex(slot, (DWORD)(v - 1));
    DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) return TLS_OUT_OF_INDEXES;
    LONG prior = InterlockedCompareExchange(&vr_os::s_threadSlotIndexPlusOne[slot], (LONG)index + 1, 0);
    if (prior != 0) {
        /* Another thread created the slot first; keep one slot per process. */
        TlsFree(index);
        return KnownIndex(slot, (DWORD)(prior - 1));
    }
    return KnownIndex(slot, index);
}

void (*volatile s_threadExitHandler)(void *);

void (*volatile s_messageSink)(const char *, const char *, uint32_t);

} // namespace

static int RunCxxNewHandler(int *result);

void *vr_os::FindRuntimeEntry(int runtime, int entry)
{
    if (entry < 0 || entry >= kEntryCount) return 0;
    return FindRuntimeExport(runtime, kEntryNames[entry]);
}

int vr_os::RuntimeLoaded(int runtime)
{
    return RuntimeModule(runtime) ? 1 : 0;
}

void *vr_os::FindRuntimeExport(int runtime, const char *name)
{
    HMODULE m = RuntimeModule(runtime);
    if (!m) return 0;
    return (void *)GetProcAddress(m, name);
}

int vr_os::PinLibrary()
{
    HMODULE self;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              (LPCWSTR)(void *)&vr_os::PinLibrary, &self)
               ? 1
               : 0;
}

uint32_t vr_os::SystemPageSize()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

int vr_os::MakeCodeWritable(void *first, uint32_t length)
{
    DWORD old;
    return VirtualProtect(first, length, PAGE_EXECUTE_READWRITE, &old) ? 1 : 0;
}

int vr_os::RunStandardNewHandler(uint32_t size, int *result)
{
    /* The runtime's handler is read by swapping it out and straight back in:
       the runtime offers no other way to read it. */
    typedef int(__cdecl * Handler)(size_t);
    typedef Handler(__cdecl * SetHandler)(Handler);
    HMODULE m = RuntimeModule();
    if (!m) return 0;
    /* msvcrt exports it under its C++ name; a plain export is taken too. */
    SetHandler set = (SetHandler)(void *)GetProcAddress(m, "?_set_new_handler@@YAP6AHI@ZP6AHI@Z@Z");
    if (!set) set = (SetHandler)(void *)GetProcAddress(m, "_set_new_handler");
    if (!set) return 0;
    Handler h = set(0);
    set(h);
    if (h) {
        *result = h(size);
        return 1;
    }
    return RunCxxNewHandler(result);
}

/* Each thread slot's TLS index plus one; 0 until the slot exists. Static
   zero storage, so it is valid before any constructor of the library has
   run. os_thread.h reads a direct slot inline through it. */
volatile long vr_os::s_threadSlotIndexPlusOne[vr_os::kSlotCount];
volatile uint32_t vr_os::s_threadSlotTebOffset[vr_os::kSlotCount];

void *vr_os::ThreadSlotGetSlow(int slot)
{
    DWORD index = TlsIndex(slot);
    if (index < kTebDirectSlots) {
        void *value;
        __asm__ volatile("movl %%fs:(%1), %0" : "=r"(value) : "r"(kTebTlsSlots + index * 4));
        return value;
    }
    if (index == TLS_OUT_OF_INDEXES) return 0;
    DWORD error = GetLastError();
    void *value = TlsGetValue(index);
    SetLastError(error);
    return value;
}

void vr_os::ThreadSlotSet(void *value, int slot)
{
    DWORD index = TlsIndex(slot);
    if (index == TLS_OUT_OF_INDEXES) return;
    DWORD error = GetLastError();
    TlsSetValue(index, value);
    SetLastError(error);
}

/* Thread detach notifications reach DllMain, which hands the cache slot's
   value over. */
int vr_os::SetThreadExitHandler(void (*fn)(void *value))
{
    s_threadExitHandler = fn;
    return 1;
}

void vr_os::ShowMessage(const char *text, const char *caption, uint32_t style)
{
    void (*sink)(const char *, const char *, uint32_t) = s_messageSink;
    if (sink) {
        sink(text, caption, style);
        return;
    }
    /* The message box is the one thing the library wants of the window
       system, and it is shown at most a few times in a process's life:
       user32 is loaded for it then, rather than imported by the library,
       which would map it and its dependencies into every process. */
    typedef int(WINAPI * MessageBoxFn)(HWND, LPCSTR, LPCSTR, UINT);
    HMODULE user32 = LoadLibraryA("user32.dll");
    MessageBoxFn show = user32 ? (MessageBoxFn)(void *)GetProcAddress(user32, "MessageBoxA") : 0;
    if (show) show(0, text, caption, style);
}

extern "C" void VR_SetMessageSink(void (*sink)(const char *text, const char *caption, uint32_t style))
{
    s_messageSink = sink;
}

/*
 * The guard. MinGW's C++ exceptions unwind with DWARF tables and never pass
 * through the system's structured-exception chain, so a structured exception
 * (an access violation, say) is caught by registering a frame of our own on
 * that chain (the list at fs:[0]). Its handler, on the first pass, unwinds
 * every frame registered above ours (RtlUnwind, which also leaves fs:[0]
 * pointing at our frame) and then jumps back into CallGuarded, which
 * unlinks the frame and reports failure.
 */
namespace {

struct VR_GuardFrame {
    EXCEPTION_REGISTRATION_RECORD record; /* must come first: fs:[0] points here */
    void *resume[5];                      /* __builtin_setjmp buffer */
};

const DWORD kUnwindFlags = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND;

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD *record, void *establisher, CONTEXT *, void *)
{
    if (record->ExceptionFlags & kUnwindFlags) return ExceptionContinueSearch;
    /* RtlUnwind does not preserve every callee-saved register on all
       systems; the frame's address is reloaded from memory after it. */
    VR_GuardFrame *volatile frame = (VR_GuardFrame *)establisher;
    RtlUnwind(establisher, 0, record, 0);
    __builtin_longjmp(frame->resume, 1);
}

inline EXCEPTION_REGISTRATION_RECORD *ChainHead()
{
    EXCEPTION_REGISTRATION_RECORD *head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

inline void SetChainHead(EXCEPTION_REGISTRATION_RECORD *head)
{
    __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

/* Thrown C++ exceptions end here, inside the registered frame, so that the
   frame is unlinked on every way out of CallGuarded. */
__attribute__((noinline)) int CallCatching(void *(*fn)(void *), void *context, void **result)
{
    try {
        *result = fn(context);
        return 1;
    } catch (...) {
        *result = 0;
        return 0;
    }
}

/* Whether one of our guards is registered on the calling thread's
   structured-exception chain, that is, whether a malloc, calloc or realloc
   hook is under way. */
int InsideGuard()
{
    for (EXCEPTION_REGISTRATION_RECORD *r = ChainHead(); r && r != (EXCEPTION_REGISTRATION_RECORD *)-1; r = r->Next)
        if (r->Handler == (PEXCEPTION_ROUTINE)GuardHandler) return 1;
    return 0;
}

} // namespace

/*
 * The handler a C++ program set with std::set_new_handler, when its C++
 * runtime is the shared one (the library carries its own copy, whose
 * handler no program can set), for operator new and the heaps' own
 * callers: malloc, calloc and realloc never run it, as the C++ runtime's
 * operator new runs it itself after malloc answers null.
 *
 * Such a handler throws bad_alloc. A program with the shared C++ runtime
 * also has the shared unwinder, with which the library's frames are
 * registered when it loads, and that unwinder carries the exception
 * through them to the program as long as none of them must be landed in:
 * a landing pad (a cleanup or a catch) would be entered through the
 * library's own copy of the unwinder's helpers, which were never set up
 * and end the process. So the frames on this path keep no cleanup, and a
 * guard's catch, which would be landed in, rules the handler out.
 */
static int RunCxxNewHandler(int *result)
{
    if (InsideGuard()) return 0;
    typedef void (*CxxHandler)();
    typedef CxxHandler (*GetCxxHandler)();
    HMODULE cxx = GetModuleHandleA("libstdc++-6.dll");
    GetCxxHandler get = cxx ? (GetCxxHandler)(void *)GetProcAddress(cxx, "_ZSt15get_new_handlerv") : 0;
    CxxHandler handler = get ? get() : 0;
    if (!handler) return 0;
    /* The library's frames are registered with the shared unwinder only
       when it was in the process as the library loaded. Where it came
       later, its exception could not pass them: no handler then, and the
       request fails with null instead of ending the process. */
    typedef const void *(*FindFde)(void *pc, void *bases[3]);
    HMODULE unwinder = GetModuleHandleA("libgcc_s_dw2-1.dll");
    FindFde find = unwinder ? (FindFde)(void *)GetProcAddress(unwinder, "_Unwind_Find_FDE") : 0;
    void *bases[3];
    if (!find || !find((void *)((uintptr_t)(void *)&RunCxxNewHandler + 1), bases)) return 0;
    handler();
    *result = 1;
    return 1;
}

__attribute__((noinline)) int vr_os::CallGuarded(void *(*fn)(void *context), void *context, void **result)
{
    VR_GuardFrame frame;
    frame.record.Next = ChainHead();
    frame.record.Handler = (PEXCEPTION_ROUTINE)GuardHandler;
    if (__builtin_setjmp(frame.resume)) {
        /* Back from the handler: RtlUnwind left our frame at the head. */
        SetChainHead(frame.record.Next);
        *result = 0;
        return 0;
    }
    SetChainHead(&frame.record);
    int ok = CallCatching(fn, context, result);
    SetChainHead(frame.record.Next);
    return ok;
}

/* The library's entry routine. The runtime startup code has already run the
   static initialisers (hooks first, then HeapForHeaps and DefaultHeap) when
   the attach notification arrives here. Thread notifications stay on: a
   thread that ends hands the blocks waiting in its cache back to their
   heap. */
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_THREAD_DETACH) {
        void (*handler)(void *) = s_threadExitHandler;
        if (handler && vr_os::s_threadSlotIndexPlusOne[vr_os::kSlotCache]) {
            void *value = vr_os::ThreadSlotGet(vr_os::kSlotCache);
            if (value) handler(value);
        }
    }
    return TRUE;
}
