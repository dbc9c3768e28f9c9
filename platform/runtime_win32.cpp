/*
 * runtime_win32.cpp - the runtime half of the Windows backend: the shared C
 * runtime's allocation entry points and how to patch them, its standard new
 * handler, the library's one thread slot, the message display, the guard that
 * turns structured exceptions into a null result, and the library's entry
 * routine. Nothing here allocates: these functions run inside the runtime
 * hooks and before the heaps exist.
 */
#include <windows.h>

#include "platform.h"

namespace {

/* Export names of the runtime entries, in the order of vr_os::RuntimeEntry. */
const char *const kEntryNames[vr_os::kEntryCount] = {
    "malloc", "calloc", "free", "realloc", "_msize", "??2@YAPAXI@Z", "??3@YAXPAX@Z",
};

/* The shared runtime, as already loaded in the process. Never loads it: a
   process without it simply has nothing to intercept. */
HMODULE RuntimeModule()
{
    HMODULE m = GetModuleHandleA("msvcrt");
    if (!m) m = GetModuleHandleA("msvcrtd");
    return m;
}

DWORD TlsIndex(int slot)
{
    LONG v = vr_os::s_threadSlotIndexPlusOne[slot];
    if (v) return (DWORD)(v - 1);
    DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) return TLS_OUT_OF_INDEXES;
    LONG prior = InterlockedCompareExchange(&vr_os::s_threadSlotIndexPlusOne[slot], (LONG)index + 1, 0);
    if (prior != 0) {
        /* Another thread created the slot first; keep one slot per process. */
        TlsFree(index);
        return (DWORD)(prior - 1);
    }
    return index;
}

void (*volatile s_threadExitHandler)(void *);

void (*volatile s_messageSink)(const char *, const char *, uint32_t);

} // namespace

void *vr_os::FindRuntimeEntry(int entry)
{
    if (entry < 0 || entry >= kEntryCount) return 0;
    HMODULE m = RuntimeModule();
    if (!m) return 0;
    return (void *)GetProcAddress(m, kEntryNames[entry]);
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
    if (!h) return 0;
    *result = h(size);
    return 1;
}

/* Each thread slot's TLS index plus one; 0 until the slot exists. Static
   zero storage, so it is valid before any constructor of the library has
   run. platform.h reads a direct slot inline through it. */
volatile long vr_os::s_threadSlotIndexPlusOne[vr_os::kSlotCount];

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
    MessageBoxA(0, text, caption, style);
}

extern "C" VR_API void VR_SetMessageSink(void (*sink)(const char *text, const char *caption, uint32_t style))
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

} // namespace

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
