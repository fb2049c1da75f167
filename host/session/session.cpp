#include "host/session/session.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "common/text.h"
#include "host/core/log.h"
#include "host/input/input_injector.h"
#include "host/input/touch_injector.h"
#include "host/protocol/reasons.h"
#include "host/protocol/version.h"
#include "host/trust/pairing_store.h"

namespace sorvane {

namespace {

std::string opt_text(const std::optional<std::string>& s) { return s && !s->empty() ? *s : "-"; }

// Peer text for a log line: control bytes and quotes never reach the log raw.
std::string safe(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) out.push_back(c < 32 || c == 127 || c == '"' ? '?' : static_cast<char>(c));
    return out;
}

}  // namespace

void RoundTrips::add(double ms) {
    ++count;
    sum_ms += ms;
    max_ms = std::max(max_ms, ms);
}

std::string close_reason_text(const std::string& name, const std::string& detail) {
    std::string text = name + ": " + detail;
    if (text.size() > 150) text.resize(150);
    for (char& c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u > 126) c = '?';
    }
    return text;
}

std::optional<EdidSize> edid_size_for(uint32_t width_px, uint32_t height_px, uint32_t width_mm, uint32_t height_mm) {
    if (width_px == 0 || height_px == 0 || width_mm == 0 || height_mm == 0) return std::nullopt;
    const double d = std::sqrt(double(width_mm) * width_mm + double(height_mm) * height_mm) / 25.4;
    if (d < 2 || d > 30) return std::nullopt;
    EdidSize e{};
    e.diagonal = d;
    e.kind = d < 7 ? "phone" : "tablet";
    e.scale = d < 7 ? 200 : 150;
    const double dpi = e.scale * 96.0 / 100.0;
    auto mm = [&](uint32_t px) {
        const double v = std::round(px * 25.4 / dpi);  // halves away from zero
        if (v < 1) return uint32_t{1};
        if (v > 2550) return uint32_t{2550};
        return static_cast<uint32_t>(v);
    };
    e.width_mm = mm(width_px);
    e.height_mm = mm(height_px);
    return e;
}

Session::Session(uint32_t session_id, ConnId conn_id, const Endpoint& peer, ITransport& transport,
                 const HostOptions& options, ISessionEnv& env, const Fingerprint& fingerprint,
                 const SessionServices& services, bool loud)
    : loud_(loud),
      session_id_(session_id),
      conn_id_(conn_id),
      peer_(peer),
      transport_(transport),
      env_(env),
      options_(options),
      fingerprint_(fingerprint),
      services_(services),
      clock_(*services.clock),
      hello_(session_id, peer, *services.clock) {
    if (services_.on_usb_subnet) over_usb_ = services_.on_usb_subnet(ipv4_text(peer.address));
    created_ = last_received_ = now();
    stream_rate_ = options_.stream_fps;
    hello_.set_start_pipeline([this] { start_pipeline_locked(); });
    hello_.set_line_budget(&env_.peer_lines());
    if (loud_)
        session_log(session_id_, "created for control connection %" PRIu64 " from %s%s", conn_id_,
                platform::endpoint_text(peer_).c_str(), over_usb_ ? " (USB internet paylasimi, K92)" : "");
}

Session::~Session() {
    std::lock_guard lock(mutex_);
    finish_locked();
}

std::string Session::client_id() const {
    std::lock_guard lock(identity_mutex_);
    return client_id_;
}

std::string Session::client_name() const {
    std::lock_guard lock(identity_mutex_);
    return client_name_;
}

StreamInfo Session::stream_info() const {
    std::lock_guard lock(mutex_);
    StreamInfo info;
    if (pipeline_ && state_ != SessionState::Closed) {
        info.streaming = true;
        info.width = pipeline_->width();
        info.height = pipeline_->height();
        info.fps = pipeline_->fps();
    }
    return info;
}

RoundTrips Session::round_trips() const {
    std::lock_guard lock(mutex_);
    return rtt_;
}

void Session::set_state(SessionState s) {
    state_ = s;
    hello_.set_state(s);
}

std::string Session::udp_text() const { return hello_.udp_text(transport_); }

bool Session::send(const proto::ControlMessage& message, const char* name) {
    proto::Bytes bytes;
    if (!proto::encode_control(message, bytes)) {
        session_log(session_id_, "could not encode %s", name);
        return false;
    }
    return transport_.send_control(conn_id_, bytes);
}

