// A viewer's session with its host, kept alive on a thread of its own: it
// connects (the paired host's addresses in turn), sends the Handshake,
// acknowledges the session, starts the video and the input connection, keeps
// the heartbeats and asks for key frames. When the host is lost (the
// connection drops, the host stays silent past the protocol's 6 s, or the
// host closes the session with a reason that invites a reconnect) it comes
// back with a new connection, trying until the grace period the host keeps
// the monitor for has passed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/protocol/control_messages.h"
#include "platform/clock.h"
#include "viewer/net/host_link.h"
#include "viewer/net/input_sender.h"
#include "viewer/net/video_receiver.h"

namespace sorvane::viewer {

enum class LiveState : uint8_t {
    connecting,    // the first connection
    streaming,     // a session is open
    reconnecting,  // lost; coming back
    ended,         // for good; see the reason
};
std::string_view live_state_name(LiveState state);

struct LiveOptions {
    std::vector<std::string> addresses;  // the host's, tried in turn
    uint16_t control_port = 0;
    Fingerprint pin{};
    const ViewerIdentity* identity = nullptr;
    proto::Handshake hello;             // sent on every connection
    uint32_t timeout_ms = 5'000;        // each connection attempt, and each wait for the host's answer
    uint64_t silence_ms = 6'000;        // the host said nothing for this long: it is lost
    uint64_t reconnect_ms = 30'000;     // how long to try to come back after a loss
    uint64_t retry_ms = 500;            // pause between attempts
    uint64_t keyframe_gap_ms = 500;     // at most two key-frame requests a second
    VideoReceiverOptions video;         // the receiver's settings; address, session and key are filled in
};

struct LiveStatus {
    LiveState state = LiveState::connecting;
    uint32_t sessions = 0;        // sessions opened so far
    proto::SessionOpen session;   // the newest one (when sessions > 0)
    std::string host_name;
    std::string reason;           // why reconnecting or ended
    bool ended_by_viewer = false;  // finish() ended it
    std::optional<uint64_t> rtt_ms;
    std::optional<int64_t> clock_offset_ms;  // the host's clock minus ours, from the best heartbeat
    std::string notice;                      // the host's last InputNotice
};

class LiveSession {
public:
    LiveSession(platform::IClock& clock, LiveOptions options, InputSender& input)
        : clock_(clock), options_(std::move(options)), input_(input) {}
    ~LiveSession() { finish(false, "viewer_exit"); }
    LiveSession(const LiveSession&) = delete;
    LiveSession& operator=(const LiveSession&) = delete;

    // on_session runs on the session thread before each session's video
    // starts, on_frame on the video thread for every complete frame, changed
    // on any thread after every change of the status.
    void start(std::function<void(const proto::SessionOpen&)> on_session, VideoReceiver::FrameHandler on_frame,
               std::function<void()> changed);
    // Any thread: the picture needs a key frame.
    void request_keyframe() { keyframe_wanted_.store(true); }
    // Ends the session from the viewer's side, with SessionSuspend (the host
    // keeps the monitor for its grace period) or SessionClose (it goes at
    // once), and joins the thread. A second call does nothing.
    void finish(bool suspend, std::string reason);

    LiveStatus status() const;
    // Over every session so far.
    ReceiverStats video_stats() const;

private:
    enum class Outcome : uint8_t { stopped, lost, ended };
    struct Attempt {
        bool ok = false;
        bool permanent = false;  // refused for a reason a retry cannot change
        std::string error;
    };

    void run();
    Attempt connect_once();
    Outcome stream(std::string& why);
    void teardown();
    bool stop_requested() const;
    void set_status(const std::function<void(LiveStatus&)>& change);

    platform::IClock& clock_;
    const LiveOptions options_;
    InputSender& input_;
    std::function<void(const proto::SessionOpen&)> on_session_;
    VideoReceiver::FrameHandler on_frame_;
    std::function<void()> changed_;
    std::thread thread_;
    std::atomic<bool> keyframe_wanted_{false};

    // Session thread only.
    std::unique_ptr<ControlLink> link_;
    platform::Endpoint control_;

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool suspend_ = false;
    std::string stop_reason_;
    LiveStatus status_;
    std::optional<uint64_t> best_rtt_;
    std::unique_ptr<VideoReceiver> video_;
    ReceiverStats past_video_;
};

}  // namespace sorvane::viewer
