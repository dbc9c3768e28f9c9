/*
 * process_switcher.cpp - each thread's default heap: DefaultHeap until the
 * thread chooses another, never inherited by new threads, followed by
 * malloc and operator new, and changed for a scope by VR_HeapSwitcher,
 * nested and assigned.
 */
#include <thread>

#include "hook_common.h"

static Runtime g_rt;

static int IsThis(void *block, void *context)
{
    return block == context;
}

/* 1 when block is a live block of heap h. */
static int Owns(VR_Heap &h, void *block)
{
    return h.FindFirstThat(IsThis, block) == block;
}

static void FreshThread(VR_Heap *creatorsHeap)
{
    /* Whatever the creator chose, this thread starts with DefaultHeap. */
    CHECK(&VR_Heap::Default() == &DefaultHeap);
    void *b = g_rt.malloc(72);
    CHECK(Owns(DefaultHeap, b) && !Owns(*creatorsHeap, b));
    g_rt.free(b);
}

static void SwitcherFirstThing(VR_Heap *other)
{
    /* A switcher made before the thread ever looked up its heap restores
       DefaultHeap, not "nothing". */
    {
        VR_HeapSwitcher s(*other);
        CHECK(&VR_Heap::Default() == other);
    }
    CHECK(&VR_Heap::Default() == &DefaultHeap);
    void *b = g_rt.opNew(16);
    CHECK(Owns(DefaultHeap, b));
    g_rt.opDelete(b);
}

int main()
{
    VR_Heap a(VR_HEAP_MULTITHREADED), b(VR_HEAP_MULTITHREADED), c(VR_HEAP_MULTITHREADED);

    CHECK(&VR_Heap::Default() == &DefaultHeap);
    VR_Heap::SetDefault(a);
    CHECK(&VR_Heap::Default() == &a);
    void *m = g_rt.malloc(40);
    void *n = g_rt.opNew(2000);
    void *z = g_rt.calloc(4, 4);
    CHECK(Owns(a, m) && Owns(a, n) && Owns(a, z));
    CHECK(!Owns(DefaultHeap, m));
    /* Freeing needs no heap: each block finds its own. */
    VR_Heap::SetDefault(b);
    g_rt.free(m);
    g_rt.opDelete(n);
    g_rt.free(z);
    CHECK(!Owns(a, m) && !Owns(a, n));
    VR_Heap::SetDefault(a);

    std::thread(FreshThread, &a).join();
    std::thread(SwitcherFirstThing, &b).join();
    CHECK(&VR_Heap::Default() == &a);

    {
        VR_HeapSwitcher toB(b);
        CHECK(&VR_Heap::Default() == &b);
        {
            VR_HeapSwitcher toC(c);
            CHECK(&VR_Heap::Default() == &c);
            void *inC = g_rt.malloc(8);
            CHECK(Owns(c, inC));
            g_rt.free(inC);
        }
        CHECK(&VR_Heap::Default() == &b);
    }
    CHECK(&VR_Heap::Default() == &a);

    /* Assignment copies the saved heap and leaves the current one alone. */
    {
        VR_HeapSwitcher first(b);
        {
            VR_HeapSwitcher second(c);
            second = first;
            CHECK(&VR_Heap::Default() == &c);
        }
        CHECK(&VR_Heap::Default() == &a);
        VR_Heap::SetDefault(c);
    }
    CHECK(&VR_Heap::Default() == &a);

    VR_Heap::SetDefault(DefaultHeap);
    CHECK(a.Validate() == 0 && b.Validate() == 0 && c.Validate() == 0);
    CHECK(DefaultHeap.Validate() == 0);
    return Finish("process_switcher");
}
