/*
 * late_unload_win32.cpp - once loaded, the library cannot be unloaded: the
 * runtime's entries jump into it for the rest of the process. Loaded and
 * freed (more often than loaded), it stays, and malloc and free keep
 * working through it.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main()
{
    int failures = 0;
    HMODULE crt = GetModuleHandleA("msvcrt.dll");
    typedef void *(*Malloc)(size_t);
    typedef void (*Free)(void *);
    Malloc m = (Malloc)(void *)GetProcAddress(crt, "malloc");
    Free f = (Free)(void *)GetProcAddress(crt, "free");

    HMODULE vorrel = LoadLibraryA("vorrel.dll");
    if (!vorrel || ((uint8_t *)(void *)m)[0] != 0xE9) {
        fprintf(stderr, "late_unload: library not loaded or malloc not patched\n");
        return 1;
    }
    void *before = m(100);
    for (int i = 0; i < 3; i++) FreeLibrary(vorrel);
    if (GetModuleHandleA("vorrel.dll") != vorrel) {
        fprintf(stderr, "late_unload: the library was unloaded\n");
        failures++;
    }
    /* These calls jump into the library's code. */
    for (int i = 0; i < 1000; i++) {
        char *p = (char *)m(100 + i);
        if (!p) failures++;
        else memset(p, 1, 100 + i);
        f(p);
    }
    f(before);
    if (failures) fprintf(stderr, "late_unload: %d check(s) failed\n", failures);
    else printf("late_unload: ok\n");
    return failures ? 1 : 0;
}
