// The viewer's side of the pairing exchange, without the transport: one
// PairRequest out, one PairResult in.
#pragma once

#include <optional>
#include <string>

#include "host/protocol/frame_reader.h"
#include "host/protocol/pairing_messages.h"

namespace sorvane::viewer {

class PairingExchange {
public:
    enum class State : uint8_t { waiting, paired, refused, failed };

    explicit PairingExchange(proto::PairRequest request) : request_(std::move(request)) {}

    // The request frame; false (with error) when it cannot be encoded.
    bool request_frame(proto::Bytes& out);

    // Feeds received bytes. Leaves waiting on the first complete frame: a
    // PairResult decides paired or refused, anything else is a failure.
    State receive(proto::ByteView bytes);

    State state() const { return state_; }
    const std::optional<proto::PairResult>& result() const { return result_; }
    const std::string& error() const { return error_; }

private:
    proto::PairRequest request_;
    proto::FrameReader reader_;
    State state_ = State::waiting;
    std::optional<proto::PairResult> result_;
    std::string error_;
};

std::string_view pairing_state_name(PairingExchange::State state);

}  // namespace sorvane::viewer
