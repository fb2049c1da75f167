#include "viewer/protocol/pairing_client.h"

namespace sorvane::viewer {

bool PairingExchange::request_frame(proto::Bytes& out) {
    if (!proto::encode_pairing(request_, out)) {
        error_ = "could not encode PairRequest";
        return false;
    }
    return true;
}

PairingExchange::State PairingExchange::receive(proto::ByteView bytes) {
    if (state_ != State::waiting) return state_;
    reader_.append(bytes);
    const proto::FrameReader::Result r = reader_.next();
    if (r.status == proto::FrameReader::Status::need_more) return state_;
    if (r.status == proto::FrameReader::Status::invalid) {
        error_ = "invalid frame length " + std::to_string(reader_.invalid_length());
        state_ = State::failed;
        return state_;
    }
    proto::Decoded<proto::PairingMessage> d = proto::decode_pairing(r.type, r.payload);
    if (!d.ok()) {
        error_ = std::string(proto::decode_status_name(d.status)) + " pairing message type " + std::to_string(r.type);
        state_ = State::failed;
        return state_;
    }
    auto* result = std::get_if<proto::PairResult>(&d.message);
    if (result == nullptr) {
        error_ = "the host answered with a PairRequest";
        state_ = State::failed;
        return state_;
    }
    result_ = std::move(*result);
    state_ = result_->ok ? State::paired : State::refused;
    return state_;
}

std::string_view pairing_state_name(PairingExchange::State state) {
    switch (state) {
        case PairingExchange::State::waiting:
            return "waiting";
        case PairingExchange::State::paired:
            return "paired";
        case PairingExchange::State::refused:
            return "refused";
        case PairingExchange::State::failed:
            return "failed";
    }
    return "?";
}

}  // namespace sorvane::viewer
