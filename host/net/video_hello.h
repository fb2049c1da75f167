// The video side of one session: which VideoHello datagrams it accepts,
// where its video goes, and the counters that explain a silent stream. The
// session owns one and calls it under its own mutex; only the destination
// has a lock of its own, because the pipeline's sender reads it from the
// frame thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/net/transport.h"
#include "host/net/video_cipher.h"
#include "host/net/video_datagram.h"
#include "host/trust/log_rate_limiter.h"
#include "platform/clock.h"

namespace sorvane {

// A session's states, numbered as they are printed.
enum class SessionState : uint8_t {
    AwaitHandshake = 0,
    AwaitOpenAck = 1,
    AwaitHello = 2,
    Streaming = 3,
    Closed = 4,
};

const char* session_state_name(SessionState state);

struct VideoHelloCounters {
    uint32_t accepted = 0;
    uint32_t rejected = 0;  // every rejection below
    uint32_t state = 0;
    uint32_t ip = 0;
    uint32_t malformed = 0;  // malformed headers and hellos before the cipher exists
    uint32_t gmac = 0;
    uint32_t counter = 0;
};

enum class HelloVerdict : uint8_t { accepted, state, ip_mismatch, malformed, no_cipher, gmac, counter };

const char* hello_verdict_name(HelloVerdict verdict);

class VideoHelloHandler {
public:
    VideoHelloHandler(uint32_t session_id, const Endpoint& control_peer, platform::IClock& clock);

    void set_state(SessionState state) { state_ = state; }
    SessionState state() const { return state_; }
    void set_cipher(std::shared_ptr<VideoCipher> cipher) { cipher_ = std::move(cipher); }
    // When the SessionOpenAck was processed (0: not yet).
    void set_open_ack_ms(uint64_t ms) { open_ack_ms_ = ms; }
    // Runs when the first VideoHello is accepted in AwaitHello, after the
    // state became Streaming: the session starts its pipeline here.
    void set_start_pipeline(std::function<void()> start) { start_pipeline_ = std::move(start); }
    // The budget the rejection lines are written on (borrowed); without
    // one, the first and every 50th of each kind is written.
    void set_line_budget(LineBudget* lines) { lines_ = lines; }

    // The acceptance rule, in order: state, source address, header and
    // cipher, tag, counter. An accepted hello moves the destination to its
    // source; the first one starts the stream.
    HelloVerdict handle_video_hello(const Endpoint& source, proto::ByteView datagram);

    // A sender for the pipeline: sends to the current destination through
    // transport; false while there is none. It keeps the destination alive
    // by itself, so it may outlive this handler; transport must outlive it.
    VideoSender make_sender(ITransport& transport) const;
    // The same for a whole access unit at once (every datagram fails while
    // there is no destination).
    VideoBatchSender make_batch_sender(ITransport& transport) const;

    // "udp_rx=... hello_ok=..." for watchdog and summary lines.
    std::string udp_text(ITransport& transport) const;

    const VideoHelloCounters& counters() const { return counters_; }
    std::optional<Endpoint> destination() const;
    // The counter of the last accepted hello.
    std::optional<uint32_t> last_counter() const { return last_counter_; }
    // When the first hello was accepted (0: none yet).
    uint64_t first_hello_ms() const { return first_hello_ms_; }

private:
    struct Destination {
        mutable std::mutex mutex;
        std::optional<Endpoint> endpoint;
    };

    HelloVerdict reject(const Endpoint& source, HelloVerdict verdict);
    bool worth_a_line(uint32_t count);

    const uint32_t session_id_;
    const Endpoint control_peer_;
    platform::IClock& clock_;
    SessionState state_ = SessionState::AwaitHandshake;
    std::shared_ptr<VideoCipher> cipher_;
    uint64_t open_ack_ms_ = 0;
    uint64_t first_hello_ms_ = 0;
    std::function<void()> start_pipeline_;
    LineBudget* lines_ = nullptr;
    std::optional<uint32_t> last_counter_;
    VideoHelloCounters counters_;
    std::shared_ptr<Destination> destination_ = std::make_shared<Destination>();
};

}  // namespace sorvane
