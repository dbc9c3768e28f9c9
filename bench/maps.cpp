/*
 * maps.cpp - a real-style workload: a large std::map and std::unordered_map
 * keyed by strings are built, queried (with keys made afresh, as a parser or
 * a request handler would) and destroyed. Strings longer than the library's
 * inline buffer allocate, so nodes, strings and bucket arrays all come from
 * the allocator. Reports nanoseconds per key for the whole cycle.
 */
#include <map>
#include <string>
#include <unordered_map>

#include "bench.h"

using namespace vrb;

/* Key i: a short or long string, chosen by i, that names i uniquely. */
static std::string Key(uint32_t i) {
    char buf[64];
    int n;
    if (i % 3 == 0)
        n = snprintf(buf, sizeof buf, "k%u", (unsigned)i);
    else
        n = snprintf(buf, sizeof buf, "customer/%08u/order-history", (unsigned)(i * 2654435761u));
    return std::string(buf, (size_t)n);
}

template <class Map> static void Cycle(const char *name, uint32_t keys, uint32_t rounds) {
    uint64_t found = 0;
    double t0 = CpuNs();
    uint32_t round = 0;
    for (; round < rounds || CpuNs() - t0 < MinCpuNs(); ++round) {
        Map m;
        for (uint32_t i = 0; i < keys; ++i)
            m.emplace(Key(i), i);
        for (uint32_t i = 0; i < keys; ++i) {
            auto it = m.find(Key(i));
            found += it != m.end() && it->second == i;
        }
        /* Half of the keys erased one by one, the rest with the map. */
        for (uint32_t i = 0; i < keys; i += 2)
            m.erase(Key(i));
        found += m.size() == keys / 2;
    }
    double t1 = CpuNs();
    Check(found == (uint64_t)round * (keys + 1), "every key is found and erased");
    Report(name, "ns_per_op", (t1 - t0) / ((double)keys * round));
}

int main(int argc, char **argv) {
    int status;
    if (!Start("maps", argc, argv, &status))
        return status;
    if (Want("map"))
        Cycle<std::map<std::string, uint32_t>>("map", Count(100000, 2000), Count(2, 1));
    if (Want("unordered"))
        Cycle<std::unordered_map<std::string, uint32_t>>("unordered", Count(100000, 2000), Count(3, 1));
    return Finish();
}
