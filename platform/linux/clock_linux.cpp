#include <time.h>

#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace sorvane::platform {

namespace {

class SystemClock final : public IClock {
public:
    uint64_t now_ms() override { return now_us() / 1000; }

    uint64_t now_us() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint64_t>(ts.tv_sec) * 1'000'000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
    }

    int64_t wall_ms() override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
    }

    CivilTime local_time(int64_t wall) override {
        const int64_t secs = wall >= 0 ? wall / 1000 : (wall - 999) / 1000;
        const time_t t = static_cast<time_t>(secs);
        tm parts{};
        if (localtime_r(&t, &parts) == nullptr) return utc_civil(wall);
        CivilTime c;
        c.year = static_cast<uint32_t>(parts.tm_year + 1900);
        c.month = static_cast<uint32_t>(parts.tm_mon + 1);
        c.day = static_cast<uint32_t>(parts.tm_mday);
        c.hour = static_cast<uint32_t>(parts.tm_hour);
        c.minute = static_cast<uint32_t>(parts.tm_min);
        c.second = static_cast<uint32_t>(parts.tm_sec > 59 ? 59 : parts.tm_sec);
        c.millisecond = static_cast<uint32_t>(wall - secs * 1000);
        return c;
    }

    void sleep_ms(uint64_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint64_t deadline_ms,
                    const std::function<bool()>& pred) override {
        return wait_on_monotonic_ms(*this, lock, cv, deadline_ms, pred);
    }
};

}  // namespace

std::unique_ptr<IClock> make_system_clock() { return std::make_unique<SystemClock>(); }

}  // namespace sorvane::platform
