/*
 * process_init_locked.cpp - one INIT_VORREL() asking for a thread-safe
 * DefaultHeap shows no message and leaves every heap locked; EnsureVorrel
 * afterwards changes nothing.
 */
#include "hook_common.h"
#include "os_output.h"
#include "os_runtime.h"
#include "vr_test.h"

static int g_messages;

static void Capture(const char *, const char *, uint32_t)
{
    g_messages++;
}

static struct SinkInstaller {
    SinkInstaller() { VR_SetMessageSink(Capture); }
} s_sinkInstaller;

INIT_VORREL();

static EnsureVorrel s_ensure;

int main()
{
    CHECK(g_messages == 0);
    CHECK(DefaultHeap.IsMultithreaded() && VR_Test::LockActive(DefaultHeap));
    CHECK(HeapForHeaps.IsMultithreaded() && VR_Test::LockActive(HeapForHeaps));
    CHECK(JumpTarget(RuntimeEntry(kMalloc)) == ExpectedReplacement(kMalloc));
    VR_SetMessageSink(0);
    return Finish("process_init_locked");
}