void Session::close(const std::string& name) {
    if (state_ == SessionState::Closed) return;
    if (loud_) session_log(session_id_, "closing control connection (%s)", name.c_str());
    set_state(SessionState::Closed);
    transport_.close_connection(conn_id_);
}

void Session::reject(proto::HandshakeAck& ack, std::string_view reason) {
    ack.accepted = false;
    ack.reason = std::string(reason);
    if (loud_) session_log(session_id_, "rejecting viewer: %s", ack.reason->c_str());
    send(ack, "HandshakeAck");
    close(*ack.reason);
}

void Session::close_with_reason(const std::string& name, const std::string& detail) {
    proto::SessionClose msg;
    msg.session_id = session_id_;
    msg.reason = close_reason_text(name, detail);
    send(msg, "SessionClose");
    release_now_ = true;
    close(name);
}

void Session::handle_control(uint8_t type, proto::ByteView payload) {
    std::lock_guard lock(mutex_);
    if (state_ == SessionState::Closed) return;
    const uint64_t t = now();
    last_received_ = t;
    auto decoded = proto::decode_control(type, payload);
    if (decoded.status == proto::DecodeStatus::unknown) {
        if (peer_line()) session_log(session_id_, "control message type 0x%02X is unknown, skipped", type);
        return;
    }
    if (decoded.status != proto::DecodeStatus::ok) {
        if (peer_line()) session_log(session_id_, "malformed control message type 0x%02X dropped", type);
        return;
    }
    std::visit(
        [&](auto& m) {
            using M = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<M, proto::Handshake>) {
                if (state_ == SessionState::AwaitHandshake)
                    handle_handshake(m);
                else if (peer_line())
                    session_log(session_id_, "unexpected Handshake ignored");
            } else if constexpr (std::is_same_v<M, proto::HandshakeAck> || std::is_same_v<M, proto::SessionOpen> ||
                                 std::is_same_v<M, proto::ResolutionChange> ||
                                 std::is_same_v<M, proto::InputNotice>) {
                if (peer_line()) session_log(session_id_, "unexpected %s ignored", std::string(M::kName).c_str());
            } else if constexpr (std::is_same_v<M, proto::SessionOpenAck>) {
                if (state_ != SessionState::AwaitOpenAck || m.session_id != session_id_) {
                    if (peer_line()) session_log(session_id_, "unexpected SessionOpenAck ignored");
                } else if (m.ready) {
                    session_log(session_id_, "SessionOpenAck: ready; waiting for VideoHello on udp %u",
                                unsigned{transport_.video_port()});
                    if (pipeline_) run_pipeline(*pipeline_);
                    open_ack_ms_ = t;
                    hello_.set_open_ack_ms(t);
                    set_state(SessionState::AwaitHello);
                } else {
                    session_log(session_id_, "viewer is not ready");
                    close("viewer not ready");
                }
            } else if constexpr (std::is_same_v<M, proto::SessionClose>) {
                const std::string reason = safe(opt_text(m.reason));
                session_log(session_id_, "SessionClose from viewer (reason=%s)", reason.c_str());
                if (m.reason && m.reason->starts_with(proto::kViewerReasonDecoderFailedPrefix))
                    session_log(session_id_,
                                "WARNING: the viewer could NOT start its H.264 decoder and closed the session: %s",
                                reason.c_str());
                release_now_ = true;
                close("viewer closed");
            } else if constexpr (std::is_same_v<M, proto::Heartbeat>) {
                proto::HeartbeatAck ack;
                ack.session_id = session_id_;
                ack.timestamp_ms = t;
                ack.echo_ms = m.timestamp_ms;
                send(ack, "HeartbeatAck");
            } else if constexpr (std::is_same_v<M, proto::HeartbeatAck>) {
                ++heartbeats_acked_;
                // An echo from the future is no round trip.
                if (m.echo_ms && *m.echo_ms <= t) rtt_.add(double(t - *m.echo_ms));
            } else if constexpr (std::is_same_v<M, proto::KeyframeRequest>) {
                if (m.session_id != session_id_ || !pipeline_) return;
                if (state_ == SessionState::Streaming) {
                    const std::string seq =
                        m.last_complete_frame_seq ? std::to_string(*m.last_complete_frame_seq) : "-";
                    if (peer_line())
                        session_log(session_id_, "KeyframeRequest received (last_complete_frame_seq=%s)", seq.c_str());
                    pipeline_->request_keyframe();
                } else {
                    if (peer_line()) session_log(session_id_, "KeyframeRequest ignored (not streaming yet)");
                }
            } else if constexpr (std::is_same_v<M, proto::SessionSuspend>) {
                if (m.session_id != session_id_) {
                    if (peer_line()) session_log(session_id_, "SessionSuspend for another session ignored");
                    return;
                }
                session_log(session_id_,
                            "SessionSuspend from viewer (reason=%s): video stops, its monitor is kept for the grace "
                            "period",
                            safe(opt_text(m.reason)).c_str());
                release_now_ = false;
                close("viewer suspended");
            } else if constexpr (std::is_same_v<M, proto::RateRequest>) {
                handle_rate_request(m);
            } else if constexpr (std::is_same_v<M, proto::OpenHostSettings>) {
                handle_open_host_settings(m);
            }
        },
        decoded.message);
}

