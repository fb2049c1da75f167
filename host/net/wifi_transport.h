// The host's sockets towards viewers: the control and input listeners (TCP,
// mutually authenticated TLS, paired certificates only) and the video socket
// (UDP: VideoHello in, sealed fragments out).
//
// Threads: the TLS server's (a control acceptor, an input acceptor, one
// thread per TCP connection, housekeeping that also ends connections after a
// short delay) and a UDP receiver. The rate limiter's and the UDP counters'
// locks are innermost. No transport lock is held while the sink is called.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "host/trust/log_rate_limiter.h"
#include "host/net/transport.h"
#include "host/trust/pairing_store.h"
#include "host/trust/tls_identity.h"
#include "host/trust/tls_server.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace sorvane {

// Limits and time-outs; the defaults are the product's, tests shorten them.
struct TransportTuning {
    size_t max_unauthenticated = 16;             // half-open connections in total
    size_t max_unauthenticated_per_address = 4;  // and from one address
    uint64_t handshake_deadline_ms = 5'000;      // from accept to an accepted certificate
    uint32_t poll_ms = 200;                      // UDP receiver's longest wait; housekeeping period (clock)
    size_t receive_chunk = 16'384;               // one TLS read
    size_t udp_receive_buffer = 2'048;           // longest datagram looked at
    uint64_t close_delay_ms = 400;               // half-close to full shutdown
    uint64_t refusal_drain_ms = 1'000;           // reading after the not_paired reply
    // A peer that stops reading cannot hold a writer (and the connection's
    // lock) longer than this.
    uint32_t send_timeout_ms = 5'000;
    uint32_t log_budget = 8;  // connection lines per window, and video socket lines per window
    uint64_t log_window_ms = 10'000;
    size_t udp_tracked_addresses = 64;
    // Input connections of one certificate at once: a newer one closes the
    // oldest (a viewer reconnecting must not find its stale ones in the way).
    size_t max_input_per_certificate = 2;
};

class WifiTransport final : public ITransport, private TlsServer::Handler {
public:
    // identity and pairings are borrowed and must outlive the transport.
    WifiTransport(platform::IClock& clock, const TlsIdentity& identity, const PairingStore& pairings,
                  TransportTuning tuning = {});
    ~WifiTransport() override;
    WifiTransport(const WifiTransport&) = delete;
    WifiTransport& operator=(const WifiTransport&) = delete;

    UdpStats udp_stats(uint32_t peer_address) override;
    // Ports 0 are chosen by the system; the bound ones are reported below.
    bool start(const HostOptions& options, ITransportSink& sink) override;
    bool send_control(ConnId conn_id, proto::ByteView bytes) override;
    void close_connection(ConnId conn_id) override;
    bool send_video(const Endpoint& to, proto::ByteView datagram) override;
    // One system call for up to 64 datagrams where the platform has one.
    void send_video_batch(const Endpoint& to, const proto::ByteView* datagrams, size_t count, bool* sent) override;
    void stop() override;
    // The step that made the last start fail ("control listener", ...); empty after a good start.
    std::string last_error() const;

    uint16_t control_port() const { return control_port_.load(); }
    uint16_t input_port() const override { return input_port_.load(); }
    uint16_t video_port() const override { return video_port_.load(); }
    uint32_t udp_send_buffer_granted() const { return udp_send_buffer_granted_.load(); }
    // Connections refused by the admission limits, and shut down by the
    // handshake deadline, since start.
    uint64_t refused_count() const { return server_.refused_count(); }
    uint64_t deadline_count() const { return server_.deadline_count(); }
    // Connections in the table (ended ones stay until the next housekeeping).
    size_t connection_count() { return server_.connection_count(); }
    // Returns once deadlines, delayed closes and input checks due at the
    // clock's time now have been done.
    void wait_for_housekeeping() { server_.wait_for_round(); }
    // Connections shut down in their TLS handshake to make room for a newer one.
    uint64_t evicted_count() const { return server_.evicted_count(); }
    // Input connections closed: to keep a certificate within its number, and
    // for having no session of their device once the handshake time was over.
    uint64_t input_over_limit_count() const { return input_over_limit_.load(); }
    uint64_t input_without_session_count() const { return input_without_session_.load(); }

private:
    enum Kind : int { kControl = 0, kInput = 1 };

    bool open_listener(Kind kind, platform::TcpListener& listener);
    void report_suppressed_lines(bool all);
    void refuse_unpaired(TlsConnection& conn);
    void udp_loop();
    bool log_allowed();
    // An authenticated input connection joins the certificate's list, closing
    // the oldest ones beyond the limit; leaves it when it ends.
    void add_input(TlsConnection& conn);
    void remove_input(ConnId id);
    // Closes input connections past the handshake time whose device has no session.
    void close_input_without_session();
    bool fail_start(std::string step);

    // TlsServer::Handler
    bool on_accepted(TlsConnection& conn) override;
    void on_refused(TlsConnection& conn) override;
    void on_admitted(TlsConnection& conn) override;
    void serve(TlsConnection& conn) override;
    void on_tick() override;

    platform::IClock& clock_;
    const TlsIdentity& identity_;
    const PairingStore& pairings_;
    const TransportTuning tuning_;
    HostOptions options_;
    ITransportSink* sink_ = nullptr;

    std::atomic<bool> running_{false};
    bool started_ = false;  // start's and stop's own thread only

    platform::UdpSocket udp_;
    std::atomic<uint16_t> control_port_{0};
    std::atomic<uint16_t> input_port_{0};
    std::atomic<uint16_t> video_port_{0};
    std::atomic<uint32_t> udp_send_buffer_granted_{0};
    std::thread udp_receiver_;

    mutable std::mutex error_mutex_;
    std::string last_error_;

    LineBudget lines_;      // connection lines
    LineBudget udp_lines_;  // the video socket's lines

    struct InputConn {
        Fingerprint fingerprint{};
        uint64_t accept_ms = 0;
        bool closing = false;  // shut down by the transport, not yet ended
    };
    std::mutex inputs_mutex_;
    std::map<ConnId, InputConn> inputs_;  // authenticated input connections, in id (= age) order
    std::atomic<uint64_t> input_over_limit_{0};
    std::atomic<uint64_t> input_without_session_{0};

    std::mutex udp_mutex_;
    uint64_t udp_rx_ = 0;
    uint64_t udp_malformed_ = 0;
    std::map<uint32_t, uint64_t> udp_per_address_;
    Endpoint udp_last_source_;

    TlsServer server_;  // last: its threads call the members above
};

}  // namespace sorvane
