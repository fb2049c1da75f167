#include <gtest/gtest.h>

#include <thread>

#include "host/app/host_runtime.h"
#include "platform/sim/manual_clock.h"

namespace sorvane {
namespace {

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