void Session::handle_rate_request(const proto::RateRequest& rr) {
    if (rr.session_id != session_id_) {
        if (peer_line()) session_log(session_id_, "RateRequest for another session ignored");
        return;
    }
    if (!pipeline_) {
        if (peer_line()) session_log(session_id_, "RateRequest before the pipeline exists: ignored");
        return;
    }
    const uint32_t fps = std::clamp<uint32_t>(rr.fps, 24, 240);
    const uint32_t old = pipeline_->fps();
    const std::string reason = safe(opt_text(rr.reason));
    if (pipeline_->lower_fps(fps)) {
        stream_rate_ = fps;
        session_log(session_id_, "RateRequest (reason=%s): capture/encode lowered %u -> %u fps; the monitor is unchanged",
                    reason.c_str(), old, fps);
        proto::ResolutionChange rc;
        rc.session_id = session_id_;
        rc.width = static_cast<uint16_t>(pipeline_->width());
        rc.height = static_cast<uint16_t>(pipeline_->height());
        rc.fps = static_cast<uint8_t>(std::min<uint32_t>(fps, 255));
        send(rc, "ResolutionChange");
    } else if (peer_line()) {
        session_log(session_id_,
                    "RateRequest %u fps (reason=%s) ignored: not below the current %u fps (the host only lowers the "
                    "rate)",
                    fps, reason.c_str(), old);
    }
}

void Session::handle_open_host_settings(const proto::OpenHostSettings& m) {
    if (m.session_id != session_id_) {
        if (peer_line()) session_log(session_id_, "OpenHostSettings for another session ignored");
        return;
    }
    if (!proto::allows_open_host_settings(negotiated_)) {
        if (peer_line())
            session_log(session_id_, "OpenHostSettings ignored: negotiated protocol 0x%04X predates it",
                        unsigned{negotiated_});
        return;
    }
    if (m.page != "display") {
        if (peer_line()) session_log(session_id_, "OpenHostSettings: unknown page \"%s\" ignored", safe(m.page).c_str());
        return;
    }
    const uint64_t t = now();
    if (settings_opened_ever_ && t - settings_opened_ < 2000) {
        if (peer_line()) session_log(session_id_, "OpenHostSettings: repeated within 2 s, ignored");
        return;
    }
    settings_opened_ever_ = true;
    settings_opened_ = t;
    const int64_t code = services_.open_display_settings ? services_.open_display_settings() : 0;
    session_log(session_id_,
                "OpenHostSettings(display): ShellExecute -> %s (code %lld); the window opens on the computer's main "
                "screen",
                code > 32 ? "ok" : "FAILED", static_cast<long long>(code));
}

void Session::run_pipeline(ISessionPipeline& pipeline) {
    pipeline.set_batch_sender(hello_.make_batch_sender(transport_));
    pipeline.run(hello_.make_sender(transport_));
}

