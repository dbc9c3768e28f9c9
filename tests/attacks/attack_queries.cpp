/*
 * attack_queries.cpp - questions about pointers that are no block's start:
 * the size queries (the runtime's, VRGetBlockSize, GetBlockSize) answer 0
 * and Clone answers null for a pointer inside a small, big or direct block
 * or in a page set's header; an aligned request of alignment 0 gets the
 * alignment of a plain block.
 */
#include "attack.h"

#if defined(_WIN32)
#  include <malloc.h>
#  define RUNTIME_SIZE(p) _msize(p)
#else
#  include <malloc.h>
#  define RUNTIME_SIZE(p) malloc_usable_size(p)
#endif

int main()
{
    VR_Heap h(VR_HEAP_MULTITHREADED);
    void *blocks[] = {malloc(100), malloc(5000), h.AllocMem(100), h.AllocMem(70000),
                      h.AllocWithReserve(100000, 3000, 0)};
    for (void *b : blocks) {
        ATTACK_CHECK(b && VRGetBlockSize(b) != 0, "a live block has a size");
        for (uint32_t off : {4u, 8u, 16u, 24u, 32u, 40u, 64u}) {
            char *p = (char *)b + off;
            ATTACK_CHECK(VRGetBlockSize(p) == 0, "VRGetBlockSize(%p + %u) = %lu", b, off, (unsigned long)VRGetBlockSize(p));
            ATTACK_CHECK(h.GetBlockSize(p) == 0, "GetBlockSize(%p + %u) = %lu", b, off, h.GetBlockSize(p));
            ATTACK_CHECK(RUNTIME_SIZE(p) == 0 || RUNTIME_SIZE(p) == (size_t)-1, "runtime size of %p + %u = %lu", b, off,
                         (unsigned long)RUNTIME_SIZE(p));
            ATTACK_CHECK(h.Clone(p) == 0, "Clone(%p + %u) made a copy", b, off);
        }
    }
    /* The first bytes of a page set: its header, never a block. */
    char *base = (char *)((uintptr_t)blocks[2] & ~(uintptr_t)0xFFFF);
    for (uint32_t off : {8u, 16u, 24u, 32u}) {
        ATTACK_CHECK(VRGetBlockSize(base + off) == 0 && h.GetBlockSize(base + off) == 0, "size of page set + %u", off);
        ATTACK_CHECK(h.Clone(base + off) == 0, "Clone(page set + %u)", off);
    }
    char stack[64] = {0};
    ATTACK_CHECK(h.GetBlockSize(stack + 8) == 0 && h.Clone(stack + 8) == 0, "a stack pointer taken for a block");
    void *copy = h.Clone(blocks[2]);
    ATTACK_CHECK(copy && h.GetBlockSize(copy) == 100, "Clone of a live block");
    VR_Heap::FreeMem(copy);
    free(blocks[0]);
    free(blocks[1]);
    for (int i = 2; i < 5; i++) VR_Heap::FreeMem(blocks[i]);
    ATTACK_CHECK(h.Validate() == 0, "heap unsound");

#if defined(_WIN32)
    for (size_t align : {0u, 1u, 2u, 4u}) {
        for (int i = 0; i < 16; i++) {
            void *a = _aligned_malloc(10 + i, align);
            ATTACK_CHECK(a && ((uintptr_t)a & 7) == 0, "_aligned_malloc(%d, %u) = %p, not 8-aligned", 10 + i,
                         (unsigned)align, a);
            _aligned_free(a);
        }
    }
#endif
    printf("attack_queries: held\n");
    return 0;
}
