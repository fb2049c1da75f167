#include "platform/clock.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace sorvane::platform {

bool wait_on_monotonic_ms(IClock& clock, std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                          uint64_t deadline_ms, const std::function<bool()>& pred) {
    // A day per slice: adding a larger duration to the steady clock's now
    // can overflow, and an overflowed wait returns at once (a busy loop).
    constexpr uint64_t kSliceMs = 86'400'000;
    while (!pred()) {
        const uint64_t now = clock.now_ms();
        if (now >= deadline_ms) return false;
        cv.wait_for(lock, std::chrono::milliseconds(std::min(deadline_ms - now, kSliceMs)));
    }
    return true;
}

namespace {

// Days since 1970-01-01 of a civil date, and the reverse (H. Hinnant's algorithms).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

}  // namespace

CivilTime utc_civil(int64_t wall_ms) {
    const int64_t days = floor_div(wall_ms, 86'400'000);
    const int64_t ms_of_day = wall_ms - days * 86'400'000;
    int64_t y = 0;
    unsigned m = 0;
    unsigned d = 0;
    civil_from_days(days, y, m, d);
    CivilTime t;
    t.year = static_cast<uint32_t>(y);
    t.month = m;
    t.day = d;
    t.hour = static_cast<uint32_t>(ms_of_day / 3'600'000);
    t.minute = static_cast<uint32_t>(ms_of_day / 60'000 % 60);
    t.second = static_cast<uint32_t>(ms_of_day / 1000 % 60);
    t.millisecond = static_cast<uint32_t>(ms_of_day % 1000);
    return t;
}

int64_t wall_ms_from_utc(const CivilTime& t) {
    const int64_t days = days_from_civil(static_cast<int64_t>(t.year), t.month, t.day);
    return days * 86'400'000 + static_cast<int64_t>(t.hour) * 3'600'000 +
           static_cast<int64_t>(t.minute) * 60'000 + static_cast<int64_t>(t.second) * 1000 +
           static_cast<int64_t>(t.millisecond);
}

std::string utc_stamp(const CivilTime& t) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02uZ", static_cast<unsigned>(t.year),
                  static_cast<unsigned>(t.month), static_cast<unsigned>(t.day), static_cast<unsigned>(t.hour),
                  static_cast<unsigned>(t.minute), static_cast<unsigned>(t.second));
    return buf;
}

}  // namespace sorvane::platform
