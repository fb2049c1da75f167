// A budget for repetitive lines that peers cause (connection lines, rejected
// input and datagrams): at most `budget` lines per window; the rest are
// counted and reported later in one line.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/clock.h"

namespace sorvane {

class LogRateLimiter {
public:
    LogRateLimiter(uint32_t budget = 8, uint64_t window_ms = 10'000) : budget_(budget), window_ms_(window_ms) {}

    // True when one more line may be written now; otherwise the line is
    // counted as suppressed.
    bool request(uint64_t now_ms);
    // Lines suppressed in windows that have ended and were not reported yet;
    // the count starts again at 0.
    uint64_t take_suppressed(uint64_t now_ms);
    // Every suppressed line not reported yet, the running window's included
    // (when the lines' source stops); the count starts again at 0.
    uint64_t take_all_suppressed();

private:
    void roll(uint64_t now_ms);

    const uint32_t budget_;
    const uint64_t window_ms_;
    bool started_ = false;
    uint64_t window_start_ = 0;
    uint32_t used_ = 0;
    uint64_t suppressed_in_window_ = 0;
    uint64_t suppressed_total_ = 0;
};

// A LogRateLimiter on a clock that any thread may ask. Its lock is innermost.
class LineBudget {
public:
    LineBudget(platform::IClock& clock, uint32_t budget, uint64_t window_ms) : clock_(clock), limiter_(budget, window_ms) {}

    // True when the line may be written now.
    bool allow() {
        std::lock_guard<std::mutex> g(mutex_);
        return limiter_.request(clock_.now_ms());
    }
    // See LogRateLimiter: suppressed in ended windows, or all of them.
    uint64_t take_suppressed() {
        std::lock_guard<std::mutex> g(mutex_);
        return limiter_.take_suppressed(clock_.now_ms());
    }
    uint64_t take_all_suppressed() {
        std::lock_guard<std::mutex> g(mutex_);
        return limiter_.take_all_suppressed();
    }

private:
    platform::IClock& clock_;
    std::mutex mutex_;
    LogRateLimiter limiter_;
};

}  // namespace sorvane
