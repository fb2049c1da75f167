// Frames the viewer's input messages for the input connection, stamping each
// with the session it belongs to.
#pragma once

#include <cstdint>

#include "host/protocol/input_messages.h"

namespace sorvane::viewer {

class InputWriter {
public:
    explicit InputWriter(uint32_t session_id) : session_id_(session_id) {}

    // Sets the message's session_id and queues its frame; false when it
    // cannot be encoded (a text above 65,535 bytes).
    bool add(proto::InputMessage message);

    const proto::Bytes& output() const { return output_; }
    proto::Bytes take_output();

private:
    uint32_t session_id_;
    proto::Bytes output_;
};

}  // namespace sorvane::viewer
