// Messages of the control connection, one plain struct each. Tail fields are
// std::optional: empty means absent on the wire. Each struct carries its type
// byte and name and lists its fields once (see wire_fields.h); encode_message
// and decode_message work on any of them directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/protocol/wire.h"
#include "host/protocol/wire_fields.h"

namespace sorvane::proto {

// Viewer to host: opens the session.
struct Handshake {
    static constexpr uint8_t kType = 1;
    static constexpr std::string_view kName = "Handshake";

    uint16_t protocol = 0;
    std::string client_id;
    std::optional<std::string> client_name;
    std::optional<std::vector<std::string>> caps;
    std::optional<uint16_t> display_width;
    std::optional<uint16_t> display_height;
    std::optional<std::string> auth_token;
    std::optional<uint16_t> width_mm;
    std::optional<uint16_t> height_mm;
    std::optional<uint16_t> max_hz;
    std::optional<uint16_t> reconnect_wait_s;
    std::optional<uint16_t> min_protocol;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("protocol", m.protocol);
        v.field("client_id", m.client_id);
        v.tail(1, "client_name", m.client_name);
        v.tail(2, "caps", m.caps);
        v.tail(3, "display_width", m.display_width);
        v.tail(4, "display_height", m.display_height);
        v.tail(5, "auth_token", m.auth_token);
        v.tail(6, "width_mm", m.width_mm);
        v.tail(7, "height_mm", m.height_mm);
        v.tail(8, "max_hz", m.max_hz);
        v.tail(9, "reconnect_wait_s", m.reconnect_wait_s);
        v.tail(10, "min_protocol", m.min_protocol);
    }
    friend bool operator==(const Handshake&, const Handshake&) = default;
};

// Host to viewer: the outcome of the Handshake.
struct HandshakeAck {
    static constexpr uint8_t kType = 2;
    static constexpr std::string_view kName = "HandshakeAck";

    uint16_t protocol = 0;
    std::string host_id;
    bool accepted = false;
    std::optional<std::string> host_name;
    std::optional<std::string> reason;
    std::optional<uint32_t> session_id;
    std::optional<uint16_t> min_protocol;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("protocol", m.protocol);
        v.field("host_id", m.host_id);
        v.field("accepted", m.accepted);
        v.tail(1, "host_name", m.host_name);
        v.tail(2, "reason", m.reason);
        v.tail(3, "session_id", m.session_id);
        v.tail(4, "min_protocol", m.min_protocol);
    }
    friend bool operator==(const HandshakeAck&, const HandshakeAck&) = default;
};

// Host to viewer: where and how the stream runs. video_key holds raw key bytes.
struct SessionOpen {
    static constexpr uint8_t kType = 3;
    static constexpr std::string_view kName = "SessionOpen";

    uint32_t session_id = 0;
    uint16_t video_port = 0;
    uint16_t input_port = 0;
    std::string codec;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t fps = 0;
    std::optional<std::string> video_key;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("video_port", m.video_port);
        v.field("input_port", m.input_port);
        v.field("codec", m.codec);
        v.field("width", m.width);
        v.field("height", m.height);
        v.field("fps", m.fps);
        v.tail_bytes(1, "video_key", m.video_key);
    }
    friend bool operator==(const SessionOpen&, const SessionOpen&) = default;
};

struct SessionOpenAck {
    static constexpr uint8_t kType = 4;
    static constexpr std::string_view kName = "SessionOpenAck";

    uint32_t session_id = 0;
    bool ready = false;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("ready", m.ready);
    }
    friend bool operator==(const SessionOpenAck&, const SessionOpenAck&) = default;
};

struct SessionClose {
    static constexpr uint8_t kType = 5;
    static constexpr std::string_view kName = "SessionClose";

    uint32_t session_id = 0;
    std::optional<std::string> reason;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.tail(1, "reason", m.reason);
    }
    friend bool operator==(const SessionClose&, const SessionClose&) = default;
};

struct ResolutionChange {
    static constexpr uint8_t kType = 6;
    static constexpr std::string_view kName = "ResolutionChange";

    uint32_t session_id = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    std::optional<uint8_t> fps;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("width", m.width);
        v.field("height", m.height);
        v.tail(1, "fps", m.fps);
    }
    friend bool operator==(const ResolutionChange&, const ResolutionChange&) = default;
};

struct Heartbeat {
    static constexpr uint8_t kType = 7;
    static constexpr std::string_view kName = "Heartbeat";

    uint32_t session_id = 0;
    uint64_t timestamp_ms = 0;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("timestamp_ms", m.timestamp_ms);
    }
    friend bool operator==(const Heartbeat&, const Heartbeat&) = default;
};

struct HeartbeatAck {
    static constexpr uint8_t kType = 8;
    static constexpr std::string_view kName = "HeartbeatAck";

    uint32_t session_id = 0;
    uint64_t timestamp_ms = 0;
    std::optional<uint64_t> echo_ms;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("timestamp_ms", m.timestamp_ms);
        v.tail(1, "echo_ms", m.echo_ms);
    }
    friend bool operator==(const HeartbeatAck&, const HeartbeatAck&) = default;
};

struct KeyframeRequest {
    static constexpr uint8_t kType = 9;
    static constexpr std::string_view kName = "KeyframeRequest";

    uint32_t session_id = 0;
    std::optional<uint32_t> last_complete_frame_seq;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.tail(1, "last_complete_frame_seq", m.last_complete_frame_seq);
    }
    friend bool operator==(const KeyframeRequest&, const KeyframeRequest&) = default;
};

struct SessionSuspend {
    static constexpr uint8_t kType = 10;
    static constexpr std::string_view kName = "SessionSuspend";

    uint32_t session_id = 0;
    std::optional<std::string> reason;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.tail(1, "reason", m.reason);
    }
    friend bool operator==(const SessionSuspend&, const SessionSuspend&) = default;
};

struct RateRequest {
    static constexpr uint8_t kType = 11;
    static constexpr std::string_view kName = "RateRequest";

    uint32_t session_id = 0;
    uint16_t fps = 0;
    std::optional<std::string> reason;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("fps", m.fps);
        v.tail(1, "reason", m.reason);
    }
    friend bool operator==(const RateRequest&, const RateRequest&) = default;
};

struct InputNotice {
    static constexpr uint8_t kType = 12;
    static constexpr std::string_view kName = "InputNotice";

    uint32_t session_id = 0;
    std::string text;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("text", m.text);
    }
    friend bool operator==(const InputNotice&, const InputNotice&) = default;
};

struct OpenHostSettings {
    static constexpr uint8_t kType = 13;
    static constexpr std::string_view kName = "OpenHostSettings";

    uint32_t session_id = 0;
    std::string page;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("page", m.page);
    }
    friend bool operator==(const OpenHostSettings&, const OpenHostSettings&) = default;
};

// Alternatives in type order (index + 1 == type byte).
using ControlMessage =
    std::variant<Handshake, HandshakeAck, SessionOpen, SessionOpenAck, SessionClose, ResolutionChange, Heartbeat,
                 HeartbeatAck, KeyframeRequest, SessionSuspend, RateRequest, InputNotice, OpenHostSettings>;

// Appends one frame; false (out unchanged) when a limit is hit.
bool encode_control(const ControlMessage& message, Bytes& out);

// Decodes a control payload: unknown for types other than 1..13.
Decoded<ControlMessage> decode_control(uint8_t type, ByteView payload);

// The message name of a control type byte; empty for an unknown type.
std::string_view control_type_name(uint8_t type);
std::string_view message_name(const ControlMessage& message);
uint8_t message_type(const ControlMessage& message);

}  // namespace sorvane::proto
