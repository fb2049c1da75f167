// Human- and machine-readable dump of protocol frames: one JSON object per
// message, named as in the protocol tables, for people writing viewer apps.
//
//   {"type":"Handshake","protocol":256,"client_id":"tab-1","caps":["H264"]}
//   {"error":"malformed","type":"SessionOpenAck","type_byte":4}
//   {"error":"unknown_type","type_byte":14}
//
// Absent tail fields are omitted, string lists are arrays, byte strings
// (video_key) are lowercase hex, touch points are objects under "points".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/protocol/control_messages.h"
#include "host/protocol/frame_reader.h"
#include "host/protocol/input_messages.h"
#include "host/protocol/pairing_messages.h"

namespace sorvane::viewer {

// Which connection a byte stream belongs to: the type bytes overlap.
enum class Connection : uint8_t { control, input, pairing };

std::string_view connection_name(Connection connection);

std::string to_json(const proto::ControlMessage& message);
std::string to_json(const proto::InputMessage& message);
std::string to_json(const proto::PairingMessage& message);

// Decodes one frame of the connection and describes it as one JSON object
// (no newline), including malformed and unknown ones.
std::string describe_frame(Connection connection, uint8_t type, proto::ByteView payload);

// Turns a byte stream into dump lines, whatever pieces it arrives in.
class StreamDumper {
public:
    explicit StreamDumper(Connection connection) : connection_(connection) {}

    // Appends one line ("...\n") per complete frame to out. False once the
    // stream is invalid (a frame length of 0 or above the limit).
    bool feed(proto::ByteView bytes, std::string& out);

    bool invalid() const { return reader_.invalid(); }
    uint32_t invalid_length() const { return reader_.invalid_length(); }
    // Bytes of an incomplete frame still waiting; non-zero at the end of a
    // stream means it was cut inside a frame.
    size_t pending() const { return reader_.buffered(); }
    uint64_t frames() const { return frames_; }

private:
    Connection connection_;
    proto::FrameReader reader_;
    uint64_t frames_ = 0;
};

}  // namespace sorvane::viewer
