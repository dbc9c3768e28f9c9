/*
 * attack_exports.cpp - the library hands a program none of its state: the
 * link secrets, the functions that mangle a link with them, and the
 * tables of its page services are not to be had by name, whichever way a
 * program asks for a symbol.
 */
#include "attack.h"

#if defined(_WIN32)
#  include <windows.h>
static void *Find(const char *name) { return (void *)GetProcAddress(GetModuleHandleA("vorrel.dll"), name); }
#else
#  include <dlfcn.h>
static void *Find(const char *name) { return dlsym(RTLD_DEFAULT, name); }
#endif

int main()
{
    /* Loaded and serving: the public interface is there. */
    void *p = VRHookMalloc(40);
    ATTACK_CHECK(p && Find("VRHookMalloc"), "the public interface is not exported");
    VRHookFree(p);
    const char *secret[] = {
        "s_linkSecret", "s_linkCheck", "s_binCheck", "s_droppedLinks", "s_committedSteps", "s_regionKind",
        "s_regionMap", "_Z10FreeLinkAtPKvj", "_Z10FreeLinkAtPKvm", "_Z16DroppedFreeLinksv", "_Z14MakeLinkSecretv",
    };
    for (const char *name : secret) ATTACK_CHECK(Find(name) == 0, "%s is exported", name);
    printf("attack_exports: held\n");
    return 0;
}