void Session::handle_handshake(const proto::Handshake& hs) {
    proto::HandshakeAck ack;
    ack.host_id = options_.host_id;
    ack.accepted = false;
    ack.host_name = options_.host_name;

    std::string caps;
    if (hs.caps)
        for (size_t i = 0; i < hs.caps->size(); ++i) caps += (i ? "," : "") + safe((*hs.caps)[i]);
    const uint32_t dw = hs.display_width.value_or(0), dh = hs.display_height.value_or(0);
    const uint32_t wmm = hs.width_mm.value_or(0), hmm = hs.height_mm.value_or(0), max_hz = hs.max_hz.value_or(0);
    auto log_handshake = [&] {
        session_log(session_id_,
                    "Handshake: protocol 0x%04X client_id=%s name=\"%s\" caps=[%s] display=%ux%u %ux%u mm max %u Hz",
                    unsigned{hs.protocol}, safe(hs.client_id).c_str(), safe(hs.client_name.value_or("")).c_str(),
                    caps.c_str(), dw, dh, wmm, hmm, max_hz);
    };
    if (loud_) log_handshake();

    // Versions.
    const auto version = proto::negotiate_version(hs.protocol, hs.min_protocol, options_.protocol_version,
                                                  options_.min_protocol_version);
    if (!version.accepted) {
        ack.protocol = options_.protocol_version;
        ack.min_protocol = options_.min_protocol_version;
        reject(ack, version.reason);
        return;
    }
    negotiated_ = version.negotiated;
    ack.protocol = negotiated_;
    ack.min_protocol = options_.min_protocol_version;
    const std::string vmin = hs.min_protocol ? std::to_string(*hs.min_protocol) : "-";
    auto log_protocol = [&] {
        session_log(session_id_, "protocol: viewer 0x%04X (min %s), host 0x%04X (min 0x%04X) -> negotiated 0x%04X",
                    unsigned{hs.protocol}, vmin.c_str(), unsigned{options_.protocol_version},
                    unsigned{options_.min_protocol_version}, unsigned{negotiated_});
    };
    if (loud_) log_protocol();

    // Codec.
    if (hs.caps && std::find(hs.caps->begin(), hs.caps->end(), std::string(proto::kCodecH264)) == hs.caps->end()) {
        reject(ack, proto::kReasonCodecUnsupported);
        return;
    }
    // Identity.
    if (services_.pairings) {
        auto record = services_.pairings->find_by_fingerprint(fingerprint_);
        if (record && record->client_id != hs.client_id) {
            reject(ack, proto::kReasonIdentityMismatch);
            return;
        }
    }
    // One device at a time; a newer connection of this device always wins.
    switch (env_.admit_device(hs.client_id, session_id_)) {
        case DeviceAdmission::admitted:
            // The device's own session: what the log budget left out is written now.
            if (!loud_) {
                loud_ = true;
                log_handshake();
                log_protocol();
            }
            break;
        case DeviceAdmission::superseded:
            session_log(session_id_, "superseded by a new connection from the same viewer");
            reject(ack, proto::kReasonSuperseded);
            return;
        case DeviceAdmission::device_limit:
            // In the language in effect now: the panel may have changed it.
            reject(ack, services_.turkish && services_.turkish() ? proto::kReasonDeviceLimitTurkish
                                                                 : proto::kReasonDeviceLimitEnglish);
            return;
    }
    {
        std::lock_guard id_lock(identity_mutex_);
        client_id_ = hs.client_id;
        client_name_ = hs.client_name.value_or("");
    }
    // Grace after a lost connection.
    grace_ms_ = 0;
    if (proto::allows_reconnect_wait(negotiated_) && hs.reconnect_wait_s && *hs.reconnect_wait_s != 0)
        grace_ms_ = std::clamp<uint32_t>(*hs.reconnect_wait_s, 10, 300) * 1000;
    if (hs.reconnect_wait_s)
        session_log(session_id_, "reconnect wait requested %u s -> monitor grace %u s", unsigned{*hs.reconnect_wait_s},
                    grace_ms_ / 1000);

    env_.supersede_older_sessions(hs.client_id, session_id_);

    SessionMonitorRequest request;
    request.client_id = hs.client_id;
    request.width = dw;
    request.height = dh;
    request.refresh = max_hz != 0 ? std::clamp<uint32_t>(max_hz, 60, 120) : options_.stream_fps;
    if (auto e = edid_size_for(dw, dh, wmm, hmm)) {
        request.edid_width_mm = e->width_mm;
        request.edid_height_mm = e->height_mm;
        if (services_.set_device_kind) services_.set_device_kind(hs.client_id, e->kind);
        session_log(session_id_, "viewer looks like a %s (%.1f\" diagonal): target display scale %u %% -> EDID size %ux%u mm",
                    e->kind, e->diagonal, e->scale, e->width_mm, e->height_mm);
    } else {
        session_log(session_id_, "no usable physical size from the viewer: the driver's default EDID size (no scale opinion)");
    }
    session_log(session_id_, "stream rate %u fps (viewer max %u Hz, host default %u)", request.refresh, max_hz,
                unsigned{options_.stream_fps});

    // Monitor.
    SessionMonitor mon = env_.monitor_provider().acquire_monitor(request, session_id_);
    if (!mon.ok) {
        const std::string& e = mon.error;
        session_log(session_id_, "no monitor for this viewer: %s", e.c_str());
        std::string_view reason = proto::kReasonMonitorError;
        if (e.find("allow list") != std::string::npos)
            reason = proto::kReasonDriverNotAuthorized;
        else if (e.find("driver not loaded") != std::string::npos)
            reason = proto::kReasonDriverMissing;
        else if (e.find("adapter is not ready") != std::string::npos)
            reason = proto::kReasonMonitorDriverNotReady;
        else if (e.find("desktop unavailable") != std::string::npos)
            reason = proto::kReasonMonitorDesktopUnavailable;
        reject(ack, reason);
        return;
    }
    monitor_acquired_ = true;
    monitor_ = mon;
    session_log(session_id_, "monitor ready: %s, mode %ux%u@%u for a %ux%u viewer display%s", mon.text.c_str(),
                mon.width, mon.height, mon.refresh, dw, dh, mon.reused ? " (same monitor as before)" : "");

    // Pipeline.
    SessionPipelineConfig config;
    config.session_id = session_id_;
    config.monitor = mon.ref;
    config.encoder = options_.encoder;
    config.fps = mon.refresh != 0 ? mon.refresh : options_.stream_fps;
    stream_rate_ = config.fps;
    config.bitrate = config.fps <= 60 ? options_.bitrate
                                      : static_cast<uint32_t>(uint64_t{options_.bitrate} * config.fps / 60);
    if (!options_.frame_log_dir.empty())
        config.frame_log_path = options_.frame_log_dir + "/host_frames_session" + std::to_string(session_id_) + ".csv";
    std::string error = "no video pipeline in this build";
    std::unique_ptr<ISessionPipeline> pipeline =
        services_.pipelines ? services_.pipelines->open(config, error) : nullptr;
    if (!pipeline) {
        session_log(session_id_, "pipeline could not be opened: %s", error.c_str());
        release_now_ = true;
        reject(ack, proto::kReasonPipelineError);
        return;
    }
    // Key.
    uint8_t key[32] = {};
    std::shared_ptr<VideoCipher> cipher;
    if (services_.random && services_.random(key, sizeof key)) cipher = VideoCipher::create(key);
    if (!cipher) {
        session_log(session_id_, "video cipher could not be created");
        release_now_ = true;
        pipeline->stop();
        reject(ack, proto::kReasonVideoCryptoError);
        return;
    }
    cipher_ = cipher;
    hello_.set_cipher(cipher);
    pipeline->set_cipher(cipher);
    pipeline_config_ = config;
    power_epoch_seen_ = services_.power_epoch ? services_.power_epoch() : 0;

    ack.accepted = true;
    ack.session_id = session_id_;
    pipeline_ = std::move(pipeline);
    if (!send(ack, "HandshakeAck")) {
        close("send failed");
        return;
    }
    if (services_.pairings) {
        last_seen_pending_ = true;
        services_.pairings->touch_last_seen(hs.client_id, services_.utc_now ? services_.utc_now() : "", now(), 600'000);
    }
    session_log(session_id_, "HandshakeAck sent (accepted, protocol 0x%04X)", unsigned{negotiated_});

    proto::SessionOpen open;
    open.session_id = session_id_;
    open.video_port = transport_.video_port();
    open.input_port = transport_.input_port();
    open.codec = std::string(proto::kCodecH264);
    open.width = static_cast<uint16_t>(pipeline_->width());
    open.height = static_cast<uint16_t>(pipeline_->height());
    open.fps = static_cast<uint8_t>(std::min<uint32_t>(stream_rate_, 255));
    open.video_key = std::string(reinterpret_cast<const char*>(key), sizeof key);
    if (!send(open, "SessionOpen")) {
        close("send failed");
        return;
    }
    session_log(session_id_, "SessionOpen sent (video udp %u, input tcp %u, H264 %ux%u@%u)", unsigned{open.video_port},
                unsigned{open.input_port}, unsigned{open.width}, unsigned{open.height}, unsigned{open.fps});
    set_state(SessionState::AwaitOpenAck);
    last_heartbeat_sent_ = now();
}

void Session::start_pipeline_locked() {
    state_ = SessionState::Streaming;
    if (pipeline_) pipeline_->start();
}

void Session::handle_video_hello(const Endpoint& source, proto::ByteView datagram) {
    std::lock_guard lock(mutex_);
    hello_.handle_video_hello(source, datagram);
    state_ = hello_.state();
}

void Session::tick(uint64_t t) {
    std::lock_guard lock(mutex_);
    // t was read before the lock: a message stamped since then is newer, and
    // the unsigned differences below must not wrap into a time-out.
    t = std::max(t, now());
    if (state_ == SessionState::Closed) return;
    if (state_ == SessionState::AwaitHandshake) {
        if (t - created_ > 10'000) close("no Handshake within 10 s");
        return;
    }
    if (t - last_received_ <= 6'000) {
        run_watchdogs(t);
        if (state_ != SessionState::Closed && t - last_heartbeat_sent_ >= 2'000) {
            proto::Heartbeat hb;
            hb.session_id = session_id_;
            hb.timestamp_ms = t;
            if (send(hb, "Heartbeat")) {
                ++heartbeats_sent_;
                last_heartbeat_sent_ = t;
            }
        }
        return;
    }
    session_log(session_id_, "no reply for 6 s: SessionClose(timeout)");
    proto::SessionClose msg;
    msg.session_id = session_id_;
    msg.reason = std::string(proto::kReasonTimeout);
    send(msg, "SessionClose");
    close("heartbeat timeout");
}

InputInjector* Session::input_injector_locked() {
    if (!input_injector_ && services_.injectors) {
        input_injector_ = services_.injectors->make_input(
            "session " + std::to_string(session_id_), [this](std::string_view text) {
                // Runs inside an injector call, so under this session's mutex.
                if (!proto::allows_input_notice(negotiated_)) return;
                proto::InputNotice notice;
                notice.session_id = session_id_;
                notice.text = std::string(text);
                send(notice, "InputNotice");
            });
        if (input_injector_) input_injector_->set_line_gate([this] { return peer_line(); });
    }
    return input_injector_.get();
}

bool Session::on_input(const proto::InputMessage& message) {
    std::lock_guard lock(mutex_);
    if (state_ != SessionState::AwaitHello && state_ != SessionState::Streaming) {
        if (peer_line())
            session_log(session_id_, "input ignored: the session is not active (state %d)",
                        static_cast<int>(state_.load()));
        return false;
    }
    std::visit(
        [&](const auto& m) {
            using M = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<M, proto::PointerMove>) {
                // Positions are never logged: on an on-screen keyboard they
                // would spell out what was typed.
                ++input_.pointer;
                if ((input_.pointer == 1 || input_.pointer % 100 == 0) && peer_line())
                    session_log(session_id_, "input PointerMove #%u", input_.pointer);
            } else if constexpr (std::is_same_v<M, proto::ButtonEvent>) {
                ++input_.button;
                if (peer_line())
                    session_log(session_id_, "input ButtonEvent #%u button=%u %s", input_.button, unsigned{m.button},
                                m.down ? "down" : "up");
            } else if constexpr (std::is_same_v<M, proto::KeyEvent>) {
                ++input_.key;
                if (auto* in = input_injector_locked()) in->key(m.hid_usage, m.down, m.modifiers);
            } else if constexpr (std::is_same_v<M, proto::ScrollEvent>) {
                ++input_.scroll;
                if (auto* in = input_injector_locked()) in->scroll(m.dx, m.dy);
            } else if constexpr (std::is_same_v<M, proto::TextInput>) {
                ++input_.text;
                if (auto* in = input_injector_locked()) in->text(m.text);
            } else if constexpr (std::is_same_v<M, proto::RelativeMove>) {
                ++input_.relative;
                if (auto* in = input_injector_locked()) in->relative_move(m.dx, m.dy);
            } else if constexpr (std::is_same_v<M, proto::MouseButton>) {
                ++input_.mouse_button;
                if (auto* in = input_injector_locked()) in->mouse_button(m.button, m.down);
            } else if constexpr (std::is_same_v<M, proto::TouchFrame>) {
                ++input_.touch;
                if (!pipeline_ || !pipeline_->touch_ready()) {
                    ++input_.touch_dropped;
                    if ((input_.touch_dropped == 1 || input_.touch_dropped % 50 == 0) && peer_line())
                        session_log(session_id_, "touch ignored: the monitor is not live yet (no captured frame); %u so far",
                                    input_.touch_dropped);
                    return;
                }
                if (!touch_injector_ && services_.injectors) {
                    std::string path;
                    if (!options_.touch_log_dir.empty())
                        path = options_.touch_log_dir + ".session" + std::to_string(session_id_) + ".csv";
                    touch_injector_ = services_.injectors->make_touch(session_id_, monitor_.ref, path);
                    if (touch_injector_) touch_injector_->set_line_gate([this] { return peer_line(); });
                    if (touch_injector_ && !touch_injector_->setup()) touch_injector_.reset();
                }
                if (touch_injector_) touch_injector_->inject(m);
            }
        },
        message);
    return true;
}

void Session::superseded() {
    std::lock_guard lock(mutex_);
    if (state_ != SessionState::Closed) {
        session_log(session_id_, "superseded by a new connection from the same viewer");
        close("superseded");
    }
    finish_locked();
}

void Session::host_disconnect(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (state_ == SessionState::Closed) return;
    session_log(session_id_, "host-initiated disconnect (%s)", text.empty() ? "-" : safe(text).c_str());
    proto::SessionClose msg;
    msg.session_id = session_id_;
    msg.reason = std::string(proto::kReasonHostDisconnect);
    send(msg, "SessionClose");
    release_now_ = true;
    close("host disconnected");
}

void Session::finish() {
    std::lock_guard lock(mutex_);
    finish_locked();
}

void Session::finish_locked() {
    const uint64_t t = now();
    if (state_ != SessionState::Closed && created_ != 0 && loud_)
        session_log(session_id_, "control connection ended after %" PRIu64 " ms in state %s (%s)", t - created_,
                    session_state_name(state_), udp_text().c_str());
    set_state(SessionState::Closed);
    if (touch_injector_) {
        const TouchCounters c = touch_injector_->counters();
        session_log(session_id_,
                    "touch: %u frames injected: down=%u move=%u up=%u cancel=%u ignored=%u failed=%u; %u frame(s) "
                    "dropped before the monitor was live",
                    c.frames, c.downs, c.moves, c.ups, c.cancels, c.ignored, c.failed, input_.touch_dropped);
        touch_injector_.reset();
    } else if (input_.touch_dropped != 0) {
        session_log(session_id_, "touch: nothing injected; %u frame(s) dropped before the monitor was live",
                    input_.touch_dropped);
    }
    if (input_injector_) {
        const InputCounters c = input_injector_->counters();
        session_log(session_id_, "keyboard/trackpad: text_units=%u keys=%u moves=%u buttons=%u scrolls=%u failed=%u",
                    c.text_units, c.keys, c.moves, c.buttons, c.scrolls, c.sendinput_failures);
        input_injector_.reset();
    }
    if (pipeline_) {
        pipeline_->stop();
        pipeline_.reset();
    }
    if (monitor_acquired_) {
        monitor_acquired_ = false;
        const std::string id = client_id();
        if (release_now_)
            env_.monitor_provider().release_monitor(id, session_id_);
        else
            env_.monitor_provider().release_after_grace(id, session_id_, grace_ms_);
    }
    if (last_seen_pending_ && services_.pairings) {
        last_seen_pending_ = false;
        services_.pairings->touch_last_seen(client_id(), services_.utc_now ? services_.utc_now() : "", t, 60'000);
    }
    if (created_ != 0 && loud_) {
        const auto& h = hello_.counters();
        session_log(session_id_,
                    "ended: heartbeats sent=%u acked=%u (RTT avg=%.2f max=%.2f ms), VideoHello=%u (rejected=%u: ip=%u "
                    "malformed=%u gmac=%u counter=%u state=%u), input: pointer=%u button=%u key=%u scroll=%u touch=%u",
                    heartbeats_sent_, heartbeats_acked_, rtt_.average(), rtt_.max_ms, h.accepted, h.rejected, h.ip,
                    h.malformed, h.gmac, h.counter, h.state, input_.pointer, input_.button, input_.key, input_.scroll,
                    input_.touch);
    }
    created_ = 0;
}

}  // namespace sorvane
