// Clock port: monotonic time for every time-out and statistic, wall time for
// stored timestamps, local time for file names. Components take an IClock at
// construction; tests hand them a ManualClock (platform/sim/manual_clock.h).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace sorvane::platform {

// A calendar date and time of day; millisecond is 0..999.
struct CivilTime {
    uint32_t year = 1970;
    uint32_t month = 1;
    uint32_t day = 1;
    uint32_t hour = 0;
    uint32_t minute = 0;
    uint32_t second = 0;
    uint32_t millisecond = 0;
};

class IClock {
public:
    virtual ~IClock() = default;

    // Monotonic milliseconds and microseconds since an arbitrary start.
    virtual uint64_t now_ms() = 0;
    virtual uint64_t now_us() = 0;
    // Milliseconds since 1970-01-01T00:00:00Z.
    virtual int64_t wall_ms() = 0;
    // The wall time as local civil time (time zone of the machine).
    virtual CivilTime local_time(int64_t wall_ms) = 0;

    // Blocks the calling thread for ms milliseconds of this clock.
    virtual void sleep_ms(uint64_t ms) = 0;

    // Waits on cv (lock held by the caller) until pred() is true or the
    // monotonic time reaches deadline_ms. Returns pred(). Whoever changes the
    // state pred() reads must notify cv under the same mutex.
    virtual bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            uint64_t deadline_ms, const std::function<bool()>& pred) = 0;
};

// The machine's clocks.
std::unique_ptr<IClock> make_system_clock();

// wait_until for clocks whose time is the machine's monotonic time in ms.
// A deadline far away (up to "never", UINT64_MAX) is waited in slices the
// standard library's timed waits can represent.
bool wait_on_monotonic_ms(IClock& clock, std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                          uint64_t deadline_ms, const std::function<bool()>& pred);

// Civil time in UTC of a wall time (proleptic Gregorian calendar, no leap seconds).
CivilTime utc_civil(int64_t wall_ms);
// Inverse of utc_civil for whole milliseconds.
int64_t wall_ms_from_utc(const CivilTime& t);

// The stored timestamp form: "%04u-%02u-%02uT%02u:%02u:%02uZ" of a UTC time.
std::string utc_stamp(const CivilTime& t);

}  // namespace sorvane::platform
