// Time and mutex services: recursion, abandonment, null records, tick hook.
#include "csp.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(CspMutex, OwnerLocksTwiceAndKeepsItUntilTheSecondUnlock) {
    CspMutex* m = CspMutex_alloc();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(CspMutex_lock(m, -1), 1);
    EXPECT_EQ(CspMutex_lock(m, -1), 1);
    EXPECT_EQ(CspMutex_unlock(m), 1);
    int other = -1;
    std::thread([&] { other = CspMutex_try_lock(m); }).join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(CspMutex_unlock(m), 1);
    std::thread([&] {
        other = CspMutex_try_lock(m);
        CspMutex_unlock(m);
    }).join();
    EXPECT_EQ(other, 1);
    EXPECT_EQ(CspMutex_free(m), 1);
}

TEST(CspMutex, AbandonedLockIsGainedByTheNextOwner) {
    CspMutex* m = CspMutex_alloc();
    std::thread([&] { CspMutex_lock(m, -1); }).join();
    EXPECT_EQ(CspMutex_lock(m, -1), 1);
    EXPECT_EQ(CspMutex_unlock(m), 1);
    CspMutex_free(m);
}

TEST(CspMutex, NullRecordsAreRefused) {
    EXPECT_EQ(CspMutex_init(nullptr), nullptr);
    EXPECT_EQ(CspMutex_free(nullptr), 0);
    EXPECT_EQ(CspMutex_lock(nullptr, -1), 0);
    EXPECT_EQ(CspMutex_try_lock(nullptr), 0);
    EXPECT_EQ(CspMutex_unlock(nullptr), 0);
}

TEST(CspMutex, FailedCreationGivesNull) {
    Csp_test_fail_mutex_creations(1);
    EXPECT_EQ(CspMutex_alloc(), nullptr);
    CspMutex* m = CspMutex_alloc();
    EXPECT_NE(m, nullptr);
    CspMutex_free(m);
}

uint32_t fake_tick(void* p) { return *static_cast<uint32_t*>(p); }

TEST(CspTick, InstalledSourceIsReadAndWraps) {
    uint32_t now = 0xFFFFFFF0u;
    Csp_set_tick_source(fake_tick, &now);
    EXPECT_EQ(Csp_get_tick_count(), 0xFFFFFFF0u);
    now += 0x20;
    EXPECT_EQ(Csp_get_tick_count(), 0x10u);
    Csp_set_tick_source(nullptr, nullptr);
    uint32_t a = Csp_get_tick_count();
    Csp_sleep_ms(5);
    EXPECT_GE((int32_t)(Csp_get_tick_count() - a), 4);
}

int count_sleep(void* p, int t_ms) {
    *static_cast<int*>(p) += t_ms + 1;
    return 1;
}

TEST(CspSleep, HookReplacesTheSleep) {
    int calls = 0;
    Csp_set_sleep_hook(count_sleep, &calls);
    EXPECT_EQ(Csp_sleep_ms(0), 1);
    EXPECT_EQ(Csp_sleep_ms(100000), 1);
    Csp_set_sleep_hook(nullptr, nullptr);
    EXPECT_EQ(calls, 100002);
}

} // namespace
