#include "host/net/video_hello.h"

#include <cinttypes>
#include <cstdio>

#include "host/core/log.h"

namespace sorvane {

const char* session_state_name(SessionState state) {
    switch (state) {
        case SessionState::AwaitHandshake:
            return "AwaitHandshake";
        case SessionState::AwaitOpenAck:
            return "AwaitOpenAck";
        case SessionState::AwaitHello:
            return "AwaitHello";
        case SessionState::Streaming:
            return "Streaming";
        case SessionState::Closed:
            return "Closed";
    }
    return "?";
}

const char* hello_verdict_name(HelloVerdict verdict) {
    switch (verdict) {
        case HelloVerdict::accepted:
            return "accepted";
        case HelloVerdict::state:
            return "state";
        case HelloVerdict::ip_mismatch:
            return "ip_mismatch";
        case HelloVerdict::malformed:
            return "malformed";
        case HelloVerdict::no_cipher:
            return "no_cipher";
        case HelloVerdict::gmac:
            return "gmac";
        case HelloVerdict::counter:
            return "counter";
    }
    return "?";
}

VideoHelloHandler::VideoHelloHandler(uint32_t session_id, const Endpoint& control_peer, platform::IClock& clock)
    : session_id_(session_id), control_peer_(control_peer), clock_(clock) {}

// A flood of datagrams must not become a flood of lines: each line carries
// its running count, so the ones the budget leaves out lose no total.
bool VideoHelloHandler::worth_a_line(uint32_t count) {
    if (lines_ != nullptr) return lines_->allow();
    return count == 1 || count % 50 == 0;
}

std::optional<Endpoint> VideoHelloHandler::destination() const {
    std::lock_guard<std::mutex> lock(destination_->mutex);
    return destination_->endpoint;
}

HelloVerdict VideoHelloHandler::reject(const Endpoint& source, HelloVerdict verdict) {
    ++counters_.rejected;
    uint32_t count = 0;
    switch (verdict) {
        case HelloVerdict::malformed:
        case HelloVerdict::no_cipher:
            count = ++counters_.malformed;
            break;
        case HelloVerdict::gmac:
            count = ++counters_.gmac;
            break;
        case HelloVerdict::counter:
            count = ++counters_.counter;
            break;
        default:
            return verdict;
    }
    if (worth_a_line(count)) {
        session_log(session_id_, "VideoHello from %s rejected: reason=%s; %u so far (total rejected %u)",
                    platform::endpoint_text(source).c_str(), hello_verdict_name(verdict), static_cast<unsigned>(count),
                    static_cast<unsigned>(counters_.rejected));
    }
    return verdict;
}

HelloVerdict VideoHelloHandler::handle_video_hello(const Endpoint& source, proto::ByteView datagram) {
    if (state_ != SessionState::AwaitHello && state_ != SessionState::Streaming) {
        ++counters_.rejected;
        const uint32_t count = ++counters_.state;
        if (worth_a_line(count)) {
            session_log(session_id_,
                        "VideoHello from %s dropped: reason=state (session state %d, SessionOpenAck not processed "
                        "yet or session closing); %u so far",
                        platform::endpoint_text(source).c_str(), static_cast<int>(state_),
                        static_cast<unsigned>(count));
        }
        return HelloVerdict::state;
    }
    if (source.address != control_peer_.address) {
        ++counters_.rejected;
        const uint32_t count = ++counters_.ip;
        if (worth_a_line(count)) {
            session_log(session_id_, "VideoHello from %s dropped: reason=ip_mismatch (the control peer is %s); %u so far",
                        platform::endpoint_text(source).c_str(), platform::address_text(control_peer_.address).c_str(),
                        static_cast<unsigned>(count));
        }
        return HelloVerdict::ip_mismatch;
    }

    const HelloHeader header = decode_hello_header(datagram);
    if (header.status != HelloHeader::Status::ok) return reject(source, HelloVerdict::malformed);
    if (!cipher_) return reject(source, HelloVerdict::no_cipher);
    if (datagram.size() < kVideoTagSize) return reject(source, HelloVerdict::gmac);
    const size_t signed_bytes = datagram.size() - kVideoTagSize;
    if (!cipher_->verify_hello(header.counter, datagram.first(signed_bytes), datagram.data() + signed_bytes))
        return reject(source, HelloVerdict::gmac);
    if (last_counter_ && header.counter <= *last_counter_) return reject(source, HelloVerdict::counter);

    last_counter_ = header.counter;
    ++counters_.accepted;
    bool moved = false;
    {
        std::lock_guard<std::mutex> lock(destination_->mutex);
        moved = !destination_->endpoint || *destination_->endpoint != source;
        destination_->endpoint = source;
    }
    if (state_ == SessionState::AwaitHello) {
        state_ = SessionState::Streaming;
        first_hello_ms_ = clock_.now_ms();
        const uint64_t since_ack = open_ack_ms_ != 0 && first_hello_ms_ >= open_ack_ms_ ? first_hello_ms_ - open_ack_ms_ : 0;
        session_log(session_id_,
                    "first valid VideoHello from %s (counter %u, %" PRIu64 " ms after SessionOpenAck): streaming starts",
                    platform::endpoint_text(source).c_str(), static_cast<unsigned>(header.counter), since_ack);
        if (start_pipeline_) start_pipeline_();
    } else if (moved) {
        session_log(session_id_, "video destination is now %s", platform::endpoint_text(source).c_str());
    }
    return HelloVerdict::accepted;
}

VideoSender VideoHelloHandler::make_sender(ITransport& transport) const {
    std::shared_ptr<Destination> destination = destination_;
    return [destination, &transport](proto::ByteView datagram) {
        std::optional<Endpoint> to;
        {
            std::lock_guard<std::mutex> lock(destination->mutex);
            to = destination->endpoint;
        }
        if (!to) return false;
        return transport.send_video(*to, datagram);
    };
}

VideoBatchSender VideoHelloHandler::make_batch_sender(ITransport& transport) const {
    std::shared_ptr<Destination> destination = destination_;
    return [destination, &transport](const proto::ByteView* datagrams, size_t count, bool* sent) {
        std::optional<Endpoint> to;
        {
            std::lock_guard<std::mutex> lock(destination->mutex);
            to = destination->endpoint;
        }
        if (!to) {
            for (size_t i = 0; i < count; ++i) sent[i] = false;
            return;
        }
        transport.send_video_batch(*to, datagrams, count, sent);
    };
}

std::string VideoHelloHandler::udp_text(ITransport& transport) const {
    const UdpStats stats = transport.udp_stats(control_peer_.address);
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "udp_rx=%" PRIu64 " from_peer=%" PRIu64 " malformed=%" PRIu64
                  " hello_dropped: ip=%u gmac=%u counter=%u state=%u hello_ok=%u",
                  stats.udp_rx, stats.from_peer, stats.malformed, static_cast<unsigned>(counters_.ip),
                  static_cast<unsigned>(counters_.gmac), static_cast<unsigned>(counters_.counter),
                  static_cast<unsigned>(counters_.state), static_cast<unsigned>(counters_.accepted));
    return buf;
}

}  // namespace sorvane
