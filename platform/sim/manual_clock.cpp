#include "platform/sim/manual_clock.h"

#include <algorithm>

namespace sorvane::sim {

ManualClock::ManualClock(uint64_t start_ms, int64_t wall_start_ms)
    : now_us_(start_ms * 1000), wall_us_(wall_start_ms * 1000) {}

uint64_t ManualClock::now_ms() { return now_us() / 1000; }

uint64_t ManualClock::now_us() {
    std::lock_guard<std::mutex> g(mutex_);
    return now_us_;
}

int64_t ManualClock::wall_ms() {
    std::lock_guard<std::mutex> g(mutex_);
    return wall_us_ / 1000;
}

platform::CivilTime ManualClock::local_time(int64_t wall) {
    int offset = 0;
    {
        std::lock_guard<std::mutex> g(mutex_);
        offset = local_offset_min_;
    }
    return platform::utc_civil(wall + static_cast<int64_t>(offset) * 60'000);
}

void ManualClock::sleep_ms(uint64_t ms) {
    std::unique_lock<std::mutex> lk(mutex_);
    if (sleep_advances_) {
        lk.unlock();
        advance_ms(ms);
        return;
    }
    const uint64_t until = now_us_ + ms * 1000;
    sleep_cv_.wait(lk, [&] { return now_us_ >= until; });
}

bool ManualClock::wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint64_t deadline_ms,
                             const std::function<bool()>& pred) {
    // The waiter list has its own mutex, never taken while holding the caller's
    // lock: advance() holds it while taking each waiter's mutex.
    std::mutex* m = lock.mutex();
    lock.unlock();
    {
        std::lock_guard<std::mutex> g(wake_mutex_);
        waiters_.push_back({m, &cv});
        ++wait_calls_;
    }
    lock.lock();
    while (!pred() && now_ms() < deadline_ms) cv.wait(lock);
    lock.unlock();
    {
        std::lock_guard<std::mutex> g(wake_mutex_);
        auto it = std::find_if(waiters_.begin(), waiters_.end(),
                               [&](const Waiter& w) { return w.cv == &cv && w.mutex == m; });
        if (it != waiters_.end()) waiters_.erase(it);
    }
    lock.lock();
    return pred();
}

void ManualClock::advance_ms(uint64_t ms) { advance_us(ms * 1000); }

void ManualClock::advance_us(uint64_t us) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        now_us_ += us;
        wall_us_ += static_cast<int64_t>(us);
    }
    sleep_cv_.notify_all();
    wake_all();
}

void ManualClock::set_wall_ms(int64_t wall) {
    std::lock_guard<std::mutex> g(mutex_);
    wall_us_ = wall * 1000;
}

void ManualClock::set_local_offset_minutes(int minutes) {
    std::lock_guard<std::mutex> g(mutex_);
    local_offset_min_ = minutes;
}

size_t ManualClock::waiters() const {
    std::lock_guard<std::mutex> g(wake_mutex_);
    return waiters_.size();
}

uint64_t ManualClock::wait_calls() const {
    std::lock_guard<std::mutex> g(wake_mutex_);
    return wait_calls_;
}

void ManualClock::set_sleep_advances(bool advances) {
    std::lock_guard<std::mutex> g(mutex_);
    sleep_advances_ = advances;
}

void ManualClock::wake_all() {
    std::lock_guard<std::mutex> list(wake_mutex_);
    for (const Waiter& w : waiters_) {
        // Taking the waiter's mutex orders this notify after its check of the time.
        std::lock_guard<std::mutex> g(*w.mutex);
        w.cv->notify_all();
    }
}

}  // namespace sorvane::sim
