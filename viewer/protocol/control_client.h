// The viewer's side of the control connection, without the transport: it
// produces the bytes to send and consumes the bytes received, keeps the
// session's state and answers the host's heartbeats. The caller moves bytes
// between it and the connection and passes the time in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/protocol/control_messages.h"
#include "host/protocol/defaults.h"
#include "host/protocol/frame_reader.h"

namespace sorvane::viewer {

// Heartbeat period: well inside the host's 6 s silence limit.
inline constexpr uint64_t kHeartbeatIntervalMs = 2'000;

// A Handshake with the viewer's version and the "H264" capability; every
// other tail field is left absent for the caller to set.
proto::Handshake default_handshake(std::string client_id);

enum class ClientState : uint8_t {
    idle,              // nothing sent yet
    awaiting_ack,      // Handshake sent
    awaiting_session,  // accepted, SessionOpen not yet received
    session_offered,   // SessionOpen received, SessionOpenAck not yet sent
    active,            // SessionOpenAck(ready) sent: video may flow
    closed,
};

std::string_view client_state_name(ClientState state);

struct ClientEvent {
    enum class Kind : uint8_t {
        accepted,           // HandshakeAck accepted
        rejected,           // HandshakeAck refused; message holds the reason
        session_open,       // SessionOpen
        resolution_change,  // ResolutionChange
        input_notice,       // InputNotice
        host_close,         // SessionClose from the host
        heartbeat,          // Heartbeat from the host (already answered)
        heartbeat_ack,      // HeartbeatAck; rtt_ms when it echoes our time
        unexpected,         // a valid message the host should not send now
        unknown_type,
        malformed,
        invalid_stream,  // the connection cannot go on
    };

    Kind kind = Kind::unexpected;
    uint8_t type = 0;
    std::optional<proto::ControlMessage> message;
    std::optional<uint64_t> rtt_ms;
};

std::string_view event_kind_name(ClientEvent::Kind kind);

class ControlClient {
public:
    explicit ControlClient(proto::Handshake hello) : hello_(std::move(hello)) {}

    // Queues the Handshake. False (with last_error) when it cannot be encoded
    // or was already sent.
    bool start(uint64_t now_ms);

    // Feeds received bytes; appends what happened to events.
    void receive(proto::ByteView bytes, uint64_t now_ms, std::vector<ClientEvent>& events);

    // Queues a Heartbeat when one is due (after acceptance, until closed).
    void tick(uint64_t now_ms);

    // Answers SessionOpen. ready false ends the session.
    bool acknowledge_session(bool ready);
    bool request_keyframe(std::optional<uint32_t> last_complete_frame_seq);
    bool request_rate(uint16_t fps, std::optional<std::string> reason);
    bool open_host_settings(std::string page);
    // Both end the session from the viewer's side.
    bool suspend(std::optional<std::string> reason);
    bool close(std::optional<std::string> reason);
    // Queues any control message as it is (for tests and probes).
    bool send(const proto::ControlMessage& message);

    // Bytes waiting to be written to the connection.
    const proto::Bytes& output() const { return output_; }
    proto::Bytes take_output();

    ClientState state() const { return state_; }
    uint32_t session_id() const { return session_id_; }
    uint16_t negotiated_protocol() const { return negotiated_; }
    const std::optional<proto::HandshakeAck>& ack() const { return ack_; }
    const std::optional<proto::SessionOpen>& session() const { return session_; }
    const std::string& last_error() const { return last_error_; }

private:
    void handle(uint8_t type, proto::ByteView payload, uint64_t now_ms, std::vector<ClientEvent>& events);
    bool queue(const proto::ControlMessage& message);
    bool session_known() const;

    proto::Handshake hello_;
    proto::FrameReader reader_;
    proto::Bytes output_;
    ClientState state_ = ClientState::idle;
    uint32_t session_id_ = 0;
    uint16_t negotiated_ = 0;
    std::optional<proto::HandshakeAck> ack_;
    std::optional<proto::SessionOpen> session_;
    uint64_t last_heartbeat_ms_ = 0;
    std::string last_error_;
};

}  // namespace sorvane::viewer
