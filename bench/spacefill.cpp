/*
 * spacefill.cpp - how much of the address space a program that fills its
 * heap with small blocks gets to use: small blocks (16 to 256 bytes) are
 * allocated until the first request fails, and the program reports the
 * bytes live at that moment and the number of kernel mappings the process
 * holds then (each reservation, and each change of protection inside one,
 * can cost a mapping, and the kernel stops a process at vm.max_map_count
 * of them, under Wine as well).
 *
 * Reports (metric kb is used for both, as plain numbers):
 *   live_mb    bytes requested and live at the first failure, in MB
 *              (higher is better)
 *   mappings   (Linux) lines of /proc/self/maps at that moment (lower is
 *              better). Under Wine the program cannot read its own list
 *              (the file is opened by the server): with SPACEFILL_PAUSE=n
 *              in the environment it waits n seconds at the failure, after
 *              printing "spacefill: full", so that /proc/PID/maps of the
 *              process can be counted from outside.
 * --smoke stops after 8 MB and checks the blocks' contents instead.
 */
#include "bench.h"

#if !defined(_WIN32)
#  include <unistd.h>
#endif

using namespace vrb;

namespace {

/* Lines of the process's mapping list, or 0 when it cannot be read. */
unsigned long CountMappings() {
#if defined(_WIN32)
    return 0;
#else
    unsigned long lines = 0;
    char buf[4096];
    FILE *f = fopen("/proc/self/maps", "r");
    if (!f)
        return 0;
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0)
        for (size_t i = 0; i < got; ++i)
            lines += buf[i] == '\n';
    fclose(f);
    return lines;
#endif
}

/* Each block starts with the previous block's address and its own size, so
   the chain needs no memory of its own and frees itself at the end. */
struct Link {
    Link *prev;
    uint32_t size;
};

}  // namespace

int main(int argc, char **argv) {
    int status;
    if (!Start("spacefill", argc, argv, &status))
        return status;
    if (!Want("fill"))
        return 0;

    Rng rng(12345);
    uint64_t limit = g_opt.smoke ? 8ull << 20 : ~0ull;
    uint64_t live = 0, blocks = 0;
    Link *last = 0;
    while (live < limit) {
        uint32_t size = 16 + rng.Below(241);
        Link *b = (Link *)malloc(size);
        if (!b)
            break;
        b->prev = last;
        b->size = size;
        memset(b + 1, (int)(size & 0xFF), size - sizeof(Link));
        last = b;
        live += size;
        ++blocks;
    }
    unsigned long mappings = CountMappings();
    const char *pause = getenv("SPACEFILL_PAUSE");
    if (pause && !g_opt.smoke) {
        fprintf(stderr, "spacefill: full\n");
#if defined(_WIN32)
        Sleep((DWORD)atoi(pause) * 1000);
#else
        sleep((unsigned)atoi(pause));
#endif
    }
    if (!g_opt.smoke) {
        Report("live_mb", "kb", (double)live / 1048576.0);
        if (mappings)
            Report("mappings", "kb", (double)mappings);
        fprintf(stderr, "spacefill: %llu blocks, %.1f MB live, %lu mappings\n", (unsigned long long)blocks,
                (double)live / 1048576.0, mappings);
    }
    while (last) {
        Link *prev = last->prev;
        const unsigned char *bytes = (const unsigned char *)(last + 1);
        uint32_t n = last->size - (uint32_t)sizeof(Link);
        if (g_opt.smoke)
            for (uint32_t i = 0; i < n; ++i)
                if (bytes[i] != (last->size & 0xFF)) {
                    Check(0, "a block's contents changed");
                    break;
                }
        free(last);
        last = prev;
    }
    return Finish();
}
