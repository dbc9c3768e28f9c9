/* The C interface, from C: vorrel.h compiles as C, and a heap, its blocks,
   the statistics and the snapshot work through the C names. Exits 0 when
   every check held. */
#include <stdio.h>
#include <string.h>

#include "vorrel.h"

static int failures;
#define CHECK(c) \
    do { \
        if (!(c)) { \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c); \
            failures++; \
        } \
    } while (0)

static void Blocks(void)
{
    vr_heap *heap = vr_heap_create(VR_HEAP_MULTITHREADED, "c heap");
    CHECK(heap != NULL);
    if (!heap) return;
    char *p = (char *)vr_heap_malloc(heap, 100);
    CHECK(p != NULL && vr_usable_size(p) >= 100);
    strcpy(p, "kept across realloc");
    p = (char *)vr_heap_realloc(heap, p, 5000);
    CHECK(p != NULL && strcmp(p, "kept across realloc") == 0);
    CHECK(vr_heap_realloc(heap, p, 0) == NULL); /* frees it */
    p = (char *)vr_heap_realloc(heap, NULL, 10); /* allocates */
    CHECK(p != NULL);
    vr_free(p);

    unsigned char *z = (unsigned char *)vr_heap_calloc(heap, 100, 7);
    int zero = z != NULL;
    for (int i = 0; z && i < 700; i++) zero &= z[i] == 0;
    CHECK(zero);
    vr_free(z);
    CHECK(vr_heap_calloc(heap, 0x10000, 0x10001) == NULL); /* overflows */

    void *a = vr_heap_aligned_alloc(heap, 256, 40);
    CHECK(a != NULL && ((size_t)a & 255) == 0);
    vr_free(a);
    CHECK(vr_heap_aligned_alloc(heap, 24, 40) == NULL); /* no power of two */

    for (int i = 0; i < 50; i++) CHECK(vr_heap_malloc(heap, 16 + i) != NULL);
    CHECK(vr_heap_validate(heap) == NULL);
    /* The statistics know the heap by its name. */
    static VR_HeapStats all[64];
    unsigned long count = vr_get_stats(NULL, all, 64), named = 0;
    for (unsigned long i = 0; i < count; i++)
        if (all[i].name && strcmp(all[i].name, "c heap") == 0 && all[i].blocksInUse >= 50) named++;
    CHECK(named == 1);
    vr_heap_clear(heap);
    CHECK(vr_heap_validate(heap) == NULL);
    vr_heap_destroy(heap);

    /* A null heap is the thread's default heap, which cannot be destroyed. */
    p = (char *)vr_heap_malloc(NULL, 30);
    CHECK(p != NULL);
    vr_heap_destroy(vr_default_heap());
    vr_heap_destroy(NULL);
    vr_free(p);
    CHECK(vr_heap_validate(vr_default_heap()) == NULL);
    vr_free(NULL);
}

static void Reports(const char *dir)
{
    CHECK(strcmp(vr_version(), VORREL_VERSION) == 0);
    void *kept = vr_heap_malloc(NULL, 64);
    VR_Stats stats;
    VR_HeapStats heaps[4];
    unsigned long n = vr_get_stats(&stats, heaps, 4);
    CHECK(n >= 2 && heaps[0].name && strcmp(heaps[0].name, "DefaultHeap") == 0);
    CHECK(heaps[0].blocksInUse >= 1 && stats.committedBytes > 0);
    char text[8192];
    unsigned long length = vr_format_stats(text, sizeof text);
    CHECK(length > 0 && length < sizeof text && strstr(text, "Vorrel statistics") != NULL);
    char path[1024];
    snprintf(path, sizeof path, "%s/c_api.map", dir);
    CHECK(vr_write_map(path) == 1);
    snprintf(path, sizeof path, "%s/no/such/dir/c_api.map", dir);
    CHECK(vr_write_map(path) == 0);
    CHECK(vr_write_map(NULL) == 0);
    vr_free(kept);
}

int main(int argc, char **argv)
{
    Blocks();
    Reports(argc > 1 ? argv[1] : ".");
    if (failures) fprintf(stderr, "c_api: %d check(s) failed\n", failures);
    return failures != 0;
}
