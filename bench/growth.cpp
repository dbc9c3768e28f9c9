/*
 * growth.cpp - buffers grown by appends up to 1 MB. realloc in small steps
 * shows whether the allocator grows a block in place or moves (and copies)
 * it; with several buffers grown in turn, neighbours get in each other's way.
 * std::string and std::vector grow by doubling through new and delete.
 * large: buffers grown by half again at each step up to 48 MB, beside a
 * small block made at each step (so the buffer never simply sits at the
 * end of the heap), the whole buffer written once: time per realloc,
 * which a copy at each step dominates and growth in place does not.
 */
#include <string>
#include <vector>

#include "bench.h"

using namespace vrb;

static const uint32_t kTarget = 1024 * 1024;

/* count buffers, each grown by step bytes per realloc until 1 MB; every
   buffer's bytes are checked at the end, so a move that lost data fails. */
static void ReallocSteps(const char *name, uint32_t count, uint32_t step, uint32_t rounds) {
    unsigned char *bufs[16];
    uint32_t appends = 0;
    double t0 = CpuNs();
    for (uint32_t round = 0; round < rounds || CpuNs() - t0 < MinCpuNs(); ++round) {
        for (uint32_t b = 0; b < count; ++b)
            bufs[b] = 0;
        for (uint32_t size = step; size <= kTarget; size += step) {
            for (uint32_t b = 0; b < count; ++b) {
                unsigned char *p = (unsigned char *)realloc(bufs[b], size);
                if (!p) {
                    Check(0, "realloc grows the buffer");
                    return;
                }
                memset(p + size - step, (unsigned char)(b + size / step), step);
                bufs[b] = p;
                ++appends;
            }
        }
        for (uint32_t b = 0; b < count; ++b) {
            if (round == 0)
                for (uint32_t size = step; size <= kTarget; size += step)
                    if (bufs[b][size - 1] != (unsigned char)(b + size / step)) {
                        Check(0, "grown buffer keeps its earlier appends");
                        break;
                    }
            free(bufs[b]);
        }
    }
    double t1 = CpuNs();
    Report(name, "ns_per_op", (t1 - t0) / appends);
}

static void StringAppends(uint32_t rounds) {
    uint32_t appends = 0;
    size_t check = 0;
    double t0 = CpuNs();
    uint32_t round = 0;
    for (; round < rounds || CpuNs() - t0 < MinCpuNs(); ++round) {
        std::string s;
        while (s.size() < kTarget) {
            s.append("0123456789abcdef", 16);
            ++appends;
        }
        check += s.size() + (s[kTarget - 1] == 'f');
    }
    double t1 = CpuNs();
    Check(check == (size_t)round * (kTarget + 1), "string holds its appends");
    Report("string", "ns_per_op", (t1 - t0) / appends);
}

static void VectorPushes(uint32_t rounds) {
    uint32_t pushes = 0;
    uint64_t sum = 0;
    double t0 = CpuNs();
    uint32_t round = 0;
    for (; round < rounds || CpuNs() - t0 < MinCpuNs(); ++round) {
        std::vector<uint32_t> v;
        for (uint32_t i = 0; i < kTarget / 4; ++i) {
            v.push_back(i);
            ++pushes;
        }
        sum += v[kTarget / 4 - 1];
    }
    double t1 = CpuNs();
    Check(sum == (uint64_t)round * (kTarget / 4 - 1), "vector holds its elements");
    Report("vector", "ns_per_op", (t1 - t0) / pushes);
}

static void LargeGrowth(uint32_t rounds) {
    const uint32_t limit = g_opt.smoke ? (4u << 20) : (48u << 20);
    uint32_t steps = 0;
    double t0 = CpuNs();
    for (uint32_t round = 0; round < rounds || CpuNs() - t0 < MinCpuNs(); ++round) {
        unsigned char *buf = 0;
        void *small[64];
        uint32_t n = 0, size = 0;
        for (uint32_t next = 64 * 1024; next <= limit; next += next / 2) {
            unsigned char *p = (unsigned char *)realloc(buf, next);
            if (!p) {
                Check(0, "realloc grows the large buffer");
                free(buf);
                buf = 0;
                break;
            }
            if (size && (p[0] != (unsigned char)round || p[size - 1] != (unsigned char)(size >> 12)))
                Check(0, "large buffer keeps its bytes");
            memset(p + size, (unsigned char)(next >> 12), next - size);
            p[0] = (unsigned char)round;
            buf = p;
            size = next;
            ++steps;
            if (n < 64)
                small[n++] = malloc(100);
        }
        free(buf);
        for (uint32_t i = 0; i < n; ++i)
            free(small[i]);
    }
    double t1 = CpuNs();
    Report("large", "ns_per_op", (t1 - t0) / steps);
}

int main(int argc, char **argv) {
    int status;
    if (!Start("growth", argc, argv, &status))
        return status;
    /* The smoke pass still grows to 1 MB (that is the point), but only once
       and in coarse steps. */
    if (Want("realloc1"))
        ReallocSteps("realloc1", 1, g_opt.smoke ? 4096 : 64, Count(40, 1));
    if (Want("realloc8"))
        ReallocSteps("realloc8", 8, g_opt.smoke ? 4096 : 256, Count(12, 1));
    if (Want("string"))
        StringAppends(Count(80, 1));
    if (Want("vector"))
        VectorPushes(Count(80, 1));
    if (Want("large"))
        LargeGrowth(Count(20, 1));
    return Finish();
}
