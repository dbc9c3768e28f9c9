/*
 * hook_threads.cpp - the interception under concurrency: several threads
 * allocate, check and free through malloc, realloc and operator new at once
 * (each block carries its owner's pattern, so a block handed out twice is
 * caught), and several threads ask _msize of foreign blocks at once:
 * every answer must be the runtime's and the _msize entry must end
 * patched.
 */
#include <atomic>
#include <thread>
#include <vector>

#include "hook_common.h"
#include "os_thread.h"

static Runtime g_rt;
static std::atomic<int> g_bad;

static void Churn(int id)
{
    enum { kSlots = 64, kRounds = 20000 };
    uint8_t *blocks[kSlots] = {};
    uint32_t sizes[kSlots] = {};
    uint32_t seed = 12345u * (id + 1);
    for (int r = 0; r < kRounds; r++) {
        seed = seed * 1103515245u + 12345u;
        int slot = (seed >> 8) % kSlots;
        if (blocks[slot]) {
            for (uint32_t i = 0; i < sizes[slot]; i++)
                if (blocks[slot][i] != (uint8_t)(id + i)) {
                    g_bad++;
                    break;
                }
            if (g_rt.msize(blocks[slot]) != sizes[slot]) g_bad++;
            if (r & 1) g_rt.free(blocks[slot]);
            else g_rt.opDelete(blocks[slot]);
            blocks[slot] = 0;
            continue;
        }
        uint32_t size = 1 + (seed >> 16) % ((r % 97) == 0 ? 20000 : 600);
        uint8_t *b;
        switch (r % 3) {
        case 0: b = (uint8_t *)g_rt.malloc(size); break;
        case 1: b = (uint8_t *)g_rt.opNew(size); break;
        default: {
            /* Grown from a smaller block, whose bytes must come along. */
            uint32_t first = 1 + size / 3;
            b = (uint8_t *)g_rt.malloc(first);
            if (b) {
                for (uint32_t i = 0; i < first; i++) b[i] = (uint8_t)(id + i);
                b = (uint8_t *)g_rt.realloc(b, size);
                if (b)
                    for (uint32_t i = 0; i < first; i++)
                        if (b[i] != (uint8_t)(id + i)) g_bad++;
            }
        }
        }
        if (!b) {
            g_bad++;
            continue;
        }
        for (uint32_t i = 0; i < size; i++) b[i] = (uint8_t)(id + i);
        blocks[slot] = b;
        sizes[slot] = size;
    }
    for (int s = 0; s < kSlots; s++) g_rt.free(blocks[s]);
}

static void ForeignSizes(void *const *foreign, const size_t *expected, int count)
{
    for (int round = 0; round < 3000; round++)
        for (int i = 0; i < count; i++)
            if (g_rt.msize(foreign[i]) != expected[i]) g_bad++;
}

int main()
{
    {
        std::vector<std::thread> threads;
        for (int i = 0; i < 6; i++) threads.emplace_back(Churn, i);
        for (auto &t : threads) t.join();
    }
    CHECK(g_bad == 0);
    CHECK(DefaultHeap.Validate() == 0);

    enum { kForeign = 8 };
    void *foreign[kForeign];
    size_t expected[kForeign];
    for (int i = 0; i < kForeign; i++) {
        foreign[i] = ForeignBlock(16 + 40 * i);
        expected[i] = g_rt.msize(foreign[i]);
        CHECK(expected[i] >= (size_t)(16 + 40 * i));
    }
    g_bad = 0;
    {
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; i++) threads.emplace_back(ForeignSizes, foreign, expected, (int)kForeign);
        for (auto &t : threads) t.join();
    }
    CHECK(g_bad == 0);
    CHECK(JumpTarget(RuntimeEntry(kMsize)) == (void *)VRGetBlockSize);
    CHECK(DefaultHeap.Validate() == 0);
    return Finish("hook_threads");
}
