// The clock port: calendar arithmetic and the machine's clocks.
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace sorvane::platform {
namespace {

TEST(Clock, UtcCivilRoundTrips) {
    const CivilTime t = utc_civil(0);
    EXPECT_EQ(t.year, 1970u);
    EXPECT_EQ(t.month, 1u);
    EXPECT_EQ(t.day, 1u);
    // 2024-02-29T23:59:59.999Z, a leap day.
    const int64_t ms = 1'709'251'199'999;
    const CivilTime leap = utc_civil(ms);
    EXPECT_EQ(leap.year, 2024u);
    EXPECT_EQ(leap.month, 2u);
    EXPECT_EQ(leap.day, 29u);
    EXPECT_EQ(leap.hour, 23u);
    EXPECT_EQ(leap.minute, 59u);
    EXPECT_EQ(leap.second, 59u);
    EXPECT_EQ(leap.millisecond, 999u);
    EXPECT_EQ(wall_ms_from_utc(leap), ms);
    EXPECT_EQ(utc_stamp(leap), "2024-02-29T23:59:59Z");
    const CivilTime before = utc_civil(-1);
    EXPECT_EQ(before.year, 1969u);
    EXPECT_EQ(before.millisecond, 999u);
}

TEST(SystemClock, MonotonicWallAndLocalTime) {
    auto clock = make_system_clock();
    // Never backwards, milliseconds and microseconds from one source.
    uint64_t last = clock->now_us();
    for (int i = 0; i < 100'000; ++i) {
        const uint64_t now = clock->now_us();
        ASSERT_GE(now, last);
        last = now;
    }
    const uint64_t ms_before = clock->now_ms();
    const uint64_t us = clock->now_us();
    EXPECT_LE(ms_before, us / 1000);
    EXPECT_LE(us / 1000, clock->now_ms());

    clock->sleep_ms(20);
    EXPECT_GE(clock->now_ms() - ms_before, 20u);

    // Wall time is after this code was written, and local time differs from
    // UTC by a whole number of quarter hours, less than a day.
    const int64_t wall = clock->wall_ms();
    EXPECT_GT(wall, 1'700'000'000'000);
    const CivilTime local = clock->local_time(wall);
    EXPECT_EQ(local.millisecond, static_cast<uint32_t>(wall % 1000));
    const int64_t offset = wall_ms_from_utc(local) - wall;
    EXPECT_EQ(offset % (15 * 60'000), 0);
    EXPECT_LT(offset < 0 ? -offset : offset, 86'400'000);
}

TEST(SystemClock, WaitUntilEndsOnThePredicateOrThePassedDeadline) {
    auto clock = make_system_clock();
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lock(m);
    EXPECT_TRUE(clock->wait_until(lock, cv, clock->now_ms() + 60'000, [] { return true; }));
    const uint64_t start = clock->now_ms();
    EXPECT_FALSE(clock->wait_until(lock, cv, start + 15, [] { return false; }));
    EXPECT_GE(clock->now_ms(), start + 15);

    // "Never" as the deadline blocks until notified; the predicate is not
    // polled in a loop (an overflowed timed wait would return at once).
    bool done = false;
    size_t polls = 0;
    std::thread notifier([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        std::lock_guard<std::mutex> g(m);
        done = true;
        cv.notify_all();
    });
    EXPECT_TRUE(clock->wait_until(lock, cv, UINT64_MAX, [&] { return ++polls, done; }));
    notifier.join();
    EXPECT_LE(polls, 4u);
}

}  // namespace
}  // namespace sorvane::platform
