// What the frame loop does with each capture status: re-acquire after a lost
// duplication (waiting between attempts, and before each re-acquire when the
// duplication is lost again before it delivered anything), count and log
// runs of AcquireNextFrame errors, recreate the duplication at the third and
// sixth error of a run, give up to the session watchdog after that, and log
// the recovery. Keeps the stall mark the session's watchdog reads until the
// capture delivers again. Runs on the frame thread; every wait is on the
// injected clock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "host/media/capture.h"
#include "platform/clock.h"

namespace sorvane {

struct CaptureRecoveryStats {
    uint64_t capture_losses = 0;
    uint64_t capture_errors = 0;
    std::string last_error;
    uint64_t stall_since_ms = 0;  // 0: not stalled
};

class CaptureRecovery {
public:
    // write_state stores a state key ("last_capture_stall"); stop_requested
    // ends the re-acquire loop.
    CaptureRecovery(uint32_t session, IRecoverableCapture& source, platform::IClock& clock,
                    std::function<void(const std::string& key, const std::string& value)> write_state,
                    std::function<bool()> stop_requested);

    // Carries out the rule for one acquire result (including its waits).
    void on_status(AcquireStatus status);

    // A snapshot; last_error only on the capture's thread.
    CaptureRecoveryStats stats() const;
    // Readable from any thread (the watchdog's view).
    uint64_t stall_since_ms() const { return stall_since_ms_.load(); }
    uint64_t capture_losses() const { return losses_.load(); }
    uint64_t capture_errors() const { return errors_.load(); }
    // The text of the last loss or error (capture's thread).
    const std::string& last_error() const { return last_error_; }
    uint32_t errors_in_run() const { return run_errors_; }

private:
    void on_lost();
    void on_error();
    void on_recovered();
    void on_reacquired();
    // Marks the capture stalled since now unless a mark is set; true when
    // this call set it.
    bool mark_stall();

    uint32_t session_;
    IRecoverableCapture& source_;
    platform::IClock& clock_;
    std::function<void(const std::string&, const std::string&)> write_state_;
    std::function<bool()> stop_requested_;
    std::atomic<uint64_t> losses_{0}, errors_{0};
    std::atomic<uint64_t> stall_since_ms_{0};
    std::string last_error_;

    // The current run of errors.
    uint32_t run_errors_ = 0;
    uint64_t run_start_ms_ = 0;
    int32_t run_first_hr_ = 0;
    uint32_t run_resets_ = 0;
    bool run_gave_up_ = false;
    bool run_set_stall_ = false;
    uint64_t run_last_still_log_ms_ = 0;

    // The current run of losses: each re-acquired duplication was lost again
    // before it delivered a frame or a time-out.
    uint32_t lost_run_ = 0;
    uint64_t lost_start_ms_ = 0;
    uint64_t lost_last_log_ms_ = 0;
    bool lost_set_stall_ = false;
};

}  // namespace sorvane
