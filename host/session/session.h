// One viewer's connection, from its authenticated control connection to the
// end of that connection: handshake, monitor, pipeline, key, heartbeats,
// input and the watchdogs that end a stalled stream.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/core/options.h"
#include "host/net/transport.h"
#include "host/net/video_hello.h"
#include "host/protocol/control_messages.h"
#include "host/protocol/input_messages.h"
#include "host/session/session_env.h"

namespace sorvane {

struct StreamInfo {
    bool streaming = false;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t fps = 0;
};

// Round trips of the heartbeats: count, sum and maximum only.
struct RoundTrips {
    uint32_t count = 0;
    double sum_ms = 0;
    double max_ms = 0;
    void add(double ms);
    double average() const { return count == 0 ? 0.0 : sum_ms / count; }
};

class Session {
public:
    // loud false: the session writes no line of its own until its device is
    // admitted (the log budget of lines viewers cause had none left for it).
    Session(uint32_t session_id, ConnId conn_id, const Endpoint& peer, ITransport& transport, const HostOptions& options,
            ISessionEnv& env, const Fingerprint& fingerprint, const SessionServices& services, bool loud = true);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void handle_control(uint8_t type, proto::ByteView payload);
    // False when the session is not in AwaitHello or Streaming.
    bool on_input(const proto::InputMessage& message);
    void handle_video_hello(const Endpoint& source, proto::ByteView datagram);
    void tick(uint64_t now);
    void superseded();
    void host_disconnect(const std::string& text);
    void finish();

    uint32_t session_id() const { return session_id_; }
    ConnId conn_id() const { return conn_id_; }
    const Endpoint& peer() const { return peer_; }
    // The certificate of the control connection: the device's.
    const Fingerprint& fingerprint() const { return fingerprint_; }
    std::string client_id() const;
    std::string client_name() const;
    StreamInfo stream_info() const;
    bool over_usb() const { return over_usb_; }
    // Any thread, without the session's mutex (the manager reads it under its own).
    SessionState state() const { return state_.load(); }
    // Whether the session's lines are written (see the constructor).
    bool loud() const { return loud_.load(); }
    RoundTrips round_trips() const;

private:
    // First: the constructor's line depends on it. Written under mutex_.
    std::atomic<bool> loud_;

    struct Watchdog {
        bool video_started = false;
        uint64_t last_check = 0;
        uint32_t rebuild_count = 0;
        uint64_t last_rebuild = 0;
        std::string last_rebuild_error;
    };

    uint64_t now() const { return clock_.now_ms(); }
    // Whether a line a peer caused fits the host's budget now.
    bool peer_line() { return env_.peer_lines().allow(); }
    void set_state(SessionState s);
    void close(const std::string& name);
    void reject(proto::HandshakeAck& ack, std::string_view reason);
    void close_with_reason(const std::string& name, const std::string& detail);
    bool send(const proto::ControlMessage& message, const char* name);
    void handle_handshake(const proto::Handshake& hs);
    void handle_rate_request(const proto::RateRequest& rr);
    void handle_open_host_settings(const proto::OpenHostSettings& m);
    void finish_locked();
    std::string udp_text() const;
    void start_pipeline_locked();
    InputInjector* input_injector_locked();

    // Watchdogs.
    void run_watchdogs(uint64_t now);
    bool rebuild(const std::string& cause);
    // Gives a pipeline the session's video senders and starts its frame thread.
    void run_pipeline(ISessionPipeline& pipeline);
    void rebuild_failed();
    void give_up(const PipelineSnapshot& stats);
    void note_stall(const PipelineSnapshot& stats, const char* suffix);

    const uint32_t session_id_;
    const ConnId conn_id_;
    const Endpoint peer_;
    ITransport& transport_;
    ISessionEnv& env_;
    const HostOptions options_;
    const Fingerprint fingerprint_;
    const SessionServices services_;
    platform::IClock& clock_;
    bool over_usb_ = false;

    mutable std::mutex mutex_;
    // Written under mutex_ only; atomic for the readers outside it.
    std::atomic<SessionState> state_{SessionState::AwaitHandshake};
    uint16_t negotiated_ = 0;
    mutable std::mutex identity_mutex_;
    std::string client_id_;
    std::string client_name_;
    uint64_t created_ = 0;
    uint64_t last_received_ = 0;
    uint64_t last_heartbeat_sent_ = 0;
    uint64_t open_ack_ms_ = 0;
    uint32_t grace_ms_ = 0;
    bool release_now_ = false;
    bool monitor_acquired_ = false;
    SessionMonitor monitor_;
    uint32_t stream_rate_ = 60;
    std::shared_ptr<VideoCipher> cipher_;
    std::unique_ptr<ISessionPipeline> pipeline_;
    SessionPipelineConfig pipeline_config_;
    uint32_t power_epoch_seen_ = 0;
    bool last_seen_pending_ = false;
    uint64_t settings_opened_ = 0;
    bool settings_opened_ever_ = false;
    VideoHelloHandler hello_;
    uint32_t heartbeats_sent_ = 0;
    uint32_t heartbeats_acked_ = 0;
    RoundTrips rtt_;
    struct {
        uint32_t pointer = 0, button = 0, key = 0, scroll = 0, touch = 0, touch_dropped = 0, text = 0,
                 relative = 0, mouse_button = 0;
    } input_;
    std::unique_ptr<InputInjector> input_injector_;
    std::unique_ptr<TouchInjector> touch_injector_;
    Watchdog watchdog_;
};

// The reason text of a SessionClose: name + ": " + detail, at most 150
// bytes, bytes outside 32..126 replaced by '?'.
std::string close_reason_text(const std::string& name, const std::string& detail);

// The EDID size for a viewer's screen; nullopt when it gives no usable size.
struct EdidSize {
    const char* kind;
    double diagonal;
    uint32_t scale;
    uint32_t width_mm;
    uint32_t height_mm;
};
std::optional<EdidSize> edid_size_for(uint32_t width_px, uint32_t height_px, uint32_t width_mm, uint32_t height_mm);

}  // namespace sorvane
