/*
 * fork_stdio_posix.cpp - fork while other threads hold the C library's
 * stream locks. One thread reads long lines with getline (which grows its
 * line with realloc while it holds the stream's lock), another flushes
 * every stream with fflush(NULL) (the stream list's lock, then each
 * stream's), and the main thread forks again and again; each child
 * allocates and exits. The library's locks must be taken at fork in an
 * order that cannot close a cycle with those two: a fork that waits for
 * good fails the test through the watchdog instead of hanging it.
 */
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "hook_common.h"

static std::atomic<int> g_stop;

static void Watchdog(int)
{
    static const char message[] = "fork_stdio_posix: a fork hung\n";
    (void)!write(2, message, sizeof message - 1);
    _exit(2);
}

/* Lines of 100 KB: the line buffer grows past what the thread cache keeps,
   so the reallocations go to the heap's lock. */
static void Reader(char *text, size_t length)
{
    FILE *f = fmemopen(text, length, "r");
    CHECK(f != 0);
    if (!f) return;
    while (!g_stop.load(std::memory_order_relaxed)) {
        char *line = 0;
        size_t room = 0;
        if (getline(&line, &room, f) < 0) rewind(f);
        free(line);
    }
    fclose(f);
}

static void Flusher()
{
    while (!g_stop.load(std::memory_order_relaxed)) fflush(NULL);
}

static double Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

int main()
{
    const size_t kLine = 100000, kLines = 4;
    char *text = (char *)malloc(kLine * kLines);
    memset(text, 'x', kLine * kLines);
    for (size_t i = 1; i <= kLines; i++) text[i * kLine - 1] = '\n';

    signal(SIGALRM, Watchdog);
    alarm(30);
    std::thread reader(Reader, text, kLine * kLines), flusher(Flusher);

    int forks = 0, failed = 0;
    for (double end = Now() + 3; Now() < end || forks < 50; forks++) {
        pid_t pid = fork();
        CHECK(pid >= 0);
        if (pid < 0) break;
        if (pid == 0) {
            void *p = malloc(300000), *q = malloc(40);
            FILE *f = fmemopen(q, 40, "w");
            int ok = p && q && f && fclose(f) == 0;
            free(p);
            free(q);
            _exit(ok ? 0 : 3);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        failed += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    g_stop = 1;
    reader.join();
    flusher.join();
    alarm(0);
    free(text);
    CHECK(failed == 0);
    CHECK(DefaultHeap.Validate() == 0);
    return Finish("fork_stdio_posix");
}
