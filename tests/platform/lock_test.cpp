/*
 * lock_test.cpp - the library's recursive lock: depth counting by the
 * holder, exclusion among many threads (more than the machine has
 * processors, so holders get preempted and waiters must sleep and be woken),
 * Leave counting for the owner only, and a contended wait leaving the
 * caller's error value alone. The invariant is checked whenever the lock is
 * quiet.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <errno.h>
#include <string.h>
#include <thread>
#include <vector>

#if defined(_WIN32)
#  include <windows.h>
#endif

#include "os_lock.h"
#include "os_thread.h"

namespace {

struct LockFixture : ::testing::Test {
    VR_LockStorage lock;
    void SetUp() override
    {
        memset(&lock, 0xCD, sizeof lock);
        vr_os::LockInit(&lock);
        ASSERT_TRUE(vr_os::LockIsConsistent(&lock));
    }
    void TearDown() override
    {
        EXPECT_TRUE(vr_os::LockIsConsistent(&lock));
        vr_os::LockDelete(&lock);
    }
    const vr_os::VR_LockWord &Word() const { return *(const vr_os::VR_LockWord *)&lock; }
    int Held() const { return __atomic_load_n(&Word().state, __ATOMIC_ACQUIRE) != 0; }
};

void Pause()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

/* Sets the system's per-thread error value and reads it back. */
void SetError(int value)
{
#if defined(_WIN32)
    SetLastError((DWORD)value);
#else
    errno = value;
#endif
}

int GetError()
{
#if defined(_WIN32)
    return (int)GetLastError();
#else
    return errno;
#endif
}

} // namespace

TEST(LockIdentity, DistinctPerThreadAndStable)
{
    uintptr_t mine = vr_os::ThreadIdentity();
    EXPECT_NE(0u, mine);
    EXPECT_EQ(mine, vr_os::ThreadIdentity());
    const int kThreads = 4;
    uintptr_t theirs[kThreads] = {};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    /* All alive at once, so none can inherit another's control block. */
    for (int i = 0; i < kThreads; i++)
        threads.emplace_back([&, i] {
            theirs[i] = vr_os::ThreadIdentity();
            ready++;
            while (ready.load() < kThreads) std::this_thread::yield();
        });
    for (auto &t : threads) t.join();
    for (int i = 0; i < kThreads; i++) {
        EXPECT_NE(0u, theirs[i]);
        EXPECT_NE(mine, theirs[i]);
        for (int j = 0; j < i; j++) EXPECT_NE(theirs[j], theirs[i]);
    }
}

TEST_F(LockFixture, HolderReentersAndOpensOnlyAtTheLastLeave)
{
    vr_os::LockEnter(&lock);
    vr_os::LockEnter(&lock);
    vr_os::LockEnter(&lock);
    EXPECT_TRUE(vr_os::LockIsConsistent(&lock));
    EXPECT_EQ(3u, Word().count);
    EXPECT_EQ(vr_os::ThreadIdentity(), Word().owner);

    std::atomic<int> entered{0};
    std::thread other([&] {
        vr_os::LockEnter(&lock);
        entered = 1;
        vr_os::LockLeave(&lock);
    });
    vr_os::LockLeave(&lock);
    vr_os::LockLeave(&lock);
    Pause();
    /* One level is still held: the other thread must still be waiting. */
    EXPECT_EQ(0, entered.load());
    EXPECT_EQ(1u, Word().count);
    vr_os::LockLeave(&lock);
    other.join();
    EXPECT_EQ(1, entered.load());
    EXPECT_FALSE(Held());
}

TEST_F(LockFixture, LeaveByAnotherThreadOrOfAFreeLockIsIgnored)
{
    /* A free lock stays free. */
    vr_os::LockLeave(&lock);
    EXPECT_FALSE(Held());
    EXPECT_TRUE(vr_os::LockIsConsistent(&lock));

    vr_os::LockEnter(&lock);
    std::thread stranger([&] {
        vr_os::LockLeave(&lock);
        vr_os::LockLeave(&lock);
    });
    stranger.join();
    EXPECT_TRUE(Held());
    EXPECT_EQ(vr_os::ThreadIdentity(), Word().owner);
    EXPECT_EQ(1u, Word().count);

    /* Nobody else gets in until the owner leaves. */
    std::atomic<int> entered{0};
    std::thread waiter([&] {
        vr_os::LockEnter(&lock);
        entered = 1;
        vr_os::LockLeave(&lock);
    });
    Pause();
    EXPECT_EQ(0, entered.load());
    vr_os::LockLeave(&lock);
    waiter.join();
    EXPECT_EQ(1, entered.load());
    EXPECT_FALSE(Held());
}

/* Many more threads than processors, each bumping a plain counter inside
   a nested hold: any overlap of two holders loses increments. Some holders
   yield inside, so waiters pile up and sleep; the run must simply finish. */
TEST_F(LockFixture, ManyThreadsExcludeEachOtherAndAllFinish)
{
    const int kThreads = 24;
    const int kRounds = 4000;
    volatile uint32_t counter = 0;
    uint32_t inside = 0;
    std::atomic<uint32_t> overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; i++) {
                vr_os::LockEnter(&lock);
                vr_os::LockEnter(&lock);
                if (__atomic_fetch_add(&inside, 1, __ATOMIC_RELAXED) != 0) overlaps++;
                uint32_t v = counter;
                if ((i + t) % 97 == 0) std::this_thread::yield();
                counter = v + 1;
                __atomic_fetch_sub(&inside, 1, __ATOMIC_RELAXED);
                vr_os::LockLeave(&lock);
                vr_os::LockLeave(&lock);
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ((uint32_t)kThreads * kRounds, counter);
    EXPECT_EQ(0u, overlaps.load());
    EXPECT_FALSE(Held());
}

/* malloc must not change errno (or the last-error value) of its caller,
   and a wait that the system cuts short, or finds already over, would. */
TEST_F(LockFixture, ContendedEnterKeepsTheCallersErrorValue)
{
    const int kThreads = 8;
    const int kRounds = 3000;
    std::atomic<uint32_t> changed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; i++) {
                int mark = 1000 + t;
                SetError(mark);
                vr_os::LockEnter(&lock);
                if (GetError() != mark) changed++;
                if (i % 16 == 0) std::this_thread::yield();
                SetError(mark);
                vr_os::LockLeave(&lock);
                if (GetError() != mark) changed++;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(0u, changed.load());
}
