// A clock that moves only when told to. sleep_ms advances it at once, so code
// whose waits are functions of the clock runs instantly under test; threads
// blocked in wait_until are woken by advance().
#pragma once

#include <atomic>
#include <vector>

#include "platform/clock.h"

namespace sorvane::sim {

class ManualClock final : public platform::IClock {
public:
    explicit ManualClock(uint64_t start_ms = 1'000'000, int64_t wall_start_ms = 1'765'000'000'000);

    uint64_t now_ms() override;
    uint64_t now_us() override;
    int64_t wall_ms() override;
    // Local time is UTC shifted by the configured offset.
    platform::CivilTime local_time(int64_t wall_ms) override;
    void sleep_ms(uint64_t ms) override;
    bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint64_t deadline_ms,
                    const std::function<bool()>& pred) override;

    // Moves monotonic and wall time forward and wakes every waiter.
    void advance_ms(uint64_t ms);
    void advance_us(uint64_t us);
    // Sets the wall clock alone (monotonic time is unaffected).
    void set_wall_ms(int64_t wall_ms);
    void set_local_offset_minutes(int minutes);
    // Number of threads currently inside wait_until (for tests that must know
    // a thread is blocked before advancing).
    size_t waiters() const;
    // How many times wait_until was entered: a waiter that went back to
    // waiting after an advance has a higher count than before it.
    uint64_t wait_calls() const;
    // When false, sleep_ms blocks until another thread advances past the end of
    // the sleep instead of advancing the clock itself.
    void set_sleep_advances(bool advances);

private:
    struct Waiter {
        std::mutex* mutex;
        std::condition_variable* cv;
    };
    void wake_all();

    mutable std::mutex mutex_;       // times and settings
    mutable std::mutex wake_mutex_;  // waiters_
    std::condition_variable sleep_cv_;
    uint64_t now_us_;
    int64_t wall_us_;
    int local_offset_min_ = 0;
    bool sleep_advances_ = true;
    std::vector<Waiter> waiters_;
    uint64_t wait_calls_ = 0;
};

}  // namespace sorvane::sim
