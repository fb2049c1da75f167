#include <gtest/gtest.h>

#include <thread>

#include "host/core/host_runtime.h"
#include "platform/clock.h"
#include "platform/sim/manual_clock.h"

namespace sorvane {
namespace {

TEST(Clock, UtcCivilRoundTrips) {
    const platform::CivilTime t = platform::utc_civil(0);
    EXPECT_EQ(t.year, 1970u);
    EXPECT_EQ(t.month, 1u);
    EXPECT_EQ(t.day, 1u);
    // 2024-02-29T23:59:59.999Z, a leap day.
    const int64_t ms = 1'709'251'199'999;
    const platform::CivilTime leap = platform::utc_civil(ms);
    EXPECT_EQ(leap.year, 2024u);
    EXPECT_EQ(leap.month, 2u);
    EXPECT_EQ(leap.day, 29u);
    EXPECT_EQ(leap.hour, 23u);
    EXPECT_EQ(leap.minute, 59u);
    EXPECT_EQ(leap.second, 59u);
    EXPECT_EQ(leap.millisecond, 999u);
    EXPECT_EQ(platform::wall_ms_from_utc(leap), ms);
    const platform::CivilTime before = platform::utc_civil(-1);
    EXPECT_EQ(before.year, 1969u);
    EXPECT_EQ(before.millisecond, 999u);
}

TEST(Clock, ManualClockWakesWaitersWhenAdvanced) {
    sim::ManualClock clock;
    std::mutex m;
    std::condition_variable cv;
    bool flag = false;
    bool result = true;
    std::thread waiter([&] {
        std::unique_lock<std::mutex> lk(m);
        result = clock.wait_until(lk, cv, clock.now_ms() + 5000, [&] { return flag; });
    });
    while (clock.waiters() == 0) std::this_thread::yield();
    clock.advance_ms(4999);
    clock.advance_ms(1);
    waiter.join();
    EXPECT_FALSE(result);

    std::thread waiter2([&] {
        std::unique_lock<std::mutex> lk(m);
        result = clock.wait_until(lk, cv, clock.now_ms() + 5000, [&] { return flag; });
    });
    while (clock.waiters() == 0) std::this_thread::yield();
    {
        std::lock_guard<std::mutex> g(m);
        flag = true;
    }
    cv.notify_all();
    waiter2.join();
    EXPECT_TRUE(result);
}

TEST(ConsoleWait, EndsOnTheStopFlagOrAfterRunSeconds) {
    sim::ManualClock clock;
    std::atomic<bool> stop{false};
    const uint64_t start = clock.now_ms();
    console_wait(clock, stop, 5);
    EXPECT_EQ(clock.now_ms() - start, 5000u);

    stop = true;
    const uint64_t start2 = clock.now_ms();
    console_wait(clock, stop, 0);
    EXPECT_EQ(clock.now_ms(), start2);
}

}  // namespace
}  // namespace sorvane
