/*
 * new_throws_posix.cpp - operator new keeps the C++ contract when it is the
 * library's: for sizes no heap can serve and for exhausted memory (every
 * reservation refused), the throwing forms (plain, array, aligned) run the
 * new handler and throw std::bad_alloc, the nothrow forms return null, and
 * a container that runs out reports it with the exception.
 */
#include <errno.h>

#include <new>
#include <vector>

#include "hook_common.h"
#include "os_memory.h"

static int g_handlerCalls;

/* Gives up at its first call, as a handler with nothing left to free. */
static void GiveUp()
{
    g_handlerCalls++;
    std::set_new_handler(nullptr);
}

template <class F> static int Throws(F f)
{
    try {
        f();
    } catch (const std::bad_alloc &) {
        return 1;
    }
    return 0;
}

static void Sizes(size_t n)
{
    const std::align_val_t al = std::align_val_t(64);
    CHECK(Throws([n] { ::operator delete(::operator new(n)); }));
    CHECK(Throws([n] { ::operator delete[](::operator new[](n)); }));
    CHECK(Throws([n, al] { ::operator delete(::operator new(n, al), al); }));
    CHECK(Throws([n, al] { ::operator delete[](::operator new[](n, al), al); }));
    CHECK(::operator new(n, std::nothrow) == 0);
    CHECK(::operator new[](n, std::nothrow) == 0);
    CHECK(::operator new(n, al, std::nothrow) == 0 && errno == ENOMEM);
    CHECK(::operator new[](n, al, std::nothrow) == 0);

    /* The handler runs before the exception. */
    g_handlerCalls = 0;
    std::set_new_handler(GiveUp);
    CHECK(Throws([n] { ::operator delete(::operator new(n)); }));
    CHECK(g_handlerCalls == 1);
    std::set_new_handler(GiveUp);
    CHECK(::operator new(n, al, std::nothrow) == 0);
    CHECK(g_handlerCalls == 2);
}

int main()
{
    for (size_t n : {(size_t)0x80000000u, (size_t)0xFFFFFFF0u, (size_t)0xFFFFFFFFu}) Sizes(n);

    /* Memory runs out: requests of page sets of their own find no room. */
    std::vector<char> kept(100);
    VR_SetFault(vr_os::kFaultReserve, 1, 0xFFFFFFFFu);
    Sizes(7u << 20);
    CHECK(Throws([] {
        std::vector<char> v;
        for (;;) v.push_back('x');
    }));
    VR_SetFault(vr_os::kFaultReserve, 0, 0);

    void *p = ::operator new(100), *q = ::operator new(100, std::align_val_t(256));
    CHECK(p && q && ((uintptr_t)q & 255) == 0);
    ::operator delete(p);
    ::operator delete(q, std::align_val_t(256));
    CHECK(DefaultHeap.Validate() == 0);
    return Finish("new_throws_posix");
}
