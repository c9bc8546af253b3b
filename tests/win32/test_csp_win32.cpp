// Time and mutex services on Win32: the recursive system mutex, an abandoned
// mutex, and the null records.
#include "csp.h"

#include "con.h"
#include "recording_window.h"

#include <gtest/gtest.h>

#include <thread>
#include <windows.h>

namespace {

// What another thread gets from try_lock while the test thread holds p.
int try_lock_elsewhere(CspMutex* p) {
    int got = -1;
    std::thread t([&] {
        got = CspMutex_try_lock(p);
        if (got) CspMutex_unlock(p);
    });
    t.join();
    return got;
}

TEST(CspWin32, MutexIsRecursiveAndHeldUntilTheLastUnlock) {
    CspMutex* p = CspMutex_alloc();
    ASSERT_NE(p, nullptr);
    ASSERT_NE(p->h_mutex, nullptr);
    EXPECT_EQ(CspMutex_lock(p, -1), 1);
    EXPECT_EQ(CspMutex_lock(p, -1), 1); // the owner again: no wait
    EXPECT_EQ(CspMutex_try_lock(p), 1);
    EXPECT_EQ(CspMutex_unlock(p), 1);
    EXPECT_EQ(CspMutex_unlock(p), 1);
    EXPECT_EQ(try_lock_elsewhere(p), 0); // one level still held
    EXPECT_EQ(CspMutex_unlock(p), 1);
    EXPECT_EQ(try_lock_elsewhere(p), 1);
    EXPECT_EQ(CspMutex_free(p), 1);
}

TEST(CspWin32, MutexOfAnOwnerThatEndedIsGained) {
    CspMutex m;
    ASSERT_EQ(CspMutex_init(&m), &m);
    // The thread ends holding the mutex: the system marks it abandoned.
    std::thread t([&] { EXPECT_EQ(CspMutex_lock(&m, -1), 1); });
    t.join();
    EXPECT_EQ(CspMutex_try_lock(&m), 1);
    EXPECT_EQ(CspMutex_unlock(&m), 1);

    std::thread u([&] { EXPECT_EQ(CspMutex_lock(&m, -1), 1); });
    u.join();
    EXPECT_EQ(CspMutex_lock(&m, -1), 1);
    EXPECT_EQ(CspMutex_unlock(&m), 1);
    CloseHandle((HANDLE)m.h_mutex);
}

TEST(CspWin32, NullRecordsAreAnsweredWithoutTheSystem) {
    EXPECT_EQ(CspMutex_init(nullptr), nullptr);
    EXPECT_EQ(CspMutex_free(nullptr), 0);
    EXPECT_EQ(CspMutex_lock(nullptr, -1), 0);
    EXPECT_EQ(CspMutex_try_lock(nullptr), 0);
    EXPECT_EQ(CspMutex_unlock(nullptr), 0);
}

TEST(CspWin32, FailedCreationIsLoggedAndGivesNull) {
    LogCapture log;
    Con_print("the console's own lock exists now\n");
    Csp_test_fail_mutex_creations(1);
    EXPECT_EQ(CspMutex_alloc(), nullptr);
    Csp_test_fail_mutex_creations(0);
    EXPECT_EQ(log.count("error-src/support/csp.cpp-CspMutex_init: "
                        "p -> h_mutex = CreateMutex (NULL, FALSE, NULL))"),
              1);
}

TEST(CspWin32, SleepAndTickCountUseTheSystem) {
    EXPECT_EQ(Csp_sleep_ms(0), 1);
    uint32_t t0 = (uint32_t)GetTickCount();
    uint32_t t = Csp_get_tick_count();
    uint32_t t1 = (uint32_t)GetTickCount();
    EXPECT_LE(t - t0, t1 - t0); // read from the same clock
}

} // namespace
