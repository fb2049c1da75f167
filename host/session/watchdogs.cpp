// The watchdogs of a streaming session: no UDP, no first frame, capture
// stalls and ended frame threads with at most two rebuilds, a vanished
// monitor, a resume from sleep and a desktop that changed size. Everything here runs on the tick thread under the session mutex.
#include <cinttypes>

#include "host/core/log.h"
#include "host/protocol/reasons.h"
#include "host/session/session.h"

namespace sorvane {

namespace {
constexpr uint64_t kNoHelloMs = 10'000;
constexpr uint64_t kNoFrameMs = 10'000;
constexpr uint64_t kCheckEveryMs = 2'000;
constexpr uint64_t kStuckMs = 4'000;
constexpr uint64_t kIdrWaitMs = 5'000;
constexpr uint64_t kSecondRebuildAfterMs = 10'000;
constexpr uint64_t kGiveUpMs = 10'000;
constexpr uint64_t kForgetRebuildsMs = 60'000;
}  // namespace

void Session::note_stall(const PipelineSnapshot& stats, const char* suffix) {
    if (!services_.note) return;
    const std::string when = services_.utc_now ? services_.utc_now() : "";
    services_.note("last_capture_stall",
                   when + " | session " + std::to_string(session_id_) + " | " + stats.text + suffix);
}

void Session::give_up(const PipelineSnapshot& stats) {
    session_log(session_id_, "WATCHDOG: capture/encode is stuck even after rebuilding (%s). Closing the session with reason no_frames.",
                stats.text.c_str());
    note_stall(stats, " | hat 2 kez yeniden kuruldu, DUZELMEDI: oturum no_frames ile kapatildi");
    close_with_reason(std::string(proto::kReasonNoFrames), stats.text);
}

void Session::run_watchdogs(uint64_t t) {
    if (state_ == SessionState::AwaitHello) {
        if (open_ack_ms_ != 0 && t - open_ack_ms_ > kNoHelloMs) {
            const std::string udp = udp_text();
            session_log(session_id_,
                        "WATCHDOG: no valid VideoHello within 10 s after SessionOpenAck (%s). Closing the session with "
                        "reason no_video_hello. Likely causes if udp_rx=0: Windows Firewall / antivirus blocks UDP %u, "
                        "the network profile is Public, or the router isolates Wi-Fi clients.",
                        udp.c_str(), unsigned{transport_.video_port()});
            close_with_reason(std::string(proto::kReasonNoVideoHello), udp);
        }
        return;
    }
    if (state_ != SessionState::Streaming || !pipeline_ || hello_.first_hello_ms() == 0) return;
    const uint64_t first_hello = hello_.first_hello_ms();
    if (!watchdog_.video_started) {
        const PipelineSnapshot stats = pipeline_->stats();
        if (stats.sent > 0) {
            watchdog_.video_started = true;
            session_log(session_id_, "video started: first frame sent %" PRIu64 " ms after the first valid VideoHello (%s)",
                        t - first_hello, stats.text.c_str());
        } else if (t - first_hello > kNoFrameMs) {
            session_log(session_id_,
                        "WATCHDOG: VideoHello arrived but no frame could be sent within 10 s (%s). Closing the session "
                        "with reason no_frames.",
                        stats.text.c_str());
            close_with_reason(std::string(proto::kReasonNoFrames), stats.text);
        }
        return;
    }
    if (watchdog_.last_check != 0 && t - watchdog_.last_check < kCheckEveryMs) return;
    watchdog_.last_check = t;
    const uint32_t epoch = services_.power_epoch ? services_.power_epoch() : 0;
    const bool resumed = epoch != power_epoch_seen_;
    if (!env_.monitor_provider().monitor_alive(client_id(), session_id_)) {
        session_log(session_id_,
                    "WATCHDOG: the monitor of this session is gone from the driver%s. Closing the session with reason "
                    "monitor_lost (the viewer reconnects and gets a new monitor).",
                    resumed ? " (the PC resumed from sleep/hibernation)" : "");
        close_with_reason(std::string(proto::kReasonMonitorLost),
                          resumed ? "driver removed the monitor while the PC slept" : "driver removed the monitor");
        return;
    }
    if (resumed) {
        power_epoch_seen_ = epoch;
        session_log(session_id_, "the PC resumed while this session was streaming: rebuilding capture and encode from scratch");
        if (!rebuild("power resume")) rebuild_failed();
        return;
    }
    const PipelineSnapshot stats = pipeline_->stats();
    if (stats.size_changed) {
        // A new mode, not a fault: the rebuild count stays as it is.
        session_log(session_id_, "the monitor's desktop changed size (%s): rebuilding the pipeline at the new size",
                    stats.text.c_str());
        if (!rebuild("desktop size changed")) rebuild_failed();
        return;
    }
    // A frame thread that ended never recovers by itself: stuck at once.
    const bool stuck = stats.ended || stats.stuck_ms >= kStuckMs || stats.idr_wait_ms >= kIdrWaitMs;
    if (stuck) {
        if (watchdog_.rebuild_count >= 2) {
            give_up(stats);
        } else if (watchdog_.rebuild_count == 0 || t - watchdog_.last_rebuild >= kSecondRebuildAfterMs) {
            session_log(session_id_, "WATCHDOG: capture/encode is stuck (%s): rebuilding the pipeline", stats.text.c_str());
            note_stall(stats, " | hat yeniden kuruluyor");
            ++watchdog_.rebuild_count;
            watchdog_.last_rebuild = t;
            if (!rebuild("stuck capture")) rebuild_failed();
        } else if (stats.stuck_ms >= kGiveUpMs || stats.idr_wait_ms >= kGiveUpMs) {
            give_up(stats);
        }
    } else if (watchdog_.rebuild_count != 0 && t - watchdog_.last_rebuild > kForgetRebuildsMs) {
        watchdog_.rebuild_count = 0;
    }
}

bool Session::rebuild(const std::string& cause) {
    const uint32_t rate = pipeline_->fps();
    pipeline_->stop();
    const uint32_t seq = pipeline_->frame_seq();
    SessionPipelineConfig config = pipeline_config_;
    config.fps = rate;
    std::string error = "no video pipeline in this build";
    std::unique_ptr<ISessionPipeline> fresh = services_.pipelines ? services_.pipelines->open(config, error) : nullptr;
    if (!fresh) {
        session_log(session_id_, "pipeline rebuild (%s) failed: %s", cause.c_str(), error.c_str());
        watchdog_.last_rebuild_error = error;
        return false;
    }
    fresh->set_cipher(cipher_);
    fresh->set_frame_seq(seq);
    run_pipeline(*fresh);
    fresh->start();
    pipeline_ = std::move(fresh);
    watchdog_.video_started = true;
    session_log(session_id_, "pipeline rebuilt (%s): frame numbering continues at %u, starts with an IDR", cause.c_str(), seq);
    return true;
}

void Session::rebuild_failed() {
    const std::string& error = watchdog_.last_rebuild_error;
    if (error.find("not found among the active monitors") != std::string::npos) {
        session_log(session_id_, "WATCHDOG: the monitor is gone (%s). Closing the session with reason monitor_lost.",
                    error.c_str());
        close_with_reason(std::string(proto::kReasonMonitorLost), "the monitor disappeared (PC sleep/hibernation?)");
        return;
    }
    const std::string stats = pipeline_ ? pipeline_->stats().text : std::string();
    close_with_reason(std::string(proto::kReasonNoFrames), "pipeline rebuild failed: " + error + "; " + stats);
}

}  // namespace sorvane
