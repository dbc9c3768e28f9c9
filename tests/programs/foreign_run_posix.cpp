/*
 * foreign_run_posix.cpp - realloc of a foreign block copies the whole run
 * of readable pages it asks for, also where the system keeps that run as
 * two adjacent mappings (as the C library's heap is in a forked child),
 * and stops where the protection changes.
 */
#include "hook_common.h"

/* Whether /proc/self/maps has a mapping that ends exactly at a. */
static int MappingEndsAt(uintptr_t a)
{
    FILE *f = fopen("/proc/self/maps", "r");
    if (!f) return 0;
    unsigned long start, end;
    int found = 0;
    char rest[512];
    while (fscanf(f, "%lx-%lx", &start, &end) == 2) {
        if (end == a) found = 1;
        if (!fgets(rest, sizeof rest, f)) break;
    }
    fclose(f);
    return found;
}

static void Fill(uint8_t *p, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++) p[i] = (uint8_t)(i * 13 + 5);
}

static int Holds(const uint8_t *copy, uint32_t from, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++)
        if (copy[i] != (uint8_t)((from + i) * 13 + 5)) return 0;
    return 1;
}

/* Two mappings of two pages each, side by side, with secondProt on the
   second, and an inaccessible page after them. */
static uint8_t *TwoMappings(uint32_t page, int secondProt)
{
    uint8_t *base = (uint8_t *)mmap(0, 5 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return 0;
    /* MAP_NORESERVE on the second keeps the system from merging the two
       into one mapping even where their protections agree. */
    if (mmap(base, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED ||
        mmap(base + 2 * page, 2 * page, PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0) == MAP_FAILED)
        return 0;
    Fill(base, 4 * page);
    mprotect(base + 2 * page, 2 * page, secondProt);
    return base;
}

int main()
{
    Runtime rt;
    uint32_t page = (uint32_t)sysconf(_SC_PAGESIZE);

    /* Equal protection: the run goes on into the second mapping, so the
       copy takes every byte up to its end. */
    uint8_t *base = TwoMappings(page, PROT_READ | PROT_WRITE);
    CHECK(base != 0);
    if (!base) return Finish("foreign_run_posix");
    CHECK(MappingEndsAt((uintptr_t)base + 2 * page));
    uint32_t offset = 1000, available = 4 * page - offset;
    uint8_t *copy = (uint8_t *)rt.realloc(base + offset, available);
    CHECK(copy != 0 && IsDynamicMemory(copy));
    if (copy) CHECK(Holds(copy, offset, available));
    rt.free(copy);
    /* Asking for more than the run copies the run and nothing beyond it
       (the page after it is inaccessible). */
    copy = (uint8_t *)rt.realloc(base + offset, available + 3 * page);
    CHECK(copy != 0);
    if (copy) CHECK(Holds(copy, offset, available));
    rt.free(copy);
    CHECK(Holds(base, 0, 4 * page));   /* the foreign block is left as it was */

    /* Another protection behind the first mapping ends the run there; the
       inaccessible second mapping would fault if the copy went on. */
    uint8_t *other = TwoMappings(page, PROT_NONE);
    CHECK(other != 0);
    if (other) {
        copy = (uint8_t *)rt.realloc(other + offset, 3 * page);
        CHECK(copy != 0);
        if (copy) CHECK(Holds(copy, offset, 2 * page - offset));
        rt.free(copy);
    }
    CHECK(DefaultHeap.Validate() == 0);
    return Finish("foreign_run_posix");
}
