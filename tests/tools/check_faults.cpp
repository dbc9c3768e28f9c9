/*
 * check_faults.cpp - a program with one real heap fault, chosen by its
 * argument, for the checking-mode test (built without the library and run
 * under vorrel-run --check). "clean" makes no fault and must be reported
 * as clean. Each fault sits in a function of its own, so the report can
 * be checked to name it.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <malloc.h>
#else
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#define NOINLINE __attribute__((noinline))

namespace {

/* Keeps the compiler from proving the faults away: it cannot see where
   a pointer that passed through here came from. */
void *volatile g_sink;
template <class T>
inline T *Opaque(T *p)
{
    __asm__ volatile("" : "+r"(p) : : "memory");
    return p;
}

NOINLINE void fault_overrun()
{
    char *p = Opaque((char *)malloc(100));
    memset(p, 1, 100);
    Opaque(p)[100] = 1;   /* one byte past the end */
    free(Opaque(p));
}

NOINLINE void fault_underrun()
{
    char *p = Opaque((char *)malloc(40));
    Opaque(p)[-1] = 7;
    free(Opaque(p));
}

NOINLINE void fault_write_after_free()
{
    char *p = Opaque((char *)malloc(64));
    memset(p, 0, 64);
    free(Opaque(p));
    Opaque(p)[8] = 'x';
    Opaque(p)[9] = 'y';
}

/* The same, found when the block leaves quarantine: 70000 later frees
   push it out (the quarantine holds 65536 blocks). */
NOINLINE void fault_write_after_free_evicted()
{
    char *p = Opaque((char *)malloc(80));
    free(Opaque(p));
    Opaque(p)[79] = 1;
    for (int i = 0; i < 70000; i++) free(Opaque(malloc(16)));
}

/* The page mode stops these at the faulting access itself. */
NOINLINE void fault_page_overrun()
{
    char *p = Opaque((char *)malloc(64));
    memset(p, 1, 64);
    Opaque(p)[64] = 1;
    free(Opaque(p));
}

NOINLINE void fault_page_write_after_free()
{
    char *p = Opaque((char *)malloc(64));
    free(Opaque(p));
    Opaque(p)[8] = 'x';
}

NOINLINE void fault_double_free()
{
    void *p = Opaque(malloc(24));
    free(Opaque(p));
    free(Opaque(p));
}

/* Two threads free the same blocks at the same moment, many times: the
   claim on each block lets exactly one of them through. */
NOINLINE void fault_double_free_threads()
{
    const int kBlocks = 2000;
    std::vector<void *> blocks(kBlocks);
    for (int i = 0; i < kBlocks; i++) blocks[i] = malloc(16 + i % 64);
    volatile int go = 0;
    auto freer = [&]() {
        while (!go) {
        }
        for (int i = 0; i < kBlocks; i++) free(blocks[i]);
    };
    std::thread a(freer), b(freer);
    go = 1;
    a.join();
    b.join();
    /* The heap is still sound: new blocks are whole and distinct. */
    std::vector<char *> again(kBlocks);
    for (int i = 0; i < kBlocks; i++) {
        again[i] = (char *)malloc(32);
        memset(again[i], i & 0xFF, 32);
    }
    for (int i = 0; i < kBlocks; i++)
        if (again[i][31] != (char)(i & 0xFF)) exit(20);
    for (int i = 0; i < kBlocks; i++) free(again[i]);
}

NOINLINE void leak_big()
{
    /* The pointers are dropped: nothing refers to these blocks at exit. */
    for (int i = 0; i < 3; i++) Opaque(malloc(1000));
}

NOINLINE void leak_small()
{
    Opaque(malloc(10));
}

NOINLINE void fault_mismatch()
{
#if defined(_WIN32)
    /* The Windows runtime tells its aligned blocks from the others. */
    void *p = _aligned_malloc(64, 32);
#else
    char *p = new char[64];
#endif
    free(Opaque(p));
}

NOINLINE void fault_bad_frees()
{
    char local[16];
    free(Opaque(local));
    char *p = Opaque((char *)malloc(48));
    free(Opaque(p + 8));
    free(Opaque(p));
}

/* Everything a program does right: none of it may be reported. */
NOINLINE void clean()
{
    std::vector<std::string> words;
    for (int i = 0; i < 2000; i++) words.push_back(std::string(i % 300, 'a' + i % 26));
    char *p = (char *)calloc(10, 10);
    p = (char *)realloc(p, 5000);
    p = (char *)realloc(p, 20);
    free(p);
    int *a = new int[100];
    delete[] a;
    std::string *s = new std::string("x");
    delete s;
#if defined(_WIN32)
    void *al = _aligned_malloc(100, 64);
    if ((unsigned long)al & 63) exit(21);
    al = _aligned_realloc(al, 300, 64);
    _aligned_free(al);
#else
    void *al = 0;
    if (posix_memalign(&al, 64, 100) || ((unsigned long)al & 63)) exit(21);
    free(al);
    al = aligned_alloc(4096, 4096);
    free(al);
#endif
    std::thread t([] {
        for (int i = 0; i < 1000; i++) free(malloc(i));
    });
    t.join();
    printf("clean run: %zu words\n", words.size());
}

/* Lost structures: a list of four nodes (its head the root, the other
   three reached only from it) and a cycle of three nodes. */
struct Node {
    Node *next;
    char pad[12];
};

