#include <windows.h>

#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace sorvane::platform {

namespace {

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kFileTimeEpochOffset = 116'444'736'000'000'000;

class SystemClock final : public IClock {
public:
    SystemClock() {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        frequency_ = f.QuadPart > 0 ? static_cast<uint64_t>(f.QuadPart) : 1;
    }

    uint64_t now_ms() override { return now_us() / 1000; }

    uint64_t now_us() override {
        LARGE_INTEGER c{};
        QueryPerformanceCounter(&c);
        const uint64_t ticks = static_cast<uint64_t>(c.QuadPart);
        // Whole seconds and the remainder apart, so the product cannot overflow.
        return ticks / frequency_ * 1'000'000u + ticks % frequency_ * 1'000'000u / frequency_;
    }

    int64_t wall_ms() override {
        FILETIME ft{};
        GetSystemTimePreciseAsFileTime(&ft);
        const int64_t t = static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
        return (t - kFileTimeEpochOffset) / 10'000;
    }

    CivilTime local_time(int64_t wall) override {
        // FILETIME starts in 1601; earlier times keep UTC.
        if (wall < -kFileTimeEpochOffset / 10'000) return utc_civil(wall);
        const uint64_t t = static_cast<uint64_t>(wall * 10'000 + kFileTimeEpochOffset);
        FILETIME ft{};
        ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFFu);
        ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
        SYSTEMTIME utc{};
        SYSTEMTIME local{};
        if (!FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
            return utc_civil(wall);
        CivilTime c;
        c.year = local.wYear;
        c.month = local.wMonth;
        c.day = local.wDay;
        c.hour = local.wHour;
        c.minute = local.wMinute;
        c.second = local.wSecond;
        c.millisecond = local.wMilliseconds;
        return c;
    }

    void sleep_ms(uint64_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint64_t deadline_ms,
                    const std::function<bool()>& pred) override {
        return wait_on_monotonic_ms(*this, lock, cv, deadline_ms, pred);
    }

private:
    uint64_t frequency_ = 1;
};

}  // namespace

std::unique_ptr<IClock> make_system_clock() { return std::make_unique<SystemClock>(); }

}  // namespace sorvane::platform
