#include "host/net/wifi_transport.h"

#include <algorithm>
#include <cinttypes>
#include <utility>
#include <vector>

#include "host/core/log.h"
#include "host/protocol/control_messages.h"
#include "host/protocol/frame_reader.h"
#include "host/protocol/reasons.h"
#include "host/net/video_datagram.h"
#include "host/trust/pairing_store.h"
#include "host/trust/tls_channel.h"
#include "host/trust/tls_identity.h"
#include "host/trust/tls_log.h"
#include "platform/crash.h"

namespace sorvane {

namespace {

const char* kind_name(bool control) { return control ? "control" : "input"; }

TlsServerTuning server_tuning(const TransportTuning& t) {
    TlsServerTuning s;
    s.deadline_ms = t.handshake_deadline_ms;
    s.max_pending = t.max_unauthenticated;
    s.max_pending_per_address = t.max_unauthenticated_per_address;
    // At the limit a newcomer takes the place of a connection still in its
    // TLS handshake: stalled sockets cannot keep an honest viewer out.
    s.evict_oldest_handshake = true;
    s.tick_ms = t.poll_ms;
    return s;
}

}  // namespace

WifiTransport::WifiTransport(platform::IClock& clock, const TlsIdentity& identity, const PairingStore& pairings,
                             TransportTuning tuning)
    : clock_(clock),
      identity_(identity),
      pairings_(pairings),
      tuning_(tuning),
      lines_(clock, tuning.log_budget, tuning.log_window_ms),
      udp_lines_(clock, tuning.log_budget, tuning.log_window_ms),
      server_(clock, *this, server_tuning(tuning)) {}

WifiTransport::~WifiTransport() { stop(); }

std::string WifiTransport::last_error() const {
    std::lock_guard<std::mutex> g(error_mutex_);
    return last_error_;
}

bool WifiTransport::fail_start(std::string step) {
    std::lock_guard<std::mutex> g(error_mutex_);
    last_error_ = std::move(step);
    return false;
}

bool WifiTransport::log_allowed() { return lines_.allow(); }

bool WifiTransport::open_listener(Kind kind, platform::TcpListener& listener) {
    const char* name = kind_name(kind == Kind::kControl);
    const uint16_t port = kind == Kind::kControl ? options_.control_port : options_.input_port;
    const platform::SocketResult r = listener.listen(options_.bind_address, port, 0);
    if (!r.ok()) {
        if (r.step == platform::SocketStep::create) {
            log("[transport] socket() failed: %d", r.error_code);
        } else {
            log("[transport] %s tcp %s:%u bind/listen failed: WSA error %d", name, options_.bind_address.c_str(),
                static_cast<unsigned>(port), r.error_code);
        }
        listener.close();
        return fail_start(std::string(name) + " tcp listen: " + platform::describe(r));
    }
    (kind == Kind::kControl ? control_port_ : input_port_).store(listener.port());
    log("[transport] %s tcp listening on %s:%u", name, options_.bind_address.c_str(),
        static_cast<unsigned>(listener.port()));
    return true;
}

bool WifiTransport::start(const HostOptions& options, ITransportSink& sink) {
    stop();
    options_ = options;
    sink_ = &sink;
    {
        std::lock_guard<std::mutex> g(error_mutex_);
        last_error_.clear();
    }
    if (!identity_.valid()) {
        log("[transport] no usable TLS identity");
        return fail_start("no usable TLS identity");
    }
    uint32_t address = 0;
    if (!platform::parse_ipv4(options_.bind_address, address)) {
        log("[transport] bad bind address '%s'", options_.bind_address.c_str());
        return fail_start("bad bind address");
    }
    server_.reset_counts();
    {
        std::lock_guard<std::mutex> g(udp_mutex_);
        udp_rx_ = 0;
        udp_malformed_ = 0;
        udp_per_address_.clear();
        udp_last_source_ = Endpoint{};
    }

    auto close_all = [this] {
        udp_.close();
        control_port_.store(0);
        input_port_.store(0);
        video_port_.store(0);
    };
    platform::TcpListener control_listener;
    platform::TcpListener input_listener;
    if (!open_listener(Kind::kControl, control_listener) || !open_listener(Kind::kInput, input_listener)) {
        close_all();
        return false;
    }

    platform::SocketResult r = udp_.open(options_.bind_address, options_.video_port);
    if (!r.ok()) {
        if (r.step == platform::SocketStep::create) {
            log("[transport] socket() failed: %d", r.error_code);
        } else {
            log("[transport] video udp %s:%u bind failed: WSA error %d", options_.bind_address.c_str(),
                static_cast<unsigned>(options_.video_port), r.error_code);
        }
        close_all();
        return fail_start("video udp bind: " + platform::describe(r));
    }
    // The system may grant less than asked (or count differently): log what
    // it gave, whatever it is.
    uint32_t granted = 0;
    udp_.set_send_buffer(options_.udp_send_buffer, granted);
    udp_send_buffer_granted_.store(granted);
    video_port_.store(udp_.port());
    log("[transport] video udp bound on %s:%u (send buffer requested %d, granted %d)", options_.bind_address.c_str(),
        static_cast<unsigned>(udp_.port()), static_cast<int>(options_.udp_send_buffer), static_cast<int>(granted));

    running_.store(true);
    started_ = true;
    server_.listen(std::move(control_listener), Kind::kControl);
    server_.listen(std::move(input_listener), Kind::kInput);
    udp_receiver_ = std::thread([this] {
        platform::install_thread_fault_stack();
        udp_loop();
    });
    return true;
}

void WifiTransport::stop() {
    const bool was_running = running_.exchange(false);
    if (!was_running && !started_) return;
    started_ = false;

    // Wake the acceptors and the receiver at once rather than at their next poll.
    udp_.shutdown();
    server_.close_listeners();
    if (udp_receiver_.joinable()) udp_receiver_.join();
    // Every connection ends (each control connection reaches on_control_closed).
    server_.stop();
    report_suppressed_lines(true);

    udp_.close();
    control_port_.store(0);
    input_port_.store(0);
    video_port_.store(0);
}

bool WifiTransport::send_control(ConnId conn_id, proto::ByteView bytes) {
    const std::shared_ptr<TlsConnection> conn = server_.find(conn_id);
    if (!conn || !conn->settled()) return false;
    return conn->write(bytes);
}

void WifiTransport::close_connection(ConnId conn_id) {
    const std::shared_ptr<TlsConnection> conn = server_.find(conn_id);
    if (!conn) return;
    // What was written before goes out ahead of the end of the stream.
    conn->shutdown(platform::ShutdownHow::send);
    server_.close_after(conn_id, tuning_.close_delay_ms);
}

bool WifiTransport::send_video(const Endpoint& to, proto::ByteView datagram) {
    return udp_.send_to(to, datagram.data(), datagram.size()).ok();
}

void WifiTransport::send_video_batch(const Endpoint& to, const proto::ByteView* datagrams, size_t count, bool* sent) {
    platform::DatagramView views[platform::kUdpBatchMax];
    platform::SocketResult results[platform::kUdpBatchMax];
    for (size_t done = 0; done < count;) {
        const size_t n = std::min(count - done, platform::kUdpBatchMax);
        for (size_t k = 0; k < n; ++k) views[k] = {datagrams[done + k].data(), datagrams[done + k].size()};
        udp_.send_batch(to, views, n, results);
        for (size_t k = 0; k < n; ++k) sent[done + k] = results[k].ok();
        done += n;
    }
}

UdpStats WifiTransport::udp_stats(uint32_t peer_address) {
    std::lock_guard<std::mutex> g(udp_mutex_);
    UdpStats s;
    s.udp_rx = udp_rx_;
    s.malformed = udp_malformed_;
    s.last_source = udp_last_source_;
    const auto it = udp_per_address_.find(peer_address);
    s.from_peer = it == udp_per_address_.end() ? 0 : it->second;
    return s;
}

// ---- the TLS server's calls ----

void WifiTransport::on_tick() {
    report_suppressed_lines(false);
    close_input_without_session();
}

void WifiTransport::report_suppressed_lines(bool all) {
    const uint64_t suppressed = all ? lines_.take_all_suppressed() : lines_.take_suppressed();
    if (suppressed != 0) {
        log("[transport] gunluk hiz siniri: %" PRIu64 " baglanti satiri yazilmadi (bu calismada: sinira takilan %" PRIu64
            ", el sikisma son tarihi %" PRIu64 ")",
            suppressed, server_.refused_count() + server_.evicted_count(), server_.deadline_count());
    }
    const uint64_t udp = all ? udp_lines_.take_all_suppressed() : udp_lines_.take_suppressed();
    if (udp != 0) {
        uint64_t rx = 0, malformed = 0;
        {
            std::lock_guard<std::mutex> g(udp_mutex_);
            rx = udp_rx_;
            malformed = udp_malformed_;
        }
        log("[transport] video udp: %" PRIu64 " lines not written (log budget); so far %" PRIu64
            " datagrams, %" PRIu64 " not a VideoHello",
            udp, rx, malformed);
    }
}

void WifiTransport::add_input(TlsConnection& conn) {
    std::vector<ConnId> over;
    {
        std::lock_guard<std::mutex> g(inputs_mutex_);
        inputs_[conn.id()] = InputConn{conn.fingerprint(), conn.accept_ms(), false};
        std::vector<ConnId> same;
        for (const auto& [id, in] : inputs_)
            if (in.fingerprint == conn.fingerprint() && !in.closing) same.push_back(id);
        // The map runs in id order: the oldest come first.
        for (size_t k = 0; k + tuning_.max_input_per_certificate < same.size(); ++k) {
            inputs_[same[k]].closing = true;
            over.push_back(same[k]);
        }
    }
    for (const ConnId id : over) {
        const std::shared_ptr<TlsConnection> old = server_.find(id);
        if (!old) continue;
        input_over_limit_.fetch_add(1);
        if (old->lines() == TlsLines::written) {
            log("[transport] input connection %" PRIu64 " closed: its certificate opened a newer one (at most %zu at "
                "a time)",
                id, tuning_.max_input_per_certificate);
        }
        old->shutdown(platform::ShutdownHow::both);
    }
}

void WifiTransport::remove_input(ConnId id) {
    std::lock_guard<std::mutex> g(inputs_mutex_);
    inputs_.erase(id);
}

void WifiTransport::close_input_without_session() {
    const uint64_t now = clock_.now_ms();
    std::vector<std::pair<ConnId, Fingerprint>> due;
    {
        std::lock_guard<std::mutex> g(inputs_mutex_);
        for (const auto& [id, in] : inputs_)
            if (!in.closing && now - in.accept_ms >= tuning_.handshake_deadline_ms) due.emplace_back(id, in.fingerprint);
    }
    // The sink is asked without a transport lock held.
    std::map<Fingerprint, bool> has_session;
    for (const auto& [id, fingerprint] : due) {
        auto it = has_session.find(fingerprint);
        if (it == has_session.end()) it = has_session.emplace(fingerprint, sink_->device_has_session(fingerprint)).first;
        if (it->second) continue;
        {
            std::lock_guard<std::mutex> g(inputs_mutex_);
            const auto in = inputs_.find(id);
            if (in == inputs_.end() || in->second.closing) continue;
            in->second.closing = true;
        }
        const std::shared_ptr<TlsConnection> conn = server_.find(id);
        if (!conn) continue;
        input_without_session_.fetch_add(1);
        if (conn->lines() == TlsLines::written) {
            log("[transport] input connection %" PRIu64 " closed: its device has no session", id);
        }
        conn->shutdown(platform::ShutdownHow::both);
    }
}

bool WifiTransport::on_accepted(TlsConnection& conn) {
    conn.socket().set_no_delay(true);
    conn.socket().set_send_timeout(tuning_.send_timeout_ms);
    if (options_.allowed_ip != 0 && conn.peer().address != options_.allowed_ip) {
        log("[transport] %s connection from %s refused (--allow-ip)", kind_name(conn.listener() == Kind::kControl),
            platform::endpoint_text(conn.peer()).c_str());
        return false;
    }
    return true;
}

void WifiTransport::on_refused(TlsConnection& conn) {
    if (!log_allowed()) return;
    log("[transport] %s connection from %s refused: too many unauthenticated connections (limit %zu total, %zu per "
        "address)",
        kind_name(conn.listener() == Kind::kControl), platform::endpoint_text(conn.peer()).c_str(),
        tuning_.max_unauthenticated, tuning_.max_unauthenticated_per_address);
}

void WifiTransport::on_admitted(TlsConnection& conn) {
    const bool say = log_allowed();
    conn.set_lines(say ? TlsLines::written : TlsLines::quiet);
    if (say) {
        log("[transport] %s connection %" PRIu64 " from %s", kind_name(conn.listener() == Kind::kControl), conn.id(),
            platform::endpoint_text(conn.peer()).c_str());
    }
}

void WifiTransport::refuse_unpaired(TlsConnection& conn) {
    proto::HandshakeAck ack;
    ack.protocol = options_.protocol_version;
    ack.host_id = options_.transport_host_id.empty() ? options_.host_id : options_.transport_host_id;
    ack.accepted = false;
    ack.reason = std::string(proto::kReasonNotPaired);
    proto::Bytes frame;
    // From here on a newer connection may take its place.
    conn.set_leaving();
    if (proto::encode_control(ack, frame)) conn.write(frame);
    // Read what the viewer still sends so that closing does not reset the
    // connection before the reply is read: until the peer closes or the
    // drain time is over (stop cuts it short). No delayed full shutdown
    // here, which would end the drain after the close delay.
    conn.shutdown(platform::ShutdownHow::send);
    conn.drain(clock_, tuning_.refusal_drain_ms, 50);
}

void WifiTransport::serve(TlsConnection& conn) {
    const bool control = conn.listener() == Kind::kControl;
    const char* name = kind_name(control);
    const bool say = conn.lines() == TlsLines::written;
    const ConnId id = conn.id();

    const TlsConnection::Handshake hs = conn.handshake(identity_);
    if (hs == TlsConnection::Handshake::failed) {
        if (say) {
            log("[transport] %s connection %" PRIu64 ": TLS handshake failed%s, closing", name, id,
                conn.timed_out() ? " (5 s deadline)" : "");
        }
        return;
    }
    if (hs == TlsConnection::Handshake::no_certificate) {
        if (say) log("[transport] %s connection %" PRIu64 ": no client certificate presented, rejected", name, id);
        return;
    }
    const Fingerprint fingerprint = conn.fingerprint();
    const bool paired = pairings_.find_by_fingerprint(fingerprint).has_value();
    if (!paired) {
        if (say) {
            log("[transport] %s connection %" PRIu64 ": certificate %s is not a paired device, rejected", name, id,
                to_hex(fingerprint).c_str());
        }
        if (control) refuse_unpaired(conn);
        return;
    }
    if (!conn.settle()) return;

    if (control)
        sink_->on_control_connected(id, conn.peer(), fingerprint);
    else
        add_input(conn);
    const TlsConnection::ReadEnd end = conn.read_frames(
        tuning_.receive_chunk, [this] { return running_.load(); },
        [&](uint8_t type, proto::ByteView payload) {
            if (control)
                sink_->on_control_message(id, type, payload);
            else
                sink_->on_input_message(conn.peer(), fingerprint, type, payload);
            return true;
        });
    if (end == TlsConnection::ReadEnd::invalid_frame && say) {
        log("[transport] %s connection %" PRIu64 ": invalid frame length, closing", name, id);
    }
    if (control)
        sink_->on_control_closed(id);
    else
        remove_input(id);
}

// ---- video socket ----
void WifiTransport::udp_loop() {
    std::vector<uint8_t> buf(tuning_.udp_receive_buffer);
    while (running_.load()) {
        Endpoint source;
        const platform::SocketResult r =
            udp_.receive_from(buf.data(), buf.size(), &source, static_cast<int32_t>(tuning_.poll_ms));
        if (r.status == platform::SocketStatus::closed) break;
        if (!r.ok() || r.bytes < 1) continue;
        const proto::ByteView datagram(buf.data(), r.bytes);
        const int size = static_cast<int>(r.bytes);
        const unsigned type = buf[0];

        bool first = false;
        {
            std::lock_guard<std::mutex> g(udp_mutex_);
            ++udp_rx_;
            udp_last_source_ = source;
            const auto it = udp_per_address_.find(source.address);
            if (it != udp_per_address_.end()) {
                ++it->second;
            } else if (udp_per_address_.size() < tuning_.udp_tracked_addresses) {
                udp_per_address_.emplace(source.address, 1);
                first = true;
            }
        }
        const std::string source_text = platform::endpoint_text(source);
        if (first) {
            log("[transport] video udp: first datagram from %s (%d bytes, type 0x%02X)", source_text.c_str(), size,
                type);
        }
        const HelloHeader header = decode_hello_header(datagram);
        if (header.status != HelloHeader::Status::ok) {
            uint64_t count = 0;
            {
                std::lock_guard<std::mutex> g(udp_mutex_);
                count = ++udp_malformed_;
            }
            if (udp_lines_.allow()) {
                log("[transport] video udp: datagram from %s could not be decoded as a VideoHello (%d bytes, type "
                    "0x%02X); %" PRIu64 " so far",
                    source_text.c_str(), size, type, count);
            }
            continue;
        }
        sink_->on_video_hello(source, header.session_id, datagram);
    }
}

}  // namespace sorvane
