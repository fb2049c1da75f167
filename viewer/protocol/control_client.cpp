#include "viewer/protocol/control_client.h"

#include "host/protocol/reasons.h"

namespace sorvane::viewer {

using proto::ControlMessage;

proto::Handshake default_handshake(std::string client_id) {
    proto::Handshake h;
    h.protocol = proto::kProtocolVersion;
    h.client_id = std::move(client_id);
    h.caps = std::vector<std::string>{std::string(proto::kCodecH264)};
    return h;
}

std::string_view client_state_name(ClientState state) {
    switch (state) {
        case ClientState::idle:
            return "idle";
        case ClientState::awaiting_ack:
            return "awaiting_ack";
        case ClientState::awaiting_session:
            return "awaiting_session";
        case ClientState::session_offered:
            return "session_offered";
        case ClientState::active:
            return "active";
        case ClientState::closed:
            return "closed";
    }
    return "?";
}

std::string_view event_kind_name(ClientEvent::Kind kind) {
    using K = ClientEvent::Kind;
    switch (kind) {
        case K::accepted:
            return "accepted";
        case K::rejected:
            return "rejected";
        case K::session_open:
            return "session_open";
        case K::resolution_change:
            return "resolution_change";
        case K::input_notice:
            return "input_notice";
        case K::host_close:
            return "host_close";
        case K::heartbeat:
            return "heartbeat";
        case K::heartbeat_ack:
            return "heartbeat_ack";
        case K::unexpected:
            return "unexpected";
        case K::unknown_type:
            return "unknown_type";
        case K::malformed:
            return "malformed";
        case K::invalid_stream:
            return "invalid_stream";
    }
    return "?";
}

bool ControlClient::queue(const ControlMessage& message) {
    if (!proto::encode_control(message, output_)) {
        last_error_ = "could not encode " + std::string(proto::message_name(message));
        return false;
    }
    return true;
}

bool ControlClient::session_known() const {
    return state_ == ClientState::awaiting_session || state_ == ClientState::session_offered ||
           state_ == ClientState::active;
}

bool ControlClient::start(uint64_t now_ms) {
    if (state_ != ClientState::idle) {
        last_error_ = "start: Handshake already sent";
        return false;
    }
    if (!queue(hello_)) return false;
    state_ = ClientState::awaiting_ack;
    last_heartbeat_ms_ = now_ms;
    return true;
}

void ControlClient::receive(proto::ByteView bytes, uint64_t now_ms, std::vector<ClientEvent>& events) {
    if (reader_.invalid()) return;
    reader_.append(bytes);
    for (;;) {
        const proto::FrameReader::Result r = reader_.next();
        if (r.status == proto::FrameReader::Status::need_more) return;
        if (r.status == proto::FrameReader::Status::invalid) {
            last_error_ = "receive: invalid frame length " + std::to_string(reader_.invalid_length());
            state_ = ClientState::closed;
            events.push_back(ClientEvent{ClientEvent::Kind::invalid_stream, 0, std::nullopt, std::nullopt});
            return;
        }
        handle(r.type, r.payload, now_ms, events);
    }
}

void ControlClient::handle(uint8_t type, proto::ByteView payload, uint64_t now_ms,
                           std::vector<ClientEvent>& events) {
    using K = ClientEvent::Kind;
    proto::Decoded<ControlMessage> d = proto::decode_control(type, payload);
    ClientEvent ev;
    ev.type = type;
    if (d.status == proto::DecodeStatus::unknown) {
        ev.kind = K::unknown_type;
        events.push_back(std::move(ev));
        return;
    }
    if (d.status == proto::DecodeStatus::malformed) {
        ev.kind = K::malformed;
        events.push_back(std::move(ev));
        return;
    }
    ev.kind = K::unexpected;
    const ControlMessage& m = d.message;

    if (const auto* ack = std::get_if<proto::HandshakeAck>(&m)) {
        if (state_ == ClientState::awaiting_ack) {
            ack_ = *ack;
            if (ack->accepted) {
                ev.kind = K::accepted;
                negotiated_ = ack->protocol;
                session_id_ = ack->session_id.value_or(0);
                state_ = ClientState::awaiting_session;
            } else {
                ev.kind = K::rejected;
                state_ = ClientState::closed;
            }
        }
    } else if (const auto* open = std::get_if<proto::SessionOpen>(&m)) {
        if (state_ == ClientState::awaiting_session) {
            ev.kind = K::session_open;
            session_ = *open;
            session_id_ = open->session_id;
            state_ = ClientState::session_offered;
        }
    } else if (const auto* change = std::get_if<proto::ResolutionChange>(&m)) {
        if (session_) {
            ev.kind = K::resolution_change;
            session_->width = change->width;
            session_->height = change->height;
            if (change->fps) session_->fps = *change->fps;
        }
    } else if (std::holds_alternative<proto::InputNotice>(m)) {
        ev.kind = K::input_notice;
    } else if (std::holds_alternative<proto::SessionClose>(m)) {
        ev.kind = K::host_close;
        state_ = ClientState::closed;
    } else if (const auto* beat = std::get_if<proto::Heartbeat>(&m)) {
        ev.kind = K::heartbeat;
        if (state_ != ClientState::closed) {
            queue(proto::HeartbeatAck{session_id_, now_ms, beat->timestamp_ms});
        }
    } else if (const auto* beat_ack = std::get_if<proto::HeartbeatAck>(&m)) {
        ev.kind = K::heartbeat_ack;
        if (beat_ack->echo_ms && *beat_ack->echo_ms <= now_ms) ev.rtt_ms = now_ms - *beat_ack->echo_ms;
    }
    ev.message = std::move(d.message);
    events.push_back(std::move(ev));
}

void ControlClient::tick(uint64_t now_ms) {
    if (!session_known()) return;
    if (now_ms - last_heartbeat_ms_ < kHeartbeatIntervalMs) return;
    if (queue(proto::Heartbeat{session_id_, now_ms})) last_heartbeat_ms_ = now_ms;
}

bool ControlClient::acknowledge_session(bool ready) {
    if (state_ != ClientState::session_offered) {
        last_error_ = "acknowledge_session: no SessionOpen to answer";
        return false;
    }
    if (!queue(proto::SessionOpenAck{session_id_, ready})) return false;
    state_ = ready ? ClientState::active : ClientState::closed;
    return true;
}

bool ControlClient::request_keyframe(std::optional<uint32_t> last_complete_frame_seq) {
    return queue(proto::KeyframeRequest{session_id_, last_complete_frame_seq});
}

bool ControlClient::request_rate(uint16_t fps, std::optional<std::string> reason) {
    return queue(proto::RateRequest{session_id_, fps, std::move(reason)});
}

bool ControlClient::open_host_settings(std::string page) {
    return queue(proto::OpenHostSettings{session_id_, std::move(page)});
}

bool ControlClient::suspend(std::optional<std::string> reason) {
    if (!queue(proto::SessionSuspend{session_id_, std::move(reason)})) return false;
    state_ = ClientState::closed;
    return true;
}

bool ControlClient::close(std::optional<std::string> reason) {
    if (!queue(proto::SessionClose{session_id_, std::move(reason)})) return false;
    state_ = ClientState::closed;
    return true;
}

bool ControlClient::send(const ControlMessage& message) { return queue(message); }

proto::Bytes ControlClient::take_output() {
    proto::Bytes out;
    out.swap(output_);
    return out;
}

}  // namespace sorvane::viewer
