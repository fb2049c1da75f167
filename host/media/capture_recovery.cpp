#include "host/media/capture_recovery.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "host/core/log.h"
#include "host/media/encoder.h"

namespace sorvane {

namespace {

std::string hex_hr(int32_t hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08" PRIX32, static_cast<uint32_t>(hr));
    return buf;
}

std::string seconds(uint64_t ms) { return fixed_text(static_cast<double>(ms) / 1000.0, 1); }

constexpr uint64_t kReacquireEveryMs = 200;
constexpr uint64_t kRepeatLogEveryMs = 5000;

}  // namespace

CaptureRecovery::CaptureRecovery(uint32_t session, IRecoverableCapture& source, platform::IClock& clock,
                                 std::function<void(const std::string&, const std::string&)> write_state,
                                 std::function<bool()> stop_requested)
    : session_(session),
      source_(source),
      clock_(clock),
      write_state_(std::move(write_state)),
      stop_requested_(std::move(stop_requested)) {}

CaptureRecoveryStats CaptureRecovery::stats() const {
    CaptureRecoveryStats s;
    s.capture_losses = losses_.load();
    s.capture_errors = errors_.load();
    s.last_error = last_error_;
    s.stall_since_ms = stall_since_ms_.load();
    return s;
}

bool CaptureRecovery::mark_stall() {
    // 0 means "not stalled", so a clock that reads 0 still marks 1.
    uint64_t none = 0;
    return stall_since_ms_.compare_exchange_strong(none, std::max<uint64_t>(clock_.now_ms(), 1));
}

void CaptureRecovery::on_status(AcquireStatus status) {
    switch (status) {
        case AcquireStatus::lost:
            on_lost();
            break;
        case AcquireStatus::error:
            on_error();
            break;
        case AcquireStatus::frame:
        case AcquireStatus::timeout:
            if (run_errors_ > 0) on_recovered();
            if (lost_run_ > 0) on_reacquired();
            break;
    }
}

void CaptureRecovery::on_lost() {
    losses_.fetch_add(1);
    last_error_ = "desktop duplication lost";
    const uint64_t now = clock_.now_ms();
    if (lost_run_ == 0) {
        int32_t release_hr = source_.release_hr();
        if (release_hr != 0) {
            session_log(session_, "desktop duplication lost (ReleaseFrame hr=%s); re-acquiring",
                        hex_hr(release_hr).c_str());
        } else {
            session_log(session_, "desktop duplication lost (mode change / secure desktop); re-acquiring");
        }
        lost_start_ms_ = lost_last_log_ms_ = now;
        // A stall mark another rule set (a run of errors) stays as it is: its
        // time is the one the watchdog must see, and its run clears it.
        lost_set_stall_ = mark_stall();
    } else {
        // Lost again before the new duplication delivered anything: each new
        // attempt waits like a failed one, and the line comes at most every
        // 5 s. The stall mark stays, so the watchdog sees the time it takes.
        if (now - lost_last_log_ms_ >= kRepeatLogEveryMs) {
            lost_last_log_ms_ = now;
            session_log(session_, "desktop duplication lost again right after re-acquiring: %" PRIu32 " losses in %s s",
                        lost_run_ + 1, seconds(now - lost_start_ms_).c_str());
        }
        clock_.sleep_ms(kReacquireEveryMs);
    }
    ++lost_run_;
    while (!(stop_requested_ && stop_requested_())) {
        if (source_.reopen()) break;
        clock_.sleep_ms(kReacquireEveryMs);
    }
}

void CaptureRecovery::on_reacquired() {
    if (lost_run_ > 1) {
        session_log(session_, "desktop duplication delivers again after %" PRIu32 " losses in %s s", lost_run_,
                    seconds(clock_.now_ms() - lost_start_ms_).c_str());
    }
    if (lost_set_stall_) stall_since_ms_.store(0);
    lost_run_ = 0;
    lost_set_stall_ = false;
}

void CaptureRecovery::on_error() {
    errors_.fetch_add(1);
    const int32_t hr = source_.last_hr();
    last_error_ = "AcquireNextFrame hr=" + hex_hr(hr);
    const uint64_t now = clock_.now_ms();
    ++run_errors_;
    if (run_errors_ == 1) {
        run_start_ms_ = now;
        run_first_hr_ = hr;
        run_last_still_log_ms_ = now;
        run_set_stall_ = mark_stall();
        session_log(session_, "AcquireNextFrame error hr=%s", hex_hr(hr).c_str());
    } else if (now - run_last_still_log_ms_ >= kRepeatLogEveryMs) {
        run_last_still_log_ms_ = now;
        session_log(session_, "AcquireNextFrame still failing: %" PRIu32 " errors in %s s (last hr=%s, %" PRIu32
                              " duplication reset(s))",
                    run_errors_, seconds(now - run_start_ms_).c_str(), hex_hr(hr).c_str(), run_resets_);
    }
    if (run_errors_ % 3 == 0) {
        if (run_resets_ < 2) {
            ++run_resets_;
            bool ok = source_.reopen();
            std::string outcome = ok ? "ok" : "failed, hr=" + hex_hr(source_.last_hr());
            session_log(session_,
                        "AcquireNextFrame failing (hr=%s, %" PRIu32
                        " in a row): recreating the desktop duplication (%" PRIu32 "/2): %s",
                        hex_hr(hr).c_str(), run_errors_, run_resets_, outcome.c_str());
        } else if (!run_gave_up_) {
            run_gave_up_ = true;
            if (write_state_) {
                write_state_("last_capture_stall",
                             "hr=" + hex_hr(hr) + ", " + std::to_string(run_errors_) +
                                 " hata, duplication 2 kez yeniden kuruldu: DUZELMEDI, oturum bekcisi hatti yeniden "
                                 "kuracak");
            }
            session_log(session_,
                        "desktop capture could not recover by recreating the duplication (hr=%s); the session "
                        "watchdog rebuilds the pipeline after 4 s",
                        hex_hr(hr).c_str());
        }
    }
    clock_.sleep_ms(50);
}

void CaptureRecovery::on_recovered() {
    const uint64_t elapsed = clock_.now_ms() - run_start_ms_;
    session_log(session_, "desktop capture recovered after %" PRIu32 " AcquireNextFrame errors in %s s (first hr=%s, %" PRIu32
                          " duplication reset(s))",
                run_errors_, seconds(elapsed).c_str(), hex_hr(run_first_hr_).c_str(), run_resets_);
    if (write_state_) {
        write_state_("last_capture_stall", "hr=" + hex_hr(run_first_hr_) + ", " + std::to_string(run_errors_) +
                                               " hata, " + seconds(elapsed) + " sn, duplication yeniden kurma " +
                                               std::to_string(run_resets_) + ": DUZELDI");
    }
    if (run_set_stall_) stall_since_ms_.store(0);
    run_errors_ = 0;
    run_resets_ = 0;
    run_gave_up_ = false;
    run_set_stall_ = false;
}

}  // namespace sorvane
