#include "host/trust/log_rate_limiter.h"

namespace sorvane {

void LogRateLimiter::roll(uint64_t now_ms) {
    if (!started_) {
        started_ = true;
        window_start_ = now_ms;
        return;
    }
    if (now_ms - window_start_ >= window_ms_) {
        suppressed_total_ += suppressed_in_window_;
        suppressed_in_window_ = 0;
        used_ = 0;
        window_start_ = now_ms;
    }
}

bool LogRateLimiter::request(uint64_t now_ms) {
    roll(now_ms);
    if (used_ < budget_) {
        ++used_;
        return true;
    }
    ++suppressed_in_window_;
    return false;
}

uint64_t LogRateLimiter::take_suppressed(uint64_t now_ms) {
    roll(now_ms);
    const uint64_t total = suppressed_total_;
    suppressed_total_ = 0;
    return total;
}

uint64_t LogRateLimiter::take_all_suppressed() {
    const uint64_t total = suppressed_total_ + suppressed_in_window_;
    suppressed_total_ = 0;
    suppressed_in_window_ = 0;
    return total;
}

}  // namespace sorvane
