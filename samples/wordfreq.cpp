/*
 * wordfreq.cpp - the main job: counts words and word pairs over a large
 * generated text with std::string, std::map and std::vector, allocating
 * and freeing millions of blocks through the C++ runtime, and prints a
 * deterministic report on standard output.
 *
 * Built twice: plain, on the runtime's own allocator, and linked with
 * Vorrel (WORDFREQ_WITH_VORREL), whose interception then serves every
 * allocation without a change to this code. The Vorrel build also prints,
 * on standard error, evidence that the data lives in DefaultHeap: blocks
 * and bytes live there (counted with ForEach) and the address space the
 * library has committed.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#if defined(WORDFREQ_WITH_VORREL)
#include "vorrel.h"
#if defined(_WIN32)
#include <windows.h>
#endif
#endif

namespace {

/* A small linear congruential generator: the same text on every system. */
struct Lcg {
    uint32_t state;
    uint32_t Next()
    {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

const char *const kSyllables[] = {"ka", "lo", "mir", "ven", "tu", "sa", "rel", "do", "qui", "an",
                                  "bor", "el", "fi", "gon", "ha", "is", "jun", "ko", "li", "mon",
                                  "nor", "op", "pra", "ru", "sto", "ta", "ul", "vor", "wen", "zy"};
const uint32_t kSyllableCount = sizeof kSyllables / sizeof kSyllables[0];

std::vector<std::string> MakeVocabulary(Lcg &rng, uint32_t size)
{
    std::vector<std::string> words;
    for (uint32_t i = 0; i < size; i++) {
        std::string w;
        uint32_t parts = 1 + rng.Next() % 8;
        for (uint32_t k = 0; k < parts; k++) w += kSyllables[rng.Next() % kSyllableCount];
        words.push_back(w);
    }
    return words;
}

/* Lines of text whose words follow a skewed distribution: a few words are
   very common, most are rare, as in real prose. */
std::vector<std::string> MakeText(Lcg &rng, const std::vector<std::string> &vocabulary, uint32_t lines)
{
    std::vector<std::string> text;
    uint32_t n = (uint32_t)vocabulary.size();
    for (uint32_t i = 0; i < lines; i++) {
        std::string line;
        uint32_t words = 6 + rng.Next() % 14;
        for (uint32_t k = 0; k < words; k++) {
            uint32_t a = rng.Next() % n, b = rng.Next() % n;
            if (k) line += ' ';
            line += vocabulary[std::min(a, b) * (uint64_t)std::min(a, b) / n];
        }
        text.push_back(line);
    }
    return text;
}

std::vector<std::string> Split(const std::string &line)
{
    std::vector<std::string> words;
    size_t start = 0;
    while (start < line.size()) {
        size_t end = line.find(' ', start);
        if (end == std::string::npos) end = line.size();
        if (end > start) words.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

typedef std::pair<std::string, uint32_t> Entry;

std::vector<Entry> Ranked(const std::map<std::string, uint32_t> &counts)
{
    std::vector<Entry> ranked(counts.begin(), counts.end());
    std::sort(ranked.begin(), ranked.end(), [](const Entry &x, const Entry &y) {
        return x.second != y.second ? x.second > y.second : x.first < y.first;
    });
    return ranked;
}

uint32_t Fnv(uint32_t h, const std::string &s)
{
    for (unsigned char c : s) h = (h ^ c) * 16777619u;
    return h;
}

#if defined(WORDFREQ_WITH_VORREL)
struct Tally {
    uint32_t blocks;
    uint64_t bytes;
};

void CountBlock(void *block, void *context)
{
    Tally *t = (Tally *)context;
    t->blocks++;
    t->bytes += DefaultHeap.GetBlockSize(block);
}

/* Committed bytes in address space the library reserved. */
uint64_t LibraryCommitted()
{
    uint64_t total = 0;
#if defined(_WIN32)
    uintptr_t at = 0x10000;
    MEMORY_BASIC_INFORMATION info;
    while (at < 0xFFFF0000u && VirtualQuery((void *)at, &info, sizeof info) == sizeof info) {
        if (info.State == MEM_COMMIT && IsDynamicMemory(info.BaseAddress)) total += info.RegionSize;
        uintptr_t next = (uintptr_t)info.BaseAddress + info.RegionSize;
        if (next <= at) break;
        at = next;
    }
#else
    /* Readable or writable pages of the library's reservations; the kernel
       may have merged them with neighbouring mappings, so each mapping is
       looked at 64 KB by 64 KB. */
    FILE *maps = fopen("/proc/self/maps", "r");
    if (!maps) return 0;
    unsigned long start, end;
    char perms[8];
    char rest[512];
    while (fscanf(maps, "%lx-%lx %7s", &start, &end, perms) == 3) {
        if (!fgets(rest, sizeof rest, maps)) break;
        if (perms[0] != 'r' && perms[1] != 'w') continue;
        for (uint64_t a = start; a < end;) {
            uint64_t next = (a | 0xFFFF) + 1;
            if (next > end) next = end;
            if (IsDynamicMemory((void *)(uintptr_t)a)) total += next - a;
            a = next;
        }
    }
    fclose(maps);
#endif
    return total;
}

void PrintEvidence(const char *when)
{
    Tally t = {0, 0};
    DefaultHeap.ForEach(CountBlock, &t);
    fprintf(stderr, "evidence (%s): DefaultHeap holds %u live blocks, %llu bytes; library committed %llu KB\n", when,
            t.blocks, (unsigned long long)t.bytes, (unsigned long long)(LibraryCommitted() / 1024));
}
#else
void PrintEvidence(const char *) {}
#endif

void Run(uint32_t lines)
{
    Lcg rng = {20261207u};
    std::vector<std::string> vocabulary = MakeVocabulary(rng, 40000);
    std::vector<std::string> text = MakeText(rng, vocabulary, lines);

    std::map<std::string, uint32_t> words, pairs;
    uint64_t total = 0;
    for (const std::string &line : text) {
        std::vector<std::string> tokens = Split(line);
        for (size_t i = 0; i < tokens.size(); i++) {
            words[tokens[i]]++;
            if (i) pairs[tokens[i - 1] + " " + tokens[i]]++;
        }
        total += tokens.size();
    }
    PrintEvidence("all counts live");

    std::vector<Entry> rankedWords = Ranked(words);
    std::vector<Entry> rankedPairs = Ranked(pairs);
    uint32_t checksum = 2166136261u;
    for (const Entry &e : rankedWords) checksum = Fnv(checksum, e.first + "=" + std::to_string(e.second));
    for (const Entry &e : rankedPairs) checksum = Fnv(checksum, e.first + "=" + std::to_string(e.second));

    printf("lines %u, words %llu, distinct words %u, distinct pairs %u\n", lines, (unsigned long long)total,
           (unsigned)words.size(), (unsigned)pairs.size());
    printf("top words:\n");
    for (size_t i = 0; i < 10 && i < rankedWords.size(); i++)
        printf("  %-28s %u\n", rankedWords[i].first.c_str(), rankedWords[i].second);
    printf("top pairs:\n");
    for (size_t i = 0; i < 5 && i < rankedPairs.size(); i++)
        printf("  %-40s %u\n", rankedPairs[i].first.c_str(), rankedPairs[i].second);
    printf("checksum %08x\n", checksum);
}

} // namespace

int main(int argc, char **argv)
{
    uint32_t lines = argc > 1 ? (uint32_t)strtoul(argv[1], 0, 10) : 40000;
    Run(lines);
    PrintEvidence("after the run");
    return 0;
}
