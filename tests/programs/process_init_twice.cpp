/*
 * process_init_twice.cpp - INIT_VORREL() written as an application writes
 * it defines an InitVorrel object (a thread-safe DefaultHeap), and a second
 * definition elsewhere in the application (here: another namespace) shows
 * the double-definition message once: on Linux on standard error, on
 * Windows through the message display (captured, as a box would wait).
 */
#include "hook_common.h"
#include "os_output.h"
#include "vr_test.h"

static const char kMessage[] = "Error! You have INIT_VORREL() defined twice in your application!";

#if defined(_WIN32)
static int g_messages;
static char g_text[128];

static void Capture(const char *text, const char *, uint32_t)
{
    g_messages++;
    snprintf(g_text, sizeof g_text, "%s", text);
}

/* Constructed before the two objects below (same file, defined earlier). */
static struct SinkInstaller {
    SinkInstaller() { VR_SetMessageSink(Capture); }
} s_capture;

static int Messages(char *text, size_t size)
{
    VR_SetMessageSink(0);
    snprintf(text, size, "%s", g_text);
    return g_messages;
}
#else
/* Standard error goes to a file while the objects below are constructed. */
static struct StderrCapture {
    FILE *file;
    int saved;
    StderrCapture()
    {
        file = tmpfile();
        saved = dup(2);
        if (file) dup2(fileno(file), 2);
    }
} s_capture;

static int Messages(char *text, size_t size)
{
    if (!s_capture.file) return -1;
    dup2(s_capture.saved, 2);
    rewind(s_capture.file);
    size_t n = fread(text, 1, size - 1, s_capture.file);
    text[n] = 0;
    int count = 0;
    for (const char *p = text; (p = strstr(p, kMessage)) != 0; p++) count++;
    return count;
}
#endif

INIT_VORREL();

namespace elsewhere {
INIT_VORREL();
}

int main()
{
    char text[512];
    CHECK(Messages(text, sizeof text) == 1);
    CHECK(strstr(text, kMessage) != 0);
    CHECK(DefaultHeap.IsMultithreaded() && VR_Test::LockActive(DefaultHeap));
    CHECK(s_initInstanceSeen && s_initCalled && s_initMultithreaded == 1);
    return Finish("process_init_twice");
}
