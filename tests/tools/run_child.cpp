/*
 * run_child.cpp - a program that knows nothing of Vorrel (it is built
 * without the library), for the vorrel-run test: it allocates through the
 * runtime, keeps a known number of blocks to the end, echoes its arguments
 * and the size of its standard input, says whether LD_PRELOAD reached it
 * unchanged, and exits with code 3. On the way it holds 40 MB for a while,
 * which the snapshot at the peak of committed memory must show. With the
 * argument "crash" it dies of a write through a null pointer instead of
 * exiting, blocks still kept.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

int main(int argc, char **argv)
{
    std::vector<void *> kept;
    for (int i = 0; i < 4000; i++) {
        void *p = malloc(16 + i % 900);
        if (!p) return 10;
        memset(p, i & 0xFF, 16);
        if (i % 2) kept.push_back(p);  /* 2000 blocks stay to the end */
        else free(p);
    }
    std::string *big = new std::string(300000, 'x');
    std::vector<char *> peak;
    for (int i = 0; i < 40; i++) peak.push_back(new char[1 << 20]);
    for (char *p : peak) delete[] p;
    if (argc > 1 && strcmp(argv[1], "crash") == 0) {
        fflush(stdout);
        *(volatile int *)(argc - 2) = 1;
    }
    for (int i = 1; i < argc; i++) printf("arg [%s]\n", argv[i]);
    size_t total = 0;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, stdin)) > 0) total += n;
    printf("stdin %u bytes\n", (unsigned)total);
    const char *preload = getenv("LD_PRELOAD");
    printf("LD_PRELOAD=%s\n", preload ? preload : "(unset)");
    printf("big %u\n", (unsigned)big->size());
    fflush(stdout);
    return 3;
}