NOINLINE void leak_list()
{
    Node *head = 0;
    for (int i = 0; i < 4; i++) {
        Node *n = Opaque((Node *)malloc(sizeof(Node)));
        n->next = head;
        head = n;
    }
    g_sink = Opaque(head);
    g_sink = 0;
}

NOINLINE void leak_cycle()
{
    Node *a = Opaque((Node *)malloc(sizeof(Node)));
    Node *b = Opaque((Node *)malloc(sizeof(Node)));
    Node *c = Opaque((Node *)malloc(sizeof(Node)));
    a->next = b;
    b->next = c;
    c->next = a;
}

/* Scrubs the stack the leaking calls used, so that no stale copy of their
   pointers holds the lost blocks. */
NOINLINE void scrub_stack()
{
    volatile char room[65536];
    memset((char *)room, 0, sizeof room);
}

/* A valid program that keeps many blocks live at once: every request is
   served (past the page mode's budget by ordinary checked blocks), each
   block aligned as the runtime's are, and new throws where it cannot
   serve, as without the mode. Exits non-zero on the first broken promise. */
NOINLINE void many_blocks()
{
    const int kBlocks = 300000;
#if defined(_WIN32)
    const uintptr_t kAlign = 8;
#else
    const uintptr_t kAlign = 16;
#endif
    std::vector<char *> blocks(kBlocks);
    for (int i = 0; i < kBlocks; i++) {
        size_t size = 1 + (size_t)(i * 7 % 61);
        char *p = i % 3 ? (char *)malloc(size) : new char[size];
        if (!p || ((uintptr_t)p & (kAlign - 1))) {
            printf("block %d: %p\n", i, (void *)p);
            exit(3);
        }
        p[0] = p[size - 1] = (char)i;
        blocks[i] = p;
    }
    for (int i = 0; i < kBlocks; i++) {
        if (i % 3) free(blocks[i]);
        else delete[] blocks[i];
    }
    int threw = 0;
    volatile size_t huge = (size_t)1 << 31;
    try {
        g_sink = Opaque(new char[huge]);
    } catch (const std::bad_alloc &) {
        threw = 1;
    }
    if (!threw) exit(4);
    printf("many blocks: %d served\n", kBlocks);
}

/* Four different wrong releases in one function, two through the C++
   runtime's sized delete and one of a block from strdup (frames without a
   frame pointer): each is a finding of its own, every stack starting in
   this function. */
NOINLINE void fault_four_releases()
{
    int *a = Opaque(new int[4]);
    delete Opaque(a);
    int *b = Opaque((int *)malloc(sizeof(int)));
    delete Opaque(b);
    int *c = Opaque(new int);
    free(Opaque(c));
    char *d = Opaque(strdup("copied"));
    delete[] Opaque(d);
}

#if !defined(_WIN32)
/* Mappings the leak walk at exit must not fault on: a private writable
   mapping of a file reaching past the file's end, a write-only and an
   inaccessible one. The one block is held from the file's mapping (not
   lost); the other is a leak. */
NOINLINE void odd_mappings()
{
    char path[] = "/tmp/vorrel-check-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, "0123456789", 10) != 10) exit(5);
    unlink(path);
    void **file = (void **)mmap(0, 3 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    close(fd);
    void *writeOnly = mmap(0, 4096, PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    void *none = mmap(0, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (file == MAP_FAILED || writeOnly == MAP_FAILED || none == MAP_FAILED) exit(6);
    file[1] = malloc(48);
    g_sink = 0;
    Opaque((char *)malloc(24))[0] = 1;
}

/* Forks while another thread keeps allocating and freeing: the child's
   allocations must not wait forever on a lock that thread held. The
   children exit as programs do, each with its own reports. */
NOINLINE void fork_while_freeing()
{
    volatile int stop = 0;
    std::thread t([&] {
        while (!stop) free(Opaque(malloc(64)));
    });
    for (int i = 0; i < 300; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            /* A whole exit: the child's own report and check run too. */
            free(Opaque(malloc(100)));
            exit(0);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) exit(22);
    }
    stop = 1;
    t.join();
}
#endif

} // namespace

int main(int argc, char **argv)
{
    const char *what = argc > 1 ? argv[1] : "clean";
    if (!strcmp(what, "overrun")) fault_overrun();
    else if (!strcmp(what, "underrun")) fault_underrun();
    else if (!strcmp(what, "write-after-free")) fault_write_after_free();
    else if (!strcmp(what, "evicted")) fault_write_after_free_evicted();
    else if (!strcmp(what, "double-free")) fault_double_free();
    else if (!strcmp(what, "page-overrun")) fault_page_overrun();
    else if (!strcmp(what, "page-write-after-free")) fault_page_write_after_free();
    else if (!strcmp(what, "double-free-threads")) fault_double_free_threads();
    else if (!strcmp(what, "leak")) {
        leak_big();
        leak_small();
        scrub_stack();
    } else if (!strcmp(what, "mismatch")) fault_mismatch();
    else if (!strcmp(what, "bad-free")) fault_bad_frees();
    else if (!strcmp(what, "clean")) clean();
    else if (!strcmp(what, "many")) many_blocks();
    else if (!strcmp(what, "four-releases")) fault_four_releases();
    else if (!strcmp(what, "leak-roots")) {
        leak_list();
        leak_cycle();
        scrub_stack();
    }
#if !defined(_WIN32)
    else if (!strcmp(what, "fork")) fork_while_freeing();
    else if (!strcmp(what, "mappings")) {
        odd_mappings();
        scrub_stack();
    }
#endif
    else return 2;
    return 0;
}
