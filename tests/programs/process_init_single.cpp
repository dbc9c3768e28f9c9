/*
 * process_init_single.cpp - INIT_VORREL(0) after DefaultHeap was constructed
 * drops DefaultHeap's lock and no other heap's; a second InitVorrel shows
 * the double-definition message and does not lock DefaultHeap again.
 */
#include "hook_common.h"
#include "os_output.h"
#include "vr_test.h"

static int g_messages;
static char g_text[128], g_caption[32];
static uint32_t g_style;

static void Capture(const char *text, const char *caption, uint32_t style)
{
    g_messages++;
    snprintf(g_text, sizeof g_text, "%s", text);
    snprintf(g_caption, sizeof g_caption, "%s", caption);
    g_style = style;
}

/* Constructed before the application's InitVorrel object below (same
   file, earlier definition), so any message it showed would be seen. */
static struct SinkInstaller {
    SinkInstaller() { VR_SetMessageSink(Capture); }
} s_sinkInstaller;

INIT_VORREL(0);

int main()
{
    Runtime rt;
    CHECK(g_messages == 0);
    CHECK(!DefaultHeap.IsMultithreaded());
    CHECK(VR_Test::LockActive(DefaultHeap) == 0);
    CHECK(HeapForHeaps.IsMultithreaded() && VR_Test::LockActive(HeapForHeaps));
    VR_Heap other(VR_HEAP_MULTITHREADED);
    CHECK(other.IsMultithreaded());

    InitVorrel second(1);
    CHECK(g_messages == 1);
    CHECK(strcmp(g_text, "Error! You have INIT_VORREL() defined twice in your application!") == 0);
    CHECK(strcmp(g_caption, "Vorrel") == 0);
    CHECK(g_style == 0x12010);
    CHECK(!DefaultHeap.IsMultithreaded() && VR_Test::LockActive(DefaultHeap) == 0);

    /* Unlocked, DefaultHeap still serves this one thread. */
    void *p = rt.malloc(100);
    void *q = rt.realloc(p, 3000);
    CHECK(q != 0 && rt.msize(q) == 3000);
    rt.free(q);
    CHECK(DefaultHeap.Validate() == 0);

    InitVorrel third(0);
    CHECK(g_messages == 2);
    VR_SetMessageSink(0);
    return Finish("process_init_single");
}
