/* A C program that calls nothing of Vorrel: linked with the library, it is
   served by it all the same. It keeps 100 blocks at exit, which the
   statistics report then shows in DefaultHeap. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void)
{
    static char *kept[100];
    for (int i = 0; i < 100; i++) {
        kept[i] = malloc(24 + i);
        if (!kept[i]) return 1;
        memset(kept[i], i, 24 + i);
    }
    char *p = calloc(10, 1000);
    p = realloc(p, 50000);
    if (!p) return 1;
    free(p);
    printf("plain C program done\n");
    return 0;
}
